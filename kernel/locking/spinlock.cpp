#include "kernel/locking/spinlock.h"

#include "kernel/host/hostops.h"
#include "kernel/locking/lockdep.h"

namespace kern {

namespace {

void acquired(task_struct *t, spinlock_t *l, int cls)
{
	l->owner = t;
	t->preempt_count++;
	lock_held_push(t, l, l->name, cls, HELD_SPIN);
}

} // namespace

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
	int cls = lockdep_acquire(t, l, l->name, &l->cls, false, loc);
	host::ops().preempt_point();
	for (int spins = 0;; spins++) {
		if (!l->locked.exchange(1, std::memory_order_acquire))
			break;
		while (l->locked.load(std::memory_order_relaxed)) {
			if (++spins > 64)
				host::ops().thread_yield();
		}
	}
	acquired(t, l, cls);
}

int spin_trylock(spinlock_t *l, kern::source_location loc)
{
	task_struct *t = get_current();
	if (l->locked.exchange(1, std::memory_order_acquire))
		return 0;
	// Taken without waiting, so it cannot close a cycle; later locks are ordered after it.
	acquired(t, l, lock_class(l->name, &l->cls));
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
	lock_held_pop(t, l);
	t->preempt_count--;
	l->owner = nullptr;
	l->locked.store(0, std::memory_order_release);
	host::ops().preempt_point();
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

} // namespace kern
