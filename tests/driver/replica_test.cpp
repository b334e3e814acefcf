// The snapshot devices zep<N>: their ids and the table limit, the block major that comes
// and goes with them, their size, open and release accounting with the shutdown
// handshake, and sessions on two partitions of one disk sharing the disk's hook.
#include <cctype>

#include "backupdriver/clone.h"
#include "kernel/core/printk.h"
#include "tests/driver/agent_util.h"
#include "tests/driver/cow_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr sector_t PART_START = 128;
constexpr sector_t PART_SECTORS = 4096;	// 2 MiB, 32 chunks
constexpr size_t PART_BYTES = PART_SECTORS * 512;
constexpr sector_t DISK_SECTORS = PART_START + 2 * PART_SECTORS + 1024;
constexpr unsigned BLKGETSIZE = 0x1260;

class ReplicaTest : public AgentSessionTest {
protected:
	void SetUp() override
	{
		AgentSessionTest::SetUp();
		disk_ = add_ramdisk("rpd", 8, DISK_SECTORS);
		p1_ = add_partition(disk_, 1, PART_START, PART_SECTORS);
		p2_ = add_partition(disk_, 2, PART_START + PART_SECTORS, PART_SECTORS);
	}

	static bool logged(const char *text, u64 seq) { return printk_wait_for(text, 0, seq); }

	static int users(int id) { return atomic_read(&get_blkdev_replica(id)->users); }
	static int users_cdp(int id) { return atomic_read(&get_blkdev_replica(id)->users_cdp); }

	kern::dev_t disk_ = 0, p1_ = 0, p2_ = 0;
};

// pread of n bytes at off of /dev/<node>: the count read, or -errno.
ssize_t pread_node(const std::string &node, kern::loff_t off, size_t n)
{
	ssize_t got = -1000;
	in_process("reader", [&] {
		int fd = sys_open(("/dev/" + node).c_str(), O_RDONLY, 0);
		if (fd < 0)
			return 1;
		long buf = sys_mmap(n);
		got = sys_pread64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), n, off);
		sys_close(static_cast<unsigned>(fd));
		return 0;
	});
	return got;
}

} // namespace

TEST_F(ReplicaTest, IdsRunLowestFreeFirstUpToTheTableLimit)
{
	cow_session *cs = build_session(p1_, 0);
	ASSERT_NE(cs, nullptr);

	// Another driver holds the major: nothing is made and its registration stays.
	ASSERT_EQ(register_blkdev(ZEP_CLONE_MAJOR, "other"), 0);
	u64 seq = printk_seq();
	EXPECT_EQ(blkdev_clone(p1_, cs, virt_request), -1);
	EXPECT_TRUE(logged("zep: ERROR: could not init clone devices driver.", seq));
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "other");
	EXPECT_EQ(atomic_read(&clone_count), 0);
	ASSERT_EQ(unregister_blkdev(ZEP_CLONE_MAJOR, "other"), 0);

	// A disk that cannot be published (its node name is taken) is no replica.
	ASSERT_EQ(dev_node_add("zep1", S_IFBLK, MKDEV(9, 9)), 0);
	EXPECT_EQ(blkdev_clone(p1_, cs, virt_request), -1);
	EXPECT_EQ(atomic_read(&clone_count), 0);
	EXPECT_EQ(get_blkdev_replica(1), nullptr);
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "");
	ASSERT_EQ(dev_node_remove("zep1"), 0);

	for (int id = 1; id <= 254; id++)
		ASSERT_EQ(blkdev_clone(p1_, cs, virt_request), id);
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "clone");
	EXPECT_EQ(next_replica(), 255);
	seq = printk_seq();
	EXPECT_EQ(blkdev_clone(p1_, cs, virt_request), -ENOMEM);
	EXPECT_TRUE(logged("zep: ERROR: could not create new replica for device (8,1).", seq));
	EXPECT_EQ(atomic_read(&clone_count), 254);
	EXPECT_EQ(get_blkdev_replica(255), nullptr);
	EXPECT_EQ(get_blkdev_replica(-1), nullptr);

	// A hole is filled first, under its own name.
	blkdev_unclone(3);
	EXPECT_FALSE(dev_node_lookup("zep3", nullptr, nullptr));
	EXPECT_EQ(next_replica(), 3);
	ASSERT_EQ(blkdev_clone(p1_, cs, virt_request), 3);
	EXPECT_STREQ(get_blkdev_replica(3)->disk->disk_name, "zep3");
	umode_t type = 0;
	kern::dev_t node = 0;
	EXPECT_TRUE(dev_node_lookup("zep3", &type, &node));
	EXPECT_TRUE(S_ISBLK(type));
	EXPECT_EQ(node, MKDEV(ZEP_CLONE_MAJOR, 3));
	EXPECT_EQ(next_replica(), 255);

	// Ids that name no replica are ignored.
	EXPECT_EQ(blkdev_unclone(0), 0);
	EXPECT_EQ(blkdev_unclone(-4), 0);
	EXPECT_EQ(blkdev_shutdown(-1), 0);
	EXPECT_EQ(atomic_read(&clone_count), 254);

	// The major stays while one replica is left and goes with the last.
	for (int id = 254; id >= 2; id--)
		blkdev_unclone(id);
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "clone");
	EXPECT_EQ(blkdev_shutdown(2), 0);	// an empty slot
	blkdev_unclone(1);
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "");
	EXPECT_EQ(atomic_read(&clone_count), 0);
	for (const std::string &name : dev_node_list())
		EXPECT_FALSE(name.size() > 3 && name.rfind("zep", 0) == 0 && std::isdigit(name[3])) << name;

	// The next creation registers it again and starts from 1.
	ASSERT_EQ(blkdev_clone(p1_, cs, virt_request), 1);
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "clone");
	blkdev_unclone(1);
	put_cow_session(cs);
}

