/*
 * cow_io.cpp - IO threads: agent processes parked in the driver that write copied-out
 * chunks to their backing files and serve snapshot-device IO, in alternating passes.
 */
#include <cstdio>

#include "backupdriver/cow.h"
#include "backupdriver/kfc.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "kernel/mm/uaccess.h"

namespace kern {

/* Ticks an IO thread sleeps at most before it serves queued copy-outs anyway. */
static constexpr long IO_WAIT_TICKS = 5000;
/* Pauses requested without leaving the running state: yields of the processor. */
static constexpr long ROUND_YIELD_TICKS = 1000;
static constexpr long DRAIN_YIELD_TICKS = 100;
/* A large snapshot backlog stops the copy-out pass after its quota. */
static constexpr int ANON_BACKLOG = 100;
/* The snapshot pass yields after these many records when copy-outs back up. */
static constexpr u64 ANON_BATCH = 16;
static constexpr u64 ANON_BATCH_BACKED_UP = 2;

/* The pass limits, from the per-thread share of the chunk buffer. */
struct io_limits {
	unsigned long share, wake, quota, anon_first, anon_second;
};

static unsigned long at_least_one(unsigned long v) { return v ? v : 1; }

static io_limits get_limits(cow_session *cs)
{
	unsigned long n = static_cast<unsigned long>(atomic_read(&cs->thread_info->io_threads_started));
	io_limits l;
	l.share = n ? qz_max_chunk_buffer / n : qz_max_chunk_buffer;
	l.wake = l.share / 2;
	l.quota = at_least_one(l.share / 10);
	l.anon_first = at_least_one(l.share / 2);
	l.anon_second = at_least_one(l.share);
	return l;
}

static unsigned long pending(atomic_t *v) { return static_cast<unsigned long>(atomic_read(v)); }

/* ---------------------------------------------------------------- transfers */

void io_on_chunk(cow_session *cs, user_buffer *ub, file_copy *fc, struct file *file)
{
	loff_t offset = fc->file_start;
	struct bio *bio = fc->bio;
	for (unsigned i = 0; bio && i < bio->bi_vcnt; i++) {
		struct bio_vec *bv = &bio->bi_io_vec[i];
		if (is_error(cs)) {
			fc_endio(fc, -EIO);
			return;
		}
		ssize_t done = bvec_to_file_f_op(fc->rw & 3, file, ub, bv, offset);
		if (done < static_cast<ssize_t>(bv->bv_len)) {
			printk(KERN_ERR "%s: ERROR: Error while doing IO on file!\n", ZEP_NAME);
			invalidate_session(cs, "FILE IO ERROR");
			fc_endio(fc, -EIO);
			return;
		}
		offset += done;
	}
	fc_endio(fc, 0);
}

void do_file_io(cow_session *cs, user_buffer *ub, if_chunk *ic, struct file *file)
{
	file_copy *fc, *n;
	list_for_each_entry_safe(fc, n, &ic->fc_list_head, fc_list)
	{
		list_del(&fc->fc_list);
		calc_fc_file_start(fc, cs->chunk_size);
		io_on_chunk(cs, ub, fc, file);
		put_file_copy(fc, cs);
	}
}

void cleanup_ic(if_chunk *ic, cow_session *cs)
{
	file_copy *fc, *n;
	list_for_each_entry_safe(fc, n, &ic->fc_list_head, fc_list)
	{
		fc_endio(fc, -EIO);
		list_del(&fc->fc_list);
		put_file_copy(fc, cs);
	}
}

/* Detaches the slot's whole queue onto `to` (its tail), under io_threads_lock. */
static void take_queue(cow_session *cs, io_thread *iot, list_head *to)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->thread_info->io_threads_lock, flags);
	while (!list_empty(&iot->io_list))
		list_move_tail(iot->io_list.next, to);
	spin_unlock_irqrestore(&cs->thread_info->io_threads_lock, flags);
}

void runIOCleanup(cow_session *cs)
{
	for (int i = 0; i < MAX_IO_THREADS; i++) {
		io_thread *iot = cs->thread_info->io_threads[i];
		if (!iot)
			continue;
		LIST_HEAD(taken);
		take_queue(cs, iot, &taken);
		if_chunk *ic, *n;
		list_for_each_entry_safe(ic, n, &taken, submit_list)
		{
			list_del(&ic->submit_list);
			down(&ic->virt_lock);
			poke_watchdog();
			cleanup_ic(ic, cs);
			up(&ic->virt_lock);
			/* The queue no longer holds it: a thread attaching later must not wait
			 * for work that is gone. */
			atomic_dec(ic->anon ? &iot->pending_anon_io : &iot->pending_io);
			put_and_dec_if(cs, ic);
		}
	}
}

