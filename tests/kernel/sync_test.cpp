#include "kernel/locking/completion.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/spinlock.h"
#include "kernel/locking/wait.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "kernel/core/sched.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using coretest::eventually;
using coretest::finish;
using coretest::settle;
using coretest::start;

class Sync : public zeptest::MachineTest {};

// ---------------------------------------------------------------- semaphores

TEST_F(Sync, DownTrylockTakesOnlyWhatIsThere)
{
	semaphore s;
	sema_init(&s, 2);
	EXPECT_EQ(down_trylock(&s), 0);
	EXPECT_EQ(down_trylock(&s), 0);
	EXPECT_EQ(down_trylock(&s), 1);	// count exhausted
	EXPECT_EQ(sem_count(&s), 0);
	up(&s);
	EXPECT_EQ(down_trylock(&s), 0);
	up(&s);
	up(&s);
	EXPECT_EQ(sem_count(&s), 2);

	DECLARE_MUTEX_LOCKED(locked);
	EXPECT_EQ(down_trylock(&locked), 1);
	up(&locked);
	EXPECT_EQ(down_trylock(&locked), 0);
}

TEST_F(Sync, SemaphoreHandsOverToWaitersInArrivalOrder)
{
	DECLARE_MUTEX(s);
	down(&s);
	std::vector<int> order;	// written only while holding s
	std::vector<task_struct *> tasks;
	for (int i = 0; i < 5; i++) {
		tasks.push_back(start("waiter", [&, i] {
			down(&s);
			order.push_back(i);
			up(&s);
			return 0;
		}));
		// Queue them one by one so that arrival order is known.
		ASSERT_TRUE(eventually([&] { return sem_count(&s) == -(i + 1); }));
	}
	// A trylock must not jump the queue of sleeping waiters.
	EXPECT_EQ(down_trylock(&s), 1);
	up(&s);
	for (auto *t : tasks)
		EXPECT_EQ(finish(t), 0);
	EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
	EXPECT_EQ(sem_count(&s), 1);
}

TEST_F(Sync, DownInterruptibleEndsOnASignal)
{
	DECLARE_MUTEX_LOCKED(s);
	task_struct *t = start("sleeper", [&] { return down_interruptible(&s); });
	ASSERT_TRUE(eventually([&] { return sem_count(&s) == -1; }));
	EXPECT_EQ(send_sig(SIGUSR1, t, 0), 0);
	EXPECT_EQ(finish(t), -EINTR);
	// It left the queue: the next up() is not lost on it.
	EXPECT_EQ(sem_count(&s), 0);
	up(&s);
	EXPECT_EQ(down_trylock(&s), 0);
}

TEST_F(Sync, DownInterruptibleIgnoresAnIgnoredSignal)
{
	DECLARE_MUTEX_LOCKED(s);
	std::atomic<bool> ignoring{false};
	task_struct *t = start("sleeper", [&] {
		sig_action(SIGUSR1, SIG_IGN);
		ignoring = true;
		return down_interruptible(&s);
	});
	ASSERT_TRUE(eventually([&] { return ignoring && sem_count(&s) == -1; }));
	send_sig(SIGUSR1, t, 0);
	settle();
	EXPECT_EQ(sem_count(&s), -1) << "an ignored signal ended the wait";
	EXPECT_FALSE(t->exited);
	up(&s);
	EXPECT_EQ(finish(t), 0);
}

TEST_F(Sync, ManyTasksKeepAMutexProtectedCounterExact)
{
	DECLARE_MUTEX(m);
	long counter = 0;	// plain: the semaphore is the only protection
	constexpr int TASKS = 8, ROUNDS = 3000;
	std::vector<task_struct *> tasks;
	for (int i = 0; i < TASKS; i++)
		tasks.push_back(start("hammer", [&, i] {
			for (int r = 0; r < ROUNDS; r++) {
				if (i % 2 == 0 || down_interruptible(&m) != 0)
					down(&m);
				long v = counter;
				if (r % 64 == 0)
					yield();	// widen the window a broken lock would let through
				counter = v + 1;
				up(&m);
			}
			return 0;
		}));
	for (auto *t : tasks)
		EXPECT_EQ(finish(t), 0);
	EXPECT_EQ(counter, long{TASKS} * ROUNDS);
	EXPECT_EQ(sem_count(&m), 1);
}

