// A backup repository: one host folder, flat (the machine has no mkdir or rename).
//
//   NNNN.json   the manifest of backup NNNN, written last: the backup's commit
//   NNNN.img    a full backup's image, sparse where the device's chunks are zero
//   NNNN.delta  an incremental backup's data: its stored extents, packed
//
// Sequence numbers count up from 0000 without gaps: a backup that fails removes its files,
// and the next one takes its number. Only one backup may be made in a repository at a time.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "agent/manifest.h"
#include "agent/result.h"

namespace zep {

struct damaged_backup {
	unsigned sequence = 0;
	error problem;	// corrupt (or usage for a newer format), naming the manifest
};

struct repository_scan {
	std::vector<manifest> backups;		// complete backups, by sequence
	std::vector<damaged_backup> damaged;	// manifests that read but do not hold
	std::vector<unsigned> incomplete;	// interrupted: data without a whole manifest
	unsigned next_sequence = 0;		// the number the next backup takes

	const manifest *find(unsigned sequence) const;
	const damaged_backup *find_damaged(unsigned sequence) const;
	// The newest backup, complete or damaged.
	std::optional<unsigned> latest() const;
};

// A file of the repository as the system calls name it.
std::string repository_file(const std::string &repo, const std::string &name);

// Reads every manifest (inside a process). Incomplete backups are listed apart and
// otherwise ignored; a manifest that cannot be read at all is an io error.
result<repository_scan> scan_repository(const std::string &repo);

// The backups that make up the image at `sequence`, the full one first: not_found when
// there is no such backup, corrupt when one of the chain is damaged, missing or of another
// device.
result<std::vector<manifest>> backup_chain(const repository_scan &scan, unsigned sequence);

} // namespace zep
