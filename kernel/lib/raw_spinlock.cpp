#include "kernel/lib/raw_spinlock.h"

#include "kernel/host/hostops.h"

namespace kern {

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

} // namespace kern