/* ---------------------------------------------------------------- the thread */

void adjust_thread_properites(int id, int thread_id)
{
	task_struct *t = get_current();
	t->flags |= PF_NOFREEZE | PF_LESS_THROTTLE;
	task_lock(t);
	std::snprintf(t->comm, sizeof(t->comm), "zep_io/%d/%d", id, thread_id);
	task_unlock(t);
	set_user_nice(t, 0);
	/* Nothing may interrupt or kill the thread while it serves its session. */
	for (int sig = 1; sig <= KERN_NSIG; sig++)
		t->sighand->action[sig] = SIG_IGN;
	flush_signals(t);
}

/* Serves one record: the snapshot paths and other threads keep off its pages meanwhile. */
static void serve_ic(cow_session *cs, user_buffer *ub, if_chunk *ic, struct file *file)
{
	list_del(&ic->submit_list);
	down(&ic->virt_lock);
	poke_watchdog();
	do_file_io(cs, ub, ic, file);
	atomic_inc(&ic->processed);
	up(&ic->virt_lock);
	put_and_dec_if(cs, ic);
}

static void copy_out_pass(cow_session *cs, io_thread *iot, user_buffer *ub, struct file *file,
			  list_head *local_copy_list)
{
	u64 proccessed_io = 0;
	if_chunk *ic, *n;
	list_for_each_entry_safe(ic, n, local_copy_list, submit_list)
	{
		if (ic->anon)
			continue;
		io_limits l = get_limits(cs);
		unsigned long anon = pending(&iot->pending_anon_io);
		if (anon > 0 && proccessed_io >= 1 && pending(&iot->pending_io) < l.share)
			break;
		if (anon > ANON_BACKLOG && proccessed_io >= l.quota)
			break;
		serve_ic(cs, ub, ic, file);
		atomic_dec(&iot->pending_io);
		proccessed_io++;
	}
}

static void snapshot_pass(cow_session *cs, io_thread *iot, user_buffer *ub, struct file *file,
			  list_head *local_copy_list)
{
	u64 proccessed_io = 0;
	if_chunk *ic, *n;
	list_for_each_entry_safe(ic, n, local_copy_list, submit_list)
	{
		if (!ic->anon)
			continue;
		io_limits l = get_limits(cs);
		unsigned long copies = pending(&iot->pending_io);
		if (copies > l.anon_first && proccessed_io >= ANON_BATCH)
			break;
		if (copies > l.anon_second && proccessed_io >= ANON_BATCH_BACKED_UP)
			break;
		serve_ic(cs, ub, ic, file);
		atomic_dec(&iot->pending_anon_io);
		proccessed_io++;
	}
}

/* The reserve of free blocks the agent asked to keep on the backing file system. */
static void check_free_space(cow_session *cs, io_thread *iot, struct file *file)
{
	if (!file || pending(&iot->pending_io) <= qz_max_chunk_buffer)
		return;
	kstatfs st;
	if (vfs_statfs(file, &st))
		return;
	if (st.f_bavail < cs->bfree) {
		printk(KERN_ERR "%s: ERROR: user specified quota reached, corvane session zep%d "
				"ending.\n",
		       ZEP_NAME, cs->clone_id);
		invalidate_session(cs, "USER QUOTA REACHED");
	}
}

/* Yields the processor without leaving the running state. */
static void yield_running(long ticks)
{
	set_current_state(TASK_RUNNING);
	schedule_timeout(ticks);
}

/* Whether the thread may leave: nothing queued for it and no file copy of the session
 * left anywhere. While it asks, it counts itself gone, so that no submitter queues work
 * to it that nobody would serve; it takes the count back when it stays. */
static bool may_leave(cow_session *cs, io_thread *iot)
{
	io_thread_info *info = cs->thread_info;
	unsigned long flags;
	down(&session_work_lock);
	spin_lock_irqsave(&info->io_threads_lock, flags);
	atomic_dec(&iot->started);
	spin_unlock_irqrestore(&info->io_threads_lock, flags);
	bool leave = !atomic_read(&iot->pending_io) && !atomic_read(&iot->pending_anon_io) &&
		     !atomic_read(&cs->fc_count);
	if (!leave) {
		spin_lock_irqsave(&info->io_threads_lock, flags);
		atomic_inc(&iot->started);
		spin_unlock_irqrestore(&info->io_threads_lock, flags);
	}
	up(&session_work_lock);
	return leave;
}

