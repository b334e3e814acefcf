// ramdisk: sparse storage, completion context, EIO ranges, held completions, counters.
#include "tests/kernel/blk_test_util.h"

#include "kernel/machine.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using namespace blktest;

class Ramdisk : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		dev = add_ramdisk("ram0", 0, 1 << 20);	// 512 MiB, nearly all of it never touched
		ASSERT_NE(dev, 0u);
		bdev = bdget(dev);
	}
	void TearDown() override
	{
		bdput(bdev);
		MachineTest::TearDown();
	}
	kern::dev_t dev = 0;
	block_device *bdev = nullptr;
};

TEST_F(Ramdisk, StorageIsSparseAndReadsZerosWhereNeverWritten)
{
	long k0 = mm_get_usage().kmalloc_objects;
	std::vector<unsigned char> out;
	ASSERT_EQ(sync_io(READ, bdev, 1000000, 2, 0, &out), 0);
	EXPECT_EQ(out, std::vector<unsigned char>(8192, 0));
	EXPECT_EQ(mm_get_usage().kmalloc_objects, k0) << "reading allocates nothing";
	ASSERT_EQ(sync_io(WRITE, bdev, 1000000, 2, 0x40), 0);
	long k1 = mm_get_usage().kmalloc_objects;
	EXPECT_GT(k1, k0);
	ASSERT_EQ(sync_io(WRITE, bdev, 1000016, 1, 0x50), 0);
	EXPECT_EQ(mm_get_usage().kmalloc_objects, k1) << "same 64 KiB extent";
	ASSERT_EQ(sync_io(READ, bdev, 1000000, 3, 0, &out), 0);
	EXPECT_EQ(out[0], 0x40);
	EXPECT_EQ(out[4096], 0x41);
	EXPECT_EQ(out[8192], 0x50);
	// An IO that straddles two extents (extent = 128 sectors).
	auto data = pattern(8192, 1);
	ASSERT_EQ(disk_poke(dev, 124, data.data(), data.size()), 0);
	ASSERT_EQ(sync_io(READ, bdev, 124, 2, 0, &out), 0);
	EXPECT_EQ(out, data);
	auto s = get_disk_stats(dev);
	EXPECT_EQ(s.reads, 3u);
	EXPECT_EQ(s.writes, 2u);
	EXPECT_EQ(s.sectors_written, 24u);
}

TEST_F(Ramdisk, CompletesInInterruptContextAndHonoursEioRanges)
{
	io_result r;
	bio *b = make_bio(bdev, 64, 1, &r, 1);
	submit_bio(WRITE, b);
	EXPECT_EQ(r.error, 0) << "served at once in the submitter's context";
	EXPECT_TRUE(r.in_irq);
	EXPECT_FALSE(in_interrupt()) << "and back to process context afterwards";
	free_bio_pages(b);

	disk_set_eio(dev, 70, 2, READ);
	EXPECT_EQ(sync_io(READ, bdev, 64, 1), -EIO);
	EXPECT_EQ(sync_io(READ, bdev, 72, 1), 0);
	EXPECT_EQ(sync_io(WRITE, bdev, 64, 1), 0);
	disk_set_eio(dev, 0, 1);
	EXPECT_EQ(sync_io(WRITE, bdev, 0, 1), -EIO);
	EXPECT_EQ(get_disk_stats(dev).errors, 2u);
	disk_clear_eio(dev);
	EXPECT_EQ(sync_io(READ, bdev, 64, 1), 0);
}

TEST_F(Ramdisk, HeldCompletionsWaitForRelease)
{
	disk_hold_completions(dev, true);
	io_result r1, r2;
	bio *a = make_bio(bdev, 0, 1, &r1, 7);
	bio *b = make_bio(bdev, 8, 1, &r2, 8);
	disk_set_eio(dev, 8, 1);
	submit_bio(WRITE, a);
	submit_bio(WRITE, b);
	EXPECT_EQ(r1.calls + r2.calls, 0);
	EXPECT_EQ(get_disk_stats(dev).held, 2u);
	unsigned char c;
	ASSERT_EQ(disk_peek(dev, 0, &c, 1), 0);
	EXPECT_EQ(c, 7) << "the data is written; only the completion waits";
	disk_hold_completions(dev, false);
	EXPECT_EQ(disk_release_completions(dev), 2);
	EXPECT_EQ(r1.error, 0);
	EXPECT_EQ(r2.error, -EIO) << "a held bio keeps its result";
	EXPECT_EQ(get_disk_stats(dev).held, 0u);
	EXPECT_EQ(disk_release_completions(dev), 0);
	free_bio_pages(a);
	free_bio_pages(b);
}

TEST_F(Ramdisk, ASleepingCompletionCallbackIsABug)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_DEATH(
		{
			submit_with_sleeping_completion(bdev);
		},
		"BUG: sleeping function called from invalid context");
}
