// Tasks, sleeping and waking, kernel threads and the context checks.
//
// Every host thread that runs kernel code has a task_struct (`current`). A task sleeps
// by setting its state and calling schedule(); a waker sets it back to TASK_RUNNING.
// Sleeping while holding a spinlock, with interrupts disabled or in interrupt context
// is a bug and aborts.
#pragma once

#include <atomic>
#include <functional>
#include "kernel/lib/srcloc.h"
#include <string>
#include <vector>

#include "kernel/lib/atomic.h"
#include "kernel/lib/list.h"
#include "kernel/lib/raw_spinlock.h"
#include "kernel/core/signal.h"
#include "kernel/core/time.h"
#include "kernel/lib/types.h"

namespace kern {

namespace host {
struct host_thread;
struct host_lock;
struct host_cond;
} // namespace host

struct mm_struct;
struct files_struct;

enum : long {
	TASK_RUNNING = 0,
	TASK_INTERRUPTIBLE = 1,
	TASK_UNINTERRUPTIBLE = 2,
	TASK_STOPPED = 4,
	TASK_ZOMBIE = 32,
	TASK_DEAD = 64,
};

// Process flags (2.6.9 values)
enum : unsigned long {
	PF_STARTING = 0x00000002,
	PF_EXITING = 0x00000004,
	PF_DEAD = 0x00000008,
	PF_FORKNOEXEC = 0x00000040,
	PF_SUPERPRIV = 0x00000100,
	PF_SIGNALED = 0x00000400,
	PF_MEMALLOC = 0x00000800,
	PF_FLUSHER = 0x00001000,
	PF_FREEZE = 0x00004000,
	PF_NOFREEZE = 0x00008000,
	PF_FROZEN = 0x00010000,
	PF_FSTRANS = 0x00020000,
	PF_KSWAPD = 0x00040000,
	PF_LESS_THROTTLE = 0x00100000,
	PF_SYNCWRITE = 0x00200000,
};

} // namespace kern

// clone flags are macros, as in the kernel (same values as the host's).
#ifndef CSIGNAL
#define CSIGNAL 0x000000ff
#endif
#ifndef CLONE_VM
#define CLONE_VM 0x00000100
#endif
#ifndef CLONE_FS
#define CLONE_FS 0x00000200
#endif
#ifndef CLONE_FILES
#define CLONE_FILES 0x00000400
#endif
#ifndef CLONE_SIGHAND
#define CLONE_SIGHAND 0x00000800
#endif
#define CLONE_KERNEL (CLONE_FS | CLONE_FILES | CLONE_SIGHAND)

namespace kern {

constexpr unsigned long KERNEL_DS = ~0ul;
constexpr unsigned long TASK_SIZE = 0xC0000000ul;
constexpr unsigned long USER_DS = TASK_SIZE;

constexpr int MAX_HELD_LOCKS = 48;
constexpr int TASK_COMM_LEN = 16;

// How a lock is held.
enum : unsigned char { HELD_SPIN, HELD_MUTEX, HELD_READ, HELD_WRITE };

// A lock its task holds, as the lock checker recorded it when taken: the lock, its name
// for reports, its class for the order check (0 when it has none), and how it is held.
struct held_lock {
	const void *instance;
	const char *name;
	int cls;
	unsigned char kind;
};

struct task_struct {
	std::atomic<long> state;
	unsigned long flags;
	pid_t pid;
	pid_t tgid;
	// Guards comm against other tasks (task_lock). Taken inside the task list lock,
	// never the other way round; nothing sleeps while holding it.
	raw_spinlock_t alloc_lock;
	char comm[TASK_COMM_LEN];
	int nice;
	bool kthread;		// a kernel thread (no user space of its own)
	bool adopted;		// a host thread given a task on first use

	// context tracking for the sleeping rules
	int preempt_count;	// spinlocks held
	int irqs_off;		// local interrupts disabled
	int hardirq_count;	// running a completion in interrupt context
	held_lock held[MAX_HELD_LOCKS];
	int nr_held;

	// sleeping
	host::host_lock *sleep_lock;
	host::host_cond *sleep_cond;

	// signals
	std::atomic<u64> pending;	// bit n-1 for signal n
	std::atomic<u64> blocked;	// written by senders of SIGKILL too
	sighand_struct *sighand;

	// resources
	mm_struct *mm;
	files_struct *files;
	unsigned long addr_limit;	// get_fs/set_fs

