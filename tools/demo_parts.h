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
#include "kernel/lib/types.h"

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

// The real ext4 act: `zep serve` on a disk image, ext4 on its vda1 through nbdfuse and a loop
// device, a snapshot taken while the host writes, its copy checked by e2fsck and checksums.
struct ext4_facts {
	std::string status = "not run";	// passed, skipped or failed
	std::string reason;		// why it was skipped, or the first step or check that failed
	uint64_t files = 0;		// checksummed before the snapshot
	uint64_t files_intact = 0;	// found in the snapshot's copy with those checksums
	double freeze_ms = 0;		// as the server measured it
	bool quiesced = false;		// the freeze hook froze ext4 around the snapshot
	int fsck_exit = -1;		// e2fsck -fn on the snapshot's copy
	std::string incremental_method;	// of the second snapshot's backup
	uint64_t incremental_read = 0;	// bytes it read
	bool restore_equal = false;	// the restore is the second snapshot's image
	int restored_fsck_exit = -1;	// e2fsck -fn on the restore
	double seconds = 0;
};

// How an act outside the machine reports: its steps and checks as the demo's (each passes
// ok on), and notes under the last.
struct act_reporter {
	std::function<bool(bool ok, const std::string &what)> step, check;
	std::function<void(const std::string &text)> note;
};

// Runs the real ext4 act in folder (made and left to the caller to remove), with zep_binary
// as the server; skipped, with the reason, where the machine does not allow it.
void real_ext4_act(const std::string &zep_binary, const std::string &folder, const act_reporter &r,
		   ext4_facts &facts);

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
	std::optional<ext4_facts> ext4;

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
