// Writes through a hooked ramdisk partition with a live session, each case against the
// same writes with no session, measured in the same run: first writes, which wait for the
// copy-out of every old 64 KiB chunk they touch, and writes to chunks already preserved.
//
// The writer is the init task itself, writing from its own mapped memory through the
// partition's device node (sys_pwrite64): the whole path a user write takes (copy from
// user, the block layer's bios within the queue's limits, the hook, the device), with no
// hand-off to another process that would cost a change of context per write on both sides
// of the ratio. One IO-thread process drains the copied-out chunks to a backing file in
// the background, as the agent's would.
//
// Writes are timed one by one (manual time, wall clock). Hooked writes go in batches;
// after each batch the same offsets are written on a twin disk that no session hooks, and
// the ratio is hooked time per write over twin time per write. For first writes every
// batch gets a new session and the time to set it up and to stop it (which drains what
// the IO thread had left) is not counted.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "tests/driver/cow_session.h"

namespace {

using namespace kern;

constexpr u64 CHUNK = COW_CHUNK_SIZE;
constexpr sector_t PART_START = 2048;		// chunk-aligned: the disk's chunks are the partition's
constexpr u64 PART_BYTES = 128ull << 20;	// 2048 chunks
constexpr u64 PART_CHUNKS = PART_BYTES / CHUNK;
constexpr u64 MAX_WRITE = 1 << 20;
constexpr int STAGING_BYTES = 1 << 20;		// the IO thread's buffer: 16 chunk slots
constexpr int SESSION_ID = 1;

// Chunks the driver preserves for a chunk-aligned write of `bytes`: the ones it touches,
// and the next one when it ends on a chunk boundary (a 1 MiB write preserves 17).
u64 chunks_listed(u64 bytes) { return bytes / CHUNK + 1; }

// The writes of one batch: chunk-aligned, `chunks_listed` apart, so that no two writes of a
// batch share a chunk the driver preserves.
struct write_plan {
	u64 bytes, stride, count;
	explicit write_plan(u64 b)
	    : bytes(b), stride(chunks_listed(b) * CHUNK), count((PART_BYTES - b) / stride + 1)
	{
	}
	kern::loff_t offset(u64 i) const { return static_cast<kern::loff_t>(i * stride); }
};

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Copied-out chunks queued for the IO threads and not yet written out.
u64 queued(cow_session *cs)
{
	u64 n = 0;
	for (io_thread *t : cs->thread_info->io_threads)
		n += static_cast<u64>(atomic_read(&t->pending_io));
	return n;
}

// Nothing queued and no file copy left anywhere.
bool drained(cow_session *cs) { return !queued(cs) && !atomic_read(&cs->fc_count); }

// The agent's IO thread: a process with its backing file and staging buffer that stays in
// the become-IO-thread command until the session stops.
kern::pid_t spawn_io_thread(const std::string &backing)
{
	return spawn("cdpio", [backing] {
		int file = sys_open(backing.c_str(), O_RDWR | O_CREAT, 0600);
		int ctl = sys_open("/dev/" ZEP_CONTROL_NAME, O_RDWR, 0);
		long mem = sys_mmap(STAGING_BYTES + sizeof(qz_thread_info));
		if (file < 0 || ctl < 0 || mem < 0)
			return 100;
		qz_thread_info ti{};
		ti.session_id = SESSION_ID;
		ti.file_fd = file;
		ti.buffer_size = STAGING_BYTES;
		ti.user_addr = static_cast<uint32_t>(mem);
		unsigned long rec = static_cast<unsigned long>(mem) + STAGING_BYTES;
		if (user_write(rec, &ti, sizeof(ti)))
			return 101;
		long r = sys_ioctl(static_cast<unsigned>(ctl), ZEP_IOC_RUN_IO_THREAD, rec);
		sys_close(static_cast<unsigned>(ctl));
		return static_cast<int>(r);
	});
}

// One benchmark's machine: a hooked disk and its twin, each with one chunk-aligned
// partition full of data (so neither write path allocates ramdisk storage), the driver
// loaded, both partitions open in the init task and a buffer in its memory.
class cow_rig {
public:
	explicit cow_rig(benchmark::State &state) : state_(state)
	{
		dir_ = std::filesystem::temp_directory_path() /
		       ("zep-cow-bench-" + std::to_string(std::random_device{}()));
		std::filesystem::create_directories(dir_);
		boot_params p;
		p.clock_speed = 100;	// the IO thread's 5 s idle wait is 50 ms of real time
		boot(p);
		kern::dev_t hooked = add_disk("zbh"), plain = add_disk("zbp");
		if (!hooked || !plain || dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, MKDEV(ZEP_CONTROL_MAJOR, 0)) ||
		    insmod("zepdriver")) {
			fail("cannot set up the disks or load the driver");
			return;
		}
		loaded_ = true;
		part_ = hooked + 1;
		hooked_fd_ = sys_open("/dev/zbh1", O_RDWR, 0);
		plain_fd_ = sys_open("/dev/zbp1", O_RDWR, 0);
		long mem = sys_mmap(MAX_WRITE);
		if (hooked_fd_ < 0 || plain_fd_ < 0 || mem < 0) {
			fail("cannot open the partitions");
			return;
		}
		buf_ = static_cast<unsigned long>(mem);
		std::vector<unsigned char> fresh(MAX_WRITE);
		for (size_t i = 0; i < fresh.size(); i++)
			fresh[i] = static_cast<unsigned char>(i * 13 + 5);
		user_write(buf_, fresh.data(), fresh.size());
	}

