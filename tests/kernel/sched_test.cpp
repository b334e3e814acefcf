#include "kernel/core/sched.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "kernel/block/blkdev.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/wait.h"
#include "kernel/syscalls.h"
#include "tests/kernel/blk_test_util.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using coretest::eventually;
using coretest::finish;
using coretest::settle;
using coretest::start;

class Sched : public zeptest::MachineTest {};

// ---------------------------------------------------------------- sleeping

TEST_F(Sched, ScheduleTimeoutReturnsTheTicksLeft)
{
	// Not woken: the whole timeout passes and nothing is left.
	unsigned long before = jiffies;
	set_current_state(TASK_UNINTERRUPTIBLE);
	EXPECT_EQ(schedule_timeout(30), 0);
	EXPECT_GE(jiffies - before, 30ul);
	EXPECT_EQ(get_current()->state.load(), TASK_RUNNING);

	// Woken early: what is left comes back.
	task_struct *me = get_current();
	task_struct *t = start("waker", [&] {
		while (!coretest::sleeping(me, TASK_INTERRUPTIBLE))
			yield();
		msleep(20);
		wake_up_process(me);
		return 0;
	});
	set_current_state(TASK_INTERRUPTIBLE);
	long left = schedule_timeout(100000);
	EXPECT_GE(left, 1);
	EXPECT_LT(left, 100000 - 20);
	finish(t);

	// TASK_RUNNING before the call: it returns once the thread runs again, with all but
	// the ticks that passed meanwhile left.
	set_current_state(TASK_RUNNING);
	before = jiffies;
	left = schedule_timeout(500);
	EXPECT_GE(left, 500 - static_cast<long>(jiffies - before));
	EXPECT_LE(left, 500);
}

TEST_F(Sched, WakeUpStateWakesOnlyTheMatchingState)
{
	task_struct *t = start("sleeper", [] {
		set_current_state(TASK_UNINTERRUPTIBLE);
		schedule();
		return 0;
	});
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_UNINTERRUPTIBLE); }));
	EXPECT_EQ(wake_up_state(t, TASK_INTERRUPTIBLE), 0);
	// Nor does a signal end an uninterruptible sleep.
	send_sig(SIGUSR1, t, 0);
	settle();
	EXPECT_FALSE(t->exited);
	EXPECT_EQ(wake_up_process(t), 1);
	EXPECT_EQ(finish(t), 0);
}

TEST_F(Sched, MsleepInterruptibleEndsEarlyOnASignal)
{
	task_struct *t = start("napper", [] { return static_cast<int>(msleep_interruptible(1000000)); });
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	send_sig(SIGTERM, t, 0);
	int left_ms = finish(t);
	EXPECT_GT(left_ms, 0);
	EXPECT_LE(left_ms, 1000001);
}

// ---------------------------------------------------------------- signals

TEST_F(Sched, KillEndsAProcessInAnInterruptibleWait)
{
	DECLARE_WAIT_QUEUE_HEAD(wq);
	pid_t pid = spawn("victim", [&] {
		int r = wait_event_interruptible(wq, false);
		return r == -ERESTARTSYS && fatal_signal_pending(get_current()) ? 42 : 1;
	});
	ASSERT_GT(pid, 1);
	task_struct *t = find_task_by_pid(pid);
	ASSERT_NE(t, nullptr);
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	put_task_struct(t);
	EXPECT_EQ(kern::kill(pid, SIGTERM), 0);
	EXPECT_EQ(waitpid(pid), 42);
	EXPECT_EQ(kern::kill(pid, SIGTERM), -ESRCH);
	EXPECT_EQ(kern::kill(99999, SIGTERM), -ESRCH);
}

