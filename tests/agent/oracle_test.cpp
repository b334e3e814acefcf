// The consistency oracle: stamps that give away damage, the checker's rules on hand-made
// logs, writer processes whose log matches the device, and real snapshots of a partition
// under four writers, accepted as taken and rejected when doctored.
#include "agent/oracle.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/driver/agent_util.h"
#include "tests/driver/cow_util.h"

using namespace zep::oracle;
using namespace zeptest;

namespace {

std::vector<unsigned char> stamped(std::uint64_t first, std::uint64_t count, stamp_id id)
{
	std::vector<unsigned char> v(count * sector_bytes);
	stamp(v, first, id);
	return v;
}

std::span<unsigned char> sector_of(std::vector<unsigned char> &image, std::uint64_t s)
{
	return std::span(image).subspan(s * sector_bytes, sector_bytes);
}

// Puts write id's stamp for sector s into an image starting at sector 0.
void restamp(std::vector<unsigned char> &image, std::uint64_t s, stamp_id id) { stamp(sector_of(image, s), s, id); }

// Runs an oracle call that does IO in a process of its own: its result.
template <typename Call> auto in_own_process(const char *comm, Call call) -> decltype(call())
{
	std::optional<decltype(call())> out;
	in_process(comm, [&] {
		out.emplace(call());
		return 0;
	});
	return out ? std::move(*out) : zep::make_error(zep::errc::other, "the process did not run");
}

write_record rec(std::uint32_t writer, std::uint64_t seq, std::uint64_t first, std::uint32_t count, nanos submitted,
		 nanos completed)
{
	return {{writer, seq}, first, count, submitted, completed};
}

} // namespace

TEST(OracleStamps, ShowTheWriteAndGiveAwayDamage)
{
	const stamp_id a{1, 7}, b{2, 3};
	auto four = stamped(100, 4, a);
	for (std::uint64_t i = 0; i < 4; i++) {
		reading r = verify(std::span(four).subspan(i * sector_bytes, sector_bytes), 100 + i);
		EXPECT_TRUE(r.intact()) << i;
		EXPECT_EQ(r.id, a);
		EXPECT_EQ(r.meant_for, 100 + i);
	}
	// A flipped byte anywhere: in the stamp, in the payload, in the checksum.
	for (std::size_t at : {9u, 17u, 25u, 200u, 511u}) {
		auto copy = stamped(100, 1, a);
		copy[at] ^= 0x10;
		EXPECT_EQ(verify(copy, 100).fault, fault::checksum) << "byte " << at;
	}
	// A sector written at the wrong place names the sector it was meant for.
	reading moved = verify(std::span(four).subspan(sector_bytes, sector_bytes), 100);
	EXPECT_EQ(moved.fault, fault::misplaced);
	EXPECT_EQ(moved.meant_for, 101u);
	// A sector of another write at the right place is intact and names that write.
	auto other = stamped(100, 1, b);
	EXPECT_TRUE(verify(other, 100).intact());
	EXPECT_EQ(verify(other, 100).id, b);
	// Torn between two writes: the stamp of one, the end of the other.
	auto torn = stamped(100, 1, a);
	std::copy(other.begin() + 256, other.end(), torn.begin() + 256);
	EXPECT_EQ(verify(torn, 100).fault, fault::checksum);
	EXPECT_EQ(verify(std::vector<unsigned char>(sector_bytes), 100).fault, fault::no_stamp);
	EXPECT_TRUE(verify(stamped(5, 1, stamp_id{}), 5).id.initial());
}

namespace {

// Four sectors; times in ns:
//   A  w0#1  sectors 0-3  [10, 20]
//   B  w0#2  sectors 0-1  [30, 40]
//   C  w1#1  sectors 1-2  [35, 45]   concurrent with B
//   F  w1#2  sector  2    [55, 58]
//   D  w0#3  sector  0    [70, 80]
//   E  w2#1  sector  3    [45, never]   still in flight
class OracleRules : public ::testing::Test {
protected:
	const stamp_id I{}, A{0, 1}, B{0, 2}, C{1, 1}, F{1, 2}, D{0, 3}, E{2, 1};

