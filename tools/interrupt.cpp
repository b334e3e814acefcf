#include "tools/interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "agent/unfinished.h"

namespace zep {

namespace fs = std::filesystem;

namespace {

// SIGINT and SIGTERM, and SIGUSR2, by which the guard's end wakes its watcher.
sigset_t interrupting()
{
	sigset_t s;
	sigemptyset(&s);
	sigaddset(&s, SIGINT);
	sigaddset(&s, SIGTERM);
	sigaddset(&s, SIGUSR2);
	return s;
}

} // namespace

interrupt_guard::interrupt_guard(std::string command, std::string what, std::FILE *err)
    : command_(std::move(command)), what_(std::move(what)), err_(err)
{
	// Blocked here before the machine's threads start, so they inherit it and the watcher
	// alone takes the signal.
	sigset_t s = interrupting();
	installed_ = pthread_sigmask(SIG_BLOCK, &s, nullptr) == 0;
	if (installed_)
		watcher_ = std::thread([this] { watch(); });
}

interrupt_guard::~interrupt_guard()
{
	if (!installed_)
		return;
	done_ = true;
	pthread_kill(watcher_.native_handle(), SIGUSR2);
	watcher_.join();
	sigset_t s = interrupting();
	pthread_sigmask(SIG_UNBLOCK, &s, nullptr);
}

void interrupt_guard::watch()
{
	sigset_t s = interrupting();
	while (!done_) {
		int sig = sigwaitinfo(&s, nullptr);
		if (sig < 0 || sig == SIGUSR2)
			continue;
		// Held to the end: a commit in progress finishes first, none starts after.
		auto held = unfinished::hold();
		size_t removed = 0;
		for (const std::string &p : unfinished::listed(held)) {
			std::error_code ec;
			removed += fs::remove_all(p, ec) > 0;
		}
		fmt::print(err_, "zep {}: interrupted by {}: {}\n", command_,
			   sig == SIGINT ? "SIGINT" : "SIGTERM",
			   removed ? what_ : "nothing unfinished was left");
		std::fflush(err_);
		::_exit(128 + sig);
	}
}

run_folder run_folder::make(const std::string &parent, std::string *error)
{
	std::error_code ec;
	for (const fs::directory_entry &e : fs::directory_iterator(parent, ec)) {
		std::string name = e.path().filename().string();
		if (!name.starts_with("zep-run-"))
			continue;
		char *end = nullptr;
		long pid = std::strtol(name.c_str() + 8, &end, 10);
		if (pid > 0 && *end == '.' && ::kill(static_cast<pid_t>(pid), 0) < 0 && errno == ESRCH)
			fs::remove_all(e.path(), ec);
	}
	// Numbered within the process too: tests run several commands in one.
	static std::atomic<unsigned> runs{0};
	std::string path =
		(fs::path(parent) / fmt::format("zep-run-{}.{}", ::getpid(), runs++)).string();
	if (::mkdir(path.c_str(), 0700) < 0) {
		*error = fmt::format("cannot make the folder {} for the snapshot's backing files: {}",
				     path, std::strerror(errno));
		return run_folder("");
	}
	unfinished::add(path);
	return run_folder(path);
}

run_folder::~run_folder()
{
	if (path_.empty())
		return;
	std::error_code ec;
	fs::remove_all(path_, ec);
	unfinished::drop(path_);
}

} // namespace zep
