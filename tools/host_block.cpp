#include "tools/host_block.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <fmt/format.h>

#include "serve/control_socket.h"

extern char **environ;

namespace zep::host {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string shell_result::describe() const
{
	std::string out = output;
	while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
		out.pop_back();
	if (out.size() > 600)
		out = out.substr(0, 600) + "...";
	return fmt::format("{}{}{}", status < 0 ? "could not run" : fmt::format("exit {}", status),
			   out.empty() ? "" : ": ", out);
}

shell_result shell(const std::string &cmd)
{
	shell_result r;
	// Nothing to read: a tool that would ask a question gets end of file instead.
	FILE *p = ::popen(("{ " + cmd + "\n} 2>&1 </dev/null").c_str(), "r");
	if (!p) {
		r.output = std::strerror(errno);
		return r;
	}
	char buf[4096];
	for (size_t n; (n = std::fread(buf, 1, sizeof(buf), p)) > 0;)
		r.output.append(buf, n);
	int st = ::pclose(p);
	r.status = st < 0 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	return r;
}

std::string sh_quote(const std::string &s)
{
	std::string q = "'";
	for (char c : s)
		q += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return q + "'";
}

bool have_tool(const std::string &name)
{
	return shell("command -v " + sh_quote(name) + " >/dev/null").ok();
}

std::string describe_status(int st)
{
	if (WIFEXITED(st))
		return fmt::format("exit {}", WEXITSTATUS(st));
	if (WIFSIGNALED(st))
		return fmt::format("signal {}", WTERMSIG(st));
	return fmt::format("status {}", st);
}

// ---- child ----

result<child> child::start(const std::vector<std::string> &argv, const std::string &log)
{
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&fa, 1, log.empty() ? "/dev/null" : log.c_str(),
					 O_WRONLY | O_CREAT | O_APPEND, 0600);
	posix_spawn_file_actions_adddup2(&fa, 1, 2);
	posix_spawnattr_t at;
	posix_spawnattr_init(&at);
	// A group of its own: whatever it starts in turn is ended with it.
	posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
	posix_spawnattr_setpgroup(&at, 0);
	std::vector<char *> args;
	for (const std::string &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	pid_t pid = -1;
	int rc = ::posix_spawnp(&pid, args[0], &fa, &at, args.data(), environ);
	posix_spawnattr_destroy(&at);
	posix_spawn_file_actions_destroy(&fa);
	if (rc != 0)
		return make_error(errc::other, fmt::format("cannot run {}: {}", argv[0], std::strerror(rc)));
	return child(pid);
}

std::optional<int> child::poll()
{
	if (pid_ > 0 && !status_) {
		int st = 0;
		pid_t r = ::waitpid(pid_, &st, WNOHANG);
		if (r == pid_ || (r < 0 && errno == ECHILD))
			status_ = r == pid_ ? st : -1;
	}
	return status_;
}

std::optional<int> child::wait_for(std::chrono::milliseconds limit)
{
	auto until = std::chrono::steady_clock::now() + limit;
	while (pid_ > 0 && !poll() && std::chrono::steady_clock::now() < until)
		std::this_thread::sleep_for(10ms);
	return status_;
}

std::optional<int> child::stop(std::chrono::milliseconds grace)
{
	if (pid_ <= 0 || poll())
		return status_;
	::kill(-pid_, SIGTERM);
	if (!wait_for(grace)) {
		::kill(-pid_, SIGKILL);
		int st = 0;
		while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
		}
		status_ = st;
	}
	return status_;
}

// ---- server ----

