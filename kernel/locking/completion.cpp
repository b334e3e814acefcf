#include "kernel/locking/completion.h"
#include "kernel/core/sched.h"
#include "kernel/host/hostops.h"

#include <climits>

namespace kern {

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
	H().preempt_point();
}

void complete_and_exit(completion *x, long code)
{
	if (x)
		complete(x);
	do_exit(code);
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
