// The block layer: request queues and their limits, block devices, and
// generic_make_request, which routes a bio to its disk's queue. Disks, partitions and
// majors are in genhd.h.
#pragma once

#include <string>
#include <vector>

#include "kernel/lib/atomic.h"
#include "kernel/block/bio.h"
#include "kernel/block/genhd.h"
#include "kernel/fs/fs.h"
#include "kernel/lib/list.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/spinlock.h"
#include "kernel/lib/types.h"

namespace kern {

struct super_block;

using make_request_fn = int(request_queue_t *q, bio *b);
// A request-based driver's strategy function: takes the queued requests under queue_lock.
using request_fn_proc = void(request_queue_t *q);
using unplug_fn = void(request_queue_t *q);
// Flushes the device's write cache; *error_sector may name a failed sector.
using issue_flush_fn = int(request_queue_t *q, gendisk *disk, sector_t *error_sector);

// The highest page frame a page of this machine can have: frame numbers come from a
// counter that starts low and never gets near it.
constexpr unsigned long BLK_MAX_PFN = ~0ul >> PAGE_SHIFT;
// Bounce limits, as the highest address a queue's device can reach. A page above its
// queue's limit would be copied to a lower one for IO; nothing does that here, since no
// page lives above the low-memory limit. BLK_BOUNCE_ANY is the address of the highest
// page frame (bounce_pfn BLK_MAX_PFN): any page may be used for IO as it is.
constexpr u64 BLK_BOUNCE_HIGH = 0x38000000ull;	// 896 MiB
constexpr u64 BLK_BOUNCE_ANY = static_cast<u64>(BLK_MAX_PFN) << PAGE_SHIFT;

struct request_queue {
	// Swapped by drivers that hook a disk while bios are submitted: read it with
	// queue_make_request_fn, change it with blk_queue_make_request or
	// xchg_make_request_fn.
	::kern::make_request_fn *make_request_fn;
	// Null for make-request queues (every queue of this kernel): only a request-based
	// driver's queue has one, and only such a queue has requests to unplug.
	::kern::request_fn_proc *request_fn;
	// generic_unplug_device, unless the driver set its own before blk_queue_make_request.
	::kern::unplug_fn *unplug_fn;
	::kern::issue_flush_fn *issue_flush_fn;
	void *queuedata;
	spinlock_t __queue_lock;
	spinlock_t *queue_lock;
	unsigned long queue_flags;

	unsigned short max_sectors;
	unsigned short max_phys_segments;
	unsigned short max_hw_segments;
	unsigned short hardsect_size;
	unsigned int max_segment_size;
	unsigned long seg_boundary_mask;
	unsigned long bounce_pfn;
	gfp_t bounce_gfp;

	atomic_t refcnt;
};

constexpr unsigned short MAX_PHYS_SEGMENTS = 128;
constexpr unsigned short MAX_HW_SEGMENTS = 128;
constexpr unsigned short SAFE_MAX_SECTORS = 255;
constexpr unsigned int MAX_SEGMENT_SIZE = 65536;

request_queue_t *blk_alloc_queue(gfp_t gfp_mask, kern::source_location loc = kern::source_location::current());
// Sets the make-request function (published atomically) and the default limits.
void blk_queue_make_request(request_queue_t *q, make_request_fn *mfn);
// The queue's make-request function as it is now.
inline make_request_fn *queue_make_request_fn(request_queue_t *q)
{
	return __atomic_load_n(&q->make_request_fn, __ATOMIC_ACQUIRE);
}
// Installs fn and returns the function it replaced, in one step, so that a hook saves
// the function that was really in place even when another one changes it meanwhile.
inline make_request_fn *xchg_make_request_fn(request_queue_t *q, make_request_fn *fn)
{
	return __atomic_exchange_n(&q->make_request_fn, fn, __ATOMIC_ACQ_REL);
}
void blk_queue_max_sectors(request_queue_t *q, unsigned short max_sectors);
void blk_queue_max_phys_segments(request_queue_t *q, unsigned short max_segments);
void blk_queue_max_hw_segments(request_queue_t *q, unsigned short max_segments);
void blk_queue_max_segment_size(request_queue_t *q, unsigned int max_size);
void blk_queue_hardsect_size(request_queue_t *q, unsigned short size);
void blk_queue_segment_boundary(request_queue_t *q, unsigned long mask);
void blk_queue_bounce_limit(request_queue_t *q, u64 dma_addr);
void blk_queue_issue_flush_fn(request_queue_t *q, issue_flush_fn *fn);
void blk_get_queue(request_queue_t *q);
// Drops a reference; the last one frees the queue.
void blk_cleanup_queue(request_queue_t *q);
void generic_unplug_device(request_queue_t *q);
void blk_run_queues();

struct block_device {
	dev_t bd_dev;
	int bd_openers;
	semaphore bd_sem;	// open and release
	inode *bd_inode;
	block_device *bd_contains;	// the whole disk; itself for a whole disk
	hd_struct *bd_part;		// the partition; null for a whole disk
	gendisk *bd_disk;
	semaphore bd_mount_sem;		// held by mount, umount and for a whole freeze
	unsigned bd_block_size;
	super_block *bd_super;
	atomic_t bd_count;
	bool bd_hashed;			// still found by bdget
	list_head bd_hash;
	inode bd_inode_store;
};

// A referenced block device for dev, with bd_disk, bd_contains and bd_part filled in;
// null when no disk covers dev. The same pointer for the same dev while referenced.
block_device *bdget(dev_t dev);
void bdput(block_device *bdev);
inline block_device *I_BDEV(inode *i) { return i->i_bdev; }
request_queue_t *bdev_get_queue(block_device *bdev);
int bdev_hardsect_size(block_device *bdev);
// Size of the device (the partition or the whole disk) in sectors.
sector_t bdev_nr_sectors(block_device *bdev);
const char *bdevname(block_device *bdev, char *buf);
constexpr int BDEVNAME_SIZE = 32;
int blkdev_issue_flush(block_device *bdev, sector_t *error_sector);

// Routes b to its device's queue; errors end the bio with -EIO.
void generic_make_request(bio *b);
void submit_bio(int rw, bio *b);

// The bio cache at boot; at halt, disks, block devices and majors still registered become
// problems, and are let go.
void blk_boot();
void blk_halt(std::vector<std::string> *problems);

} // namespace kern
