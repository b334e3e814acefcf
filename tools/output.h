// What the `zep` commands print and how they end: the documented exit codes, the one
// mapping from the agent's error kinds to them, and a reporter that prints a command's
// summary or its error as text or as one JSON document.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/result.h"

namespace zep {

// Exit codes of zep backup, restore, verify and version.
constexpr int EXIT_OK = 0;
constexpr int EXIT_VERIFY_FAILED = 1;	// data does not match its checksums or the image
constexpr int EXIT_USAGE = 2;		// bad arguments, or a file or backup that is not there
constexpr int EXIT_SNAPSHOT = 3;	// the snapshot could not be taken or became unusable
constexpr int EXIT_IO = 4;		// reading or writing failed, a file system is full
constexpr int EXIT_OTHER = 5;		// anything else, leaks at the halt included
constexpr int EXIT_BUSY = 6;		// another zep holds the repository

int exit_code(errc code);

// Where a command prints, and what tests hook in. The real program uses stdout and stderr.
struct cli_io {
	std::FILE *out = stdout;	// results: text, or the one JSON document
	std::FILE *err = stderr;	// errors, progress, warnings
	bool err_is_tty = false;	// whether a progress bar can be drawn on err
	// Called right after the machine has booted, before any disk is attached: lets a
	// test set fault points (the boot clears them).
	std::function<void()> after_boot;
};

// Prints for one command ("backup"; "" when the command line named none).
class reporter {
public:
	reporter(cli_io &io, std::string command, bool json)
	    : io_(io), command_(std::move(command)), json_(json)
	{}

	bool json() const { return json_; }
	// Prints the command's result; EXIT_OK.
	int success(nlohmann::ordered_json fields, const std::string &text);
	// Prints what failed (and what to do) on stderr, or as the JSON document; its exit code.
	int failure(const error &e);

private:
	cli_io &io_;
	std::string command_;
	bool json_;
};

// Byte counts for people: "8.0 MiB".
std::string mib(double bytes);
// Bytes per second in MiB/s, 0 when no time passed.
double mib_per_second(uint64_t bytes, double seconds);
// What a temporary stream (a command's captured output) holds, read from its start; closes it.
std::string read_stream(std::FILE *f);

} // namespace zep
