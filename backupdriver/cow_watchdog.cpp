/*
 * cow_watchdog.cpp - the lock watchdog: a kernel thread that reports locks it cannot get
 * after a quiet minute, or on request.
 */
#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"

namespace kern {

static constexpr long WATCHDOG_PERIOD = 60000;	/* ticks: one minute */
static constexpr int PROBE_TRIES = 600;
static constexpr unsigned PROBE_PAUSE_MS = 10;

int lock_debug_lock(spinlock_t *lock)
{
	for (int i = 0; i < PROBE_TRIES; i++) {
		local_irq_disable();
		if (spin_trylock(lock))
			return 0;	/* held, with local interrupts off until the caller releases */
		local_irq_enable();
		msleep(PROBE_PAUSE_MS);
	}
	return 1;
}

static void lock_debug_unlock(spinlock_t *lock)
{
	spin_unlock(lock);
	local_irq_enable();
}

int lock_debug_sem_lock(semaphore *sem)
{
	for (int i = 0; i < PROBE_TRIES; i++) {
		if (!down_trylock(sem))
			return 0;
		msleep(PROBE_PAUSE_MS);
	}
	return 1;
}

int ioctl_list_locks(void)
{
	atomic_inc(&lock_print_count);
	wake_up(&lock_wait);
	return 0;
}

int handle_ioctlListLokcs(unsigned long arg)
{
	ioctl_list_locks();
	return 0;
}

static void probe_sem(semaphore *sem, const char *fmt)
{
	if (lock_debug_sem_lock(sem))
		printk(fmt, ZEP_VERSION_BUILD);
	else
		up(sem);
}

static void probe_session_lock(spinlock_t *lock, const char *fmt, int id)
{
	if (lock_debug_lock(lock))
		printk(fmt, ZEP_VERSION_BUILD, id);
	else
		lock_debug_unlock(lock);
}

static void inspect_session(cow_session *cs, int verbose)
{
	io_thread_info *ti = cs->thread_info;
	if (verbose && ti) {
		for (int i = 0; i < MAX_IO_THREADS; i++) {
			io_thread *t = ti->io_threads[i];
			if (!t || (i > 0 && atomic_read(&t->started) <= 0))
				continue;
			printk(KERN_ERR "%s: ERROR: zep_watchdog: io_thread[%d]->pendign_io: %d\n",
			       ZEP_NAME, i, atomic_read(&t->pending_io));
			printk(KERN_ERR "%s: ERROR: zep_watchdog: io_thread[%d]->pending_anon_io: %d\n",
			       ZEP_NAME, i, atomic_read(&t->pending_anon_io));
		}
	}
	probe_session_lock(&cs->chunk_lock, KERN_ERR "zep_watchdog[%d] LOCKED(cs->chunk_lock) id(%d)\n",
			   cs->clone_id);
	probe_session_lock(&cs->write_list_lock,
			   KERN_ERR "zep_watchdog[%d] LOCKED(cs->write_list_lock) id(%d)\n", cs->clone_id);
	if (ti)
		probe_session_lock(&ti->io_threads_lock,
				   KERN_ERR "zep_watchdog[%d] LOCKED(cs->thread_info->io_threads_lock) "
					    "id(%d)\n",
				   cs->clone_id);
	if (!cs->chunk_table.table)
		return;
	/* Chunk numbers past the device's end are never used: a small device is quickly done. */
	u64 last = cs->chunk_table.hash_mask;
	u64 device_chunks = ((cs->part.nr_sects << cs->sector_shift) + cs->chunk_size - 1) >> cs->chunk_shift;
	if (device_chunks && device_chunks - 1 < last)
		last = device_chunks - 1;
	for (u64 c = 0; c <= last; c++) {
		if_chunk *ic = get_and_inc_if(cs, c);
		if (lock_debug_lock(&cs->write_list_lock)) {
			printk(KERN_ERR "%s: ERROR: could not get write_list_lock for chunk: %llu on "
					"session: %d\n",
			       ZEP_NAME, static_cast<unsigned long long>(c), cs->clone_id);
		} else {
			rb_wl *wl = rb_serach_wl(&cs->write_locks, c);
			if (wl)
				printk(KERN_ERR "%s: ERROR: found rbwl in locks on session %d for chunk "
						"%llu: writes(%llu) reads(%llu)\n",
				       ZEP_NAME, cs->clone_id, static_cast<unsigned long long>(c),
				       static_cast<unsigned long long>(wl->writes),
				       static_cast<unsigned long long>(wl->reads));
			wl = rb_serach_wl(&cs->write_locked, c);
			if (wl)
				printk(KERN_ERR "%s: ERROR: found rbwl in locked on session %d for chunk "
						"%llu: writes(%llu) reads(%llu)\n",
				       ZEP_NAME, cs->clone_id, static_cast<unsigned long long>(c),
				       static_cast<unsigned long long>(wl->writes),
				       static_cast<unsigned long long>(wl->reads));
			lock_debug_unlock(&cs->write_list_lock);
		}
		if (ic) {
			if (lock_debug_sem_lock(&ic->real_lock))
				printk(KERN_ERR "zep_watchdog[%d]: LOCKED(ic->real_lock) id(%d), chunk(%llu)\n",
				       ZEP_VERSION_BUILD, cs->clone_id, static_cast<unsigned long long>(c));
			else
				up(&ic->real_lock);
			if (lock_debug_sem_lock(&ic->virt_lock))
				printk(KERN_ERR "zep_watchdog[%d]: LOCKED(ic->virt_lock) id(%d), chunk(%llu)\n",
				       ZEP_VERSION_BUILD, cs->clone_id, static_cast<unsigned long long>(c));
			else
				up(&ic->virt_lock);
			put_and_dec_if(cs, ic);
		}
	}
}

static void inspect(void)
{
	int verbose = 0;
	if (atomic_read(&lock_print_count)) {
		verbose = 1;
		printk(KERN_ERR "%s: ERROR: -- listing zep debug info --\n", ZEP_NAME);
		printk(KERN_ERR "%s: ERROR: zep_watchdog: total_cow_pages: %d\n", ZEP_NAME,
		       atomic_read(&total_cow_pages));
		atomic_dec(&lock_print_count);
	}
	if (lock_debug_sem_lock(&session_list_lock)) {
		printk(KERN_ERR "%s: ERROR: zep_watchdog: could not get session_list_lock!\n", ZEP_NAME);
		return;
	}
	LIST_HEAD(sessions);
	int n = get_all_sessions(&sessions);
	up(&session_list_lock);
	if (!n)
		return;
	probe_sem(&session_work_lock, KERN_ERR "zep_watchdog[%d]: LOCKED(session_work_lock) \n");
	probe_sem(&workLock, KERN_ERR "zep_watchdog[%d]: LOCKED(workLock) \n");
	if (lock_debug_lock(&record_list_lock))
		printk(KERN_ERR "zep_watchdog[%d] LOCKED(record_list_lock) \n", ZEP_VERSION_BUILD);
	else
		lock_debug_unlock(&record_list_lock);
	session_node *sn;
	list_for_each_entry(sn, &sessions, list) inspect_session(sn->cs, verbose);
	put_cow_sessions(&sessions);
}

int lock_debug_thread(void *data)
{
	daemonize("zep_watchdog");
	get_current()->flags |= PF_NOFREEZE;
	set_user_nice(get_current(), -20);
	printk(KERN_INFO "%s: INFO: zep_watchdog: started.\n", ZEP_NAME);
	complete(&lock_wait_done);
	for (;;) {
		long remaining = WATCHDOG_PERIOD;
		if (!atomic_read(&lock_wait_count) && !atomic_read(&lock_print_count) &&
		    !atomic_read(&global_shutdown)) {
			remaining = wait_event_interruptible_timeout(
				lock_wait, atomic_read(&lock_wait_count) ||
						   atomic_read(&lock_print_count) ||
						   atomic_read(&global_shutdown),
				remaining);
		}
		if (atomic_read(&global_shutdown)) {
			printk(KERN_INFO "%s: INFO: zep_watchdog: stopped.\n", ZEP_NAME);
			/* The unload goes on once this is complete: no module code may run after. */
			complete_and_exit(&lock_wait_done, 0);
		}
		if (remaining > 0 && !atomic_read(&lock_print_count)) {
			if (atomic_read(&lock_wait_count))
				atomic_dec(&lock_wait_count);
			continue;
		}
		inspect();
	}
}

} // namespace kern
