// Wait queues and the wait_event family: a task sleeps on a queue until a condition holds
// and a waker wakes the queue.
#pragma once

#include "kernel/core/sched.h"
#include "kernel/lib/list.h"
#include "kernel/lib/raw_spinlock.h"

namespace kern {

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
#define __WAIT_QUEUE_HEAD_INITIALIZER(n) ::kern::wait_queue_head_t{{}, ::kern::list_head_init((n).task_list)}
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
// As __wake_up, with q->lock held by the caller.
void __wake_up_locked(wait_queue_head_t *q, unsigned mode, int nr_exclusive, void *key);
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

} // namespace kern
