/*
 * session_start.cpp - a session's life: creation from a start request, start (flush,
 * freeze, hook, register, thaw, publish the snapshot device) and stop.
 */
#include <cstdio>
#include <cstring>

#include "backupdriver/clone.h"
#include "backupdriver/cow.h"
#include "backupdriver/kfc.h"
#include "backupdriver/mrf.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "kernel/core/time.h"
#include "kernel/block/super.h"

namespace kern {

/* ---------------------------------------------------------------- creation */

cow_session *alloc_cow_session(void)
{
	auto *cs = static_cast<cow_session *>(kmalloc(sizeof(cow_session), GFP_KERNEL));
	if (cs)
		std::memset(static_cast<void *>(cs), 0, sizeof(*cs));
	return cs;
}

void lock_bdev(struct block_device *bdev) { down(&bdev->bd_mount_sem); }
void unlock_bdev(struct block_device *bdev) { up(&bdev->bd_mount_sem); }

int new_io_threads(io_thread **threads)
{
	for (int x = 0; x < MAX_IO_THREADS; x++) {
		auto *t = static_cast<io_thread *>(kmalloc(sizeof(io_thread), GFP_KERNEL));
		if (!t) {
			printk(KERN_ERR "%s: ERROR: Failed to alloc %dth iothread\n", ZEP_NAME, x);
			free_io_threads(threads);
			return 0;
		}
		std::memset(static_cast<void *>(t), 0, sizeof(*t));
		INIT_LIST_HEAD(&t->io_list);
		init_waitqueue_head(&t->io_wait);
		atomic_set(&t->started, 0);
		atomic_set(&t->pending_io, 0);
		atomic_set(&t->pending_anon_io, 0);
		t->thread_pos = 0;
		threads[x] = t;
	}
	return 1;
}

template <typename T> static T *zalloc_record(void)
{
	auto *p = static_cast<T *>(kmalloc(sizeof(T), GFP_KERNEL));
	if (p)
		std::memset(static_cast<void *>(p), 0, sizeof(T));
	return p;
}

/* "<name>.cow_zep<id>", cut to the field with a NUL at its end whatever the name's size. */
static void name_backing_file(char *dst, size_t size, const char *name, size_t name_size, int id)
{
	char suffix[32];
	int n = std::snprintf(suffix, sizeof(suffix), ".cow_zep%d", id);
	size_t len = strnlen(name, name_size);
	if (len + static_cast<size_t>(n) + 1 > size)
		len = size - static_cast<size_t>(n) - 1;
	std::memcpy(dst, name, len);
	std::memcpy(dst + len, suffix, static_cast<size_t>(n) + 1);
}

cow_session *new_cow_session(snap_shot_request *ssr)
{
	int repica_id = next_replica();
	dev_t dev = (static_cast<dev_t>(ssr->major) << 20) | static_cast<dev_t>(ssr->minor);
	int major = ssr->major, minor = ssr->minor;
	cow_session *cs = nullptr;
	struct gendisk *disk;
	request_queue_t *q;
	ct_session *cts = nullptr;

	struct block_device *bdev = bdget(dev);
	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: could not get block device info for (%d,%d).\n", ZEP_NAME,
		       major, minor);
		printk(KERN_ERR "%s: ERROR: please check that the device (%d,%d) is mounted!\n",
		       ZEP_NAME, major, minor);
		return nullptr;
	}
	lock_bdev(bdev);
	super_block *sb = get_super(bdev);
	if (!sb) {
		unlock_bdev(bdev);
		printk(KERN_ERR "%s: ERROR: please check that the device (%d,%d) is mounted!\n",
		       ZEP_NAME, major, minor);
		goto fail;
	}
	drop_super(sb);
	unlock_bdev(bdev);

	cs = alloc_cow_session();
	if (!cs) {
		printk(KERN_ERR "%s: ERROR: could not allocate new cow session for (%d,%d).\n",
		       ZEP_NAME, major, minor);
		goto fail;
	}
	cs->thread_info = zalloc_record<io_thread_info>();
	if (!cs->thread_info) {
		printk(KERN_ERR "%s: ERROR: cound not allocate thread info storage for (%d,%d).\n",
		       ZEP_NAME, major, minor);
		goto fail;
	}
	cs->snap_info = zalloc_record<snap_info>();
	if (!cs->snap_info) {
		printk(KERN_ERR "%s: ERROR: could not allocate snap info storage for (%d,%d).\n",
		       ZEP_NAME, major, minor);
		goto fail;
	}
	cs->other_info = zalloc_record<other_info>();
	if (!cs->other_info) {
		printk(KERN_ERR "%s: ERROR: could not allocate other info storage for (%d,%d).\n",
		       ZEP_NAME, major, minor);
		goto fail;
	}
	cs->spc = zalloc_record<simple_page_cache>();
	if (!cs->spc) {
		printk(KERN_ERR "%s: ERROR: could not allocate simple page cache for (%d,%d).\n",
		       ZEP_NAME, major, minor);
		goto fail;
	}
	INIT_LIST_HEAD(&cs->spc->list);
	spin_lock_init(&cs->spc->lock);

	disk = bdev->bd_disk;
	if (bdev->bd_part) {
		cs->part.start_sect = bdev->bd_part->start_sect;
		cs->part.nr_sects = bdev->bd_part->nr_sects;
		cs->part.partno = bdev->bd_part->partno;
	} else if (!disk) {
		printk(KERN_ERR "%s: ERROR: could not get disk capacity from the disk for (%d,%d).\n",
		       ZEP_NAME, major, minor);
		printk(KERN_ERR "%s: ERROR: please check that the device (%d,%d) is mounted!\n",
		       ZEP_NAME, major, minor);
		goto fail;
	} else {
		cs->part.start_sect = 0;
		cs->part.nr_sects = get_capacity(disk);
	}
	cs->dev = dev;
	cs->major = disk->major;
	cs->first_minor = disk->first_minor;
	q = disk->queue;
	cs->hw_sector_size = q && q->hardsect_size ? q->hardsect_size : 512;

	copy_text(cs->other_info->device_name, sizeof(cs->other_info->device_name), ssr->device_name,
		  sizeof(ssr->device_name), false);
	name_backing_file(cs->other_info->backing_file, sizeof(cs->other_info->backing_file),
			  ssr->backing_file, sizeof(ssr->backing_file), repica_id);
	copy_text(cs->other_info->device_path, sizeof(cs->other_info->device_path), ssr->device_path,
		  sizeof(ssr->device_path), false);
	copy_text(cs->other_info->backing_device, sizeof(cs->other_info->backing_device),
		  ssr->backing_dev, sizeof(ssr->backing_dev), false);

	if (COW_CHUNK_SIZE % cs->hw_sector_size) {
		printk(KERN_ERR "%s: ERROR: chunk size is not a multiple of device block size.\n",
		       ZEP_NAME);
		goto fail;
	}
	cs->chunk_size = COW_CHUNK_SIZE;
	cs->chunk_mask = COW_CHUNK_SIZE - 1;
	cs->chunk_shift = static_cast<u64>(__builtin_ctzll(COW_CHUNK_SIZE));
	cs->sector_shift = 9;

	if (init_chunk_table(&cs->chunk_table, down_to_power_of_2(COW_TABLE_BUCKETS))) {
		printk(KERN_ERR "%s: ERROR: could not create chunk table for (%d,%d).\n", ZEP_NAME,
		       major, minor);
		goto fail;
	}
	if (init_chunk_table(&cs->if_table, down_to_power_of_2(COW_TABLE_BUCKETS))) {
		printk(KERN_ERR "%s: ERROR: could not create in flight table for (%d,%d).\n", ZEP_NAME,
		       major, minor);
		goto fail;
	}
	spin_lock_init(&cs->chunk_lock);
	spin_lock_init(&cs->if_lock);
	spin_lock_init(&cs->pos_lock);
	cs->pos = 0;

	if (!new_io_threads(cs->thread_info->io_threads)) {
		printk(KERN_ERR "%s: ERROR: could not allocate io thread info for (%d,%d).\n", ZEP_NAME,
		       major, minor);
		goto fail;
	}
	atomic_set(&cs->thread_info->io_threads_started, 0);
	atomic_set(&cs->thread_info->io_threads_stop, 0);
	spin_lock_init(&cs->thread_info->io_threads_lock);
	init_completion(&cs->thread_info->io_thread_done);

	cs->bfree = ssr->bfree;
	atomic_set(&cs->sd, 0);
	spin_lock_init(&cs->users_lock);
	atomic_set(&cs->fc_count, 0);
	cs->cs_users = 0;
	atomic_set(&cs->error, 0);
	std::memset(cs->errorMsg, 0, sizeof(cs->errorMsg));

	cs->mode = ssr->mode;
	if (cs->mode & ZEP_MODE_CHANGE_TRACKING) {
		down(&session_list_lock);
		cts = get_cts_session_cs(cs);
		up(&session_list_lock);
		if (!cts) {
			cts = alloc_cts_session();
			if (!cts) {
				printk(KERN_ERR "%s: ERROR: could not create new change tracking session "
						"for device:(%d,%d).\n",
				       ZEP_NAME, major, minor);
				goto fail;
			}
			populate_cts_cs(cs, cts);
		}
	}
	cs->cts = cts;
	cs->block_tree = cs->page_tree = cs->write_locks = cs->write_locked = RB_ROOT;
	spin_lock_init(&cs->write_list_lock);
	cs->set_mrf = 0;
	INIT_LIST_HEAD(&cs->list);
	bdput(bdev);
	return cs;

