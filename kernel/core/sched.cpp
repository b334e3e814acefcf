#include "kernel/core/sched.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "kernel/host/hostops.h"
#include "kernel/internal.h"
#include "kernel/core/printk.h"
#include "kernel/locking/wait.h"

namespace kern {

thread_local task_struct *current = nullptr;

namespace {

struct task_table {
	host::host_lock *lock = nullptr;
	host::host_cond *exit_cond = nullptr;	// broadcast when any task ends
	list_head all = LIST_HEAD_INIT(all);
	pid_t next_pid = 1;
};

task_table &table()
{
	static task_table *t = [] {
		auto *tt = new task_table;
		tt->lock = host::ops().lock_create();
		tt->exit_cond = host::ops().cond_create();
		return tt;
	}();
	return *t;
}

const host::hostops &H() { return host::ops(); }

// Signals whose default action is to do nothing.
bool default_ignored(int sig)
{
	return sig == SIGCHLD || sig == SIGCONT || sig == SIGURG || sig == SIGWINCH;
}

u64 sigbit(int sig) { return 1ull << (sig - 1); }

// The blocked mask is changed by its task and read (and, for SIGKILL, changed) by
// senders on other threads.
std::atomic<u64> &blocked_of(task_struct *t) { return t->blocked; }

sighand_struct *new_sighand(const sighand_struct *from)
{
	auto *sh = new sighand_struct;
	atomic_set(&sh->count, 1);
	for (int i = 0; i <= KERN_NSIG; i++)
		sh->action[i] = from ? from->action[i].load() : SIG_DFL;
	return sh;
}

void put_sighand(sighand_struct *sh)
{
	if (sh && atomic_dec_and_test(&sh->count))
		delete sh;
}

void copy_comm(task_struct *t, const char *name)
{
	std::memset(t->comm, 0, sizeof(t->comm));
	std::strncpy(t->comm, name ? name : "", sizeof(t->comm) - 1);
}

task_struct *alloc_task(const char *comm, bool kthread)
{
	auto *t = new task_struct{};
	t->state = TASK_RUNNING;
	t->kthread = kthread;
	copy_comm(t, comm);	// no one else sees the task yet (and current may be unset)
	t->sleep_lock = H().lock_create();
	t->sleep_cond = H().cond_create();
	t->addr_limit = kthread ? KERNEL_DS : USER_DS;
	atomic_set(&t->usage, 1);
	INIT_LIST_HEAD(&t->tasks);
	return t;
}

void free_task(task_struct *t)
{
	put_sighand(t->sighand);
	H().cond_destroy(t->sleep_cond);
	H().lock_destroy(t->sleep_lock);
	delete t;
}

void link_task(task_struct *t)
{
	auto &tt = table();
	H().lock_acquire(tt.lock);
	t->pid = tt.next_pid++;
	t->tgid = t->pid;
	list_add_tail(&t->tasks, &tt.all);
	H().lock_release(tt.lock);
}

void unlink_task(task_struct *t)
{
	auto &tt = table();
	H().lock_acquire(tt.lock);
	list_del(&t->tasks);
	H().lock_release(tt.lock);
}

// Frees an adopted task when its host thread ends.
struct adopted_holder {
	task_struct *t = nullptr;
	~adopted_holder()
	{
		if (t) {
			if (!list_empty(&t->tasks))
				unlink_task(t);
			if (current == t)
				current = nullptr;
			put_task_struct(t);
		}
	}
};
thread_local adopted_holder adopted;

struct task_exit {
	long code;
};

void release_task_resources(task_struct *t)
{
	if (t->nr_held > 0)
		kernel_bug("task %s/%d exited with spinlock %s held", t->comm, t->pid,
			   t->held[t->nr_held - 1]->name ? t->held[t->nr_held - 1]->name : "?");
	exit_files(t);
	exit_mm(t);
}

void task_trampoline(void *arg)
{
	auto *t = static_cast<task_struct *>(arg);
	current = t;
	int code = 0;
	try {
		code = t->body();
	} catch (const task_killed &k) {
		code = 128 + k.sig;
	} catch (const task_exit &e) {
		code = static_cast<int>(e.code);
	}
	release_task_resources(t);
	t->body = nullptr;
	t->exit_code = code;
	auto &tt = table();
	H().lock_acquire(tt.lock);
	t->state = TASK_ZOMBIE;
	t->exited = true;
	H().cond_broadcast(tt.exit_cond);
	H().lock_release(tt.lock);
	current = nullptr;
}

} // namespace

void task_lock(task_struct *t)
{
	preempt_disable();	// a spin lock in 2.6.9: sleeping under it is caught
	raw_spin_lock(&t->alloc_lock);
}

void task_unlock(task_struct *t)
{
	raw_spin_unlock(&t->alloc_lock);
	preempt_enable();
}

void set_task_comm(task_struct *t, const char *name)
{
	task_lock(t);
	copy_comm(t, name);
	task_unlock(t);
}

char *get_task_comm(char *buf, task_struct *t)
{
	task_lock(t);
	std::memcpy(buf, t->comm, TASK_COMM_LEN);
	task_unlock(t);
	buf[TASK_COMM_LEN - 1] = '\0';
	return buf;
}

task_struct *adopt_current(const char *comm)
{
	if (adopted.t) {
		task_struct *old = adopted.t;
		adopted.t = nullptr;
		if (!list_empty(&old->tasks))
			unlink_task(old);
		put_task_struct(old);
	}
	current = nullptr;
	task_struct *t = alloc_task(comm, false);
	t->adopted = true;
	t->sighand = new_sighand(nullptr);
	link_task(t);
	adopted.t = t;
	current = t;
	return t;
}

task_struct *get_current()
{
	if (current)
		return current;
	return adopt_current("host");
}

void get_task_struct(task_struct *t) { atomic_inc(&t->usage); }

void put_task_struct(task_struct *t)
{
	if (atomic_dec_and_test(&t->usage))
		free_task(t);
}

task_struct *find_task_by_pid(pid_t pid)
{
	auto &tt = table();
	task_struct *found = nullptr;
	H().lock_acquire(tt.lock);
	list_head *p;
	list_for_each(p, &tt.all)
	{
		task_struct *t = list_entry(p, task_struct, tasks);
		if (t->pid == pid && !t->exited) {
			found = t;
			get_task_struct(t);
			break;
		}
	}
	H().lock_release(tt.lock);
	return found;
}

// ---------------------------------------------------------------- contexts

void kernel_bug(const char *fmt, ...)
{
	char buf[512];
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	printk(KERN_ERR "BUG: %s\n", buf);
	std::string msg = std::string("BUG: ") + buf;
	host::panic(msg.c_str());
}

void might_sleep(kern::source_location loc)
{
	task_struct *t = get_current();
	if (t->preempt_count > 0 || t->irqs_off > 0 || t->hardirq_count > 0) {
		char buf[512];
		std::snprintf(buf, sizeof(buf),
			      "BUG: sleeping function called from invalid context at %s:%u\n"
			      "in_atomic():%d, irqs_disabled():%d, in_interrupt():%d, task %s/%d%s%s",
			      loc.file_name(), static_cast<unsigned>(loc.line()),
			      t->preempt_count > 0, t->irqs_off > 0, t->hardirq_count > 0, t->comm,
			      t->pid, t->nr_held ? ", holding " : "",
			      t->nr_held ? (t->held[t->nr_held - 1]->name ? t->held[t->nr_held - 1]->name : "?") : "");
		printk(KERN_ERR "%s\n", buf);
		host::panic(buf);
	}
}

bool in_interrupt() { return get_current()->hardirq_count > 0; }
bool in_atomic() { return get_current()->preempt_count > 0 || get_current()->hardirq_count > 0; }
bool irqs_disabled() { return get_current()->irqs_off > 0; }
void irq_enter() { get_current()->hardirq_count++; }
void irq_exit() { get_current()->hardirq_count--; }
void local_irq_disable() { get_current()->irqs_off = 1; }
void local_irq_enable() { get_current()->irqs_off = 0; }

unsigned long __local_irq_save()
{
	task_struct *t = get_current();
	unsigned long old = t->irqs_off;
	t->irqs_off = 1;
	return old;
}

void local_irq_restore(unsigned long flags) { get_current()->irqs_off = static_cast<int>(flags); }
void preempt_disable() { get_current()->preempt_count++; }
void preempt_enable() { get_current()->preempt_count--; }

// ---------------------------------------------------------------- sleeping

void set_current_state(long state)
{
	get_current()->state.store(state);
	std::atomic_thread_fence(std::memory_order_seq_cst);
}

long schedule_timeout(long timeout, kern::source_location loc)
{
	might_sleep(loc);
	task_struct *t = current;
	bool forever = timeout == MAX_SCHEDULE_TIMEOUT;
	if (timeout < 0)
		timeout = 0;
	u64 expire = forever ? 0 : get_jiffies_64() + static_cast<u64>(timeout);
	u64 deadline = forever ? 0 : jiffies_to_host_ns(expire);

	bool slept = false;
	H().lock_acquire(t->sleep_lock);
	for (;;) {
		long st = t->state.load();
		if (st == TASK_RUNNING)
			break;
		if (st == TASK_INTERRUPTIBLE && signal_pending(t)) {
			t->state = TASK_RUNNING;
			break;
		}
		if (forever) {
			H().cond_wait(t->sleep_cond, t->sleep_lock);
		} else {
			if (get_jiffies_64() >= expire) {
				t->state = TASK_RUNNING;
				break;
			}
			H().cond_wait_until(t->sleep_cond, t->sleep_lock, deadline);
		}
		slept = true;
	}
	H().lock_release(t->sleep_lock);
	// Not put to sleep (still running, a signal pending, no time left): the scheduler
	// still runs others first, so loops that call schedule() this way do not spin hot.
	if (!slept)
		H().thread_yield();
	if (forever)
		return MAX_SCHEDULE_TIMEOUT;
	u64 now = get_jiffies_64();
	return now >= expire ? 0 : static_cast<long>(expire - now);
}

void schedule(kern::source_location loc) { schedule_timeout(MAX_SCHEDULE_TIMEOUT, loc); }

long schedule_timeout_interruptible(long timeout, kern::source_location loc)
{
	set_current_state(TASK_INTERRUPTIBLE);
	return schedule_timeout(timeout, loc);
}

long schedule_timeout_uninterruptible(long timeout, kern::source_location loc)
{
	set_current_state(TASK_UNINTERRUPTIBLE);
	return schedule_timeout(timeout, loc);
}

int wake_up_state(task_struct *t, long state)
{
	std::atomic_thread_fence(std::memory_order_seq_cst);
	int woke = 0;
	H().lock_acquire(t->sleep_lock);
	if (t->state.load() & state) {
		t->state = TASK_RUNNING;
		woke = 1;
		H().cond_broadcast(t->sleep_cond);
	}
	H().lock_release(t->sleep_lock);
	return woke;
}

int wake_up_process(task_struct *t)
{
	return wake_up_state(t, TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE | TASK_STOPPED);
}

void msleep(unsigned int ms, kern::source_location loc)
{
	long timeout = static_cast<long>(msecs_to_jiffies(ms)) + 1;
	while (timeout)
		timeout = schedule_timeout_uninterruptible(timeout, loc);
}

unsigned long msleep_interruptible(unsigned int ms, kern::source_location loc)
{
	long timeout = static_cast<long>(msecs_to_jiffies(ms)) + 1;
	while (timeout && !signal_pending(get_current()))
		timeout = schedule_timeout_interruptible(timeout, loc);
	return jiffies_to_msecs(static_cast<unsigned long>(timeout));
}

void yield()
{
	might_sleep();
	H().thread_yield();
}

void cond_resched()
{
	might_sleep();
	H().thread_yield();
}

// ---------------------------------------------------------------- signals

bool signal_pending(task_struct *t) { return (t->pending.load() & ~blocked_of(t).load()) != 0; }

bool fatal_signal_pending(task_struct *t)
{
	u64 p = t->pending.load() & ~blocked_of(t).load();
	if (p & sigbit(SIGKILL))
		return true;
	if (t->kthread || !t->sighand)
		return false;
	for (int sig = 1; sig <= KERN_NSIG; sig++)
		if ((p & sigbit(sig)) && t->sighand->action[sig] == SIG_DFL && !default_ignored(sig))
			return true;
	return false;
}

int send_sig(int sig, task_struct *t, int priv)
{
	if (sig < 1 || sig > KERN_NSIG)
		return -EINVAL;
	if (t->exited)
		return -ESRCH;
	// Ignored signals are discarded at send time. SIGKILL and SIGSTOP too: sig_action
	// refuses to ignore them, so only the kernel itself (daemonize, or a driver setting
	// the dispositions directly) can have made them so. Halt sets SIGKILL pending
	// without coming here.
	sighand_struct *sh = std::atomic_ref<sighand_struct *>(t->sighand).load();
	if (sh) {
		sighandler_t h = sh->action[sig];
		if (h == SIG_IGN || (h == SIG_DFL && default_ignored(sig)))
			return 0;
	}
	t->pending.fetch_or(sigbit(sig));
	if (sig == SIGKILL)
		blocked_of(t).fetch_and(~sigbit(SIGKILL));
	if (signal_pending(t))
		wake_up_state(t, TASK_INTERRUPTIBLE | TASK_STOPPED);
	return 0;
}

int kill_proc(pid_t pid, int sig, int priv)
{
	task_struct *t = find_task_by_pid(pid);
	if (!t)
		return -ESRCH;
	int r = send_sig(sig, t, priv);
	put_task_struct(t);
	return r;
}

void flush_signals(task_struct *t) { t->pending = 0; }

sighandler_t sig_action(int sig, sighandler_t handler)
{
	task_struct *t = get_current();
	if (sig < 1 || sig > KERN_NSIG || sig == SIGKILL || sig == SIGSTOP)
		return SIG_ERR;
	if (!t->sighand)
		t->sighand = new_sighand(nullptr);
	sighandler_t old = t->sighand->action[sig].exchange(handler);
	if (handler == SIG_IGN)
		t->pending.fetch_and(~sigbit(sig));
	return old;
}

void allow_signal(int sig)
{
	task_struct *t = get_current();
	blocked_of(t).fetch_and(~sigbit(sig));
	// Any value other than SIG_IGN lets the signal be queued.
	t->sighand->action[sig] = reinterpret_cast<sighandler_t>(2);
}

void disallow_signal(int sig)
{
	task_struct *t = get_current();
	blocked_of(t).fetch_or(sigbit(sig));
	t->sighand->action[sig] = SIG_IGN;
	t->pending.fetch_and(~sigbit(sig));
}

int dequeue_signal_current()
{
	task_struct *t = get_current();
	u64 p = t->pending.load() & ~blocked_of(t).load();
	for (int sig = 1; sig <= KERN_NSIG; sig++) {
		if (p & sigbit(sig)) {
			t->pending.fetch_and(~sigbit(sig));
			return sig;
		}
	}
	return 0;
}

// ---------------------------------------------------------------- tasks

task_struct *create_task(const char *comm, bool kthread, unsigned long clone_flags,
			 std::function<int()> body)
{
	reap_dead_tasks();
	task_struct *parent = get_current();
	task_struct *t = alloc_task(comm, kthread);
	t->parent = parent;
	t->nice = parent->nice;
	if ((clone_flags & CLONE_SIGHAND) && parent->sighand) {
		t->sighand = parent->sighand;
		atomic_inc(&t->sighand->count);
	} else {
		t->sighand = new_sighand(kthread ? parent->sighand : nullptr);
	}
	if (!kthread)
		t->mm = copy_mm_for(parent);
	t->files = dup_files_for(parent, (clone_flags & CLONE_FILES) != 0);
	t->body = std::move(body);
	link_task(t);
	get_task_struct(t);	// the caller's reference
	// Under the task list lock: a quick task may end and be reaped by another thread
	// before thread_start returns, and the reaper must see the handle to join it.
	auto &tt = table();
	H().lock_acquire(tt.lock);
	int rc = H().thread_start(&t->thread, task_trampoline, t);
	H().lock_release(tt.lock);
	if (rc) {
		unlink_task(t);
		exit_files(t);
		exit_mm(t);
		put_task_struct(t);
		put_task_struct(t);
		return ERR_PTR<task_struct>(rc);
	}
	return t;
}

int task_wait(task_struct *t)
{
	auto &tt = table();
	H().lock_acquire(tt.lock);
	while (!t->exited)
		H().cond_wait(tt.exit_cond, tt.lock);
	host::host_thread *th = t->thread;
	t->thread = nullptr;
	H().lock_release(tt.lock);
	if (th)
		H().thread_join(th);
	int code = t->exit_code;
	H().lock_acquire(tt.lock);
	bool linked = !list_empty(&t->tasks);
	if (linked)
		list_del(&t->tasks);
	H().lock_release(tt.lock);
	if (linked)
		put_task_struct(t);	// the task list's reference
	return code;
}

// With the task list lock held: takes the thread handles of tasks leaving the list.
static std::vector<host::host_thread *> take_threads(std::vector<task_struct *> &dead)
{
	std::vector<host::host_thread *> threads;
	for (task_struct *t : dead) {
		threads.push_back(t->thread);
		t->thread = nullptr;
	}
	return threads;
}

static void join_and_put(std::vector<task_struct *> &dead,
			 std::vector<host::host_thread *> &threads)
{
	for (size_t i = 0; i < dead.size(); i++) {
		if (threads[i])
			H().thread_join(threads[i]);
		put_task_struct(dead[i]);
	}
}

void reap_dead_tasks()
{
	auto &tt = table();
	std::vector<task_struct *> dead;
	H().lock_acquire(tt.lock);
	list_head *p, *n;
	list_for_each_safe(p, n, &tt.all)
	{
		task_struct *t = list_entry(p, task_struct, tasks);
		if (t->kthread && t->exited) {
			list_del(&t->tasks);
			dead.push_back(t);
		}
	}
	// Handles are taken under the lock so that a task_wait on the same task cannot
	// join its thread a second time.
	std::vector<host::host_thread *> threads = take_threads(dead);
	H().lock_release(tt.lock);
	join_and_put(dead, threads);
}

int nr_running_tasks()
{
	auto &tt = table();
	int n = 0;
	H().lock_acquire(tt.lock);
	list_head *p;
	list_for_each(p, &tt.all)
	{
		task_struct *t = list_entry(p, task_struct, tasks);
		if (!t->adopted && !t->exited && t != current)
			n++;
	}
	H().lock_release(tt.lock);
	return n;
}

void for_each_task(const std::function<void(task_struct *)> &fn)
{
	auto &tt = table();
	H().lock_acquire(tt.lock);
	list_head *p;
	list_for_each(p, &tt.all) fn(list_entry(p, task_struct, tasks));
	H().lock_release(tt.lock);
}

void tasks_boot()
{
	auto &tt = table();
	H().lock_acquire(tt.lock);
	tt.next_pid = 1;
	H().lock_release(tt.lock);
}

int tasks_halt(unsigned real_ms, std::vector<std::string> *problems)
{
	auto &tt = table();
	// Ask every task to end: a fatal signal ends interruptible waits and makes
	// processes leave at their next system-call boundary.
	std::vector<task_struct *> live;
	H().lock_acquire(tt.lock);
	list_head *p;
	list_for_each(p, &tt.all)
	{
		task_struct *t = list_entry(p, task_struct, tasks);
		if (!t->adopted && !t->exited && t != current) {
			get_task_struct(t);
			live.push_back(t);
		}
	}
	H().lock_release(tt.lock);
	for (task_struct *t : live) {
		t->pending.fetch_or(sigbit(SIGKILL));
		blocked_of(t).fetch_and(~sigbit(SIGKILL));
		wake_up_state(t, TASK_INTERRUPTIBLE);
	}
	u64 deadline = H().monotonic_ns() + static_cast<u64>(real_ms) * 1000000ull;
	H().lock_acquire(tt.lock);
	for (;;) {
		bool all = true;
		for (task_struct *t : live)
			all = all && t->exited;
		if (all || !H().cond_wait_until(tt.exit_cond, tt.lock, deadline))
			if (all || H().monotonic_ns() >= deadline)
				break;
	}
	H().lock_release(tt.lock);
	int stuck = 0;
	for (task_struct *t : live) {
		if (!t->exited) {
			stuck++;
			char comm[TASK_COMM_LEN];
			if (problems)
				problems->push_back(std::string("task ") + get_task_comm(comm, t) +
						    " (pid " + std::to_string(t->pid) + ") still running");
			continue;	// cannot be joined: leave it and its memory alone
		}
		put_task_struct(t);
	}
	// Join and free every ended task; detach adopted ones from the list.
	std::vector<task_struct *> dead;
	H().lock_acquire(tt.lock);
	list_head *n;
	list_for_each_safe(p, n, &tt.all)
	{
		task_struct *t = list_entry(p, task_struct, tasks);
		if (t->exited || (t->adopted && t != current)) {
			list_del(&t->tasks);
			if (t->exited)
				dead.push_back(t);
		}
	}
	std::vector<host::host_thread *> threads = take_threads(dead);
	H().lock_release(tt.lock);
	join_and_put(dead, threads);
	return stuck;
}

// ---------------------------------------------------------------- kernel threads

int kernel_thread(int (*fn)(void *), void *arg, unsigned long flags)
{
	task_struct *cur = get_current();
	task_struct *t = create_task(cur->comm, true, flags, [fn, arg] { return fn(arg); });
	if (IS_ERR(t))
		return static_cast<int>(PTR_ERR(t));
	pid_t pid = t->pid;
	put_task_struct(t);
	return pid;
}

void daemonize(const char *fmt, ...)
{
	task_struct *t = get_current();
	char name[TASK_COMM_LEN * 2];
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(name, sizeof(name), fmt, ap);
	va_end(ap);
	set_task_comm(t, name);
	exit_mm(t);
	exit_files(t);
	// A daemon ignores and blocks every signal until it allows one.
	// Change the dispositions in place when the task has them to itself: a sender on
	// another thread may be reading them, and must not find them freed under it.
	sighand_struct *sh = t->sighand;
	if (!sh || atomic_read(&sh->count) != 1) {
		sh = new_sighand(nullptr);
		sighand_struct *old = t->sighand;
		std::atomic_ref<sighand_struct *>(t->sighand).store(sh);
		put_sighand(old);
	}
	for (int i = 1; i <= KERN_NSIG; i++)
		sh->action[i] = SIG_IGN;
	blocked_of(t).store(~0ull);
	t->pending = 0;
	t->addr_limit = KERNEL_DS;
}

void set_user_nice(task_struct *p, long nice)
{
	if (nice < -20)
		nice = -20;
	if (nice > 19)
		nice = 19;
	p->nice = static_cast<int>(nice);
}

void do_exit(long code) { throw task_exit{code}; }

} // namespace kern
