// What a backup, a restore or a verification did, for the `zep` command to print as text
// (to_text) or JSON (to_json, so that `nlohmann::json j = summary;` works).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/manifest.h"

namespace zep {

struct backup_summary {
	unsigned sequence = 0;
	backup_kind kind = backup_kind::full;
	std::optional<unsigned> parent;
	backup_method method = backup_method::full;
	bool tracking_lost = false;	// the change records were not trusted
	std::string note;		// one sentence: how it was made and why
	std::string device;
	std::string source;		// the node read
	uint64_t size = 0;
	uint64_t chunks = 0;		// of the image
	uint64_t chunks_stored = 0;	// holding bytes written to the data file
	uint64_t chunks_zero = 0;	// held by this backup only as zeros (holes)
	uint64_t data_bytes = 0;	// written to the data file
	std::string compression;	// "none", "zstd:3"
	uint64_t image_bytes_stored = 0;	// of the image, in data_bytes (before compression)
	uint64_t pieces_compressed = 0;	// stored pieces (at most a chunk each) compressed
	uint64_t bytes_read = 0;	// from the source
	int readers = 0;		// processes that read it
	uint64_t bytes_written = 0;	// to the repository, manifest included
	std::string manifest_file, data_file;
	double seconds = 0;
};

struct restore_summary {
	unsigned sequence = 0;
	std::vector<unsigned> chain;	// the backups read, the full one first
	std::string target;
	uint64_t size = 0;		// the image's length, and so the file's
	uint64_t chunks = 0;
	uint64_t chunks_sparse = 0;	// zero chunks left unwritten in a host file (holes)
	uint64_t bytes_sparse = 0;	// their bytes: bytes_sparse + bytes_written == size
	uint64_t bytes_read = 0;	// from the repository
	uint64_t bytes_written = 0;	// of the chunks written (not the zeros written at the end
					// of a file that ends in a hole, to give it its length)
	double seconds = 0;
};

struct verify_summary {
	std::vector<unsigned> backups;			// verified, by sequence
	std::vector<unsigned> incomplete;		// interrupted backups passed over
	std::vector<std::string> leftovers;		// their files, and unfinished commits
	uint64_t chunks_checked = 0;	// chunk checksums held against rebuilt data or a parent
	uint64_t bytes_read = 0;			// from the repository
	std::string device;				// the node compared with, or ""
	std::optional<unsigned> device_sequence;	// the backup it was compared with
	uint64_t device_bytes_compared = 0;
	double seconds = 0;
};

// For nlohmann::json and nlohmann::ordered_json.
template <typename Json> void to_json(Json &j, const backup_summary &s);
template <typename Json> void to_json(Json &j, const restore_summary &s);
template <typename Json> void to_json(Json &j, const verify_summary &s);

// A few lines for people.
std::string to_text(const backup_summary &s);
std::string to_text(const restore_summary &s);
std::string to_text(const verify_summary &s);

} // namespace zep
