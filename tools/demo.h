// `zep demo`: boots the emulated machine, snapshots a busy partition and verifies the image
// byte for byte against what the disk held when the snapshot was taken.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "kernel/types.h"

namespace zep {

// Exit codes of the demo (and of `zep demo`).
constexpr int DEMO_PASSED = 0;
constexpr int DEMO_VERIFY_FAILED = 1;	// data, session or leak check failed
constexpr int DEMO_STEP_FAILED = 3;	// a step could not be carried out

struct demo_options {
	std::string dir = "/tmp";	// where the disk image and backing files go
	bool verbose = false;		// mirror the kernel log to standard error
	int io_threads = 4;
	// Called while the writers rewrite the partition, before the image is read, with the
	// disk: lets a test change the medium behind the driver's back.
	std::function<void(kern::dev_t disk)> while_rewriting;
};

// Runs the demo, printing each step to out: one of the exit codes above. Boots a machine
// and halts it again, so no other machine may be running.
int run_demo(const demo_options &opts, std::FILE *out);

} // namespace zep
