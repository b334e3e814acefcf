// zstd for a backup's stored pieces. Each piece (at most one chunk) is a frame of its own, so
// a reader that needs one chunk decompresses at most one chunk; a piece that does not shrink
// by an eighth is stored raw, as it is cheaper to read and barely larger.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent/result.h"

namespace zep {

constexpr int DEFAULT_ZSTD_LEVEL = 3;	// fast, and most of what higher levels save
constexpr int MAX_ZSTD_LEVEL = 19;

// How a backup stores its pieces: raw (level 0, a full image then sparse as ever), or each
// piece zstd-compressed at `level` when that pays.
struct compression_setting {
	int level = DEFAULT_ZSTD_LEVEL;
	bool on() const { return level > 0; }
	std::string name() const;	// "none", "zstd:3"
};

// "none", "zstd" or "zstd:LEVEL" (1 to 19): usage, saying what is accepted, for anything else.
result<compression_setting> parse_compression(std::string_view text);

class piece_compressor {
public:
	explicit piece_compressor(int level);
	~piece_compressor();
	// The frame of `in`, or nothing when it would not be at least an eighth smaller.
	std::optional<std::span<const unsigned char>> compress(std::span<const unsigned char> in);

private:
	struct state;
	std::unique_ptr<state> s_;
};

class piece_decompressor {
public:
	piece_decompressor();
	~piece_decompressor();
	piece_decompressor(piece_decompressor &&) noexcept;
	piece_decompressor &operator=(piece_decompressor &&) noexcept;
	// Fills `out` exactly from the frame in `in`: corrupt, saying why, when it cannot.
	result<void> decompress(std::span<const unsigned char> in, std::span<unsigned char> out);

private:
	struct state;
	std::unique_ptr<state> s_;
};

} // namespace zep
