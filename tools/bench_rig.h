// What `zep bench` and the Google Benchmark micro-benchmarks under bench/ measure with: a
// machine booted for one measurement, with a disk whose partition gets snapshot sessions
// (the "hooked" disk) and a twin disk of the same kind and size that no session ever hooks,
// so that every cost is a ratio against the same writes or reads without the driver, taken
// in the same run.
//
// The writer is the calling task itself (the machine's init process), writing from its own
// mapped memory through the partitions' device nodes: the whole path a user write takes
// (copy from user, the block layer's bios within the queue's limits, the hook, the device),
// with no hand-off to another process that would cost a change of context on both sides of
// a ratio. Both partitions are mounted, as a user's would be: the driver freezes a
// file system at a session's start, and the twin's writes take the same mounted path.
//
// Sessions are started and stopped through the agent's own snapshot protocol. Failures
// throw rig_error, which says what failed; the destructor always stops the sessions and
// halts the machine.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/session.h"
#include "kernel/machine.h"

namespace zep::bench
{

constexpr uint64_t CHUNK = 64 << 10; // the driver's copy-out unit
constexpr uint64_t MAX_IO = 1 << 20; // the largest request the rig writes or reads

struct rig_error : std::runtime_error {
	using std::runtime_error::runtime_error;
};

struct rig_options {
	bool file_disks = false;        // host files in `dir` instead of RAM disks
	std::string dir;                // the rig's own folder (made, removed at the end)
	uint64_t part_bytes = 64 << 20; // the partitions' size, whole chunks
	int io_threads = 2;             // IO-thread processes per session, as zep backup's default
	bool verbose = false;           // mirror the kernel log to standard error
};

// Wall-clock seconds since t0.
double seconds_since(std::chrono::steady_clock::time_point t0);

// Chunks the driver preserves for a chunk-aligned write of `bytes`: the ones it touches, and
// the next one when it ends on a chunk boundary (a 1 MiB write preserves 17).
uint64_t chunks_preserved(uint64_t bytes);

// The writes of one pass over a partition: chunk-aligned and far enough apart that no two
// of them preserve the same chunk, so that each is a first write in a fresh session.
struct write_plan {
	uint64_t bytes, stride, count;
	write_plan(uint64_t bytes, uint64_t part_bytes);
	int64_t offset(uint64_t i) const { return static_cast<int64_t>(i * stride); }
};

// The driver's memory in use, from the kernel's allocation accounting: kmalloc, vmalloc,
// slab objects and pages.
long kernel_memory_bytes();

class rig
{
      public:
	explicit rig(const rig_options &o);
	rig(const rig &) = delete;
	rig &operator=(const rig &) = delete;
	~rig();

	// Stops what still runs and halts: what the halt found left over ("" when clean).
	std::string finish();

	kern::dev_t hooked_disk() const { return hooked_disk_; }
	kern::dev_t hooked_part() const { return hooked_disk_ + 1; }
	kern::dev_t twin_disk() const { return twin_disk_; }
	uint64_t part_bytes() const { return o_.part_bytes; }
	const std::string &dir() const { return o_.dir; }
	// The host file of a file disk.
	std::string disk_file(bool hooked) const;

	// One write of `bytes` (at most MAX_IO) at `off` of the hooked or the twin partition,
	// from the rig's buffer: its wall time.
	double write(bool hooked, int64_t off, uint64_t bytes);
	// One read into the rig's buffer from a descriptor of the calling process: its wall time.
	double read(int fd, int64_t off, uint64_t bytes);
	// The partitions' descriptors in the calling process.
	int fd(bool hooked) const { return hooked ? hooked_fd_ : twin_fd_; }
	// Opens a device node in the calling process (closed at the end).
	int open_node(const std::string &path, bool read_only = false);
	void close_node(int fd);

	// A snapshot of the hooked partition through the agent, with change tracking or not.
	snapshot &take(bool track_changes);
	// Stops the newest running snapshot.
	void stop();
	size_t sessions() const { return snaps_.size(); }
	// Waits (real time, bounded) until the newest session's IO threads have written out every
	// chunk copied so far: whether they did.
	bool drained(unsigned ms = 60000);
	// Chunks the newest session has preserved.
	uint64_t preserved();

      private:
	void set_up();
	kern::dev_t add_disk(const std::string &name);

	rig_options o_;
	bool booted_ = false, loaded_ = false;
	kern::dev_t hooked_disk_ = 0, twin_disk_ = 0;
	std::vector<kern::dev_t> mounted_;
	int hooked_fd_ = -1, twin_fd_ = -1;
	std::vector<int> fds_;
	unsigned long buf_ = 0;
	std::vector<snapshot> snaps_;
};

// Times `n` 4 KiB bio round trips (alloc, add a page, submit, wait for the completion,
// put) on dev, alternating writes and reads when rw < 0, else all of direction rw (0 read,
// 1 write), walking the device. Total seconds; throws rig_error when a bio fails.
double bio_round_trips(kern::dev_t dev, uint64_t n, int rw = -1);

} // namespace zep::bench
