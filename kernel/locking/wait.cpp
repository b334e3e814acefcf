#include "kernel/locking/wait.h"
#include "kernel/host/hostops.h"

namespace kern {

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

void __wake_up_locked(wait_queue_head_t *q, unsigned mode, int nr_exclusive, void *key)
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
	H().preempt_point();
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

} // namespace kern