TEST_F(ReplicaTest, SnapshotDeviceHasTheSnapshottedSizeAndIgnoresIoctls)
{
	mount(p1_);
	ASSERT_EQ(start_agent(p1_, "a", USER_SPACE_FILE), 1);
	uint32_t sectors = 0;
	EXPECT_EQ(node_ioctl("zep1", BLKGETSIZE, &sectors), 0);
	EXPECT_EQ(sectors, PART_SECTORS);
	EXPECT_EQ(pread_node("zep1", PART_BYTES - 4096, 8192), 4096);
	EXPECT_EQ(pread_node("zep1", PART_BYTES, 4096), 0);

	// Commands the block layer does not know reach the driver: accepted, nothing done.
	for (unsigned cmd : {0x5401u, 0xdeadbeefu, static_cast<unsigned>(ZEP_IOC_STOP)}) {
		uint32_t word = 0;
		EXPECT_EQ(node_ioctl("zep1", cmd, &word, "reader"), 0) << cmd;
		EXPECT_EQ(word, 0u) << cmd;
	}
	EXPECT_EQ(users(1), 0);
	EXPECT_EQ(users_cdp(1), 0);
	EXPECT_EQ(atomic_read(&get_blkdev_replica(1)->sd), 0);
	EXPECT_EQ(session_error(1), "");
	// Its queue keeps the driver's unplug function through the make-request setup.
	EXPECT_EQ(get_blkdev_replica(1)->q->unplug_fn, &clone_unplug);
	EXPECT_EQ(stop_snapshot(1), 0);

	// A whole disk: the snapshot device is as large as the disk.
	kern::dev_t whole = add_ramdisk("rwd", 9, 3000);
	mount(whole);
	ASSERT_EQ(start_agent(whole, "w", USER_SPACE_FILE), 1);
	EXPECT_EQ(session(1)->part.start_sect, 0u);
	EXPECT_EQ(session(1)->part.nr_sects, 3000u);
	EXPECT_EQ(node_ioctl("zep1", BLKGETSIZE, &sectors), 0);
	EXPECT_EQ(sectors, 3000u);
	EXPECT_EQ(pread_node("zep1", 3000 * 512 - 512, 4096), 512);
	EXPECT_EQ(stop_snapshot(1), 0);
}

