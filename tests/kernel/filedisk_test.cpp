// filedisk: host-file storage served by worker threads; concurrency, completion context,
// persistence, flushes and removal.
#include "tests/kernel/blk_test_util.h"

#include <atomic>
#include <fstream>
#include <string>

#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/block/super.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using namespace blktest;

class Filedisk : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		path = "/tmp/zep_filedisk_" + std::to_string(::getpid()) + "_" +
		       ::testing::UnitTest::GetInstance()->current_test_info()->name();
		std::remove(path.c_str());
		MachineTest::SetUp();
	}
	void TearDown() override
	{
		MachineTest::TearDown();
		std::remove(path.c_str());
	}
	kern::dev_t add(u64 bytes, int workers = 2)
	{
		disk_options o;
		o.size_bytes = bytes;
		o.workers = workers;
		return add_filedisk("fd0", 0, path, o);
	}
	int workers_named(const char *prefix)
	{
		int n = 0;
		for_each_task([&](task_struct *t) {
			if (!t->exited && std::string(t->comm).rfind(prefix, 0) == 0)
				n++;
		});
		return n;
	}
	std::string path;
};

TEST_F(Filedisk, DataReachesTheHostFileAndSurvivesReAdding)
{
	kern::dev_t d = add(1 << 20, 3);
	ASSERT_NE(d, 0u);
	EXPECT_EQ(workers_named("filedisk/"), 3);
	block_device *bdev = bdget(d);
	EXPECT_EQ(bdev_nr_sectors(bdev), 2048u);
	io_result r;
	bio *b = make_bio(bdev, 2032, 2, &r, 0x31);
	submit_bio(WRITE, b);
	wait_for_completion(&r.done);
	EXPECT_EQ(r.error, 0);
	EXPECT_TRUE(r.in_irq) << "completed by a worker in interrupt context";
	free_bio_pages(b);
	EXPECT_EQ(fsync_bdev(bdev), 0);
	EXPECT_EQ(fsync_bdev_count(d), 1);
	bdput(bdev);
	ASSERT_EQ(remove_disk(d), 0);
	EXPECT_EQ(workers_named("filedisk/"), 0) << "workers stop with their disk";

	std::ifstream in(path, std::ios::binary);
	in.seekg(2032 * 512 + 4096);
	EXPECT_EQ(in.get(), 0x32);

	d = add(0);	// the existing file keeps its size
	ASSERT_NE(d, 0u);
	unsigned char c = 0;
	ASSERT_EQ(disk_peek(d, 2032, &c, 1), 0);
	EXPECT_EQ(c, 0x31);
	EXPECT_EQ(add_filedisk("bad", 0, "/nonexistent-dir/x", {}), 0u);
	EXPECT_EQ(add_filedisk("dir", 0, "/tmp", {}), 0u) << "a directory is no disk";
}

TEST_F(Filedisk, EightProcessesWriteConcurrentlyAndReadBackExactly)
{
	kern::dev_t d = add(8 << 20, 3);
	disk_set_delay(d, 50);
	constexpr int NPROC = 8;
	constexpr size_t REGION = 1 << 20;
	pid_t pids[NPROC];
	for (int p = 0; p < NPROC; p++) {
		pids[p] = spawn("writer", [p] {
			// Through the device node with the process's own memory, as a program would.
			int fd = sys_open("/dev/fd0", O_RDWR);
			long mem = sys_mmap(32768);
			if (fd < 0 || mem < 0)
				return 100;
			unsigned long buf = static_cast<unsigned long>(mem);
			// Interleaved 12 KiB and 20 KiB pieces so that the processes' bios mix.
			size_t off = 0;
			int i = 0;
			while (off < REGION) {
				size_t n = std::min<size_t>(i++ % 2 ? 20480 : 12288, REGION - off);
				auto data = pattern(n, static_cast<unsigned>(p * 1000 + off / 512));
				user_write(buf, data.data(), n);
				if (sys_pwrite64(fd, buf, n, static_cast<kern::loff_t>(p * REGION + off)) != static_cast<kern::ssize_t>(n))
					return 101;
				off += n;
			}
			off = 0;
			i = 0;
			while (off < REGION) {
				size_t n = std::min<size_t>(i++ % 2 ? 20480 : 12288, REGION - off);
				std::vector<unsigned char> back(n);
				if (sys_pread64(fd, buf, n, static_cast<kern::loff_t>(p * REGION + off)) != static_cast<kern::ssize_t>(n))
					return 102;
				user_read(buf, back.data(), n);
				if (back != pattern(n, static_cast<unsigned>(p * 1000 + off / 512)))
					return 103;
				off += n;
			}
			return sys_close(fd) ? 104 : 0;
		});
		ASSERT_GT(pids[p], 0);
	}
	for (int p = 0; p < NPROC; p++)
		EXPECT_EQ(waitpid(pids[p]), 0) << "process " << p;
	// And the medium itself holds each region's first piece.
	for (int p = 0; p < NPROC; p++) {
		std::vector<unsigned char> got(12288);
		ASSERT_EQ(disk_peek(d, p * REGION / 512, got.data(), got.size()), 0);
		EXPECT_EQ(got, pattern(12288, static_cast<unsigned>(p * 1000)));
	}
	auto s = get_disk_stats(d);
	EXPECT_EQ(s.sectors_written, NPROC * REGION / 512);
	EXPECT_EQ(s.errors, 0u);
}