	~cow_rig()
	{
		if (cs_)
			stop_session();
		for (int fd : {hooked_fd_, plain_fd_})
			if (fd >= 0)
				sys_close(static_cast<unsigned>(fd));
		if (loaded_ && rmmod("zepdriver"))
			fail("cannot unload the driver");
		halt_report r = halt();
		for (const std::string &p : r.problems)
			std::fprintf(stderr, "halt: %s\n", p.c_str());
		if (!r.clean())
			fail("halt reported problems: " + r.problems.front());
		std::filesystem::remove_all(dir_);
	}

	bool ok() const { return !failed_; }

	void fail(const std::string &why)
	{
		if (!failed_)
			state_.SkipWithError(why.c_str());
		failed_ = true;
	}

	// A hooked session with its IO thread attached.
	cow_session *start_session()
	{
		cs_ = zeptest::build_session(part_, SESSION_ID);
		if (!cs_) {
			fail("cannot build a session");
			return nullptr;
		}
		if (zeptest::hook_session(cs_))
			fail("cannot hook the partition's disk");
		io_pid_ = spawn_io_thread((dir_ / "backing").string());
		// A process that fails before the command never signals: wait a bounded time.
		if (io_pid_ < 0 ||
		    !wait_for_completion_timeout(&cs_->thread_info->io_thread_done, msecs_to_jiffies(600000)) ||
		    atomic_read(&cs_->thread_info->io_threads_started) != 1) {
			fail("the IO thread did not attach");
			return nullptr;
		}
		return cs_;
	}

	void stop_session()
	{
		zeptest::stop_session(cs_);
		cs_ = nullptr;
		if (io_pid_ >= 0 && waitpid(io_pid_) != 0)
			fail("the IO thread failed");
		io_pid_ = -1;
	}

	// One write of `bytes` at `off` of the hooked or the twin partition: its wall time.
	double write(bool hooked, kern::loff_t off, u64 bytes)
	{
		auto t0 = std::chrono::steady_clock::now();
		ssize_t n = sys_pwrite64(static_cast<unsigned>(hooked ? hooked_fd_ : plain_fd_), buf_, bytes, off);
		double t = seconds_since(t0);
		if (n != static_cast<ssize_t>(bytes))
			fail("a write failed");
		return t;
	}

	// The twin's time for the writes [0, n) of the plan.
	double baseline(const write_plan &plan, u64 n)
	{
		double t = 0;
		for (u64 i = 0; i < n; i++)
			t += write(false, plan.offset(i), plan.bytes);
		return t;
	}

	cow_session *session() const { return cs_; }

private:
	kern::dev_t add_disk(const char *name)
	{
		kern::dev_t disk = add_ramdisk(name, 8, PART_START + PART_BYTES / 512);
		if (!disk || !add_partition(disk, 1, PART_START, PART_BYTES / 512))
			return 0;
		std::vector<unsigned char> old(MAX_WRITE);
		for (u64 at = 0; at < PART_BYTES; at += old.size()) {
			for (size_t i = 0; i < old.size(); i++)
				old[i] = static_cast<unsigned char>((at + i) * 7 + ((at + i) >> 16));
			if (disk_poke(disk, PART_START + at / 512, old.data(), old.size()))
				return 0;
		}
		return disk;
	}

