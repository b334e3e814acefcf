// A snapshot of one device, taken and ended as the driver's protocol wants it:
//
//   start -> set backing file -> N IO-thread processes, each in the become-IO-thread
//   command -> thread-wait once per thread -> ready: /dev/zep<id> shows the frozen image
//   -> stop -> every IO-thread process reaped, the backing files removed.
//
// take() leaves nothing behind when it fails: no session, no process, no file. A snapshot
// belongs to the emulated process that took it (it holds that process's control device):
// use and destroy it there. The destructor stops the session if stop() was not called.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/control.h"
#include "agent/result.h"
#include "kernel/lib/types.h"

namespace zep
{

struct snapshot_options {
	int io_threads = 1;               // IO-thread processes, 1 to 64
	size_t staging_buffer = 64 << 10; // each thread's buffer: 4 KiB to 256 MiB, whole pages
	std::string folder = "/tmp";      // host folder for the backing files
	// Base name of the backing files <folder>/<name>.cow (the session's) and
	// <folder>/<name>-io<t>.cow (thread t's); "" makes one from the device, a number
	// drawn once per program and a counter. Existing files are never reused or overwritten.
	std::string name;
	bool track_changes = true;
	uint64_t bfree = 0;      // free-block floor of the backing file system
	std::string device_name; // the device's name and node path, for the driver's
	std::string device_path; // reports and the device-path query
};

class snapshot {
public:
	// Starts a session on device and its IO threads. Errors: refused (the driver's reason
	// in the message), not_found (no control device, or the folder is missing), usage
	// (bad options, or a backing file exists already), io (an IO-thread process could
	// not open its backing file or map its buffer), timeout (an IO thread never arrived),
	// invalidated (the session failed while starting).
	static result<snapshot> take(kern::dev_t device, const snapshot_options &o = {});

	snapshot(snapshot &&) noexcept;
	snapshot &operator=(snapshot &&) noexcept;
	snapshot(const snapshot &) = delete;
	snapshot &operator=(const snapshot &) = delete;
	~snapshot();

	int id() const;
	kern::dev_t device() const;
	std::string node() const;               // "/dev/zep<id>": read it from a cdp... process
	const started_session &started() const; // time, freeze window, active sessions
	const std::vector<std::string> &backing_files() const; // the session's, then thread t's
	bool stopped() const;
	control &ctl(); // the control device it holds

	// The session's error text: "" while healthy.
	result<std::string> error_text();
	// invalidated (with the driver's reason) once the session has an error.
	result<void> check();
	// The session as the driver lists it (changed_blocks: chunks preserved so far).
	result<session_info> info();

	// Stops the session. Refused while an ordinary process (not named cdp...) holds the
	// snapshot device open or mounted: the session then keeps running and stop() may be
	// called again. Otherwise every IO-thread process is reaped and the backing files are
	// removed; invalidated when the driver had invalidated the session (its reason in the
	// message), since the image was then not usable. Further calls return the same.
	result<void> stop();
	// The IO-thread processes' exit codes, once stopped (0: left the driver normally).
	const std::vector<int> &io_thread_exits() const;

	struct state;

private:
	explicit snapshot(std::unique_ptr<state> s);
	std::unique_ptr<state> s_;
};

} // namespace zep
