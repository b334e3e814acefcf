// The raw spin lock: the kernel's own short internal lock, a spin on one word, never
// checked and never held across a sleep. Below the scheduler, so that task_struct and the
// locking primitives' own records can hold one.
#pragma once

#include <atomic>

namespace kern {

struct raw_spinlock_t {
	std::atomic<int> v{0};
};
void raw_spin_lock(raw_spinlock_t *l);
void raw_spin_unlock(raw_spinlock_t *l);

} // namespace kern
