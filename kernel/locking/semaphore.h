// Semaphores and read-write semaphores: sleeping locks, handed over directly to the
// waiter at the head of the queue when released.
#pragma once

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
};
#define __SEMAPHORE_INITIALIZER(n, c) ::kern::semaphore{{}, c, LIST_HEAD_INIT((n).wait_list), #n}
#define DECLARE_MUTEX(n) ::kern::semaphore n = __SEMAPHORE_INITIALIZER(n, 1)
#define DECLARE_MUTEX_LOCKED(n) ::kern::semaphore n = __SEMAPHORE_INITIALIZER(n, 0)
void sema_init(semaphore *s, int val);
inline void init_MUTEX(semaphore *s) { sema_init(s, 1); }
inline void init_MUTEX_LOCKED(semaphore *s) { sema_init(s, 0); }
void down(semaphore *s, kern::source_location loc = kern::source_location::current());
// 0, or -EINTR when a signal the task does not ignore arrives first.
int down_interruptible(semaphore *s, kern::source_location loc = kern::source_location::current());
// 0 when taken, 1 when not.
int down_trylock(semaphore *s);
void up(semaphore *s);
int sem_count(semaphore *s);	// current count (negative: -waiters), for reports

// ---- read-write semaphore ----
struct rw_semaphore {
	raw_spinlock_t lock;
	int activity = 0;	// >0 readers, -1 writer
	list_head wait_list = {nullptr, nullptr};
};
#define DECLARE_RWSEM(n) ::kern::rw_semaphore n{{}, 0, LIST_HEAD_INIT((n).wait_list)}
void init_rwsem(rw_semaphore *s);
void down_read(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
void down_write(rw_semaphore *s, kern::source_location loc = kern::source_location::current());
int down_read_trylock(rw_semaphore *s);	// 1 when taken
int down_write_trylock(rw_semaphore *s);	// 1 when taken
void up_read(rw_semaphore *s);
void up_write(rw_semaphore *s);

} // namespace kern