	void SetUp() override
	{
		auto h = history::build({0, 4}, {rec(0, 3, 0, 1, 70, 80), rec(0, 1, 0, 4, 10, 20), rec(1, 1, 1, 2, 35, 45),
						 rec(1, 2, 2, 1, 55, 58), rec(0, 2, 0, 2, 30, 40), rec(2, 1, 3, 1, 45, not_completed)});
		ASSERT_TRUE(h) << h.err().message;
		h_.emplace(std::move(h.value()));
	}

	// The verdict for sector s showing id, in the window.
	verdict judge(std::uint64_t s, stamp_id id, freeze_window w)
	{
		auto image = stamped(0, 4, A);
		restamp(image, s, id);
		auto r = h_->check({image, 0}, w);
		EXPECT_TRUE(r) << r.err().message;
		for (const finding &f : r->findings)
			if (f.sector == s)
				return f.verdict;
		return verdict::allowed;
	}

	std::optional<history> h_;
};

} // namespace

TEST_F(OracleRules, AcceptTheLastWriteBeforeTheFreezeAndAnySubmittedBeforeTheThaw)
{
	const freeze_window w{50, 65, {}};
	// Sector 0: B is the last completed before 50; D came after the thaw.
	EXPECT_EQ(judge(0, I, w), verdict::too_old);
	EXPECT_EQ(judge(0, A, w), verdict::too_old);
	EXPECT_EQ(judge(0, B, w), verdict::allowed);
	EXPECT_EQ(judge(0, D, w), verdict::too_new);
	// Sector 1: B and C overlap and both completed before the freeze: either may be last.
	auto one = h_->of(1);
	ASSERT_EQ(one.size(), 4u);
	EXPECT_TRUE(one[0].id.initial() && one[1].id == A && one[2].id == B && one[3].id == C);
	EXPECT_EQ(judge(1, A, w), verdict::too_old);
	EXPECT_EQ(judge(1, B, w), verdict::allowed);
	EXPECT_EQ(judge(1, C, w), verdict::allowed);
	// Sector 2: F completed only after the freeze began, so C may still show.
	EXPECT_EQ(judge(2, A, w), verdict::too_old);
	EXPECT_EQ(judge(2, C, w), verdict::allowed);
	EXPECT_EQ(judge(2, F, w), verdict::allowed);
	// Sector 3: the write in flight may or may not have landed, and supersedes nothing.
	EXPECT_EQ(judge(3, A, w), verdict::allowed);
	EXPECT_EQ(judge(3, E, w), verdict::allowed);
	EXPECT_EQ(judge(3, I, w), verdict::too_old);
	// B never covered sector 3, D never sector 1.
	EXPECT_EQ(judge(3, B, w), verdict::unknown);
	EXPECT_EQ(judge(1, D, w), verdict::unknown);
	// The bounds are inclusive: completed at the freeze is not before it, submitted at
	// the thaw's end is not after it.
	EXPECT_EQ(judge(0, A, {40, 70, {}}), verdict::allowed);
	EXPECT_EQ(judge(0, D, {40, 70, {}}), verdict::allowed);
	EXPECT_EQ(judge(0, A, {41, 69, {}}), verdict::too_old);
	EXPECT_EQ(judge(0, D, {41, 69, {}}), verdict::too_new);
}

TEST_F(OracleRules, ReportCountsAndNamesWhatIsWrong)
{
	auto image = stamped(0, 4, A);
	restamp(image, 0, D);		// too new
	restamp(image, 1, I);		// too old
	sector_of(image, 2)[300] ^= 1;	// corrupt
	auto r = h_->check({image, 0}, {50, 65, {}});
	ASSERT_TRUE(r);
	EXPECT_FALSE(r->ok());
	EXPECT_EQ(r->sectors, 4u);
	EXPECT_EQ(r->intact, 3u);
	EXPECT_EQ(r->allowed, 1u);
	EXPECT_EQ(r->too_new, 1u);
	EXPECT_EQ(r->too_old, 1u);
	EXPECT_EQ(r->corrupt, 1u);
	ASSERT_EQ(r->findings.size(), 3u);
	EXPECT_EQ(r->findings[1].superseded_by->id, A) << "the initial fill of sector 1 was overwritten by A";
	std::string text = r->summary();
	EXPECT_NE(text.find("sector 0: too new: holds writer 0 write 3"), std::string::npos) << text;
	EXPECT_NE(text.find("sector 1: too old: holds the initial fill"), std::string::npos) << text;
	EXPECT_NE(text.find("sector 2: corrupt"), std::string::npos) << text;
}

