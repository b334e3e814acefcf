// The control device /dev/zepdriver as one agent process holds it: one typed call per
// command, each returning a value or an error that says what failed and what to do.
//
// A control belongs to the emulated process that opened it (its descriptor and its record
// buffer live in that process): open it, use it and let it go inside that one process,
// from that process's own thread. It is not shared between threads.
//
// The driver answers with plain values (0, -1, 1, -255) and gives its reasons only in the
// kernel log; the calls here turn those into errc values and carry the driver's own
// "zep: ERROR: ..." lines in the message where it logged any. Some commands succeed for a
// session that does not exist (stop, set backing file, session error): these calls look the
// session up first and answer not_found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/result.h"
#include "kernel/lib/types.h"

namespace zep
{

// A span of time as the driver reports it: whole seconds and nanoseconds.
struct duration {
	uint32_t sec = 0;
	uint32_t nsec = 0;
	double ms() const { return sec * 1e3 + nsec / 1e6; }
	uint64_t ns() const { return sec * 1'000'000'000ull + nsec; }
};

// How long the start froze the device's file system: from the freeze request until the
// file system was frozen, and until it was thawed again (machine clock).
struct freeze_window {
	duration get_freeze;
	duration frozen;
	double get_freeze_ms() const { return get_freeze.ms(); }
	double frozen_ms() const { return frozen.ms(); }
};

struct start_options {
	kern::dev_t device = 0;     // the live device: a partition or a whole disk
	std::string backing_file;   // must differ from every running session's backing file
	std::string device_name;    // kept by the driver for its reports
	std::string device_path;    // returned by device_path()
	std::string backing_device; // the device that holds the backing file, if known
	bool track_changes = true;  // mode bit 1: record the device's writes as change records
	uint64_t bfree = 0;         // free-block floor of the backing file system
};

// A session the driver started.
struct started_session {
	int id = 0;        // the snapshot device is /dev/zep<id>
	uint32_t time = 0; // the snapshot time, seconds since the epoch
	freeze_window freeze;
	int active_sessions = 0; // sessions running after this start
	int mode = 0;            // as sent, plus the driver's started bit
	// The machine's wall clock (kern::current_kernel_time, in ns) read right before the
	// command was issued and right after it returned: the freeze and the thaw lie between.
	int64_t issued_ns = 0;
	int64_t returned_ns = 0;
	bool marked_started() const;
	bool tracks_changes() const;
};

// One session as the list reports it.
struct session_info {
	int id = 0;
	uint32_t time = 0;
	uint64_t changed_blocks = 0; // chunks preserved (copy-outs begun) so far
	uint32_t block_size = 0;     // the chunk size in bytes
	freeze_window freeze;
	int mode = 0;
	int error = 0; // non-zero once invalidated: see session_error()
	bool invalidated() const { return error != 0; }
	bool tracks_changes() const;
};

// What the stop command answers.
struct stopped_session {
	std::string backing_file; // the stopped session's backing file
	int active_sessions = 0;  // sessions running after the stop
};

struct driver_version {
	uint64_t major = 0, minor = 0, maint = 0, build = 0;
	std::string text() const; // "4.4.0 build 18929"
};

// One written range of a tracked device (or of a snapshot device), in 512-byte sectors
// from the start of that device.
struct changed_range {
	unsigned major = 0, minor = 0; // minor: its low 16 bits
	uint64_t start_sector = 0;
	uint64_t sector_count = 0;
	kern::dev_t device() const { return kern::MKDEV(major, minor); }
};

struct change_batch {
	std::vector<changed_range> records; // oldest first
	bool tracking_complete = true;      // false once any tracked write may have been lost
	int queued = 0;                     // records still queued after this delivery
};

// What the become-IO-thread command is given: everything lives in the calling process.
struct io_thread_params {
	int thread = 0; // the thread's number, for the driver's messages
	int session = 0;
	int fd = -1;         // the thread's backing file, open in this process
	uint32_t buffer = 0; // user address of the staging buffer
	int32_t buffer_size = 0;
};

// What the no-thread shutdown did.
enum class no_thread_outcome {
	has_threads, // an IO thread had started: nothing was changed
	stopped,     // the session was invalidated ("NO THREADS") and stopped
	left_in_use, // invalidated, but its snapshot device is open: still listed
};

class control {
public:
	static constexpr const char *DEVICE = "/dev/zepdriver";

	// Opens the control device in the calling process and maps its record buffer there.
	static result<control> open();

	control(control &&o) noexcept;
	control &operator=(control &&o) noexcept;
	control(const control &) = delete;
	control &operator=(const control &) = delete;
	~control(); // closes the descriptor (in the process that opened it)

	// ---- sessions
	// Starts a session (change tracking as asked, a user-space backing file always).
	// refused carries the driver's reason; a backing file in use by another session is
	// refused with detail -2.
	result<started_session> start(const start_options &o);
	// Stops a session. The driver waits about 5 s for ordinary openers of /dev/zep<id>
	// (mounts, readers not named cdp...) and refuses if one stays: refused, the session
	// still running. not_found when there is no such session.
	result<stopped_session> stop(int id);
	// Hands session id the backing file open under fd in this process; the session keeps
	// its own reference. refused when it already has one or fd is not open.
	result<void> set_backing_file(int id, int fd, const std::string &path);
	// Serves as an IO thread of p.session: returns only when the thread's work is over
	// (the session stopped, or the driver turned the thread away: it logs why).
	result<void> run_io_thread(const io_thread_params &p);
	// Waits (up to 30 s of machine time) until one more IO thread of session id has
	// started; each start is waited for once. timeout, or not_found.
	result<void> wait_for_io_thread(int id);
	// Shuts session id down if no IO thread ever started on it.
	result<no_thread_outcome> shutdown_without_threads(int id);

	// ---- queries
	result<std::vector<session_info>> sessions();
	result<int> session_count();
	result<session_info> session(int id); // from the list; not_found
	result<bool> exists(int id);
	result<int> find_session(kern::dev_t device); // the id of the session on device
	result<std::string> device_path(int id);
	result<std::string> backing_file(int id);
	// "" while the session is healthy, else why it was invalidated.
	result<std::string> session_error(int id);
	result<driver_version> version();

	// ---- change records
	// Takes up to `capacity` change records, waiting until that many are queued or
	// unblock_changes() (from another process) or a signal ends the wait.
	result<change_batch> changed_records(int capacity);
	// Ends the wait of a changed_records() call, or makes the next one return at once.
	result<void> unblock_changes();
	// Marks every change-tracking session as having lost changes.
	result<void> fail_change_tracking();

	// ---- the driver
	// Stops every session and makes the driver refuse new ones until it is reloaded.
	result<void> unload();
	// Asks the driver's watchdog to log the locks it cannot take (see the kernel log).
	result<void> list_locks();

private:
	control(int fd, unsigned long mem, size_t len) : fd_(fd), mem_(mem), len_(len) {}
	void close();
	// Room for n bytes at the start of the record buffer (remapped when too small).
	result<void> reserve(size_t n);
	// Copies rec into the buffer, issues cmd with its address, copies the buffer back.
	long command(unsigned int cmd, void *rec, size_t n, bool read_back = true);
	result<void> check_exists(int id, const char *what);
	result<std::string> text_query(unsigned int cmd, int id, const char *what);

	int fd_ = -1;
	unsigned long mem_ = 0; // user address of the record buffer
	size_t len_ = 0;
	kern::pid_t owner_ = 0; // the process that opened it
};

} // namespace zep