TEST_F(Sched, FatalIgnoredAndHandledSignals)
{
	// The test and the task move through phases in lock step: go is the phase the
	// test asks for, ack the last one the task finished.
	std::atomic<int> go{0}, ack{0};
	auto phase = [&](int n) {
		while (go != n)
			yield();
	};
	task_struct *t = start("target", [&] {
		task_struct *me = get_current();
		int r = 0;
		sig_action(SIGUSR2, SIG_IGN);
		sig_action(SIGHUP, [](int) {});	// a handler: pending, but not fatal
		ack = 1;
		phase(2);
		// SIGCHLD (ignored by default), SIGUSR2 (SIG_IGN) and the stop signals (no
		// job control: their default does nothing) were dropped.
		if (signal_pending(me))
			r |= 1;
		ack = 2;
		phase(3);
		if (!signal_pending(me) || fatal_signal_pending(me))
			r |= 2;
		if (dequeue_signal_current() != SIGHUP || signal_pending(me))
			r |= 4;
		ack = 3;
		phase(4);
		if (!fatal_signal_pending(me))
			r |= 8;	// SIGTERM with the default action is fatal
		flush_signals(me);
		if (signal_pending(me))
			r |= 16;
		return r;
	});
	auto step = [&](int n) {
		go = n;
		ASSERT_TRUE(eventually([&] { return ack == n || t->exited; }));
	};
	ASSERT_TRUE(eventually([&] { return ack == 1; }));
	EXPECT_EQ(send_sig(SIGCHLD, t, 0), 0);
	EXPECT_EQ(send_sig(SIGUSR2, t, 0), 0);
	for (int sig : {SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU})
		EXPECT_EQ(send_sig(sig, t, 0), 0);
	step(2);
	send_sig(SIGHUP, t, 0);
	step(3);
	send_sig(SIGTERM, t, 0);
	go = 4;
	EXPECT_EQ(finish(t), 0);
	EXPECT_EQ(send_sig(0, get_current(), 0), -EINVAL);
	EXPECT_EQ(send_sig(KERN_NSIG + 1, get_current(), 0), -EINVAL);
}

TEST_F(Sched, SigkillCannotBeIgnored)
{
	EXPECT_EQ(sig_action(SIGKILL, SIG_IGN), SIG_ERR);
	EXPECT_EQ(sig_action(SIGSTOP, SIG_IGN), SIG_ERR);
	DECLARE_WAIT_QUEUE_HEAD(wq);
	task_struct *t = start("stubborn", [&] {
		for (int i = 1; i < 32; i++)
			sig_action(i, SIG_IGN);
		return wait_event_interruptible(wq, false);
	});
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	send_sig(SIGTERM, t, 0);
	settle();
	EXPECT_FALSE(t->exited);
	send_sig(SIGKILL, t, 0);
	EXPECT_EQ(finish(t), -ERESTARTSYS);
}

TEST_F(Sched, AProcessTheKernelMadeIgnoreEverySignalSurvivesSigkill)
{
	std::atomic<bool> ready{false}, stop{false};
	std::atomic<long> turns{0};
	pid_t pid = spawn("cdpio", [&] {
		task_struct *me = get_current();
		coretest::ignore_every_signal();
		ready = true;
		while (!stop) {
			msleep(1);
			if (sys_getpid() != me->tgid)	// a system-call boundary every turn
				return 1;
			turns++;
		}
		return signal_pending(me) ? 2 : 7;
	});
	ASSERT_GT(pid, 1);
	ASSERT_TRUE(eventually([&] { return ready.load(); }));
	for (int sig : {SIGKILL, SIGSTOP, SIGTERM, SIGINT})
		EXPECT_EQ(kern::kill(pid, sig), 0) << sig;
	long seen = turns;
	ASSERT_TRUE(eventually([&] { return turns > seen + 3; })) << "the process did not go on";
	stop = true;
	EXPECT_EQ(waitpid(pid), 7);
}

