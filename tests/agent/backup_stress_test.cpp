// Seeded stress of the whole backup path. Writers rewrite random, overlapping, unaligned
// extents of a mounted device (a ramdisk or a file-backed disk, a partition or the whole
// disk) while the agent, with a change drainer running, takes two to four snapshots in a
// row with one to eight IO threads; extra processes read each snapshot device while the
// backup reads it. The first snapshot gets a full backup, the later ones incrementals made
// from the drainer's change records. Every image must be a state the device passed through
// while it was frozen (the oracle), every reader must see the same image, every point of the
// chain must restore to exactly that image, and the change records must hold every write the
// incremental needs.
//
// Each seed draws everything: disk kind and layout, size, writers, write sizes, snapshots,
// IO threads, staging buffers, readers, the drainer's batch. Seeds 0..49 are tests of their
// own, named .../<seed> (built with a sanitizer, which makes a seed several times slower,
// only seeds 0..4); rerun one with
//     ctest --preset default -R 'BackupStress.*/17$'
// and run any other seed in place of those fifty with
//     ZEP_STRESS_SEED=1234 build/default/tests/agent_backup_stress_test
// (the test is then named .../1234). Set the variable only when running the program itself:
// ctest runs the tests it listed at build time, and the program lists only that seed then.
// The plan a seed drew is printed to stderr, and every failure names the seed.
#include <gtest/gtest.h>

#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <unistd.h>

#include "agent/backup.h"
#include "agent/backup_restore.h"
#include "agent/backup_verify.h"
#include "agent/changes.h"
#include "agent/oracle.h"
#include "agent/session.h"
#include "backupdriver/zepdriver.h"
#include "kernel/block/blkdev.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/core/printk.h"
#include "kernel/core/sched.h"
#include "kernel/syscalls.h"
#include "kernel/block/super.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/host_file.h"

namespace
{

using namespace zep::oracle;
using bytes = std::vector<unsigned char>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint64_t SEEDS = 5;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::uint64_t SEEDS = 5;
#else
constexpr std::uint64_t SEEDS = 50;
#endif
#else
constexpr std::uint64_t SEEDS = 50;
#endif
constexpr const char *SEED_VARIABLE = "ZEP_STRESS_SEED";

// Seeds 0..SEEDS-1, or the one the environment names.
std::vector<std::uint64_t> seeds()
{
	const char *env = std::getenv(SEED_VARIABLE);
	if (!env || !*env) {
		std::vector<std::uint64_t> all(SEEDS);
		std::iota(all.begin(), all.end(), 0);
		return all;
	}
	std::uint64_t seed = 0;
	const char *end = env + std::char_traits<char>::length(env);
	auto [at, ec] = std::from_chars(env, end, seed);
	if (ec != std::errc() || at != end) {
		std::fprintf(stderr, "%s=%s: give a seed, a whole number from 0 to %llu\n", SEED_VARIABLE, env,
			     static_cast<unsigned long long>(UINT64_MAX));
		std::exit(2);
	}
	return {seed};
}

// Writers left to themselves take both cores and leave the backup a sliver of them: a run
// then costs seconds and its logs grow to hundreds of thousands of writes. The pacer holds
// them back as an administrator's freeze would: it keeps the device's file system frozen
// most of the time and thaws it in short bursts. Only the writers' path is held; snapshot
// reads, copy-outs and backing files never pass there. A snapshot's own freeze waits for
// the pacer's thaw, so the start's freeze window grows by at most one frozen spell.
class pacer {
public:
	pacer(kern::dev_t dev, unsigned frozen_ms, unsigned thawed_ms)
	{
		pid_ = kern::spawn("spacer", [this, dev, frozen_ms, thawed_ms] {
			kern::block_device *b = kern::bdget(dev);
			while (!stop_) {
				kern::super_block *sb = kern::freeze_bdev(b);
				kern::msleep(frozen_ms);
				kern::thaw_bdev(b, sb);
				kern::msleep(thawed_ms);
			}
			kern::bdput(b);
			return 0;
		});
	}
	pacer(const pacer &) = delete;
	pacer &operator=(const pacer &) = delete;
	~pacer() { stop(); }
	void stop()
	{
		if (pid_ < 0)
			return;
		stop_ = true;
		EXPECT_EQ(kern::waitpid(pid_), 0);
		pid_ = -1;
	}

private:
	std::atomic<bool> stop_{false};
	kern::pid_t pid_ = -1;
};

// One reader of a snapshot device besides the backup.
struct reader_plan {
	std::size_t piece = 0;	// bytes per read, whole sectors
	bool shuffled = false;	// pieces in random order
	bool agent_named = false;	// a cdp... process, or an ordinary one (which holds off a stop)
};

struct snapshot_plan {
	int io_threads = 1;
	std::size_t staging = 64 << 10;
	// Writes waited for between two snapshots and between the mark and the start command,
	// for at most a moment each: slow writers are not waited for long.
	std::uint64_t writes_before_mark = 0;
	std::uint64_t writes_after_mark = 0;
	std::vector<reader_plan> readers;
};

// Everything a seed decides.
struct plan {
	std::uint64_t seed = 0;
	bool filedisk = false;
	unsigned disk_workers = 2;	// filedisk: threads serving bios
	unsigned frozen_ms = 0, thawed_ms = 0;	// the pacer's cycle, in machine time
	bool partition = true;		// a partition of the disk, or the whole disk
	std::uint64_t part_start = 0;	// in sectors
	std::uint64_t sectors = 0;	// of the device snapshotted
	unsigned writers = 1;
	std::size_t min_bytes = 512, max_bytes = 512;
	int batch = 1024;		// the drainer's records per delivery
	std::vector<snapshot_plan> snapshots;

