/*
 * mrf.cpp - taking and dropping holds on a disk's request hook.
 */
#include "backupdriver/mrf.h"

#include <cstring>

#include "backupdriver/cow.h"
#include "kernel/mm/mm.h"
#include "kernel/core/printk.h"

namespace kern {

saved_mrf *savedMRFS[MRF_TABLE_SIZE][MRF_TABLE_SIZE];

static bool in_table(const struct gendisk *disk)
{
	return disk->major >= 0 && disk->major < MRF_TABLE_SIZE && disk->first_minor >= 0 &&
	       disk->first_minor < MRF_TABLE_SIZE;
}

static struct block_device *whole_disk(struct block_device *bdev)
{
	if (bdev->bd_contains && bdev->bd_contains != bdev)
		return bdev->bd_contains;
	return bdev;
}

/* Swaps the queue's make-request function under the queue's lock; the exchange itself is
 * atomic, since requests read the function without that lock. */
static void exchange_mrf(request_queue_t *q, make_request_fn *fn, make_request_fn **old)
{
	unsigned long flags = 0;
	if (q->queue_lock)
		spin_lock_irqsave(q->queue_lock, flags);
	make_request_fn *was = xchg_make_request_fn(q, fn);
	if (old)
		*old = was;
	if (q->queue_lock)
		spin_unlock_irqrestore(q->queue_lock, flags);
}

int set_mrf(struct block_device *bdev, make_request_fn *fn, saved_mrf *table[255][255])
{
	if (!bdev)
		return 1;
	bdev = whole_disk(bdev);
	struct gendisk *disk = bdev->bd_disk;
	if (!disk || !disk->queue || !table)
		return 1;
	/* Disks beyond the table have no record: refuse the hook. */
	if (!in_table(disk))
		return 1;
	saved_mrf *sm = table[disk->major][disk->first_minor];
	if (!sm) {
		sm = static_cast<saved_mrf *>(kmalloc(sizeof(saved_mrf), GFP_NOIO));
		if (!sm)
			return 1;
		std::memset(static_cast<void *>(sm), 0, sizeof(*sm));
		table[disk->major][disk->first_minor] = sm;
	}
	if (atomic_read(&sm->count) == 0)
		exchange_mrf(disk->queue, fn, &sm->mrf);
	atomic_inc(&sm->count);
	return 0;
}

int unset_mrf(struct block_device *bdev, saved_mrf *table[255][255])
{
	if (!bdev)
		return 1;
	bdev = whole_disk(bdev);
	struct gendisk *disk = bdev->bd_disk;
	if (!disk) {
		printk(KERN_INFO "%s: INFO: (warning) bd_disk is offline.\n", ZEP_NAME);
		return 1;
	}
	if (!table || !disk->queue)
		return 1;
	saved_mrf *sm = in_table(disk) ? table[disk->major][disk->first_minor] : nullptr;
	if (!sm || !sm->mrf) {
		/* Without a saved original the queue keeps the function it has now: it must
		 * never be left without one. */
		printk(KERN_ERR "%s: ERROR: could not find orignal MRF, setting MRF to default.\n",
		       ZEP_NAME);
		return 1;
	}
	if (atomic_dec_and_test(&sm->count))
		exchange_mrf(disk->queue, sm->mrf, nullptr);
	return 0;
}

make_request_fn *get_mrf(struct block_device *bdev, saved_mrf *table[255][255])
{
	if (!table)
		return nullptr;
	struct gendisk *disk = bdev->bd_disk;
	if (!disk) {
		printk(KERN_ERR "%s: ERROR: (getmrf) bd_disk is offline or disk config has "
				"changed!.\n",
		       ZEP_NAME);
		return nullptr;
	}
	if (!in_table(disk))
		return nullptr;
	saved_mrf *sm = table[disk->major][disk->first_minor];
	return sm ? sm->mrf : nullptr;
}

void inc_mrf_count(int major, int first_minor, saved_mrf *table[255][255])
{
	if (major < 0 || major >= MRF_TABLE_SIZE || first_minor < 0 || first_minor >= MRF_TABLE_SIZE)
		return;
	if (table[major][first_minor])
		atomic_inc(&table[major][first_minor]->count);
}

void dec_mrf_count(int major, int first_minor, saved_mrf *table[255][255])
{
	if (major < 0 || major >= MRF_TABLE_SIZE || first_minor < 0 || first_minor >= MRF_TABLE_SIZE)
		return;
	if (table[major][first_minor])
		atomic_dec(&table[major][first_minor]->count);
}

struct block_device *get_block_device(dev_t dev)
{
	struct block_device *bdev = bdget(dev);
	if (!bdev)
		return nullptr;
	struct block_device *whole = whole_disk(bdev);
	if (whole != bdev) {
		/* Keep a reference on the device handed out, not on the partition. */
		struct block_device *w = bdget(whole->bd_dev);
		bdput(bdev);
		return w;
	}
	return bdev;
}

void free_mrf_table(saved_mrf *table[255][255])
{
	for (int i = 0; i < MRF_TABLE_SIZE; i++)
		for (int j = 0; j < MRF_TABLE_SIZE; j++) {
			kfree(table[i][j]);
			table[i][j] = nullptr;
		}
}

} // namespace kern
