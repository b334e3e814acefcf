// The deterministic host table. Threads are real host threads, but each waits on a baton
// of its own (a futex-backed semaphore) until the single run token is handed to it, so
// exactly one runs at a time. Every wait of the host table (locks, conditions, sleeps,
// joins) and every yield or preemption point is a decision: the seeded generator, or
// the threads' priorities, pick who runs next. Locks and conditions keep their state
// here, keyed by the objects the table below created, so objects made before the
// install stay usable and the table below can free them after.
#include "kernel/host/sim.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <random>
#include <sched.h>
#include <semaphore>
#include <unordered_map>
#include <vector>

#include "kernel/host/hostops.h"

namespace kern::host {

namespace {

enum class wait_on { nothing, lock, cond, sleep, join };

struct sim_thread {
	unsigned id = 0;
	unsigned gen = 0;
	std::binary_semaphore baton{0};
	void (*fn)(void *) = nullptr;
	void *arg = nullptr;
	bool runnable = true;
	bool done = false;
	wait_on waits = wait_on::nothing;
	const void *on = nullptr;	// the lock, condition or thread waited for
	bool timed = false;
	uint64_t deadline = 0;
	bool timed_out = false;
	uint64_t priority = 0;
	uint64_t parked_until = 0;	// a step number
};

// The longest stall a random jump of time stands for: a thread's periodic wake-ups
// (seconds) come amid work, a grace period meant for a thread on its way out does not.
constexpr uint64_t JUMP_LIMIT_NS = 10000000000ull;
// And all such jumps of a run together stay below the give-up timeouts of the driver and
// the agent (30 s): those expire only when every thread waits, not because work took long.
constexpr uint64_t JUMP_BUDGET_NS = 20000000000ull;

// Virtual time starts well away from zero, as a host's monotonic clock does.
constexpr uint64_t CLOCK_BASE = 1000000000000ull;
constexpr int64_t WALL_BASE = 1780000000000000000ll;

struct sim_state {
	std::mutex m;
	unsigned gen = 0;
	std::atomic<bool> active{false};
	sim_config cfg;
	const hostops *before = nullptr;
	std::mt19937_64 rng;
	std::vector<sim_thread *> threads;	// not yet ended, in order of creation
	std::unordered_map<const host_lock *, sim_thread *> owners;
	std::unordered_map<const host_thread *, sim_thread *> by_handle;
	sim_thread *running = nullptr;
	unsigned next_id = 0;
	std::atomic<uint64_t> now{0};
	uint64_t jumped = 0;	// by random jumps amid work
	std::vector<uint64_t> change_points;
	size_t next_change = 0;
	std::vector<sim_thread *> ready, free;	// pick's, kept for their capacity
	sim_stats stats;
	// Every thread on one processor: only one runs anyway, and a hand-off between two
	// threads of one processor costs a third of one between processors.
	int cpu = -1;
	cpu_set_t installer_mask;
	bool installer_pinned = false;
};

sim_state &S()
{
	static auto *s = new sim_state;
	return *s;
}

thread_local sim_thread *self_t = nullptr;

void pin_to(int cpu)
{
	if (cpu < 0)
		return;
	cpu_set_t set;
	CPU_ZERO(&set);
	CPU_SET(cpu, &set);
	pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

const hostops &below() { return posix_ops(); }

[[noreturn]] void sim_panic(const std::string &why)
{
	below().panic(why.c_str());
	__builtin_trap();
}

uint64_t draw(uint64_t n) { return n ? S().rng() % n : 0; }

sim_thread *new_thread()
{
	auto &s = S();
	auto *t = new sim_thread;
	t->id = s.next_id++;
	t->gen = s.gen;
	// Initial priorities lie above every lowered one (0 .. depth - 1).
	t->priority = s.cfg.depth + 1 + (s.rng() >> 8);
	s.threads.push_back(t);
	s.stats.threads++;
	return t;
}

std::string thread_report()
{
	static const char *kinds[] = {"runnable", "a lock", "a condition", "a sleep", "a join"};
	std::string r;
	for (sim_thread *t : S().threads) {
		char line[160];
		std::snprintf(line, sizeof(line), "\n  thread %u waits for %s%s", t->id,
			      t->runnable ? "nothing" : kinds[static_cast<int>(t->waits)],
			      t->timed ? " (timed)" : "");
		r += line;
	}
	return r;
}

// Wakes the timed waiters whose deadline has come.
void expire_timers()
{
	auto &s = S();
	for (sim_thread *t : s.threads) {
		if (!t->runnable && t->timed && t->deadline <= s.now) {
			t->runnable = true;
			t->timed_out = true;
			t->timed = false;
			t->waits = wait_on::nothing;
		}
	}
}

// Time moves to the nearest deadline (within `limit` of now), whose waiters wake.
bool advance_clock(uint64_t limit = UINT64_MAX)
{
	auto &s = S();
	bool any = false;
	uint64_t next = 0;
	for (sim_thread *t : s.threads) {
		if (!t->runnable && t->timed && t->deadline - s.now <= limit && (!any || t->deadline < next)) {
			next = t->deadline;
			any = true;
		}
	}
	if (!any)
		return false;
	if (next > s.now)
		s.now = next;
	expire_timers();
	s.stats.clock_jumps++;
	return true;
}

// The thread to run next. `me` stays a candidate while runnable; a yielding thread is
// passed over when anyone else can run.
sim_thread *pick(sim_thread *me, bool yielding)
{
	auto &s = S();
	s.stats.steps++;
	// A nanosecond per step: readings of the clock taken at different steps differ, as
	// on a real host, and so order events; deadlines still come when everyone waits.
	s.now++;
	expire_timers();
	// And now and then the work so far took long: the nearest deadline comes even though
	// threads could still run, as timers fire amid work on a slow host.
	if (s.cfg.timer_odds && draw(s.cfg.timer_odds) == 0 && s.jumped < JUMP_BUDGET_NS) {
		uint64_t was = s.now;
		advance_clock(std::min(JUMP_LIMIT_NS, JUMP_BUDGET_NS - s.jumped));
		s.jumped += s.now - was;
	}
	if (s.cfg.depth && me && s.next_change < s.change_points.size() &&
	    s.stats.steps >= s.change_points[s.next_change]) {
		me->priority = s.cfg.depth - 1 - s.next_change;
		s.next_change++;
	}
	std::vector<sim_thread *> &ready = s.ready;
	ready.clear();
	for (;;) {
		for (sim_thread *t : s.threads)
			if (t->runnable)
				ready.push_back(t);
		if (!ready.empty())
			break;
		if (!advance_clock())
			sim_panic("sim (" + s.cfg.describe() + "): deadlock, every thread waits with no deadline" +
				  thread_report());
	}
	// Now and then the running thread stalls right where it is, for a while, as an
	// interrupted or descheduled thread does: the others run through whatever window
	// it left open.
	if (s.cfg.buggify_odds && me && me->runnable && draw(s.cfg.buggify_odds) == 0)
		me->parked_until = s.stats.steps + 50 + draw(s.cfg.park_steps);
	std::vector<sim_thread *> &free = s.free;
	free.clear();
	for (sim_thread *t : ready)
		if (t->parked_until <= s.stats.steps && !(yielding && t == me))
			free.push_back(t);
	if (free.empty()) {
		for (sim_thread *t : ready)
			if (!(yielding && t == me))
				free.push_back(t);
	}
	if (free.empty())
		return me;	// a yield with nobody else to run
	if (!s.cfg.depth) {
		bool me_free = std::find(free.begin(), free.end(), me) != free.end();
		if (me_free && !yielding && draw(s.cfg.switch_odds) != 0)
			return me;
		return free[draw(free.size())];
	}
	sim_thread *best = free.front();
	for (sim_thread *t : free)
		if (t->priority > best->priority)
			best = t;
	return best;
}

// Hands the token to next and waits to get it back.
void switch_to(std::unique_lock<std::mutex> &lk, sim_thread *me, sim_thread *next)
{
	auto &s = S();
	if (next == me)
		return;
	s.running = next;
	s.stats.switches++;
	next->baton.release();
	lk.unlock();
	me->baton.acquire();
	lk.lock();
}

// The caller's record, once it holds the token: a thread the table did not start waits
// for its turn like any other.
sim_thread *enter(std::unique_lock<std::mutex> &lk)
{
	auto &s = S();
	sim_thread *me = self_t;
	if (me && me->gen == s.gen)
		return me;
	me = new_thread();
	self_t = me;
	if (!s.running) {
		s.running = me;
		return me;
	}
	lk.unlock();
	me->baton.acquire();
	lk.lock();
	return me;
}

void block(std::unique_lock<std::mutex> &lk, sim_thread *me)
{
	me->runnable = false;
	switch_to(lk, me, pick(me, false));
}

void preempt(std::unique_lock<std::mutex> &lk, sim_thread *me) { switch_to(lk, me, pick(me, false)); }

void take_lock(std::unique_lock<std::mutex> &lk, sim_thread *me, host_lock *l)
{
	auto &s = S();
	for (;;) {
		auto it = s.owners.find(l);
		if (it == s.owners.end() || !it->second)
			break;
		if (it->second == me)
			sim_panic("sim: a host lock taken twice by one thread");
		me->waits = wait_on::lock;
		me->on = l;
		block(lk, me);
	}
	s.owners[l] = me;
}

// Gives the lock back; true when a waiter was woken.
bool drop_lock(host_lock *l)
{
	auto &s = S();
	s.owners[l] = nullptr;
	bool woke = false;
	for (sim_thread *t : s.threads) {
		if (!t->runnable && t->waits == wait_on::lock && t->on == l) {
			t->runnable = true;
			t->waits = wait_on::nothing;
			woke = true;
		}
	}
	return woke;
}

// ---- the table ----

void sim_trampoline(void *arg)
{
	auto *me = static_cast<sim_thread *>(arg);
	self_t = me;
	pin_to(S().cpu);
	me->baton.acquire();
	me->fn(me->arg);
	auto &s = S();
	std::unique_lock lk(s.m);
	me->done = true;
	me->runnable = false;
	if (s.gen != me->gen)
		return;	// a thread of an earlier install: nobody waits for its token
	s.threads.erase(std::find(s.threads.begin(), s.threads.end(), me));
	for (sim_thread *t : s.threads) {
		if (!t->runnable && t->waits == wait_on::join && t->on == me) {
			t->runnable = true;
			t->waits = wait_on::nothing;
		}
	}
	sim_thread *next = s.threads.empty() ? nullptr : pick(nullptr, false);
	s.running = next;
	if (next) {
		s.stats.switches++;
		next->baton.release();
	}
}

int s_thread_start(host_thread **out, void (*fn)(void *), void *arg)
{
	auto &s = S();
	std::unique_lock lk(s.m);
	sim_thread *me = enter(lk);
	sim_thread *t = new_thread();
	t->fn = fn;
	t->arg = arg;
	host_thread *h = nullptr;
	int rc = below().thread_start(&h, sim_trampoline, t);
	if (rc) {
		s.threads.erase(std::find(s.threads.begin(), s.threads.end(), t));
		delete t;
		return rc;
	}
	s.by_handle[h] = t;
	*out = h;
	preempt(lk, me);
	return 0;
}

void s_thread_join(host_thread *h)
{
	auto &s = S();
	std::unique_lock lk(s.m);
	sim_thread *me = enter(lk);
	auto it = s.by_handle.find(h);
	if (it == s.by_handle.end()) {
		lk.unlock();
		below().thread_join(h);
		return;
	}
	sim_thread *t = it->second;
	while (!t->done) {
		me->waits = wait_on::join;
		me->on = t;
		block(lk, me);
	}
	s.by_handle.erase(h);
	lk.unlock();
	below().thread_join(h);	// it has handed the token on and is leaving
	delete t;
}

void s_thread_yield()
{
	auto &s = S();
	std::unique_lock lk(s.m);
	sim_thread *me = enter(lk);
	switch_to(lk, me, pick(me, true));
}

int s_cpu_count() { return 1; }

host_lock *s_lock_create() { return below().lock_create(); }

void s_lock_destroy(host_lock *l)
{
	{
		std::lock_guard g(S().m);
		S().owners.erase(l);
	}
	below().lock_destroy(l);
}

void s_lock_acquire(host_lock *l)
{
	std::unique_lock lk(S().m);
	take_lock(lk, enter(lk), l);
}

void s_lock_release(host_lock *l)
{
	std::unique_lock lk(S().m);
	sim_thread *me = enter(lk);
	if (drop_lock(l))
		preempt(lk, me);
}

host_cond *s_cond_create() { return below().cond_create(); }
void s_cond_destroy(host_cond *c) { below().cond_destroy(c); }

bool wait_cond(host_cond *c, host_lock *l, bool timed, uint64_t deadline)
{
	auto &s = S();
	std::unique_lock lk(s.m);
	sim_thread *me = enter(lk);
	if (timed && deadline <= s.now + CLOCK_BASE)
		return false;
	drop_lock(l);
	me->waits = wait_on::cond;
	me->on = c;
	me->timed = timed;
	me->deadline = timed ? deadline - CLOCK_BASE : 0;
	me->timed_out = false;
	block(lk, me);
	me->timed = false;
	bool signalled = !me->timed_out;
	take_lock(lk, me, l);
	return signalled;
}

void s_cond_wait(host_cond *c, host_lock *l) { wait_cond(c, l, false, 0); }
bool s_cond_wait_until(host_cond *c, host_lock *l, uint64_t deadline) { return wait_cond(c, l, true, deadline); }

void s_cond_broadcast(host_cond *c)
{
	auto &s = S();
	std::unique_lock lk(s.m);
	sim_thread *me = enter(lk);
	bool woke = false;
	for (sim_thread *t : s.threads) {
		if (!t->runnable && t->waits == wait_on::cond && t->on == c) {
			t->runnable = true;
			t->waits = wait_on::nothing;
			t->timed = false;
			woke = true;
		}
	}
	if (woke)
		preempt(lk, me);
}

uint64_t s_monotonic_ns() { return CLOCK_BASE + S().now.load(std::memory_order_relaxed); }
int64_t s_wall_ns() { return WALL_BASE + static_cast<int64_t>(S().now.load(std::memory_order_relaxed)); }

void s_sleep_ns(uint64_t ns)
{
	auto &s = S();
	std::unique_lock lk(s.m);
	sim_thread *me = enter(lk);
	me->waits = wait_on::sleep;
	me->timed = true;
	me->deadline = s.now + ns;
	block(lk, me);
	me->timed = false;
}

void s_preempt_point()
{
	auto &s = S();
	if (!s.active)
		return;
	std::unique_lock lk(s.m);
	preempt(lk, enter(lk));
}

hostops sim_table;

} // namespace

sim_config sim_config::from_seed(uint64_t seed)
{
	sim_config c;
	c.seed = seed;
	// A third of the seeds walk at random; the others schedule by priority with one or
	// two change points, which finds races of depth two or three with known odds.
	c.depth = static_cast<unsigned>(seed % 3);
	if (c.depth)
		c.depth += 1;
	return c;
}

std::string sim_config::describe() const
{
	char b[120];
	if (depth)
		std::snprintf(b, sizeof(b), "seed %llu, priorities with %u change point(s)",
			      static_cast<unsigned long long>(seed), depth - 1);
	else
		std::snprintf(b, sizeof(b), "seed %llu, random walk", static_cast<unsigned long long>(seed));
	return b;
}

const hostops *sim_install(const sim_config &c)
{
	auto &s = S();
	std::unique_lock lk(s.m);
	if (s.active)
		sim_panic("sim: installed twice");
	s.gen++;
	s.cfg = c;
	s.rng.seed(c.seed);
	s.threads.clear();	// an earlier install's stragglers are left to themselves
	s.owners.clear();
	s.by_handle.clear();
	s.next_id = 0;
	s.now = 0;
	s.jumped = 0;
	s.stats = {};
	s.change_points.clear();
	s.next_change = 0;
	if (c.depth > 1) {
		for (unsigned i = 0; i + 1 < c.depth; i++)
			s.change_points.push_back(1 + draw(c.horizon));
		std::sort(s.change_points.begin(), s.change_points.end());
	}
	sim_table = posix_ops();
	sim_table.thread_start = s_thread_start;
	sim_table.thread_join = s_thread_join;
	sim_table.thread_yield = s_thread_yield;
	sim_table.cpu_count = s_cpu_count;
	sim_table.lock_create = s_lock_create;
	sim_table.lock_destroy = s_lock_destroy;
	sim_table.lock_acquire = s_lock_acquire;
	sim_table.lock_release = s_lock_release;
	sim_table.cond_create = s_cond_create;
	sim_table.cond_destroy = s_cond_destroy;
	sim_table.cond_wait = s_cond_wait;
	sim_table.cond_wait_until = s_cond_wait_until;
	sim_table.cond_broadcast = s_cond_broadcast;
	sim_table.monotonic_ns = s_monotonic_ns;
	sim_table.wall_ns = s_wall_ns;
	sim_table.sleep_ns = s_sleep_ns;
	sim_table.preempt_point = s_preempt_point;
	s.cpu = sched_getcpu();
	s.installer_pinned = pthread_getaffinity_np(pthread_self(), sizeof(s.installer_mask), &s.installer_mask) == 0;
	pin_to(s.cpu);
	sim_thread *me = new_thread();
	self_t = me;
	s.running = me;
	s.active = true;
	s.before = host_install(&sim_table);
	return &sim_table;
}

void sim_uninstall()
{
	auto &s = S();
	std::unique_lock lk(s.m);
	if (!s.active)
		return;
	s.active = false;
	host_install(s.before);
	// A new generation: threads left waiting never get the token again, and the next
	// install's threads are told apart from them.
	s.gen++;
	s.running = nullptr;
	// The caller's own record, unless the table started its thread (joins free those).
	// Another thread's record is left: that thread may still read it.
	if (self_t && !self_t->fn) {
		s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), self_t), s.threads.end());
		delete self_t;
	}
	self_t = nullptr;
	if (s.installer_pinned)
		pthread_setaffinity_np(pthread_self(), sizeof(s.installer_mask), &s.installer_mask);
}

bool sim_active() { return S().active; }

sim_stats sim_statistics()
{
	std::lock_guard g(S().m);
	return S().stats;
}

} // namespace kern::host
