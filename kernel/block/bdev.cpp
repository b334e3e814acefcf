// The block-device cache: one block_device per device number in use, found by bdget
// without an open, with its disk, whole disk and partition filled in.
#include <cstdio>

#include "kernel/block/internal.h"

namespace kern {

block_device *find_bdev_locked(dev_t dev)
{
	block_device *b;
	list_for_each_entry(b, &blk().bdevs, bd_hash)
	{
		if (b->bd_dev == dev && b->bd_hashed)
			return b;
	}
	return nullptr;
}

namespace {

unsigned pick_block_size(sector_t sectors, unsigned hardsect)
{
	unsigned bs = static_cast<unsigned>(PAGE_SIZE);
	u64 bytes = sectors << 9;
	while (bs > hardsect && bs > 512 && (bytes & (bs - 1)))
		bs >>= 1;
	return bs < hardsect ? hardsect : bs;
}

// Fills a fresh record for dev of disk; called with the lock held.
void bdev_setup_locked(block_device *b, dev_t dev, gendisk *disk, int partno, block_device *whole)
{
	b->bd_dev = dev;
	b->bd_disk = disk;
	atomic_inc(&disk->refcnt);
	b->bd_part = partno ? disk->part[partno - 1] : nullptr;
	b->bd_contains = partno ? whole : b;
	b->bd_inode = &b->bd_inode_store;
	b->bd_inode_store.i_mode = S_IFBLK;
	b->bd_inode_store.i_rdev = dev;
	b->bd_inode_store.i_bdev = b;
	atomic_set(&b->bd_inode_store.i_count, 1);
	sector_t size = partno ? b->bd_part->nr_sects : get_capacity(disk);
	b->bd_inode_store.i_size = static_cast<loff_t>(size << 9);
	unsigned hs = disk->queue ? disk->queue->hardsect_size : 512;
	b->bd_block_size = pick_block_size(size, hs);
	atomic_set(&b->bd_count, 1);
	b->bd_hashed = true;
	list_add(&b->bd_hash, &blk().bdevs);
}

block_device *bdev_alloc(kern::source_location loc)
{
	auto *b = kernel_new<block_device>(GFP_KERNEL, loc);
	if (!b)
		return nullptr;
	sema_init(&b->bd_sem, 1);
	sema_init(&b->bd_mount_sem, 1);
	INIT_LIST_HEAD(&b->bd_hash);
	return b;
}

void bdev_free(block_device *b)
{
	b->~block_device();
	kfree(b);
}

} // namespace

block_device *bdget(dev_t dev)
{
	block_device *fresh[2] = {nullptr, nullptr};
	for (;;) {
		bool need_more = false;
		{
			blk_guard g;
			gendisk *disk = find_disk_locked(dev);
			if (!disk)
				break;
			int partno = static_cast<int>(MINOR(dev)) - disk->first_minor;
			if (partno && !disk->part[partno - 1])
				break;
			block_device *b = find_bdev_locked(dev);
			if (b && b->bd_disk == disk) {
				atomic_inc(&b->bd_count);
				for (auto *f : fresh)
					if (f)
						bdev_free(f);
				return b;
			}
			int want = partno ? 2 : 1;
			for (int i = 0; i < want; i++)
				need_more = need_more || !fresh[i];
			if (!need_more) {
				block_device *whole = nullptr;
				int used = 0;
				if (partno) {
					whole = find_bdev_locked(disk_devt(disk));
					if (whole && whole->bd_disk == disk) {
						atomic_inc(&whole->bd_count);
					} else {
						whole = fresh[used++];
						bdev_setup_locked(whole, disk_devt(disk), disk, 0, nullptr);
					}
				}
				b = fresh[used++];
				bdev_setup_locked(b, dev, disk, partno, whole);
				for (int i = used; i < 2; i++)
					if (fresh[i])
						bdev_free(fresh[i]);
				return b;
			}
		}
		// Allocate outside the lock (it may sleep), then look again.
		for (auto &f : fresh) {
			if (!f && !(f = bdev_alloc(kern::source_location::current()))) {
				for (auto *x : fresh)
					if (x)
						bdev_free(x);
				return nullptr;
			}
		}
	}
	for (auto *f : fresh)
		if (f)
			bdev_free(f);
	return nullptr;
}

void bdput(block_device *bdev)
{
	if (!bdev)
		return;
	{
		blk_guard g;
		if (!atomic_dec_and_test(&bdev->bd_count))
			return;
		list_del(&bdev->bd_hash);
	}
	block_device *whole = bdev->bd_contains != bdev ? bdev->bd_contains : nullptr;
	put_disk(bdev->bd_disk);
	bdev_free(bdev);
	if (whole)
		bdput(whole);
}

request_queue_t *bdev_get_queue(block_device *bdev)
{
	gendisk *d = bdev->bd_disk;
	if (!d || (disk_flags(d) & GENHD_FL_GONE))
		return nullptr;
	return d->queue;
}

int bdev_hardsect_size(block_device *bdev)
{
	gendisk *d = bdev->bd_disk;
	return d && d->queue && d->queue->hardsect_size ? d->queue->hardsect_size : 512;
}

sector_t bdev_nr_sectors(block_device *bdev)
{
	if (bdev->bd_part)
		return bdev->bd_part->nr_sects;
	return bdev->bd_disk ? get_capacity(bdev->bd_disk) : 0;
}

const char *bdevname(block_device *bdev, char *buf)
{
	gendisk *d = bdev ? bdev->bd_disk : nullptr;
	if (!d)
		std::snprintf(buf, BDEVNAME_SIZE, "unknown-block(%u,%u)", MAJOR(bdev ? bdev->bd_dev : 0),
			      MINOR(bdev ? bdev->bd_dev : 0));
	else if (bdev->bd_part)
		std::snprintf(buf, BDEVNAME_SIZE, "%s", disk_partition_name(d, bdev->bd_part->partno).c_str());
	else
		std::snprintf(buf, BDEVNAME_SIZE, "%s", d->disk_name);
	return buf;
}

int blkdev_issue_flush(block_device *bdev, sector_t *error_sector)
{
	request_queue_t *q = bdev_get_queue(bdev);
	if (!q)
		return -ENXIO;
	if (!q->issue_flush_fn)
		return -EOPNOTSUPP;
	return q->issue_flush_fn(q, bdev->bd_disk, error_sector);
}

} // namespace kern
