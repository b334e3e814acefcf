// Locks and conditions for a host program's own processes that share host memory (the
// agent's IO-thread reports, its change drainer, its backup readers). They wait through
// the machine's host table, so a seeded machine schedules these waits like the kernel's
// own; a std::mutex would block the one thread that may run.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace kern {

namespace host {
struct host_lock;
struct host_cond;
} // namespace host

class machine_mutex {
public:
	machine_mutex();
	~machine_mutex();
	machine_mutex(const machine_mutex &) = delete;
	machine_mutex &operator=(const machine_mutex &) = delete;
	void lock();
	void unlock();

private:
	friend class machine_cond;
	host::host_lock *l_;
};

class machine_cond {
public:
	using guard = std::unique_lock<machine_mutex>;
	machine_cond();
	~machine_cond();
	machine_cond(const machine_cond &) = delete;
	machine_cond &operator=(const machine_cond &) = delete;
	void wait(guard &g);
	// false when `timeout` passed first, on the host clock (virtual on a seeded machine).
	bool wait_for(guard &g, std::chrono::nanoseconds timeout);
	void notify_all();

	// Waits until ready() (checked under g) or `limit` has passed; every `slice` it lets
	// go of g and calls between(), so that the waiting process can take its signals.
	template <typename Ready, typename Between>
	bool wait_until_ready(guard &g, std::chrono::nanoseconds limit, std::chrono::nanoseconds slice,
			      Ready ready, Between between)
	{
		const uint64_t deadline = clock_ns() + static_cast<uint64_t>(limit.count());
		while (!ready()) {
			if (clock_ns() >= deadline)
				return false;
			if (!wait_for(g, slice)) {
				g.unlock();
				between();
				g.lock();
			}
		}
		return true;
	}

private:
	static uint64_t clock_ns();
	host::host_cond *c_;
};

} // namespace kern