fail:
	bdput(bdev);
	put_cow_session(cs);
	return nullptr;
}

/* ---------------------------------------------------------------- start and stop */

void calcTimeDiff(const timespec *start, const timespec *end, timespec *out)
{
	std::memset(out, 0, sizeof(*out));
	out->tv_sec = end->tv_sec - start->tv_sec;
	out->tv_nsec = end->tv_nsec - start->tv_nsec;
	if (out->tv_nsec < 0) {
		out->tv_nsec += 1000000000L;
		out->tv_sec -= 1;
	}
}

void register_cow_session(cow_session *cs)
{
	down(&session_list_lock);
	list_add_tail(&cs->list, &session_list_head);
	if (cs->cts) {
		cts_clear_error(cs->cts);
		start_cts(cs->cts);
	}
	up(&session_list_lock);
}

static void unlink_session(cow_session *cs)
{
	down(&session_list_lock);
	list_del_init(&cs->list);
	up(&session_list_lock);
}

int start_cow_session(cow_session *cs)
{
	int major = static_cast<int>(cs->dev >> 20), minor = static_cast<int>(cs->dev & 0xfffff);
	timespec freezeTime, afterFreezeTime, thawTime, diff;
	int ret = 1;
	struct block_device *bdev = bdget(cs->dev);
	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: could not get block device for device (%d,%d).\n", ZEP_NAME,
		       major, minor);
		return 1;
	}
	for (int i = 0; i < 3; i++)
		fsync_bdev(bdev);
	freezeTime = current_kernel_time();
	super_block *sb = freeze_bdev(bdev);
	if (!sb) {
		thaw_bdev(bdev, nullptr);
		printk(KERN_ERR "%s: ERROR: could not freeze block device (%d,%d).\n", ZEP_NAME, major,
		       minor);
		goto out;
	}
	afterFreezeTime = current_kernel_time();
	cs->snap_info->snap_time = static_cast<u32>(afterFreezeTime.tv_sec);

	/* A started change-tracking record already holds the hook for this disk. */
	if (!(cs->cts && atomic_read(&cs->cts->started))) {
		if (set_mrf(bdev, cow_request, savedMRFS)) {
			printk(KERN_ERR "%s: ERROR: could not set MRF for new session on device (%d,%d)\n",
			       ZEP_NAME, major, minor);
			thaw_bdev(bdev, sb);
			goto out;
		}
		cs->set_mrf = 1;
	}
