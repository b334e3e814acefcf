// Change tracking across snapshot sessions, as the agent sees it through its commands:
// records relative to the partition, tracking and its hook outliving the session, reuse
// by the next session, unload, the error state; and what a start builds and reports:
// backing-file and other texts, sector sizes, whole disks, freeze timings.
#include <climits>

#include "backupdriver/clone.h"
#include "kernel/core/printk.h"
#include "kernel/block/super.h"
#include "tests/driver/agent_util.h"
#include "tests/driver/cow_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr sector_t PART_START = 1000;	// not on a chunk boundary of the disk
constexpr sector_t PART_SECTORS = 4096;
constexpr size_t PART_BYTES = PART_SECTORS * 512;

class TrackingTest : public AgentSessionTest {
protected:
	void SetUp() override
	{
		AgentSessionTest::SetUp();
		disk_ = add_ramdisk("trk", 8, PART_START + 2 * PART_SECTORS + 512);
		p1_ = add_partition(disk_, 1, PART_START, PART_SECTORS);
		p2_ = add_partition(disk_, 2, PART_START + PART_SECTORS, PART_SECTORS);
		block_device *whole = bdget(disk_);
		q_ = bdev_get_queue(whole);
		own_ = queue_make_request_fn(q_);
		bdput(whole);
		// The agent keeps its control device open: its last close would reset tracking.
		hold_open();
	}

	static bool logged(const char *text, u64 seq) { return printk_wait_for(text, 0, seq); }

	// Holds on the disk's hook; -1 when it was never hooked.
	static int holds() { return savedMRFS[8][0] ? atomic_read(&savedMRFS[8][0]->count) : -1; }

	static int records_queued() { return atomic_read(&record_list_lenght); }

	static void expect_record(const change_record_usr &r, int major, int minor, u64 start, u64 n)
	{
		EXPECT_EQ(+r.major, major);
		EXPECT_EQ(+r.minor, minor);
		EXPECT_EQ(+r.start_sector, start);
		EXPECT_EQ(+r.num_sectors, n);
	}

	kern::dev_t disk_ = 0, p1_ = 0, p2_ = 0;
	request_queue_t *q_ = nullptr;
	make_request_fn *own_ = nullptr;
};

int ct_records_active()
{
	int n = 0;
	down(&session_list_lock);
	list_head *pos;
	list_for_each(pos, &ct_list_head)
		n++;
	up(&session_list_lock);
	return n;
}

} // namespace

TEST_F(TrackingTest, LiveWritesAreRecordedRelativeToThePartitionAcrossSessions)
{
	mount(p1_);
	ASSERT_EQ(start_agent(p1_, "a"), 1);
	serve(1, "io1");
	ct_session *cts = session(1)->cts;
	ASSERT_NE(cts, nullptr);
	EXPECT_EQ(atomic_read(&cts->started), 1);
	EXPECT_EQ(cts->start_sect, PART_START);
	EXPECT_EQ(cts->nr_sects, PART_SECTORS);
	EXPECT_EQ(session(1)->set_mrf, 1);
	EXPECT_EQ(holds(), 1);

	ASSERT_EQ(write_node("trk1", 8192, chunk_pattern(4096, 1)), 0);
	ASSERT_EQ(write_node("trk1", 3 * 65536 + 512, chunk_pattern(1024, 2)), 0);
	// A write on the snapshot device is recorded as addressed to it.
	ASSERT_EQ(write_node("zep1", 5 * 4096, chunk_pattern(4096, 3)), 0);
	ASSERT_EQ(records_queued(), 3);
	change_delivery d = take_changes(3);
	ASSERT_EQ(d.result, 3);
	EXPECT_EQ(d.crr.tracking, 1);
	EXPECT_EQ(d.crr.inqueue, 0);
	expect_record(d.recs[0], 8, 1, 16, 8);
	expect_record(d.recs[1], 8, 1, 3 * 128 + 1, 2);
	expect_record(d.recs[2], ZEP_CLONE_MAJOR, 1, 40, 8);

	// The session ends; tracking and the hook it took stay with the record.
	EXPECT_EQ(stop_snapshot(1), 0);
	EXPECT_EQ(atomic_read(&cts->started), 1);
	EXPECT_EQ(holds(), 1);
	EXPECT_EQ(queue_make_request_fn(q_), cow_request);
	ASSERT_EQ(write_node("trk1", 0, chunk_pattern(512, 4)), 0);
	ASSERT_EQ(records_queued(), 1);
	d = take_changes(1);
	ASSERT_EQ(d.result, 1);
	expect_record(d.recs[0], 8, 1, 0, 1);

	// The next session of the partition takes the record over without a hold of its own.
	ASSERT_EQ(start_agent(p1_, "b"), 1);
	EXPECT_EQ(session(1)->cts, cts);
	EXPECT_EQ(session(1)->set_mrf, 0);
	EXPECT_EQ(holds(), 1);
	EXPECT_EQ(ct_records_active(), 1);
	serve(1, "io2");
	ASSERT_EQ(write_node("trk1", PART_BYTES - 4096, chunk_pattern(4096, 5)), 0);
	ASSERT_EQ(records_queued(), 1);
	d = take_changes(1);
	ASSERT_EQ(d.result, 1);
	EXPECT_EQ(d.crr.tracking, 1);
	expect_record(d.recs[0], 8, 1, PART_SECTORS - 8, 8);
	EXPECT_NE(preserved(session(1), (PART_SECTORS - 8) / 128), nullptr);
	EXPECT_EQ(stop_snapshot(1), 0);
	EXPECT_EQ(holds(), 1);
	EXPECT_EQ(queue_make_request_fn(q_), cow_request);

	// Unload drops the record's one hold: the disk has its own function again.
	EXPECT_EQ(agent_command_at(ZEP_IOC_UNLOAD, 0), 0);
	EXPECT_EQ(holds(), 0);
	EXPECT_EQ(queue_make_request_fn(q_), own_);
	EXPECT_EQ(atomic_read(&cts->started), 0);
	EXPECT_EQ(ct_records_active(), 0);
	ASSERT_EQ(write_node("trk1", 0, chunk_pattern(512, 6)), 0);
	EXPECT_EQ(records_queued(), 0);
}

