#include "kernel/locking/wait.h"

#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "kernel/host/hostops.h"
#include "kernel/core/printk.h"

namespace kern {

// ---------------------------------------------------------------- raw spin lock

void raw_spin_lock(raw_spinlock_t *l)
{
	for (int spins = 0;; spins++) {
		if (!l->v.exchange(1, std::memory_order_acquire))
			return;
		while (l->v.load(std::memory_order_relaxed)) {
			// Host threads outnumber processors: give the holder a chance to run.
			if (++spins > 64)
				host::ops().thread_yield();
		}
	}
}

void raw_spin_unlock(raw_spinlock_t *l) { l->v.store(0, std::memory_order_release); }

// ---------------------------------------------------------------- lock classes

namespace {

constexpr int MAX_CLASSES = 512;

struct lockdep_state {
	host::host_lock *lock;
	std::string names[MAX_CLASSES];
	int nr = 0;
	std::atomic<unsigned char> after[MAX_CLASSES][MAX_CLASSES];	// after[a][b]: b taken inside a
};

lockdep_state &ld()
{
	static lockdep_state *s = [] {
		auto *st = new lockdep_state;
		st->lock = host::ops().lock_create();
		return st;
	}();
	return *s;
}

// "&cs->users_lock" and "q->queue_lock" name the classes "users_lock" and "queue_lock".
std::string_view class_key(const char *name)
{
	std::string_view s = name ? name : "?";
	size_t cut = 0;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] == '.' || s[i] == '&' || s[i] == '(' || s[i] == ')' || s[i] == '*' ||
		    s[i] == ' ')
			cut = i + 1;
		else if (s[i] == '>' && i > 0 && s[i - 1] == '-')
			cut = i + 1;
	}
	return s.substr(cut);
}

int class_of(spinlock_t *l)
{
	if (l->cls)
		return l->cls;
	auto &s = ld();
	std::string_view key = class_key(l->name);
	host::ops().lock_acquire(s.lock);
	int found = 0;
	for (int i = 1; i <= s.nr; i++)
		if (s.names[i] == key) {
			found = i;
			break;
		}
	if (!found && s.nr + 1 < MAX_CLASSES) {
		found = ++s.nr;
		s.names[found] = std::string(key);
	}
	host::ops().lock_release(s.lock);
	l->cls = found;
	return found;
}

void check_order(task_struct *t, spinlock_t *l, const kern::source_location &loc)
{
	int b = class_of(l);
	if (!b)
		return;
	auto &s = ld();
	for (int i = 0; i < t->nr_held; i++) {
		int a = const_cast<spinlock_t *>(t->held[i])->cls;
		if (!a || a == b)
			continue;
		if (s.after[b][a].load(std::memory_order_relaxed))
			kernel_bug("possible circular locking dependency: %s taken while holding %s "
				   "at %s:%u, but %s was taken while holding %s before",
				   s.names[b].c_str(), s.names[a].c_str(), loc.file_name(),
				   static_cast<unsigned>(loc.line()), s.names[a].c_str(),
				   s.names[b].c_str());
		s.after[a][b].store(1, std::memory_order_relaxed);
	}
}

void acquired(task_struct *t, spinlock_t *l)
{
	l->owner = t;
	t->preempt_count++;
	if (t->nr_held < MAX_HELD_LOCKS)
		t->held[t->nr_held] = l;
	t->nr_held++;
}

} // namespace

void lockdep_reset()
{
	auto &s = ld();
	host::ops().lock_acquire(s.lock);
	for (int a = 0; a < MAX_CLASSES; a++)
		for (int b = 0; b < MAX_CLASSES; b++)
			s.after[a][b].store(0, std::memory_order_relaxed);
	host::ops().lock_release(s.lock);
}

// ---------------------------------------------------------------- spin lock

void __spin_lock_init(spinlock_t *l, const char *name)
{
	l->locked.store(0);
	l->owner = nullptr;
	l->name = name;
	l->cls = 0;
}

void spin_lock(spinlock_t *l, kern::source_location loc)
{
	task_struct *t = get_current();
	if (l->owner == t && l->locked.load())
		kernel_bug("spinlock recursion: %s taken again by %s/%d at %s:%u",
			   l->name ? l->name : "?", t->comm, t->pid, loc.file_name(),
			   static_cast<unsigned>(loc.line()));
	check_order(t, l, loc);
	for (int spins = 0;; spins++) {
		if (!l->locked.exchange(1, std::memory_order_acquire))
			break;
		while (l->locked.load(std::memory_order_relaxed)) {
			if (++spins > 64)
				host::ops().thread_yield();
		}
	}
	acquired(t, l);
}

