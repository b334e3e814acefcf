// Fault sweeps of the snapshot path. A scenario runs once to count the fault points it
// reaches (allocations by point and call site, machine-disk bios, backing- and
// repository-file IO), then once failing point k alone and once failing every point from
// k on. After each run: nothing hangs (every wait is bounded), every live write that was
// acknowledged is on the disk, every snapshot or backup read gave the pre-snapshot bytes
// or an error (never other bytes), an invalidated session says why, no backing file is
// left, and the machine halts with nothing left over.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/backup.h"
#include "agent/backup_restore.h"
#include "agent/session.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/faults.h"
#include "kernel/core/printk.h"
#include "kernel/core/sched.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/host_file.h"

namespace zeptest::sweep {

using bytes = std::vector<unsigned char>;

constexpr size_t CHUNK = 65536;
constexpr kern::sector_t PART_START = 64;
constexpr size_t PART_BYTES = 4 * CHUNK;	// small: a backup reads it a page at a time

inline bytes old_image()
{
	bytes v(PART_BYTES);
	for (size_t i = 0; i < v.size(); i++)
		v[i] = static_cast<unsigned char>((i * 7 + (i >> 12) * 13 + 1) & 0xff);
	return v;
}

// What one run did, for the checks once the sweep is disarmed.
struct run {
	bool clean = false;			// no fault is made: every step must work
	std::string dir;			// host folder of backing files and the repository
	std::vector<std::pair<size_t, bytes>> acked;	// live writes that returned in full
	std::vector<std::pair<size_t, bytes>> snap_reads;	// snapshot reads that returned in full
	bool backed_up = false;			// the full backup reported success
	std::string invalid;			// the session's reason, when it failed
	std::mutex lock;				// problems come from the agent and the writer
	std::vector<std::string> problems;
};

// Reads or writes [off, off + data.size()) of /dev/<node> from the calling process; true
// when the whole transfer was done.
inline bool node_io(const std::string &node, size_t off, bytes &data, bool write)
{
	int fd = kern::sys_open(("/dev/" + node).c_str(), write ? O_RDWR : O_RDONLY, 0);
	if (fd < 0)
		return false;
	long buf = kern::sys_mmap(data.size());
	bool ok = buf >= 0;
	if (ok && write)
		kern::user_write(static_cast<unsigned long>(buf), data.data(), data.size());
	if (ok) {
		auto u = static_cast<unsigned long>(buf);
		ssize_t n = write ? kern::sys_pwrite64(static_cast<unsigned>(fd), u, data.size(), off)
				  : kern::sys_pread64(static_cast<unsigned>(fd), u, data.size(), off);
		ok = n == static_cast<ssize_t>(data.size());
		if (ok && !write)
			kern::user_read(u, data.data(), data.size());
		kern::sys_munmap(u, data.size());
	}
	kern::sys_close(static_cast<unsigned>(fd));
	return ok;
}

// A step that failed: fine under a fault, a failure of the scenario in a clean run.
inline bool failed(run &r, bool ok, const std::string &what)
{
	if (!ok && r.clean)
	{
		std::lock_guard<std::mutex> g(r.lock);
		r.problems.push_back("the clean run cannot " + what);
	}
	return !ok;
}

// Where the live writer writes in chunk c.
inline size_t written_at(size_t c) { return c * CHUNK + (c % 16 + 1) * 4096; }

// Live writes of one 4 KiB block into each of the given chunks, from a process of its own.
inline kern::pid_t live_writer(run &r, std::vector<size_t> chunks, unsigned gen)
{
	return kern::spawn("writer", [&r, chunks, gen] {
		for (size_t c : chunks) {
			size_t off = written_at(c);
			bytes b(4096, static_cast<unsigned char>(gen * 31 + c));
			if (!failed(r, node_io("swd1", off, b, true), "write the live device"))
				r.acked.emplace_back(off, b);
		}
		return 0;
	});
}

// The snapshot's bytes where the live writer writes in the given chunks, and of each
// chunk's first page, read from the calling (cdp) process.
inline void read_snapshot(run &r, const std::string &node, std::vector<size_t> chunks)
{
	for (size_t c : chunks) {
		for (size_t off : {c * CHUNK, written_at(c)}) {
			bytes b(4096);
			if (!failed(r, node_io(node.substr(5), off, b, false), "read the snapshot"))
				r.snap_reads.emplace_back(off, b);
		}
	}
}

inline zep::snapshot_options options(const run &r)
{
	zep::snapshot_options o;
	o.io_threads = 2;
	o.folder = r.dir;
	o.device_name = "swd1";
	o.device_path = "/dev/swd1";
	return o;
}

inline bool healthy(zep::snapshot &s)
{
	auto text = s.error_text();
	return text && text->empty();
}

// Ends a snapshot (a stop that fails is retried by its destructor); an invalidated one
// says why.
inline void finish(run &r, zep::snapshot &s)
{
	auto text = s.error_text();
	if (text && !text->empty())
		r.invalid = *text;
	(void)s.stop();
}

// The scenarios: each runs in an agent process while the sweep is armed.
struct scenario {
	const char *name;
	std::function<void(run &, kern::dev_t part)> body;
};
inline void PrintTo(const scenario &sc, std::ostream *os) { *os << sc.name; }
// A test name for each scenario.
inline std::string test_name(const ::testing::TestParamInfo<scenario> &info)
{
	std::string n = info.param.name;
	std::replace(n.begin(), n.end(), '-', '_');
	return n;
}

inline std::vector<scenario> scenarios()
{
	return {
	    {"io-threads-start-and-stop",
	     [](run &r, kern::dev_t part) {
		     auto s = zep::snapshot::take(part, options(r));
		     if (failed(r, s.ok(), "take a snapshot: " + (s ? "" : s.err().message)))
			     return;
		     kern::waitpid(live_writer(r, {0, 1, 2}, 1));
		     read_snapshot(r, s->node(), {0, 1, 2});
		     finish(r, *s);
	     }},
	    {"snapshot-reads-under-live-writes",
	     [](run &r, kern::dev_t part) {
		     auto s = zep::snapshot::take(part, options(r));
		     if (failed(r, s.ok(), "take a snapshot: " + (s ? "" : s.err().message)))
			     return;
		     kern::pid_t w = live_writer(r, {1, 2, 3}, 2);
		     read_snapshot(r, s->node(), {1, 2, 3});
		     kern::waitpid(w);
		     finish(r, *s);
	     }},
	    {"full-backup",
	     [](run &r, kern::dev_t part) {
		     auto s = zep::snapshot::take(part, options(r));
		     if (failed(r, s.ok(), "take a snapshot: " + (s ? "" : s.err().message)))
			     return;
		     kern::pid_t w = live_writer(r, {2, 3}, 3);
		     auto b = zep::full_backup(r.dir + "/repo", zep::snapshot_source(*s, "swd1"));
		     kern::waitpid(w);
		     finish(r, *s);
		     r.backed_up = !failed(r, b.ok(), "back up: " + (b ? "" : b.err().message));
	     }},
	    {"snapshot-device-write",
	     [](run &r, kern::dev_t part) {
		     auto s = zep::snapshot::take(part, options(r));
		     if (failed(r, s.ok(), "take a snapshot: " + (s ? "" : s.err().message)))
			     return;
		     bytes b(4096, 0xa5);
		     bool wrote = !failed(r, node_io(s->node().substr(5), 1 * CHUNK + 8192, b, true),
					  "write the snapshot");
		     bytes back(CHUNK);
		     if (wrote && !failed(r, node_io(s->node().substr(5), 1 * CHUNK, back, false),
					  "read the snapshot back")) {
			     bytes want = old_image();
			     want = bytes(want.begin() + 1 * CHUNK, want.begin() + 2 * CHUNK);
			     std::copy(b.begin(), b.end(), want.begin() + 8192);
			     if (back != want && healthy(*s))
				     r.problems.push_back("the snapshot write does not read back");
		     }
		     read_snapshot(r, s->node(), {2});
		     finish(r, *s);
	     }},
	};
}

// Waits for pid in real time; false when it is still running after `ms`.
inline bool wait_bounded(kern::pid_t pid, unsigned ms)
{
	auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
	for (;;) {
		kern::task_struct *t = kern::find_task_by_pid(pid);
		if (!t)
			return kern::waitpid(pid), true;
		kern::put_task_struct(t);
		if (std::chrono::steady_clock::now() > until)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
}

// One run of sc on a fresh machine, failing point fail_at (and every later one with
// and_after; fail_at < 0 fails none). Returns what the sweep saw; adds failures to the test.
inline kern::fault_sweep_result run_once(const scenario &sc, long fail_at, bool and_after)
{
	SCOPED_TRACE(std::string(sc.name) + ": fault point " + std::to_string(fail_at) +
		     (and_after ? " and every later one" : " alone") + " (ZEP_SWEEP=" + sc.name + ":" +
		     std::to_string(fail_at) + (and_after ? "+" : "") + " reruns it)");
	run r;
	r.clean = fail_at < 0;
	r.dir = (std::filesystem::temp_directory_path() /
		 ("zep-sweep-" + std::to_string(std::random_device{}())))
			.string();
	std::filesystem::create_directories(r.dir + "/repo");
	kern::boot_params p;
	p.clock_speed = 100;
	kern::boot(p);
	EXPECT_EQ(kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)), 0);
	EXPECT_EQ(kern::insmod("zepdriver"), 0);
	kern::dev_t disk = kern::add_ramdisk("swd", 8, PART_START + PART_BYTES / 512 + 64);
	kern::dev_t part = kern::add_partition(disk, 1, PART_START, PART_BYTES / 512);
	const bytes old = old_image();
	EXPECT_EQ(kern::disk_poke(disk, PART_START, old.data(), old.size()), 0);
	EXPECT_EQ(kern::mount(part), 0);

