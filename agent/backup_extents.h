// Byte ranges of a device: what changed since a backup, and what a backup stores.
#pragma once

#include <cstdint>
#include <vector>

#include "agent/result.h"

namespace zep {

constexpr uint64_t SECTOR_BYTES = 512;

struct extent {
	uint64_t start = 0;
	uint64_t length = 0;
	uint64_t end() const { return start + length; }
	bool operator==(const extent &) const = default;
};

// A range given in 512-byte sectors, as change records give them.
extent sectors_extent(uint64_t sector, uint64_t count);

// Sorted, with overlapping and touching ranges joined and empty ones dropped.
std::vector<extent> merge_extents(std::vector<extent> v);

// The ranges widened to whole `unit`s (the device reads whole sectors), cut at the end of a
// device of `size` bytes and merged. A range that starts past the end, or whose end
// overflows, is a usage error naming it; one that starts at the end or inside the device
// and runs past it is cut: the driver records such writes of the next partition too.
result<std::vector<extent>> device_extents(std::vector<extent> v, uint64_t size,
					   uint64_t unit = SECTOR_BYTES);

// The part of a that lies inside b (length 0 when they do not meet).
extent intersect(const extent &a, const extent &b);

} // namespace zep
