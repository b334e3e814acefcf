#include "serve/server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fmt/format.h>

#include "backupdriver/zepdriver.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "serve/freeze_hook.h"
#include "serve/partitions.h"

namespace zep {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// Disks of the machine: file-backed, in the block major `zep backup` uses too.
constexpr int DISK_MAJOR = 253;
constexpr int MAX_THREADS = 64;

json error_json(const error &e)
{
	return {{"error", {{"code", errc_name(e.code)}, {"message", e.message}}}};
}

// The size of the device behind fd, in bytes.
uint64_t device_size(int fd)
{
	kern::loff_t end = kern::sys_lseek(static_cast<unsigned>(fd), 0, SEEK_END);
	return end > 0 ? static_cast<uint64_t>(end) : 0;
}

} // namespace

namespace {

// A host file's or block device's length.
uint64_t host_size(const std::string &path)
{
	int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	off_t end = ::lseek(fd, 0, SEEK_END);
	::close(fd);
	return end < 0 ? 0 : static_cast<uint64_t>(end);
}

} // namespace

server::server(serve_config c) : cfg_(std::move(c)) {}

server::~server()
{
	if (booted_)
		(void)stop();
}

result<void> server::attach(const std::string &path, char letter)
{
	std::string name = fmt::format("vd{}", letter);
	std::error_code ec;
	fs::path abs = fs::absolute(path, ec).lexically_normal();
	fs::file_status st = fs::status(abs, ec);
	if (st.type() != fs::file_type::regular && st.type() != fs::file_type::block)
		return make_error(errc::usage, fmt::format("image {} is not a regular file nor a "
							   "block device: give a raw disk image",
							   path));
	auto parts = read_partitions(abs.string());
	if (!parts)
		return parts.err();
	kern::disk_options o;
	o.create = false;
	kern::dev_t disk = kern::add_filedisk(name, DISK_MAJOR, abs.string(), o);
	if (!disk)
		return make_error(errc::io, fmt::format("cannot attach {} as disk {}: see the "
							"kernel log (--verbose)",
							path, name));
	source_identity whole{.kind = st.type() == fs::file_type::block ? "device" : "image",
			      .path = abs.string(),
			      .size = host_size(abs.string()),
			      .name = name};
	std::vector<device> found;
	for (const partition_entry &p : *parts) {
		if (p.number < 1 || p.number > 15)
			continue;	// a disk has 16 minors: itself and 15 partitions
		kern::dev_t dev = kern::add_partition(disk, p.number, p.start, p.sectors);
		if (!dev)
			return make_error(errc::corrupt,
					  fmt::format("partition {} of {} ({}+{} sectors) does not "
						      "fit the image",
						      p.number, path, p.start, p.sectors));
		source_identity id = whole;
		id.partition_start = p.start;
		id.partition_sectors = p.sectors;
		id.name = fmt::format("{}{}", name, p.number);
		found.push_back({id.name, dev, p.sectors * 512, false, id});
	}
	// A disk with partitions is used through them: mounting both is refused.
	std::vector<device> all{{name, disk, 0, false, whole}};
	all.insert(all.end(), found.begin(), found.end());
	for (size_t i = 0; i < all.size(); i++) {
		device &d = all[i];
		if (i > 0 || found.empty()) {
			if (int rc = kern::mount(d.dev))
				return make_error(errc::other,
						  fmt::format("cannot mount {}: error {}", d.name, rc));
			d.mounted = true;
		}
	}
	devices_.insert(devices_.end(), all.begin(), all.end());
	return {};
}

result<void> server::start()
{
	std::error_code ec;
	fs::create_directories(cfg_.run_dir + "/cow", ec);
	if (ec)
		return make_error(errc::io, fmt::format("cannot make the run folder {}: {}",
							cfg_.run_dir, ec.message()));
	::chmod(cfg_.run_dir.c_str(), 0700);
	if (cfg_.images.empty() || cfg_.images.size() > 26)
		return make_error(errc::usage, "give 1 to 26 images to serve");

	kern::boot_params p;
	p.printk_mirror = cfg_.verbose;
	kern::boot(p);
	booted_ = true;
	char letter = 'a';
	for (const std::string &img : cfg_.images)
		if (auto r = attach(img, letter++); !r)
			return r;
	if (int rc = kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR,
					kern::MKDEV(ZEP_CONTROL_MAJOR, 0)))
		return make_error(errc::other, fmt::format("cannot make /dev/{}: error {}",
							   ZEP_CONTROL_NAME, rc));
	if (int rc = kern::insmod("zepdriver"))
		return make_error(errc::other, fmt::format("cannot load the driver: error {}", rc));
	loaded_ = true;

	// The server's own process: it only holds the files its threads share.
	leader_ = kern::spawn("zepserve", [this] {
		std::unique_lock<std::mutex> g(m_);
		cv_.wait(g, [this] { return ending_; });
		return 0;
	});
	if (leader_ < 0)
		return make_error(errc::other, "cannot start the server's process");

	// Sizes, read through the devices themselves; the drainer's process is the server's.
	result<void> tracking;
	std::thread([this, &tracking] {
		enter("zepserve");
		for (device &d : devices_) {
			int fd = kern::sys_open(("/dev/" + d.name).c_str(), O_RDONLY);
			if (fd >= 0) {
				d.size = device_size(fd);
				kern::sys_close(static_cast<unsigned>(fd));
			}
		}
		tracking = start_tracking();
	}).join();
	return tracking;
}