	static plan draw(std::uint64_t seed)
	{
		std::mt19937_64 rng(seed);
		auto pick = [&](std::uint64_t lo, std::uint64_t hi) {
			return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
		};
		plan p;
		p.seed = seed;
		p.filedisk = pick(0, 1);
		p.disk_workers = static_cast<unsigned>(pick(1, 4));
		p.frozen_ms = static_cast<unsigned>(pick(200, 600));
		p.thawed_ms = static_cast<unsigned>(pick(2, 20));
		p.partition = pick(0, 3) != 0;
		p.part_start = p.partition ? pick(1, 4096) : 0;
		// 4 to 16 MiB, often not a whole number of chunks.
		p.sectors = pick(0, 2) ? pick(8192, 24576) : pick(64, 192) * 128;
		p.writers = static_cast<unsigned>(pick(1, 6));
		p.min_bytes = pick(1, 16) * sector_bytes;
		p.max_bytes = std::max<std::size_t>(p.min_bytes, pick(1, 256) * sector_bytes);
		p.batch = static_cast<int>(pick(0, 1) ? pick(1, 64) : 1024);
		p.snapshots.resize(pick(2, 4));
		for (snapshot_plan &s : p.snapshots) {
			s.io_threads = static_cast<int>(pick(1, 8));
			s.staging = pick(1, 64) * 4096;
			s.writes_before_mark = pick(10, 100);
			s.writes_after_mark = pick(0, 20);
			s.readers.resize(pick(1, 3));
			for (reader_plan &r : s.readers)
				r = {pick(16, 512) * sector_bytes, pick(0, 1) != 0, pick(0, 1) != 0};
		}
		return p;
	}

