#include "kernel/core/time.h"

#include <atomic>

#include "kernel/host/hostops.h"

namespace kern {

namespace {
std::atomic<u64> boot_mono{0};
std::atomic<s64> boot_wall{0};
std::atomic<double> speed{1.0};
} // namespace

void clock_start(double s)
{
	speed = s > 0 ? s : 1.0;
	boot_mono = host::ops().monotonic_ns();
	boot_wall = host::ops().wall_ns();
}

double clock_speed() { return speed; }

static u64 virtual_ns()
{
	u64 now = host::ops().monotonic_ns();
	u64 base = boot_mono;
	if (now < base)
		return 0;
	return static_cast<u64>(static_cast<double>(now - base) * speed.load());
}

u64 get_jiffies_64() { return virtual_ns() / (1000000000ull / HZ); }
unsigned long get_jiffies() { return static_cast<unsigned long>(get_jiffies_64()); }

u64 jiffies_to_host_ns(u64 j)
{
	double real = static_cast<double>(j) * (1000000000.0 / HZ) / speed.load();
	return boot_mono + static_cast<u64>(real) + 1;
}

timespec current_kernel_time()
{
	u64 ns = static_cast<u64>(boot_wall.load()) + virtual_ns();
	return {static_cast<long>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
}

void do_gettimeofday(timeval *tv)
{
	timespec t = current_kernel_time();
	tv->tv_sec = t.tv_sec;
	tv->tv_usec = t.tv_nsec / 1000;
}

} // namespace kern