namespace {
thread_local kern::pid_t entered = -1;	// the process this host thread has entered
}

void server::enter(const char *comm)
{
	if (entered != leader_ && kern::enter_process(leader_, comm) == 0)
		entered = leader_;
}

void server::leave()
{
	if (entered >= 0)
		kern::leave_process();
	entered = -1;
}

std::vector<std::string> server::stop()
{
	std::vector<std::string> problems;
	if (!booted_)
		return problems;
	// Snapshots hold descriptors of the server's process: stopped from one of its threads.
	std::thread([this, &problems] {
		enter("cdpserve");
		std::map<std::string, snap> left;
		{
			std::lock_guard<std::mutex> g(m_);
			left.swap(snaps_);
		}
		for (auto &[name, sn] : left)
			if (auto r = sn.s->stop(); !r && r.err().code != errc::invalidated)
				problems.push_back(fmt::format("{} could not be stopped: {}", name,
							       r.err().message));
		stop_tracking(problems);
	}).join();
	{
		std::lock_guard<std::mutex> g(m_);
		ending_ = true;
	}
	cv_.notify_all();
	if (leader_ > 0)
		kern::waitpid(leader_);
	if (loaded_ && kern::rmmod("zepdriver"))
		problems.push_back("the driver could not be unloaded");
	loaded_ = false;
	for (device &d : devices_)
		if (d.mounted && kern::umount(d.dev))
			problems.push_back(d.name + " could not be unmounted");
	kern::halt_report r = kern::halt();
	booted_ = false;
	problems.insert(problems.end(), r.problems.begin(), r.problems.end());
	return problems;
}

server::device *server::find_device(const std::string &name)
{
	for (device &d : devices_)
		if (d.name == name)
			return &d;
	return nullptr;
}

std::vector<export_info> server::exports()
{
	std::lock_guard<std::mutex> g(m_);
	std::vector<export_info> out;
	for (const device &d : devices_)
		out.push_back({d.name, d.dev, d.size, true, false, opens_[d.name]});
	for (auto &[name, sn] : snaps_)
		out.push_back({name, sn.s->device(), 0, sn.writable, true, opens_[name]});
	return out;
}

result<int> server::open_export(const std::string &name, bool write, export_info *info)
{
	bool known = false;
	for (const export_info &e : exports())
		if (e.name == name) {
			known = true;
			*info = e;
		}
	if (!known)
		return make_error(errc::not_found,
				  fmt::format("no export {}: `zep status` lists them", name));
	if (write && !info->writable)
		return make_error(errc::refused, fmt::format("{} is read-only: take the snapshot "
							     "with --writable to write it",
							     name));
	enter("nbdkit");
	int fd = kern::sys_open(("/dev/" + name).c_str(), write ? O_RDWR : O_RDONLY);
	if (fd < 0)
		return make_error(errc::io, fmt::format("cannot open {}: error {}", name, fd), fd);
	info->size = device_size(fd);
	std::lock_guard<std::mutex> g(m_);
	opens_[name]++;
	return fd;
}

void server::close_export(const std::string &name, int fd)
{
	kern::sys_close(static_cast<unsigned>(fd));
	std::lock_guard<std::mutex> g(m_);
	if (--opens_[name] <= 0)
		opens_.erase(name);
}

bool server::quitting()
{
	std::lock_guard<std::mutex> g(m_);
	return quit_;
}

json server::status()
{
	json devs = json::array(), snaps = json::array();
	std::vector<export_info> ex = exports();
	for (const export_info &e : ex) {
		json j = {{"name", e.name}, {"size", e.size}, {"writable", e.writable},
			  {"nbd_clients", e.open}};
		if (!e.snapshot)
			if (const device *d = find_device(e.name); d && d->mounted)
				j["tracking"] = tracking_status(*d);
		(e.snapshot ? snaps : devs).push_back(j);
	}
	std::lock_guard<std::mutex> g(m_);
	json kept = json::array();
	for (json &s : snaps) {
		if (!snaps_.count(s["name"]))
			continue;	// released meanwhile
		snap &sn = snaps_.at(s["name"]);
		s["device"] = sn.device;
		s["mark"] = sn.mark;
		auto text = sn.s->error_text();
		s["healthy"] = text && text->empty();
		if (text && !text->empty())
			s["error"] = *text;
		kept.push_back(s);
	}
	return {{"devices", devs}, {"snapshots", kept}};
}

