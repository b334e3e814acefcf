// Whole host files for the tests' comparisons.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace zeptest {

// The bytes of a host file from off, at most n of them (none if it cannot be read). Read in
// one go: through stream iterators, a byte a call, the unoptimised sanitizer build spent
// minutes on the images the crash and sweep tests compare.
inline std::vector<unsigned char> read_host_file(const std::string &path, uint64_t off = 0,
						  size_t n = SIZE_MAX)
{
	std::vector<unsigned char> out;
	std::ifstream in(path, std::ios::binary | std::ios::ate);
	if (!in)
		return out;
	auto size = static_cast<uint64_t>(in.tellg());
	if (off >= size)
		return out;
	out.resize(static_cast<size_t>(std::min<uint64_t>(size - off, n)));
	in.seekg(static_cast<std::streamoff>(off));
	in.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(out.size()));
	out.resize(static_cast<size_t>(in.gcount()));
	return out;
}

} // namespace zeptest
