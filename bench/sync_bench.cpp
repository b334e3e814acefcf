// Costs of the kernel's synchronisation primitives on real host threads: a semaphore
// hand-off between two tasks, an uncontended spinlock, and a completion round trip.
#include <benchmark/benchmark.h>

#include <atomic>

#include "kernel/machine.h"
#include "kernel/core/sched.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/spinlock.h"

using namespace kern;

namespace {

// A machine for one benchmark, halted at its end so that the next one can boot its own;
// the benchmark thread is its init task.
struct machine {
	machine()
	{
		boot_params p;
		p.clock_speed = 100;
		boot(p);
	}
	~machine() { halt(); }
};

void BM_SemaphorePingPong(benchmark::State &state)
{
	machine m;
	semaphore ping, pong;
	sema_init(&ping, 0);
	sema_init(&pong, 0);
	std::atomic<bool> stop{false};
	task_struct *peer = create_task("pong", true, 0, [&] {
		for (;;) {
			down(&ping);
			if (stop)
				return 0;
			up(&pong);
		}
	});
	if (IS_ERR(peer)) {
		state.SkipWithError("cannot start the peer task");
		return;
	}
	for (auto _ : state) {
		up(&ping);
		down(&pong);
	}
	stop = true;
	up(&ping);
	task_wait(peer);
	put_task_struct(peer);
	state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SemaphorePingPong)->UseRealTime();

void BM_SpinlockPair(benchmark::State &state)
{
	machine m;
	DEFINE_SPINLOCK(lock);
	for (auto _ : state) {
		spin_lock(&lock);
		benchmark::DoNotOptimize(&lock);
		spin_unlock(&lock);
	}
	state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpinlockPair);

void BM_CompletionRoundTrip(benchmark::State &state)
{
	machine m;
	DECLARE_COMPLETION(request);
	DECLARE_COMPLETION(reply);
	std::atomic<bool> stop{false};
	task_struct *peer = create_task("replier", true, 0, [&] {
		for (;;) {
			wait_for_completion(&request);
			if (stop)
				return 0;
			complete(&reply);
		}
	});
	if (IS_ERR(peer)) {
		state.SkipWithError("cannot start the peer task");
		return;
	}
	for (auto _ : state) {
		complete(&request);
		wait_for_completion(&reply);
	}
	stop = true;
	complete(&request);
	task_wait(peer);
	put_task_struct(peer);
	state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompletionRoundTrip)->UseRealTime();

} // namespace


