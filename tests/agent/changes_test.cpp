// zep::change_drainer against the real driver: live writes become merged byte extents per
// device, the cut at marks around a snapshot taken while writers run, what makes a set
// incomplete and keeps it so, and the drainer's process ending, stopped or killed.
#include <memory>
#include <mutex>
#include <random>

#include "agent/changes.h"
#include "kernel/core/faults.h"
#include "kernel/core/printk.h"
#include "tests/agent/snapshot_fixture.h"

using namespace zeptest;
using zep::errc;
using zep::extent;

namespace
{

using extents = std::vector<extent>;

// A process that rewrites random ranges of a device through its node until stopped, logging
// each write before it is issued, and counting the writes begun and those done.
class writer {
public:
	writer(const std::string &node, uint64_t sectors, unsigned seed)
	{
		pid_ = kern::spawn("writer", [this, node, sectors, seed] {
			return run(node, sectors, seed);
		});
	}
	~writer() { stop(); }

	void stop()
	{
		if (pid_ < 0)
			return;
		stop_ = true;
		EXPECT_EQ(kern::waitpid(pid_), 0);
		pid_ = -1;
	}
	size_t begun() const { return begun_; }
	size_t done() const { return done_; }
	// Write i: its first sector and its sector count.
	std::vector<std::pair<uint64_t, uint64_t>> log()
	{
		std::lock_guard<std::mutex> g(m_);
		return log_;
	}

private:
	static constexpr uint64_t MOST = 16;

	int run(const std::string &node, uint64_t sectors, unsigned seed)
	{
		int fd = kern::sys_open(("/dev/" + node).c_str(), O_RDWR, 0);
		long buf = kern::sys_mmap(MOST * 512);
		if (fd < 0 || buf < 0)
			return 1;
		std::mt19937 rng(seed);
		while (!stop_) {
			uint64_t n = 1 + rng() % MOST, first = rng() % (sectors - n);
			{
				std::lock_guard<std::mutex> g(m_);
				log_.emplace_back(first, n);
			}
			begun_++;
			if (kern::sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf),
			                       n * 512, static_cast<kern::loff_t>(first * 512)) !=
			    static_cast<ssize_t>(n * 512))
				return 2;
			done_++;
		}
		kern::sys_close(static_cast<unsigned>(fd));
		return 0;
	}

	kern::pid_t pid_ = -1;
	std::atomic<bool> stop_{false};
	std::atomic<size_t> begun_{0}, done_{0};
	std::mutex m_;
	std::vector<std::pair<uint64_t, uint64_t>> log_;
};

class ChangesTest : public AgentTest {
protected:
	// Runs fn in an agent process with a drainer it started.
	static int with_drainer(const std::function<int(zep::change_drainer &)> &fn,
	                        const zep::drainer_options &o = {})
	{
		return in_process("cdpagent", [&] {
			auto d = zep::change_drainer::start(o);
			EXPECT_TRUE(d.ok()) << d.err().message;
			return d ? fn(*d) : 99;
		});
	}

	// A snapshot of the partition, taken and stopped: the first one starts its change
	// tracking, which outlives it.
	bool snapshot_once()
	{
		auto s = zep::snapshot::take(p1_, options());
		EXPECT_TRUE(s.ok()) << s.err().message;
		return s && s->stop().ok();
	}

	static void write(const std::string &node, uint64_t off, size_t bytes)
	{
		ASSERT_EQ(write_node(node, static_cast<kern::loff_t>(off), pattern(bytes, 5)), 0);
	}

	static extents since(zep::change_drainer &d, kern::dev_t dev, const zep::change_mark &m)
	{
		zep::collected_changes c = d.changes_since(dev, m);
		EXPECT_TRUE(c.changes.complete) << c.reason;
		EXPECT_EQ(c.reason, "");
		return c.changes.extents;
	}

	// Why the set since m is incomplete ("" when it is complete).
	static std::string untrusted(zep::change_drainer &d, const zep::change_mark &m,
	                             kern::dev_t dev)
	{
		zep::collected_changes c = d.changes_since(dev, m);
		EXPECT_EQ(c.changes.complete, c.reason.empty()) << c.reason;
		return c.reason;
	}
};