result<server> server::start(const std::string &zep_binary, const std::vector<std::string> &images,
			     const std::string &run_dir, const std::string &freeze_hook)
{
	std::vector<std::string> argv = {zep_binary, "serve"};
	argv.insert(argv.end(), images.begin(), images.end());
	argv.insert(argv.end(), {"--run-dir", run_dir});
	if (!freeze_hook.empty())
		argv.insert(argv.end(), {"--freeze-hook", freeze_hook});
	std::error_code ec;
	fs::create_directories(run_dir, ec);
	std::string log = run_dir + ".log";
	auto p = child::start(argv, log);
	if (!p)
		return p.err();
	auto until = std::chrono::steady_clock::now() + 30s;
	while (!fs::exists(run_dir + "/zep.sock") || !fs::exists(run_dir + "/nbd.sock")) {
		std::ifstream in(log);
		std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
		if (auto st = p->poll())
			return make_error(errc::other, fmt::format("zep serve ended ({}) before it served: {}",
								   describe_status(*st), said));
		if (std::chrono::steady_clock::now() > until)
			return make_error(errc::timeout, "zep serve did not come up within 30 s: " + said);
		std::this_thread::sleep_for(20ms);
	}
	return server(std::move(*p), run_dir);
}

std::string server::uri(const std::string &exp) const
{
	return "nbd+unix:///" + exp + "?socket=" + run_dir_ + "/nbd.sock";
}

result<int> server::quit()
{
	auto a = control_request(run_dir_, {{"command", "quit"}});
	if (!a)
		return a.err();
	if (a->contains("error"))
		return make_error(errc::other, (*a)["error"].value("message", "?"));
	if (auto st = proc_.wait_for(60s))
		return *st;
	return make_error(errc::timeout, "the server did not end within 60 s of quit");
}

// ---- nbdfuse, loop devices, mounts ----

result<fuse_file> fuse_file::mount(const std::string &dir, const std::string &uri, const std::string &log)
{
	std::string pidfile = dir + ".pid";
	std::error_code ec;
	fs::remove(pidfile, ec);
	fs::create_directories(dir, ec);
	// nbdfuse stays in the foreground; it writes its pid file once the file can be used.
	auto p = child::start({"nbdfuse", "-P", pidfile, dir + "/", uri}, log);
	if (!p)
		return p.err();
	auto until = std::chrono::steady_clock::now() + 20s;
	while (fs::file_size(pidfile, ec) == 0 || ec) {
		if (auto st = p->poll())
			return make_error(errc::other, fmt::format("nbdfuse {} ended ({}); see {}", uri,
								   describe_status(*st), log));
		if (std::chrono::steady_clock::now() > until) {
			// It may have mounted in the meantime.
			shell("fusermount3 -uz " + sh_quote(dir));
			return make_error(errc::timeout, fmt::format("nbdfuse {} was not ready within 20 s", uri));
		}
		std::this_thread::sleep_for(20ms);
	}
	fs::remove(pidfile, ec);
	return fuse_file(dir, std::move(*p));
}

namespace {

// Runs cmd until it succeeds or `done` says to stop, at most `tries` times a tenth of a
// second apart: devices and mounts let go a moment after their last user.
shell_result retried(const std::string &cmd, int tries, const std::function<bool()> &done = {})
{
	shell_result r;
	for (int i = 0; i < tries; i++) {
		r = shell(cmd);
		if (r.ok() || (done && done()))
			break;
		std::this_thread::sleep_for(100ms);
	}
	return r;
}

} // namespace

result<void> fuse_file::unmount()
{
	if (dir_.empty())
		return {};
	std::string dir = std::move(dir_);
	dir_.clear();
	// A loop device detached a moment ago may still hold the file.
	shell_result r = retried("fusermount3 -u " + sh_quote(dir), 50, [&] { return proc_.poll().has_value(); });
	// Still mounted (busy, or nbdfuse gone and the mount dead): detached all the same.
	if (!r.ok())
		shell("fusermount3 -uz " + sh_quote(dir));
	if (!proc_.wait_for(10s))
		proc_.stop();
	if (!r.ok())
		return make_error(errc::io, fmt::format("cannot unmount nbdfuse from {}: {}", dir, r.describe()));
	return {};
}

