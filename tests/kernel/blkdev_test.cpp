// Disks, partitions, majors, block device lookups and block device files.
#include "tests/kernel/blk_test_util.h"

#include "kernel/machine.h"
#include "kernel/core/module.h"
#include "kernel/block/super.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using namespace blktest;

class Blkdev : public zeptest::MachineTest {};

TEST_F(Blkdev, BdgetOfAPartitionFillsItsDiskAndWholeDevice)
{
	kern::dev_t d = add_ramdisk("sda", 0, 4096);
	kern::dev_t p2 = add_partition(d, 2, 2048, 1024);
	ASSERT_EQ(p2, d + 2);
	block_device *part = bdget(p2);
	ASSERT_NE(part, nullptr);
	EXPECT_EQ(part->bd_dev, p2);
	ASSERT_NE(part->bd_disk, nullptr);
	EXPECT_STREQ(part->bd_disk->disk_name, "sda");
	ASSERT_NE(part->bd_part, nullptr);
	EXPECT_EQ(part->bd_part->start_sect, 2048u);
	EXPECT_EQ(part->bd_part->nr_sects, 1024u);
	block_device *whole = bdget(d);
	EXPECT_EQ(part->bd_contains, whole) << "the same cached record";
	EXPECT_EQ(whole->bd_contains, whole);
	EXPECT_EQ(whole->bd_part, nullptr);
	EXPECT_EQ(bdget(p2), part);
	bdput(part);
	EXPECT_EQ(I_BDEV(part->bd_inode), part);
	EXPECT_EQ(bdev_nr_sectors(part), 1024u);
	EXPECT_EQ(bdget(d + 3), nullptr) << "no partition 3";
	EXPECT_EQ(bdget(MKDEV(200, 0)), nullptr);
	umode_t type;
	kern::dev_t nd;
	ASSERT_TRUE(dev_node_lookup("sda2", &type, &nd));
	EXPECT_EQ(nd, p2);
	EXPECT_TRUE(S_ISBLK(type));
	bdput(part);
	bdput(whole);
}

TEST_F(Blkdev, PartitionsAreCheckedAndNamed)
{
	kern::dev_t d = add_ramdisk("md0", 0, 1000, {.minors = 4});
	EXPECT_NE(add_partition(d, 1, 0, 500), 0u);
	EXPECT_EQ(add_partition(d, 2, 499, 10), 0u) << "overlap";
	EXPECT_EQ(add_partition(d, 2, 900, 101), 0u) << "beyond capacity";
	EXPECT_EQ(add_partition(d, 4, 600, 10), 0u) << "partno past minors";
	EXPECT_EQ(add_partition(d, 0, 600, 10), 0u);
	EXPECT_EQ(add_partition(d, 1, 600, 10), 0u) << "taken";
	EXPECT_EQ(add_partition(d + 1, 2, 600, 10), 0u) << "not a disk";
	EXPECT_NE(add_partition(d, 3, 500, 500), 0u);
	umode_t type;
	kern::dev_t nd;
	EXPECT_TRUE(dev_node_lookup("md0p3", &type, &nd));
	EXPECT_EQ(nd, d + 3);
	ASSERT_EQ(remove_disk(d), 0);
	EXPECT_FALSE(dev_node_lookup("md0", &type, &nd));
	EXPECT_FALSE(dev_node_lookup("md0p1", &type, &nd));
	EXPECT_EQ(remove_disk(d), -ENXIO);
}

