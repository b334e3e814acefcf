// Each violation of the sleeping and locking rules prints its BUG line with the site and
// aborts the machine.
#include <atomic>
#include <functional>
#include <string>

#include "kernel/mm/mm.h"
#include "kernel/core/sched.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/spinlock.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

namespace {

void cpu_relax() { __builtin_ia32_pause(); }

// The BUG line for a sleep at this file's `line`.
std::string sleep_bug_at(int line)
{
	return "BUG: sleeping function called from invalid context at .*sleeping_rules_test\\.cpp:" +
	       std::to_string(line);
}

class SleepingRules : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		GTEST_FLAG_SET(death_test_style, "threadsafe");
		MachineTest::SetUp();
	}
};

} // namespace

TEST_F(SleepingRules, SleepingWithASpinlockHeld)
{
	DEFINE_SPINLOCK(lock);
	DECLARE_MUTEX(sem);
	DECLARE_COMPLETION(done);
	EXPECT_DEATH(({ spin_lock(&lock); down(&sem); }), sleep_bug_at(__LINE__));
	EXPECT_DEATH(({ spin_lock(&lock); msleep(1); }), sleep_bug_at(__LINE__));
	EXPECT_DEATH(({ spin_lock(&lock); kmalloc(8, GFP_KERNEL); }), sleep_bug_at(__LINE__));
	EXPECT_DEATH(({ spin_lock(&lock); wait_for_completion(&done); }), sleep_bug_at(__LINE__));
	EXPECT_DEATH(({ spin_lock(&lock); down_interruptible(&sem); }), "task init/1, holding lock");
}

TEST_F(SleepingRules, SleepingUnderTheTaskLock)
{
	EXPECT_DEATH(({ task_lock(get_current()); msleep(1); }), sleep_bug_at(__LINE__));
	task_lock(get_current());
	task_unlock(get_current());
	msleep(1);	// released: sleeping is fine again
}

TEST_F(SleepingRules, KmapWithASpinlockHeld)
{
	DEFINE_SPINLOCK(lock);
	struct page *pg = alloc_page(GFP_KERNEL);
	ASSERT_NE(pg, nullptr);
	EXPECT_DEATH(({ spin_lock(&lock); kmap(pg); }), sleep_bug_at(__LINE__));
	__free_page(pg);
}

TEST_F(SleepingRules, AtomicAllocationWithASpinlockHeldIsFine)
{
	DEFINE_SPINLOCK(lock);
	spin_lock(&lock);
	void *p = kmalloc(64, GFP_ATOMIC);
	struct page *pg = alloc_page(GFP_ATOMIC);
	spin_unlock(&lock);
	EXPECT_NE(p, nullptr);
	EXPECT_NE(pg, nullptr);
	kfree(p);
	__free_page(pg);
	msleep(1);	// and sleeping is fine again afterwards
}

TEST_F(SleepingRules, SleepingWithInterruptsDisabled)
{
	DEFINE_SPINLOCK(lock);
	DECLARE_MUTEX(sem);
	EXPECT_DEATH(({ unsigned long f; local_irq_save(f); msleep(1); (void)f; }), sleep_bug_at(__LINE__));
	EXPECT_DEATH(({ unsigned long f; spin_lock_irqsave(&lock, f); down(&sem); (void)f; }),
		     "irqs_disabled\\(\\):1");
	EXPECT_DEATH(({ local_irq_disable(); kmalloc(8, GFP_NOIO); }), sleep_bug_at(__LINE__));
	// Restoring the saved state makes sleeping legal again.
	unsigned long f;
	spin_lock_irqsave(&lock, f);
	spin_unlock_irqrestore(&lock, f);
	EXPECT_FALSE(irqs_disabled());
	msleep(1);
}

TEST_F(SleepingRules, SleepingInInterruptContext)
{
	DECLARE_COMPLETION(done);
	EXPECT_DEATH(({ irq_enter(); msleep(1); }), sleep_bug_at(__LINE__));
	EXPECT_DEATH(({ irq_enter(); wait_for_completion(&done); }), "in_interrupt\\(\\):1");
	EXPECT_DEATH(({ irq_enter(); kmalloc(8, GFP_KERNEL); }), sleep_bug_at(__LINE__));
	irq_enter();
	EXPECT_TRUE(in_interrupt());
	complete(&done);	// completing from interrupt context is what it is for
	irq_exit();
	EXPECT_FALSE(in_interrupt());
	wait_for_completion(&done);
}

TEST_F(SleepingRules, SleepingInsideKmapAtomic)
{
	struct page *pg = alloc_page(GFP_KERNEL);
	ASSERT_NE(pg, nullptr);
	EXPECT_DEATH(({ kmap_atomic(pg, KM_USER0); msleep(1); }), sleep_bug_at(__LINE__));
	void *a = kmap_atomic(pg, KM_USER0);
	EXPECT_EQ(a, page_address(pg));
	EXPECT_TRUE(in_atomic());
	kunmap_atomic(a, KM_USER0);
	EXPECT_FALSE(in_atomic());
	EXPECT_EQ(kmap(pg), page_address(pg));
	kunmap(pg);
	__free_page(pg);
}

TEST_F(SleepingRules, SleepInAnotherTaskReportsThatTask)
{
	DEFINE_SPINLOCK(lock);
	EXPECT_DEATH(({
			     task_struct *t = coretest::start("culprit", [&] {
				     spin_lock(&lock);
				     msleep(1);
				     return 0;
			     });
			     coretest::finish(t);
		     }),
		     "task culprit/[0-9]+, holding lock");
}

// ---------------------------------------------------------------- lock misuse

