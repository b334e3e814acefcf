// Named fault-injection points.
//
// Points used by the kernel:
//   "kmalloc", "vmalloc", "alloc_pages", "bio_alloc", "mempool_create",
//   "kmem_cache_create:<name>", "kmem_cache_alloc:<name>",
//   "site:<file>:<line>"  (any allocation made at that call site; file is the base name),
//   "file_read:<path>", "file_write:<path>"  (host-backed file IO; path as opened): a hit
//       returns `error` (-EIO when 0), or, when `short_bytes` >= 0, moves at most that
//       many bytes and returns the count (a short transfer),
//   "statfs:<path>"  (vfs_statfs of a host-backed file): a hit returns `error` (-EIO when 0),
//   "fsync:<path>", "unlink:<path>", "rename:<to>", "create:<path>" (a host file opened with
//       O_CREAT or O_TRUNC): the same; a sweep counts fsync, unlink and create only when it is
//       limited to a folder (`within`),
//   "disk_io:<disk>"  (a bio served by a machine disk): a hit ends it with -EIO.
// Device IO faults by sector range are per disk: see the disk drivers.
#pragma once

#include <map>
#include <string>

#include "kernel/lib/srcloc.h"

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
// Whether any rule or sweep is armed: a caller that builds a point's name checks this first.
bool fault_points_armed();

// ---- sweeps ----
// While a sweep is armed, every fault point reached counts, in the order reached (an
// allocation once, as its point and call site). The point numbered fail_at (from 0)
// fails, and with and_after every later one too; fail_at < 0 only counts. Rules set with
// fault_inject still apply. Boot and halt disarm it.
void fault_sweep_arm(long fail_at, bool and_after = false);
struct fault_sweep_options {
	long fail_at = -1;
	bool and_after = false;
	std::string within;	// only points whose name holds this (a folder's path) count
	int error = 0;		// file points fail with it (0: -EIO)
};
void fault_sweep_arm(const fault_sweep_options &o);
struct fault_sweep_result {
	long reached = 0;	// points reached while armed
	long failed = 0;	// of them, made to fail
	std::string first_failed;	// the first point made to fail, as in by_point
	std::map<std::string, long> by_point;	// "kmalloc@fc.cpp:57", "file_write", "disk_io:vda" ...
};
// Disarms the sweep and says what it saw.
fault_sweep_result fault_sweep_disarm();

} // namespace kern
