// Copy-on-write sessions built from the driver's own records the way creation, start and
// stop build and release them (without freezing a file system). Free of any test
// framework: the benchmarks use them too.
#pragma once

#include "backupdriver/cow.h"
#include "backupdriver/mrf.h"
#include "backupdriver/zepdriver.h"
#include "kernel/machine.h"

namespace zeptest {

// A session for dev (a partition or a whole disk) in the created state.
inline kern::cow_session *build_session(kern::dev_t dev, int clone_id, int mode = USER_SPACE_FILE,
					kern::u64 bfree = 0)
{
	using namespace kern;
	block_device *bdev = bdget(dev);
	if (!bdev)
		return nullptr;
	auto *cs = static_cast<cow_session *>(kzalloc(sizeof(cow_session), GFP_KERNEL));
	if (bdev->bd_part) {
		cs->part.start_sect = bdev->bd_part->start_sect;
		cs->part.nr_sects = bdev->bd_part->nr_sects;
		cs->part.partno = bdev->bd_part->partno;
	} else {
		cs->part.nr_sects = get_capacity(bdev->bd_disk);
	}
	cs->dev = dev;
	cs->major = bdev->bd_disk->major;
	cs->first_minor = bdev->bd_disk->first_minor;
	cs->hw_sector_size = 512;
	cs->clone_id = clone_id;
	cs->mode = mode;
	cs->chunk_size = COW_CHUNK_SIZE;
	cs->chunk_mask = COW_CHUNK_SIZE - 1;
	cs->chunk_shift = 16;
	cs->sector_shift = 9;
	init_chunk_table(&cs->chunk_table, COW_TABLE_BUCKETS);
	init_chunk_table(&cs->if_table, COW_TABLE_BUCKETS);
	spin_lock_init(&cs->chunk_lock);
	spin_lock_init(&cs->if_lock);
	spin_lock_init(&cs->pos_lock);
	spin_lock_init(&cs->users_lock);
	spin_lock_init(&cs->write_list_lock);
	auto *info = static_cast<io_thread_info *>(kzalloc(sizeof(io_thread_info), GFP_KERNEL));
	for (auto &t : info->io_threads) {
		t = static_cast<io_thread *>(kzalloc(sizeof(io_thread), GFP_KERNEL));
		INIT_LIST_HEAD(&t->io_list);
		init_waitqueue_head(&t->io_wait);
	}
	spin_lock_init(&info->io_threads_lock);
	init_completion(&info->io_thread_done);
	cs->thread_info = info;
	cs->snap_info = static_cast<snap_info *>(kzalloc(sizeof(snap_info), GFP_KERNEL));
	cs->other_info = static_cast<other_info *>(kzalloc(sizeof(other_info), GFP_KERNEL));
	cs->spc = static_cast<simple_page_cache *>(kzalloc(sizeof(simple_page_cache), GFP_KERNEL));
	INIT_LIST_HEAD(&cs->spc->list);
	spin_lock_init(&cs->spc->lock);
	cs->bfree = bfree;
	cs->block_tree = cs->page_tree = cs->write_locks = cs->write_locked = RB_ROOT;
	if (mode & ZEP_MODE_CHANGE_TRACKING) {
		cs->cts = alloc_cts_session();
		populate_cts_cs(cs, cs->cts);
	}
	bdput(bdev);
	return cs;
}

// Hooks the session's disk and registers it, as start does.
inline int hook_session(kern::cow_session *cs)
{
	using namespace kern;
	block_device *bdev = get_block_device(cs->dev);
	down(&workLock);
	int r = set_mrf(bdev, cow_request, savedMRFS);
	cs->set_mrf = r == 0;
	register_cow_session(cs);
	up(&workLock);
	if (bdev)
		bdput(bdev);
	return r;
}

// Stops and frees the session as the stop command does: it is unlinked, no longer
// consulted, its hook restored, its IO threads released and waited for, and work left
// queued without a thread is cancelled.
inline void stop_session(kern::cow_session *cs)
{
	using namespace kern;
	down(&workLock);
	down(&session_list_lock);
	list_del(&cs->list);
	up(&session_list_lock);
	atomic_inc(&cs->sd);
	if (cs->set_mrf && !(cs->cts && atomic_read(&cs->cts->started))) {
		block_device *bdev = get_block_device(cs->dev);
		unset_mrf(bdev, savedMRFS);
		if (bdev)
			bdput(bdev);
	}
	atomic_inc(&cs->thread_info->io_threads_stop);
	for (io_thread *t : cs->thread_info->io_threads)
		if (atomic_read(&t->started) > 0)
			wake_up(&t->io_wait);
	while (get_users(cs)) {
		set_current_state(TASK_RUNNING);
		schedule();
	}
	runIOCleanup(cs);
	up(&workLock);
	put_cow_session(cs);
}

} // namespace zeptest