	std::string describe() const
	{
		std::string s = fmt::format("seed {}: {} {} of {} sectors{}, {} writer(s) of {}..{} bytes, thawed {} ms of {}, "
					    "drainer batch {}, {} snapshots:",
					    seed, filedisk ? fmt::format("filedisk ({} workers)", disk_workers) : "ramdisk",
					    partition ? "partition" : "whole disk", sectors,
					    partition ? fmt::format(" at sector {}", part_start) : "", writers, min_bytes,
					    max_bytes, thawed_ms, thawed_ms + frozen_ms, batch, snapshots.size());
		for (const snapshot_plan &n : snapshots) {
			s += fmt::format(" [{} IO thread(s), {} KiB staging, {} reader(s)", n.io_threads, n.staging >> 10,
					 n.readers.size());
			for (const reader_plan &r : n.readers)
				s += fmt::format(" {}{}{}", r.piece, r.shuffled ? "~" : "", r.agent_named ? "a" : "");
			s += "]";
		}
		return s;
	}
};

// What one snapshot of the run left for the checks.
struct point {
	bytes image;			// the snapshot device as the first reader read it
	XXH64_hash_t hash = 0;
	freeze_window window;
	nanos marked = 0;		// read right after the mark taken before this snapshot
	nanos collected = 0;		// read right before changes_since (later snapshots)
	zep::collected_changes changes;	// since the previous snapshot's mark (later snapshots)
	std::vector<std::optional<XXH64_hash_t>> readers;	// the other readers' images, if they read one
};

XXH64_hash_t hash_of(const bytes &b)
{
	return XXH3_64bits(b.data(), b.size());
}

// Reads `size` bytes of a device node in `piece`-byte reads, in order or shuffled, inside
// the calling process; nothing when a read fails.
std::optional<bytes> read_node(const std::string &node, std::uint64_t size, std::size_t piece, bool shuffled,
			       std::uint64_t seed)
{
	int fd = kern::sys_open(node.c_str(), O_RDONLY, 0);
	if (fd < 0) {
		ADD_FAILURE() << "cannot open " << node << ": " << fd;
		return std::nullopt;
	}
	long buf = kern::sys_mmap(piece);
	std::vector<std::uint64_t> at;
	for (std::uint64_t off = 0; off < size; off += piece)
		at.push_back(off);
	if (shuffled)
		std::shuffle(at.begin(), at.end(), std::mt19937_64(seed));
	bytes out(size);
	bool ok = buf >= 0;
	for (std::size_t i = 0; ok && i < at.size(); i++) {
		std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - at[i]));
		ssize_t n = kern::sys_pread64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), len,
					      static_cast<kern::loff_t>(at[i]));
		if (n != static_cast<ssize_t>(len)) {
			ADD_FAILURE() << "read of " << len << " bytes at " << at[i] << " of " << node << ": " << n;
			ok = false;
		} else {
			kern::user_read(static_cast<unsigned long>(buf), out.data() + at[i], len);
		}
	}
	if (buf >= 0)
		kern::sys_munmap(static_cast<unsigned long>(buf), piece);
	kern::sys_close(static_cast<unsigned>(fd));
	return ok ? std::optional<bytes>(std::move(out)) : std::nullopt;
}

// The driver's complaints so far, for a failure's message.
std::string driver_errors()
{
	std::string out;
	for (const std::string &line : kern::dmesg())
		if (line.find("ERROR") != std::string::npos || line.find("WARN") != std::string::npos)
			out += "\n  " + line;
	return out.empty() ? " (the driver logged no error)" : out;
}

// Takes a snapshot and the tightest freeze window its start command allows: the freeze
// began after the command was issued and the thaw ended before it returned.
struct taken {
	zep::result<zep::snapshot> snap;
	std::optional<freeze_window> window;
};
taken take_timed(kern::dev_t dev, const zep::snapshot_options &o)
{
	taken t{zep::snapshot::take(dev, o), std::nullopt};
	if (!t.snap)
		return t;
	auto w = safe_window(start_timing::of(t.snap->started()));
	if (!w)
		ADD_FAILURE() << "the start command's timings: " << w.err().message;
	else
		t.window = *w;
	return t;
}

