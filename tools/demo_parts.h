// The pieces of `zep demo` that are not its flow: the agent process it keeps from one step to
// the next, the byte-for-byte comparison of a file with a device, and what it found, for the
// summary as text or JSON.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/backup_summary.h"
#include "agent/control.h"
#include "agent/oracle.h"
#include "agent/result.h"
#include "kernel/types.h"

namespace zep::demo_parts {

// A process that runs the jobs handed to it, one at a time, until it is closed: the agent,
// which holds the control device, the change drainer and the snapshots from one step to the
// next (they belong to the process that made them).
class agent_process {
public:
	explicit agent_process(const std::string &comm);
	agent_process(const agent_process &) = delete;
	agent_process &operator=(const agent_process &) = delete;
	~agent_process() { close(); }

	bool started() const { return pid_ >= 0; }
	// Runs job inside the process and waits for it: false when the process is gone (the job
	// may then not have run, or not to its end).
	bool run(const std::function<void()> &job);
	// Ends the process and waits for it: its exit code.
	int close();

private:
	int serve();

	std::mutex m_;
	std::condition_variable cv_;
	const std::function<void()> *job_ = nullptr;
	bool closing_ = false, ended_ = false;
	kern::pid_t pid_ = -1;
};

// What paced writers do.
struct writer_plan {
	std::string device;		// the node, "/dev/vda1"
	oracle::sector_range range;
	unsigned writers = 2;
	uint64_t seed = 1;
	size_t min_bytes = 4 << 10;	// write sizes, multiples of 512, drawn uniformly
	size_t max_bytes = 32 << 10;
	size_t alignment = 4 << 10;	// write offsets are multiples of this
	std::chrono::microseconds pause{10000};	// each writer's rest between two writes
};

// Writer processes (named "dwriter<i>") that rewrite random ranges of a device node with the
// oracle's stamped writes until stopped, resting between writes: a busy file system beside
// the backups, not a stream that takes the whole disk and both cores (and whose log would
// outgrow the demo). Each write is logged before it is issued, so that a write in flight is
// in the log, without completion, until it returns. Stopped and waited for on destruction.
class paced_writers {
public:
	// Starts the processes (from the host program while the machine runs).
	static result<paced_writers> start(const writer_plan &plan);
	paced_writers(paced_writers &&) noexcept = default;
	paced_writers &operator=(paced_writers &&) = delete;
	~paced_writers();

	// Waits until n writes have completed in all (at most timeout_ms of real time); an error
	// when a writer failed or the time ran out.
	result<void> wait_for_writes(uint64_t n, unsigned timeout_ms = 30000) const;
	// Lets each writer finish the write it is in and waits for them; an error naming the
	// first writer that failed.
	result<void> stop();
	uint64_t writes_completed() const;
	// Every write so far, for the oracle's history.
	std::vector<oracle::write_record> log() const;

	struct state;

private:
	explicit paced_writers(std::shared_ptr<state> s) : s_(std::move(s)) {}
	std::shared_ptr<state> s_;
};

// Where a file and a device first differ, when they do.
struct comparison {
	uint64_t bytes = 0;	// compared
	std::optional<uint64_t> first_difference;
	uint64_t differing_bytes = 0;
	bool same() const { return !first_difference; }
};

// Inside a process: a host file and a device node, byte for byte. io when one cannot be read,
// usage when their sizes differ.
result<comparison> compare_file_with_device(const std::string &file, const std::string &node);

// An image the oracle judged.
struct oracle_check {
	bool ran = false;		// false: the check could not be made (error says why)
	std::string error;
	oracle::report report;
	bool ok() const { return ran && report.ok(); }
};

// A snapshot as the demo took it.
struct snapshot_facts {
	int id = 0;
	std::string device;		// "vda1"
	std::string node;		// "/dev/zep1"
	freeze_window freeze;		// the driver's durations
	oracle::freeze_window window;	// the instants the oracle judges against
	uint64_t chunks_preserved = 0;	// copied out while the snapshot ran
	uint32_t chunk_size = 0;
	std::vector<int> io_thread_exits;
	oracle_check oracle;
};

struct change_facts {
	bool complete = false;
	std::string reason;		// why not complete
	uint64_t records = 0;		// collected by the drainer so far
	uint64_t extents = 0;		// since the first mark, merged
	uint64_t bytes = 0;		// covered by those extents
};

// Everything the summary shows; what a failed step left unknown stays empty.
struct findings {
	std::string disk_file;
	uint64_t disk_bytes = 0;
	struct partition {
		std::string name;
		uint64_t start = 0, sectors = 0;
	};
	std::vector<partition> partitions;
	unsigned writers_per_partition = 0;
	uint64_t writes = 0;
	int io_threads = 0;

	std::optional<snapshot_facts> full_snapshot;
	std::optional<backup_summary> full_backup;
	std::optional<verify_summary> verify;
	std::string verify_error;

	std::optional<snapshot_facts> incremental_snapshot;
	std::optional<change_facts> changes;
	std::optional<backup_summary> incremental_backup;
	std::optional<restore_summary> restore;
	std::string restore_error;
	std::optional<comparison> restored_vs_snapshot;

	std::vector<snapshot_facts> both;	// both partitions at once

	struct step {
		std::string what;
		bool ok = false;
		std::vector<std::string> notes;
	};
	std::vector<step> steps;
	std::string failure;	// the first step or check that failed
	int exit_code = 0;
	double seconds = 0;
};

nlohmann::ordered_json to_json(const findings &f);
std::string summary_text(const findings &f);

} // namespace zep::demo_parts
