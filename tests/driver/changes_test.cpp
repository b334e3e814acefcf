// Change records: queued by writes on tracked devices, drained by the agent with a
// blocking command that can be unblocked or interrupted.
#include <atomic>
#include <cstring>
#include <vector>

#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "kernel/syscalls.h"
#include "tests/support/driver_fixture.h"

using namespace zeptest;
using namespace kern;

namespace {

struct delivery {
	long result = 0;
	change_recrod_request crr{};
	std::vector<change_record_usr> recs;	// all `size` entries as returned
};

// Drains up to `size` records from an agent process.
delivery drain(int size, std::function<void()> before = nullptr)
{
	delivery d;
	int rc = in_process("cdpagent", [&] {
		if (before)
			before();
		Control c;
		if (!c.open(1 << 20))
			return 1;
		change_recrod_request crr{};
		crr.size = size;
		crr.tracking = -7;
		crr.inqueue = -7;
		crr.cru = static_cast<uint32_t>(c.mem + 4096);
		std::vector<change_record_usr> fill(size > 0 ? size : 0);
		if (!fill.empty()) {
			std::memset(fill.data(), 0xee, fill.size() * sizeof(change_record_usr));
			c.put_bytes(fill.data(), fill.size() * sizeof(change_record_usr), 4096);
		}
		unsigned long addr = c.put(crr);
		d.result = c.ioctl(ZEP_IOC_GET_CHANGED_RECORDS, addr);
		d.crr = c.get<change_recrod_request>();
		d.recs.resize(fill.size());
		if (!fill.empty())
			c.get_bytes(d.recs.data(), fill.size() * sizeof(change_record_usr), 4096);
		c.close();
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return d;
}

class ChangesTest : public DriverTest {
protected:
	// Until a reader sleeps in the change-record command.
	void wait_for_reader()
	{
		while (!waitqueue_active(&record_list_wait_queue))
			msleep(10);
	}

	void SetUp() override
	{
		DriverTest::SetUp();
		hold_open();
	}

	ct_session *track(kern::dev_t dev, int major, int first_minor, u64 start, u64 nr)
	{
		ct_session *cts = alloc_cts_session();
		cts->dev = dev;
		cts->major = major;
		cts->first_minor = first_minor;
		cts->start_sect = start;
		cts->nr_sects = nr;
		down(&workLock);
		down(&session_list_lock);
		start_cts(cts);
		up(&session_list_lock);
		up(&workLock);
		return cts;
	}

	void write(ct_session *cts, u64 sector, unsigned bytes)
	{
		struct bio b;
		std::memset(static_cast<void *>(&b), 0, sizeof(b));
		b.bi_sector = sector;
		b.bi_size = bytes;
		record_change(cts, &b, 0);
	}
};

} // namespace

TEST_F(ChangesTest, BlocksUntilEnoughRecordsThenDeliversOldestFirst)
{
	ct_session *cts = track(MKDEV(8, 1), 8, 0, 0, 1000000);
	for (int i = 0; i < 3; i++)
		write(cts, 100 + i, 4096);
	std::atomic<bool> done{false};
	delivery d;
	kern::pid_t pid = spawn("cdpreader", [&] {
		d = drain(5);
		done = true;
		return 0;
	});
	wait_for_reader();
	msleep(2000);	// two virtual seconds: the reader must still wait
	EXPECT_FALSE(done.load());
	write(cts, 103, 4096);
	msleep(500);
	EXPECT_FALSE(done.load());
	write(cts, 104, 512);
	EXPECT_EQ(waitpid(pid), 0);
	ASSERT_TRUE(done.load());
	EXPECT_EQ(d.result, 5);
	EXPECT_EQ(d.crr.inqueue, 0);
	EXPECT_EQ(d.crr.tracking, 1);
	for (int i = 0; i < 5; i++) {
		EXPECT_EQ(+d.recs[i].start_sector, 100u + i);
		EXPECT_EQ(+d.recs[i].major, 8);
		EXPECT_EQ(+d.recs[i].minor, 1);
	}
	EXPECT_EQ(+d.recs[3].num_sectors, 8u);
	EXPECT_EQ(+d.recs[4].num_sectors, 1u);
}

TEST_F(ChangesTest, UnblockReleasesTheNextRequestOnce)
{
	ct_session *cts = track(MKDEV(8, 0), 8, 0, 0, 1000000);
	for (int i = 0; i < 3; i++)
		write(cts, i, 512);
	int32_t dummy = 0;
	EXPECT_EQ(agent_command(ZEP_IOC_UNBLOCK_CHANGE_RECORDS, &dummy), 0);
	delivery d = drain(5);
	EXPECT_EQ(d.result, 3);
	EXPECT_EQ(d.crr.inqueue, 0);
	// Entries past the count are zero.
	for (int i = 3; i < 5; i++) {
		EXPECT_EQ(+d.recs[i].major, 0);
		EXPECT_EQ(+d.recs[i].start_sector, 0u);
		EXPECT_EQ(+d.recs[i].num_sectors, 0u);
	}
	// The unblock is consumed: the next request blocks again until unblocked.
	std::atomic<bool> done{false};
	kern::pid_t pid = spawn("cdpreader", [&] {
		drain(5);
		done = true;
		return 0;
	});
	wait_for_reader();
	msleep(1500);
	EXPECT_FALSE(done.load());
	EXPECT_EQ(handle_ioctlUnblockChangeRecords(0), 0);
	EXPECT_EQ(waitpid(pid), 0);
	EXPECT_TRUE(done.load());
}

TEST_F(ChangesTest, SizeZeroReturnsAtOnceAndLeavesTheQueue)
{
	ct_session *cts = track(MKDEV(8, 0), 8, 0, 0, 1000000);
	write(cts, 1, 512);
	write(cts, 2, 512);
	delivery d = drain(0);
	EXPECT_EQ(d.result, 0);
	EXPECT_EQ(d.crr.inqueue, 2);
	EXPECT_EQ(atomic_read(&record_list_lenght), 2);
	d = drain(1);
	EXPECT_EQ(d.result, 1);
	EXPECT_EQ(d.crr.inqueue, 1);
	EXPECT_EQ(+d.recs[0].start_sector, 1u);
}

static void on_usr1(int) {}

TEST_F(ChangesTest, SignalEndsTheWaitWithWhatIsQueued)
{
	ct_session *cts = track(MKDEV(8, 0), 8, 0, 0, 1000000);
	write(cts, 7, 1);
	delivery d;
	std::atomic<bool> done{false};
	kern::pid_t pid = spawn("cdpreader", [&] {
		d = drain(4, [] { sys_signal(SIGUSR1, on_usr1); });
		done = true;
		return 0;
	});
	wait_for_reader();
	EXPECT_FALSE(done.load());
	// The reader runs in a child process: signal every process named cdpagent.
	for_each_task([](task_struct *t) {
		if (!std::strcmp(t->comm, "cdpagent"))
			send_sig(SIGUSR1, t, 1);
	});
	EXPECT_EQ(waitpid(pid), 0);
	EXPECT_EQ(d.result, 1);
	EXPECT_EQ(+d.recs[0].num_sectors, 1u);
	EXPECT_EQ(+d.recs[0].start_sector, 7u);
}

TEST_F(ChangesTest, PartitionRelativeSectorsAndRounding)
{
	// A partition starting at sector 63 of disk (8,0), tracked as (8,1).
	ct_session *cts = track(MKDEV(8, 1), 8, 0, 63, 1000);
	write(cts, 100, 1);
	write(cts, 100, 4096);
	write(cts, 100, 513);
	delivery d = drain(3);
	ASSERT_EQ(d.result, 3);
	EXPECT_EQ(+d.recs[0].start_sector, 37u);
	EXPECT_EQ(+d.recs[0].major, 8);
	EXPECT_EQ(+d.recs[0].minor, 1);
	EXPECT_EQ(+d.recs[0].num_sectors, 1u);
	EXPECT_EQ(+d.recs[1].num_sectors, 8u);
	EXPECT_EQ(+d.recs[2].num_sectors, 2u);
}

TEST_F(ChangesTest, ErrorCommandMarksTrackingIncomplete)
{
	ct_session *a = track(MKDEV(8, 1), 8, 0, 0, 100);
	ct_session *b = track(MKDEV(8, 2), 8, 0, 200, 100);
	write(a, 5, 512);
	int32_t dummy = 0;
	EXPECT_EQ(agent_command(ZEP_IOC_ERROR_CTS, &dummy), 0);
	EXPECT_TRUE(dmesg_has("<6>zep: INFO: CTS has been disabled 8.0[0+100]"));
	EXPECT_TRUE(dmesg_has("<6>zep: INFO: CTS has been disabled 8.0[200+100]"));
	// Sessions in error record nothing more; every delivery reports tracking 0.
	write(a, 6, 512);
	write(b, 250, 512);
	delivery d = drain(1);
	EXPECT_EQ(d.result, 1);	// the one record queued before the error
	EXPECT_EQ(d.crr.tracking, 0);
	EXPECT_EQ(atomic_read(&record_list_lenght), 0);
}

TEST_F(ChangesTest, LastCloseDiscardsRecordsAndMarksTheirTracking)
{
	release_holder();
	ct_session *cts = track(MKDEV(8, 0), 8, 0, 0, 1000000);
	semaphore first_open, first_closed, second_may_close;
	sema_init(&first_open, 0);
	sema_init(&first_closed, 0);
	sema_init(&second_may_close, 0);
	kern::pid_t holder = spawn("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		up(&first_open);
		down(&second_may_close);
		c.close();
		return 0;
	});
	down(&first_open);
	write(cts, 1, 512);
	write(cts, 2, 512);
	// A first close of two leaves the queue and the tracking alone.
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		c.close();
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(atomic_read(&record_list_lenght), 2);
	EXPECT_EQ(atomic_read(&cts->missed_write), 0);
	// The last close empties the queue and marks the records' tracking incomplete.
	up(&second_may_close);
	EXPECT_EQ(waitpid(holder), 0);
	EXPECT_EQ(atomic_read(&record_list_lenght), 0);
	EXPECT_EQ(atomic_read(&cts->missed_write), 1);
}

TEST_F(ChangesTest, FailedCopyOutOfRecordsMarksTrackingIncomplete)
{
	ct_session *cts = track(MKDEV(8, 0), 8, 0, 0, 1000000);
	write(cts, 1, 512);
	long result = 0;
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		change_recrod_request crr{};
		crr.size = 1;
		crr.cru = 0x1000;	// not mapped
		result = c.ioctl(ZEP_IOC_GET_CHANGED_RECORDS, c.put(crr));
		c.close();
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(result, -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: failed to copy cru to user space, change tracking is "
			      "now being disabled."));
	EXPECT_EQ(atomic_read(&record_list_lenght), 0);
	EXPECT_EQ(atomic_read(&cts->missed_write), 1);
}
