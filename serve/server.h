// The long-lived machine of `zep serve`: the images as file disks vda, vdb, ... with the
// partitions of their tables, each device mounted so that sessions can start, the driver
// loaded, and the snapshots taken through the control socket. Its devices are exported over
// NBD by the nbdkit plugin (serve/plugin.cpp), whose worker threads enter the server's
// process so that the descriptors of open exports are shared by all of them, as a threaded
// server's are.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/result.h"
#include "agent/session.h"
#include "kernel/lib/types.h"

namespace zep {

struct serve_config {
	std::vector<std::string> images;	// host files or block devices
	std::string run_dir;			// the sockets, and the snapshots' backing files
	bool verbose = false;			// mirror the kernel log to standard error
	std::string freeze_hook;		// run as `CMD freeze|thaw DEVICE` around a freeze
};

// One export: a live device (read-write) or a snapshot (read-only unless taken writable).
struct export_info {
	std::string name;	// "vda", "vda1", "zep1"
	kern::dev_t dev = 0;
	uint64_t size = 0;	// bytes
	bool writable = false;
	bool snapshot = false;
	int open = 0;		// NBD connections that have it open
};

class server {
public:
	explicit server(serve_config c);
	~server();
	server(const server &) = delete;
	server &operator=(const server &) = delete;

	// Boots the machine and brings the devices and the driver up; in the thread that
	// will later call stop().
	result<void> start();
	// Stops every snapshot, unloads the driver, unmounts and halts: what was left over,
	// one line each (nothing when the machine ended clean).
	std::vector<std::string> stop();

	// Makes the calling host thread a thread of the server's process (once per thread;
	// comm names it in the kernel's log). Device descriptors are then shared.
	void enter(const char *comm);
	// The calling thread leaves it again (before it ends, when that may follow the halt).
	void leave();

	std::vector<export_info> exports();
	// Opens the export for an NBD connection: its descriptor, or an error.
	result<int> open_export(const std::string &name, bool write, export_info *info);
	void close_export(const std::string &name, int fd);

	// One control request, one answer: {"error": {"code", "message"}} on failure.
	nlohmann::json handle(const nlohmann::json &request);
	// Set by a quit request: the plugin then ends nbdkit.
	bool quitting();

private:
	struct device {
		std::string name;
		kern::dev_t dev = 0;
		uint64_t size = 0;
		bool mounted = false;
	};
	struct snap {
		std::string device;
		bool writable = false;
		std::unique_ptr<snapshot> s;
	};

	result<void> attach(const std::string &path, char letter);
	nlohmann::json status();
	result<nlohmann::json> take(const nlohmann::json &request);
	result<void> release(const std::string &name);
	device *find_device(const std::string &name);

	serve_config cfg_;
	bool booted_ = false, loaded_ = false;
	kern::pid_t leader_ = -1;	// the server's process: its files hold the exports' fds

	std::mutex m_;			// everything below
	std::condition_variable cv_;
	bool ending_ = false, quit_ = false;
	std::vector<device> devices_;
	std::map<std::string, snap> snaps_;
	std::map<std::string, int> opens_;
};

} // namespace zep