TEST_F(SleepingRules, ReleasingASpinlockYouDoNotHold)
{
	DEFINE_SPINLOCK(lock);
	EXPECT_DEATH(spin_unlock(&lock), "BUG: spinlock lock released at .*sleeping_rules_test\\.cpp:[0-9]+ "
					 "while not locked");
	// Held by another task, which keeps it until told (it may not sleep meanwhile).
	std::atomic<bool> held{false}, release{false};
	task_struct *owner = coretest::start("owner", [&] {
		spin_lock(&lock);
		held = true;
		while (!release)
			cpu_relax();
		spin_unlock(&lock);
		return 0;
	});
	ASSERT_TRUE(coretest::eventually([&] { return held.load(); }));
	EXPECT_DEATH(spin_unlock(&lock), "BUG: spinlock lock released by init/1 at .*sleeping_rules_test\\.cpp:[0-9]+, "
					 "not its holder");
	release = true;
	EXPECT_EQ(coretest::finish(owner), 0);
}

TEST_F(SleepingRules, ATaskEndingWithASpinlockHeld)
{
	DEFINE_SPINLOCK(leaked_lock);
	EXPECT_DEATH(({
			     task_struct *t = coretest::start("leaker", [&] {
				     spin_lock(&leaked_lock);
				     return 0;
			     });
			     coretest::finish(t);
		     }),
		     "BUG: task leaker/[0-9]+ exited with spinlock leaked_lock held");
}

TEST_F(SleepingRules, LockOrderInversionBetweenTwoClasses)
{
	spinlock_t a, b;
	spin_lock_init(&a);
	spin_lock_init(&b);
	EXPECT_DEATH(({
			     spin_lock(&a);
			     spin_lock(&b);
			     spin_unlock(&b);
			     spin_unlock(&a);
			     task_struct *t = coretest::start("inverter", [&] {
				     spin_lock(&b);
				     spin_lock(&a);
				     spin_unlock(&a);
				     spin_unlock(&b);
				     return 0;
			     });
			     coretest::finish(t);
		     }),
		     "BUG: possible circular locking dependency: a taken while holding b");
	// The same order every time is fine, in any task.
	spin_lock(&a);
	spin_lock(&b);
	spin_unlock(&b);
	spin_unlock(&a);
	task_struct *t = coretest::start("orderly", [&] {
		spin_lock(&a);
		spin_lock(&b);
		spin_unlock(&b);
		spin_unlock(&a);
		return 0;
	});
	EXPECT_EQ(coretest::finish(t), 0);
}

// Sleeping locks are ordered too, through chains of any length: three tasks that each
// take two of three locks, one after another, never deadlock here, but would if they
// ran together.
TEST_F(SleepingRules, ACycleOfThreeSleepingLocks)
{
	semaphore a, c;
	rw_semaphore b;
	init_MUTEX(&a);
	init_rwsem(&b);
	init_MUTEX(&c);
	auto pair = [](const char *comm, std::function<void()> first_then_second) {
		return coretest::finish(coretest::start(comm, [=] {
			first_then_second();
			return 0;
		}));
	};
	EXPECT_DEATH(({
			     pair("ab", [&] { down(&a); down_write(&b); up_write(&b); up(&a); });
			     pair("bc", [&] { down_read(&b); down(&c); up(&c); up_read(&b); });
			     pair("ca", [&] { down(&c); down(&a); up(&a); up(&c); });
		     }),
		     "BUG: possible circular locking dependency: a taken while holding c at "
		     ".*sleeping_rules_test\\.cpp:[0-9]+, but c came after a before \\(a -> b at "
		     ".*:[0-9]+, b -> c at .*:[0-9]+\\); ca/[0-9]+ holds c");
	// The same order in every task is fine; so is a counting semaphore given by another.
	pair("ab", [&] { down(&a); down_write(&b); up_write(&b); up(&a); });
	pair("bc", [&] { down_read(&b); down(&c); up(&c); up_read(&b); });
	semaphore event;
	sema_init(&event, 0);
	pair("giver", [&] { up(&event); });
	down(&event);
}

// A mutex or rw-semaphore is released by the task that holds it, once; taking one again
// while holding it waits forever; a task does not end holding one.
TEST_F(SleepingRules, SleepingLocksBelongToTheirHolder)
{
	semaphore m;
	init_MUTEX(&m);
	DECLARE_RWSEM(rw);
	EXPECT_DEATH(({ down(&m); down(&m); }),
		     "BUG: possible recursive locking: &m taken again by init/1 at .*sleeping_rules_test");
	EXPECT_DEATH(({ down_read(&rw); down_read(&rw); }), "BUG: possible recursive locking: rw");
	EXPECT_DEATH(({
			     coretest::finish(coretest::start("taker", [&] {
				     down(&m);
				     up(&m);
				     return 0;
			     }));
			     up(&m);
		     }),
		     "BUG: semaphore &m released by init/1 at .*, which does not hold it");
	EXPECT_DEATH(up_read(&rw), "BUG: up_read of rw by init/1 at .*, which does not hold it");
	EXPECT_DEATH(coretest::finish(coretest::start("keeper", [&] {
			     down_write(&rw);
			     return 0;
		     })),
		     "BUG: task keeper/[0-9]+ exited with lock rw held");
}

TEST_F(SleepingRules, SpinlockRecursion)
{
	DEFINE_SPINLOCK(lock);
	EXPECT_DEATH(({ spin_lock(&lock); spin_lock(&lock); }),
		     "BUG: spinlock recursion: lock taken again by init/1 at .*sleeping_rules_test\\.cpp");
}
