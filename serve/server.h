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
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/changes.h"
#include "agent/manifest.h"
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
		source_identity id;	// what its backups are of
	};
	struct snap {
		std::string device;
		bool writable = false;
		std::string mark;	// taken right before it: changes since it are since this
		std::unique_ptr<snapshot> s;
	};
	// A place in the change drainer's order, named "m1", "m2", ...
	struct named_mark {
		std::string device;
		change_mark m;
	};
	// The mark before the snapshot a backup was made from: an incremental after that
	// backup reads what changed since it. The backup is known by its repository,
	// number, device and snapshot time (a repository made anew does not match).
	struct backup_key {
		std::string repo;
		unsigned sequence = 0;
		std::string device;
		int64_t snapshot_time = 0;
		auto operator<=>(const backup_key &) const = default;
	};
	struct taken {
		std::string name, mark, thaw_error;
		std::unique_ptr<snapshot> s;
	};

	result<void> attach(const std::string &path, char letter);
	nlohmann::json status();
	result<taken> take_snapshot(const device &d, int threads);
	result<nlohmann::json> take(const nlohmann::json &request);
	result<void> release(const std::string &name);
	device *find_device(const std::string &name);
	// Change tracking (serve/tracking.cpp).
	result<void> start_tracking();
	void stop_tracking(std::vector<std::string> &problems);
	std::string new_mark(const std::string &device);
	result<collected_changes> changes_since(const device &d, const std::string &mark);
	result<std::string> resolve_since(const device &d, const nlohmann::json &request);
	result<nlohmann::json> changes(const nlohmann::json &request);
	result<nlohmann::json> backup(const nlohmann::json &request);
	nlohmann::json tracking_status(const device &d);

	serve_config cfg_;
	bool booted_ = false, loaded_ = false;
	kern::pid_t leader_ = -1;	// the server's process: its files hold the exports' fds

	std::mutex m_;			// everything below
	std::condition_variable cv_;
	bool ending_ = false, quit_ = false;
	std::vector<device> devices_;
	std::map<std::string, snap> snaps_;
	std::map<std::string, int> opens_;
	std::map<std::string, int> backing_up_;	// snapshots read by backups: not released

	std::mutex track_m_;	// the drainer, and the marks below
	std::unique_ptr<change_drainer> drainer_;
	std::map<std::string, named_mark> marks_;
	int next_mark_ = 1;
	std::map<std::string, std::string> latest_mark_;	// device or snapshot -> its newest mark
	std::map<backup_key, std::string> backup_marks_;
};

} // namespace zep
