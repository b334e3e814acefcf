// The demo's real ext4 act. Where the machine allows it, `zep serve` (this same program) serves
// a fresh two-partition image; the host reaches vda1 through nbdfuse and a loop device, makes
// ext4 on it, mounts it and fills it, and keeps copying and writing while zep takes a snapshot
// with a freeze hook that runs fsfreeze. The snapshot, copied out over NBD, must pass
// e2fsck -fn and hold every file with the checksum it had at the freeze; it is backed up in
// full, a second snapshot incrementally from the change records, and the restore must be
// that snapshot byte for byte. Every process,
// mount and loop device is a guard (tools/host_block.h): a failed step leaves none behind.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "serve/control_socket.h"
#include "tools/demo_parts.h"
#include "tools/host_block.h"
#include "tools/output.h"

namespace zep::demo_parts {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint64_t DISK_BYTES = 256ull << 20;
// The tree copied before the snapshot and again while it is taken: many small real files.
const std::string TREE = "/usr/include/linux";

class ext4_act {
public:
	ext4_act(std::string zep, std::string folder, const act_reporter &r, ext4_facts &f)
	    : zep_(std::move(zep)), dir_(std::move(folder)), r_(r), f_(f)
	{}
	void run();

private:
	bool bring_up();
	bool fill();
	bool snapshot_while_writing();
	bool check_the_copy();
	bool back_up();
	bool let_go();
	// One control request: its answer, or the error it carried as a failure.
	result<nlohmann::json> ask(const nlohmann::json &request);

	// The act's own record of its first failure, on top of the demo's.
	bool step(bool ok, const std::string &what) { return r_.step(ok, what) || failed(what); }
	bool check(bool ok, const std::string &what) { return r_.check(ok, what) || failed(what); }
	bool failed(const std::string &what)
	{
		if (f_.reason.empty())
			f_.reason = what;
		return false;
	}
	// A step whose error says why.
	template <typename T> bool step(const result<T> &r, const std::string &what)
	{
		bool ok = step(r.ok(), what);
		if (!ok)
			r_.note(r.err().message);
		return ok;
	}
	bool step(const host::shell_result &r, const std::string &what)
	{
		bool ok = step(r.ok(), what);
		if (!ok)
			r_.note(r.describe());
		return ok;
	}