	// lifecycle
	task_struct *parent;
	list_head tasks;		// all tasks
	atomic_t usage;
	host::host_thread *thread;
	int exit_code;
	std::atomic<bool> exited;
	// What the task runs; held by pointer so that task_struct stays standard-layout, as
	// list_entry's offsetof needs.
	std::function<int()> *body;
};

extern thread_local task_struct *current;

// The calling thread's task; a host thread without one is adopted as a process
// named "host" the first time it enters the kernel.
task_struct *get_current();

void get_task_struct(task_struct *t);
void put_task_struct(task_struct *t);
task_struct *find_task_by_pid(pid_t pid);	// takes a reference

// ---- sleeping and waking ----
void set_current_state(long state);
inline void __set_current_state(long state) { set_current_state(state); }
void schedule(kern::source_location loc = kern::source_location::current());
long schedule_timeout(long timeout, kern::source_location loc = kern::source_location::current());
long schedule_timeout_interruptible(long timeout,
				    kern::source_location loc = kern::source_location::current());
long schedule_timeout_uninterruptible(long timeout,
				      kern::source_location loc = kern::source_location::current());
int wake_up_process(task_struct *t);
int wake_up_state(task_struct *t, long state);
void msleep(unsigned int ms, kern::source_location loc = kern::source_location::current());
unsigned long msleep_interruptible(unsigned int ms,
				   kern::source_location loc = kern::source_location::current());
void yield();
void cond_resched();

// ---- context checks ----
// Reports "BUG: sleeping function called from invalid context" and aborts when the
// caller may not sleep.
void might_sleep(kern::source_location loc = kern::source_location::current());
bool in_interrupt();
bool in_atomic();
bool irqs_disabled();
void irq_enter();	// a completion thread enters interrupt context
void irq_exit();
void local_irq_disable();
void local_irq_enable();
unsigned long __local_irq_save();
void local_irq_restore(unsigned long flags);
#define local_irq_save(flags) ((flags) = ::kern::__local_irq_save())
void preempt_disable();
void preempt_enable();
// The last lock t holds (the last spin lock when spin_only), or null, for reports.
const held_lock *last_held_lock(const task_struct *t, bool spin_only);
// Prints "BUG: ..." with the message and aborts.
[[noreturn]] void kernel_bug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#define BUG() ::kern::kernel_bug("kernel BUG at %s:%d!", __FILE__, __LINE__)
#define BUG_ON(c)                                                                                  \
	do {                                                                                       \
		if (unlikely(c))                                                                   \
			BUG();                                                                     \
	} while (0)

// ---- kernel threads ----
int kernel_thread(int (*fn)(void *), void *arg, unsigned long flags);
void daemonize(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void set_user_nice(task_struct *p, long nice);
// The task's own lock for its name, as in 2.6.9 (it covers comm; a task renaming
// itself takes it too). Holding it is atomic context: no sleeping until task_unlock.
void task_lock(task_struct *t);
void task_unlock(task_struct *t);
// Renames t (cut to TASK_COMM_LEN - 1) under its task lock.
void set_task_comm(task_struct *t, const char *name);
// Copies t's name into buf (TASK_COMM_LEN bytes) under its task lock; returns buf.
// How anything but the task itself reads another task's name.
char *get_task_comm(char *buf, task_struct *t);
// Makes the calling thread leave the kernel at once (its body returns `code`).
[[noreturn]] void do_exit(long code);

// ---- tasks for the machine ----
// Starts a task on a new host thread running body. The new task shares or copies
// resources of current according to clone_flags. Returns the task with a reference
// for the caller, or ERR_PTR (-ENOMEM when its record or address space cannot be had).
// May sleep.
task_struct *create_task(const char *comm, bool kthread, unsigned long clone_flags,
			 std::function<int()> body);
// Waits for the task to end, joins its thread and returns its exit code.
int task_wait(task_struct *t);
// Number of tasks that have not ended (adopted host threads excluded).
int nr_running_tasks();
// Calls fn for each live task under the task list lock (fn must not sleep).
void for_each_task(const std::function<void(task_struct *)> &fn);
// Joins the threads of kernel threads that have ended.
void reap_dead_tasks();
// Resets pid numbering and the task list at boot; at halt, gives tasks `real_ms` to end.
void tasks_boot();
int tasks_halt(unsigned real_ms, std::vector<std::string> *problems);

// Gives the calling host thread a fresh task (replacing one it was given before).
task_struct *adopt_current(const char *comm);

// Drops the calling thread's adopted task (init's, or a host thread's): halt's last
// step, so that the record is not left over at its leak report.
void drop_current_task();

// Resource hooks implemented by the memory and file layers.
// Memory for a task record from the task cache: for a task being created it may sleep
// and fail (null; fault point "kmem_cache_alloc:task_struct"); for a thread being
// adopted (already in the kernel, perhaps atomic) it neither sleeps nor fails.
void *alloc_task_struct(bool adopting);
void free_task_struct(void *p);
void exit_mm(task_struct *t);
void exit_files(task_struct *t);
mm_struct *copy_mm_for(task_struct *parent);	// a new empty address space for a process, or null
files_struct *dup_files_for(task_struct *parent, bool share);

} // namespace kern
