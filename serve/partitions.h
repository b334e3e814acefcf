// The partition table of a host image, read with libblkid (MBR and GPT).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/result.h"

namespace zep {

struct partition_entry {
	int number = 0;		// as the table numbers it: vda<number>
	uint64_t start = 0;	// 512-byte sectors
	uint64_t sectors = 0;
};

// The partitions of the image at path, in table order; none for an image without a table.
// io when the image cannot be read, corrupt when its table is damaged.
result<std::vector<partition_entry>> read_partitions(const std::string &path);

} // namespace zep