TEST_F(Filedisk, HeldCompletionsAndEioOnWorkers)
{
	kern::dev_t d = add(1 << 20);
	block_device *bdev = bdget(d);
	disk_hold_completions(d, true);
	io_result r;
	bio *b = make_bio(bdev, 0, 1, &r, 5);
	submit_bio(WRITE, b);
	for (int i = 0; i < 2000 && get_disk_stats(d).held == 0; i++)
		msleep(10);
	EXPECT_EQ(get_disk_stats(d).held, 1u);
	EXPECT_EQ(r.calls, 0);
	disk_hold_completions(d, false);
	EXPECT_EQ(disk_release_completions(d), 1);
	EXPECT_EQ(r.error, 0);
	free_bio_pages(b);
	disk_set_eio(d, 100, 8, WRITE);
	EXPECT_EQ(sync_io(WRITE, bdev, 96, 1), -EIO);
	EXPECT_EQ(sync_io(READ, bdev, 96, 1), 0);
	bdput(bdev);
}

// A driver that hooked a disk calls the make-request function it saved, unchecked, and
// remove_disk may come while one of its bios is inside: the medium stays until the last
// reference, and the bios that come late end with -EIO. The RAM disk too.
TEST_F(Filedisk, BiosStillComingAtRemovalEndWithEioAndTheMediumStaysToTheLastReference)
{
	for (bool ram : {false, true}) {
		block_device *bdev = bdget(ram ? add_ramdisk("rd0", 0, 2048) : add(1 << 20));
		ASSERT_NE(bdev, nullptr);
		request_queue_t *q = bdev_get_queue(bdev);
		make_request_fn *saved = queue_make_request_fn(q);
		std::atomic<int> done{0};
		task_struct *t = create_task("hooker", false, 0, [&] {
			for (int i = 0; i < 100000; i++) {
				io_result r;
				bio *b = make_bio(bdev, static_cast<sector_t>(i % 256) * 8, 1, &r, i & 0x7f);
				b->bi_rw = WRITE;
				saved(q, b);
				if (!wait_for_completion_timeout(&r.done, 10 * HZ))
					return -ETIMEDOUT;	// not put back: it may still complete
				free_bio_pages(b);
				done++;
				if (r.error)
					return r.error;
			}
			return 0;
		});
		ASSERT_FALSE(IS_ERR(t));
		for (int i = 0; i < 1000 && done < 20; i++)
			msleep(10);
		EXPECT_EQ(remove_disk(bdev->bd_dev), 0);
		EXPECT_EQ(task_wait(t), -EIO) << (ram ? "ramdisk" : "filedisk");
		put_task_struct(t);
		bdput(bdev);	// the last reference: the medium goes now
	}
}

TEST_F(Filedisk, ASleepingCompletionCallbackIsABug)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	kern::dev_t d = add(1 << 20);
	block_device *bdev = bdget(d);
	EXPECT_DEATH(
		{
			submit_with_sleeping_completion(bdev);
			for (;;)
				msleep(100);
		},
		"BUG: sleeping function called from invalid context");
	bdput(bdev);
}
