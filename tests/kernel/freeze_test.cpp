// Mounting, super blocks, and freezing: writes through a mounted device's node are held
// while it is frozen, and a freeze waits for the writes already in flight.
#include "tests/kernel/blk_test_util.h"

#include <atomic>

#include "kernel/machine.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using namespace blktest;

class Freeze : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		dev = add_ramdisk("fz", 0, 4096);
		part = add_partition(dev, 1, 2048, 2048);
		ASSERT_NE(part, 0u);
	}
	// Polls (virtual time) until flag is set or `ms` pass.
	static bool wait_flag(const std::atomic<bool> &flag, unsigned ms)
	{
		for (unsigned i = 0; i < ms / 10 && !flag; i++)
			msleep(10);
		return flag;
	}
	kern::dev_t dev = 0, part = 0;
};

TEST_F(Freeze, MountRulesAndSuperBlockLookups)
{
	EXPECT_EQ(mount(0), -EINVAL);
	EXPECT_EQ(mount(MKDEV(222, 0)), -ENXIO);
	EXPECT_EQ(umount(part), -EINVAL) << "not mounted";
	block_device *bdev = bdget(part);
	EXPECT_EQ(get_super(bdev), nullptr);
	ASSERT_EQ(mount(part), 0);
	EXPECT_EQ(mount(part), -EBUSY);
	EXPECT_EQ(mount(dev), -EBUSY) << "a partition of the disk is mounted";
	super_block *sb = get_super(bdev);
	ASSERT_NE(sb, nullptr);
	EXPECT_EQ(sb->s_bdev, bdev);
	EXPECT_EQ(sb->s_dev, part);
	EXPECT_EQ(sb->s_frozen.load(), SB_UNFROZEN);
	drop_super(sb);
	EXPECT_EQ(umount(part), 0);
	EXPECT_EQ(get_super(bdev), nullptr);
	EXPECT_EQ(mount(dev), 0);
	bdput(bdev);
	// Left mounted: halt unmounts it without complaint.
}

TEST_F(Freeze, FreezingAnUnmountedDeviceOnlyHoldsItsMountSemaphore)
{
	block_device *bdev = bdget(dev);
	EXPECT_EQ(freeze_bdev(bdev), nullptr);
	EXPECT_EQ(down_trylock(&bdev->bd_mount_sem), 1) << "held until thaw";
	std::atomic<bool> mounted{false};
	pid_t m = spawn("mounter", [&] {
		int r = mount(dev);
		mounted = true;
		return r;
	});
	EXPECT_FALSE(wait_flag(mounted, 500)) << "mount waits for the freeze to end";
	thaw_bdev(bdev, nullptr);
	EXPECT_EQ(waitpid(m), 0);
	EXPECT_EQ(fsync_bdev_count(dev), 0);
	EXPECT_EQ(umount(dev), 0);
	bdput(bdev);
}

TEST_F(Freeze, AWriterThroughTheNodeIsHeldUntilThaw)
{
	ASSERT_EQ(mount(part), 0);
	block_device *bdev = bdget(part);
	super_block *sb = freeze_bdev(bdev);
	ASSERT_NE(sb, nullptr);
	EXPECT_EQ(sb->s_frozen.load(), SB_FREEZE_TRANS);
	EXPECT_EQ(fsync_bdev_count(part), 1) << "the freeze flushed the device";
	std::atomic<bool> wrote{false};
	pid_t w = spawn("writer", [&] {
		blk_file bf(part);
		auto data = pattern(8192, 4);
		ssize_t r = bf.pwrite(data.data(), data.size(), 0);
		wrote = true;
		return r == 8192 ? 0 : 1;
	});
	EXPECT_FALSE(wait_flag(wrote, 2000)) << "still held after 2 virtual seconds";
	EXPECT_EQ(get_disk_stats(dev).writes, 0u);
	// Reads and raw bios are not file-system writes: they pass.
	EXPECT_EQ(sync_io(READ, bdev, 0, 1), 0);
	thaw_bdev(bdev, sb);
	EXPECT_EQ(waitpid(w), 0);
	EXPECT_TRUE(wrote);
	std::vector<unsigned char> got(8192);
	ASSERT_EQ(disk_peek(dev, 2048, got.data(), got.size()), 0);
	EXPECT_EQ(got, pattern(8192, 4));
	// A write to the whole disk never waited: it has no file system of its own.
	blk_file whole(dev);
	unsigned char buf[512] = {};
	EXPECT_EQ(whole.pwrite(buf, 512, 0), 512);
	bdput(bdev);
}

TEST_F(Freeze, FreezeWaitsForWritesInFlight)
{
	ASSERT_EQ(mount(part), 0);
	block_device *bdev = bdget(part);
	disk_hold_completions(dev, true);
	std::atomic<bool> wrote{false}, frozen{false};
	pid_t w = spawn("writer", [&] {
		blk_file bf(part);
		unsigned char buf[4096] = {1};
		ssize_t r = bf.pwrite(buf, sizeof(buf), 0);
		wrote = true;
		return r == 4096 ? 0 : 1;
	});
	for (int i = 0; i < 500 && get_disk_stats(dev).held == 0; i++)
		msleep(10);
	ASSERT_EQ(get_disk_stats(dev).held, 1u);
	super_block *sb = nullptr;
	pid_t f = spawn("freezer", [&] {
		sb = freeze_bdev(bdev);
		frozen = true;
		return 0;
	});
	EXPECT_FALSE(wait_flag(frozen, 1000)) << "a write is in flight";
	disk_hold_completions(dev, false);
	EXPECT_EQ(disk_release_completions(dev), 1);
	EXPECT_EQ(waitpid(w), 0);
	EXPECT_EQ(waitpid(f), 0);
	ASSERT_NE(sb, nullptr);
	EXPECT_EQ(sb->s_frozen.load(), SB_FREEZE_TRANS);
	EXPECT_EQ(atomic_read(&sb->s_writers), 0);

	// umount while frozen waits for the thaw.
	std::atomic<bool> unmounted{false};
	pid_t u = spawn("umount", [&] {
		int r = umount(part);
		unmounted = true;
		return r;
	});
	EXPECT_FALSE(wait_flag(unmounted, 500));
	thaw_bdev(bdev, sb);
	EXPECT_EQ(waitpid(u), 0);
	EXPECT_EQ(get_super(bdev), nullptr);
	bdput(bdev);
}
