// The manifest of one backup: what it is of, how it was made, where its data lies (an
// extent map in the shape of `qemu-img map --output=json`) and a checksum per 64 KiB chunk
// of the whole image at that point. The manifest is the backup's commit: it is written last,
// and a backup without a readable manifest does not exist.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/backup_extents.h"
#include "agent/result.h"

namespace zep {

constexpr uint32_t CHUNK_BYTES = 64 << 10;
// 2: data files may hold compressed pieces, which a zep that reads only 1 must not take for
// raw bytes. Without compression a manifest is still written as, and read as, version 1.
constexpr int MANIFEST_VERSION = 2;
constexpr int RAW_MANIFEST_VERSION = 1;

// `invalid` is what an unknown name in a manifest reads as.
enum class backup_kind { invalid, full, incremental };
enum class backup_method { invalid, full, change_records, checksum_compare };

NLOHMANN_JSON_SERIALIZE_ENUM(backup_kind, {{backup_kind::invalid, nullptr},
					   {backup_kind::full, "full"},
					   {backup_kind::incremental, "incremental"}})
NLOHMANN_JSON_SERIALIZE_ENUM(backup_method, {{backup_method::invalid, nullptr},
					     {backup_method::full, "full"},
					     {backup_method::change_records, "change-records"},
					     {backup_method::checksum_compare, "checksum-compare"}})

// A range of the image as this backup holds it: `data` bytes stored at `offset` of its data
// file, or `zero` (reads as zeros, nothing stored). Depth is 0: the backup itself holds it.
// Stored data is raw, or (`zstd`) one zstd frame of `stored_length` bytes: such an entry is
// at most one chunk long, so a reader decompresses no more than it needs.
struct map_entry {
	uint64_t start = 0;
	uint64_t length = 0;
	int depth = 0;
	bool present = true;
	bool zero = false;
	bool data = false;
	uint64_t offset = 0;	// meaningful with data only
	bool zstd = false;		// data only
	uint64_t stored_length = 0;	// zstd only
	uint64_t end() const { return start + length; }
	uint64_t stored() const { return zstd ? stored_length : length; }
	bool operator==(const map_entry &) const = default;
};

void to_json(nlohmann::ordered_json &j, const map_entry &e);
void from_json(const nlohmann::ordered_json &j, map_entry &e);

// What a backup was taken of, as the user named it: a host image file or block device, or a
// partition of it. Incrementals follow only a parent of the same source.
struct source_identity {
	std::string kind;	// "image" (a host file) or "device" (a host block device)
	std::string path;	// absolute
	uint64_t size = 0;	// of the whole image, bytes
	std::optional<uint64_t> partition_start, partition_sectors;	// 512-byte sectors
	std::string name;	// as the machine names it: "vda", "vda2"
	// The same bytes: kind, path, size and partition (names follow from them).
	bool same_as(const source_identity &o) const
	{
		return kind == o.kind && path == o.path && size == o.size &&
		       partition_start == o.partition_start &&
		       partition_sectors == o.partition_sectors;
	}
	std::string describe() const;	// "/x/disk.img partition 2048:4096 (vda1)"
};

struct manifest {
	int version = MANIFEST_VERSION;	// as read; written as compression needs
	unsigned sequence = 0;
	backup_kind kind = backup_kind::full;
	std::optional<unsigned> parent;
	// The parent's manifest checksum: the chain breaks visibly if the parent is replaced.
	std::optional<uint64_t> parent_checksum;
	backup_method method = backup_method::full;
	std::string device;
	uint64_t size = 0;
	uint32_t chunk_size = CHUNK_BYTES;
	int64_t snapshot_time = 0;	// seconds since the epoch, as the session reports it
	uint64_t get_freeze_ns = 0;		// how long the file system took to freeze
	uint64_t frozen_ns = 0;			// how long it stayed frozen
	std::string session_error;		// the session's error text after the image was read
	std::string data_file;			// the image or delta, a name inside the repository
	uint64_t data_bytes = 0;		// its size
	// "" (written so before compression was known): a full image is sparse, each range at
	// its own offset. "zstd:LEVEL": every data file's pieces are packed, compressed or raw.
	std::string compression;
	uint64_t bytes_read = 0;		// from the source device
	uint64_t bytes_written = 0;		// to the data file
	std::string started, finished;		// UTC, ISO 8601
	std::string note;			// one sentence on how this backup was made
	std::optional<source_identity> source;	// absent in manifests of older zeps
	// Checksums of the manifests this one replaced (a prune merging an incremental into a
	// full image), so that later backups made after those still link to it.
	std::vector<uint64_t> replaces;
	std::vector<map_entry> map;	// sorted, disjoint; a full backup's covers the whole image
	std::vector<uint64_t> checksums;	// XXH3-64 of each chunk of the whole image
	uint64_t self_checksum = 0;	// of the manifest file's contents, as read

	uint64_t chunks() const { return (size + chunk_size - 1) / chunk_size; }
	extent chunk_range(uint64_t c) const;
};

void to_json(nlohmann::ordered_json &j, const source_identity &s);

std::string manifest_name(unsigned sequence);				// "0003.json"
std::string data_file_name(unsigned sequence, backup_kind kind);	// "0000.img", "0003.delta"
std::string kind_name(backup_kind k);
std::string method_name(backup_method m);

uint64_t chunk_checksum(std::span<const unsigned char> bytes);
bool all_zero(std::span<const unsigned char> bytes);
std::string hex64(uint64_t v);

// The manifest file's text: indented JSON that ends with a checksum of the rest of it.
std::string manifest_text(const manifest &m);

// What a manifest file holds: nothing (no file), an incomplete one (not a whole JSON
// document: the backup was interrupted while writing it), or one to check.
std::optional<nlohmann::ordered_json> parse_manifest_json(std::string_view text);
// The manifest in j, read as `name` for backup `sequence`: corrupt, naming the file and what
// is wrong, when its own checksum or any of its fields does not hold.
result<manifest> manifest_from_json(const nlohmann::ordered_json &j, const std::string &name,
				    unsigned sequence);

} // namespace zep