TEST_F(OracleRules, OneFreezeMustExplainEverySector)
{
	// Frozen for 5 ns within [50, 100]: sector 0 showing D needs the freeze at 65 or
	// later, sector 2 showing C needs it by 58 (before F completed). Each alone is fine.
	auto image = stamped(0, 4, A);
	restamp(image, 0, D);
	restamp(image, 1, B);
	restamp(image, 2, C);
	auto r = h_->check({image, 0}, {50, 100, 5});
	ASSERT_TRUE(r);
	EXPECT_EQ(r->allowed, 4u);
	ASSERT_TRUE(r->fit);
	EXPECT_TRUE(r->fit->empty());
	EXPECT_EQ(r->fit->earliest_set_by, 0u);
	EXPECT_EQ(r->fit->latest_set_by, 2u);
	EXPECT_FALSE(r->ok());
	EXPECT_NE(r->summary().find("no single freeze explains the image"), std::string::npos);
	EXPECT_TRUE(h_->check({image, 0}, {50, 100, {}})->ok()) << "without the freeze's length only sectors count";

	restamp(image, 2, F);
	r = h_->check({image, 0}, {50, 100, 5});
	ASSERT_TRUE(r && r->fit);
	EXPECT_TRUE(r->ok()) << r->summary();
	EXPECT_EQ(r->fit->earliest, 65);
	EXPECT_EQ(r->fit->latest, 95);
}

TEST_F(OracleRules, BadInputIsRefusedWithAReason)
{
	auto usage = [](const auto &r) { return !r && r.err().code == zep::errc::usage; };
	// A log whose ids repeat cannot say which write a stamp names.
	EXPECT_TRUE(usage(history::build({0, 4}, {rec(0, 1, 0, 1, 10, 20), rec(0, 1, 2, 1, 30, 40)})));
	// An image short of the range would pass unread sectors; a freeze longer than its
	// window fits nowhere.
	auto image = stamped(0, 4, A);
	EXPECT_TRUE(usage(h_->check({std::span(image).first(3 * sector_bytes), 0}, {50, 65, {}})));
	EXPECT_TRUE(usage(h_->check({image, 0}, {50, 65, 16})));

	EXPECT_TRUE(usage(safe_window({100, 90, 0, 0})));
	EXPECT_TRUE(usage(safe_window({100, 200, 30, 20})));
	auto late = safe_window({100, 200, 10, 101});
	ASSERT_FALSE(late);
	EXPECT_NE(late.err().message.find("machine's clock"), std::string::npos);
}

// ---- on the machine ----

namespace {

constexpr std::uint64_t PART_START = 2048;
constexpr std::uint64_t PART_SECTORS = 4 << 11;	// 4 MiB
constexpr size_t PART_BYTES = PART_SECTORS * sector_bytes;
const sector_range whole{0, PART_SECTORS};

class OracleMachine : public AgentSessionTest {
protected:
	// A ramdisk with a prefilled partition, "ord1".
	void SetUp() override
	{
		AgentSessionTest::SetUp();
		disk_ = kern::add_ramdisk("ord", 8, PART_START + PART_SECTORS);
		part_ = kern::add_partition(disk_, 1, PART_START, PART_SECTORS);
		refill();
	}

	void refill()
	{
		auto r = in_own_process("prefill", [] { return prefill("/dev/ord1", whole); });
		EXPECT_TRUE(r) << r.err().message;
	}

