// The lock checker. Locks belong to classes by name ("&cs->users_lock" and
// "q->queue_lock" name the classes "users_lock" and "queue_lock"). Taking a lock while
// holding others records, for each class held, that the new class comes after it; a
// lock that would close a cycle of that order, of any length, is reported as a possible
// circular locking dependency with the chain seen before, and so is a sleeping lock taken
// again by its holder. What each task holds is in its task_struct (held, nr_held).
// Spin locks, mutex-like semaphores and rw-semaphores are followed (see semaphore.h).
#pragma once

#include <atomic>

#include "kernel/core/sched.h"
#include "kernel/lib/srcloc.h"

namespace kern {

// The class of a lock named `name`, cached in *cls; 0 when the table of classes is full.
int lock_class(const char *name, std::atomic<int> *cls);
// Before t waits for a lock (or takes it at once): reports a sleeping lock t holds
// already, and a class order that closes a cycle; records the order. The lock's class.
int lockdep_acquire(task_struct *t, const void *instance, const char *name,
		    std::atomic<int> *cls, bool sleeping, const kern::source_location &loc);
// Records that t holds `instance` (kind: HELD_SPIN, HELD_MUTEX ...).
void lock_held_push(task_struct *t, const void *instance, const char *name, int cls,
		    unsigned char kind);
// Records that t no longer holds `instance`; false when t did not hold it.
bool lock_held_pop(task_struct *t, const void *instance);
// Forgets the classes' order (at boot, and for tests).
void lockdep_reset();

} // namespace kern
