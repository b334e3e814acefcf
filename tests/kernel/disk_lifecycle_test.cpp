// A driver's disks through their life: add_disk's refusals, a mount that opens the device
// as a process would, a close that comes after its disk was deleted and replaced, and
// file IO on a queue that takes one page in one segment.
#include "tests/kernel/toy_disk.h"

#include <algorithm>

#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/block/super.h"
#include "tests/kernel/blk_test_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using namespace toydisk;

class DiskLifecycle : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		reset_log();
		ASSERT_EQ(insmod("toydisk"), 0);
	}
	void TearDown() override
	{
		if (!halted_) {
			for (toy *t : toys)
				toy_destroy(t);
			EXPECT_EQ(rmmod("toydisk"), 0);
		}
		MachineTest::TearDown();
	}
	toy *create(const char *name, int minor, sector_t sectors, bool one_page = true)
	{
		int err = 0;
		toy *t = toy_create(name, minor, sectors, one_page, &err);
		EXPECT_EQ(err, 0) << name;
		if (t)
			toys.push_back(t);
		return t;
	}
	void destroy(toy *t)
	{
		toys.erase(std::remove(toys.begin(), toys.end(), t), toys.end());
		toy_destroy(t);
	}
	std::vector<toy *> toys;
};

TEST_F(DiskLifecycle, AddDiskReportsATakenRangeOrNodeAndLeavesNothingBehind)
{
	toy *a = create("zepa", 5, 64);
	ASSERT_NE(a, nullptr);
	int err = 0;
	EXPECT_EQ(toy_create("zepb", 5, 64, true, &err), nullptr);
	EXPECT_EQ(err, -EBUSY);
	EXPECT_TRUE(zeptest::dmesg_has("minors 5-5 of major 121 are used by zepa"));
	EXPECT_EQ(add_disk(a->disk), -EBUSY) << "added already";

	// A node of that name exists: the disk is not registered, the node is left alone.
	ASSERT_EQ(dev_node_add("zepc", S_IFCHR, MKDEV(10, 1)), 0);
	EXPECT_EQ(toy_create("zepc", 6, 64, true, &err), nullptr);
	EXPECT_EQ(err, -EEXIST);
	EXPECT_EQ(bdget(MKDEV(TOY_MAJOR, 6)), nullptr);
	int part;
	EXPECT_EQ(get_gendisk(MKDEV(TOY_MAJOR, 6), &part), nullptr);
	umode_t type;
	kern::dev_t nd;
	ASSERT_TRUE(dev_node_lookup("zepc", &type, &nd));
	EXPECT_TRUE(S_ISCHR(type));
	EXPECT_EQ(toy_create("", 7, 64, true, &err), nullptr);
	EXPECT_EQ(err, -EINVAL);
	// The range was not kept: once the name is free the same device can be added.
	ASSERT_EQ(dev_node_remove("zepc"), 0);
	toy *c = create("zepc", 6, 64);
	ASSERT_NE(c, nullptr);
	block_device *b = bdget(MKDEV(TOY_MAJOR, 6));
	ASSERT_NE(b, nullptr);
	EXPECT_EQ(b->bd_disk, c->disk);
	bdput(b);

	// A partition's node that cannot be made takes the disk's node back with it.
	gendisk *d = alloc_disk(4);
	d->major = TOY_MAJOR;
	d->first_minor = 16;
	d->queue = blk_alloc_queue(GFP_KERNEL);
	blk_queue_make_request(d->queue, toy_make_request);
	set_capacity(d, 100);
	std::snprintf(d->disk_name, sizeof(d->disk_name), "pd");
	ASSERT_EQ(add_disk_partition(d, 1, 0, 50), 0);
	ASSERT_EQ(dev_node_add("pd1", S_IFBLK, MKDEV(8, 1)), 0);
	EXPECT_EQ(add_disk(d), -EEXIST);
	EXPECT_FALSE(dev_node_lookup("pd", &type, &nd));
	EXPECT_EQ(bdget(MKDEV(TOY_MAJOR, 16)), nullptr);
	ASSERT_EQ(dev_node_remove("pd1"), 0);
	ASSERT_EQ(add_disk(d), 0);
	ASSERT_TRUE(dev_node_lookup("pd1", &type, &nd));
	EXPECT_EQ(nd, MKDEV(TOY_MAJOR, 17));
	del_gendisk(d);
	EXPECT_FALSE(dev_node_lookup("pd1", &type, &nd));
	blk_cleanup_queue(d->queue);
	put_disk(d);
}

