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
	// Disks a halt took out while tasks it could not end were left: neither stopped nor
	// freed while one of those may still use them; finished by a later halt.
	std::vector<zdisk *> kept;
};

machine_disks &md();

struct md_guard {
	md_guard() { host::ops().lock_acquire(md().lock); }
	~md_guard() { host::ops().lock_release(md().lock); }
	md_guard(const md_guard &) = delete;
};

// The disk covering dev (a partition's too), or null.
zdisk *find_zdisk(dev_t dev);

// At boot the machine has no disks; at halt each is removed, or kept (and reported)
// while tasks still run.
void machine_disks_boot();
void machine_disks_halt(std::vector<std::string> *problems);

} // namespace kern
