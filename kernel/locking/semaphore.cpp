#include "kernel/locking/semaphore.h"
#include "kernel/host/hostops.h"

#include <vector>

#include "kernel/locking/lockdep.h"

namespace kern {

namespace {
// A waiter on a semaphore or rw-semaphore. The releaser hands the lock over directly
// (granted), so a woken waiter never has to compete again.
struct sem_waiter {
	list_head list;
	task_struct *task;
	bool granted;
	bool writer;
};
void mutex_acquired(semaphore *s, task_struct *t, int cls)
{
	s->owner = t;
	lock_held_push(t, s, s->name, cls, HELD_MUTEX);
}

} // namespace

void __sema_init(semaphore *s, int val, const char *name)
{
	s->lock.v.store(0);
	s->count = val;
	INIT_LIST_HEAD(&s->wait_list);
	s->name = name;
	s->mutex = val == 1;
	s->cls = 0;
	s->owner = nullptr;
}

void __init_MUTEX_LOCKED(semaphore *s, const char *name)
{
	__sema_init(s, 0, name);
	s->mutex = true;
	// No one can wait for it yet: held without an order to check.
	mutex_acquired(s, get_current(), lock_class(s->name, &s->cls));
}

void sem_disown(semaphore *s)
{
	if (s->mutex && lock_held_pop(get_current(), s))
		s->owner = nullptr;
}

static int __down(semaphore *s, long state, const kern::source_location &loc)
{
	might_sleep(loc);
	task_struct *t = current;
	int cls = s->mutex ? lockdep_acquire(t, s, s->name, &s->cls, true, loc) : 0;
	H().preempt_point();
	raw_spin_lock(&s->lock);
	if (s->count > 0) {
		s->count--;
		raw_spin_unlock(&s->lock);
		if (s->mutex)
			mutex_acquired(s, t, cls);
		return 0;
	}
	sem_waiter w{{nullptr, nullptr}, t, false, false};
	list_add_tail(&w.list, &s->wait_list);
	for (;;) {
		set_current_state(state);
		bool granted = w.granted;
		raw_spin_unlock(&s->lock);
		if (granted)
			break;
		if (state == TASK_INTERRUPTIBLE && signal_pending(t)) {
			raw_spin_lock(&s->lock);
			if (w.granted) {	// handed over meanwhile: keep it
				raw_spin_unlock(&s->lock);
				break;
			}
			list_del(&w.list);
			raw_spin_unlock(&s->lock);
			set_current_state(TASK_RUNNING);
			return -EINTR;
		}
		schedule(loc);
		raw_spin_lock(&s->lock);
	}
	set_current_state(TASK_RUNNING);
	if (s->mutex)
		mutex_acquired(s, t, cls);
	return 0;
}

void down(semaphore *s, kern::source_location loc) { __down(s, TASK_UNINTERRUPTIBLE, loc); }

int down_interruptible(semaphore *s, kern::source_location loc)
{
	return __down(s, TASK_INTERRUPTIBLE, loc);
}

int down_trylock(semaphore *s)
{
	raw_spin_lock(&s->lock);
	int r = 1;
	if (s->count > 0) {
		s->count--;
		r = 0;
	}
	raw_spin_unlock(&s->lock);
	// Taken without waiting, so it closes no cycle; later locks are ordered after it.
	if (!r && s->mutex)
		mutex_acquired(s, get_current(), lock_class(s->name, &s->cls));
	return r;
}

// A mutex is released by its holder; one disowned (sem_disown) by anyone.
static void mutex_release(semaphore *s, const kern::source_location &loc)
{
	task_struct *t = get_current();
	if (lock_held_pop(t, s)) {
		s->owner = nullptr;
		return;
	}
	raw_spin_lock(&s->lock);
	bool free_now = s->count > 0;
	raw_spin_unlock(&s->lock);
	if (s->owner.load() || free_now)
		kernel_bug("semaphore %s released by %s/%d at %s:%u, which does not hold it",
			   s->name ? s->name : "?", t->comm, t->pid, loc.file_name(),
			   static_cast<unsigned>(loc.line()));
}

void up(semaphore *s, kern::source_location loc)
{
	if (s->mutex)
		mutex_release(s, loc);
	raw_spin_lock(&s->lock);
	if (list_empty(&s->wait_list)) {
		s->count++;
		raw_spin_unlock(&s->lock);
		H().preempt_point();
		return;
	}
	sem_waiter *w = list_entry(s->wait_list.next, sem_waiter, list);
	list_del(&w->list);
	task_struct *t = w->task;
	get_task_struct(t);	// w lives on the waiter's stack: it may return at once
	w->granted = true;
	raw_spin_unlock(&s->lock);
	wake_up_process(t);
	put_task_struct(t);
}

int sem_count(semaphore *s)
{
	raw_spin_lock(&s->lock);
	int n = s->count;
	list_head *p;
	list_for_each(p, &s->wait_list) n--;
	raw_spin_unlock(&s->lock);
	return n;
}

// ---------------------------------------------------------------- rw semaphore

void __init_rwsem(rw_semaphore *s, const char *name)
{
	s->lock.v.store(0);
	s->activity = 0;
	INIT_LIST_HEAD(&s->wait_list);
	s->name = name;
	s->cls = 0;
	s->disowned = 0;
}

// Grants the lock to waiters at the head of the queue; called with s->lock held.
static void rwsem_grant(rw_semaphore *s, std::vector<task_struct *> &wake)
{
	while (!list_empty(&s->wait_list)) {
		sem_waiter *w = list_entry(s->wait_list.next, sem_waiter, list);
		if (w->writer) {
			if (s->activity != 0)
				break;
			s->activity = -1;
		} else {
			if (s->activity < 0)
				break;
			s->activity++;
		}
		list_del(&w->list);
		get_task_struct(w->task);
		wake.push_back(w->task);
		w->granted = true;
		if (s->activity < 0)
			break;
	}
}

static void rwsem_wake(std::vector<task_struct *> &wake)
{
	for (task_struct *t : wake) {
		wake_up_process(t);
		put_task_struct(t);
	}
}

static void rwsem_acquired(rw_semaphore *s, task_struct *t, int cls, bool writer)
{
	lock_held_push(t, s, s->name, cls, writer ? HELD_WRITE : HELD_READ);
}

// Readers queue behind a waiting writer, so a read taken twice, or in two orders, can
// deadlock as a write can: both are checked alike.
static void rwsem_down(rw_semaphore *s, bool writer, const kern::source_location &loc)
{
	might_sleep(loc);
	task_struct *t = current;
	int cls = lockdep_acquire(t, s, s->name, &s->cls, true, loc);
	raw_spin_lock(&s->lock);
	bool free_now = writer ? s->activity == 0 : s->activity >= 0;
	if (free_now && list_empty(&s->wait_list)) {
		s->activity = writer ? -1 : s->activity + 1;
		raw_spin_unlock(&s->lock);
		rwsem_acquired(s, t, cls, writer);
		return;
	}
	sem_waiter w{{nullptr, nullptr}, t, false, writer};
	list_add_tail(&w.list, &s->wait_list);
	for (;;) {
		set_current_state(TASK_UNINTERRUPTIBLE);
		bool granted = w.granted;
		raw_spin_unlock(&s->lock);
		if (granted)
			break;
		schedule(loc);
		raw_spin_lock(&s->lock);
	}
	set_current_state(TASK_RUNNING);
	rwsem_acquired(s, t, cls, writer);
}

void down_read(rw_semaphore *s, kern::source_location loc) { rwsem_down(s, false, loc); }
void down_write(rw_semaphore *s, kern::source_location loc) { rwsem_down(s, true, loc); }

int down_read_trylock(rw_semaphore *s)
{
	raw_spin_lock(&s->lock);
	int ok = s->activity >= 0 && list_empty(&s->wait_list);
	if (ok)
		s->activity++;
	raw_spin_unlock(&s->lock);
	if (ok)
		rwsem_acquired(s, get_current(), lock_class(s->name, &s->cls), false);
	return ok;
}

int down_write_trylock(rw_semaphore *s)
{
	raw_spin_lock(&s->lock);
	int ok = s->activity == 0;
	if (ok)
		s->activity = -1;
	raw_spin_unlock(&s->lock);
	if (ok)
		rwsem_acquired(s, get_current(), lock_class(s->name, &s->cls), true);
	return ok;
}

static void rwsem_release(rw_semaphore *s, const char *how, const kern::source_location &loc)
{
	task_struct *t = get_current();
	if (lock_held_pop(t, s))
		return;
	int d = s->disowned.load();
	while (d > 0 && !s->disowned.compare_exchange_weak(d, d - 1))
		;
	if (d <= 0)
		kernel_bug("%s of %s by %s/%d at %s:%u, which does not hold it", how,
			   s->name ? s->name : "?", t->comm, t->pid, loc.file_name(),
			   static_cast<unsigned>(loc.line()));
}

void up_read(rw_semaphore *s, kern::source_location loc)
{
	rwsem_release(s, "up_read", loc);
	std::vector<task_struct *> wake;
	raw_spin_lock(&s->lock);
	if (s->activity <= 0)
		kernel_bug("up_read on an rw_semaphore not held for reading");
	s->activity--;
	rwsem_grant(s, wake);
	raw_spin_unlock(&s->lock);
	rwsem_wake(wake);
}

void rwsem_disown(rw_semaphore *s)
{
	if (lock_held_pop(get_current(), s))
		s->disowned++;
}

void up_write(rw_semaphore *s, kern::source_location loc)
{
	rwsem_release(s, "up_write", loc);
	std::vector<task_struct *> wake;
	raw_spin_lock(&s->lock);
	if (s->activity != -1)
		kernel_bug("up_write on an rw_semaphore not held for writing");
	s->activity = 0;
	rwsem_grant(s, wake);
	raw_spin_unlock(&s->lock);
	rwsem_wake(wake);
}

} // namespace kern
