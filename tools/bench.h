// `zep bench`: the system's costs as ratios, each measured against its baseline in the same
// run (the same machine, the same sizes, the same disk kind), so that a number means the
// same on a fast host and a slow one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zep::bench {

// One line of the table.
struct line {
	std::string id;		// "P0" .. "P10"
	std::string what;	// what is measured over what, e.g. "4 KiB IO round trip / host pread+pwrite"
	std::string disk;	// "ram", "file" or "" when the line has no disk kind
	double value = 0;	// the ratio (or count, bytes, milliseconds: see unit)
	std::string unit;	// "x" for a ratio, else "bytes", "reads", "ms"
	std::string goal;	// e.g. "<= 5x"; "" when the line has none
	std::optional<bool> met;	// whether the goal is met; none without a goal
	nlohmann::json detail;	// the absolute numbers behind the value (times, rates, counts)
	std::string error;	// why the line could not be measured; "" when it was
};

struct options {
	double seconds = 2;	// measuring time per line, roughly
	std::string tmpdir;	// for file disks, images and repositories; "" the host's
	std::vector<std::string> only;	// line ids to run; empty runs all
	int readers = 0;	// the backup's readers for P9; 0 the backup's default
	bool verbose = false;	// mirror each machine's kernel log to standard error
};

// Called before each line starts, with its id and what it measures.
using progress_fn = std::function<void(const std::string &id, const std::string &what)>;

bool wanted(const options &o, const std::string &id);

// P0 .. P8: lines measured inside one machine at a time (tools/bench_machine.cpp).
std::vector<line> machine_lines(const options &o, const progress_fn &progress);
// P9, P10: lines measured through the agent's backup and `zep serve` (tools/bench_backup.cpp).
std::vector<line> backup_lines(const options &o, const progress_fn &progress);

} // namespace zep::bench