TEST_F(Blkdev, DisksShareADriverMajorAndLoseLookupsWhenDeleted)
{
	kern::dev_t a = add_ramdisk("ra", 0, 64, {.minors = 16});
	kern::dev_t b = add_ramdisk("rb", 0, 64, {.minors = 16});
	kern::dev_t c = add_ramdisk("rc", MAJOR(a), 64, {.minors = 8});
	ASSERT_NE(a, 0u);
	EXPECT_EQ(MAJOR(b), MAJOR(a));
	EXPECT_EQ(MINOR(b), MINOR(a) + 16);
	EXPECT_EQ(MINOR(c) % 8, 0u);
	EXPECT_EQ(blkdev_major_name(MAJOR(a)), "ramdisk");
	EXPECT_EQ(add_ramdisk("ra", 0, 64), 0u) << "name taken";

	block_device *held = bdget(b);
	ASSERT_EQ(remove_disk(b), 0);
	EXPECT_EQ(bdget(b), nullptr) << "a deleted disk no longer resolves";
	int part;
	EXPECT_EQ(get_gendisk(b, &part), nullptr);
	EXPECT_EQ(held->bd_dev, b) << "holders keep their record";
	bdput(held);
	remove_disk(a);
	remove_disk(c);
	EXPECT_EQ(blkdev_major_name(MAJOR(a)), "") << "the machine gives its major back";
}

TEST_F(Blkdev, RegisterBlkdevHandsOutAndGuardsMajors)
{
	EXPECT_EQ(register_blkdev(240, "mine"), 0);
	EXPECT_EQ(register_blkdev(240, "other"), -EBUSY);
	int dyn = register_blkdev(0, "dyn");
	EXPECT_GT(dyn, 0);
	EXPECT_NE(dyn, 240);
	EXPECT_EQ(add_ramdisk("x", 240, 64), 0u) << "major owned by another driver";
	EXPECT_EQ(unregister_blkdev(240, "other"), -EINVAL);
	EXPECT_EQ(unregister_blkdev(240, "mine"), 0);
	EXPECT_EQ(unregister_blkdev(dyn, "dyn"), 0);
	EXPECT_EQ(register_blkdev(5000, "big"), -EINVAL);
}

TEST_F(Blkdev, BlockFileIoIsDirectAndBounded)
{
	kern::dev_t d = add_ramdisk("rf", 0, 64);	// 32 KiB
	blk_file bf(d);
	ASSERT_EQ(bf.open_result, 0);
	auto data = pattern(12288, 3);
	EXPECT_EQ(bf.pwrite(data.data(), data.size(), 4096), 12288);
	std::vector<unsigned char> back(12288);
	EXPECT_EQ(bf.pread(back.data(), back.size(), 4096), 12288);
	EXPECT_EQ(back, data);
	unsigned char peek[512];
	ASSERT_EQ(disk_peek(d, 8 + 23, peek, 512), 0);
	EXPECT_EQ(0, std::memcmp(peek, data.data() + 23 * 512, 512));

	unsigned char buf[1024] = {};
	EXPECT_EQ(bf.pread(buf, 1000, 0), -EINVAL);
	EXPECT_EQ(bf.pread(buf, 512, 100), -EINVAL);
	EXPECT_EQ(bf.pread(buf, 1024, 32768 - 512), 512) << "short read at the end";
	EXPECT_EQ(bf.pread(buf, 512, 32768), 0);
	EXPECT_EQ(bf.pwrite(buf, 512, 32768), -ENOSPC);
	EXPECT_EQ(bf.pwrite(buf, 1024, 32768 - 512), 512);
	EXPECT_EQ(def_blk_fops.llseek(&bf.f, 0, 2), 32768);
	EXPECT_EQ(def_blk_fops.llseek(&bf.f, 1, 2), -EINVAL);
	EXPECT_EQ(def_blk_fops.llseek(&bf.f, 0, 0), 0);
	EXPECT_EQ(def_blk_fops.read(&bf.f, reinterpret_cast<char *>(buf), 512, &bf.f.f_pos), -EFAULT)
		<< "a kernel buffer without KERNEL_DS faults";
	EXPECT_EQ(def_blk_fops.fsync(&bf.f, bf.f.f_dentry, 0), 0);
	EXPECT_EQ(fsync_bdev_count(d), 1);

	disk_set_eio(d, 10, 1, WRITE);
	EXPECT_EQ(bf.pwrite(buf, 1024, 9 * 512), -EIO);
	EXPECT_EQ(bf.pread(buf, 1024, 9 * 512), 1024) << "reads of the range still work";
}