TEST_F(TrackingTest, UnloadDropsOneHoldPerTrackedPartition)
{
	mount(p1_);
	mount(p2_);
	ASSERT_EQ(start_agent(p1_, "a"), 1);
	ASSERT_EQ(start_agent(p2_, "b"), 2);
	// A session without tracking on a tracked partition holds the hook only while it runs.
	ASSERT_EQ(start_agent(p1_, "c", USER_SPACE_FILE), 3);
	EXPECT_EQ(holds(), 3);
	EXPECT_EQ(stop_snapshot(3), 0);
	EXPECT_EQ(stop_snapshot(1), 0);
	EXPECT_EQ(holds(), 2);
	EXPECT_EQ(ct_records_active(), 2);

	// Partition 2 is still being snapshotted when the driver shuts down.
	ASSERT_EQ(write_node("trk2", 4096, chunk_pattern(4096, 1)), 0);
	ASSERT_EQ(write_node("trk1", 4096, chunk_pattern(4096, 2)), 0);
	ASSERT_EQ(records_queued(), 2);
	change_delivery d = take_changes(2);
	ASSERT_EQ(d.result, 2);
	expect_record(d.recs[0], 8, 2, 8, 8);
	expect_record(d.recs[1], 8, 1, 8, 8);

	EXPECT_EQ(agent_command_at(ZEP_IOC_UNLOAD, 0), 0);
	EXPECT_EQ(holds(), 0);
	EXPECT_EQ(queue_make_request_fn(q_), own_);
	EXPECT_EQ(ct_records_active(), 0);
	int32_t count = -1;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST_COUNT, &count), 0);
	EXPECT_EQ(count, 0);
}

TEST_F(TrackingTest, IncompleteTrackingIsClearedByTheNextStart)
{
	mount(p1_);
	ASSERT_EQ(start_agent(p1_, "a"), 1);
	serve(1, "io1");
	ct_session *cts = session(1)->cts;
	u64 seq = printk_seq();
	int32_t dummy = 0;
	EXPECT_EQ(agent_command(ZEP_IOC_ERROR_CTS, &dummy), 0);
	EXPECT_TRUE(logged("zep: INFO: CTS has been disabled 8.0[1000+4096]", seq));
	ASSERT_EQ(write_node("trk1", 0, chunk_pattern(4096, 1)), 0);
	EXPECT_EQ(records_queued(), 0);
	EXPECT_EQ(agent_command(ZEP_IOC_UNBLOCK_CHANGE_RECORDS, &dummy), 0);
	change_delivery d = take_changes(1);
	EXPECT_EQ(d.result, 0);
	EXPECT_EQ(d.crr.tracking, 0);
	EXPECT_EQ(stop_snapshot(1), 0);
	EXPECT_EQ(atomic_read(&cts->missed_write), 1);

	// A new baseline: the next session of the partition makes tracking complete again.
	ASSERT_EQ(start_agent(p1_, "b"), 1);
	EXPECT_EQ(session(1)->cts, cts);
	EXPECT_EQ(atomic_read(&cts->missed_write), 0);
	serve(1, "io2");
	ASSERT_EQ(write_node("trk1", 65536, chunk_pattern(4096, 2)), 0);
	ASSERT_EQ(records_queued(), 1);
	d = take_changes(1);
	ASSERT_EQ(d.result, 1);
	EXPECT_EQ(d.crr.tracking, 1);
	expect_record(d.recs[0], 8, 1, 128, 8);
	EXPECT_EQ(stop_snapshot(1), 0);
}

