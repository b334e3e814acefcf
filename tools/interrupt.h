// SIGINT and SIGTERM while a command runs: what the run was making (agent/unfinished.h) is
// removed, one line says so, and the program ends with 128 + the signal (130, 143), as
// shells expect. A scoped guard, since tests run commands in their own process.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace zep {

class interrupt_guard {
public:
	// command names the program's line ("backup"); what says what the removal undoes.
	interrupt_guard(std::string command, std::string what, std::FILE *err);
	~interrupt_guard();
	interrupt_guard(const interrupt_guard &) = delete;
	interrupt_guard &operator=(const interrupt_guard &) = delete;

private:
	void watch();

	std::string command_, what_;
	std::FILE *err_;
	std::atomic<bool> done_{false};
	bool installed_ = false;
	std::thread watcher_;
};

// A folder for one run's temporary files, <parent>/zep-run-<pid>.<n>, listed as unfinished while
// it lives and removed with it. Folders of runs whose process is gone (killed with -9) are
// removed when the next one is made.
class run_folder {
public:
	static run_folder make(const std::string &parent, std::string *error);
	run_folder(run_folder &&o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
	~run_folder();
	const std::string &path() const { return path_; }

private:
	explicit run_folder(std::string p) : path_(std::move(p)) {}
	std::string path_;
};

} // namespace zep
