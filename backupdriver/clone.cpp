/*
 * clone.cpp - replica block devices: one snapshot device per started session, published
 * under block major 121 ("clone") while any exists.
 */
#include "backupdriver/clone.h"

#include <cstdio>
#include <cstring>

#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"

namespace kern {

/* Slot i holds replica i; the request path reads it without a lock. */
static blkdev_replica *replicas[MAX_REPLICAS];
atomic_t clone_count;
rw_semaphore rw_mutex;	/* initialised at load */

/* Every request on a snapshot device carries at most one page in one segment. */
static constexpr unsigned short REPLICA_MAX_SECTORS = 8;
static constexpr unsigned int REPLICA_SEGMENT = 4096;

const block_device_operations clone_bd_op = {
	.open = clone_open_inode,
	.release = clone_close_inode,
	.ioctl = clone_ioctl,
	.media_changed = nullptr,
	.revalidate_disk = nullptr,
	.owner = ZEP_THIS_MODULE,
};

static blkdev_replica *slot(int id)
{
	return __atomic_load_n(&replicas[id], __ATOMIC_ACQUIRE);
}

static void set_slot(int id, blkdev_replica *r) { __atomic_store_n(&replicas[id], r, __ATOMIC_RELEASE); }

int clone_init(void)
{
	for (int i = 0; i < MAX_REPLICAS; i++)
		set_slot(i, nullptr);
	return register_blkdev(ZEP_CLONE_MAJOR, "clone") < 0 ? 1 : 0;
}

void clone_exit(void)
{
	if (atomic_read(&clone_count) == 0)
		unregister_blkdev(ZEP_CLONE_MAJOR, "clone");
}

int next_replica(void)
{
	for (int i = 1; i < MAX_REPLICAS; i++)
		if (!slot(i))
			return i;
	return MAX_REPLICAS;
}

blkdev_replica *get_blkdev_replica(int clone_id)
{
	if (clone_id < 0 || clone_id >= MAX_REPLICAS)
		return nullptr;
	return slot(clone_id);
}

int new_replica(dev_t dev, request_queue_t *q, cow_session *cs)
{
	int id = next_replica();
	if (id >= MAX_REPLICAS)
		return -ENOMEM;
	auto *r = static_cast<blkdev_replica *>(kmalloc(sizeof(blkdev_replica), GFP_KERNEL));
	if (!r)
		return -ENOMEM;
	std::memset(static_cast<void *>(r), 0, sizeof(*r));
	r->bdev = bdget(dev);
	if (r->bdev)
		r->disk = alloc_disk(1);
	if (r->disk)
		r->q = blk_alloc_queue(GFP_KERNEL);
	if (!r->q) {
		if (r->disk)
			put_disk(r->disk);
		if (r->bdev)
			bdput(r->bdev);
		kfree(r);
		return -ENOMEM;
	}
	r->q->queuedata = r;
	r->q->unplug_fn = clone_unplug;
	r->dev = dev;
	r->cs = cs;
	r->nr_sects = cs->part.nr_sects;
	r->disk->private_data = r;
	atomic_set(&r->users, 0);
	atomic_set(&r->users_cdp, 0);
	atomic_set(&r->sd, 0);
	atomic_inc(&clone_count);
	set_slot(id, r);
	return id;
}

int init_replica(int clone_id, make_request_fn *mrf)
{
	blkdev_replica *r = get_blkdev_replica(clone_id);
	if (!r)
		return 1;
	request_queue_t *q = r->q;
	blk_queue_make_request(q, mrf);
	blk_queue_bounce_limit(q, BLK_BOUNCE_ANY);
	blk_queue_max_sectors(q, REPLICA_MAX_SECTORS);
	blk_queue_max_phys_segments(q, 1);
	blk_queue_max_hw_segments(q, 1);
	blk_queue_hardsect_size(q, 512);
	blk_queue_max_segment_size(q, REPLICA_SEGMENT);
	blk_queue_segment_boundary(q, REPLICA_SEGMENT - 1);
	struct gendisk *disk = r->disk;
	disk->major = ZEP_CLONE_MAJOR;
	disk->first_minor = clone_id;
	disk->minors = 1;
	disk->fops = &clone_bd_op;
	disk->queue = q;
	set_capacity(disk, r->nr_sects);
	std::snprintf(disk->disk_name, sizeof(disk->disk_name), "%s%d", ZEP_NAME, clone_id);
	/* A disk that cannot be published is no snapshot device. */
	return add_disk(disk) ? 1 : 0;
}

void destroy_replica(int clone_id)
{
	blkdev_replica *r = get_blkdev_replica(clone_id);
	if (!r)
		return;
	/* Files still open on the device keep its disk and queue beyond the record: they
	 * must not lead to it. */
	if (r->disk)
		r->disk->private_data = nullptr;
	if (r->q)
		r->q->queuedata = nullptr;
	if (r->disk) {
		del_gendisk(r->disk);
		if (r->q)
			blk_cleanup_queue(r->q);
		put_disk(r->disk);
	} else if (r->q) {
		blk_cleanup_queue(r->q);
	}
	if (r->bdev)
		bdput(r->bdev);
	set_slot(clone_id, nullptr);
	kfree(r);
	atomic_dec(&clone_count);
	clone_exit();
}

int blkdev_clone(dev_t dev, cow_session *cs, make_request_fn *mrf)
{
	int ret = -1, id;
	unsigned major = dev >> 20, minor = dev & 0xfffff;
	struct block_device *bdev = nullptr;
	down_write(&rw_mutex);
	if (atomic_read(&clone_count) == 0 && clone_init()) {
		printk(KERN_ERR "%s: ERROR: could not init clone devices driver.\n", ZEP_NAME);
		goto out;
	}
	bdev = bdget(dev);
	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: could not get block device for (%d,%d).\n", ZEP_NAME, major,
		       minor);
		goto out;
	}
	if (!bdev->bd_disk) {
		printk(KERN_ERR "%s: ERROR: disk was NULL, device (%d,%d) not mounted.\n", ZEP_NAME,
		       major, minor);
		goto out;
	}
	if (!bdev->bd_disk->queue) {
		printk(KERN_ERR "%s: ERROR: could not get q for (%d,%d).\n", ZEP_NAME, major, minor);
		goto out;
	}
	id = new_replica(dev, bdev->bd_disk->queue, cs);
	if (id <= 0) {
		printk(KERN_ERR "%s: ERROR: could not create new replica for device (%d,%d).\n",
		       ZEP_NAME, major, minor);
		ret = id;
		goto out;
	}
	if (init_replica(id, mrf)) {
		destroy_replica(id);
		goto out;
	}
	ret = id;