	struct snapshot {
		int id = 0;
		freeze_window window;
	};

	// Snapshots the mounted partition as the agent does, timing the start command.
	snapshot take_snapshot()
	{
		auto ssr = start_request(part_, backing("image"));
		nanos issued = now();
		long id = start_snapshot(&ssr);
		nanos returned = now();
		EXPECT_GT(id, 0) << "start refused";
		auto window = safe_window(start_timing::of(issued, returned, ssr));
		EXPECT_TRUE(window) << window.err().message;
		EXPECT_EQ(set_backing_file(static_cast<int>(id), backing("image.cow")), 0);
		for (int t = 0; t < 2; t++)
			threads_.push_back(start_io_thread(static_cast<int>(id), backing("io" + std::to_string(t)), t));
		for (int t = 0; t < 2; t++)
			EXPECT_EQ(thread_wait(static_cast<int>(id)), 0);
		return {static_cast<int>(id), window ? *window : freeze_window{}};
	}

	void finish(const snapshot &snap)
	{
		EXPECT_EQ(session_error(snap.id), "");
		EXPECT_EQ(stop_snapshot(snap.id), 0);
	}

	// Checks the live partition from a process of its own.
	report check_live(const history &h, const freeze_window &w)
	{
		auto r = in_own_process("ocheck", [&] { return h.check_device("/dev/ord1", w); });
		EXPECT_TRUE(r) << r.err().message;
		return r ? *r : report{};
	}

	kern::dev_t disk_ = 0, part_ = 0;
};

} // namespace

TEST_F(OracleMachine, WritersKeepToTheirOptionsAndTheirLogMatchesTheDevice)
{
	writer_options o;
	o.device = "/dev/ord1";
	o.range = whole;
	o.seed = 3;
	o.min_bytes = 1024;
	o.max_bytes = 72 << 10;
	o.alignment = 4096;
	o.overlap = overlap::disjoint;
	o.writes_each = 40;
	auto ws = writer_set::start(o);
	ASSERT_TRUE(ws) << ws.err().message;
	ASSERT_TRUE(ws->wait_for_writes(160));
	ASSERT_TRUE(ws->stop());
	auto log = ws->log();
	ASSERT_EQ(log.size(), 160u);
	std::vector<std::uint64_t> seen(4);
	int across_64k = 0;
	for (const write_record &w : log) {
		ASSERT_LT(w.id.writer, 4u);
		EXPECT_EQ(w.id.seq, ++seen[w.id.writer]) << "each writer's writes in order";
		EXPECT_TRUE(w.done() && w.count >= 2 && w.count <= 144) << w.describe();
		EXPECT_EQ(w.first % 8, 0u) << "aligned to 4 KiB";
		EXPECT_TRUE(w.first >= w.id.writer * PART_SECTORS / 4 && w.first + w.count <= (w.id.writer + 1) * PART_SECTORS / 4)
			<< "in its own slice: " << w.describe();
		across_64k += w.first / 128 != (w.first + w.count - 1) / 128;
	}
	EXPECT_GT(across_64k, 0);
	auto h = history::build(whole, log);
	ASSERT_TRUE(h);
	nanos t = now();
	report r = check_live(*h, {t, t, 0});
	EXPECT_TRUE(r.ok()) << r.summary();
	EXPECT_GT(r.initial, 0u);

	// Shared, on a small range: overlapping writes of all four at once.
	refill();
	o.range = {64, 192};
	o.min_bytes = 512;
	o.max_bytes = 64 << 10;
	o.alignment = 512;
	o.overlap = overlap::shared;
	o.writes_each = 100;
	ws = writer_set::start(o);
	ASSERT_TRUE(ws) << ws.err().message;
	ASSERT_TRUE(ws->wait_for_writes(400));
	ASSERT_TRUE(ws->stop());
	h = history::build(o.range, ws->log());
	ASSERT_TRUE(h);
	t = now();
	r = check_live(*h, {t, t, 0});
	EXPECT_TRUE(r.ok()) << r.summary();

	// With a pause each writer rests between two writes (the machine's clock runs at
	// least as fast as real time), and a stop does not wait out a long rest.
	o.writers = 2;
	o.writes_each = 5;
	o.pause = std::chrono::milliseconds(2);
	ws = writer_set::start(o);
	ASSERT_TRUE(ws) << ws.err().message;
	ASSERT_TRUE(ws->wait_for_writes(10));
	ASSERT_TRUE(ws->stop());
	log = ws->log();
	for (size_t i = 1; i < log.size(); i++) {
		if (log[i].id.writer != log[i - 1].id.writer)
			continue;
		EXPECT_GE(log[i].submitted - log[i - 1].completed, 2'000'000) << log[i].describe();
	}
	o.writes_each = 0;
	o.pause = std::chrono::hours(1);
	ws = writer_set::start(o);
	ASSERT_TRUE(ws) << ws.err().message;
	ASSERT_TRUE(ws->wait_for_writes(2));
	auto t0 = std::chrono::steady_clock::now();
	ASSERT_TRUE(ws->stop());
	EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
	EXPECT_EQ(ws->writes_completed(), 2u);
}