#ifdef ZEP_PLANT_THAW
	thaw_bdev(bdev, sb);	/* planted: a write in between passes unpreserved */
	register_cow_session(cs);
#else
	register_cow_session(cs);
	thaw_bdev(bdev, sb);
#endif
	thawTime = current_kernel_time();

	if (!(cs->mode & USER_SPACE_FILE)) {
		printk(KERN_ERR "%s: ERROR: Error: USER_SPACE_FILE was not set!\n", ZEP_NAME);
		unlink_session(cs);
		goto out;
	}
	cs->clone_id = blkdev_clone(cs->dev, cs, virt_request);
	if (cs->clone_id < 1) {
		unlink_session(cs);
		printk(KERN_ERR "%s: ERROR: could not set up clone device for device (%d,%d)\n", ZEP_NAME,
		       major, minor);
		goto out;
	}
	calcTimeDiff(&freezeTime, &afterFreezeTime, &diff);
	cs->snap_info->sec_get_freez = static_cast<u32>(diff.tv_sec);
	cs->snap_info->nsec_get_freez = static_cast<u32>(diff.tv_nsec);
	calcTimeDiff(&freezeTime, &thawTime, &diff);
	cs->snap_info->sec_froze = static_cast<u32>(diff.tv_sec);
	cs->snap_info->nsec_froze = static_cast<u32>(diff.tv_nsec);
	session_count++;
	ret = 0;
