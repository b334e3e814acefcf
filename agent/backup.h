// Making backups into a repository (see backup_repo.h): a full one, an image of a device node,
// and incremental ones that store only what changed since their parent.
//
// The source is any block device node, normally a snapshot device /dev/zep<N> whose image
// stays frozen while it is read. Call these inside an emulated process.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent/backup_extents.h"
#include "agent/backup_progress.h"
#include "agent/backup_repo.h"
#include "agent/backup_summary.h"
#include "agent/compression.h"
#include "agent/manifest.h"
#include "agent/result.h"
#include "agent/session.h"
#include "agent/source_readers.h"

namespace zep {

struct backup_source {
	std::string node;		// "/dev/zep1", or any block device node
	std::string device;		// what the image is of ("sda1"); "" names it after the node
	std::optional<source_identity> identity;	// recorded, and held against the parent's
	int64_t snapshot_time = 0;	// seconds since the epoch, as the session reports it
	uint64_t get_freeze_ns = 0;	// the session's freeze window
	uint64_t frozen_ns = 0;
	// Asked once the whole image has been read: the session's error text, "" while it is
	// healthy. A snapshot that went bad while it was read holds no consistent image, so the
	// backup then fails with `invalidated` (also when this returns an invalidated error, whose
	// message says why). Empty: the source is taken as it is.
	std::function<result<std::string>()> session_error;
};

// A running snapshot as a backup's source; the snapshot must outlive the backup.
backup_source snapshot_source(snapshot &s, std::string device);

// What changed on the device since the parent backup's snapshot.
struct change_set {
	std::vector<extent> extents;	// bytes; sectors_extent() converts change records
	bool complete = true;	// false: tracking missed writes, the extents are not trusted
};

struct backup_options {
	std::optional<unsigned> parent;	// incremental: the backup it follows (default the newest)
	progress_fn progress;
	std::string holder = "another zep";	// who holds the repository's lock, for others' refusals
	compression_setting compression;	// none: the data files as before compression
	int readers = DEFAULT_READERS;	// processes reading the source at once (1 to MAX_READERS)
};

// A full backup: every chunk of the source read and checksummed, those not all zero stored.
result<backup_summary> full_backup(const std::string &repo, const backup_source &src,
				   const backup_options &opts = {});

// An incremental backup after opts.parent. With complete changes only their extents are read
// (whole chunks, for the checksums) and stored; without changes, or with incomplete ones, the
// whole source is read and the chunks whose checksums differ from the parent's are stored.
result<backup_summary> incremental_backup(const std::string &repo, const backup_source &src,
					  const std::optional<change_set> &changes,
					  const backup_options &opts = {});

// Rewrites incremental backup `sequence` as a full one holding the same image, under the
// writer's lock (a prune's step): its image gathered from its chain into NNNN.img, checked
// chunk by chunk against its checksums, then its manifest replaced by rename (naming the one
// it replaces, so that backups made after it still link to it), then its delta removed. A
// full backup is left as it is. Bytes written.
result<uint64_t> merge_into_full(const std::string &repo, const repository_scan &scan,
				 unsigned sequence, const progress_fn &progress = {});

} // namespace zep
