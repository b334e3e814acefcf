// Restoring the image at one backup of a repository into a host file or onto a device node.
#pragma once

#include <optional>
#include <string>

#include "agent/backup_progress.h"
#include "agent/backup_summary.h"
#include "agent/result.h"

namespace zep {

struct restore_options {
	std::optional<unsigned> sequence;	// the backup to restore (default the newest)
	progress_fn progress;
};

// Rebuilds the image chunk by chunk from the full image and the deltas of its chain, holding
// each chunk against the backup's checksum (corrupt, naming backup and chunk, on a mismatch).
// A host file is written anew and kept sparse where the image is zero, and removed again when
// the restore fails; a "/dev/<node>" target is written whole and must be large enough.
// Inside a process.
result<restore_summary> restore_backup(const std::string &repo, const std::string &target,
				       const restore_options &opts = {});

} // namespace zep
