// Pruning a repository down to its newest backups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/backup_progress.h"
#include "agent/result.h"

namespace zep {

struct prune_summary {
	std::vector<unsigned> kept;	// the newest restorable backups, oldest first
	std::vector<unsigned> merged;	// of them, made full so that they need no older one
	std::vector<unsigned> removed;	// every backup older than the oldest kept
	std::vector<std::string> files_removed;	// theirs, the merged deltas and leftovers
	uint64_t bytes_freed = 0;
	uint64_t bytes_written = 0;	// by the merges
};

void to_json(nlohmann::ordered_json &j, const prune_summary &s);
std::string to_text(const prune_summary &s);

// Keeps the newest keep_last backups that restore (their chains whole, data files there):
// each whose chain reaches a backup not kept is first merged into a full one, then the
// backups older than the oldest kept are removed (damaged ones among the kept stay, for the
// user to see), newest first and each
// manifest before its data, so that a crash at any step leaves only whole backups and
// leftovers. Under the writer's lock (holder names us to others). Inside a process.
result<prune_summary> prune_backups(const std::string &repo, unsigned keep_last,
				    const std::string &holder, const progress_fn &progress = {});

} // namespace zep