TEST_F(OracleMachine, WritersThatCannotWriteAreReportedNotWaitedFor)
{
	writer_options o;
	o.device = "/dev/nosuch";
	o.range = whole;
	auto ws = writer_set::start(o);
	ASSERT_TRUE(ws) << ws.err().message;
	auto waited = ws->wait_for_writes(1);
	ASSERT_FALSE(waited);
	EXPECT_NE(waited.err().message.find("cannot open /dev/nosuch"), std::string::npos) << waited.err().message;
	EXPECT_FALSE(ws->stop());

	// Writes past the end of the device fail, and the writer says where.
	o.device = "/dev/ord1";
	o.range = {PART_SECTORS - 8, 64};
	o.writers = 1;
	o.min_bytes = o.max_bytes = 32 << 10;
	ws = writer_set::start(o);
	ASSERT_TRUE(ws);
	waited = ws->wait_for_writes(1);
	ASSERT_FALSE(waited);
	EXPECT_EQ(waited.err().code, zep::errc::io);
	EXPECT_NE(waited.err().message.find("writer 0: write of 32768 bytes"), std::string::npos) << waited.err().message;
	ASSERT_EQ(ws->log().size(), 1u);
	EXPECT_FALSE(ws->log()[0].done()) << "a failed write stays without completion";
}

TEST_F(OracleMachine, TheStartCommandsWindowHoldsWritesBeforeItAndNoneAfter)
{
	mount(part_);
	auto write = [](std::uint64_t seq) {
		// Across a 64 KiB boundary.
		auto r = in_own_process("owriter", [=] { return write_stamped("/dev/ord1", 120, 24, {0, seq}); });
		EXPECT_TRUE(r) << r.err().message;
		return r ? *r : write_record{};
	};
	write_record before = write(1);
	// The clock shows the write over before the command goes out.
	while (now() <= before.completed)
		;
	snapshot snap = take_snapshot();
	write_record after = write(2);
	EXPECT_LT(before.completed, snap.window.frozen_from);
	EXPECT_GT(after.submitted, snap.window.thawed_by);
	auto image = read_device("zep" + std::to_string(snap.id), 0, PART_BYTES);
	finish(snap);
	ASSERT_EQ(image.size(), PART_BYTES);
	EXPECT_EQ(verify(sector_of(image, 130), 130).id, before.id);

	auto h = history::build(whole, {before, after});
	ASSERT_TRUE(h);
	auto r = h->check({image, 0}, snap.window);
	ASSERT_TRUE(r);
	EXPECT_TRUE(r->ok()) << r->summary();
	EXPECT_EQ(r->allowed - r->initial, 24u);
	restamp(image, 125, stamp_id{});
	restamp(image, 140, after.id);
	r = h->check({image, 0}, snap.window);
	ASSERT_TRUE(r);
	EXPECT_EQ(r->too_old, 1u);
	EXPECT_EQ(r->too_new, 1u);
	ASSERT_EQ(r->findings.size(), 2u);
	EXPECT_EQ(r->findings[0].sector, 125u);
	EXPECT_EQ(r->findings[1].sector, 140u);
}