TEST_F(DiskLifecycle, MountHoldsTheDeviceOpenAsAProcessWould)
{
	toy *t = create("zep1", 1, 2048);
	ASSERT_NE(t, nullptr);
	gendisk *disk = t->disk;
	kern::dev_t dev = MKDEV(TOY_MAJOR, 1);
	module *m = find_module("toydisk");
	block_device *b = bdget(dev);
	long files = files_open_count();

	pid_t p = spawn("cdpmount", [&] { return mount(dev); });
	EXPECT_EQ(waitpid(p), 0);
	auto l = log();
	ASSERT_EQ(l.size(), 1u);
	EXPECT_TRUE(l[0].open);
	EXPECT_EQ(l[0].disk, t->disk);
	EXPECT_EQ(l[0].comm, "cdpmount") << "the open runs in the mounting task";
	EXPECT_TRUE(l[0].inode_is_disks);
	EXPECT_TRUE(l[0].has_file);
	EXPECT_EQ(b->bd_openers, 1);
	EXPECT_EQ(module_refcount(m), 1);
	EXPECT_EQ(files_open_count(), files + 1);
	super_block *sb = get_super(b);
	ASSERT_NE(sb, nullptr);
	EXPECT_EQ(sb->s_bdev, b);
	drop_super(sb);
	EXPECT_EQ(rmmod("toydisk"), -EBUSY) << "a mounted device is an open one";
	EXPECT_EQ(mount(dev), -EBUSY);
	EXPECT_EQ(log().size(), 1u) << "a refused mount never reaches the driver";

	p = spawn("umounter", [&] { return umount(dev); });
	EXPECT_EQ(waitpid(p), 0);
	l = log();
	ASSERT_EQ(l.size(), 2u);
	EXPECT_FALSE(l[1].open);
	EXPECT_EQ(l[1].disk, t->disk);
	EXPECT_EQ(l[1].comm, "umounter");
	EXPECT_EQ(b->bd_openers, 0);
	EXPECT_EQ(module_refcount(m), 0);
	EXPECT_EQ(files_open_count(), files);
	EXPECT_EQ(get_super(b), nullptr);

	// The driver refuses the open: the mount fails with its error, nothing is mounted.
	t->open_error = -EPERM;
	EXPECT_EQ(mount(dev), -EPERM);
	EXPECT_EQ(get_super(b), nullptr);
	EXPECT_EQ(b->bd_openers, 0);
	EXPECT_EQ(module_refcount(m), 0);
	EXPECT_EQ(files_open_count(), files);
	EXPECT_EQ(log().size(), 3u) << "no release for a refused open";
	t->open_error = 0;

	// The driver's module is gone (its disk forgotten): no open, no mount.
	ASSERT_EQ(rmmod("toydisk"), 0);
	EXPECT_EQ(mount(dev), -ENXIO);
	EXPECT_EQ(get_super(b), nullptr);
	EXPECT_EQ(log().size(), 3u);
	ASSERT_EQ(insmod("toydisk"), 0);

	// Left mounted, its disk deleted meanwhile: halt releases the device, and has only
	// the module to report (it cannot be unloaded while the device is open) and the
	// major its exit would have given back.
	ASSERT_EQ(mount(dev), 0);
	bdput(b);
	for (toy *x : toys)
		toy_destroy(x);
	toys.clear();
	EXPECT_EQ(rmmod("toydisk"), -EBUSY);
	auto rep = halt_now();
	EXPECT_EQ(rep.problems, (std::vector<std::string>{"module toydisk still loaded",
							  "block major 121 (toydisk) still registered"}));
	l = log();
	ASSERT_EQ(l.size(), 5u);
	EXPECT_FALSE(l[4].open);
	EXPECT_EQ(l[4].disk, disk);
	EXPECT_EQ(l[4].magic, TOY_MAGIC) << "released before its disk went";
	EXPECT_TRUE(was_freed(disk));
}

