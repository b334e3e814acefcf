// Kernel threads: started from a task, made daemons, given a nice value.
#include "kernel/core/sched.h"

#include <cstdarg>
#include <cstdio>

namespace kern {

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
	t->blocked.store(~0ull);
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


} // namespace kern
