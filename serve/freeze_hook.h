// The freeze hook of `zep serve`: a command run as `CMD freeze DEVICE` right before a
// snapshot's freeze and `CMD thaw DEVICE` right after its thaw, so that a file system on the
// export (fsfreeze) or a guest (its agent) is quiesced for the snapshot.
#pragma once

#include <string>

#include "agent/result.h"

namespace zep {

// Runs `sh -c 'CMD "$@"' zep-hook STEP DEVICE` and waits for it: refused, with what the
// command printed on its standard error, when it fails.
result<void> run_freeze_hook(const std::string &cmd, const std::string &step,
			     const std::string &device);

} // namespace zep
