/*
 * cow_changes.cpp - the change-record queue and its delivery to the agent.
 */
#include <cstring>

#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "kernel/mm/uaccess.h"

namespace kern {

void record_change(ct_session *cts, struct bio *bio, int virt)
{
	if (!cts || atomic_read(&cts->missed_write))
		return;
	change_record *rc = alloc_change_record();
	if (!rc) {
		cts_set_error(cts);
		return;
	}
	std::memset(static_cast<void *>(rc), 0, sizeof(*rc));
	rc->num_sectors = bio->bi_size / 512 + (bio->bi_size % 512 ? 1 : 0);
	if (!virt) {
		rc->major = static_cast<u16>(cts->dev >> 20);
		rc->minor = static_cast<u16>(cts->dev & 0xffff);
		rc->start_sector = bio->bi_sector - cts->start_sect;
	} else {
		rc->major = static_cast<u16>(bio->bi_bdev->bd_disk->major);
		rc->minor = static_cast<u16>(bio->bi_bdev->bd_disk->first_minor);
		rc->start_sector = bio->bi_sector;
	}
	rc->cts = cts;
	unsigned long flags;
	spin_lock_irqsave(&record_list_lock, flags);
	list_add_tail(&rc->list, &record_list);
	atomic_inc(&record_list_lenght);
	wake_up_interruptible_all(&record_list_wait_queue);
	spin_unlock_irqrestore(&record_list_lock, flags);
}

static int ioctl_get_changed_records(change_recrod_request *crr, change_record_usr *cru)
{
	int size = crr->size;
	if (atomic_read(&record_list_lenght) < size && !atomic_read(&record_list_unblock)) {
		/* A signal ends the wait without an error: what is queued is delivered. */
		wait_event_interruptible(record_list_wait_queue,
					 atomic_read(&record_list_lenght) >= size ||
						 atomic_read(&record_list_unblock));
	}
	atomic_set(&record_list_unblock, 0);
	down(&session_list_lock);
	crr->tracking = any_cts_has_error() ? 0 : 1;
	up(&session_list_lock);

	int moved = 0;
	unsigned long flags;
	spin_lock_irqsave(&record_list_lock, flags);
	while (moved < size && !list_empty(&record_list)) {
		change_record *rc = list_entry(record_list.next, change_record, list);
		list_del(&rc->list);
		if (rc->cts && atomic_read(&rc->cts->missed_write))
			crr->tracking = 0;
		cru[moved].major = rc->major;
		cru[moved].minor = rc->minor;
		cru[moved].start_sector = rc->start_sector;
		cru[moved].num_sectors = rc->num_sectors;
		put_change_record(rc);
		atomic_dec(&record_list_lenght);
		moved++;
	}
	crr->inqueue = atomic_read(&record_list_lenght);
	spin_unlock_irqrestore(&record_list_lock, flags);
	return moved;
}

/* The largest array one request may ask for (records of 20 bytes). */
static constexpr int MAX_CHANGE_RECORDS = 1 << 20;

int handle_ioctlGetChangedRecords(unsigned long arg)
{
	change_recrod_request crr;
	if (!access_ok(VERIFY_READ, uptr(arg), sizeof(crr)) ||
	    copy_from_user(&crr, uptr(arg), sizeof(crr))) {
		printk(KERN_ERR "%s: ERROR: Could not copy request from user space.", ZEP_NAME);
		return -1;
	}
	/* A negative or huge size cannot be served: refuse it like a failed allocation. */
	change_record_usr *cru = nullptr;
	size_t bytes = 0;
	if (crr.size >= 0 && crr.size <= MAX_CHANGE_RECORDS) {
		bytes = static_cast<size_t>(crr.size) * sizeof(change_record_usr);
		cru = static_cast<change_record_usr *>(vmalloc(bytes ? bytes : 1));
	}
	if (!cru) {
		printk(KERN_ERR "%s: ERROR: Could not allocate cru.\n", ZEP_NAME);
		return -1;
	}
	std::memset(cru, 0, bytes);
	int n = ioctl_get_changed_records(&crr, cru);
	int ret = n;
	if (copy_to_user(uptr(arg), &crr, sizeof(crr))) {
		printk(KERN_ERR "%s: ERROR: Failed to copy crr to user space, change tracking is "
				"now being disabled.\n",
		       ZEP_NAME);
		ret = -1;
	} else if (bytes && copy_to_user(uptr(crr.cru), cru, bytes)) {
		printk(KERN_ERR "%s: ERROR: failed to copy cru to user space, change tracking is "
				"now being disabled.\n",
		       ZEP_NAME);
		ret = -1;
	}
	/* Records taken off the queue are lost to the agent: tracking is no longer
	 * complete, as the messages announce. */
	if (ret < 0 && n > 0) {
		down(&session_list_lock);
		error_all_cts();
		up(&session_list_lock);
	}
	vfree(cru);
	return ret;
}

int handle_ioctlUnblockChangeRecords(unsigned long arg)
{
	atomic_inc(&record_list_unblock);
	wake_up_interruptible_all(&record_list_wait_queue);
	return 0;
}

int handle_ioctlErrorCTS(unsigned long arg)
{
	down(&session_list_lock);
	error_all_cts();
	up(&session_list_lock);
	return 0;
}

void safe_flush_changed_records(void)
{
	LIST_HEAD(flushed);
	unsigned long flags;
	spin_lock_irqsave(&record_list_lock, flags);
	while (!list_empty(&record_list)) {
		change_record *rc = list_entry(record_list.next, change_record, list);
		list_move_tail(&rc->list, &flushed);
		if (rc->cts)
			atomic_set(&rc->cts->missed_write, 1);
		atomic_dec(&record_list_lenght);
	}
	spin_unlock_irqrestore(&record_list_lock, flags);
	atomic_inc(&record_list_unblock);
	wake_up_interruptible_all(&record_list_wait_queue);
	change_record *rc, *n;
	list_for_each_entry_safe(rc, n, &flushed, list)
	{
		list_del(&rc->list);
		put_change_record(rc);
	}
}

void shutdown_flush_changed_recores(void)
{
	atomic_inc(&record_list_unblock);
	wake_up_interruptible_all(&record_list_wait_queue);
	change_record *rc, *n;
	list_for_each_entry_safe(rc, n, &record_list, list)
	{
		list_del(&rc->list);
		put_change_record(rc);
		atomic_dec(&record_list_lenght);
	}
}

} // namespace kern
