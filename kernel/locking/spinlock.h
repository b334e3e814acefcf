// The checked spin lock. Its holder is in atomic context (sleeping is a bug), it belongs
// to a lock class (its name) for the lock-order check, and only its holder may release it.
// The kernel's own short internal locks are raw spin locks (lib/raw_spinlock.h).
#pragma once

#include <atomic>

#include "kernel/core/sched.h"
#include "kernel/lib/srcloc.h"

namespace kern {

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

} // namespace kern
