// What the block layer's files share: the disk list, the block-device cache and the
// majors, under one short host lock.
#pragma once

#include <array>
#include <new>
#include <string>

#include "kernel/block/blkdev.h"
#include "kernel/host/hostops.h"
#include "kernel/mm/mm.h"

namespace kern {

constexpr unsigned MAX_BLKDEV_MAJOR = 4095;	// 12-bit majors
constexpr unsigned MAX_DYNAMIC_MAJOR = 254;

// One short host lock guards the disk list, the block-device cache and the majors.
// Nothing that sleeps runs under it.
struct blk_state {
	host::host_lock *lock;
	list_head disks = LIST_HEAD_INIT(disks);
	list_head bdevs = LIST_HEAD_INIT(bdevs);
	std::array<std::string, MAX_BLKDEV_MAJOR + 1> majors;
};

blk_state &blk();

struct blk_guard {
	blk_guard() { host::ops().lock_acquire(blk().lock); }
	~blk_guard() { host::ops().lock_release(blk().lock); }
	blk_guard(const blk_guard &) = delete;
};

// A zeroed, constructed T from kzalloc (freed with ~T and kfree).
template <typename T> T *kernel_new(gfp_t gfp, kern::source_location loc)
{
	void *p = kzalloc(sizeof(T), gfp, loc);
	return p ? new (p) T{} : nullptr;
}

inline int disk_flags(const gendisk *d) { return __atomic_load_n(&d->flags, __ATOMIC_ACQUIRE); }

// With the lock held: the registered disk that is up and covers dev, and the cached block
// device of dev still found by lookups.
gendisk *find_disk_locked(dev_t dev);
block_device *find_bdev_locked(dev_t dev);

} // namespace kern