static void serve_session(cow_session *cs, io_thread *iot, user_buffer *ub, struct file *file)
{
	io_thread_info *info = cs->thread_info;
	LIST_HEAD(local_copy_list);
	for (;;) {
		wait_event_interruptible_timeout(
			iot->io_wait,
			pending(&iot->pending_io) > get_limits(cs).wake ||
				atomic_read(&iot->pending_anon_io) > 0 ||
				atomic_read(&info->io_threads_stop) > 0 || is_error(cs),
			IO_WAIT_TICKS);
		check_free_space(cs, iot, file);
		take_queue(cs, iot, &local_copy_list);
		copy_out_pass(cs, iot, ub, file, &local_copy_list);
		snapshot_pass(cs, iot, ub, file, &local_copy_list);
		yield_running(ROUND_YIELD_TICKS);
		if (!atomic_read(&info->io_threads_stop) && !is_error(cs))
			continue;
		if (may_leave(cs, iot))
			return;
		yield_running(DRAIN_YIELD_TICKS);
	}
}

void runIOThread(qz_thread_info ti)
{
	cow_session *cs = nullptr;
	struct file *file = nullptr;
	io_thread_info *info;
	io_thread *iot;
	int thread_id;
	unsigned long flags;
	user_buffer ub;

	if (add_cow_thread()) {
		printk(KERN_ERR "%s: ERROR: could not add threaad!\n", ZEP_NAME);
		goto leave;
	}
	down(&workLock);
	poke_watchdog();
	cs = get_cow_session_by_id(ti.session_id);
	if (!cs) {
		up(&workLock);
		printk(KERN_ERR "%s: ERROR: started new thread without a session, thread exiting.\n",
		       ZEP_NAME);
		goto leave;
	}
	inc_users(cs);
	up(&workLock);

	info = cs->thread_info;
	spin_lock_irqsave(&info->io_threads_lock, flags);
	if (atomic_read(&info->io_threads_started) >= MAX_IO_THREADS) {
		spin_unlock_irqrestore(&info->io_threads_lock, flags);
		complete(&info->io_thread_done);
		goto leave;
	}
	thread_id = atomic_add_return(1, &info->io_threads_started) - 1;
	iot = info->io_threads[thread_id];
	atomic_inc(&iot->started);
	spin_unlock_irqrestore(&info->io_threads_lock, flags);

	ub.addr = ti.user_addr;
	ub.size = ti.buffer_size;
	ub.pos = 0;
	ub.used = 0;
	ub.dirty = 0;
	ub.file_pos = 0;

	file = fget(static_cast<unsigned int>(ti.file_fd));
	if (!file) {
		printk(KERN_ERR "%s: ERROR: COW Thread (%d) could not get file handel.\n", ZEP_NAME,
		       ti.id);
		printk(KERN_ERR "%s: ERROR: Didsabling zep session (%d) due to file error.\n",
		       ZEP_NAME, cs->clone_id);
		invalidate_session(cs, "FILE ERROR");
	}
	/* Every transfer copies through the buffer: one that does not lie wholly in the
	 * thread's user space is never used. The thread still drains its failed session. */
	if (!access_ok(VERIFY_WRITE, uptr(ti.user_addr),
		       static_cast<unsigned long>(static_cast<long>(ti.buffer_size)))) {
		printk(KERN_ERR "%s: ERROR: COW Thread (%d) buffer %p + %d is not in user space.\n",
		       ZEP_NAME, ti.id, uptr(ti.user_addr), ti.buffer_size);
		invalidate_session(cs, "BUFFER ERROR");
		ub.size = 0;
	}
	adjust_thread_properites(cs->clone_id, thread_id);
	complete(&info->io_thread_done);
	printk(KERN_INFO "%s: INFO: zep_io: Thread(%d) with user space address %p + %d\n", ZEP_NAME,
	       thread_id, reinterpret_cast<void *>(static_cast<unsigned long>(ti.user_addr)),
	       ti.buffer_size);

	serve_session(cs, iot, &ub, file);

leave:
	/* Dirty bytes still in the buffer are not written: the session is over. */
	if (file)
		kernel_close_file(file);
	if (cs)
		dec_users(cs);
	remove_cow_thread();
}

} // namespace kern
