// The deterministic host: every host thread of the machine runs in turn, one at a time,
// holding a single run token, and a generator seeded at boot picks the next one at each
// switch point. Virtual time moves a nanosecond per switch point, and when every thread
// waits, straight to the next deadline. The same seed gives the same interleaving, and
// so the same kernel log.
#pragma once

#include <cstdint>
#include <string>

namespace kern::host {

struct hostops;

// How a seed explores (all chosen from the seed itself).
struct sim_config {
	uint64_t seed = 0;
	// 0: a random walk (switch at a preemption point with probability 1/switch_odds);
	// d >= 1: priority scheduling with d - 1 priority change points (PCT).
	unsigned depth = 0;
	unsigned switch_odds = 8;
	uint64_t horizon = 20000;	// steps over which PCT change points are spread
	unsigned buggify_odds = 100;	// 1 in this many decisions stalls the running thread
	unsigned park_steps = 2000;	// for up to this many steps
	unsigned timer_odds = 200;	// 1 in this many decisions moves time to the next deadline
	static sim_config from_seed(uint64_t seed);
	std::string describe() const;
};

struct sim_stats {
	uint64_t steps = 0;		// switch points met
	uint64_t switches = 0;		// hand-offs of the token
	uint64_t clock_jumps = 0;	// times every thread waited and time moved on
	unsigned threads = 0;		// threads that ran
};

// Installs the deterministic table; the calling thread holds the token. Before boot.
const hostops *sim_install(const sim_config &c);
// Back to the table before; threads still waiting keep waiting.
void sim_uninstall();
bool sim_active();
sim_stats sim_statistics();

} // namespace kern::host