int spin_trylock(spinlock_t *l, kern::source_location loc)
{
	task_struct *t = get_current();
	if (l->locked.exchange(1, std::memory_order_acquire))
		return 0;
	acquired(t, l);
	return 1;
}

void spin_unlock(spinlock_t *l, kern::source_location loc)
{
	task_struct *t = get_current();
	if (!l->locked.load())
		kernel_bug("spinlock %s released at %s:%u while not locked", l->name ? l->name : "?",
			   loc.file_name(), static_cast<unsigned>(loc.line()));
	if (l->owner != t)
		kernel_bug("spinlock %s released by %s/%d at %s:%u, not its holder",
			   l->name ? l->name : "?", t->comm, t->pid, loc.file_name(),
			   static_cast<unsigned>(loc.line()));
	for (int i = (t->nr_held < MAX_HELD_LOCKS ? t->nr_held : MAX_HELD_LOCKS) - 1; i >= 0; i--) {
		if (t->held[i] == l) {
			for (int j = i; j + 1 < t->nr_held && j + 1 < MAX_HELD_LOCKS; j++)
				t->held[j] = t->held[j + 1];
			break;
		}
	}
	t->nr_held--;
	t->preempt_count--;
	l->owner = nullptr;
	l->locked.store(0, std::memory_order_release);
}

void spin_lock_irq(spinlock_t *l, kern::source_location loc)
{
	local_irq_disable();
	spin_lock(l, loc);
}

void spin_unlock_irq(spinlock_t *l, kern::source_location loc)
{
	spin_unlock(l, loc);
	local_irq_enable();
}

unsigned long __spin_lock_irqsave(spinlock_t *l, kern::source_location loc)
{
	unsigned long flags = __local_irq_save();
	spin_lock(l, loc);
	return flags;
}

void spin_unlock_irqrestore(spinlock_t *l, unsigned long flags, kern::source_location loc)
{
	spin_unlock(l, loc);
	local_irq_restore(flags);
}

bool spin_is_locked(const spinlock_t *l) { return l->locked.load() != 0; }
bool spin_held_by_current(const spinlock_t *l) { return l->locked.load() && l->owner == current; }

// ---------------------------------------------------------------- semaphore

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

// ---------------------------------------------------------------- wait queues

void init_waitqueue_head(wait_queue_head_t *q)
{
	q->lock.v.store(0);
	INIT_LIST_HEAD(&q->task_list);
}

void init_waitqueue_entry(wait_queue_t *w, task_struct *t)
{
	w->flags = 0;
	w->task = t;
	w->func = default_wake_function;
	INIT_LIST_HEAD(&w->task_list);
}

int default_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key)
{
	return wake_up_state(wait->task, mode);
}

int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key)
{
	int ret = default_wake_function(wait, mode, sync, key);
	if (ret)
		list_del_init(&wait->task_list);
	return ret;
}

void add_wait_queue(wait_queue_head_t *q, wait_queue_t *w)
{
	w->flags &= ~WQ_FLAG_EXCLUSIVE;
	raw_spin_lock(&q->lock);
	list_add(&w->task_list, &q->task_list);
	raw_spin_unlock(&q->lock);
}

void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *w)
{
	w->flags |= WQ_FLAG_EXCLUSIVE;
	raw_spin_lock(&q->lock);
	list_add_tail(&w->task_list, &q->task_list);
	raw_spin_unlock(&q->lock);
}

void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *w)
{
	raw_spin_lock(&q->lock);
	list_del(&w->task_list);
	raw_spin_unlock(&q->lock);
}

void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *w, long state)
{
	w->flags &= ~WQ_FLAG_EXCLUSIVE;
	raw_spin_lock(&q->lock);
	if (list_empty(&w->task_list))
		list_add(&w->task_list, &q->task_list);
	set_current_state(state);
	raw_spin_unlock(&q->lock);
}

void prepare_to_wait_exclusive(wait_queue_head_t *q, wait_queue_t *w, long state)
{
	w->flags |= WQ_FLAG_EXCLUSIVE;
	raw_spin_lock(&q->lock);
	if (list_empty(&w->task_list))
		list_add_tail(&w->task_list, &q->task_list);
	set_current_state(state);
	raw_spin_unlock(&q->lock);
}

void finish_wait(wait_queue_head_t *q, wait_queue_t *w)
{
	set_current_state(TASK_RUNNING);
	raw_spin_lock(&q->lock);
	if (!list_empty(&w->task_list))
		list_del_init(&w->task_list);
	raw_spin_unlock(&q->lock);
}