TEST_F(TrackingTest, BackingFileAndTextsAreCutToTheirFields)
{
	mount(p1_);
	// The backing file is numbered with the lowest free snapshot device.
	ASSERT_EQ(start_agent(p1_, "a", USER_SPACE_FILE), 1);
	ASSERT_EQ(start_agent(p1_, "b", USER_SPACE_FILE), 2);
	ASSERT_EQ(start_agent(p1_, "c", USER_SPACE_FILE), 3);
	EXPECT_EQ(stop_snapshot(2), 0);
	ASSERT_EQ(start_agent(p1_, "d", USER_SPACE_FILE), 2);
	get_string gs{};
	gs.id = 2;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_BACKING_FILE, &gs), 0);
	EXPECT_EQ(std::string(gs.string), backing("d") + ".cow_zep2");
	for (int id = 1; id <= 3; id++)
		EXPECT_EQ(stop_snapshot(id), 0);

	// Texts filling their fields without an end.
	snap_shot_request ssr = start_request(p1_, "", USER_SPACE_FILE);
	std::memset(ssr.device_name, 'n', sizeof(ssr.device_name));
	std::memset(ssr.device_path, 'p', sizeof(ssr.device_path));
	std::memset(ssr.backing_file, 'b', sizeof(ssr.backing_file));
	std::memset(ssr.backing_dev, 'd', sizeof(ssr.backing_dev));
	ASSERT_EQ(start_snapshot(&ssr), 1);
	// A name that ends in its field, too long for the suffix.
	snap_shot_request longer = start_request(p1_, std::string(4090, 'c'), USER_SPACE_FILE);
	ASSERT_EQ(start_snapshot(&longer), 2);

	other_info *oi = session(1)->other_info;
	EXPECT_EQ(std::string(oi->device_name), std::string(255, 'n'));
	EXPECT_EQ(std::string(oi->backing_device), std::string(4095, 'd'));
	gs = get_string{};
	gs.id = 1;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_DEV_PATH, &gs), 0);
	EXPECT_EQ(std::string(gs.string), std::string(4095, 'p'));
	std::string cut1 = std::string(4096 - 10, 'b') + ".cow_zep1";
	EXPECT_EQ(agent_command(ZEP_IOC_GET_BACKING_FILE, &gs), 0);
	EXPECT_EQ(std::string(gs.string), cut1);
	gs.id = 2;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_BACKING_FILE, &gs), 0);
	EXPECT_EQ(std::string(gs.string), std::string(4096 - 10, 'c') + ".cow_zep2");

	snap_shot_request out;
	EXPECT_EQ(stop_snapshot(1, &out), 0);
	EXPECT_EQ(std::string(out.backing_file), cut1);
	EXPECT_EQ(stop_snapshot(2), 0);
}

TEST_F(TrackingTest, WholeDiskWithLargeSectorsIsSnapshotted)
{
	disk_options o;
	o.hardsect_size = 4096;
	constexpr sector_t SECTORS = 4096;
	kern::dev_t big = add_ramdisk("tbs", 9, SECTORS, o);
	auto old = chunk_pattern(SECTORS * 512, 3);
	ASSERT_EQ(disk_poke(big, 0, old.data(), old.size()), 0);
	mount(big);
	ASSERT_EQ(start_agent(big, "w", USER_SPACE_FILE), 1);
	EXPECT_EQ(session(1)->hw_sector_size, 4096u);
	EXPECT_EQ(session(1)->part.start_sect, 0u);
	EXPECT_EQ(session(1)->part.nr_sects, SECTORS);
	serve(1, "io1");
	ASSERT_EQ(write_node("tbs", 2 * 65536, chunk_pattern(8192, 4)), 0);
	EXPECT_NE(preserved(session(1), 2), nullptr);
	EXPECT_TRUE(read_device("zep1", 0, SECTORS * 512) == old);
	EXPECT_EQ(session_error(1), "");
	EXPECT_EQ(stop_snapshot(1), 0);
}

