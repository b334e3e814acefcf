// Named fault-injection points.
//
// Points used by the kernel:
//   "kmalloc", "vmalloc", "alloc_pages", "bio_alloc", "mempool_create",
//   "kmem_cache_create:<name>", "kmem_cache_alloc:<name>",
//   "site:<file>:<line>"  (any allocation made at that call site; file is the base name),
//   "file_read:<path>", "file_write:<path>"  (host-backed file IO; path as opened): a hit
//       returns `error` (-EIO when 0), or, when `short_bytes` >= 0, moves at most that
//       many bytes and returns the count (a short transfer),
//   "statfs:<path>"  (vfs_statfs of a host-backed file): a hit returns `error` (-EIO when 0).
// Device IO faults are per disk (EIO on sector ranges): see the disk drivers.
#pragma once

#include "kernel/lib/srcloc.h"
#include <string>

namespace kern {

struct fault_spec {
	long skip = 0;		// let this many hits pass first
	long times = -1;	// then fail this many (-1: every time)
	int error = 0;		// file points: the negative errno to return (0: -EIO)
	long short_bytes = -1;	// file points: >= 0 makes the transfer short instead
};

void fault_inject(const std::string &point, fault_spec spec = {});
void fault_clear(const std::string &point);
void fault_clear_all();
// Whether the next use of `point` fails.
bool should_fail(const std::string &point);
// As should_fail, and hands the rule's spec to the caller when it fails.
bool should_fail_spec(const std::string &point, fault_spec *spec);
// Checks `point` and the call site's "site:<file>:<line>".
bool should_fail_at(const char *point, const kern::source_location &loc);
// How many times `point` has failed so far.
long fault_count(const std::string &point);

} // namespace kern