// ---------------------------------------------------------------- completions

TEST_F(Sync, EachCompleteLetsExactlyOneWaiterThrough)
{
	DECLARE_COMPLETION(done);
	std::atomic<int> passed{0};
	std::vector<task_struct *> tasks;
	for (int i = 0; i < 3; i++)
		tasks.push_back(start("waiter", [&] {
			wait_for_completion(&done);
			passed++;
			return 0;
		}));
	ASSERT_TRUE(eventually([&] {
		for (auto *t : tasks)
			if (!coretest::sleeping(t, TASK_UNINTERRUPTIBLE))
				return false;
		return true;
	}));
	complete(&done);
	complete(&done);
	ASSERT_TRUE(eventually([&] { return passed == 2; }));
	settle();
	EXPECT_EQ(passed, 2) << "two completions let more than two waiters through";
	complete(&done);
	for (auto *t : tasks)
		finish(t);
	EXPECT_EQ(passed, 3);
	EXPECT_EQ(done.done, 0u);
}

TEST_F(Sync, CompletionsCountedBeforeAnyoneWaits)
{
	DECLARE_COMPLETION(done);
	complete(&done);
	complete(&done);
	wait_for_completion(&done);
	EXPECT_EQ(wait_for_completion_timeout(&done, 0), 1ul);	// done already: at least 1
	EXPECT_EQ(wait_for_completion_timeout(&done, 5), 0ul);	// nothing left
}

TEST_F(Sync, CompleteAllReleasesEveryWaiterAndLaterOnes)
{
	completion done;
	init_completion(&done);
	std::atomic<int> passed{0};
	std::vector<task_struct *> tasks;
	for (int i = 0; i < 4; i++)
		tasks.push_back(start("waiter", [&] {
			wait_for_completion(&done);
			passed++;
			return 0;
		}));
	ASSERT_TRUE(eventually([&] {
		for (auto *t : tasks)
			if (!coretest::sleeping(t, TASK_UNINTERRUPTIBLE))
				return false;
		return true;
	}));
	complete_all(&done);
	for (auto *t : tasks)
		finish(t);
	EXPECT_EQ(passed, 4);
	// Still complete for whoever comes later.
	EXPECT_GE(wait_for_completion_timeout(&done, 10), 1ul);
	wait_for_completion(&done);
}

TEST_F(Sync, WaitForCompletionTimeoutReportsTicksLeft)
{
	DECLARE_COMPLETION(done);
	unsigned long before = jiffies;
	EXPECT_EQ(wait_for_completion_timeout(&done, 50), 0ul);
	EXPECT_GE(jiffies - before, 50ul) << "returned before the timeout";

	task_struct *me = get_current();
	task_struct *t = start("completer", [&] {
		while (!coretest::sleeping(me, TASK_UNINTERRUPTIBLE))	// count from the wait
			yield();
		msleep(100);
		complete(&done);
		return 0;
	});
	unsigned long left = wait_for_completion_timeout(&done, 100000);
	EXPECT_GE(left, 1ul);
	EXPECT_LT(left, 100000ul - 100);	// it did wait for the completer
	finish(t);
}

TEST_F(Sync, WaitForCompletionInterruptibleEndsOnSignal)
{
	DECLARE_COMPLETION(done);
	task_struct *t = start("waiter", [&] { return wait_for_completion_interruptible(&done); });
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	send_sig(SIGTERM, t, 0);
	EXPECT_EQ(finish(t), -ERESTARTSYS);
	// The interrupted waiter consumed nothing.
	complete(&done);
	EXPECT_EQ(wait_for_completion_timeout(&done, 1), 1ul);
}

// ---------------------------------------------------------------- wait queues