	kern::fault_sweep_arm(fail_at, and_after);
	kern::pid_t agent = kern::spawn("cdpagent", [&] {
		sc.body(r, part);
		return 0;
	});
	bool ended = wait_bounded(agent, 60000);
	kern::fault_sweep_result seen = kern::fault_sweep_disarm();
	SCOPED_TRACE("first point failed: " + (seen.failed ? seen.first_failed : "none"));
	EXPECT_TRUE(ended) << "the scenario hangs";

	for (auto &[off, b] : r.acked) {
		bytes on_disk(b.size());
		kern::disk_peek(disk, PART_START + off / 512, on_disk.data(), on_disk.size());
		EXPECT_TRUE(on_disk == b) << "an acknowledged live write at " << off << " is not on the disk";
	}
	for (auto &[off, b] : r.snap_reads)
		EXPECT_TRUE(std::equal(b.begin(), b.end(), old.begin() + off))
		    << "the snapshot read at " << off << " gave other bytes than the frozen image"
		    << (r.invalid.empty() ? "" : " (session invalidated: " + r.invalid + ")");
	if (r.backed_up && ended) {
		kern::pid_t rs = kern::spawn("cdprestore", [&] {
			auto o = zep::restore_backup(r.dir + "/repo", r.dir + "/restored.img");
			EXPECT_TRUE(o.ok()) << o.err().message;
			return 0;
		});
		EXPECT_TRUE(wait_bounded(rs, 60000));
		EXPECT_TRUE(zeptest::read_host_file(r.dir + "/restored.img") == old) << "the backup does not restore the frozen image";
	}
	for (auto &pr : r.problems)
		ADD_FAILURE() << pr;
	// The agent removes a snapshot's files once it has stopped it, retrying a failed stop
	// once: a single fault leaves none behind (while every later one fails, it cannot).
	if (!and_after)
		for (auto &e : std::filesystem::directory_iterator(r.dir))
			if (e.path().extension() == ".cow")
				ADD_FAILURE() << "backing file left: " << e.path();