bool has(const std::string &text, const std::string &part)
{
	return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(ChangesTest, LiveWritesBecomeMergedByteExtentsPerDevice)
{
	int rc = with_drainer([&](zep::change_drainer &d) {
		auto s = zep::snapshot::take(p1_, options());
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (!s)
			return 1;
		zep::change_mark m = d.mark();
		write("ard1", 4096, 4096);
		write("ard1", 6144, 4096);          // overlaps the one before
		write("ard1", 10240, 512);          // touches it
		write("ard1", 1536, 1024);          // apart
		write("ard1", 3 * CHUNK - 512, 1024); // across a chunk boundary
		write("zep1", CHUNK, 4096);         // the snapshot device is a device of its own
		EXPECT_EQ(since(d, p1_, m), (extents{{1536, 1024}, {4096, 6656}, {3 * CHUNK - 512, 1024}}));
		EXPECT_EQ(since(d, kern::MKDEV(ZEP_CLONE_MAJOR, 1), m), (extents{{CHUNK, 4096}}));
		EXPECT_EQ(since(d, p2_, m), extents{});
		EXPECT_EQ(d.records(), 6u);

		// A later mark leaves those out; the earlier one gains the new write.
		zep::change_mark m2 = d.mark();
		write("ard1", 0, 512);
		EXPECT_EQ(since(d, p1_, m2), (extents{{0, 512}}));
		EXPECT_EQ(since(d, p1_, m).size(), 4u);

		// No room in the driver for a delivery: retried with fewer records, none lost.
		write("ard1", 2 * CHUNK, 512);
		kern::fault_inject("vmalloc", {0, 1});
		EXPECT_EQ(since(d, p1_, m2), (extents{{0, 512}, {2 * CHUNK, 512}}));
		EXPECT_EQ(kern::fault_count("vmalloc"), 1);
		kern::fault_clear_all();
		EXPECT_TRUE(s->stop().ok());
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(ChangesTest, ManyRangesAndMarksAreWidenedAndJoinedNeverDropped)
{
	zep::drainer_options o;
	o.max_extents = 16;
	o.max_intervals = 2;
	int rc = with_drainer(
	    [&](zep::change_drainer &d) {
		    if (!snapshot_once())
			    return 1;
		    zep::change_mark m1 = d.mark();
		    write("ard1", 0, 512);
		    zep::change_mark m2 = d.mark();
		    // 40 sectors with a sector between each: more ranges than kept.
		    for (uint64_t i = 0; i < 40; i++)
			    write("ard1", CHUNK + i * 1024, 512);
		    zep::change_mark m3 = d.mark();
		    write("ard1", 8 * CHUNK, 512);
		    // Three marks in two intervals: m2's interval was joined to m1's.
		    EXPECT_EQ(since(d, p1_, m3), (extents{{8 * CHUNK, 512}}));
		    EXPECT_EQ(since(d, p1_, m2), since(d, p1_, m1));
		    extents wide = since(d, p1_, m2);
		    EXPECT_LE(wide.size(), 10u);
		    auto covers = [&](uint64_t at) {
			    return std::any_of(wide.begin(), wide.end(), [at](const extent &e) {
				    return e.start <= at && at + 512 <= e.end();
			    });
		    };
		    EXPECT_TRUE(covers(0));
		    EXPECT_TRUE(covers(8 * CHUNK));
		    for (uint64_t i = 0; i < 40; i++)
			    EXPECT_TRUE(covers(CHUNK + i * 1024)) << "a sector was dropped: " << i;
		    return 0;
	    },
	    o);
	EXPECT_EQ(rc, 0);
}

TEST_F(ChangesTest, TheCutAroundASnapshotCoversEveryWriteAfterTheMark)
{
	int rc = with_drainer([&](zep::change_drainer &d) {
		if (!snapshot_once())
			return 1;
		std::vector<std::unique_ptr<writer>> w;
		for (unsigned seed = 1; seed <= 2; seed++)
			w.push_back(std::make_unique<writer>("ard1", PART_SECTORS, seed));
		// Each writer gets `more` writes done past what it had begun.
		auto advance = [&](size_t more) {
			for (auto &x : w) {
				size_t goal = x->begun() + more;
				EXPECT_TRUE(wait_until([&] { return x->done() >= goal; }));
			}
		};
		advance(20);
		std::vector<size_t> done_before, begun_after, done_at_end;
		for (auto &x : w)
			done_before.push_back(x->done());
		zep::change_mark m = d.mark();
		for (auto &x : w)
			begun_after.push_back(x->begun());
		advance(10);
		auto s = zep::snapshot::take(p1_, options());
		EXPECT_TRUE(s.ok()) << s.err().message;
		advance(10);
		for (auto &x : w)
			done_at_end.push_back(x->done());
		extents got = since(d, p1_, m);
		for (auto &x : w)
			x->stop();

		// Every sector written after the mark is covered; what else is covered was
		// written by a write still in flight at the mark.
		std::vector<bool> covered(PART_SECTORS), allowed(PART_SECTORS);
		for (const extent &e : got)
			for (uint64_t b = e.start; b < e.end(); b += 512)
				covered.at(b / 512) = true;
		size_t missed = 0, needed = 0, extra = 0;
		for (size_t k = 0; k < w.size(); k++) {
			auto log = w[k]->log();
			for (size_t i = done_before[k]; i < log.size(); i++) {
				bool must = i >= begun_after[k] && i < done_at_end[k];
				for (uint64_t sec = log[i].first; sec < log[i].first + log[i].second; sec++) {
					allowed[sec] = true;
					needed += must;
					missed += must && !covered[sec];
				}
			}
		}
		for (size_t sec = 0; sec < PART_SECTORS; sec++)
			extra += covered[sec] && !allowed[sec];
		EXPECT_GT(needed, 0u);
		EXPECT_EQ(missed, 0u) << "sectors written after the mark are not in the set";
		EXPECT_EQ(extra, 0u) << "sectors written only before the mark are in the set";
		EXPECT_TRUE(s && s->stop().ok());
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(ChangesTest, LostWritesMakeEarlierSetsIncompleteForGood)
{
	int rc = with_drainer([&](zep::change_drainer &d) {
		if (!snapshot_once())
			return 1;
		// The error command from the drainer.
		zep::change_mark m1 = d.mark();
		write("ard1", 0, 4096);
		EXPECT_TRUE(d.fail_tracking().ok());
		write("ard1", CHUNK, 4096); // not recorded
		zep::change_mark m2 = d.mark();
		auto s = zep::snapshot::take(p1_, options()); // tracking complete again
		EXPECT_TRUE(s && s->stop().ok());
		write("ard1", 2 * CHUNK, 4096);
		EXPECT_TRUE(has(untrusted(d, m1, p1_), "error command")) << untrusted(d, m1, p1_);
		// The unrecorded write is in the snapshot taken after m2: m2's set is whole.
		EXPECT_EQ(since(d, p1_, m2), (extents{{2 * CHUNK, 4096}}));

		// From another program, between two deliveries, and cleared by the next start
		// before any delivery saw it: only the kernel log tells.
		zep::change_mark m3 = d.mark();
		EXPECT_EQ(agent([](zep::control &c) { return c.fail_change_tracking().ok() ? 0 : 1; }),
		          0);
		write("ard1", 3 * CHUNK, 4096); // not recorded, and not in the snapshot of m3
		zep::change_mark m4 = d.mark();
		s = zep::snapshot::take(p1_, options());
		EXPECT_TRUE(s && s->stop().ok());
		EXPECT_TRUE(has(untrusted(d, m3, p1_), "CTS has been disabled 8.0[128+8192]"))
		    << untrusted(d, m3, p1_);

		// A record the driver could not allocate.
		zep::change_mark m5 = d.mark();
		kern::fault_inject("kmem_cache_alloc:cdp_record_cache", {0, 2});
		write("ard1", 4 * CHUNK, 4096);
		kern::fault_clear_all();
		EXPECT_TRUE(has(untrusted(d, m5, p1_), "CTS has been disabled")) << untrusted(d, m5, p1_);
		// Every device's set: the driver does not say which device lost a write.
		EXPECT_NE(untrusted(d, m5, kern::MKDEV(ZEP_CLONE_MAJOR, 1)), "");

		// Later starts do not make the earlier sets whole again.
		zep::change_mark m6 = d.mark();
		s = zep::snapshot::take(p1_, options());
		EXPECT_TRUE(s && s->stop().ok());
		write("ard1", 5 * CHUNK, 512);
		for (const zep::change_mark &m : {m1, m3, m4, m5})
			EXPECT_NE(untrusted(d, m, p1_), "");
		EXPECT_EQ(since(d, p1_, m6), (extents{{5 * CHUNK, 512}}));

		// More lines logged between two flushes than the log keeps: a line of disabled
		// tracking may have gone by.
		for (size_t i = 0; i <= kern::LOG_LINES; i++)
			kern::printk(KERN_INFO "filler %zu\n", i);
		EXPECT_TRUE(has(untrusted(d, m6, p1_), "turned over")) << untrusted(d, m6, p1_);
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(ChangesTest, AMarkOfAnEarlierDrainerIsNotTrusted)
{
	int rc = in_process("cdpagent", [&] {
		zep::change_mark m1;
		{
			auto d1 = zep::change_drainer::start();
			EXPECT_TRUE(d1.ok()) << d1.err().message;
			if (!d1 || !snapshot_once())
				return 1;
			m1 = d1->mark();
			write("ard1", 0, 4096);
			EXPECT_TRUE(d1->stop().ok());
			EXPECT_TRUE(has(untrusted(*d1, m1, p1_), "was stopped")) << untrusted(*d1, m1, p1_);
		} // the last handle of the control device closes
		auto d2 = zep::change_drainer::start();
		EXPECT_TRUE(d2.ok()) << d2.err().message;
		if (!d2)
			return 1;
		write("ard1", CHUNK, 4096);
		zep::change_mark m2 = d2->mark();
		auto s = zep::snapshot::take(p1_, options());
		write("ard1", 2 * CHUNK, 512);
		EXPECT_TRUE(has(untrusted(*d2, m1, p1_), "change drainer")) << untrusted(*d2, m1, p1_);
		EXPECT_NE(untrusted(*d2, zep::change_mark{}, p1_), "");
		EXPECT_EQ(since(*d2, p1_, m2), (extents{{2 * CHUNK, 512}}));
		EXPECT_TRUE(s && s->stop().ok());
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(ChangesTest, AKilledDrainerUntrustsEverything)
{
	int rc = with_drainer([&](zep::change_drainer &d) {
		if (!snapshot_once())
			return 1;
		zep::change_mark m = d.mark();
		EXPECT_EQ(kern::kill(d.pid(), SIGKILL), 0);
		EXPECT_TRUE(wait_until([&] { return !d.running(); }));
		EXPECT_TRUE(has(untrusted(d, m, p1_), "was killed")) << untrusted(d, m, p1_);
		EXPECT_EQ(d.flush().err().code, errc::other);
		EXPECT_NE(untrusted(d, d.mark(), p1_), "");
		auto r = d.stop();
		EXPECT_TRUE(has(r.err().message, "had ended before its stop")) << r.err().message;
		EXPECT_EQ(d.stop().err().message, r.err().message);
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(ChangesTest, StopEndsABlockedDrainerPromptlyFromAnyProcess)
{
	int rc = with_drainer([&](zep::change_drainer &d) {
		auto t0 = std::chrono::steady_clock::now();
		EXPECT_TRUE(d.stop().ok());
		EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
		EXPECT_TRUE(d.stop().ok());
		EXPECT_FALSE(d.running());
		EXPECT_EQ(d.flush().err().code, errc::usage);
		EXPECT_NE(untrusted(d, d.mark(), p1_), "");
		return 0;
	});
	EXPECT_EQ(rc, 0);

	// Left running by the process that started it, stopped from the test's own.
	std::optional<zep::change_drainer> left;
	EXPECT_EQ(in_process("cdpagent", [&] {
		          auto d = zep::change_drainer::start();
		          if (d)
			          left.emplace(std::move(*d));
		          return d ? 0 : 1;
	          }),
	          0);
	ASSERT_TRUE(left && left->running());
	EXPECT_EQ(left->flush().err().code, errc::usage);
	EXPECT_TRUE(left->stop().ok());
	EXPECT_FALSE(left->running());

	zep::drainer_options bad;
	bad.batch = 0;
	EXPECT_EQ(in_process("cdpagent",
	                     [&] {
		                     auto d = zep::change_drainer::start(bad);
		                     return !d && d.err().code == errc::usage ? 0 : 1;
	                     }),
	          0);
}
