#include "kernel/host/machine_sync.h"

#include "kernel/host/hostops.h"

namespace kern {

machine_mutex::machine_mutex() : l_(H().lock_create()) {}
machine_mutex::~machine_mutex() { H().lock_destroy(l_); }
void machine_mutex::lock() { H().lock_acquire(l_); }
void machine_mutex::unlock() { H().lock_release(l_); }

machine_cond::machine_cond() : c_(H().cond_create()) {}
machine_cond::~machine_cond() { H().cond_destroy(c_); }
void machine_cond::wait(guard &g) { H().cond_wait(c_, g.mutex()->l_); }

bool machine_cond::wait_for(guard &g, std::chrono::nanoseconds timeout)
{
	return H().cond_wait_until(c_, g.mutex()->l_, clock_ns() + static_cast<uint64_t>(timeout.count()));
}

void machine_cond::notify_all() { H().cond_broadcast(c_); }
uint64_t machine_cond::clock_ns() { return H().monotonic_ns(); }

} // namespace kern
