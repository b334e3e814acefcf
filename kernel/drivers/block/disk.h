// What a disk of the machine is made with, and what it counts: plain records that the
// machine's disk functions take and give (see machine.h).
#pragma once

#include "kernel/lib/types.h"

namespace kern {

struct disk_options {
	unsigned hardsect_size = 512;
	unsigned max_sectors = 255;
	unsigned max_phys_segments = 128;
	unsigned max_hw_segments = 128;
	unsigned max_segment_size = 65536;
	unsigned long seg_boundary_mask = 0xffffffffUL;
	int minors = 16;		// the disk and its partitions
	int workers = 2;		// filedisk: threads serving bios
	bool create = true;		// filedisk: create the host file if missing
	bool read_only = false;		// filedisk: the host file opened for reading; writes fail -EROFS
	u64 size_bytes = 0;		// filedisk: size to give a new or shorter host file
};

// Per-disk counters, for tests.
struct disk_stats {
	u64 reads, writes;		// bios completed
	u64 sectors_read, sectors_written;
	u64 errors;			// bios ended with an error
	u64 held;			// completions held now
};

} // namespace kern