TEST_F(Sync, WaitEventSleepsUntilTheConditionHolds)
{
	DECLARE_WAIT_QUEUE_HEAD(wq);
	std::atomic<int> value{0};
	std::atomic<int> wakeups{0};
	task_struct *t = start("waiter", [&] {
		wait_event(wq, (wakeups++, value.load() == 3));
		return value.load();
	});
	for (int i = 1; i <= 3; i++) {
		ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_UNINTERRUPTIBLE); }));
		value = i;
		wake_up(&wq);
		if (i < 3) {
			ASSERT_TRUE(eventually([&] { return wakeups >= i + 2; }));
		}
	}
	EXPECT_EQ(finish(t), 3);
	EXPECT_FALSE(waitqueue_active(&wq));
}

TEST_F(Sync, WaitEventInterruptibleReturnsRestartOnSignal)
{
	DECLARE_WAIT_QUEUE_HEAD(wq);
	std::atomic<bool> flag{false};
	task_struct *t = start("waiter", [&] { return wait_event_interruptible(wq, flag.load()); });
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	kill_proc(t->pid, SIGINT, 0);
	EXPECT_EQ(finish(t), -ERESTARTSYS);
	EXPECT_FALSE(waitqueue_active(&wq)) << "the interrupted waiter stayed queued";

	t = start("waiter", [&] { return wait_event_interruptible(wq, flag.load()); });
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_INTERRUPTIBLE); }));
	flag = true;
	wake_up_interruptible(&wq);
	EXPECT_EQ(finish(t), 0);
}

TEST_F(Sync, WaitEventTimeoutReturnsTicksLeftOrZero)
{
	DECLARE_WAIT_QUEUE_HEAD(wq);
	std::atomic<bool> flag{false};
	unsigned long before = jiffies;
	EXPECT_EQ(wait_event_timeout(wq, flag.load(), 40), 0);
	EXPECT_GE(jiffies - before, 40ul);

	task_struct *me = get_current();
	task_struct *t = start("setter", [&] {
		while (!coretest::sleeping(me, TASK_UNINTERRUPTIBLE))	// count from the wait
			yield();
		msleep(50);
		flag = true;
		wake_up(&wq);
		return 0;
	});
	long left = wait_event_timeout(wq, flag.load(), 100000);
	EXPECT_GE(left, 1);
	EXPECT_LT(left, 100000 - 50);
	finish(t);
	// Already true: the whole timeout is left.
	EXPECT_EQ(wait_event_timeout(wq, flag.load(), 77), 77);
}

TEST_F(Sync, ExclusiveWakeUpWakesOneAndWakeUpAllWakesAll)
{
	DECLARE_WAIT_QUEUE_HEAD(wq);
	std::atomic<int> tokens{0}, wakeups{0}, passed{0};
	auto take = [&] {
		int n = tokens.load();
		while (n > 0)
			if (tokens.compare_exchange_weak(n, n - 1))
				return true;
		return false;
	};
	std::vector<task_struct *> tasks;
	for (int i = 0; i < 3; i++)
		tasks.push_back(start("excl", [&] {
			DEFINE_WAIT(w);
			for (;;) {
				prepare_to_wait_exclusive(&wq, &w, TASK_UNINTERRUPTIBLE);
				if (take())
					break;
				schedule();
				wakeups++;
			}
			finish_wait(&wq, &w);
			passed++;
			return 0;
		}));
	auto all_asleep = [&] {
		for (auto *t : tasks)
			if (t->exited || !coretest::sleeping(t, TASK_UNINTERRUPTIBLE))
				return false;
		return true;
	};
	ASSERT_TRUE(eventually(all_asleep));
	tokens = 1;
	wake_up(&wq);
	ASSERT_TRUE(eventually([&] { return passed == 1; }));
	settle();
	EXPECT_EQ(wakeups, 1) << "wake_up on exclusive waiters woke more than one";

	tokens = 2;
	wake_up_all(&wq);
	for (auto *t : tasks)
		finish(t);
	EXPECT_EQ(passed, 3);
	EXPECT_EQ(wakeups, 3);
	EXPECT_FALSE(waitqueue_active(&wq));
}

// ---------------------------------------------------------------- rw semaphore

