#include "kernel/locking/semaphore.h"

#include <vector>

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
} // namespace

void sema_init(semaphore *s, int val)
{
	s->lock.v.store(0);
	s->count = val;
	INIT_LIST_HEAD(&s->wait_list);
}

static int __down(semaphore *s, long state, const kern::source_location &loc)
{
	might_sleep(loc);
	task_struct *t = current;
	raw_spin_lock(&s->lock);
	if (s->count > 0) {
		s->count--;
		raw_spin_unlock(&s->lock);
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
	return r;
}

void up(semaphore *s)
{
	raw_spin_lock(&s->lock);
	if (list_empty(&s->wait_list)) {
		s->count++;
		raw_spin_unlock(&s->lock);
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

void init_rwsem(rw_semaphore *s)
{
	s->lock.v.store(0);
	s->activity = 0;
	INIT_LIST_HEAD(&s->wait_list);
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

static void rwsem_down(rw_semaphore *s, bool writer, const kern::source_location &loc)
{
	might_sleep(loc);
	task_struct *t = current;
	raw_spin_lock(&s->lock);
	bool free_now = writer ? s->activity == 0 : s->activity >= 0;
	if (free_now && list_empty(&s->wait_list)) {
		s->activity = writer ? -1 : s->activity + 1;
		raw_spin_unlock(&s->lock);
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
	return ok;
}

int down_write_trylock(rw_semaphore *s)
{
	raw_spin_lock(&s->lock);
	int ok = s->activity == 0;
	if (ok)
		s->activity = -1;
	raw_spin_unlock(&s->lock);
	return ok;
}

void up_read(rw_semaphore *s)
{
	std::vector<task_struct *> wake;
	raw_spin_lock(&s->lock);
	if (s->activity <= 0)
		kernel_bug("up_read on an rw_semaphore not held for reading");
	s->activity--;
	rwsem_grant(s, wake);
	raw_spin_unlock(&s->lock);
	rwsem_wake(wake);
}

void up_write(rw_semaphore *s)
{
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