class BackupStress : public zeptest::DriverTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
	void SetUp() override
	{
		DriverTest::SetUp();
		dir_ = std::filesystem::temp_directory_path() /
		       fmt::format("zep-stress-{}-{}-{}", GetParam(), ::getpid(), std::random_device{}());
		std::filesystem::create_directories(dir_ / "repo");
	}

	void TearDown() override
	{
		// Whatever a failed run left running goes with the driver's unload, so that IO
		// threads leave the driver before the machine halts.
		if (loaded_ && !halted_)
			zeptest::agent_command_at(ZEP_IOC_UNLOAD, 0);
		if (dev_)
			kern::umount(dev_);
		DriverTest::TearDown();
		std::filesystem::remove_all(dir_);
	}

	// The disk and the device to snapshot, prefilled with the oracle's initial stamps and
	// mounted, so that the start's freeze holds the writers' writes.
	void make_device(const plan &p)
	{
		const std::uint64_t total = p.part_start + p.sectors;
		if (p.filedisk) {
			kern::disk_options o;
			o.size_bytes = total * sector_bytes;
			o.workers = static_cast<int>(p.disk_workers);
			disk_ = kern::add_filedisk("sfd", 8, (dir_ / "disk.img").string(), o);
		} else {
			disk_ = kern::add_ramdisk("srd", 8, total);
		}
		ASSERT_NE(disk_, 0u);
		node_ = std::string("/dev/") + (p.filedisk ? "sfd" : "srd");
		dev_ = disk_;
		if (p.partition) {
			dev_ = kern::add_partition(disk_, 1, p.part_start, p.sectors);
			ASSERT_NE(dev_, 0u);
			node_ += "1";
		}
		zep::result<void> filled = zep::make_error(zep::errc::other, "the process did not run");
		zeptest::in_process("prefill", [&] {
			filled = prefill(node_, {0, p.sectors});
			return 0;
		});
		ASSERT_TRUE(filled) << filled.err().message;
		ASSERT_EQ(kern::mount(dev_), 0);
	}

	// The agent's side of the run, inside its own process: the drainer, the snapshots,
	// the backups and the readers. Fills points_.
	void run_agent(const plan &p, const writer_set &ws);
	// Every point of the chain restored and compared, and the whole repository verified.
	void restore_every_point(const plan &p);

	std::string repo() const { return (dir_ / "repo").string(); }

	std::filesystem::path dir_;
	kern::dev_t disk_ = 0, dev_ = 0;
	std::string node_;
	std::vector<point> points_;
};

// Waits until n more writes have completed, or ms of real time have passed: a pace, not
// a condition. False (with a failure) when a writer failed.
bool more_writes(const writer_set &ws, std::uint64_t n, unsigned ms)
{
	if (n == 0)
		return true;
	auto r = ws.wait_for_writes(ws.writes_completed() + n, ms);
	if (!r && r.err().code != zep::errc::timeout) {
		ADD_FAILURE() << "writers: " << r.err().message;
		return false;
	}
	return true;
}

