// The session commands from the agent's side: the refusals of start in their order, stop
// and the snapshot device's users, the queries, unload with sessions running.
#include <atomic>
#include <chrono>
#include <thread>

#include "backupdriver/clone.h"
#include "kernel/core/printk.h"
#include "tests/driver/agent_util.h"
#include "tests/driver/cow_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr sector_t PART_START = 128;
constexpr sector_t PART_SECTORS = 4096;

class SessionCmdTest : public CowTest {
protected:
	void SetUp() override
	{
		CowTest::SetUp();
		disk_ = add_ramdisk("scd", 8, PART_START + PART_SECTORS + 128);
		p1_ = add_partition(disk_, 1, PART_START, PART_SECTORS);
		ASSERT_EQ(kern::mount(p1_), 0);
	}

	void TearDown() override
	{
		// Sessions go first, so that their IO threads leave the control device.
		if (loaded_ && !halted_)
			agent_command_at(ZEP_IOC_UNLOAD, 0);
		for (kern::pid_t pid : threads_)
			EXPECT_EQ(waitpid(pid), 0);
		threads_.clear();
		kern::umount(p1_);
		CowTest::TearDown();
	}

	int start(const std::string &name, kern::dev_t dev = 0, int mode = ZEP_MODE_CHANGE_TRACKING | USER_SPACE_FILE)
	{
		auto ssr = start_request(dev ? dev : p1_, backing(name), mode);
		return static_cast<int>(start_snapshot(&ssr));
	}

	// Whether the message appears after `seq`.
	static bool logged(const char *text, u64 seq) { return printk_wait_for(text, 0, seq); }

	kern::dev_t disk_ = 0, p1_ = 0;
};

} // namespace

TEST_F(SessionCmdTest, StartRefusalsComeInTheirOrder)
{
	// A device without a file system.
	kern::dev_t bare = add_partition(disk_, 2, PART_START + PART_SECTORS, 64);
	u64 seq = printk_seq();
	EXPECT_EQ(start("bare", bare), -1);
	EXPECT_TRUE(logged("zep: ERROR: please check that the device (8,2) is mounted!", seq));
	EXPECT_TRUE(logged("zep: ERROR: could not create new session for device:(8,2).", seq));
	EXPECT_EQ(clone_count.counter.load(), 0);

	// A hardware sector size that does not divide a chunk (the machine's disks only come
	// in powers of two: the queue is told so afterwards).
	kern::dev_t odd = add_ramdisk("scw", 9, 3 * 2048);
	ASSERT_EQ(kern::mount(odd), 0);
	block_device *bdev = bdget(odd);
	blk_queue_hardsect_size(bdev_get_queue(bdev), 1536);
	seq = printk_seq();
	EXPECT_EQ(start("odd", odd), -1);
	EXPECT_TRUE(logged("zep: ERROR: chunk size is not a multiple of device block size.", seq));
	EXPECT_TRUE(logged("zep: ERROR: could not create new session for device:(9,0).", seq));
	blk_queue_hardsect_size(bdev_get_queue(bdev), 512);
	bdput(bdev);
	EXPECT_EQ(kern::umount(odd), 0);

	// Sixteen sessions at most.
	for (int i = 0; i < 16; i++)
		ASSERT_EQ(start("s" + std::to_string(i)), i + 1);
	auto ssr = start_request(p1_, backing("s16"));
	seq = printk_seq();
	EXPECT_EQ(start_snapshot(&ssr), -1);
	EXPECT_EQ(ssr.active_sessions, 16);
	EXPECT_TRUE(logged("zep: ERROR: Reached max simultaneous snapshots. Can not create new snapshots!", seq));

	// The limit comes before the snapshot-device check.
	ssr = start_request(MKDEV(ZEP_CLONE_MAJOR, 1), backing("c"));
	seq = printk_seq();
	EXPECT_EQ(start_snapshot(&ssr), -1);
	EXPECT_TRUE(logged("Reached max simultaneous snapshots", seq));
	EXPECT_EQ(stop_snapshot(16), 0);
	seq = printk_seq();
	EXPECT_EQ(start_snapshot(&ssr), -1);
	EXPECT_TRUE(logged("zep: ERROR: Can not take snapshot of Corvane Device!", seq));

	// A backing file in use by a running session: by its given name, or the one derived
	// from the start request.
	EXPECT_EQ(set_backing_file(1, backing("given")), 0);
	EXPECT_EQ(set_backing_file(1, backing("again")), 1);
	ssr = start_request(p1_, backing("given"));
	seq = printk_seq();
	EXPECT_EQ(start_snapshot(&ssr), -1);
	EXPECT_EQ(ssr.id, -2);
	EXPECT_TRUE(logged(("zep: ERROR: Backing file `" + backing("given") +
			    "' is already in use by another active session.").c_str(),
			   seq));
	ssr = start_request(p1_, backing("s1") + ".cow_zep2");
	EXPECT_EQ(start_snapshot(&ssr), -1);
	EXPECT_EQ(ssr.id, -2);

	// After unload nothing starts, even with nothing running.
	EXPECT_EQ(agent_command_at(ZEP_IOC_UNLOAD, 0), 0);
	int32_t count = -1;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST_COUNT, &count), 0);
	EXPECT_EQ(count, 0);
	seq = printk_seq();
	EXPECT_EQ(start("late"), -1);
	EXPECT_TRUE(logged("zep: ERROR: Driver is currently not accepting new Corvane sessions request.", seq));
}

