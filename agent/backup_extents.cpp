#include "agent/backup_extents.h"

#include <algorithm>

#include <fmt/format.h>

namespace zep {

extent sectors_extent(uint64_t sector, uint64_t count)
{
	return {sector * SECTOR_BYTES, count * SECTOR_BYTES};
}

std::vector<extent> merge_extents(std::vector<extent> v)
{
	std::erase_if(v, [](const extent &e) { return e.length == 0; });
	std::sort(v.begin(), v.end(),
		  [](const extent &a, const extent &b) { return a.start < b.start; });
	std::vector<extent> out;
	for (const extent &e : v) {
		if (!out.empty() && e.start <= out.back().end())
			out.back().length = std::max(out.back().end(), e.end()) - out.back().start;
		else
			out.push_back(e);
	}
	return out;
}

result<std::vector<extent>> device_extents(std::vector<extent> v, uint64_t size, uint64_t unit)
{
	for (extent &e : v) {
		if (e.length == 0)
			continue;
		// The driver records a write for a partition when the write starts inside it or at
		// the first sector after it, and never checks where it ends: such a record runs
		// past the end (into the next partition), and what lies there is not this device's.
		if (e.start > UINT64_MAX - e.length || e.start > size)
			return make_error(
				errc::usage,
				fmt::format(
					"changed range at byte {} of {} bytes lies beyond the end "
					"of the device ({} bytes): the changes are not of this "
					"device",
					e.start, e.length, size));
		if (e.start == size) {
			e.length = 0;
			continue;
		}
		uint64_t start = e.start / unit * unit;
		uint64_t end = (e.end() + unit - 1) / unit * unit;
		e = {start, std::min(end, size) - start};
	}
	return merge_extents(std::move(v));
}

extent intersect(const extent &a, const extent &b)
{
	uint64_t s = std::max(a.start, b.start);
	uint64_t e = std::min(a.end(), b.end());
	return e > s ? extent{s, e - s} : extent{s, 0};
}

} // namespace zep