TEST_F(ReplicaTest, OpensAreCountedByKindAndRefusedOnceShutdownIsAsked)
{
	cow_session *cs = build_session(p1_, 0);
	ASSERT_EQ(blkdev_clone(p1_, cs, virt_request), 1);
	{
		NodeHolder a("zep1", "reader"), b("zep1", "backup"), c("zep1", "cdpread");
		ASSERT_GE(a.fd(), 0);
		ASSERT_GE(b.fd(), 0);
		ASSERT_GE(c.fd(), 0);
		EXPECT_EQ(users(1), 2);
		EXPECT_EQ(users_cdp(1), 1);
		b.close();
		EXPECT_EQ(users(1), 1);

		u64 seq = printk_seq();
		EXPECT_EQ(blkdev_shutdown(1), 1);
		EXPECT_TRUE(logged("zep: INFO: Shutdown request 1 on zep device 1 with 1 users and 1 cdp users.", seq));
		for (const char *comm : {"reader", "cdpread"}) {
			seq = printk_seq();
			NodeHolder late("zep1", comm);
			EXPECT_LT(late.fd(), 0) << comm;
			EXPECT_TRUE(logged("zep: INFO: Denying open on zep device 1 because it is being shutdown.", seq));
		}
		EXPECT_EQ(users(1), 1);
		EXPECT_EQ(users_cdp(1), 1);

		// A cdp opener never holds the shutdown back.
		a.close();
		seq = printk_seq();
		EXPECT_EQ(blkdev_shutdown(1), 0);
		EXPECT_TRUE(logged("zep: INFO: Shutdown request 2 on zep device 1 with 0 users and 1 cdp users.", seq));
		c.close();
		EXPECT_EQ(users_cdp(1), 0);
	}
	blkdev_unclone(1);

	// Nobody has it open: the first request alone shuts it.
	ASSERT_EQ(blkdev_clone(p1_, cs, virt_request), 1);
	EXPECT_EQ(blkdev_shutdown(1), 0);
	u64 seq = printk_seq();
	{
		NodeHolder late("zep1", "reader");
		EXPECT_LT(late.fd(), 0);
	}
	EXPECT_TRUE(logged("zep: INFO: Denying open on zep device 1 because it is being shutdown.", seq));
	EXPECT_EQ(users(1), 0);
	blkdev_unclone(1);
	put_cow_session(cs);
}

TEST_F(ReplicaTest, FilesOfAGoneReplicaDoNotCountOnItsSuccessor)
{
	cow_session *first = build_session(p1_, 0), *second = build_session(p2_, 0);
	ASSERT_EQ(blkdev_clone(p1_, first, virt_request), 1);
	NodeHolder old("zep1", "reader");
	ASSERT_GE(old.fd(), 0);
	// An open that has found the device when the replica goes away.
	block_device *racing = bdget(MKDEV(ZEP_CLONE_MAJOR, 1));
	ASSERT_NE(racing, nullptr);
	blkdev_unclone(1);
	ASSERT_EQ(blkdev_clone(p2_, second, virt_request), 1);
	EXPECT_EQ(get_blkdev_replica(1)->cs, second);

	u64 seq = printk_seq();
	EXPECT_EQ(clone_open_inode(racing->bd_inode, nullptr), -1);
	EXPECT_TRUE(logged("zep: ERROR: Open request on unknown clone device!", seq));
	EXPECT_EQ(users(1), 0);
	bdput(racing);

	seq = printk_seq();
	old.close();
	EXPECT_TRUE(logged("zep: ERROR: Closing unknown zep device!", seq));
	EXPECT_EQ(users(1), 0);
	EXPECT_EQ(users_cdp(1), 0);

	// The successor counts its own files.
	{
		NodeHolder fresh("zep1", "reader");
		ASSERT_GE(fresh.fd(), 0);
		EXPECT_EQ(users(1), 1);
	}
	EXPECT_EQ(users(1), 0);
	EXPECT_EQ(blkdev_shutdown(1), 0);
	blkdev_unclone(1);
	put_cow_session(first);
	put_cow_session(second);
}