TEST_F(SessionCmdTest, StartComparesNamesWhileBackingFilesAreSet)
{
	// Starts compare their backing file with every session's while the sessions' files are
	// handed over and renamed: a start for the last session's name is refused throughout,
	// and every rename holds.
	constexpr int N = 12;
	for (int i = 1; i <= N; i++)
		ASSERT_EQ(start("s" + std::to_string(i)), i);
	std::atomic<bool> renaming{true};
	std::atomic<int> refused{0}, accepted{0};
	kern::pid_t starter = spawn("cdpstart", [&] {
		Control c;
		if (!c.open())
			return 1;
		auto ssr = start_request(p1_, backing("s12") + ".cow_zep12");
		while (renaming) {
			long r = c.ioctl(ZEP_IOC_START, c.put(ssr));
			(r == -1 && c.get<snap_shot_request>().id == -2 ? refused : accepted)++;
		}
		c.close();
		return 0;
	});
	ASSERT_TRUE(wait_until([&] { return refused > 0; }));
	for (int i = 1; i < N; i++)
		EXPECT_EQ(set_backing_file(i, backing("given" + std::to_string(i))), 0);
	renaming = false;
	EXPECT_EQ(waitpid(starter), 0);
	EXPECT_EQ(accepted, 0);
	for (int i = 1; i < N; i++) {
		get_string gs{};
		gs.id = i;
		EXPECT_EQ(agent_command(ZEP_IOC_GET_BACKING_FILE, &gs), 0);
		EXPECT_EQ(std::string(gs.string), backing("given" + std::to_string(i)));
	}
}

TEST_F(SessionCmdTest, SetBackingFileLeavesAStoppedSessionAlone)
{
	ASSERT_EQ(start("a"), 1);
	long files = files_open_count();
	// Unload stops each session before it unlinks it: in between, the stopped session is
	// still listed, under id 0. A backing file handed over then would never be closed.
	down(&session_list_lock);
	cow_session *cs = get_cow_session_by_id(1);
	up(&session_list_lock);
	ASSERT_NE(cs, nullptr);
	down(&workLock);
	EXPECT_EQ(stop_cow_session(cs), 0);
	EXPECT_EQ(set_backing_file(0, backing("late")), 0);
	EXPECT_EQ(cs->cow_file, nullptr);
	down(&session_list_lock);
	list_del_init(&cs->list);
	up(&session_list_lock);
	put_cow_session(cs);
	up(&workLock);
	EXPECT_EQ(files_open_count(), files);
}