	benchmark::State &state_;
	std::filesystem::path dir_;
	bool loaded_ = false, failed_ = false;
	kern::dev_t part_ = 0;
	int hooked_fd_ = -1, plain_fd_ = -1;
	unsigned long buf_ = 0;
	cow_session *cs_ = nullptr;
	kern::pid_t io_pid_ = -1;
};

// The timed loop: hooked writes one by one, in batches of the plan's writes. A batch opens
// with `begin` and closes with `end` (neither timed); then the twin takes the batch's
// writes. Sets the per-write time without a session and the ratio.
void measure(benchmark::State &state, cow_rig &rig, const write_plan &plan,
	     const std::function<bool()> &begin, const std::function<void(u64)> &end)
{
	double hooked = 0, plain = 0;
	u64 hooked_n = 0, plain_n = 0, in_batch = 0;
	auto close_batch = [&] {
		end(in_batch);
		plain += rig.baseline(plan, in_batch);
		plain_n += in_batch;
		in_batch = 0;
	};
	for (auto _ : state) {
		if (!rig.ok() || (in_batch == 0 && !begin()))
			break;
		double t = rig.write(true, plan.offset(in_batch), plan.bytes);
		state.SetIterationTime(t);
		hooked += t;
		hooked_n++;
		if (++in_batch == plan.count)
			close_batch();
	}
	if (rig.ok() && in_batch)
		close_batch();
	if (!hooked_n || !plain_n)
		return;
	double h = hooked / static_cast<double>(hooked_n), p = plain / static_cast<double>(plain_n);
	state.counters["no_session_us"] = p * 1e6;
	state.counters["ratio"] = h / p;
	state.SetBytesProcessed(static_cast<int64_t>(hooked_n * plan.bytes));
}

// Every hooked write finds every chunk it touches unpreserved and waits for their copy-out.
// Each batch has a session of its own, stopped before the twin's writes: the twin writes
// while no IO thread works.
void BM_FirstWrite(benchmark::State &state)
{
	write_plan plan(static_cast<u64>(state.range(0)));
	cow_rig rig(state);
	double behind = 0;	// share of a batch's copy-outs still queued after its last write
	u64 batches = 0;
	auto begin = [&] { return rig.start_session() != nullptr; };
	auto end = [&](u64 writes) {
		cow_session *cs = rig.session();
		u64 copied = cs->pos;
		if (copied != writes * chunks_listed(plan.bytes) || is_error(cs))
			rig.fail("a hooked write did not copy out exactly the chunks it touched");
		behind += static_cast<double>(queued(cs)) / static_cast<double>(copied ? copied : 1);
		batches++;
		rig.stop_session();
	};
	measure(state, rig, plan, begin, end);
	if (batches)
		state.counters["queued_at_end"] = behind / static_cast<double>(batches);
}

// Every hooked write finds its chunks preserved and already in the backing file.
void BM_PreservedWrite(benchmark::State &state)
{
	write_plan plan(static_cast<u64>(state.range(0)));
	cow_rig rig(state);
	cow_session *cs = rig.ok() ? rig.start_session() : nullptr;
	if (cs) {
		// Preserve the whole partition, then let the IO thread write it all out.
		for (kern::loff_t off = 0; off < static_cast<kern::loff_t>(PART_BYTES); off += MAX_WRITE)
			rig.write(true, off, MAX_WRITE);
		for (int ms = 0; !drained(cs) && ms < 20000; ms++)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		if (cs->pos != PART_CHUNKS || !drained(cs) || is_error(cs))
			rig.fail("the partition was not preserved and drained");
	}
	auto end = [&](u64) {
		if (cs->pos != PART_CHUNKS || is_error(cs))
			rig.fail("a write to a preserved chunk copied it out again");
	};
	measure(state, rig, plan, [&] { return cs != nullptr; }, end);
}

// 4 KiB and 1 MiB writes, timed by hand (wall clock) so that set-up and the twin's writes
// stay out; a few seconds of real time each.
void write_sizes(benchmark::internal::Benchmark *b)
{
	b->Arg(4096)->Arg(1 << 20)->ArgName("bytes")->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(0.5);
}
BENCHMARK(BM_FirstWrite)->Apply(write_sizes);
BENCHMARK(BM_PreservedWrite)->Apply(write_sizes);

} // namespace
