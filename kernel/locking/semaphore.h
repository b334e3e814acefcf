// Semaphores and read-write semaphores: sleeping locks, handed over directly to the
// waiter at the head of the queue when released.
//
// The lock checker follows those used as locks: a semaphore made with init_MUTEX (or
// DECLARE_MUTEX, or sema_init with a count of 1) is held by the task that took it, and
// one made with init_MUTEX_LOCKED is held by the task that made it, until it releases
// it; every rw-semaphore is. A semaphore made with another count is a counter or an
// event, taken and given by different tasks, and is not followed.
#pragma once

#include <atomic>

#include "kernel/core/sched.h"
#include "kernel/lib/list.h"
#include "kernel/lib/raw_spinlock.h"
#include "kernel/lib/srcloc.h"

namespace kern {

struct semaphore {
	raw_spinlock_t lock;
	int count = 0;
	list_head wait_list = {nullptr, nullptr};
	const char *name = nullptr;
	bool mutex = false;	// used as a lock: followed by the lock checker
	std::atomic<int> cls = 0;
	std::atomic<task_struct *> owner = nullptr;	// the checker's holder of a mutex
};
#define __SEMAPHORE_INITIALIZER(n, c, m)                                                           \
	::kern::semaphore{{}, c, ::kern::list_head_init((n).wait_list), #n, m, 0, nullptr}
#define DECLARE_MUTEX(n) ::kern::semaphore n = __SEMAPHORE_INITIALIZER(n, 1, true)
#define DECLARE_MUTEX_LOCKED(n) ::kern::semaphore n = __SEMAPHORE_INITIALIZER(n, 0, false)
// The name given is the lock class's (see lockdep.h).
void __sema_init(semaphore *s, int val, const char *name);
#define sema_init(s, val) ::kern::__sema_init((s), (val), #s)
#define init_MUTEX(s) ::kern::__sema_init((s), 1, #s)
// A mutex its maker holds from the start, and releases with up().
void __init_MUTEX_LOCKED(semaphore *s, const char *name);
#define init_MUTEX_LOCKED(s) ::kern::__init_MUTEX_LOCKED((s), #s)
void down(semaphore *s, kern::source_location loc = kern::source_location::current());
// 0, or -EINTR when a signal the task does not ignore arrives first.
int down_interruptible(semaphore *s, kern::source_location loc = kern::source_location::current());
// 0 when taken, 1 when not.
int down_trylock(semaphore *s);
void up(semaphore *s, kern::source_location loc = kern::source_location::current());
int sem_count(semaphore *s);	// current count (negative: -waiters), for reports
// The calling task keeps the mutex held, but no longer as its own: another task may
// release it (a freeze, held from freeze_bdev until a thaw that may come from anyone).
void sem_disown(semaphore *s);

// ---- read-write semaphore ----
struct rw_semaphore {
	raw_spinlock_t lock;
	int activity = 0;	// >0 readers, -1 writer
	list_head wait_list = {nullptr, nullptr};
	const char *name = nullptr;
	std::atomic<int> cls = 0;
	std::atomic<int> disowned = 0;	// holds that any task may release (rwsem_disown)
};
#define DECLARE_RWSEM(n) ::kern::rw_semaphore n{{}, 0, ::kern::list_head_init((n).wait_list), #n, 0, 0}
void __init_rwsem(rw_semaphore *s, const char *name);
#define init_rwsem(s) ::kern::__init_rwsem((s), #s)
void down_read(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
void down_write(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
int down_read_trylock(rw_semaphore *s);	// 1 when taken
int down_write_trylock(rw_semaphore *s);	// 1 when taken
void up_read(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
void up_write(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
// As sem_disown: the calling task's hold stays, for any task to release.
void rwsem_disown(rw_semaphore *s);

} // namespace kern