TEST_F(Blkdev, BlockFileIoSplitsIntoBiosWithinTheQueueLimits)
{
	disk_options o;
	o.max_sectors = 8;	// one page per bio
	o.max_hw_segments = 1;
	kern::dev_t d = add_ramdisk("small", 0, 256, o);
	blk_file bf(d);
	auto data = pattern(40960, 9);
	EXPECT_EQ(bf.pwrite(data.data(), data.size(), 0), 40960);
	EXPECT_EQ(get_disk_stats(d).writes, 10u);
	std::vector<unsigned char> back(40960);
	EXPECT_EQ(bf.pread(back.data(), back.size(), 0), 40960);
	EXPECT_EQ(back, data);
	// A later bio that fails fails the call: a short count would pass for success.
	disk_set_eio(d, 24, 1);
	EXPECT_EQ(bf.pwrite(data.data(), data.size(), 0), -EIO);
	EXPECT_EQ(bf.pread(back.data(), back.size(), 0), -EIO);
	disk_clear_eio(d);

	// A segment boundary finer than a page: each page goes out in 2 KiB pieces.
	o.max_sectors = 255;
	o.seg_boundary_mask = 0x7ff;
	kern::dev_t fine = add_ramdisk("fine", 0, 256, o);
	blk_file ff(fine);
	EXPECT_EQ(ff.pwrite(data.data(), 12288, 1024), 12288);
	EXPECT_EQ(get_disk_stats(fine).writes, 6u);
	EXPECT_EQ(ff.pread(back.data(), 12288, 1024), 12288);
	EXPECT_TRUE(std::equal(back.begin(), back.begin() + 12288, data.begin()));
}

namespace {
DEFINE_MODULE(blktestmod, "blktestmod", nullptr, nullptr);
int opens, releases, open_error;
int test_open(inode *i, file *)
{
	opens++;
	return i->i_bdev ? open_error : -EINVAL;
}
int test_release(inode *, file *)
{
	releases++;
	return 0;
}
const block_device_operations owned_fops = {test_open, test_release, nullptr, nullptr, nullptr,
					    &__this_module_blktestmod};
} // namespace

TEST_F(Blkdev, OpenTakesTheDriverModuleAndCallsItsOperations)
{
	kern::dev_t d = add_ramdisk("own", 0, 64);
	block_device *bdev = bdget(d);
	const block_device_operations *saved = bdev->bd_disk->fops;
	bdev->bd_disk->fops = &owned_fops;
	module *m = &__this_module_blktestmod;
	m->live = true;
	opens = releases = open_error = 0;
	{
		blk_file bf(d);
		ASSERT_EQ(bf.open_result, 0);
		EXPECT_EQ(module_refcount(m), 1);
		EXPECT_EQ(bdev->bd_openers, 1);
		EXPECT_EQ(opens, 1);
	}
	EXPECT_EQ(releases, 1);
	EXPECT_EQ(module_refcount(m), 0);
	EXPECT_EQ(bdev->bd_openers, 0);

	open_error = -EROFS;
	{
		blk_file bf(d);
		EXPECT_EQ(bf.open_result, -EROFS);
		EXPECT_EQ(module_refcount(m), 0) << "a failed open gives the module back";
		EXPECT_EQ(bdev->bd_openers, 0);
	}
	m->live = false;
	open_error = 0;
	{
		blk_file bf(d);
		EXPECT_EQ(bf.open_result, -ENXIO) << "module going away";
	}
	EXPECT_EQ(blk_file(MKDEV(250, 1)).open_result, -ENXIO);
	bdev->bd_disk->fops = saved;
	bdput(bdev);
}

// Last: the leaked record stays behind for the rest of this process.
TEST_F(Blkdev, HaltReportsReferencedDevicesAndForeignMajors)
{
	kern::dev_t d = add_ramdisk("leak", 0, 64);
	ASSERT_NE(bdget(d), nullptr);
	ASSERT_EQ(register_blkdev(231, "forgotten"), 0);
	auto rep = halt_now();
	bool bdev_reported = false, major_reported = false;
	for (auto &p : rep.problems) {
		bdev_reported |= p.find("still referenced") != std::string::npos;
		major_reported |= p.find("forgotten") != std::string::npos;
	}
	EXPECT_TRUE(bdev_reported);
	EXPECT_TRUE(major_reported);
}
