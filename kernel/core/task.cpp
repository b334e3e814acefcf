// Tasks: the task list and pids, the task of each host thread, creation, ending, waiting
// and reaping, and the name each task carries.
#include "kernel/core/sched.h"

#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "kernel/host/hostops.h"

namespace kern {

thread_local task_struct *current = nullptr;

// The task list finds tasks with list_entry, whose offsetof needs a standard layout.
static_assert(std::is_standard_layout_v<task_struct>);

namespace {

struct task_table {
	host::host_lock *lock = nullptr;
	host::host_cond *exit_cond = nullptr;	// broadcast when any task ends
	list_head all = LIST_HEAD_INIT(all);
	// Tasks an earlier machine's halt could not end: no longer found by pid or counted
	// as the machine's own, reaped once they end.
	list_head stale = LIST_HEAD_INIT(stale);
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

void copy_comm(task_struct *t, const char *name)
{
	std::memset(t->comm, 0, sizeof(t->comm));
	std::strncpy(t->comm, name ? name : "", sizeof(t->comm) - 1);
}

// A fresh record, or null when the task cache has none to give.
task_struct *alloc_task(const char *comm, bool kthread, bool adopting)
{
	void *mem = alloc_task_struct(adopting);
	if (!mem)
		return nullptr;
	auto *t = new (mem) task_struct{};
	t->state = TASK_RUNNING;
	t->kthread = kthread;
	copy_comm(t, comm);	// no one else sees the task yet (and current may be unset)
	t->sleep_lock = H().lock_create();
	t->sleep_cond = H().cond_create();
	t->addr_limit = kthread ? KERNEL_DS : USER_DS;
	// As in Linux, a kernel thread takes no signal it has not allowed (allow_signal).
	t->blocked = kthread ? ~0ull : 0;
	atomic_set(&t->usage, 1);
	INIT_LIST_HEAD(&t->tasks);
	return t;
}

void free_task(task_struct *t)
{
	put_sighand(t->sighand);
	delete t->body;	// a task whose thread never started
	H().cond_destroy(t->sleep_cond);
	H().lock_destroy(t->sleep_lock);
	t->~task_struct();
	free_task_struct(t);
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

// An adopted task leaves the task list; a thread that entered a process gives back its
// share of the process's files and address space.
void release_adopted(task_struct *t)
{
	exit_files(t);
	exit_mm(t);
	if (!list_empty(&t->tasks))
		unlink_task(t);
}

// Frees an adopted task when its host thread ends.
struct adopted_holder {
	task_struct *t = nullptr;
	~adopted_holder()
	{
		if (t) {
			release_adopted(t);
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
	if (const held_lock *spin = last_held_lock(t, true))
		kernel_bug("task %s/%d exited with spinlock %s held", t->comm, t->pid,
			   spin->name ?: "?");
	if (const held_lock *l = last_held_lock(t, false))
		kernel_bug("task %s/%d exited with lock %s held", t->comm, t->pid, l->name ?: "?");
	exit_files(t);
	exit_mm(t);
}

void task_trampoline(void *arg)
{
	auto *t = static_cast<task_struct *>(arg);
	current = t;
	int code = 0;
	try {
		code = (*t->body)();
	} catch (const task_killed &k) {
		code = 128 + k.sig;
	} catch (const task_exit &e) {
		code = static_cast<int>(e.code);
	}
	release_task_resources(t);
	delete std::exchange(t->body, nullptr);
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
		release_adopted(old);
		put_task_struct(old);
	}
	current = nullptr;
	task_struct *t = alloc_task(comm, false, true);
	t->adopted = true;
	t->sighand = new_sighand(nullptr);
	link_task(t);
	adopted.t = t;
	current = t;
	return t;
}

void drop_current_task()
{
	task_struct *t = adopted.t;
	if (!t)
		return;
	adopted.t = nullptr;
	release_adopted(t);
	if (current == t)
		current = nullptr;
	put_task_struct(t);
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

task_struct *create_task(const char *comm, bool kthread, unsigned long clone_flags,
			 std::function<int()> body)
{
	reap_dead_tasks();
	task_struct *parent = get_current();
	task_struct *t = alloc_task(comm, kthread, false);
	if (!t)
		return ERR_PTR<task_struct>(-ENOMEM);
	t->parent = parent;
	t->nice = parent->nice;
	if ((clone_flags & CLONE_SIGHAND) && parent->sighand) {
		t->sighand = parent->sighand;
		atomic_inc(&t->sighand->count);
	} else {
		t->sighand = new_sighand(kthread ? parent->sighand : nullptr);
	}
	if (!kthread && !(t->mm = copy_mm_for(parent))) {
		put_task_struct(t);
		return ERR_PTR<task_struct>(-ENOMEM);
	}
	t->files = dup_files_for(parent, (clone_flags & CLONE_FILES) != 0);
	t->body = new std::function<int()>(std::move(body));
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
	// Nobody waits for the tasks of a machine gone: processes too.
	list_for_each_safe(p, n, &tt.stale)
	{
		task_struct *t = list_entry(p, task_struct, tasks);
		if (t->exited) {
			list_del_init(&t->tasks);
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
	for (list_head *head : {&tt.all, &tt.stale}) {
		list_head *p;
		list_for_each(p, head)
		{
			task_struct *t = list_entry(p, task_struct, tasks);
			if (!t->adopted && !t->exited && t != current)
				n++;
		}
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
	// Numbering starts again, above any task still left of an earlier machine.
	tt.next_pid = 1;
	list_head *p;
	list_for_each(p, &tt.stale)
	{
		task_struct *t = list_entry(p, task_struct, tasks);
		tt.next_pid = max_t(tt.next_pid, t->pid + 1);
	}
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
	for (task_struct *t : live)
		force_sig(SIGKILL, t);
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
			// It cannot be joined: its memory stays. Out of the way of the next
			// machine's pids, it is reaped once it ends.
			H().lock_acquire(tt.lock);
			if (!t->exited && !list_empty(&t->tasks)) {
				list_del(&t->tasks);
				list_add_tail(&t->tasks, &tt.stale);
			}
			H().lock_release(tt.lock);
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

void do_exit(long code) { throw task_exit{code}; }

} // namespace kern
