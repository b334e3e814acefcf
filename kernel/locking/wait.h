// Spinlocks, semaphores, a read-write semaphore, wait queues and completions.
//
// Internal locks of these primitives are raw spin locks (never checked, never held
// across a sleep). spinlock_t is the checked kind: it counts as atomic context for
// its holder, has a lock class (its name) for the lock-order check, and must be
// released by its holder.
#pragma once

#include <atomic>
#include "kernel/lib/srcloc.h"

#include "kernel/lib/list.h"
#include "kernel/lib/raw_spinlock.h"
#include "kernel/core/sched.h"
#include "kernel/lib/types.h"

namespace kern {

// ---- checked spin lock ----
struct spinlock_t {
	std::atomic<int> locked{0};
	// Atomic: other tasks read these while spinning or checking for recursion.
	std::atomic<task_struct *> owner = nullptr;
	const char *name = nullptr;
	std::atomic<int> cls = 0;	// lock class, from the name at first use
};
#define SPIN_LOCK_UNLOCKED(n) ::kern::spinlock_t{{0}, nullptr, n, 0}
#define DEFINE_SPINLOCK(x) ::kern::spinlock_t x = SPIN_LOCK_UNLOCKED(#x)
void __spin_lock_init(spinlock_t *l, const char *name);
#define spin_lock_init(l) ::kern::__spin_lock_init((l), #l)

void spin_lock(spinlock_t *l, kern::source_location loc = kern::source_location::current());
void spin_unlock(spinlock_t *l, kern::source_location loc = kern::source_location::current());
int spin_trylock(spinlock_t *l, kern::source_location loc = kern::source_location::current());
void spin_lock_irq(spinlock_t *l, kern::source_location loc = kern::source_location::current());
void spin_unlock_irq(spinlock_t *l, kern::source_location loc = kern::source_location::current());
unsigned long __spin_lock_irqsave(spinlock_t *l,
				  kern::source_location loc = kern::source_location::current());
void spin_unlock_irqrestore(spinlock_t *l, unsigned long flags,
			    kern::source_location loc = kern::source_location::current());
#define spin_lock_irqsave(l, flags) ((flags) = ::kern::__spin_lock_irqsave(l))
inline void spin_lock_bh(spinlock_t *l) { spin_lock(l); }
inline void spin_unlock_bh(spinlock_t *l) { spin_unlock(l); }
bool spin_is_locked(const spinlock_t *l);
// The holder of l is current.
bool spin_held_by_current(const spinlock_t *l);

// Lock classes seen so far and the order between them (for tests).
void lockdep_reset();

// ---- semaphore ----
struct semaphore {
	raw_spinlock_t lock;
	int count = 0;
	list_head wait_list = {nullptr, nullptr};
	const char *name = nullptr;
};
#define __SEMAPHORE_INITIALIZER(n, c) ::kern::semaphore{{}, c, LIST_HEAD_INIT((n).wait_list), #n}
#define DECLARE_MUTEX(n) ::kern::semaphore n = __SEMAPHORE_INITIALIZER(n, 1)
#define DECLARE_MUTEX_LOCKED(n) ::kern::semaphore n = __SEMAPHORE_INITIALIZER(n, 0)
void sema_init(semaphore *s, int val);
inline void init_MUTEX(semaphore *s) { sema_init(s, 1); }
inline void init_MUTEX_LOCKED(semaphore *s) { sema_init(s, 0); }
void down(semaphore *s, kern::source_location loc = kern::source_location::current());
// 0, or -EINTR when a signal the task does not ignore arrives first.
int down_interruptible(semaphore *s, kern::source_location loc = kern::source_location::current());
// 0 when taken, 1 when not.
int down_trylock(semaphore *s);
void up(semaphore *s);
int sem_count(semaphore *s);	// current count (negative: -waiters), for reports

// ---- read-write semaphore ----
struct rw_semaphore {
	raw_spinlock_t lock;
	int activity = 0;	// >0 readers, -1 writer
	list_head wait_list = {nullptr, nullptr};
};
#define DECLARE_RWSEM(n) ::kern::rw_semaphore n{{}, 0, LIST_HEAD_INIT((n).wait_list)}
void init_rwsem(rw_semaphore *s);
void down_read(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
void down_write(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
int down_read_trylock(rw_semaphore *s);	// 1 when taken
int down_write_trylock(rw_semaphore *s);	// 1 when taken
void up_read(rw_semaphore *s);
void up_write(rw_semaphore *s);

// ---- wait queues ----
struct wait_queue_t;
using wait_queue_func_t = int (*)(wait_queue_t *wait, unsigned mode, int sync, void *key);
constexpr unsigned WQ_FLAG_EXCLUSIVE = 0x01;
struct wait_queue_t {
	unsigned flags;
	task_struct *task;
	wait_queue_func_t func;
	list_head task_list;
};
struct wait_queue_head_t {
	raw_spinlock_t lock;
	list_head task_list = {nullptr, nullptr};
};
#define __WAIT_QUEUE_HEAD_INITIALIZER(n) ::kern::wait_queue_head_t{{}, LIST_HEAD_INIT((n).task_list)}
#define DECLARE_WAIT_QUEUE_HEAD(n) ::kern::wait_queue_head_t n = __WAIT_QUEUE_HEAD_INITIALIZER(n)
void init_waitqueue_head(wait_queue_head_t *q);
int default_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key);
int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync, void *key);
#define DEFINE_WAIT(name)                                                                          \
	::kern::wait_queue_t name = {0, ::kern::get_current(), ::kern::autoremove_wake_function,   \
				     LIST_HEAD_INIT((name).task_list)}
#define DECLARE_WAITQUEUE(name, tsk)                                                               \
	::kern::wait_queue_t name = {0, tsk, ::kern::default_wake_function, {nullptr, nullptr}}
void init_waitqueue_entry(wait_queue_t *w, task_struct *t);
void add_wait_queue(wait_queue_head_t *q, wait_queue_t *w);
void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *w);
void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *w);
void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *w, long state);
void prepare_to_wait_exclusive(wait_queue_head_t *q, wait_queue_t *w, long state);
void finish_wait(wait_queue_head_t *q, wait_queue_t *w);
bool waitqueue_active(wait_queue_head_t *q);
void __wake_up(wait_queue_head_t *q, unsigned mode, int nr_exclusive, void *key);
inline void wake_up(wait_queue_head_t *q) { __wake_up(q, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 1, nullptr); }
inline void wake_up_nr(wait_queue_head_t *q, int nr) { __wake_up(q, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, nr, nullptr); }
inline void wake_up_all(wait_queue_head_t *q) { __wake_up(q, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE, 0, nullptr); }
inline void wake_up_interruptible(wait_queue_head_t *q) { __wake_up(q, TASK_INTERRUPTIBLE, 1, nullptr); }
inline void wake_up_interruptible_all(wait_queue_head_t *q) { __wake_up(q, TASK_INTERRUPTIBLE, 0, nullptr); }
void sleep_on(wait_queue_head_t *q);
long sleep_on_timeout(wait_queue_head_t *q, long timeout);
void interruptible_sleep_on(wait_queue_head_t *q);
long interruptible_sleep_on_timeout(wait_queue_head_t *q, long timeout);