TEST(CalcTimeDiff, BorrowsASecondForNegativeNanoseconds)
{
	kern::timespec a{5, 900000000}, b{7, 100000000}, out{-1, -1};
	calcTimeDiff(&a, &b, &out);
	EXPECT_EQ(out.tv_sec, 1);
	EXPECT_EQ(out.tv_nsec, 200000000);
	kern::timespec c{7, 950000000};
	calcTimeDiff(&a, &c, &out);
	EXPECT_EQ(out.tv_sec, 2);
	EXPECT_EQ(out.tv_nsec, 50000000);
}

TEST_F(TrackingTest, FreezeTimingsAndSnapshotTimeComeBack)
{
	mount(p1_);
	block_device *bdev = bdget(p1_);
	super_block *sb = get_super(bdev);
	ASSERT_NE(sb, nullptr);
	kern::timespec before = current_kernel_time();

	// A write in flight through the file system keeps the freeze waiting until the disk
	// completes it.
	disk_hold_completions(disk_, true);
	kern::pid_t writer = spawn("writer", [&] { return write_node("trk1", 0, chunk_pattern(4096, 1)); });
	while (get_disk_stats(disk_).held < 1)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	snap_shot_request ssr = start_request(p1_, backing("f"), USER_SPACE_FILE);
	long id = 0;
	kern::pid_t starter = spawn("starter", [&] {
		id = start_snapshot(&ssr);
		return 0;
	});
	while (!waitqueue_active(&sb->s_writers_wait))
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	msleep(1500);
	disk_hold_completions(disk_, false);
	EXPECT_EQ(disk_release_completions(disk_), 1);
	EXPECT_EQ(waitpid(writer), 0);
	EXPECT_EQ(waitpid(starter), 0);
	kern::timespec after = current_kernel_time();
	drop_super(sb);
	bdput(bdev);
	ASSERT_EQ(id, 1);

	auto ns = [](u32 s, u32 n) { return static_cast<u64>(s) * 1000000000ull + n; };
	EXPECT_LT(ssr.nsec_get_freez, 1000000000u);
	EXPECT_LT(ssr.nsec_froze, 1000000000u);
	EXPECT_GE(ns(ssr.sec_get_freez, ssr.nsec_get_freez), 1500000000ull);
	EXPECT_GE(ns(ssr.sec_froze, ssr.nsec_froze), ns(ssr.sec_get_freez, ssr.nsec_get_freez));
	EXPECT_LE(ns(ssr.sec_froze, ssr.nsec_froze),
		  ns(static_cast<u32>(after.tv_sec - before.tv_sec), 0) + 1000000000ull);
	EXPECT_GE(ssr.time, static_cast<u32>(before.tv_sec));
	EXPECT_LE(ssr.time, static_cast<u32>(after.tv_sec));

	struct {
		session_list recs[ZEP_LIST_ENTRIES];
	} ls{};
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST, &ls), 0);
	EXPECT_EQ(ls.recs[0].id, 1);
	EXPECT_EQ(ls.recs[0].time, ssr.time);
	EXPECT_EQ(ls.recs[0].sec_get_freez, ssr.sec_get_freez);
	EXPECT_EQ(ls.recs[0].nsec_get_freez, ssr.nsec_get_freez);
	EXPECT_EQ(ls.recs[0].sec_froze, ssr.sec_froze);
	EXPECT_EQ(ls.recs[0].nsec_froze, ssr.nsec_froze);
	EXPECT_EQ(stop_snapshot(1), 0);
}

TEST_F(TrackingTest, FirstSectorOfTheNextPartitionIsRecordedForThatPartition)
{
	mount(p1_);
	mount(p2_);
	ASSERT_EQ(start_agent(p1_, "a"), 1);
	ASSERT_EQ(start_agent(p2_, "b"), 2);
	serve(1, "io1");
	serve(2, "io2");
	// With both sessions running, and with tracking alone after they are stopped.
	for (int round = 0; round < 2; round++) {
		ASSERT_EQ(write_node("trk2", 0, chunk_pattern(4096, round)), 0);
		ASSERT_EQ(records_queued(), 1);
		change_delivery d = take_changes(1);
		ASSERT_EQ(d.result, 1);
		expect_record(d.recs[0], 8, 2, 0, 8);
		if (round == 0) {
			EXPECT_EQ(stop_snapshot(1), 0);
			EXPECT_EQ(stop_snapshot(2), 0);
		}
	}
}
