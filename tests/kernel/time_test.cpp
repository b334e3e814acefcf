#include "kernel/core/time.h"

#include <chrono>
#include <thread>

#include "kernel/machine.h"
#include "kernel/core/sched.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

namespace {
double real_ms_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
} // namespace

class Time : public zeptest::MachineTest {};

TEST_F(Time, JiffiesRunAtHzTimesTheClockSpeed)
{
	EXPECT_DOUBLE_EQ(clock_speed(), 100.0);
	// Real time is read on both sides of each jiffies read, so that a stall of this
	// thread on a loaded machine widens the bounds instead of breaking them.
	auto outer0 = std::chrono::steady_clock::now();
	unsigned long j0 = jiffies;
	auto inner0 = std::chrono::steady_clock::now();
	std::this_thread::sleep_for(std::chrono::milliseconds(50));
	double inner_ms = real_ms_since(inner0);
	unsigned long dj = jiffies - j0;
	double outer_ms = real_ms_since(outer0);
	// At speed 100 and HZ 1000 one real millisecond is 100 jiffies.
	EXPECT_GE(dj, static_cast<unsigned long>(inner_ms * 100.0 * 0.95));
	EXPECT_LE(dj, static_cast<unsigned long>(outer_ms * 100.0 * 1.05) + 2);
	EXPECT_EQ(get_jiffies_64() >= dj, true);
}

TEST_F(Time, MsleepOfOneVirtualSecondTakesAboutTenRealMilliseconds)
{
	unsigned long j0 = jiffies;
	auto t0 = std::chrono::steady_clock::now();
	msleep(1000);
	double ms = real_ms_since(t0);
	EXPECT_GE(jiffies - j0, 1000ul);
	EXPECT_GE(ms, 8.0);
	EXPECT_LE(ms, 800.0);	// at real speed it would take 1000 ms
}

TEST_F(Time, KernelTimeFollowsTheVirtualClock)
{
	kern::timespec a = current_kernel_time();
	msleep(2000);
	kern::timespec b = xtime;
	double dt = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
	EXPECT_GE(dt, 2.0);
	EXPECT_LT(dt, 100.0);
	EXPECT_GE(b.tv_nsec, 0);
	EXPECT_LT(b.tv_nsec, 1000000000);
	kern::timeval tv;
	do_gettimeofday(&tv);
	EXPECT_GE(tv.tv_sec, b.tv_sec);
	EXPECT_LT(tv.tv_usec, 1000000);
	// The wall clock started near the host's.
	long host_now = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
						  std::chrono::system_clock::now().time_since_epoch())
						  .count());
	EXPECT_NEAR(static_cast<double>(a.tv_sec), static_cast<double>(host_now), 60.0);
}

TEST(TimeHelpers, ComparisonsSurviveWrapAround)
{
	unsigned long before_wrap = ~0ul - 5;
	unsigned long after_wrap = 10;
	EXPECT_TRUE(time_after(after_wrap, before_wrap));
	EXPECT_TRUE(time_before(before_wrap, after_wrap));
	EXPECT_TRUE(time_after_eq(after_wrap, after_wrap));
	EXPECT_FALSE(time_after(before_wrap, after_wrap));
	EXPECT_EQ(msecs_to_jiffies(1500), 1500ul);
	EXPECT_EQ(jiffies_to_msecs(HZ), 1000ul);
}