TEST_F(SessionCmdTest, UnloadFreesAStoppedSessionAfterItsLastReference)
{
	// Unload stops each session before it unlinks it: in between, a walker of the whole
	// registry (the watchdog gathering sessions to inspect) can still take the stopped one.
	ASSERT_EQ(start("a"), 1);
	down(&session_list_lock);
	cow_session *cs = get_cow_session_by_id(1);
	inc_users(cs);	// holds the stop in its wait for users
	up(&session_list_lock);
	std::atomic<long> unloaded{-100};
	kern::pid_t unloader = spawn("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		unloaded = c.ioctl(ZEP_IOC_UNLOAD, 0);
		c.close();
		return 0;
	});
	ASSERT_TRUE(wait_until([&] { return is_shutdown(cs) != 0; }));
	down(&session_list_lock);
	dec_users(cs);	// the stop goes past its wait, on to the list lock held here
	std::this_thread::sleep_for(std::chrono::milliseconds(20));
	LIST_HEAD(taken);
	int n = get_all_sessions(&taken);
	up(&session_list_lock);
	std::this_thread::sleep_for(std::chrono::milliseconds(50));	// the unload's time to free it
	EXPECT_EQ(n, 1);
	EXPECT_EQ(unloaded.load(), -100);	// it waits for the reference taken above
	put_cow_sessions(&taken);
	EXPECT_EQ(waitpid(unloader), 0);
	EXPECT_EQ(unloaded, 0);
}

TEST_F(SessionCmdTest, StopWaitsForOrdinaryOpenersOnly)
{
	int id = start("a");
	ASSERT_EQ(id, 1);
	EXPECT_EQ(stop_snapshot(7), 0);	// no such session

	// A cdp opener does not hold the stop back; an ordinary one does.
	semaphore opened, release;
	sema_init(&opened, 0);
	sema_init(&release, 0);
	auto holder = [&](const char *comm, std::string node) {
		return spawn(comm, [&, node] {
			int fd = sys_open(("/dev/" + node).c_str(), O_RDONLY, 0);
			up(&opened);
			down(&release);
			if (fd >= 0)
				sys_close(static_cast<unsigned>(fd));
			return fd >= 0 ? 0 : 1;
		});
	};
	kern::pid_t ordinary = holder("reader", "zep1");
	down(&opened);
	u64 t0 = get_jiffies_64();
	u64 seq = printk_seq();
	EXPECT_EQ(stop_snapshot(id), -1);
	EXPECT_GE(get_jiffies_64() - t0, 4900u);
	EXPECT_TRUE(logged("zep: ERROR: Can not stop mounted zep session zep1, please unmount and try again.", seq));
	EXPECT_TRUE(logged("zep: INFO: Shutdown request 1 on zep device 1 with 1 users and 0 cdp users.", seq));
	// Once a stop has asked, nobody new may open the device.
	seq = printk_seq();
	EXPECT_EQ(read_device("zep1", 0, 4096, "reader").size(), 0u);
	EXPECT_TRUE(logged("zep: INFO: Denying open on zep device 1 because it is being shutdown.", seq));
	up(&release);
	EXPECT_EQ(waitpid(ordinary), 0);

	int id2 = start("b");
	ASSERT_EQ(id2, 2);
	kern::pid_t agent = holder("cdpread", "zep2");
	down(&opened);
	EXPECT_EQ(stop_snapshot(id), 0);
	EXPECT_EQ(stop_snapshot(id2), 0);
	up(&release);
	EXPECT_EQ(waitpid(agent), 0);
	int32_t count = -1;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST_COUNT, &count), 0);
	EXPECT_EQ(count, 0);
}

TEST_F(SessionCmdTest, MountedSnapshotDeviceHoldsTheStopUntilUnmounted)
{
	int id = start("a");
	ASSERT_EQ(id, 1);
	ASSERT_EQ(kern::mount(MKDEV(ZEP_CLONE_MAJOR, 1)), 0);
	u64 seq = printk_seq();
	EXPECT_EQ(stop_snapshot(id), -1);
	EXPECT_TRUE(logged("Can not stop mounted zep session zep1", seq));
	// The session keeps working.
	EXPECT_EQ(session_error(id), "");
	EXPECT_EQ(kern::umount(MKDEV(ZEP_CLONE_MAJOR, 1)), 0);
	EXPECT_EQ(stop_snapshot(id), 0);
}

