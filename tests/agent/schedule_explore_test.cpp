// Seeded, deterministic schedules: each seed runs a whole machine one thread at a time in
// an order drawn from the seed (random walks and priority schedules with change points),
// on virtual time, and checks the snapshot against the device as it was frozen and the
// halt's leak report. A failing seed prints the line that replays it.
//
// ZEP_EXPLORE_SEEDS=A..B (or N) runs those seeds instead of the built-in range.
#include <cstdlib>
#include <optional>
#include <random>

#include "kernel/core/printk.h"
#include "kernel/host/sim.h"
#include "tests/driver/cow_util.h"

using namespace kern;

namespace zeptest {
namespace {

constexpr size_t DISK_BYTES = 256 << 10;	// 4 chunks: writers and readers meet often
constexpr size_t BLOCK = 4096;

struct run_result {
	std::string failure;	// empty when every check passed
	std::vector<std::string> log;
	host::sim_stats stats;
};

struct seed_range {
	uint64_t first, last;
};

constexpr unsigned SHARDS = 10;

// The seeds of one shard: 1000 each (ZEP_EXPLORE_SHARD_SEEDS sets another count), or
// the range ZEP_EXPLORE_SEEDS names (A..B, or one seed), all in shard 0.
std::optional<seed_range> seeds_to_run(unsigned shard)
{
	const char *env = std::getenv("ZEP_EXPLORE_SEEDS");
	if (env && *env) {
		if (shard)
			return std::nullopt;
		std::string s = env;
		auto dots = s.find("..");
		if (dots == std::string::npos)
			return seed_range{std::stoull(s), std::stoull(s)};
		return seed_range{std::stoull(s.substr(0, dots)), std::stoull(s.substr(dots + 2))};
	}
	const char *per_env = std::getenv("ZEP_EXPLORE_SHARD_SEEDS");
	uint64_t per = per_env && *per_env ? std::stoull(per_env) : 1000;
	return seed_range{1 + shard * per, (shard + 1) * per};
}

// The snapshot of a disk taken while writers rewrite it and a reader reads the snapshot:
// every read of the snapshot, during the writes and after, gives the disk as it was
// when the session started.
std::string cow_under_writers(uint64_t seed, const std::filesystem::path &dir)
{
	kern::dev_t disk = add_ramdisk("erd", 8, DISK_BYTES / 512);
	if (!disk)
		return "no disk";
	const std::vector<unsigned char> before = chunk_pattern(DISK_BYTES, 1);
	disk_poke(disk, 0, before.data(), before.size());
	if (mount(disk))
		return "mount failed";

	semaphore opened, release;
	sema_init(&opened, 0);
	sema_init(&release, 0);
	kern::pid_t holder = spawn("cdpholder", [&] {
		Control c;
		bool ok = c.open();
		up(&opened);
		down(&release);
		c.close();
		return ok ? 0 : 1;
	});
	down(&opened);

	std::string failure;
	auto ssr = start_request(disk, (dir / "image").string());
	long id = start_snapshot(&ssr);
	if (id < 0) {
		failure = "start: " + std::to_string(id);
	} else {
		kern::pid_t io = start_io_thread(static_cast<int>(id), (dir / "io0").string());
		if (thread_wait(static_cast<int>(id)) != 0)
			failure = "the IO thread did not start";
		const std::string zep = "zep" + std::to_string(id);

		std::mt19937_64 rng(seed);
		std::vector<kern::pid_t> writers;
		for (unsigned w = 0; w < 3; w++) {
			std::vector<size_t> blocks;
			for (int i = 0; i < 4; i++)
				blocks.push_back(rng() % (DISK_BYTES / BLOCK));
			writers.push_back(spawn("writer", [w, blocks] {
				for (size_t b : blocks)
					if (write_in_process("erd", static_cast<kern::loff_t>(b * BLOCK),
							     chunk_pattern(BLOCK, 10 + w, b * BLOCK)))
						return 1;
				return 0;
			}));
		}
		std::vector<unsigned char> during = read_device(zep, 0, DISK_BYTES, "cdpread", 4096);
		for (kern::pid_t w : writers)
			if (waitpid(w) != 0 && failure.empty())
				failure = "a writer failed";
		std::vector<unsigned char> after = read_device(zep, 0, DISK_BYTES, "cdpread", 65536);
		if (failure.empty() && during != before)
			failure = "a snapshot read during the writes differs from the frozen disk";
		if (failure.empty() && after != before)
			failure = "a snapshot read after the writes differs from the frozen disk";
		if (stop_snapshot(static_cast<int>(id)) != 0 && failure.empty())
			failure = "stop failed";
		if (waitpid(io) != 0 && failure.empty())
			failure = "the IO thread failed";
	}
	up(&release);
	waitpid(holder);
	umount(disk);
	return failure;
}

using scenario = std::string (*)(uint64_t seed, const std::filesystem::path &dir);

run_result run_seed(scenario fn, uint64_t seed, const std::filesystem::path &dir)
{
	run_result r;
	boot_params p;
	p.seed = seed;
	boot(p);
	if (dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, MKDEV(ZEP_CONTROL_MAJOR, 0)) || insmod("zepdriver")) {
		r.failure = "the driver did not load";
	} else {
		r.failure = fn(seed, dir);
		if (rmmod("zepdriver") && r.failure.empty())
			r.failure = "rmmod failed";
	}
	r.log = dmesg();
	r.stats = host::sim_statistics();
	halt_report h = halt();
	for (auto &pr : h.problems)
		if (r.failure.empty())
			r.failure = "halt: " + pr;
	return r;
}

class Explore : public ::testing::TestWithParam<unsigned> {
protected:
	void SetUp() override
	{
		dir_ = std::filesystem::temp_directory_path() /
		       ("zep-explore-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}()));
		std::filesystem::create_directories(dir_);
	}
	void TearDown() override { std::filesystem::remove_all(dir_); }

	// Runs the shard's seeds; stops at the first failing one and says how to replay it.
	void explore(const char *name, scenario fn)
	{
		auto r = seeds_to_run(GetParam());
		if (!r)
			GTEST_SKIP() << "ZEP_EXPLORE_SEEDS runs in shard 0";
		host::sim_stats total;
		for (uint64_t seed = r->first; seed <= r->last; seed++) {
			run_result res = run_seed(fn, seed, dir_);
			total.steps += res.stats.steps;
			total.switches += res.stats.switches;
			if (!res.failure.empty()) {
				ADD_FAILURE() << name << " failed under "
					      << host::sim_config::from_seed(seed).describe() << ": " << res.failure
					      << "\nreplay: ZEP_EXPLORE_SEEDS=" << seed << " "
					      << ::testing::UnitTest::GetInstance()->original_working_dir()
					      << "/driver_schedule_explore_test --gtest_filter='Shards/Explore.*/0'";
				return;
			}
		}
		std::fprintf(stderr, "%s: seeds %llu..%llu passed, %llu steps, %llu switches\n", name,
			     static_cast<unsigned long long>(r->first), static_cast<unsigned long long>(r->last),
			     static_cast<unsigned long long>(total.steps),
			     static_cast<unsigned long long>(total.switches));
	}

	std::filesystem::path dir_;
};

TEST_P(Explore, CopyOnWriteUnderWritersAndSnapshotReads)
{
	explore("copy-on-write under writers", cow_under_writers);
}

INSTANTIATE_TEST_SUITE_P(Shards, Explore, ::testing::Range(0u, SHARDS));

class Replay : public Explore {};

// The same seed twice: the same interleaving, so the same kernel log line for line.
TEST_F(Replay, SameSeedReplaysTheSameKernelLog)
{
	for (uint64_t seed : {7ull, 8ull, 9ull}) {
		run_result a = run_seed(cow_under_writers, seed, dir_);
		run_result b = run_seed(cow_under_writers, seed, dir_);
		EXPECT_EQ(a.failure, "");
		EXPECT_EQ(a.stats.switches, b.stats.switches) << "seed " << seed;
		EXPECT_EQ(a.log, b.log) << "seed " << seed;
	}
}

} // namespace
} // namespace zeptest