	std::string zep_, dir_;
	const act_reporter &r_;
	ext4_facts &f_;
	std::string mnt_, data_, sums_, hook_log_;
	// Declared in the order they are made: destroyed innermost first.
	std::optional<host::server> server_;
	std::optional<host::fuse_file> fuse_;
	std::optional<host::loop_device> loop_;
	std::optional<host::mount_point> fs_;
	std::optional<host::child> writer_;
};

void ext4_act::run()
{
	auto t0 = std::chrono::steady_clock::now();
	std::string why = host::ext4_flow_unavailable();
	if (why.empty() && !fs::is_directory(TREE))
		why = TREE + " is missing (the linux-libc-dev package)";
	if (!why.empty()) {
		f_.status = "skipped";
		f_.reason = why;
		return;
	}
	mnt_ = dir_ + "/mnt";
	data_ = mnt_ + "/data";
	sums_ = dir_ + "/sums";
	hook_log_ = dir_ + "/hook.log";
	bool ok = bring_up() && fill() && snapshot_while_writing() && check_the_copy() && back_up();
	ok = let_go() && ok;
	f_.status = ok ? "passed" : "failed";
	f_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool ext4_act::bring_up()
{
	std::string image = dir_ + "/disk.img";
	std::error_code ec;
	fs::create_directories(dir_, ec);
	{
		std::ofstream(image).close();
		fs::resize_file(image, DISK_BYTES, ec);
	}
	host::shell_result parted = ec ? host::shell_result{-1, ec.message()}
				       : host::shell("printf 'label: dos\\n,120M,L\\n,,L\\n' | sfdisk -q " +
						     host::sh_quote(image));
	if (!step(parted, fmt::format("ext4 act: {} sparse image, vda1 of 120 MiB", mib(DISK_BYTES))))
		return false;
	// The freeze hook: ext4 on the host is frozen around the snapshot, so that its copy is
	// a clean file system.
	std::string hook = dir_ + "/fsfreeze-hook.sh";
	std::ofstream(hook) << "#!/bin/sh\necho \"$1 $2\" >> " << host::sh_quote(hook_log_)
			    << "\ncase $1 in freeze) exec fsfreeze -f " << host::sh_quote(mnt_)
			    << ";; thaw) exec fsfreeze -u " << host::sh_quote(mnt_) << ";; esac\n";
	fs::permissions(hook, fs::perms::owner_all, ec);
	auto s = host::server::start(zep_, {image}, dir_ + "/run", hook);
	if (!step(s, "zep serve with an fsfreeze hook"))
		return false;
	server_.emplace(std::move(*s));
	auto f = host::fuse_file::mount(dir_ + "/fuse", server_->uri("vda1"), dir_ + "/nbdfuse.log");
	if (!step(f, "vda1 as a host file through nbdfuse"))
		return false;
	fuse_.emplace(std::move(*f));
	auto l = host::loop_device::attach(fuse_->path());
	if (!step(l, "that file on a loop device"))
		return false;
	loop_.emplace(std::move(*l));
	r_.note(loop_->node());
	if (!step(host::shell("mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 " + loop_->node()),
		  "mkfs.ext4 on " + loop_->node()))
		return false;
	auto m = host::mount_point::mount(loop_->node(), mnt_);
	if (!step(m, "ext4 mounted on the host"))
		return false;
	fs_.emplace(std::move(*m));
	return true;
}

bool ext4_act::fill()
{
	std::string q = host::sh_quote(data_);
	if (!step(host::shell("mkdir -p " + q + " && cp -a " + TREE + " " + q + "/tree && dd if=/dev/urandom of=" +
			      q + "/big.bin bs=1M count=16 conv=fsync status=none && sync"),
		  "cp -a " + TREE + " and dd of 16 MiB, synced"))
		return false;
	auto n = host::write_checksums(data_, sums_);
	if (!step(n, "checksums of the files"))
		return false;
	f_.files = *n;
	r_.note(fmt::format("{} files", f_.files));
	return true;
}

bool ext4_act::snapshot_while_writing()
{
	// Another copy of the tree, then files rewritten in turn and synced, until stopped.
	std::string m = host::sh_quote(mnt_);
	std::string writes = "cp -a " + TREE + " " + m + "/during && mkdir -p " + m +
			     "/live && i=0; while :; do dd if=/dev/urandom of=" + m +
			     "/live/f$i bs=64k count=8 conv=fsync status=none; i=$(((i+1)%40)); done";
	auto w = host::child::start({"sh", "-c", writes}, dir_ + "/writer.log");
	if (!step(w, "cp -a and dd writing on"))
		return false;
	writer_.emplace(std::move(*w));
	std::this_thread::sleep_for(100ms);

	auto a = control_request(server_->run_dir(), {{"command", "snapshot"}, {"device", "vda1"}});
	std::string said = !a ? a.err().message : a->contains("error") ? (*a)["error"].value("message", "?") : "";
	if (!step(said.empty() && a->value("snapshot", "") == "zep1", "snapshot of vda1 while written: zep1")) {
		r_.note(said);
		return false;
	}
	f_.freeze_ms = a->value("freeze_ms", 0.0);
	f_.quiesced = a->value("quiesced", false);
	r_.note(fmt::format("frozen {:.1f} ms{}", f_.freeze_ms, f_.quiesced ? ", quiesced by fsfreeze" : ""));
	std::ifstream in(hook_log_);
	std::string calls((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	if (!check(f_.quiesced && calls == "freeze vda1\nthaw vda1\n", "the hook froze ext4, then thawed it"))
		r_.note("hook calls: " + calls);

	// The files checked below change now on the live device: only a snapshot that stays
	// the frozen image still has them as they were.
	std::string q = host::sh_quote(data_);
	return step(host::shell("dd if=/dev/urandom of=" + q + "/big.bin bs=1M count=4 seek=6 conv=notrunc,fsync "
				"status=none && rm -rf " + q + "/tree/netfilter* && sync"),
		    "files rewritten and removed on vda1 after the snapshot");
}

bool ext4_act::check_the_copy()
{
	std::string copy = dir_ + "/zep1.img";
	if (!step(host::shell("nbdcopy " + host::sh_quote(server_->uri("zep1")) + " " + host::sh_quote(copy)),
		  "zep1 copied out with nbdcopy"))
		return false;
	host::shell_result fsck = host::shell("e2fsck -fn " + host::sh_quote(copy));
	f_.fsck_exit = fsck.status;
	bool ok = check(fsck.ok(), "e2fsck -fn on the copy of zep1: clean");
	if (!fsck.ok())
		r_.note(fsck.describe());
	// debugfs reads the image itself: no loop device or mount for the copy.
	std::string out = dir_ + "/zep1-files";
	std::error_code ec;
	fs::create_directories(out, ec);
	host::shell_result dump = host::shell("debugfs -R " + host::sh_quote("rdump /data " + out) + " " +
					      host::sh_quote(copy));
	if (!step(dump, "files read out of the copy with debugfs"))
		return false;
	auto same = host::check_checksums(out + "/data", sums_);
	if (same)
		f_.files_intact = *same;
	ok = check(same && *same == f_.files, fmt::format("{} files in zep1 as they were at the freeze", f_.files)) &&
	     ok;
	if (!same)
		r_.note(same.err().message);
	return ok;
}

result<nlohmann::json> ext4_act::ask(const nlohmann::json &request)
{
	auto a = control_request(server_->run_dir(), request);
	if (a && a->contains("error"))
		return make_error(errc::other, (*a)["error"].value("message", "?"));
	return a;
}

// While the host writes on: zep1 backed up in full; a second snapshot, zep2, backed up
// incrementally from the change records alone; the chain restored, which must be zep2's
// image byte for byte and a clean file system.
bool ext4_act::back_up()
{
	std::string repo = dir_ + "/repo";
	std::error_code ec;
	fs::create_directories(repo, ec);
	auto full = ask({{"command", "backup"}, {"snapshot", "zep1"}, {"repo", repo}});
	if (!step(full, "full backup of zep1 while ext4 is written"))
		return false;
	r_.note(fmt::format("{} stored", mib(full->value("data_bytes", 0.0))));
	auto s2 = ask({{"command", "snapshot"}, {"device", "vda1"}});
	if (!step(s2, "a second snapshot, zep2"))
		return false;
	std::string zep2 = s2->value("snapshot", "");
	auto inc = ask({{"command", "backup"}, {"snapshot", zep2}, {"repo", repo}});
	if (!step(inc, "incremental backup of " + zep2))
		return false;
	f_.incremental_method = inc->value("method", "");
	f_.incremental_read = inc->value("bytes_read", uint64_t{0});
	bool ok = check(f_.incremental_method == "change-records",
			"the incremental read only what the change records name");
	r_.note(fmt::format("{} read, {}", mib(static_cast<double>(f_.incremental_read)),
			    inc->value("change_tracking", "")));

	std::string copy = dir_ + "/zep2.img", restored = dir_ + "/restored.img";
	if (!step(host::shell("nbdcopy " + host::sh_quote(server_->uri(zep2)) + " " + host::sh_quote(copy)),
		  zep2 + " copied out with nbdcopy") ||
	    !step(host::shell(host::sh_quote(zep_) + " restore --repo " + host::sh_quote(repo) +
			      " --output " + host::sh_quote(restored)),
		  "zep restore of the incremental"))
		return false;
	f_.restore_equal = host::shell("cmp -s " + host::sh_quote(copy) + " " + host::sh_quote(restored)).ok();
	ok = check(f_.restore_equal, "the restore is " + zep2 + ", byte for byte") && ok;
	host::shell_result fsck = host::shell("e2fsck -fn " + host::sh_quote(restored));
	f_.restored_fsck_exit = fsck.status;
	ok = check(fsck.ok(), "e2fsck -fn on the restored image: clean") && ok;
	if (!fsck.ok())
		r_.note(fsck.describe());
	return ok;
}

bool ext4_act::let_go()
{
	bool ok = true;
	if (writer_) {
		writer_->stop();
		writer_.reset();
	}
	if (fs_) {
		auto u = fs_->unmount();
		ok = step(u, "ext4 unmounted") && ok;
		fs_.reset();
	}
	if (loop_) {
		auto d = loop_->detach();
		ok = step(d, "loop device detached") && ok;
		loop_.reset();
	}
	if (fuse_) {
		auto u = fuse_->unmount();
		ok = step(u, "nbdfuse unmounted") && ok;
		fuse_.reset();
	}
	if (server_) {
		auto q = server_->quit();
		ok = step(q.ok() && *q == 0, "zep quit: the server ended with exit 0") && ok;
		if (!q)
			r_.note(q.err().message);
		else if (*q != 0)
			r_.note(host::describe_status(*q));
		server_.reset();
	}
	return ok;
}

} // namespace

void real_ext4_act(const std::string &zep_binary, const std::string &folder, const act_reporter &r,
		   ext4_facts &facts)
{
	ext4_act(zep_binary, folder, r, facts).run();
}

} // namespace zep::demo_parts