TEST_F(SessionCmdTest, QueriesFollowTheRegistry)
{
	ASSERT_EQ(start("a"), 1);
	kern::dev_t p2 = add_partition(disk_, 2, PART_START + PART_SECTORS, 64);
	(void)p2;
	ASSERT_EQ(start("b", 0, USER_SPACE_FILE), 2);
	snap_shot_request ssr = start_request(p1_, "");
	EXPECT_EQ(agent_command(ZEP_IOC_GET_DEV, &ssr), 0);
	EXPECT_EQ(ssr.id, 1);
	get_string gs{};
	gs.id = 2;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_BACKING_FILE, &gs), 0);
	EXPECT_EQ(std::string(gs.string), backing("b") + ".cow_zep2");
	gs.id = 1;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_DEV_PATH, &gs), 0);
	EXPECT_STREQ(gs.string, "/dev/dev1");
	struct {
		session_list recs[ZEP_LIST_ENTRIES];
	} ls{};
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST, &ls), 0);
	EXPECT_EQ(ls.recs[0].id, 1);
	EXPECT_EQ(ls.recs[1].id, 2);
	EXPECT_EQ(ls.recs[0].mode, ZEP_MODE_CHANGE_TRACKING | USER_SPACE_FILE);
	EXPECT_EQ(+ls.recs[1].block_size, 65536u);
	EXPECT_EQ(ls.recs[0].error, 0);
	// A write preserves one chunk per session.
	ASSERT_EQ(write_node("scd1", 0, chunk_pattern(4096, 1)), 0);
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST, &ls), 0);
	EXPECT_EQ(+ls.recs[0].changed_blocks, 1u);
	EXPECT_EQ(+ls.recs[1].changed_blocks, 1u);
}

TEST_F(SessionCmdTest, UnloadStopsRunningSessions)
{
	ASSERT_EQ(start("a"), 1);
	ASSERT_EQ(start("b"), 2);
	threads_.push_back(start_io_thread(1, backing("io1")));
	EXPECT_EQ(thread_wait(1), 0);
	u64 seq = printk_seq();
	EXPECT_EQ(agent_command_at(ZEP_IOC_UNLOAD, 0), 0);
	EXPECT_TRUE(logged("zep: INFO: zep session zep1 stopped.", seq));
	EXPECT_TRUE(logged("zep: INFO: zep session zep2 stopped.", seq));
	EXPECT_TRUE(logged("zep: INFO: zep driver has been shutdown.", seq));
	EXPECT_EQ(clone_count.counter.load(), 0);
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "");
}

TEST_F(SessionCmdTest, ThreadCommandsWaitAndShutDownThreadlessSessions)
{
	ASSERT_EQ(start("a"), 1);
	u64 seq = printk_seq();
	u64 t0 = get_jiffies_64();
	EXPECT_EQ(thread_wait(1), -1);
	EXPECT_GE(get_jiffies_64() - t0, 30000u);
	EXPECT_TRUE(logged("zep: ERROR: Backing thread for session 1 did not start after 30000 msecs!", seq));
	EXPECT_EQ(thread_wait(9), -1);

	// A session with a thread is left alone; one without is invalidated and stopped.
	ASSERT_EQ(start("b"), 2);
	threads_.push_back(start_io_thread(2, backing("io2")));
	EXPECT_EQ(thread_wait(2), 0);
	snap_shot_request ssr{};
	ssr.id = 2;
	EXPECT_EQ(agent_command(ZEP_IOC_NO_THREAD_SHUTDOWN, &ssr), 0);
	ASSERT_EQ(write_node("scd1", 0, chunk_pattern(4096, 1)), 0);
	ssr.id = 1;
	seq = printk_seq();
	EXPECT_EQ(agent_command(ZEP_IOC_NO_THREAD_SHUTDOWN, &ssr), -1);
	EXPECT_TRUE(logged("zep: ERROR: corvane session zep1 had no threads running, shutting down!", seq));
	EXPECT_EQ(session_error(1), "NO ERROR");
	int32_t count = -1;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST_COUNT, &count), 0);
	EXPECT_EQ(count, 1);
	ssr.id = 7;
	EXPECT_EQ(agent_command(ZEP_IOC_NO_THREAD_SHUTDOWN, &ssr), 0);
}