TEST_F(ReplicaTest, TwoPartitionsOfOneDiskShareTheHookAndKeepTheirOwnImages)
{
	auto old1 = chunk_pattern(PART_BYTES, 1), old2 = chunk_pattern(PART_BYTES, 2);
	ASSERT_EQ(disk_poke(disk_, PART_START, old1.data(), old1.size()), 0);
	ASSERT_EQ(disk_poke(disk_, PART_START + PART_SECTORS, old2.data(), old2.size()), 0);
	mount(p1_);
	mount(p2_);
	block_device *whole = bdget(disk_);
	request_queue_t *q = bdev_get_queue(whole);
	make_request_fn *own = queue_make_request_fn(q);
	bdput(whole);

	ASSERT_EQ(start_agent(p1_, "a", USER_SPACE_FILE), 1);
	ASSERT_EQ(start_agent(p2_, "b", USER_SPACE_FILE), 2);
	saved_mrf *sm = savedMRFS[8][0];
	ASSERT_NE(sm, nullptr);
	EXPECT_EQ(atomic_read(&sm->count), 2);
	EXPECT_EQ(sm->mrf, own);
	EXPECT_EQ(queue_make_request_fn(q), cow_request);
	EXPECT_EQ(session(1)->set_mrf, 1);
	EXPECT_EQ(session(2)->set_mrf, 1);
	serve(1, "io1");
	serve(2, "io2");

	// A write preserves its chunk in its own partition's session only.
	ASSERT_EQ(write_node("rpd1", 3 * 65536, chunk_pattern(4096, 7)), 0);
	ASSERT_EQ(write_node("rpd2", 5 * 65536, chunk_pattern(4096, 8)), 0);
	EXPECT_NE(preserved(session(1), 3), nullptr);
	EXPECT_EQ(preserved(session(1), 5), nullptr);
	EXPECT_NE(preserved(session(2), 5), nullptr);
	EXPECT_EQ(preserved(session(2), 3), nullptr);

	// Writers rewrite both partitions while both images are read.
	RandomWriters writers({"rpd1", "rpd2"}, 4, PART_BYTES);
	writers.wait_for(40);
	auto image1 = read_device("zep1", 0, PART_BYTES);
	auto image2 = read_device("zep2", 0, PART_BYTES);
	EXPECT_TRUE(writers.stop());
	EXPECT_TRUE(image1 == old1);
	EXPECT_TRUE(image2 == old2);
	EXPECT_TRUE(read_node("rpd1", 0, PART_BYTES) != old1);
	EXPECT_TRUE(read_node("rpd2", 0, PART_BYTES) != old2);

	// Stopping one leaves the hook to the other, which keeps working.
	EXPECT_EQ(stop_snapshot(1), 0);
	EXPECT_EQ(atomic_read(&sm->count), 1);
	EXPECT_EQ(queue_make_request_fn(q), cow_request);
	EXPECT_EQ(sm->mrf, own);
	ASSERT_EQ(write_node("rpd2", 0, chunk_pattern(PART_BYTES, 9)), 0);
	EXPECT_EQ(session(2)->pos, PART_BYTES / 65536);
	EXPECT_TRUE(read_device("zep2", 0, PART_BYTES) == old2);
	EXPECT_EQ(session_error(2), "");

	// Stopping the last gives the disk its own function back.
	EXPECT_EQ(stop_snapshot(2), 0);
	EXPECT_EQ(atomic_read(&sm->count), 0);
	EXPECT_EQ(queue_make_request_fn(q), own);
	for (kern::pid_t pid : threads_)
		EXPECT_EQ(waitpid(pid), 0);
	threads_.clear();
}

TEST_F(ReplicaTest, StartWithoutASnapshotDeviceLeavesNothingBehind)
{
	mount(p1_);
	block_device *whole = bdget(disk_);
	request_queue_t *q = bdev_get_queue(whole);
	make_request_fn *own = queue_make_request_fn(q);
	bdput(whole);

	ASSERT_EQ(register_blkdev(ZEP_CLONE_MAJOR, "other"), 0);
	u64 seq = printk_seq();
	EXPECT_EQ(start_agent(p1_, "a", USER_SPACE_FILE), -1);
	EXPECT_TRUE(logged("zep: ERROR: could not init clone devices driver.", seq));
	EXPECT_TRUE(logged("zep: ERROR: could not set up clone device for device (8,1)", seq));
	EXPECT_TRUE(logged("zep: ERROR: could not start new session for device:(8,1).", seq));
	EXPECT_EQ(queue_make_request_fn(q), own);
	EXPECT_EQ(atomic_read(&savedMRFS[8][0]->count), 0);
	EXPECT_EQ(atomic_read(&clone_count), 0);
	int32_t count = -1;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST_COUNT, &count), 0);
	EXPECT_EQ(count, 0);
	EXPECT_EQ(blkdev_major_name(ZEP_CLONE_MAJOR), "other");
	ASSERT_EQ(unregister_blkdev(ZEP_CLONE_MAJOR, "other"), 0);

	// Nothing was counted: a full set of sessions can still start.
	for (int id = 1; id <= 16; id++)
		ASSERT_EQ(start_agent(p1_, "s" + std::to_string(id), USER_SPACE_FILE), id);
	EXPECT_EQ(atomic_read(&savedMRFS[8][0]->count), 16);
	for (int id = 16; id >= 1; id--)
		EXPECT_EQ(stop_snapshot(id), 0);
	EXPECT_EQ(queue_make_request_fn(q), own);
}