TEST_F(DiskLifecycle, ALateCloseReleasesTheDiskTheFileWasOpenedOn)
{
	kern::dev_t dev = MKDEV(TOY_MAJOR, 3);
	toy *old = create("zep3", 3, 64);
	ASSERT_NE(old, nullptr);
	gendisk *old_disk = old->disk;
	file *f = filp_open("/dev/zep3", O_RDWR, 0);
	ASSERT_FALSE(IS_ERR(f));
	block_device *old_bdev = f->f_dentry->d_inode->i_bdev;
	ASSERT_NE(old_bdev, nullptr);

	destroy(old);
	EXPECT_FALSE(was_freed(old_disk)) << "the open file holds the disk";
	EXPECT_EQ(bdget(dev), nullptr) << "a deleted disk no longer resolves";
	toy *fresh = create("zep3", 3, 128);
	ASSERT_NE(fresh, nullptr);
	block_device *nb = bdget(dev);
	ASSERT_NE(nb, nullptr);
	EXPECT_NE(nb, old_bdev);
	EXPECT_EQ(nb->bd_disk, fresh->disk);
	EXPECT_EQ(bdev_nr_sectors(nb), 128u);
	EXPECT_EQ(old_bdev->bd_disk, old_disk);

	// IO through the old file finds its disk gone; nothing reaches the new one.
	unsigned char buf[512] = {};
	mm_segment_t fs = get_fs();
	set_fs(KERNEL_DS);
	kern::loff_t pos = 0;
	EXPECT_EQ(f->f_op->write(f, reinterpret_cast<const char *>(buf), sizeof(buf), &pos), -ENXIO);
	set_fs(fs);
	EXPECT_TRUE(fresh->bio_sizes.empty());

	reset_log();
	fput(f);
	auto l = log();
	ASSERT_EQ(l.size(), 1u);
	EXPECT_FALSE(l[0].open);
	EXPECT_EQ(l[0].disk, old_disk) << "the release of the disk the file was opened on";
	EXPECT_EQ(l[0].t, old);
	EXPECT_EQ(l[0].magic, TOY_MAGIC) << "its record still valid at the release";
	EXPECT_TRUE(was_freed(old_disk)) << "the file's reference was the last";
	EXPECT_EQ(nb->bd_openers, 0) << "the new device never counted the old open";
	bdput(nb);

	f = filp_open("/dev/zep3", O_RDONLY, 0);
	ASSERT_FALSE(IS_ERR(f));
	fput(f);
	l = log();
	ASSERT_EQ(l.size(), 3u);
	EXPECT_EQ(l[1].disk, fresh->disk);
	EXPECT_EQ(l[2].disk, fresh->disk);
}

TEST_F(DiskLifecycle, OnePageQueuesGetOnlyBiosTheyCanTake)
{
	toy *t = create("zep2", 2, 256);
	ASSERT_NE(t, nullptr);
	request_queue_t *q = t->q;
	// A make-request queue: a queue lock, but no request function to unplug.
	EXPECT_NE(q->queue_lock, nullptr);
	EXPECT_EQ(q->request_fn, nullptr);
	struct page *pg = alloc_page(GFP_KERNEL);
	EXPECT_EQ(q->bounce_pfn, BLK_MAX_PFN);
	EXPECT_LE(page_to_pfn(pg), q->bounce_pfn) << "BLK_BOUNCE_ANY covers every page";
	EXPECT_EQ(q->bounce_gfp, 0u);
	__free_page(pg);

	// A process writes from a buffer that starts inside a page, at an offset inside a
	// page of the device, and reads back into another odd place.
	auto data = blktest::pattern(12288 + 512, 6);
	pid_t p = spawn("writer", [&] {
		long base = sys_mmap(65536);
		if (base < 0)
			return 1;
		unsigned long src = static_cast<unsigned long>(base) + 100;
		unsigned long dst = static_cast<unsigned long>(base) + 32768 + 3000;
		if (user_write(src, data.data(), data.size()))
			return 2;
		int fd = sys_open("/dev/zep2", O_RDWR, 0);
		if (fd < 0)
			return 3;
		if (sys_pwrite64(fd, src, data.size(), 512) != static_cast<kern::ssize_t>(data.size()))
			return 4;
		if (sys_pread64(fd, dst, data.size(), 512) != static_cast<kern::ssize_t>(data.size()))
			return 5;
		std::vector<unsigned char> back(data.size());
		if (user_read(dst, back.data(), back.size()) || back != data)
			return 6;
		return sys_close(fd);
	});
	EXPECT_EQ(waitpid(p), 0);
	EXPECT_EQ(t->bad_bios, 0);
	EXPECT_EQ(t->bio_sizes, (std::vector<unsigned>{4096, 4096, 4096, 512, 4096, 4096, 4096, 512}));
	EXPECT_EQ(0, std::memcmp(t->data.data() + 512, data.data(), data.size()));
	EXPECT_FALSE(zeptest::dmesg_has("segment limits"));
}
