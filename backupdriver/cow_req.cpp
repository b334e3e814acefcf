/*
 * cow_req.cpp - small operations on requests shared by the live and snapshot paths, and
 * the registry of IO-thread processes whose own requests pass the interception.
 */
#include "backupdriver/cow.h"

namespace kern {

/* ---------------------------------------------------------------- IO-thread registry */

static bool pid_registered(pid_t pid)
{
	cow_pid_tracker *t;
	list_for_each_entry(t, &cow_pids_list, list)
	{
		if (t->pid == pid)
			return true;
	}
	return false;
}

int add_cow_thread(void)
{
	auto *t = static_cast<cow_pid_tracker *>(kmalloc(sizeof(cow_pid_tracker), GFP_KERNEL));
	if (!t)
		return 1;
	t->pid = get_current()->pid;
	INIT_LIST_HEAD(&t->list);
	unsigned long flags;
	spin_lock_irqsave(&cow_thread_lock, flags);
	bool present = pid_registered(t->pid);
	if (!present)
		list_add_tail(&t->list, &cow_pids_list);
	spin_unlock_irqrestore(&cow_thread_lock, flags);
	/* Freed outside the spinlock: the allocator may not be entered under it. */
	if (present)
		kfree(t);
	return 0;
}

void remove_cow_thread(void)
{
	pid_t pid = get_current()->pid;
	LIST_HEAD(gone);
	unsigned long flags;
	spin_lock_irqsave(&cow_thread_lock, flags);
	cow_pid_tracker *t, *n;
	list_for_each_entry_safe(t, n, &cow_pids_list, list)
	{
		if (t->pid == pid)
			list_move_tail(&t->list, &gone);
	}
	spin_unlock_irqrestore(&cow_thread_lock, flags);
	list_for_each_entry_safe(t, n, &gone, list)
	{
		list_del(&t->list);
		kfree(t);
	}
}

int is_cow_thread(void)
{
	pid_t pid = get_current()->pid;
	unsigned long flags;
	spin_lock_irqsave(&cow_thread_lock, flags);
	bool found = pid_registered(pid);
	spin_unlock_irqrestore(&cow_thread_lock, flags);
	return found ? 1 : 0;
}

/* Every request an IO thread submits passes, whichever session or file it concerns. */
int is_cow_file_for_any_session(list_head *session_list_head, struct bio *bio)
{
	return is_cow_thread();
}

/* ---------------------------------------------------------------- requests */

void doMRF(request_queue_t *q, make_request_fn *savedMRF, struct bio *bio)
{
	if (savedMRF(q, bio))
		generic_make_request(bio);
}

void bio_endIO(struct bio *bio, int err) { bio_endio(bio, bio->bi_size, err); }

void save_info(struct bio *bio, saved_info *si)
{
	si->bi_bdev = bio->bi_bdev;
	si->bi_end_io = bio->bi_end_io;
	si->bi_private = bio->bi_private;
	si->bi_size = bio->bi_size;
	si->bi_sector = bio->bi_sector;
	si->bi_idx = bio->bi_idx;
}

void restore_info(saved_info *si, struct bio *bio)
{
	bio->bi_bdev = si->bi_bdev;
	bio->bi_end_io = si->bi_end_io;
	bio->bi_private = si->bi_private;
	bio->bi_size = si->bi_size;
	bio->bi_sector = si->bi_sector;
	bio->bi_idx = si->bi_idx;
}

void wait_for_read(rb_wl *rbwl) { wait_event(rbwl->wait, atomic_read(&rbwl->done) != 0); }

void finish_read(rb_wl *rbwl)
{
	atomic_inc(&rbwl->done);
	wake_up_all(&rbwl->wait);
}

} // namespace kern
