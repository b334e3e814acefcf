// The lock watchdog: silent while idle, reports on request, and after a quiet minute.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "tests/support/driver_fixture.h"

using namespace zeptest;
using namespace kern;

namespace {

class WatchdogTest : public DriverTest {
protected:
	void TearDown() override
	{
		if (fake_)
			remove_fake_session();
		DriverTest::TearDown();
	}

	// A registered session with just what the watchdog looks at.
	cow_session *add_fake_session(int id, int started_threads)
	{
		auto *cs = static_cast<cow_session *>(kzalloc(sizeof(cow_session), GFP_KERNEL));
		cs->clone_id = id;
		spin_lock_init(&cs->chunk_lock);
		spin_lock_init(&cs->if_lock);
		spin_lock_init(&cs->pos_lock);
		spin_lock_init(&cs->users_lock);
		spin_lock_init(&cs->write_list_lock);
		EXPECT_EQ(init_chunk_table(&cs->chunk_table, 16), 0);
		EXPECT_EQ(init_chunk_table(&cs->if_table, 16), 0);
		cs->thread_info = static_cast<io_thread_info *>(kzalloc(sizeof(io_thread_info), GFP_KERNEL));
		spin_lock_init(&cs->thread_info->io_threads_lock);
		for (int i = 0; i < MAX_IO_THREADS; i++) {
			io_thread *t = static_cast<io_thread *>(kzalloc(sizeof(io_thread), GFP_KERNEL));
			INIT_LIST_HEAD(&t->io_list);
			init_waitqueue_head(&t->io_wait);
			if (i < started_threads)
				atomic_set(&t->started, 1);
			atomic_set(&t->pending_io, 10 + i);
			atomic_set(&t->pending_anon_io, 20 + i);
			cs->thread_info->io_threads[i] = t;
		}
		down(&workLock);
		down(&session_list_lock);
		list_add_tail(&cs->list, &session_list_head);
		up(&session_list_lock);
		up(&workLock);
		fake_ = cs;
		return cs;
	}

	void remove_fake_session()
	{
		down(&workLock);
		down(&session_list_lock);
		list_del(&fake_->list);
		up(&session_list_lock);
		up(&workLock);
		// As a stop does: an inspection under way holds a user of the session.
		while (get_users(fake_))
			msleep(10);
		put_cow_session(fake_);
		fake_ = nullptr;
	}

	// Lines of the driver printed from `from` on.
	static std::vector<std::string> lines_since(u64 from)
	{
		std::vector<std::string> out;
		for (auto &l : dmesg_lines())
			if (l.seq >= from && l.text.find("zep") != std::string::npos)
				out.push_back("<" + std::to_string(l.level) + ">" + l.text);
		return out;
	}

	cow_session *fake_ = nullptr;
};

// A slower clock, so that a loaded machine cannot stretch the gap between two pokes to a
// virtual minute.
class WatchdogSlowClockTest : public WatchdogTest {
protected:
	double clock_speed() const override { return 30.0; }
};

} // namespace

TEST_F(WatchdogTest, IdleDriverIsSilent)
{
	u64 from = printk_seq();
	msleep(150 * 1000);	// two and a half virtual minutes: two periodic inspections
	EXPECT_TRUE(lines_since(from).empty());
}

TEST_F(WatchdogTest, ListLocksWithoutSessionsPrintsTheHeaderOnly)
{
	u64 from = printk_seq();
	int32_t dummy = 0;
	EXPECT_EQ(agent_command(ZEP_IOC_LIST_LOCKS, &dummy), 0);
	ASSERT_TRUE(printk_wait_for("total_cow_pages", 5000, from));
	msleep(10 * 1000);
	std::vector<std::string> expect = {"<3>zep: ERROR: -- listing zep debug info --",
					   "<3>zep: ERROR: zep_watchdog: total_cow_pages: 0"};
	EXPECT_EQ(lines_since(from), expect);
}

TEST_F(WatchdogTest, ListLocksPrintsCountersOfStartedThreadsOnly)
{
	add_fake_session(3, 2);
	u64 from = printk_seq();
	ioctl_list_locks();
	ASSERT_TRUE(printk_wait_for("io_thread[1]->pending_anon_io", 5000, from));
	msleep(10 * 1000);
	std::vector<std::string> expect = {
		"<3>zep: ERROR: -- listing zep debug info --",
		"<3>zep: ERROR: zep_watchdog: total_cow_pages: 0",
		"<3>zep: ERROR: zep_watchdog: io_thread[0]->pendign_io: 10",
		"<3>zep: ERROR: zep_watchdog: io_thread[0]->pending_anon_io: 20",
		"<3>zep: ERROR: zep_watchdog: io_thread[1]->pendign_io: 11",
		"<3>zep: ERROR: zep_watchdog: io_thread[1]->pending_anon_io: 21",
	};
	EXPECT_EQ(lines_since(from), expect);
}

TEST_F(WatchdogTest, SemaphoreHeldThroughAProbeIsReported)
{
	add_fake_session(4, 1);
	u64 from = printk_seq();
	down(&workLock);
	ioctl_list_locks();
	bool seen = printk_wait_for("LOCKED(workLock)", 10000, from);
	up(&workLock);
	ASSERT_TRUE(seen);
	auto lines = lines_since(from);
	EXPECT_NE(std::find(lines.begin(), lines.end(), "<3>zep_watchdog[18929]: LOCKED(workLock) "),
		  lines.end());
	EXPECT_EQ(std::find(lines.begin(), lines.end(),
			    "<3>zep_watchdog[18929]: LOCKED(session_work_lock) "),
		  lines.end());
}

TEST_F(WatchdogSlowClockTest, PokesKeepThePeriodicInspectionAway)
{
	add_fake_session(5, 1);
	u64 from = printk_seq();
	down(&session_work_lock);
	// A minute and a half of traffic, a poke every 10 seconds.
	for (int i = 0; i < 9; i++) {
		msleep(10 * 1000);
		poke_watchdog();
	}
	EXPECT_TRUE(lines_since(from).empty());
	// Silence for a minute brings the inspection, which finds the held semaphore.
	bool seen = printk_wait_for("LOCKED(session_work_lock)", 20000, from);
	up(&session_work_lock);
	EXPECT_TRUE(seen);
}