// Quiesces through the hook, marks the change order, starts the session. The hook's thaw
// runs whatever happened; when only the thaw fails the snapshot stands, with a warning.
result<server::taken> server::take_snapshot(const device &d, int threads)
{
	if (!d.mounted)
		return make_error(errc::usage, fmt::format("{} is used through its partitions: "
							   "snapshot one of them",
							   d.name));
	if (threads < 1 || threads > MAX_THREADS)
		return make_error(errc::usage,
				  fmt::format("{} IO threads asked for; 1 to {} are possible",
					      threads, MAX_THREADS));
	snapshot_options o;
	o.io_threads = threads;
	o.folder = cfg_.run_dir + "/cow";
	o.device_name = d.name;
	o.device_path = "/dev/" + d.name;
	// The hook quiesces what uses the device; the driver's start freezes and thaws it.
	if (!cfg_.freeze_hook.empty())
		if (auto h = run_freeze_hook(cfg_.freeze_hook, "freeze", d.name); !h) {
			(void)run_freeze_hook(cfg_.freeze_hook, "thaw", d.name);
			return h.err();
		}
	std::string mark = new_mark(d.name);
	auto s = snapshot::take(d.dev, o);
	result<void> thawed;
	if (!cfg_.freeze_hook.empty())
		thawed = run_freeze_hook(cfg_.freeze_hook, "thaw", d.name);
	if (!s)
		return s.err();
	taken t{fmt::format("zep{}", s->id()), mark, "", std::make_unique<snapshot>(std::move(*s))};
	if (!thawed)
		t.thaw_error = thawed.err().message;
	{
		std::lock_guard<std::mutex> g(track_m_);
		latest_mark_[d.name] = mark;
		latest_mark_[t.name] = mark;
	}
	return t;
}

result<json> server::take(const json &req)
{
	std::string name = req.value("device", "");
	device *d = find_device(name);
	if (!d)
		return make_error(errc::not_found,
				  fmt::format("no device {}: `zep status` lists them", name));
	auto t = take_snapshot(*d, req.value("threads", 2));
	if (!t)
		return t.err();
	const started_session &st = t->s->started();
	bool writable = req.value("writable", false);
	json answer = {{"snapshot", t->name},
		       {"device", d->name},
		       {"writable", writable},
		       {"mark", t->mark},
		       {"freeze_ms", st.freeze.frozen_ms()},
		       {"get_freeze_ms", st.freeze.get_freeze_ms()},
		       {"quiesced", !cfg_.freeze_hook.empty()}};
	if (!t->thaw_error.empty())
		answer["thaw_error"] = t->thaw_error;
	std::lock_guard<std::mutex> g(m_);
	snaps_[t->name] = snap{d->name, writable, t->mark, std::move(t->s)};
	return answer;
}

result<void> server::release(const std::string &name)
{
	snap kept;
	{
		std::lock_guard<std::mutex> g(m_);
		auto it = snaps_.find(name);
		if (it == snaps_.end())
			return make_error(errc::not_found,
					  fmt::format("no snapshot {}: `zep status` lists them", name));
		if (backing_up_.count(name))
			return make_error(errc::refused,
					  fmt::format("{} is being backed up: release it when the "
						      "backup is done",
						      name));
		if (int n = opens_.count(name) ? opens_[name] : 0)
			return make_error(errc::refused,
					  fmt::format("{} is open by {} NBD connection(s): disconnect "
						      "them first",
						      name, n));
		kept = std::move(it->second);
		snaps_.erase(it);
	}
	auto r = kept.s->stop();
	if (!r && r.err().code == errc::refused) {
		// Still open after all (a client came in meanwhile): it keeps running.
		std::lock_guard<std::mutex> g(m_);
		snaps_[name] = std::move(kept);
		return r;
	}
	return {};
}

json server::handle(const json &req)
{
	if (!req.is_object() || !req.contains("command") || !req["command"].is_string())
		return error_json(make_error(errc::usage, "a request is a JSON object with a "
							  "\"command\": status, snapshot, release, changes, backup or quit")
					  );
	std::string cmd = req["command"];
	try {
		if (cmd == "status")
			return status();
		if (cmd == "snapshot") {
			auto r = take(req);
			return r ? *r : error_json(r.err());
		}
		if (cmd == "changes" || cmd == "backup") {
			auto r = cmd == "changes" ? changes(req) : backup(req);
			return r ? *r : error_json(r.err());
		}
		if (cmd == "release") {
			auto r = release(req.value("snapshot", ""));
			return r ? json{{"released", req.value("snapshot", "")}} : error_json(r.err());
		}
		if (cmd == "quit") {
			std::lock_guard<std::mutex> g(m_);
			quit_ = true;
			return {{"quitting", true}};
		}
	} catch (const json::exception &e) {
		return error_json(
		    make_error(errc::usage, fmt::format("a field of the request has the wrong "
							"type: {}",
							e.what()))
			);
	}
	return error_json(make_error(errc::usage,
				     fmt::format("unknown command \"{}\": status, snapshot, release, "
						 "changes, backup or quit",
						 cmd))
			      );
}

} // namespace zep
