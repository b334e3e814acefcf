// The host's side of a served device, for the real ext4 flow of `zep demo` and its tests:
// `zep serve` and other helper processes, an nbdfuse file, a loop device and a mount. Each is
// a guard that lets its thing go in its destructor, so that a step failing half-way leaves no
// process, mount or loop device behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "agent/result.h"

namespace zep::host {

// A shell command's exit code (128 + N for signal N, -1 when it could not be run) and what
// it printed on both streams.
struct shell_result {
	int status = -1;
	std::string output;
	bool ok() const { return status == 0; }
	// "exit 4: <the start of what it printed>", for an error message.
	std::string describe() const;
};
shell_result shell(const std::string &cmd);
// s quoted for the shell.
std::string sh_quote(const std::string &s);
// Whether a program is on the PATH.
bool have_tool(const std::string &name);

// A program run beside this one, in a process group of its own, stdin from /dev/null and both
// output streams appended to a log file. The destructor ends the group (SIGTERM, then SIGKILL
// after a grace) and waits for it.
class child {
public:
	static result<child> start(const std::vector<std::string> &argv, const std::string &log);
	child(child &&o) noexcept : pid_(o.pid_), status_(o.status_) { o.pid_ = -1; }
	child &operator=(child &&) = delete;
	~child() { stop(); }

	pid_t pid() const { return pid_; }
	// Its wait status once it has ended (and been waited for), nothing while it runs.
	std::optional<int> poll();
	// Waits up to limit for it to end by itself.
	std::optional<int> wait_for(std::chrono::milliseconds limit);
	// Ends it (see above); its wait status.
	std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
	child(pid_t pid) : pid_(pid) {}
	pid_t pid_ = -1;
	std::optional<int> status_;
};

// "exit 0", "signal 9".
std::string describe_status(int wait_status);

// `zep serve IMAGES --run-dir DIR [--freeze-hook HOOK]`, up once both its sockets are there.
// Dropped without quit(), the server is ended by SIGTERM.
class server {
public:
	static result<server> start(const std::string &zep_binary, const std::vector<std::string> &images,
				    const std::string &run_dir, const std::string &freeze_hook);
	const std::string &run_dir() const { return run_dir_; }
	std::string uri(const std::string &exp) const;
	// `zep quit` through the control socket, then waits for the server to end: its wait
	// status.
	result<int> quit();
	child &process() { return proc_; }

private:
	server(child p, std::string dir) : proc_(std::move(p)), run_dir_(std::move(dir)) {}
	child proc_;
	std::string run_dir_;
};

// An NBD export as the file DIR/nbd, through nbdfuse; unmounted by fusermount3 in the
// destructor.
class fuse_file {
public:
	static result<fuse_file> mount(const std::string &dir, const std::string &uri, const std::string &log);
	fuse_file(fuse_file &&o) noexcept : dir_(std::move(o.dir_)), proc_(std::move(o.proc_)) { o.dir_.clear(); }
	fuse_file &operator=(fuse_file &&) = delete;
	~fuse_file() { (void)unmount(); }
	std::string path() const { return dir_ + "/nbd"; }
	result<void> unmount();

private:
	fuse_file(std::string dir, child p) : dir_(std::move(dir)), proc_(std::move(p)) {}
	std::string dir_;
	child proc_;
};

// A file attached to the first free loop device; detached in the destructor.
class loop_device {
public:
	static result<loop_device> attach(const std::string &file, bool read_only = false);
	loop_device(loop_device &&o) noexcept : node_(std::move(o.node_)) { o.node_.clear(); }
	loop_device &operator=(loop_device &&) = delete;
	~loop_device() { (void)detach(); }
	const std::string &node() const { return node_; }
	result<void> detach();

private:
	explicit loop_device(std::string node) : node_(std::move(node)) {}
	std::string node_;
};

// A file system mounted on a folder; thawed (should a freeze hook have left it frozen) and
// unmounted in the destructor.
class mount_point {
public:
	static result<mount_point> mount(const std::string &device, const std::string &dir,
					 const std::string &options = "");
	mount_point(mount_point &&o) noexcept : dir_(std::move(o.dir_)) { o.dir_.clear(); }
	mount_point &operator=(mount_point &&) = delete;
	~mount_point() { (void)unmount(); }
	const std::string &dir() const { return dir_; }
	result<void> unmount();

private:
	explicit mount_point(std::string dir) : dir_(std::move(dir)) {}
	std::string dir_;
};

// The SHA-256 of every file under dir, written to sums (paths relative to dir); how many.
result<size_t> write_checksums(const std::string &dir, const std::string &sums);
// Checks the files under dir against sums: fine when every one is there with its checksum,
// else an error naming the first ones that are not.
result<size_t> check_checksums(const std::string &dir, const std::string &sums);

// Why the real ext4 flow cannot run on this machine ("" when it can): not root, no
// /dev/fuse, a missing tool, no free loop device.
std::string ext4_flow_unavailable();

} // namespace zep::host