out:
	bdput(bdev);
	return ret;
}

int stop_cow_session(cow_session *cs)
{
	int major = static_cast<int>(cs->dev >> 20), minor = static_cast<int>(cs->dev & 0xfffff);
	int ret = 0;
	struct block_device *bdev = nullptr;
	/* Raised under the lock the registry's walkers count their references under: a walker
	 * either sees the shutdown and passes the session by, or its reference is waited for
	 * below. */
	down(&session_list_lock);
	atomic_inc(&cs->sd);
	up(&session_list_lock);
	blkdev_unclone(cs->clone_id);
	if (!(cs->cts && atomic_read(&cs->cts->started)) && cs->set_mrf == 1) {
		bdev = bdget(cs->dev);
		if (!bdev) {
			printk(KERN_ERR "%s: ERROR: could not get block device object for device "
					"(%d,%d)\n",
			       ZEP_NAME, major, minor);
			ret = 1;
		} else {
			if (unset_mrf(bdev, savedMRFS)) {
				printk(KERN_ERR "%s: ERROR: could not set MRF to original MRF for device "
						"(%d,%d)\n",
				       ZEP_NAME, major, minor);
				ret = 1;
			}
			fsync_bdev(bdev);
		}
		/* The hook is this session's no longer, whatever came of giving it back. */
		cs->set_mrf = 0;
	}
	io_thread_info *info = cs->thread_info;
	atomic_inc(&info->io_threads_stop);
	for (io_thread *iot : info->io_threads)
		if (iot && atomic_read(&iot->started) > 0)
			wake_up(&iot->io_wait);
	wait_for_no_users(cs);
	/* Work queued for threads that never came (or have gone) would hold its pages. */
	runIOCleanup(cs);
	/* Taken under the lock set-backing-file binds under: after this, it sees the
	 * shutdown and leaves the session alone. */
	down(&session_list_lock);
	struct file *cow_file = cs->cow_file;
	cs->cow_file = nullptr;
	up(&session_list_lock);
	kernel_close_file(cow_file);
	if (cs->clone_id >= 1)
		session_count--;
	/* Counted once: a second stop of the same record changes nothing here. */
	cs->clone_id = 0;
	if (bdev) {
		fsync_bdev(bdev);
		bdput(bdev);
	}
	return ret;
}

} // namespace kern
