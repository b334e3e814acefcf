// The virtual clock: HZ ticks per virtual second, running `speed` times real time.
#pragma once

#include "kernel/lib/types.h"

namespace kern {

constexpr unsigned long HZ = 1000;
constexpr long MAX_SCHEDULE_TIMEOUT = 0x7fffffffffffffffL;

struct timespec {
	long tv_sec;
	long tv_nsec;
};
struct timeval {
	long tv_sec;
	long tv_usec;
};

// Starts the clock at boot: jiffies are 0 at that instant.
void clock_start(double speed);
double clock_speed();

unsigned long get_jiffies();
u64 get_jiffies_64();

// `jiffies` reads the clock each time it is used, like the kernel's volatile variable.
struct jiffies_reader {
	operator unsigned long() const { return get_jiffies(); }
};
inline constexpr jiffies_reader jiffies{};

// Wall time of the virtual clock (boot wall time + virtual time since boot).
timespec current_kernel_time();
#define xtime (::kern::current_kernel_time())
void do_gettimeofday(timeval *tv);

// Host monotonic instant (ns) at which the virtual clock reaches `j` jiffies.
u64 jiffies_to_host_ns(u64 j);

constexpr unsigned long msecs_to_jiffies(unsigned long ms) { return ms * HZ / 1000; }
constexpr unsigned long jiffies_to_msecs(unsigned long j) { return j * 1000 / HZ; }

inline bool time_after(unsigned long a, unsigned long b) { return (long)(b - a) < 0; }
inline bool time_before(unsigned long a, unsigned long b) { return time_after(b, a); }
inline bool time_after_eq(unsigned long a, unsigned long b) { return (long)(a - b) >= 0; }

} // namespace kern
