// The lock checker. Locks belong to classes by name ("&cs->users_lock" and
// "q->queue_lock" name the classes "users_lock" and "queue_lock"); taking a class while
// holding another records their order, and taking two classes in both orders is reported
// as a possible circular locking dependency. What each task holds is recorded in its
// task_struct (held, nr_held).
#pragma once

#include <atomic>

#include "kernel/core/sched.h"
#include "kernel/lib/srcloc.h"

namespace kern {

// The class of a lock named `name`, cached in *cls; 0 when the table of classes is full.
int lock_class(const char *name, std::atomic<int> *cls);
// Before t takes a lock of class cls: reports a class it holds that was ever taken inside
// cls, and records cls as taken inside each class it holds.
void lockdep_check_order(task_struct *t, int cls, const kern::source_location &loc);
// Records that t holds `instance`, and that it no longer does.
void lock_held_push(task_struct *t, const void *instance, const char *name, int cls);
void lock_held_pop(task_struct *t, const void *instance);
// Forgets the order seen between classes (at boot, and for tests).
void lockdep_reset();

} // namespace kern
