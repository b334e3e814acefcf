// Mounting, super blocks, and freezing: writes to a mounted file system's sectors, through
// its own node or any other node of the disk, are held while it is frozen, and a freeze
// waits for the writes already in flight.
#include "tests/kernel/blk_test_util.h"

#include <atomic>

#include "kernel/machine.h"
#include "kernel/block/super.h"
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
	// A process writing `bytes` of pattern `seed` at `sector` through `node`; sets *done
	// when its write returns.
	static pid_t spawn_writer(kern::dev_t node, sector_t sector, size_t bytes, unsigned seed,
				  std::atomic<bool> *done)
	{
		return spawn("writer", [=] {
			blk_file bf(node);
			auto data = pattern(bytes, seed);
			kern::ssize_t r = bf.pwrite(data.data(), bytes, static_cast<kern::loff_t>(sector) << 9);
			*done = true;
			return r == static_cast<kern::ssize_t>(bytes) ? 0 : 1;
		});
	}
	// A process freezing bdev into *sb; sets *frozen when the freeze is done.
	static pid_t spawn_freezer(block_device *bdev, super_block **sb, std::atomic<bool> *frozen)
	{
		return spawn("freezer", [=] {
			*sb = freeze_bdev(bdev);
			*frozen = true;
			return 0;
		});
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
	pid_t w = spawn_writer(part, 0, 8192, 4, &wrote);
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
	// A write through the whole disk outside the partition never waited.
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
	pid_t w = spawn_writer(part, 0, 4096, 1, &wrote);
	for (int i = 0; i < 500 && get_disk_stats(dev).held == 0; i++)
		msleep(10);
	ASSERT_EQ(get_disk_stats(dev).held, 1u);
	super_block *sb = nullptr;
	pid_t f = spawn_freezer(bdev, &sb, &frozen);
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

// Writes to the frozen partition's sectors through the whole disk's node are held; a
// write elsewhere on the disk is not. Writes through a partition's node are held when the
// whole disk is mounted and frozen.
TEST_F(Freeze, WritesThroughAnyNodeOfTheDiskAreHeldOnTheFrozenSectors)
{
	ASSERT_EQ(mount(part), 0);	// sectors 2048..4095
	block_device *bdev = bdget(part);
	super_block *sb = freeze_bdev(bdev);
	ASSERT_NE(sb, nullptr);
	std::atomic<bool> inside{false}, across{false}, outside{false};
	pid_t w1 = spawn_writer(dev, 2048 + 16, 4096, 1, &inside);
	pid_t w2 = spawn_writer(dev, 2040, 8192, 2, &across);	// the last page before it and its first
	pid_t w3 = spawn_writer(dev, 100, 4096, 3, &outside);
	EXPECT_EQ(waitpid(w3), 0) << "outside the file system: not held";
	EXPECT_FALSE(wait_flag(inside, 1000));
	EXPECT_FALSE(across);
	EXPECT_EQ(get_disk_stats(dev).writes, 1u) << "nothing reached the frozen sectors";
	thaw_bdev(bdev, sb);
	EXPECT_EQ(waitpid(w1), 0);
	EXPECT_EQ(waitpid(w2), 0);
	std::vector<unsigned char> got(4096);
	ASSERT_EQ(disk_peek(dev, 2048 + 16, got.data(), got.size()), 0);
	EXPECT_EQ(got, pattern(4096, 1));
	EXPECT_EQ(umount(part), 0);
	bdput(bdev);

	// The whole disk mounted and frozen: a partition's node writes into it.
	ASSERT_EQ(mount(dev), 0);
	block_device *whole = bdget(dev);
	sb = freeze_bdev(whole);
	ASSERT_NE(sb, nullptr);
	std::atomic<bool> wrote{false};
	pid_t w = spawn_writer(part, 0, 512, 7, &wrote);
	EXPECT_FALSE(wait_flag(wrote, 1000));
	thaw_bdev(whole, sb);
	EXPECT_EQ(waitpid(w), 0);
	EXPECT_EQ(umount(dev), 0);
	bdput(whole);
}

// A write across two mounted partitions waits while either is frozen, without keeping
// the other's freeze from draining: a driver freezing them one after the other gets
// both frozen.
TEST_F(Freeze, AWriteAcrossTwoFileSystemsNeverHoldsOneFreezeBack)
{
	kern::dev_t low = add_partition(dev, 2, 0, 2048);
	ASSERT_NE(low, 0u);
	ASSERT_EQ(mount(part), 0);
	ASSERT_EQ(mount(low), 0);
	block_device *hi = bdget(part), *lo = bdget(low);
	super_block *sb_hi = freeze_bdev(hi);
	std::atomic<bool> wrote{false};
	pid_t w = spawn_writer(dev, 2044, 8192, 5, &wrote);
	EXPECT_FALSE(wait_flag(wrote, 500));
	std::atomic<bool> frozen{false};
	super_block *sb_lo = nullptr;
	pid_t f = spawn_freezer(lo, &sb_lo, &frozen);
	EXPECT_TRUE(wait_flag(frozen, 2000)) << "the waiting writer is not in flight on the low one";
	EXPECT_EQ(waitpid(f), 0);
	thaw_bdev(hi, sb_hi);
	EXPECT_FALSE(wait_flag(wrote, 500)) << "the low file system is frozen now";
	EXPECT_EQ(get_disk_stats(dev).writes, 0u);
	thaw_bdev(lo, sb_lo);
	EXPECT_EQ(waitpid(w), 0);
	std::vector<unsigned char> got(8192);
	ASSERT_EQ(disk_peek(dev, 2044, got.data(), got.size()), 0);
	EXPECT_EQ(got, pattern(8192, 5));
	bdput(hi);
	bdput(lo);
}
