// Verifying a repository: every checksum of its backups against the data they rebuild, and
// optionally the image at one backup against a device node, byte for byte.
#pragma once

#include <optional>
#include <string>

#include "agent/backup_progress.h"
#include "agent/backup_summary.h"
#include "agent/result.h"

namespace zep {

struct verify_options {
	// Verify the chain up to this backup; default every backup of the repository.
	std::optional<unsigned> sequence;
	// Also compare the image at `sequence` (default the newest backup) with this node, e.g.
	// the snapshot device it was made from.
	std::string device;
	progress_fn progress;
};

// Rebuilds each point of each chain chunk by chunk and holds it against that point's
// manifest; stops at the first problem: corrupt, naming the backup, the file and the chunk
// (or, against a device, the first differing byte's offset and the backup that holds it).
// Inside a process.
result<verify_summary> verify_backups(const std::string &repo, const verify_options &opts = {});

} // namespace zep