void BackupStress::run_agent(const plan &p, const writer_set &ws)
{
	const std::uint64_t size = p.sectors * sector_bytes;
	int rc = zeptest::in_process("cdpagent", [&] {
		zep::drainer_options dopt;
		dopt.batch = p.batch;
		auto d = zep::change_drainer::start(dopt);
		if (!d) {
			ADD_FAILURE() << "drainer: " << d.err().message;
			return 1;
		}
		zep::change_mark previous;
		for (std::size_t k = 0; k < p.snapshots.size(); k++) {
			const snapshot_plan &sp = p.snapshots[k];
			SCOPED_TRACE(fmt::format("snapshot {}", k));
			point pt;
			if (!more_writes(ws, sp.writes_before_mark, 100))
				return 1;
			zep::change_mark mark = d->mark();
			pt.marked = now();
			// Writes between the mark and the freeze belong to both neighbouring sets.
			if (!more_writes(ws, sp.writes_after_mark, 30))
				return 1;

			zep::snapshot_options so;
			so.io_threads = sp.io_threads;
			so.staging_buffer = sp.staging;
			so.folder = dir_.string();
			so.device_name = node_.substr(5);
			so.device_path = node_;
			taken t = take_timed(dev_, so);
			if (!t.snap) {
				ADD_FAILURE() << t.snap.err().message << driver_errors();
				return 1;
			}
			zep::snapshot &s = *t.snap;
			if (!t.window)
				return 1;
			pt.window = *t.window;
			if (k > 0) {
				pt.collected = now();
				pt.changes = d->changes_since(dev_, previous);
			}
			previous = mark;

			// The readers start with the backup and go on while it reads.
			std::vector<std::optional<bytes>> got(sp.readers.size());
			std::vector<kern::pid_t> readers;
			for (std::size_t r = 0; r < sp.readers.size(); r++) {
				const reader_plan &rp = sp.readers[r];
				readers.push_back(kern::spawn(rp.agent_named ? fmt::format("cdpread{}", r)
									 : fmt::format("sreader{}", r),
							      [&, r, rp] {
								      got[r] = read_node(s.node(), size, rp.piece,
											 rp.shuffled, p.seed * 97 + k * 7 + r);
								      return 0;
							      }));
				EXPECT_GT(readers.back(), 0);
			}
			zep::backup_source src = zep::snapshot_source(s, node_.substr(5));
			auto made = k == 0 ? zep::full_backup(repo(), src)
					   : zep::incremental_backup(repo(), src, pt.changes.changes);
			for (kern::pid_t pid : readers) {
				if (pid > 0) {
					EXPECT_EQ(kern::waitpid(pid), 0);
				}
			}
			if (!made) {
				ADD_FAILURE() << "backup: " << made.err().message << driver_errors();
				return 1;
			}
			EXPECT_EQ(made->sequence, k);
			if (k > 0) {
				EXPECT_TRUE(pt.changes.changes.complete) << pt.changes.reason;
				EXPECT_EQ(made->method, zep::backup_method::change_records) << made->note;
				EXPECT_FALSE(made->tracking_lost);
			}
			auto error = s.error_text();
			EXPECT_TRUE(error && error->empty()) << (error ? *error : error.err().message);
			auto stopped = s.stop();
			EXPECT_TRUE(stopped) << stopped.err().message;
			for (int code : s.io_thread_exits()) {
				EXPECT_EQ(code, 0) << "an IO thread";
			}
			// The first reader's image is the point's; the others must match it.
			if (!got[0])
				return 1;
			pt.image = std::move(*got[0]);
			pt.hash = hash_of(pt.image);
			for (std::size_t r = 1; r < got.size(); r++)
				pt.readers.push_back(got[r] ? std::optional(hash_of(*got[r])) : std::nullopt);
			points_.push_back(std::move(pt));
		}
		auto ended = d->stop();
		EXPECT_TRUE(ended) << ended.err().message;
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

void BackupStress::restore_every_point(const plan &p)
{
	const std::uint64_t size = p.sectors * sector_bytes;
	for (unsigned k = 0; k < points_.size(); k++) {
		const std::string target = (dir_ / fmt::format("restored-{}.img", k)).string();
		zep::result<zep::restore_summary> r = zep::make_error(zep::errc::other, "the process did not run");
		zeptest::in_process("cdprestore", [&] {
			r = zep::restore_backup(repo(), target, {.sequence = k});
			return 0;
		});
		ASSERT_TRUE(r) << "restore of " << k << ": " << r.err().message;
		EXPECT_EQ(r->size, size);
		EXPECT_EQ(r->chain.size(), k + 1u) << "the full backup and every incremental up to it";
		bytes back = zeptest::read_host_file(target);
		EXPECT_EQ(back.size(), size);
		EXPECT_EQ(hash_of(back), points_[k].hash) << "point " << k << " restores another image";
		std::filesystem::remove(target);
	}
	zep::result<zep::verify_summary> v = zep::make_error(zep::errc::other, "the process did not run");
	zeptest::in_process("cdpverify", [&] {
		v = zep::verify_backups(repo());
		return 0;
	});
	ASSERT_TRUE(v) << v.err().message;
	EXPECT_EQ(v->backups.size(), points_.size());
	EXPECT_TRUE(v->incomplete.empty());
}

// The first sector of [first, first + count) that the extents (sorted, merged) leave out.
std::optional<std::uint64_t> first_uncovered(const std::vector<zep::extent> &ext, std::uint64_t first,
					     std::uint64_t count)
{
	for (std::uint64_t s = first; s < first + count; s++) {
		std::uint64_t b = s * sector_bytes;
		auto it = std::upper_bound(ext.begin(), ext.end(), b,
					   [](std::uint64_t v, const zep::extent &e) { return v < e.start; });
		if (it == ext.begin() || std::prev(it)->end() < b + sector_bytes)
			return s;
	}
	return std::nullopt;
}

TEST_P(BackupStress, ChainsRestoreExactlyAndChangeRecordsHoldEveryWrite)
{
	const plan p = plan::draw(GetParam());
	SCOPED_TRACE(fmt::format("seed {} (rerun it alone: {}={} or -R 'BackupStress.*/{}$')", p.seed, SEED_VARIABLE,
				 p.seed, p.seed));
	std::fprintf(stderr, "backup stress %s\n", p.describe().c_str());
	auto t0 = std::chrono::steady_clock::now();

	ASSERT_NO_FATAL_FAILURE(make_device(p));
	writer_options wo;
	wo.device = node_;
	wo.range = {0, p.sectors};
	wo.writers = p.writers;
	wo.seed = p.seed;
	wo.min_bytes = p.min_bytes;
	wo.max_bytes = p.max_bytes;
	wo.alignment = sector_bytes;
	wo.overlap = overlap::shared;
	pacer held(dev_, p.frozen_ms, p.thawed_ms);
	auto ws = writer_set::start(wo);
	ASSERT_TRUE(ws) << ws.err().message;
	run_agent(p, *ws);
	auto stopped = ws->stop();
	EXPECT_TRUE(stopped) << stopped.err().message;
	held.stop();
	ASSERT_EQ(points_.size(), p.snapshots.size()) << "the run ended early";
	const std::vector<write_record> log = ws->log();

	// Every image a state the device went through while frozen, and every reader saw it.
	auto h = history::build({0, p.sectors}, log);
	ASSERT_TRUE(h) << h.err().message;
	for (std::size_t k = 0; k < points_.size(); k++) {
		const point &pt = points_[k];
		auto r = h->check({pt.image, 0}, pt.window);
		ASSERT_TRUE(r) << r.err().message;
		EXPECT_TRUE(r->ok()) << "snapshot " << k << ": " << r->summary();
		for (std::size_t i = 0; i < pt.readers.size(); i++)
			EXPECT_EQ(pt.readers[i], std::optional(pt.hash)) << "snapshot " << k << ", reader " << i + 1;
	}

	// The change records of each later snapshot: every sector that differs from the image
	// before is in the set (that needs no timing at all), and so is every write the log
	// shows submitted after the mark and completed before the set was collected. A write
	// still in flight then may be queued only after the collection and falls in the next
	// set, and one submitted before the mark may have been collected before it, but it was
	// then in the previous snapshot (whose freeze waited for it). Tracking of a device
	// starts with its first session, so writes before the first thaw count for no set.
	const nanos tracked_from = points_[0].window.thawed_by;
	for (std::size_t k = 1; k < points_.size(); k++) {
		const point &pt = points_[k], &before = points_[k - 1];
		const auto &ext = pt.changes.changes.extents;
		EXPECT_TRUE(std::is_sorted(ext.begin(), ext.end(),
					   [](const zep::extent &a, const zep::extent &b) { return a.start < b.start; }));
		std::uint64_t differing = 0, missed = 0;
		std::optional<std::uint64_t> first_missed;
		for (std::uint64_t s = 0; s < p.sectors; s++) {
			if (std::equal(pt.image.begin() + static_cast<std::ptrdiff_t>(s * sector_bytes),
				       pt.image.begin() + static_cast<std::ptrdiff_t>((s + 1) * sector_bytes),
				       before.image.begin() + static_cast<std::ptrdiff_t>(s * sector_bytes)))
				continue;
			differing++;
			if (first_uncovered(ext, s, 1)) {
				missed++;
				first_missed = first_missed.value_or(s);
			}
		}
		EXPECT_EQ(missed, 0u) << "snapshot " << k << ": " << missed << " of " << differing
				      << " changed sectors are not in its change records, the first " << *first_missed;
		std::uint64_t needed = 0;
		for (const write_record &w : log) {
			if (w.submitted <= std::max(before.marked, tracked_from) || !w.done() || w.completed >= pt.collected)
				continue;
			needed++;
			if (auto s = first_uncovered(ext, w.first, w.count)) {
				ADD_FAILURE() << "snapshot " << k << ": sector " << *s << " of " << w.describe()
					      << " is not in the change records since the mark at " << before.marked;
				break;
			}
		}
		EXPECT_GT(needed + differing, 0u) << "snapshot " << k << ": nothing was written between the snapshots";
	}

	restore_every_point(p);
	std::fprintf(stderr, "backup stress seed %llu: %zu writes, %.2f s\n", static_cast<unsigned long long>(p.seed),
		     log.size(), std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

INSTANTIATE_TEST_SUITE_P(Seeds, BackupStress, ::testing::ValuesIn(seeds()),
			 [](const ::testing::TestParamInfo<std::uint64_t> &info) { return std::to_string(info.param); });

} // namespace