	// What the agent could not stop goes with the driver's unload, as after a crash of it.
	if (ended) {
		EXPECT_GE(agent_command_at(ZEP_IOC_UNLOAD, 0), 0);
		// IO threads of a session the agent could not stop leave the driver with the
		// unload, and close their control files as they end: rmmod waits for them.
		int rc = kern::rmmod("zepdriver");
		for (int i = 0; rc == -EBUSY && i < 500; i++) {
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
			rc = kern::rmmod("zepdriver");
		}
		EXPECT_EQ(rc, 0);
	}
	kern::umount(part);
	// A failed run shows what the kernel said: it is gone with the halt.
	if (::testing::Test::HasFailure())
		for (auto &l : kern::dmesg())
			std::fprintf(stderr, "%s\n", l.c_str());
	for (auto &pr : kern::halt().problems)
		ADD_FAILURE() << "halt: " << pr;
	std::filesystem::remove_all(r.dir);
	return seen;
}

// Sweeps sc: a clean run counts its points, then every `step`-th point is failed alone
// and from there on, up to the first run that fails. Prints what was covered.
// ZEP_SWEEP=<scenario>:<k> (or <k>+ for "and every later one") runs only that run, to
// look at one failure.
inline void sweep(const scenario &sc, long step)
{
	if (const char *only = std::getenv("ZEP_SWEEP")) {
		std::string o = only;
		size_t colon = o.find(':');
		if (o.substr(0, colon) != sc.name)
			GTEST_SKIP() << "ZEP_SWEEP names another scenario";
		run_once(sc, std::stol(o.substr(colon + 1)), o.back() == '+');
		return;
	}
	kern::fault_sweep_result clean = run_once(sc, -1, false);
	ASSERT_GT(clean.reached, 0);
	ASSERT_FALSE(::testing::Test::HasFailure()) << "the clean run fails";
	long runs = 1;
	for (long k = 0; k < clean.reached && !::testing::Test::HasFailure(); k += step) {
		run_once(sc, k, false);
		runs++;
		if (!::testing::Test::HasFailure()) {
			run_once(sc, k, true);
			runs++;
		}
	}
	std::string kinds;
	for (auto &[point, n] : clean.by_point)
		kinds += " " + point + "=" + std::to_string(n);
	std::printf("sweep %s: %ld fault points, %ld runs (every %ld); points:%s\n", sc.name,
		    clean.reached, runs, step, kinds.c_str());
}

} // namespace zeptest::sweep