out:
	if (bdev)
		bdput(bdev);
	/* A failed first creation must not leave the major registered for nothing. */
	if (ret <= 0)
		clone_exit();
	up_write(&rw_mutex);
	return ret;
}

int blkdev_unclone(int clone_id)
{
	down_write(&rw_mutex);
	if (clone_id > 0)
		destroy_replica(clone_id);
	up_write(&rw_mutex);
	return 0;
}

int qz_open_blkdev(blkdev_replica *clone)
{
	if (!clone) {
		printk(KERN_ERR "%s: ERROR: Open request on unknown clone device!\n", ZEP_NAME);
		return -1;
	}
	if (atomic_read(&clone->sd) > 0) {
		printk(KERN_INFO "%s: INFO: Denying open on zep device %d because it is being "
				 "shutdown.\n",
		       ZEP_NAME, clone->disk->first_minor);
		return -1;
	}
	atomic_inc(is_cdp_process() ? &clone->users_cdp : &clone->users);
	return 0;
}

int qz_close_blkdev(blkdev_replica *clone)
{
	if (!clone) {
		printk(KERN_ERR "%s: ERROR: Closing unknown zep device!\n", ZEP_NAME);
		return -1;
	}
	atomic_dec(is_cdp_process() ? &clone->users_cdp : &clone->users);
	return 0;
}

/* The replica a snapshot device's disk belongs to, or null. A file can outlive its
 * replica, and an open can find the device just before the replica goes; another replica
 * may since have taken the id, and even the freed record's memory. Only the replica in
 * the slot of the disk's minor that still owns this very disk is the device's. Called
 * with rw_mutex held, so that the replica cannot go while it is counted. */
static blkdev_replica *replica_of_disk(struct gendisk *disk)
{
	blkdev_replica *r = get_blkdev_replica(disk->first_minor);
	return r && r->disk == disk ? r : nullptr;
}

int clone_open_inode(inode *ino, file *filp)
{
	if (!ino) {
		printk(KERN_ERR "%s: ERROR: Open without inode!\n", ZEP_NAME);
		return -1;
	}
	struct block_device *bdev = I_BDEV(ino);
	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: Open without blkdev!\n", ZEP_NAME);
		return -1;
	}
	down_read(&rw_mutex);
	int ret = qz_open_blkdev(bdev->bd_disk ? replica_of_disk(bdev->bd_disk) : nullptr);
	up_read(&rw_mutex);
	return ret;
}

int clone_close_inode(inode *ino, file *filp)
{
	if (!ino) {
		printk(KERN_ERR "%s: ERROR: Close without inode!\n", ZEP_NAME);
		return -1;
	}
	struct block_device *bdev = I_BDEV(ino);
	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: Close without block device!\n", ZEP_NAME);
		return -1;
	}
	if (!bdev->bd_disk) {
		printk(KERN_ERR "%s: ERROR: Close without disk!\n", ZEP_NAME);
		return -1;
	}
	down_read(&rw_mutex);
	int ret = qz_close_blkdev(replica_of_disk(bdev->bd_disk));
	up_read(&rw_mutex);
	return ret;
}

int clone_ioctl(inode *ino, file *filp, unsigned int cmd, unsigned long arg) { return 0; }

int blkdev_shutdown(int clone_id)
{
	blkdev_replica *r = clone_id < 0 ? nullptr : get_blkdev_replica(clone_id);
	if (!r)
		return 0;
	int sd = atomic_inc_return(&r->sd);
	int users = atomic_read(&r->users);
	printk(KERN_INFO "%s: INFO: Shutdown request %d on zep device %d with %d users and %d cdp "
			 "users.\n",
	       ZEP_NAME, sd, clone_id, users, atomic_read(&r->users_cdp));
	return users;
}

void clone_unplug(request_queue_t *q)
{
	auto *r = static_cast<blkdev_replica *>(q->queuedata);
	request_queue_t *live = r && r->bdev && r->bdev->bd_disk ? r->bdev->bd_disk->queue : nullptr;
	if (r && live && live->queue_lock && live->request_fn)
		generic_unplug_device(live);
}

} // namespace kern