result<loop_device> loop_device::attach(const std::string &file, bool read_only)
{
	shell_result r = shell(std::string("losetup -f --show ") + (read_only ? "-r " : "") +
			       sh_quote(file));
	std::string node = r.output.substr(0, r.output.find('\n'));
	if (!r.ok() || node.rfind("/dev/", 0) != 0)
		return make_error(errc::other, fmt::format("cannot attach {} to a loop device: {}", file, r.describe()));
	return loop_device(node);
}

result<void> loop_device::detach()
{
	if (node_.empty())
		return {};
	std::string node = std::move(node_);
	node_.clear();
	shell_result r = retried("losetup -d " + sh_quote(node), 20);
	if (r.ok())
		return {};
	return make_error(errc::io, fmt::format("cannot detach {}: {}", node, r.describe()));
}

result<mount_point> mount_point::mount(const std::string &device, const std::string &dir,
				       const std::string &options)
{
	std::error_code ec;
	fs::create_directories(dir, ec);
	shell_result r = shell("mount " + (options.empty() ? "" : "-o " + sh_quote(options) + " ") + sh_quote(device) +
			       " " + sh_quote(dir));
	if (!r.ok())
		return make_error(errc::other, fmt::format("cannot mount {} on {}: {}", device, dir, r.describe()));
	return mount_point(dir);
}

result<void> mount_point::unmount()
{
	if (dir_.empty())
		return {};
	std::string dir = std::move(dir_);
	dir_.clear();
	// A freeze left behind would make the unmount wait for ever.
	shell("fsfreeze -u " + sh_quote(dir));
	shell_result r = retried("umount " + sh_quote(dir), 20);
	if (r.ok())
		return {};
	// Busy still: detached now, gone once the last user lets go.
	shell("umount -l " + sh_quote(dir));
	return make_error(errc::io, fmt::format("cannot unmount {}: {}", dir, r.describe()));
}

// ---- checksums ----

namespace {

size_t lines_in(const std::string &file)
{
	std::ifstream in(file);
	size_t n = 0;
	for (std::string line; std::getline(in, line);)
		n++;
	return n;
}

} // namespace

result<size_t> write_checksums(const std::string &dir, const std::string &sums)
{
	shell_result r = shell("cd " + sh_quote(dir) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum > " +
			       sh_quote(sums));
	if (!r.ok())
		return make_error(errc::io, fmt::format("cannot checksum the files under {}: {}", dir, r.describe()));
	return lines_in(sums);
}

result<size_t> check_checksums(const std::string &dir, const std::string &sums)
{
	shell_result r = shell("cd " + sh_quote(dir) + " && sha256sum --quiet --strict -c " + sh_quote(sums));
	if (!r.ok())
		return make_error(errc::corrupt, fmt::format("files under {} differ from their checksums: {}", dir,
							     r.describe()));
	return lines_in(sums);
}

std::string ext4_flow_unavailable()
{
	if (::geteuid() != 0)
		return "not root (loop devices and mounts need root)";
	if (::access("/dev/fuse", R_OK | W_OK) != 0)
		return "no /dev/fuse";
	std::string plugin = ZEP_NBDKIT_PLUGIN;
	if (const char *p = std::getenv("ZEP_NBDKIT_PLUGIN"))
		plugin = p;
	if (plugin.empty() || !fs::exists(plugin))
		return "this zep has no nbdkit plugin (a sanitizer build)";
	for (const char *t : {"nbdkit", "nbdfuse", "nbdcopy", "fusermount3", "losetup", "mkfs.ext4", "e2fsck",
			      "debugfs", "fsfreeze", "sfdisk", "sha256sum", "mount", "umount"})
		if (!have_tool(t))
			return fmt::format("{} is not installed (scripts/setup.sh installs it)", t);
	if (!shell("losetup -f").ok())
		return "no free loop device";
	return "";
}

} // namespace zep::host
