// The machine's disks, shared by their registration (disks.cpp) and the test controls
// (disk_controls.cpp).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "kernel/drivers/block/disk_common.h"
#include "kernel/host/hostops.h"
#include "kernel/machine/machine.h"

namespace kern {

struct machine_disks {
	host::host_lock *lock;
	std::vector<zdisk *> disks;
	std::map<unsigned, std::string> machine_majors;	// majors the machine registered, by driver
};

machine_disks &md();

struct md_guard {
	md_guard() { host::ops().lock_acquire(md().lock); }
	~md_guard() { host::ops().lock_release(md().lock); }
	md_guard(const md_guard &) = delete;
};

// The disk covering dev (a partition's too), or null.
zdisk *find_zdisk(dev_t dev);

// At boot the machine has no disks; at halt each is removed.
void machine_disks_boot();
void machine_disks_halt(std::vector<std::string> *problems);

} // namespace kern
