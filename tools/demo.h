// `zep demo`: the project's main job on an embedded default. A sparse file-backed disk with two
// mounted partitions, stamped writers rewriting both throughout; a snapshot with change
// tracking, a full backup checked by the oracle and by its checksums; a second snapshot, an
// incremental backup from the change records, the chain restored and compared with it byte
// for byte; snapshots of both partitions at once, each checked by the oracle; where the
// machine allows it, a real ext4 on a device of `zep serve`, snapshot while the host writes to
// it (see demo_parts.h); a summary.
#pragma once

#include <functional>
#include <string>

#include "kernel/lib/types.h"
#include "tools/output.h"
#include "tools/progress.h"

namespace zep {

// Exit codes of the demo (and of `zep demo`).
constexpr int DEMO_PASSED = 0;
constexpr int DEMO_VERIFY_FAILED = 1;	// an image, a checksum, a comparison or a leak check failed
constexpr int DEMO_STEP_FAILED = 3;	// a step could not be carried out

struct demo_options {
	std::string dir;	// where the demo's temporary folder goes; "" the host's temporary folder
	bool verbose = false;	// mirror the kernel log to standard error
	bool json = false;	// the summary as one JSON document instead of text
	progress_mode progress = progress_mode::automatic;
	int io_threads = 2;	// per snapshot
	// Called once the first snapshot is taken, while the writers rewrite both partitions and
	// before the snapshot is read, with the disk: lets a test change the medium behind the
	// driver's back.
	std::function<void(kern::dev_t disk)> while_rewriting;
	// Then, where the machine allows it, a real ext4 on a device of `zep serve` run as a
	// process of its own from zep_binary: "" is $ZEP_BINARY when set, else this program.
	bool real_ext4 = true;
	std::string zep_binary;
};

// Runs the demo: its steps and summary on io.out (text, or the JSON document), progress on
// io.err; one of the exit codes above. Boots a machine and halts it again, so no other machine
// may be running. Its temporary folder is removed however it ends.
int run_demo(const demo_options &opts, cli_io &io);

} // namespace zep
