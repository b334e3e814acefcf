// Small helpers shared by the tests of the kernel core.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "kernel/core/sched.h"

namespace coretest {

// Starts body in a new task (a process unless kthread).
inline kern::task_struct *start(const char *comm, std::function<int()> body, bool kthread = false,
				unsigned long flags = 0)
{
	kern::task_struct *t = kern::create_task(comm, kthread, flags, std::move(body));
	if (kern::IS_ERR(t))
		return nullptr;
	return t;
}

// Waits for the task and drops the reference start() gave; its exit code.
inline int finish(kern::task_struct *t)
{
	int r = kern::task_wait(t);
	kern::put_task_struct(t);
	return r;
}

// Polls pred in real time; false if it did not hold within real_ms.
inline bool eventually(const std::function<bool()> &pred, unsigned real_ms = 10000)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_ms);
	while (!pred()) {
		if (std::chrono::steady_clock::now() > end)
			return false;
		std::this_thread::sleep_for(std::chrono::microseconds(200));
	}
	return true;
}

// Gives other tasks real time to make progress they should not be making.
inline void settle(unsigned real_ms = 30) { std::this_thread::sleep_for(std::chrono::milliseconds(real_ms)); }

// What a driver does to a process it turns into an IO thread: every disposition set to
// ignore directly (sig_action refuses SIGKILL and SIGSTOP), pending signals dropped.
inline void ignore_every_signal()
{
	kern::task_struct *me = kern::get_current();
	for (int sig = 1; sig <= kern::KERN_NSIG; sig++)
		me->sighand->action[sig] = SIG_IGN;
	kern::flush_signals(me);
}

// Whether the task is asleep in the given state.
inline bool sleeping(kern::task_struct *t, long state) { return t->state.load() == state; }

} // namespace coretest
