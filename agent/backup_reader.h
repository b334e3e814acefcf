// The image at one point of a backup chain, rebuilt chunk by chunk: each byte from the newest
// backup of the chain whose map holds it, down to the full image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/backup_io.h"
#include "agent/backup_repo.h"
#include "agent/compression.h"
#include "agent/manifest.h"

namespace zep {

class chain_reader {
public:
	// chain: the full backup first (see backup_chain). Inside a process.
	static result<chain_reader> open(const std::string &repo, std::vector<manifest> chain);

	const manifest &top() const { return chain_.back(); }
	const std::vector<manifest> &chain() const { return chain_; }
	// Chunk c of the image: a data file that ends too early is corrupt.
	result<void> read_chunk(uint64_t c, std::vector<unsigned char> &out);
	// As read_chunk, and held against the top backup's checksum: corrupt, naming the
	// backup, the chunk and the files it came from, when it differs.
	result<void> read_checked_chunk(uint64_t c, std::vector<unsigned char> &out);
	// The backup that supplied byte `off` of the last chunk read.
	unsigned origin(uint64_t off) const;
	// The data files that supplied the last chunk read, newest first.
	std::vector<std::string> origin_files() const;
	uint64_t bytes_read() const { return bytes_read_; }

private:
	chain_reader(std::string repo, std::vector<manifest> chain, user_buffer buf);
	result<void> read_stored(size_t layer, uint64_t off, size_t n, unsigned char *dst);
	// n bytes from byte `at` of the compressed piece e of layer's map, for chunk c.
	result<void> read_compressed(size_t layer, const map_entry &e, uint64_t at, size_t n,
				     unsigned char *dst, uint64_t c);

	std::string repo_;
	std::vector<manifest> chain_;
	user_buffer buf_;
	std::vector<std::optional<sys_file>> files_;	// opened when first needed
	size_t open_files_ = 0;
	std::vector<int> origin_;	// per sector of the last chunk: its layer
	piece_decompressor unzstd_;
	std::vector<unsigned char> frame_, piece_;	// the last piece decompressed
	std::optional<std::pair<size_t, uint64_t>> piece_at_;	// its layer and offset
	uint64_t bytes_read_ = 0;
};

// The image at `sequence` of the repository, or at its newest backup.
result<chain_reader> open_point(const std::string &repo, const repository_scan &scan,
				std::optional<unsigned> sequence);

} // namespace zep
