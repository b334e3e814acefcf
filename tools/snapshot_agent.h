// The agent's side of the snapshot protocol: one small call per control command, each
// issued from inside an agent process with its record in that process's own memory, and
// the IO-thread processes a session needs. Talks to the driver only through the syscall
// layer and the records of zepdriver.h.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "backupdriver/zepdriver.h"
#include "kernel/types.h"

namespace zep {

// Runs body in a new process named comm and waits for it: its exit code, or -errno when
// it could not be started.
int run_process(const std::string &comm, std::function<int()> body);

// The control device as one agent process holds it: the open descriptor and a mapped
// buffer where command records go. Use it inside a process; closed on destruction.
class control {
public:
	static constexpr size_t BUFFER_BYTES = 64 << 10;

	control() = default;
	control(const control &) = delete;
	control &operator=(const control &) = delete;
	~control() { close(); }

	// Opens /dev/zepdriver and maps the buffer: 0 or -errno.
	int open();
	void close();
	// Copies rec to the start of the buffer, issues cmd with its address and copies the
	// buffer back into rec: the command's result.
	template <typename T> long command(unsigned int cmd, T *rec) { return command_bytes(cmd, rec, sizeof(T)); }
	long command_bytes(unsigned int cmd, void *rec, size_t n);
	// User address of byte off of the buffer, and a copy of bytes from there, for records
	// that point at further records.
	unsigned long address(size_t off) const { return mem_ + off; }
	void read(size_t off, void *dst, size_t n) const;

private:
	int fd_ = -1;
	unsigned long mem_ = 0;
};

// The driver's version: 0 with it in vi, or the command's result.
long get_version(control &c, version_info *vi);

// A start request for a partition: change tracking with a backing file supplied from user
// space, named by `backing`.
snap_shot_request start_request(kern::dev_t dev, const std::string &name, const std::string &backing);
// Starts a session: 0, with the session id, the active sessions and the freeze timings in
// ssr; else the command's result.
long start_snapshot(control &c, snap_shot_request *ssr);
// Opens `path` in the calling process and hands the descriptor to session id, which keeps
// its own reference: 0, -errno when the file could not be opened, or the command's result.
long set_backing_file(control &c, int id, const std::string &path);
// Waits (bounded by the driver) until one more IO thread of the session has started.
long wait_for_io_thread(control &c, int id);
// Every session the driver runs: 0 with the list, or the failed command's result.
long list_sessions(control &c, std::vector<session_list> *out);
// The session's error text ("" while it is healthy): 0 with the text, or the command's result.
long session_error(control &c, int id, std::string *text);
// Stops session id; waits for its snapshot device to be released.
long stop_snapshot(control &c, int id);

// Starts an IO-thread process for session_id: it opens its own backing file, maps a
// staging buffer of buffer_bytes and stays in the become-IO-thread command until the
// session stops. Its exit code is the command's result (0), or 100 (file), 101 (buffer),
// 102 (control device) when it could not get that far. The pid, or -errno.
kern::pid_t start_io_thread(int session_id, int thread, const std::string &backing, int buffer_bytes = 64 << 10);

} // namespace zep
