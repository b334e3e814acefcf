// Super blocks: what mounting a block device gives it, and freezing: a frozen device's
// writes through the mounted file system's path wait until it is thawed.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "kernel/block/blkdev.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/wait.h"

namespace kern {

enum { SB_UNFROZEN = 0, SB_FREEZE_WRITE = 1, SB_FREEZE_TRANS = 2 };

struct super_block {
	list_head s_list;
	dev_t s_dev;
	block_device *s_bdev;
	file *s_bdev_file;	// the mount's open of its device, released by umount
	int s_count;		// references from get_super, under the super-block lock
	std::atomic<int> s_frozen;
	wait_queue_head_t s_wait_unfrozen;
	rw_semaphore s_umount;
	atomic_t s_writers;	// writes in flight through the mounted file system
	wait_queue_head_t s_writers_wait;
};

super_block *get_super(block_device *bdev);	// a reference, or null when not mounted
void drop_super(super_block *sb);
// Flushes the device's file system, waits for its writes in flight, holds new ones
// until thaw_bdev. Returns the super block (null when nothing is mounted).
super_block *freeze_bdev(block_device *bdev);
void thaw_bdev(block_device *bdev, super_block *sb);
int fsync_bdev(block_device *bdev);
// A write through the mounted file system's path: waits while the file system is frozen
// and counts itself in flight until sb_end_write.
void sb_start_write(super_block *sb);
void sb_end_write(super_block *sb);

// The file systems a write through bdev's node reaches, held for the write.
struct bdev_write_hold {
	std::vector<super_block *> sbs;
};
// Before a write through bdev's node to its sectors [sector, sector + nr): finds the file
// systems mounted on those sectors, whichever node of the disk they are mounted through
// (bdev itself, its whole disk, or partitions of the disk bdev is), references them as
// get_super does, waits until none is frozen and counts the write in flight on each (as
// sb_start_write). Writes outside a file system's sectors are not held by its freeze.
// Never holds one file system's freeze back while waiting for another's thaw. Sleeps.
void bdev_start_write(block_device *bdev, sector_t sector, sector_t nr, bdev_write_hold *h);
void bdev_end_write(bdev_write_hold *h);

// Number of fsync_bdev calls on dev since boot.
long fsync_bdev_count(dev_t dev);
// When dev's file system was last frozen (every write drained, new ones held) and thawed
// (the held ones let go), on the clock of current_kernel_time, in nanoseconds; 0 for what
// has not happened. The exact instants a consistency check of a snapshot can hold to.
struct freeze_instants {
	s64 frozen = 0, thawed = 0;
};
freeze_instants last_freeze(dev_t dev);

// Mounts dev (see kern::mount in machine.h) and unmounts it.
int do_mount(dev_t dev);
int do_umount(dev_t dev);

// At halt, every mount is undone and reported, before open files are (a mount holds its
// device open).
void super_halt(std::vector<std::string> *problems);
void super_boot();

} // namespace kern
