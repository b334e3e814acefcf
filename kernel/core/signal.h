// Signals: their numbers, the dispositions a task has, sending, and delivery on the way
// back from a system call.
//
// A pending signal the task does not ignore ends its interruptible waits. A fatal one
// (SIGKILL, or a default action that terminates) makes a process leave at its next
// system-call boundary: task_killed is thrown there and the process body unwinds.
#pragma once

#include <atomic>

#include "kernel/lib/atomic.h"
#include "kernel/lib/types.h"

// Signal numbers are macros, as in the kernel (same values as the host's).
#ifndef SIGHUP
#define SIGHUP 1
#endif
#ifndef SIGINT
#define SIGINT 2
#endif
#ifndef SIGQUIT
#define SIGQUIT 3
#endif
#ifndef SIGILL
#define SIGILL 4
#endif
#ifndef SIGTRAP
#define SIGTRAP 5
#endif
#ifndef SIGABRT
#define SIGABRT 6
#endif
#ifndef SIGBUS
#define SIGBUS 7
#endif
#ifndef SIGFPE
#define SIGFPE 8
#endif
#ifndef SIGKILL
#define SIGKILL 9
#endif
#ifndef SIGUSR1
#define SIGUSR1 10
#endif
#ifndef SIGSEGV
#define SIGSEGV 11
#endif
#ifndef SIGUSR2
#define SIGUSR2 12
#endif
#ifndef SIGPIPE
#define SIGPIPE 13
#endif
#ifndef SIGALRM
#define SIGALRM 14
#endif
#ifndef SIGTERM
#define SIGTERM 15
#endif
#ifndef SIGSTKFLT
#define SIGSTKFLT 16
#endif
#ifndef SIGCHLD
#define SIGCHLD 17
#endif
#ifndef SIGCONT
#define SIGCONT 18
#endif
#ifndef SIGSTOP
#define SIGSTOP 19
#endif
#ifndef SIGTSTP
#define SIGTSTP 20
#endif
#ifndef SIGTTIN
#define SIGTTIN 21
#endif
#ifndef SIGTTOU
#define SIGTTOU 22
#endif
#ifndef SIGURG
#define SIGURG 23
#endif
#ifndef SIGXCPU
#define SIGXCPU 24
#endif
#ifndef SIGXFSZ
#define SIGXFSZ 25
#endif
#ifndef SIGVTALRM
#define SIGVTALRM 26
#endif
#ifndef SIGPROF
#define SIGPROF 27
#endif
#ifndef SIGWINCH
#define SIGWINCH 28
#endif
#ifndef SIGIO
#define SIGIO 29
#endif
#ifndef SIGPWR
#define SIGPWR 30
#endif
#ifndef SIGSYS
#define SIGSYS 31
#endif

namespace kern {

struct task_struct;

constexpr int KERN_NSIG = 64;

using sighandler_t = void (*)(int);
#ifndef SIG_DFL
#define SIG_DFL (reinterpret_cast<::kern::sighandler_t>(0))
#define SIG_IGN (reinterpret_cast<::kern::sighandler_t>(1))
#define SIG_ERR (reinterpret_cast<::kern::sighandler_t>(-1))
#endif

// Signal dispositions, shared between tasks created with CLONE_SIGHAND.
struct sighand_struct {
	atomic_t count;
	std::atomic<sighandler_t> action[KERN_NSIG + 1];
};

// The bit of sig in a pending or blocked mask.
constexpr u64 sigbit(int sig) { return 1ull << (sig - 1); }
// Signals whose default action is to do nothing: SIGCHLD, SIGCONT, SIGURG, SIGWINCH,
// and the stop signals (no job control here: they never stop, nor end, a process).
bool sig_default_ignored(int sig);

int send_sig(int sig, task_struct *t, int priv);
int kill_proc(pid_t pid, int sig, int priv);
bool signal_pending(task_struct *t);
bool fatal_signal_pending(task_struct *t);
void flush_signals(task_struct *t);
sighandler_t sig_action(int sig, sighandler_t handler);	// of current; returns the old one
void allow_signal(int sig);
void disallow_signal(int sig);
int dequeue_signal_current();		// the lowest pending unblocked signal, 0 if none

// Sets sig pending even where it is ignored or blocked, and wakes an interruptible sleep
// (halt's way of ending every task). Not for a kernel thread that has not allowed sig:
// as in Linux, a kernel thread starts with every signal blocked, and only those it
// allows (allow_signal) ever become pending for it.
void force_sig(int sig, task_struct *t);
// Delivers what is pending to the calling process, at the end of a system call: a fatal
// signal throws task_killed (unless the process is unwinding already or is an adopted
// host thread), one with a handler runs it, the rest are dropped.
void do_signal();

// Dispositions for a new task: a copy of `from` (all default when null), with one user.
sighand_struct *new_sighand(const sighand_struct *from);
void put_sighand(sighand_struct *sh);

// Thrown at a system-call boundary to end a process that has a fatal signal pending;
// the process body unwinds and the task ends with 128 + signal.
struct task_killed {
	int sig;
};

} // namespace kern