#define wait_event(wq, condition)                                                                  \
	do {                                                                                       \
		if (condition)                                                                     \
			break;                                                                     \
		DEFINE_WAIT(__wait);                                                               \
		for (;;) {                                                                         \
			::kern::prepare_to_wait(&(wq), &__wait, ::kern::TASK_UNINTERRUPTIBLE);     \
			if (condition)                                                             \
				break;                                                             \
			::kern::schedule();                                                        \
		}                                                                                  \
		::kern::finish_wait(&(wq), &__wait);                                               \
	} while (0)

// 0, or -ERESTARTSYS when a signal arrived first.
#define wait_event_interruptible(wq, condition)                                                    \
	({                                                                                         \
		int __ret = 0;                                                                     \
		if (!(condition)) {                                                                \
			DEFINE_WAIT(__wait);                                                       \
			for (;;) {                                                                 \
				::kern::prepare_to_wait(&(wq), &__wait, ::kern::TASK_INTERRUPTIBLE); \
				if (condition)                                                     \
					break;                                                     \
				if (::kern::signal_pending(::kern::get_current())) {               \
					__ret = -ERESTARTSYS;                              \
					break;                                                     \
				}                                                                  \
				::kern::schedule();                                                \
			}                                                                          \
			::kern::finish_wait(&(wq), &__wait);                                       \
		}                                                                                  \
		__ret;                                                                             \
	})

// The jiffies left (at least 1) when the condition became true, 0 on timeout.
#define __wait_event_timeout_state(wq, condition, timeout, state, intr)                            \
	({                                                                                         \
		long __ret = (timeout);                                                            \
		if (!(condition)) {                                                                \
			DEFINE_WAIT(__wait);                                                       \
			for (;;) {                                                                 \
				::kern::prepare_to_wait(&(wq), &__wait, state);                    \
				if (condition)                                                     \
					break;                                                     \
				if (intr && ::kern::signal_pending(::kern::get_current())) {       \
					__ret = -ERESTARTSYS;                              \
					break;                                                     \
				}                                                                  \
				__ret = ::kern::schedule_timeout(__ret);                           \
				if (!__ret)                                                        \
					break;                                                     \
			}                                                                          \
			::kern::finish_wait(&(wq), &__wait);                                       \
			if (__ret == 0 && (condition))                                             \
				__ret = 1;                                                         \
		} else if (__ret == 0) {                                                           \
			__ret = 1;                                                                 \
		}                                                                                  \
		__ret;                                                                             \
	})
#define wait_event_timeout(wq, condition, timeout)                                                 \
	__wait_event_timeout_state(wq, condition, timeout, ::kern::TASK_UNINTERRUPTIBLE, false)
#define wait_event_interruptible_timeout(wq, condition, timeout)                                   \
	__wait_event_timeout_state(wq, condition, timeout, ::kern::TASK_INTERRUPTIBLE, true)

// ---- completions ----
struct completion {
	unsigned done = 0;
	wait_queue_head_t wait;
};
#define COMPLETION_INITIALIZER(w) ::kern::completion{0, __WAIT_QUEUE_HEAD_INITIALIZER((w).wait)}
#define DECLARE_COMPLETION(w) ::kern::completion w = COMPLETION_INITIALIZER(w)
void init_completion(completion *x);
inline void INIT_COMPLETION(completion &x) { x.done = 0; }
void complete(completion *x);
void complete_all(completion *x);
void wait_for_completion(completion *x, kern::source_location loc = kern::source_location::current());
// 0 on timeout, else the jiffies left (at least 1).
unsigned long wait_for_completion_timeout(completion *x, unsigned long timeout,
					  kern::source_location loc = kern::source_location::current());
// 0, or -ERESTARTSYS on a signal.
int wait_for_completion_interruptible(completion *x,
				      kern::source_location loc = kern::source_location::current());

} // namespace kern