bool waitqueue_active(wait_queue_head_t *q)
{
	raw_spin_lock(&q->lock);
	bool r = !list_empty(&q->task_list);
	raw_spin_unlock(&q->lock);
	return r;
}

static void __wake_up_locked(wait_queue_head_t *q, unsigned mode, int nr_exclusive, void *key)
{
	list_head *p, *n;
	list_for_each_safe(p, n, &q->task_list)
	{
		wait_queue_t *w = list_entry(p, wait_queue_t, task_list);
		unsigned flags = w->flags;
		if (w->func(w, mode, 0, key) && (flags & WQ_FLAG_EXCLUSIVE) && !--nr_exclusive)
			break;
	}
}

void __wake_up(wait_queue_head_t *q, unsigned mode, int nr_exclusive, void *key)
{
	raw_spin_lock(&q->lock);
	__wake_up_locked(q, mode, nr_exclusive, key);
	raw_spin_unlock(&q->lock);
}

static long sleep_on_common(wait_queue_head_t *q, long state, long timeout)
{
	wait_queue_t w;
	init_waitqueue_entry(&w, get_current());
	set_current_state(state);
	add_wait_queue(q, &w);
	timeout = schedule_timeout(timeout);
	remove_wait_queue(q, &w);
	return timeout;
}

void sleep_on(wait_queue_head_t *q) { sleep_on_common(q, TASK_UNINTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT); }
long sleep_on_timeout(wait_queue_head_t *q, long t) { return sleep_on_common(q, TASK_UNINTERRUPTIBLE, t); }
void interruptible_sleep_on(wait_queue_head_t *q) { sleep_on_common(q, TASK_INTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT); }
long interruptible_sleep_on_timeout(wait_queue_head_t *q, long t) { return sleep_on_common(q, TASK_INTERRUPTIBLE, t); }

// ---------------------------------------------------------------- completions

void init_completion(completion *x)
{
	x->done = 0;
	init_waitqueue_head(&x->wait);
}

void complete(completion *x)
{
	raw_spin_lock(&x->wait.lock);
	x->done++;
	__wake_up_locked(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 1, nullptr);
	raw_spin_unlock(&x->wait.lock);
}

void complete_all(completion *x)
{
	raw_spin_lock(&x->wait.lock);
	x->done += UINT_MAX / 2;
	__wake_up_locked(&x->wait, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 0, nullptr);
	raw_spin_unlock(&x->wait.lock);
}

// Waits for x->done; returns the jiffies left (>= 1), 0 on timeout, -ERESTARTSYS on a
// signal when interruptible.
static long do_wait_for_common(completion *x, long timeout, long state,
			       const kern::source_location &loc)
{
	might_sleep(loc);
	task_struct *t = current;
	raw_spin_lock(&x->wait.lock);
	if (!x->done) {
		wait_queue_t w;
		init_waitqueue_entry(&w, t);
		w.flags |= WQ_FLAG_EXCLUSIVE;
		list_add_tail(&w.task_list, &x->wait.task_list);
		do {
			if (state == TASK_INTERRUPTIBLE && signal_pending(t)) {
				list_del(&w.task_list);
				raw_spin_unlock(&x->wait.lock);
				return -ERESTARTSYS;
			}
			set_current_state(state);
			raw_spin_unlock(&x->wait.lock);
			timeout = schedule_timeout(timeout, loc);
			raw_spin_lock(&x->wait.lock);
			if (!timeout && !x->done) {
				list_del(&w.task_list);
				raw_spin_unlock(&x->wait.lock);
				return 0;
			}
		} while (!x->done);
		list_del(&w.task_list);
	}
	x->done--;
	raw_spin_unlock(&x->wait.lock);
	return timeout > 0 ? timeout : 1;
}

void wait_for_completion(completion *x, kern::source_location loc)
{
	do_wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_UNINTERRUPTIBLE, loc);
}

unsigned long wait_for_completion_timeout(completion *x, unsigned long timeout,
					  kern::source_location loc)
{
	return static_cast<unsigned long>(
		do_wait_for_common(x, static_cast<long>(timeout), TASK_UNINTERRUPTIBLE, loc));
}

int wait_for_completion_interruptible(completion *x, kern::source_location loc)
{
	long r = do_wait_for_common(x, MAX_SCHEDULE_TIMEOUT, TASK_INTERRUPTIBLE, loc);
	return r < 0 ? static_cast<int>(r) : 0;
}

} // namespace kern
