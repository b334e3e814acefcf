// A backup repository: one host folder, flat.
//
//   NNNN.json   the manifest of backup NNNN, written last: the backup's commit. It is
//               written as NNNN.json.tmp, synced and renamed, so it is whole or absent
//   NNNN.img    a full backup's data: its stored pieces packed one after the other (zero
//               chunks are only mapped); written without compression (the manifest names
//               none), a raw image sparse where the device's chunks are zero
//   NNNN.delta  an incremental backup's data: its stored pieces, packed
//
// With compression each piece, at most one chunk, is a zstd frame of its own, or raw when
// that would not shrink it by an eighth; its map entry says which and how many bytes it
// takes, so reading one chunk decompresses at most one chunk. Manifests without compression
// read as they always did.
//   lock        flock'ed: exclusively by a writer (its description inside), shared by readers
//
// Backups are found by their manifests, whatever their numbers; a new one takes the number
// above every file present, so no file is ever written twice. Data without a manifest and
// temporary files are leftovers of interrupted runs: listed, and removed by the next writer.
#pragma once

#include <optional>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "agent/backup_io.h"
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
	std::vector<unsigned> incomplete;	// interrupted: data without a manifest
	std::vector<std::string> leftovers;	// their files, and unfinished commits
	unsigned next_sequence = 0;		// above every backup file present

	const manifest *find(unsigned sequence) const;
	const damaged_backup *find_damaged(unsigned sequence) const;
	// The newest backup, complete or damaged.
	std::optional<unsigned> latest() const;
};

// A file of the repository as the system calls name it.
std::string repository_file(const std::string &repo, const std::string &name);

// Reads every manifest (inside a process). Incomplete backups are listed apart and
// otherwise ignored; a manifest that does not parse is damaged; one that cannot be read
// at all is an io error.
result<repository_scan> scan_repository(const std::string &repo);
// Removes the scan's leftovers: only under the writer's lock.
result<void> remove_leftovers(const std::string &repo, const repository_scan &scan);

constexpr const char *LOCK_FILE = "lock";

// The repository's lock, held while it lives: exclusive for a writer, which describes
// itself in `holder` ("zep backup, pid 42"), shared for readers. Refused at once (busy,
// naming the holder) while another has it.
class repository_lock {
public:
	static result<repository_lock> take(const std::string &repo, bool writer,
					    const std::string &holder = "another zep");
	repository_lock(repository_lock &&o) noexcept
	    : file_(std::move(o.file_)), writer_(std::exchange(o.writer_, false))
	{}
	~repository_lock();

private:
	repository_lock(sys_file f, bool writer) : file_(std::move(f)), writer_(writer) {}
	std::optional<sys_file> file_;
	bool writer_ = false;
};

// The backups that make up the image at `sequence`, the full one first: not_found when
// there is no such backup, corrupt when one of the chain is damaged, missing or of another
// device.
result<std::vector<manifest>> backup_chain(const repository_scan &scan, unsigned sequence);

// As backup_chain, and each data file of the chain is there with its size: all that
// restoring it needs short of reading data.
result<std::vector<manifest>> whole_chain(const std::string &repo, const repository_scan &scan,
					  unsigned sequence);
// The backups of which whole_chain holds, each data file opened once.
std::set<unsigned> restorable_backups(const std::string &repo, const repository_scan &scan);

// The repository for a reader: locked shared (into lock) and scanned.
result<repository_scan> open_for_reading(const std::string &repo,
					 std::optional<repository_lock> &lock);
// The repository for a writer: locked (into lock), scanned, cleared of what interrupted runs
// left.
result<repository_scan> open_for_writing(const std::string &repo, const std::string &holder,
					 std::optional<repository_lock> &lock);

} // namespace zep
