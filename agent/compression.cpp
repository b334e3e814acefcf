#include "agent/compression.h"

#include <charconv>

#include <fmt/format.h>
#include <zstd.h>

namespace zep {

std::string compression_setting::name() const
{
	return on() ? fmt::format("zstd:{}", level) : "none";
}

result<compression_setting> parse_compression(std::string_view text)
{
	if (text == "none")
		return compression_setting{0};
	if (text == "zstd")
		return compression_setting{};
	int level = 0;
	if (text.starts_with("zstd:")) {
		std::string_view digits = text.substr(5);
		auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), level);
		if (ec == std::errc() && p == digits.data() + digits.size() && level >= 1 &&
		    level <= MAX_ZSTD_LEVEL)
			return compression_setting{level};
	}
	return make_error(errc::usage,
			  fmt::format("\"{}\" is no compression: give none, zstd or zstd:LEVEL with "
				      "a level from 1 (fastest) to {} (smallest)",
				      text, MAX_ZSTD_LEVEL));
}

struct piece_compressor::state {
	ZSTD_CCtx *ctx = ZSTD_createCCtx();
	int level;
	std::vector<unsigned char> out;
	~state() { ZSTD_freeCCtx(ctx); }
};

piece_compressor::piece_compressor(int level) : s_(std::make_unique<state>())
{
	s_->level = level;
}

piece_compressor::~piece_compressor() = default;

std::optional<std::span<const unsigned char>>
piece_compressor::compress(std::span<const unsigned char> in)
{
	// Only frames smaller than this are kept: no room for more is needed.
	size_t limit = in.size() - in.size() / 8;
	s_->out.resize(ZSTD_compressBound(in.size()));
	size_t n = ZSTD_compressCCtx(s_->ctx, s_->out.data(), s_->out.size(), in.data(), in.size(),
				     s_->level);
	if (ZSTD_isError(n) || n >= limit)
		return std::nullopt;
	return std::span<const unsigned char>(s_->out.data(), n);
}

struct piece_decompressor::state {
	ZSTD_DCtx *ctx = ZSTD_createDCtx();
	~state() { ZSTD_freeDCtx(ctx); }
};

piece_decompressor::piece_decompressor() : s_(std::make_unique<state>()) {}
piece_decompressor::~piece_decompressor() = default;
piece_decompressor::piece_decompressor(piece_decompressor &&) noexcept = default;
piece_decompressor &piece_decompressor::operator=(piece_decompressor &&) noexcept = default;

result<void> piece_decompressor::decompress(std::span<const unsigned char> in,
					    std::span<unsigned char> out)
{
	// The frame states its size; one that says otherwise is not the piece the map names.
	unsigned long long size = ZSTD_getFrameContentSize(in.data(), in.size());
	if (size == ZSTD_CONTENTSIZE_ERROR)
		return make_error(errc::corrupt, "it is not a zstd frame");
	if (size != ZSTD_CONTENTSIZE_UNKNOWN && size != out.size())
		return make_error(errc::corrupt, fmt::format("its frame holds {} bytes, not {}",
							     size, out.size()));
	size_t n = ZSTD_decompressDCtx(s_->ctx, out.data(), out.size(), in.data(), in.size());
	if (ZSTD_isError(n))
		return make_error(errc::corrupt, fmt::format("zstd: {}", ZSTD_getErrorName(n)));
	if (n != out.size())
		return make_error(errc::corrupt,
				  fmt::format("it decompresses to {} bytes, not {}", n, out.size()));
	return {};
}

} // namespace zep