TEST_F(Sync, ReadersShareAndAWriterExcludes)
{
	DECLARE_RWSEM(rw);
	std::atomic<int> inside{0}, max_inside{0};
	DECLARE_COMPLETION(both_in);
	DECLARE_COMPLETION(leave);
	std::vector<task_struct *> readers;
	for (int i = 0; i < 2; i++)
		readers.push_back(start("reader", [&] {
			down_read(&rw);
			int n = ++inside;
			int m = max_inside.load();
			while (n > m && !max_inside.compare_exchange_weak(m, n)) {
			}
			if (n == 2)
				complete(&both_in);
			wait_for_completion(&leave);
			inside--;
			up_read(&rw);
			return 0;
		}));
	wait_for_completion(&both_in);	// both readers in at once
	EXPECT_EQ(down_write_trylock(&rw), 0);
	EXPECT_EQ(down_read_trylock(&rw), 1);	// a third reader is fine too
	up_read(&rw);

	std::atomic<bool> writer_in{false};
	task_struct *w = start("writer", [&] {
		down_write(&rw);
		writer_in = true;
		int seen = inside.load();
		msleep(20);
		writer_in = false;
		up_write(&rw);
		return seen;
	});
	settle();
	EXPECT_FALSE(writer_in) << "writer entered while readers held the lock";
	complete_all(&leave);
	EXPECT_EQ(finish(w), 0);	// no reader inside while it held the lock
	for (auto *t : readers)
		finish(t);
	EXPECT_EQ(max_inside, 2);
	EXPECT_EQ(down_write_trylock(&rw), 1);
	EXPECT_EQ(down_read_trylock(&rw), 0);
	up_write(&rw);
}

TEST_F(Sync, AQueuedWriterIsNotOvertakenByLaterReaders)
{
	DECLARE_RWSEM(rw);
	std::mutex order_lock;	// test bookkeeping only
	std::vector<std::string> order;
	auto note = [&](const char *s) {
		std::lock_guard<std::mutex> g(order_lock);
		order.push_back(s);
	};
	down_read(&rw);	// a reader that stays a while
	task_struct *w = start("writer", [&] {
		down_write(&rw);
		note("writer");
		up_write(&rw);
		return 0;
	});
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(w, TASK_UNINTERRUPTIBLE); }));
	// Readers arriving now must queue behind the writer, or a stream of them would
	// starve it forever.
	EXPECT_EQ(down_read_trylock(&rw), 0);
	std::vector<task_struct *> late;
	for (int i = 0; i < 3; i++) {
		late.push_back(start("reader", [&] {
			down_read(&rw);
			note("reader");
			up_read(&rw);
			return 0;
		}));
		ASSERT_TRUE(eventually([&] { return coretest::sleeping(late.back(), TASK_UNINTERRUPTIBLE); }));
	}
	up_read(&rw);
	finish(w);
	for (auto *t : late)
		finish(t);
	ASSERT_EQ(order.size(), 4u);
	EXPECT_EQ(order[0], "writer");
}

// ---------------------------------------------------------------- spin locks

TEST_F(Sync, SpinlockMakesItsHolderAtomicAndKeepsACounterExact)
{
	DEFINE_SPINLOCK(lock);
	long counter = 0;
	std::vector<task_struct *> tasks;
	for (int i = 0; i < 4; i++)
		tasks.push_back(start("spinner", [&, i] {
			for (int r = 0; r < 20000; r++) {
				unsigned long flags = 0;
				if (i % 2) {
					spin_lock_irqsave(&lock, flags);
				} else {
					spin_lock(&lock);
				}
				if (!in_atomic() || !spin_held_by_current(&lock))
					return 1;
				if ((i % 2) != irqs_disabled())
					return 2;
				counter++;
				if (i % 2) {
					spin_unlock_irqrestore(&lock, flags);
				} else {
					spin_unlock(&lock);
				}
			}
			return (in_atomic() || irqs_disabled()) ? 3 : 0;
		}));
	for (auto *t : tasks)
		EXPECT_EQ(finish(t), 0);
	EXPECT_EQ(counter, 80000);
	EXPECT_FALSE(spin_is_locked(&lock));
	EXPECT_EQ(spin_trylock(&lock), 1);
	EXPECT_EQ(spin_trylock(&lock), 0);
	spin_unlock(&lock);
}
