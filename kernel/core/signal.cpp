// Signals: sending, dispositions, and delivery on the way back from a system call.
#include "kernel/core/signal.h"

#include <exception>

#include "kernel/core/sched.h"

namespace kern {

namespace {

// The blocked mask is changed by its task and read (and, for SIGKILL, changed) by
// senders on other threads.
std::atomic<u64> &blocked_of(task_struct *t) { return t->blocked; }

// A real handler function, not one of the marker values (SIG_DFL, SIG_IGN, SIG_ERR, or
// the "allowed" mark kernel threads use).
bool is_handler(sighandler_t h)
{
	auto v = reinterpret_cast<unsigned long>(h);
	return v > 2 && h != SIG_ERR;
}

} // namespace

// The stop signals are among them: there is no job control here, so their default
// (stopping the process until SIGCONT) does nothing rather than end the process.
bool sig_default_ignored(int sig)
{
	switch (sig) {
	case SIGCHLD:
	case SIGCONT:
	case SIGURG:
	case SIGWINCH:
	case SIGSTOP:
	case SIGTSTP:
	case SIGTTIN:
	case SIGTTOU:
		return true;
	default:
		return false;
	}
}

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

bool signal_pending(task_struct *t) { return (t->pending.load() & ~blocked_of(t).load()) != 0; }

bool fatal_signal_pending(task_struct *t)
{
	u64 p = t->pending.load() & ~blocked_of(t).load();
	if (p & sigbit(SIGKILL))
		return true;
	if (t->kthread || !t->sighand)
		return false;
	for (int sig = 1; sig <= KERN_NSIG; sig++)
		if ((p & sigbit(sig)) && t->sighand->action[sig] == SIG_DFL && !sig_default_ignored(sig))
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
	// A kernel thread sees only the signals it allowed: the rest never become pending.
	if (t->kthread && (blocked_of(t).load() & sigbit(sig)))
		return 0;
	sighand_struct *sh = std::atomic_ref<sighand_struct *>(t->sighand).load();
	if (sh) {
		sighandler_t h = sh->action[sig];
		if (h == SIG_IGN || (h == SIG_DFL && sig_default_ignored(sig)))
			return 0;
	}
	t->pending.fetch_or(sigbit(sig));
	if (sig == SIGKILL && !t->kthread)
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

void force_sig(int sig, task_struct *t)
{
	if (t->kthread && (blocked_of(t).load() & sigbit(sig)))
		return;	// not allowed: its waits would end at once, again and again
	t->pending.fetch_or(sigbit(sig));
	blocked_of(t).fetch_and(~sigbit(sig));
	wake_up_state(t, TASK_INTERRUPTIBLE);
}

// Kernel threads handle their own signals; adopted host threads (the test's or tool's
// own thread) run handlers but are never unwound, since nothing above them would catch it.
void do_signal()
{
	task_struct *t = get_current();
	if (t->kthread || !t->sighand)
		return;
	for (;;) {
		u64 pending = t->pending.load() & ~t->blocked;
		if (!pending)
			return;
		if (fatal_signal_pending(t)) {
			// A process already unwinding (from this signal, or anything else) is on its
			// way out: its destructors' calls complete, and a second throw would end the
			// whole program. The signal stays pending for any call after a catch.
			if (t->adopted || std::uncaught_exceptions() > 0)
				return;
			int sig = SIGKILL;
			if (!(pending & sigbit(SIGKILL))) {
				for (sig = 1; sig <= KERN_NSIG; sig++)
					if ((pending & sigbit(sig)) && t->sighand->action[sig] == SIG_DFL &&
					    !sig_default_ignored(sig))
						break;
			}
			t->flags |= PF_SIGNALED;
			throw task_killed{sig};
		}
		int sig = 1;
		while (!(pending & sigbit(sig)))
			sig++;
		t->pending.fetch_and(~sigbit(sig));
		sighandler_t h = t->sighand->action[sig];
		if (is_handler(h))
			h(sig);
		// Anything else pending here is ignored by disposition: dropped.
	}
}

} // namespace kern