TEST_F(Sched, ARenamingProcessAndReadersOfItsNameUseTheTaskLock)
{
	// The driver renames an IO thread as below while others list tasks by name.
	static const char *const names[] = {"cdpio-a", "cdpio/long-name"};
	std::atomic<bool> stop{false};
	std::atomic<long> renames{0};
	pid_t pid = spawn("cdpio", [&] {
		for (long i = 0; !stop; i++) {
			task_lock(current);
			std::snprintf(current->comm, sizeof(current->comm), "%s", names[i & 1]);
			task_unlock(current);
			renames++;
		}
		set_task_comm(current, "cdpio-done");
		return 0;
	});
	task_struct *t = find_task_by_pid(pid);
	ASSERT_NE(t, nullptr);
	ASSERT_TRUE(eventually([&] { return renames >= 100; }));
	int odd = 0;
	for (int i = 0; i < 2000; i++) {
		char buf[TASK_COMM_LEN];
		get_task_comm(buf, t);
		// Also as a task listing reads it: under the task list lock.
		char listed[TASK_COMM_LEN] = "";
		for_each_task([&](task_struct *x) {
			if (x == t)
				get_task_comm(listed, x);
		});
		for (const char *got : {static_cast<const char *>(buf), static_cast<const char *>(listed)})
			if (std::strcmp(got, names[0]) && std::strcmp(got, names[1]))
				odd++;
	}
	stop = true;
	EXPECT_EQ(waitpid(pid), 0);
	EXPECT_EQ(odd, 0) << "a reader saw a name half written";
	char buf[TASK_COMM_LEN];
	EXPECT_STREQ(get_task_comm(buf, t), "cdpio-done");
	EXPECT_STREQ(get_task_comm(buf, get_current()), "init");
	put_task_struct(t);
}

// ---------------------------------------------------------------- kernel threads

namespace {
struct kthread_probe {
	completion ready = COMPLETION_INITIALIZER(ready);
	completion allowed = COMPLETION_INITIALIZER(allowed);
	wait_queue_head_t wq = __WAIT_QUEUE_HEAD_INITIALIZER(wq);
	task_struct *creator = nullptr;
	files_struct *files = nullptr;
	bool was_kthread = false;
	bool had_mm = true;
	char comm_before[TASK_COMM_LEN] = {};
	char comm_after[TASK_COMM_LEN] = {};
	int nice = 0;
	long ignored_wait = 1;
	long allowed_wait = 1;
};

int probe_thread(void *arg)
{
	auto *p = static_cast<kthread_probe *>(arg);
	task_struct *me = get_current();
	p->files = me->files;
	p->was_kthread = me->kthread;
	p->had_mm = me->mm != nullptr;
	std::memcpy(p->comm_before, me->comm, TASK_COMM_LEN);
	daemonize("zepd%d", 3);
	std::memcpy(p->comm_after, me->comm, TASK_COMM_LEN);
	set_user_nice(me, -50);	// clamped
	p->nice = me->nice;
	complete(&p->ready);
	// Signals are ignored after daemonize: SIGTERM arrives but the wait runs out.
	p->ignored_wait = wait_event_interruptible_timeout(p->wq, false, 3000);
	allow_signal(SIGTERM);
	complete(&p->allowed);
	p->allowed_wait = wait_event_interruptible(p->wq, false);
	return 0;
}
} // namespace

TEST_F(Sched, KernelThreadDaemonizesAndChoosesItsSignals)
{
	kthread_probe p;
	p.creator = get_current();
	int pid = kernel_thread(probe_thread, &p, CLONE_FILES);
	ASSERT_GT(pid, 1);
	wait_for_completion(&p.ready);
	EXPECT_TRUE(p.was_kthread);
	EXPECT_FALSE(p.had_mm);
	EXPECT_EQ(p.files, get_current()->files) << "CLONE_FILES must share the creator's table";
	EXPECT_STREQ(p.comm_before, get_current()->comm);
	EXPECT_STREQ(p.comm_after, "zepd3");
	EXPECT_EQ(p.nice, -20);

	task_struct *t = find_task_by_pid(pid);
	ASSERT_NE(t, nullptr);
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	send_sig(SIGTERM, t, 0);
	wait_for_completion(&p.allowed);
	EXPECT_EQ(p.ignored_wait, 0) << "a daemon was interrupted by a signal it ignores";
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	send_sig(SIGTERM, t, 0);
	ASSERT_TRUE(eventually([&] { return t->exited.load(); }));
	EXPECT_EQ(p.allowed_wait, -ERESTARTSYS);
	put_task_struct(t);
}

TEST_F(Sched, KernelThreadWithoutCloneFilesGetsItsOwnTable)
{
	struct probe {
		files_struct *files = nullptr;
		completion done = COMPLETION_INITIALIZER(done);
	} p;
	int pid = kernel_thread(
		[](void *a) {
			auto *pp = static_cast<probe *>(a);
			pp->files = get_current()->files;
			complete(&pp->done);
			return 0;
		},
		&p, 0);
	ASSERT_GT(pid, 1);
	wait_for_completion(&p.done);
	EXPECT_NE(p.files, nullptr);
	EXPECT_NE(p.files, get_current()->files);
}

