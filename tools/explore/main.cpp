// zep-explore: runs scenarios under seeded, deterministic schedules. Each seed boots a
// machine that runs one thread at a time in an order drawn from the seed (random walks and
// priority schedules with change points) on virtual time, runs the scenario with the driver
// loaded, and checks its result and the halt's leak report. A failing seed, or one that
// crashes or deadlocks, prints the command that replays it.
//
// Exit codes: 0 every seed passed, 1 a seed failed (or did not replay alike with --twice),
// 2 usage.
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "kernel/fs/fs.h"
#include "kernel/host/sim.h"
#include "kernel/machine.h"
#include "tools/explore/scenarios.h"

namespace {

using zep::explore::scenario;

struct run_result {
	std::string failure;	// empty when every check passed
	std::vector<std::string> log;
	kern::host::sim_stats stats;
};

run_result run_seed(const scenario &sc, uint64_t seed, const std::filesystem::path &dir)
{
	run_result r;
	kern::boot_params p;
	p.seed = seed;
	kern::boot(p);
	if (kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)) ||
	    kern::insmod("zepdriver")) {
		r.failure = "the driver did not load";
	} else {
		r.failure = sc.run(seed, dir);
		if (kern::rmmod("zepdriver") && r.failure.empty())
			r.failure = "rmmod failed";
	}
	r.log = kern::dmesg();
	r.stats = kern::host::sim_statistics();
	kern::halt_report h = kern::halt();
	for (auto &pr : h.problems)
		if (r.failure.empty())
			r.failure = "halt: " + pr;
	for (auto &e : std::filesystem::directory_iterator(dir))
		std::filesystem::remove_all(e.path());
	return r;
}

std::string replay_line(const scenario &sc, uint64_t seed)
{
	std::error_code ec;
	auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
	return fmt::format("{} {} --seeds {}", exe.string(), sc.name, seed);
}

// What a crash says before the process dies: a fault, or the deterministic host's panic
// (a deadlock), names the seed that led there.
char crash_note[1024];

void on_crash(int sig)
{
	ssize_t n = ::write(2, crash_note, std::strlen(crash_note));
	(void)n;
	std::signal(sig, SIG_DFL);
	std::raise(sig);
}

// "A..B" or "N".
bool parse_seeds(const std::string &s, uint64_t &first, uint64_t &last)
{
	try {
		size_t used = 0;
		auto dots = s.find("..");
		first = std::stoull(s.substr(0, dots), &used);
		if (used != s.substr(0, dots).size())
			return false;
		last = first;
		if (dots != std::string::npos) {
			std::string rest = s.substr(dots + 2);
			last = std::stoull(rest, &used);
			if (used != rest.size())
				return false;
		}
		return first <= last;
	} catch (const std::exception &) {
		return false;
	}
}

// Runs the seeds on one scenario; false at the first seed that fails, after saying so.
bool explore(const scenario &sc, uint64_t first, uint64_t last, bool twice, bool show_log,
	     const std::filesystem::path &dir)
{
	auto t0 = std::chrono::steady_clock::now();
	uint64_t steps = 0;
	for (uint64_t seed = first; seed <= last; seed++) {
		std::string how = kern::host::sim_config::from_seed(seed).describe();
		std::snprintf(crash_note, sizeof(crash_note), "\n%s crashed under %s\nreplay: %s\n", sc.name,
			      how.c_str(), replay_line(sc, seed).c_str());
		run_result r = run_seed(sc, seed, dir);
		if (r.failure.empty() && twice) {
			run_result again = run_seed(sc, seed, dir);
			if (again.log != r.log || again.stats.switches != r.stats.switches)
				r.failure = fmt::format("the second run differs: {} log lines and {} hand-offs, "
							"then {} and {}",
							r.log.size(), r.stats.switches, again.log.size(),
							again.stats.switches);
		}
		if (!r.failure.empty()) {
			if (show_log)
				for (const std::string &line : r.log)
					fmt::print(stderr, "{}\n", line);
			fmt::print(stderr, "{}: seed {} failed under {}: {}\nreplay: {}\n", sc.name, seed, how, r.failure,
				   replay_line(sc, seed));
			return false;
		}
		steps += r.stats.steps;
	}
	double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	uint64_t n = last - first + 1;
	fmt::print("{}: seeds {}..{} passed{} ({:.1f} s, {} switch points a seed)\n", sc.name, first, last,
		   twice ? ", each replayed alike" : "", secs, steps / n);
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	CLI::App app{"Runs driver scenarios under seeded, deterministic schedules and checks each run."};
	std::string name, seeds;
	unsigned shard = 0, shard_seeds = 250;
	bool twice = false, list = false, show_log = false;
	app.add_option("scenario", name, "a scenario (see --list), or all");
	app.add_option("--seeds", seeds, "the seeds to run: A..B or N");
	app.add_option("--shard", shard, "run shard I: seeds I*N+1 .. (I+1)*N")->excludes("--seeds");
	app.add_option("--shard-seeds", shard_seeds, "N, the seeds in a shard")
		->envname("ZEP_EXPLORE_SHARD_SEEDS")
		->check(CLI::PositiveNumber);
	app.add_flag("--twice", twice, "run each seed twice: the same kernel log and hand-offs, or a failure");
	app.add_flag("--list", list, "list the scenarios");
	app.add_flag("--log", show_log, "print the kernel log of a failing seed");
	CLI11_PARSE(app, argc, argv);

	const auto &all = zep::explore::scenarios();
	if (list) {
		for (const scenario &sc : all)
			fmt::print("{:<22}{}\n", sc.name, sc.what);
		return 0;
	}
	std::vector<const scenario *> chosen;
	for (const scenario &sc : all)
		if (name == "all" || name == sc.name)
			chosen.push_back(&sc);
	if (chosen.empty()) {
		fmt::print(stderr, "zep-explore: no scenario named '{}'; --list shows them\n", name);
		return 2;
	}
	uint64_t first = 1 + uint64_t{shard} * shard_seeds, last = first + shard_seeds - 1;
	if (!seeds.empty() && !parse_seeds(seeds, first, last)) {
		fmt::print(stderr, "zep-explore: --seeds takes A..B (A <= B) or one seed, not '{}'\n", seeds);
		return 2;
	}

	auto dir = std::filesystem::temp_directory_path() /
		   fmt::format("zep-explore-{}-{}", ::getpid(), std::random_device{}());
	std::filesystem::create_directories(dir);
	for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE})
		std::signal(sig, on_crash);
	bool ok = true;
	for (const scenario *sc : chosen)
		if (!(ok = explore(*sc, first, last, twice, show_log, dir)))
			break;
	std::filesystem::remove_all(dir);
	return ok ? 0 : 1;
}
