// schedule() and schedule_timeout() called without leaving TASK_RUNNING give up the
// processor through the host boundary instead of returning hot. The machine runs on a
// host table that counts the yields of one watched task.
#include <atomic>

#include "kernel/host/hostops.h"
#include "kernel/core/sched.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

namespace {

std::atomic<task_struct *> watched{nullptr};
std::atomic<long> yields{0};

void counting_yield()
{
	if (current && current == watched.load())
		yields++;
	host::posix_ops().thread_yield();
}

class Yielding : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		table_ = host::posix_ops();
		table_.thread_yield = counting_yield;
		previous_ = host::host_install(&table_);
		watched = nullptr;
		yields = 0;
		MachineTest::SetUp();
	}
	void TearDown() override
	{
		MachineTest::TearDown();
		host::host_install(previous_);
	}
	host::hostops table_{};
	const host::hostops *previous_ = nullptr;
};

} // namespace

TEST_F(Yielding, ScheduleWithoutSleepingGivesUpTheProcessor)
{
	watched = get_current();
	set_current_state(TASK_RUNNING);
	schedule();
	EXPECT_EQ(yields, 1);

	// A pause asked for in the running state returns once the thread runs again, with the
	// ticks not spent. (Long enough, a second of real time, that a loaded host's yield
	// cannot spend it all.)
	const long pause = 100 * HZ;
	unsigned long before = jiffies;
	long left = schedule_timeout(pause);
	unsigned long spent = jiffies - before;
	EXPECT_EQ(yields, 2);
	EXPECT_LE(left, pause);
	EXPECT_GE(left, pause - static_cast<long>(spent));
	EXPECT_GT(left, 0) << "the running state must not wait the timeout out";
	EXPECT_EQ(schedule_timeout(0), 0);
	EXPECT_EQ(yields, 3);

	// An interruptible sleep with a signal already pending does not sleep either.
	sig_action(SIGUSR1, [](int) {});
	send_sig(SIGUSR1, get_current(), 0);
	set_current_state(TASK_INTERRUPTIBLE);
	EXPECT_GT(schedule_timeout(1000), 0);
	EXPECT_EQ(get_current()->state.load(), TASK_RUNNING);
	EXPECT_EQ(yields, 4);
	flush_signals(get_current());
}

TEST_F(Yielding, AStopLoopOnScheduleYieldsEveryTurn)
{
	std::atomic<bool> stop{false};
	std::atomic<long> turns{0};
	task_struct *t = coretest::start(
		"stopper",
		[&] {
			watched = get_current();
			while (!stop) {
				schedule();
				turns++;
			}
			return 0;
		},
		true);
	ASSERT_NE(t, nullptr);
	ASSERT_TRUE(coretest::eventually([&] { return turns >= 200; }));
	stop = true;
	EXPECT_EQ(coretest::finish(t), 0);
	EXPECT_GE(yields.load(), turns.load());
}