TEST_F(OracleMachine, SnapshotUnderFourWritersIsConsistentAndDoctoredCopiesAreNot)
{
	mount(part_);
	writer_options o;
	o.device = "/dev/ord1";
	o.range = whole;
	o.seed = 11;
	auto ws = writer_set::start(o);
	ASSERT_TRUE(ws) << ws.err().message;
	ASSERT_TRUE(ws->wait_for_writes(200));
	snapshot snap = take_snapshot();
	// They go on while the image is read, so chunks are copied out under it.
	ASSERT_TRUE(ws->wait_for_writes(ws->writes_completed() + 200));
	auto image = read_device("zep" + std::to_string(snap.id), 0, PART_BYTES);
	ASSERT_TRUE(ws->stop());
	finish(snap);
	ASSERT_EQ(image.size(), PART_BYTES);
	const freeze_window &w = snap.window;

	auto log = ws->log();
	auto h = history::build(whole, log);
	ASSERT_TRUE(h) << h.err().message;
	auto r = h->check({image, 0}, w);
	ASSERT_TRUE(r);
	EXPECT_TRUE(r->ok()) << r->summary();
	EXPECT_GT(r->allowed - r->initial, 0u) << "the image holds none of the writers' blocks";
	ASSERT_TRUE(r->fit);
	nanos t = now();
	report live = check_live(*h, {t, t, 0});
	EXPECT_TRUE(live.ok()) << live.summary();

	auto doctored = [&](const std::function<void(std::vector<unsigned char> &)> &change) {
		auto copy = image;
		change(copy);
		auto got = h->check({copy, 0}, w);
		EXPECT_TRUE(got);
		EXPECT_FALSE(got->ok());
		EXPECT_EQ(got->findings.size(), 1u) << got->summary();
		return got->findings.empty() ? finding{} : got->findings[0];
	};

	// Too old: a sector set back to a version that a write completed before the freeze
	// replaced (the 200 writes before the start command are such writes).
	std::optional<std::uint64_t> old_sector;
	stamp_id older;
	for (std::uint64_t s = 0; s < PART_SECTORS && !old_sector; s++) {
		auto list = h->of(s);
		auto v = std::find_if(list.begin() + 1, list.end(),
				      [&](const write_record &x) { return x.completed < w.frozen_from; });
		if (v == list.end())
			continue;
		for (const write_record &p : list)
			if (p.completed < v->submitted)
				older = p.id;
		old_sector = s;
	}
	ASSERT_TRUE(old_sector);
	finding f = doctored([&](auto &img) { restamp(img, *old_sector, older); });
	EXPECT_EQ(f.sector, *old_sector);
	EXPECT_EQ(f.verdict, verdict::too_old);
	EXPECT_TRUE(f.superseded_by);

	// Too new: a version submitted after the thaw.
	auto late = std::find_if(log.begin(), log.end(), [&](const write_record &x) { return x.submitted > w.thawed_by; });
	ASSERT_NE(late, log.end());
	f = doctored([&](auto &img) { restamp(img, late->first, late->id); });
	EXPECT_EQ(f.sector, late->first);
	EXPECT_EQ(f.verdict, verdict::too_new);

	// Torn: half of a sector replaced by half of another version of it.
	f = doctored([&](auto &img) {
		auto other = stamped(1000, 1, {9, 9});
		std::copy(other.begin() + 256, other.end(), sector_of(img, 1000).begin() + 256);
	});
	EXPECT_EQ(f.sector, 1000u);
	EXPECT_EQ(f.verdict, verdict::corrupt);
	EXPECT_EQ(f.held.fault, fault::checksum);

	// Misdirected: a sector's content at its neighbour's place.
	f = doctored([&](auto &img) { std::ranges::copy(sector_of(img, 2001), sector_of(img, 2000).begin()); });
	EXPECT_EQ(f.sector, 2000u);
	EXPECT_EQ(f.held.fault, fault::misplaced);
}
