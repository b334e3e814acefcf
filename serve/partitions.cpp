#include "serve/partitions.h"

#include <blkid/blkid.h>

#include <fmt/format.h>

namespace zep {

result<std::vector<partition_entry>> read_partitions(const std::string &path)
{
	blkid_probe pr = blkid_new_probe_from_filename(path.c_str());
	if (!pr)
		return make_error(errc::io, fmt::format("cannot read image {} for its partition "
							"table: check that it exists and is readable",
							path));
	std::vector<partition_entry> out;
	blkid_probe_enable_partitions(pr, 1);
	blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
	int rc = blkid_do_fullprobe(pr);
	if (rc < 0) {
		blkid_free_probe(pr);
		return make_error(errc::corrupt,
				  fmt::format("the partition table of {} cannot be read", path));
	}
	blkid_partlist ls = blkid_probe_get_partitions(pr);
	int n = ls ? blkid_partlist_numof_partitions(ls) : 0;
	for (int i = 0; i < n; i++) {
		blkid_partition p = blkid_partlist_get_partition(ls, i);
		if (!p)
			continue;
		partition_entry e;
		e.number = blkid_partition_get_partno(p);
		e.start = static_cast<uint64_t>(blkid_partition_get_start(p));
		e.sectors = static_cast<uint64_t>(blkid_partition_get_size(p));
		// An extended MBR partition only holds the logical ones: not a device of its own.
		if (blkid_partition_is_extended(p) || e.sectors == 0)
			continue;
		out.push_back(e);
	}
	blkid_free_probe(pr);
	return out;
}

} // namespace zep