// ---------------------------------------------------------------- boot and halt

TEST_F(Sched, HaltEndsAProcessStuckInAnInterruptibleWait)
{
	DECLARE_WAIT_QUEUE_HEAD(wq);
	std::atomic<bool> ended{false};
	pid_t pid = spawn("stuck", [&] {
		while (wait_event_interruptible(wq, false) == 0) {
		}
		ended = fatal_signal_pending(get_current());
		return 0;
	});
	task_struct *t = find_task_by_pid(pid);
	ASSERT_NE(t, nullptr);
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	put_task_struct(t);
	halt_report rep = halt_now();
	for (auto &pr : rep.problems)
		ADD_FAILURE() << pr;
	EXPECT_TRUE(ended) << "halt did not end the process with SIGKILL";
}

// A kernel thread halt cannot end (a driver's watchdog while its driver stays loaded)
// sees no signal it did not allow, neither a SIGTERM nor halt's kill; it outlives the
// machine without being taken for a task of the next, and keeps the disk it may use.
TEST_F(Sched, HaltLeavesAKernelThreadItCannotEndAloneAndApart)
{
	DECLARE_WAIT_QUEUE_HEAD(wq);
	std::atomic<bool> release{false}, saw_signal{false};
	std::atomic<long> wakeups{0};
	block_device *bdev = bdget(add_ramdisk("rd0", 0, 64));
	ASSERT_NE(bdev, nullptr);
	request_queue_t *q = bdev_get_queue(bdev);	// kept as a hook keeps it: no reference
	make_request_fn *saved = queue_make_request_fn(q);
	bdput(bdev);
	task_struct *t = start("kthread", [&] {
		while (!release) {
			wait_event_interruptible_timeout(wq, release.load(), 60 * HZ);
			saw_signal = saw_signal || signal_pending(get_current());
			wakeups++;
		}
		blktest::io_result r;	// the disk of the machine gone ends its bios
		bio *b = blktest::make_bio(nullptr, 0, 1, &r);
		saved(q, b);
		blktest::free_bio_pages(b);
		return r.error;
	}, true);
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	send_sig(SIGTERM, t, 0);
	pid_t old_pid = t->pid;
	halt_report rep = halt_now();
	auto reported = [&](const std::string &what) {
		return std::any_of(rep.problems.begin(), rep.problems.end(),
				   [&](const std::string &p) { return p.find(what) != std::string::npos; });
	};
	EXPECT_TRUE(reported("task kthread (pid " + std::to_string(old_pid) + ") still running"));
	EXPECT_TRUE(reported("disk rd0 kept"));
	EXPECT_FALSE(saw_signal);
	EXPECT_LT(wakeups, 20) << "its interruptible wait returned at once, again and again";

	boot_params bp;
	bp.clock_speed = 100;
	boot(bp);
	pid_t fresh = spawn("fresh", [] { return 7; });
	EXPECT_NE(fresh, old_pid);
	EXPECT_EQ(waitpid(fresh), 7);
	release = true;
	wake_up(&wq);
	EXPECT_EQ(finish(t), -EIO);
	EXPECT_EQ(halt().problems, std::vector<std::string>{});
}

TEST_F(Sched, PidsStartAtOneAfterEveryBoot)
{
	EXPECT_EQ(get_current()->pid, 1);
	EXPECT_STREQ(get_current()->comm, "init");
	pid_t a = spawn("a", [] { return 0; });
	EXPECT_EQ(a, 2);
	waitpid(a);
	halt_now();

	boot_params bp;
	bp.clock_speed = 100;
	boot(bp);
	EXPECT_EQ(get_current()->pid, 1);
	pid_t b = spawn("b", [] { return get_current()->pid; });
	EXPECT_EQ(b, 2);
	EXPECT_EQ(waitpid(b), 2);
	EXPECT_EQ(waitpid(b), -ECHILD);	// reaped already
	halt_report rep = halt();
	EXPECT_TRUE(rep.clean());
}
