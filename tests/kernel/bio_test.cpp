// bios: queue limits in bio_add_page, completion accounting, references, splitting,
// generic_make_request's partition remapping and resubmission, and a make-request function
// swapped while bios go through it.
#include "tests/kernel/blk_test_util.h"

#include "kernel/core/faults.h"
#include "kernel/machine.h"
#include "kernel/core/printk.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using namespace blktest;

class Bio : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		dev = add_ramdisk("rd", 0, 2048);
		ASSERT_NE(dev, 0u);
		bdev = bdget(dev);
		ASSERT_NE(bdev, nullptr);
		q = bdev_get_queue(bdev);
	}
	void TearDown() override
	{
		bdput(bdev);
		MachineTest::TearDown();
	}
	bio *new_bio(int nvec)
	{
		bio *b = bio_alloc(GFP_KERNEL, nvec);
		b->bi_bdev = bdev;
		return b;
	}
	kern::dev_t dev = 0;
	block_device *bdev = nullptr;
	request_queue_t *q = nullptr;
};

TEST_F(Bio, AddPageStopsAtMaxSectorsAndMaxVecs)
{
	q->max_sectors = 16;
	bio *b = new_bio(8);
	struct page *p = alloc_pages(GFP_KERNEL, 2);
	EXPECT_EQ(bio_add_page(b, p, 4096, 0), 4096);
	EXPECT_EQ(bio_add_page(b, p + 1, 4096, 0), 4096);
	EXPECT_EQ(bio_add_page(b, p + 2, 512, 0), 0) << "17 sectors exceed max_sectors 16";
	EXPECT_EQ(b->bi_size, 8192u);
	EXPECT_EQ(b->bi_vcnt, 2);
	bio_put(b);

	q->max_sectors = 255;
	b = new_bio(1);
	EXPECT_EQ(bio_add_page(b, p, 512, 0), 512);
	EXPECT_EQ(bio_add_page(b, p, 512, 512), 0) << "no vector left";
	bio_put(b);
	__free_pages(p, 2);
}

TEST_F(Bio, AddPageCountsSegmentsAndMergesContiguousPieces)
{
	q->max_hw_segments = 2;
	struct page *p = alloc_pages(GFP_KERNEL, 2);	// four physically contiguous pages
	bio *b = new_bio(8);
	// Pieces at the start of each page are not contiguous with each other.
	EXPECT_EQ(bio_add_page(b, p, 512, 0), 512);
	EXPECT_EQ(bio_add_page(b, p + 1, 512, 0), 512);
	EXPECT_EQ(b->bi_hw_segments, 2);
	EXPECT_EQ(bio_add_page(b, p + 2, 512, 0), 0) << "a third segment exceeds max_hw_segments";
	// A piece continuing the last one merges into its segment.
	EXPECT_EQ(bio_add_page(b, p + 1, 512, 512), 512);
	EXPECT_EQ(b->bi_hw_segments, 2);
	EXPECT_EQ(b->bi_phys_segments, 2);
	bio_put(b);

	// Whole contiguous pages merge up to max_segment_size, then need a new segment.
	q->max_hw_segments = 128;
	q->max_phys_segments = 1;
	q->max_segment_size = 8192;
	b = new_bio(8);
	EXPECT_EQ(bio_add_page(b, p, 4096, 0), 4096);
	EXPECT_EQ(bio_add_page(b, p + 1, 4096, 0), 4096);
	EXPECT_EQ(b->bi_phys_segments, 1);
	EXPECT_EQ(bio_add_page(b, p + 2, 4096, 0), 0) << "the merged segment would exceed 8 KiB";
	bio_put(b);
	__free_pages(p, 2);
}

TEST_F(Bio, AddPageRespectsTheSegmentBoundary)
{
	q->seg_boundary_mask = 0xfff;
	struct page *p = alloc_pages(GFP_KERNEL, 1);
	bio *b = new_bio(4);
	EXPECT_EQ(bio_add_page(b, p, 4096, 2048), 0) << "one piece straddling a 4 KiB boundary";
	EXPECT_EQ(bio_add_page(b, p, 2048, 2048), 2048);
	q->max_phys_segments = 1;
	EXPECT_EQ(bio_add_page(b, p + 1, 2048, 0), 0)
		<< "contiguous, but merging would cross the boundary and a second segment is not allowed";
	q->max_phys_segments = 2;
	EXPECT_EQ(bio_add_page(b, p + 1, 2048, 0), 2048);
	EXPECT_EQ(b->bi_phys_segments, 2);
	bio_put(b);

	q->seg_boundary_mask = 0xffffffff;
	b = new_bio(1);
	EXPECT_EQ(bio_add_page(b, p, 4096, 2048), 4096);
	bio_put(b);
	__free_pages(p, 1);
}

TEST_F(Bio, EndioAccountsBytesAndErrors)
{
	io_result r;
	bio *b = make_bio(bdev, 10, 2, &r);
	ASSERT_EQ(b->bi_size, 8192u);
	EXPECT_TRUE(bio_flagged(b, BIO_UPTODATE));
	bio_endio(b, 4096, 0);
	EXPECT_EQ(r.calls, 1);
	EXPECT_EQ(r.error, 1) << "not finished while bytes remain";
	EXPECT_EQ(b->bi_size, 4096u);
	EXPECT_EQ(b->bi_sector, 18u);
	bio_endio(b, 4096, -EIO);
	EXPECT_EQ(r.error, -EIO);
	EXPECT_EQ(r.bytes, 8192u);
	EXPECT_FALSE(bio_flagged(b, BIO_UPTODATE));
	free_bio_pages(b);
}

TEST_F(Bio, ReferencesFreeOnTheLastPutAndAllocCanFail)
{
	long before = bio_objects();
	bio *b = bio_alloc(GFP_KERNEL, 4);
	ASSERT_NE(b, nullptr);
	EXPECT_EQ(b->bi_max_vecs, 4u);
	bio_get(b);
	bio_put(b);
	EXPECT_EQ(bio_objects(), before + 1);
	bio_put(b);
	EXPECT_EQ(bio_objects(), before);

	fault_inject("bio_alloc", {0, 1});
	EXPECT_EQ(bio_alloc(GFP_KERNEL, 1), nullptr);
	b = bio_alloc(GFP_NOIO, 1);
	EXPECT_NE(b, nullptr);
	bio_put(b);
	EXPECT_EQ(bio_alloc(GFP_KERNEL, BIO_MAX_PAGES + 1), nullptr);
}

TEST_F(Bio, SplitCompletesTheOriginalAfterBothHalvesAndTheRelease)
{
	mempool_t *pool = mempool_create(2, bio_pair_pool_alloc, bio_pair_pool_free, nullptr);
	for (int order = 0; order < 2; order++) {
		io_result r;
		bio *b = make_bio(bdev, 100, 1, &r);
		bio_pair *bp = bio_split(b, pool, 3);
		ASSERT_NE(bp, nullptr);
		EXPECT_EQ(bp->bio1.bi_sector, 100u);
		EXPECT_EQ(bp->bio1.bi_size, 1536u);
		EXPECT_EQ(bp->bio2.bi_sector, 103u);
		EXPECT_EQ(bp->bio2.bi_size, 2560u);
		EXPECT_EQ(bp->bio2.bi_io_vec->bv_offset, 1536u);
		EXPECT_EQ(bp->bio2.bi_io_vec->bv_page, b->bi_io_vec[0].bv_page);
		if (order == 0) {
			bio_endio(&bp->bio2, bp->bio2.bi_size, -EIO);
			bio_endio(&bp->bio1, bp->bio1.bi_size, 0);
			EXPECT_EQ(r.calls, 0) << "the caller still holds the pair";
			bio_pair_release(bp);
		} else {
			bio_pair_release(bp);
			bio_endio(&bp->bio1, 512, 0);	// partial: not yet done
			bio_endio(&bp->bio2, bp->bio2.bi_size, 0);
			EXPECT_EQ(r.calls, 0);
			bio_endio(&bp->bio1, 1024, 0);
		}
		EXPECT_EQ(r.calls, 1);
		EXPECT_EQ(r.bytes, 4096u);
		EXPECT_EQ(r.error, order == 0 ? -EIO : 0);
		free_bio_pages(b);
	}
	mempool_destroy(pool);
}

TEST_F(Bio, SplitKeepsTheFirstErrorAndCompletesTheOriginalOnce)
{
	mempool_t *pool = mempool_create(2, bio_pair_pool_alloc, bio_pair_pool_free, nullptr);
	// Whichever half ends first with an error, that error is the original's.
	for (int first_half = 1; first_half <= 2; first_half++) {
		io_result r;
		bio *b = make_bio(bdev, 100, 1, &r);
		bio_pair *bp = bio_split(b, pool, 4);
		bio *a = first_half == 1 ? &bp->bio1 : &bp->bio2;
		bio *z = first_half == 1 ? &bp->bio2 : &bp->bio1;
		bio_endio(a, a->bi_size, -EIO);
		bio_endio(z, z->bi_size, -ENOSPC);
		bio_pair_release(bp);
		EXPECT_EQ(r.calls, 1);
		EXPECT_EQ(r.error, -EIO) << "half " << first_half << " failed first";
		free_bio_pages(b);
	}
	// A half that failed partway and then finished quietly still fails the original.
	{
		io_result r;
		bio *b = make_bio(bdev, 100, 1, &r);
		bio_pair *bp = bio_split(b, pool, 4);
		bio_endio(&bp->bio1, 1024, -EIO);
		bio_endio(&bp->bio1, 1024, 0);
		bio_endio(&bp->bio2, bp->bio2.bi_size, 0);
		bio_pair_release(bp);
		EXPECT_EQ(r.calls, 1);
		EXPECT_EQ(r.error, -EIO);
		free_bio_pages(b);
	}
	// A half ending twice is reported and ignored: the original waits for the other.
	{
		io_result r;
		bio *b = make_bio(bdev, 100, 1, &r);
		bio_pair *bp = bio_split(b, pool, 4);
		bio_endio(&bp->bio1, bp->bio1.bi_size, 0);
		bio_endio(&bp->bio1, 0, -EIO);
		EXPECT_TRUE(zeptest::dmesg_has("half 1 of the split of sector 100 ended twice"));
		bio_pair_release(bp);
		EXPECT_EQ(r.calls, 0) << "the second half is still out";
		bio_endio(&bp->bio2, bp->bio2.bi_size, 0);
		EXPECT_EQ(r.calls, 1);
		EXPECT_EQ(r.error, 0) << "the stray completion's error is not the original's";
		free_bio_pages(b);
	}
	mempool_destroy(pool);
}

// A queue that takes one page in one segment, as a snapshot device's does.
namespace {
void one_page_limits(request_queue_t *q)
{
	blk_queue_max_sectors(q, 8);
	blk_queue_max_phys_segments(q, 1);
	blk_queue_max_hw_segments(q, 1);
	blk_queue_max_segment_size(q, 4096);
	blk_queue_segment_boundary(q, 0xfff);
}

struct piece {
	struct page *page;
	unsigned len, offset;
};

// Builds the bio for no device (so bio_add_page applies only the defaults), as a driver
// building for one queue and sending to another does, then writes it to bdev.
int write_pieces(block_device *bdev, sector_t sector, std::initializer_list<piece> pieces)
{
	io_result r;
	bio *b = bio_alloc(GFP_KERNEL, static_cast<int>(pieces.size()));
	for (const piece &p : pieces)
		EXPECT_EQ(bio_add_page(b, p.page, p.len, p.offset), static_cast<int>(p.len));
	b->bi_bdev = bdev;
	b->bi_sector = sector;
	b->bi_private = &r;
	b->bi_end_io = record_end_io;
	submit_bio(WRITE, b);
	wait_for_completion(&r.done);
	bio_put(b);
	return r.error;
}
} // namespace

TEST_F(Bio, GenericMakeRequestFailsBiosBreakingTheSegmentLimits)
{
	one_page_limits(q);
	struct page *two = alloc_pages(GFP_KERNEL, 1);	// two contiguous pages
	struct page *other = alloc_page(GFP_KERNEL);
	EXPECT_EQ(write_pieces(bdev, 0, {{two, 2048, 0}, {other, 2048, 0}}), -EIO);
	EXPECT_TRUE(zeptest::dmesg_has("2 segments > max_phys_segments 1"));
	EXPECT_EQ(write_pieces(bdev, 0, {{two, 4096, 512}}), -EIO);
	EXPECT_TRUE(zeptest::dmesg_has("crosses seg_boundary_mask 0xfff"));
	EXPECT_EQ(get_disk_stats(dev).writes, 0u) << "the queue never saw them";
	// Contiguous pieces inside one page make one segment; a whole page is one.
	EXPECT_EQ(write_pieces(bdev, 0, {{two, 2048, 0}, {two, 2048, 2048}}), 0);
	EXPECT_EQ(write_pieces(bdev, 8, {{other, 4096, 0}}), 0);
	EXPECT_EQ(get_disk_stats(dev).writes, 2u);

	// Through a partition the disk's queue limits apply.
	kern::dev_t p1 = add_partition(dev, 1, 64, 64);
	block_device *part = bdget(p1);
	EXPECT_EQ(write_pieces(part, 0, {{two, 1024, 3584}}), -EIO);
	EXPECT_EQ(get_disk_stats(dev).writes, 2u);
	bdput(part);

	// A segment larger than max_segment_size, though within max_sectors and the boundary.
	q->max_sectors = 16;
	q->seg_boundary_mask = 0xffffffff;
	EXPECT_EQ(write_pieces(bdev, 0, {{two, 8192, 0}}), -EIO);
	EXPECT_TRUE(zeptest::dmesg_has("8192 bytes > max_segment_size 4096"));
	q->max_segment_size = 8192;
	EXPECT_EQ(write_pieces(bdev, 0, {{two, 8192, 0}}), 0);
	__free_pages(two, 1);
	__free_page(other);
}

// Redirects the first bio it sees to another device's partition and asks for resubmission.
namespace {
block_device *redirect_to;
sector_t seen_sector;
int redirect_calls;
int redirect_make_request(request_queue_t *, bio *b)
{
	redirect_calls++;
	seen_sector = b->bi_sector;
	b->bi_bdev = redirect_to;
	b->bi_sector = 5;
	return 1;
}
} // namespace

TEST_F(Bio, GenericMakeRequestRemapsPartitionsAndResubmits)
{
	kern::dev_t p1 = add_partition(dev, 1, 100, 1000);
	kern::dev_t other = add_ramdisk("rdb", 0, 4096);
	kern::dev_t o2 = add_partition(other, 2, 1000, 64);
	ASSERT_NE(p1, 0u);
	ASSERT_NE(o2, 0u);
	block_device *src = bdget(p1);
	redirect_to = bdget(o2);
	redirect_calls = 0;
	make_request_fn *orig = xchg_make_request_fn(q, redirect_make_request);
	EXPECT_EQ(sync_io(WRITE, src, 7, 1, 0x5a), 0);
	EXPECT_EQ(xchg_make_request_fn(q, orig), redirect_make_request);
	EXPECT_EQ(redirect_calls, 1);
	EXPECT_EQ(seen_sector, 107u) << "partition start added before the disk's make_request_fn";
	unsigned char buf[4096];
	ASSERT_EQ(disk_peek(other, 1005, buf, sizeof(buf)), 0);
	EXPECT_EQ(buf[0], 0x5a);
	EXPECT_EQ(buf[4095], 0x5a);
	EXPECT_EQ(static_cast<unsigned long>(src->bd_part->writes), 1ul);
	EXPECT_EQ(static_cast<unsigned long>(src->bd_part->write_sectors), 8ul);
	EXPECT_EQ(static_cast<unsigned long>(redirect_to->bd_part->writes), 1ul);
	EXPECT_EQ(static_cast<unsigned long>(redirect_to->bd_disk->dkstats.writes), 1ul);
	EXPECT_EQ(get_disk_stats(dev).writes, 0u) << "nothing reached the first disk's medium";
	bdput(src);
	bdput(redirect_to);
}

TEST_F(Bio, BiosPastTheEndOrToAGoneDeviceFailWithEio)
{
	kern::dev_t p1 = add_partition(dev, 1, 0, 16);
	block_device *part = bdget(p1);
	io_result r;
	bio *b = make_bio(part, 12, 1, &r, 0);	// sectors 12..19 of a 16-sector partition
	submit_bio(WRITE, b);
	EXPECT_EQ(r.error, -EIO);
	EXPECT_TRUE(bio_flagged(b, BIO_EOF));
	EXPECT_TRUE(zeptest::dmesg_has("attempt to access beyond end of device"));
	free_bio_pages(b);
	EXPECT_EQ(sync_io(WRITE, part, 8, 1, 1), 0) << "the last page of the partition is fine";

	kern::dev_t d2 = add_ramdisk("gone", 0, 64);
	block_device *g = bdget(d2);
	ASSERT_EQ(remove_disk(d2), 0);
	EXPECT_EQ(sync_io(READ, g, 0, 1), -EIO);
	EXPECT_TRUE(zeptest::dmesg_has("nonexistent block-device"));
	bdput(g);
	bdput(part);
}

// A hook that counts and passes bios on to the disk's own function.
namespace {
make_request_fn *disk_make_request;
std::atomic<long> hooked{0};
int counting_make_request(request_queue_t *q, bio *b)
{
	hooked++;
	return disk_make_request(q, b);
}
} // namespace

TEST_F(Bio, MakeRequestFunctionSwappedWhileBiosAreSubmitted)
{
	// As a driver installs and removes its hook while the disk is in use.
	disk_make_request = queue_make_request_fn(q);
	hooked = 0;
	std::atomic<bool> stop{false}, mixed_up{false};
	std::atomic<long> swaps{0};
	task_struct *swapper = coretest::start(
		"swapper",
		[&] {
			while (!stop) {
				make_request_fn *old = xchg_make_request_fn(q, counting_make_request);
				cond_resched();	// the hook stays a while, then the disk's own
				make_request_fn *back = xchg_make_request_fn(q, old);
				if (old != disk_make_request || back != counting_make_request)
					mixed_up = true;
				swaps++;
				cond_resched();
			}
			return 0;
		},
		true);
	ASSERT_TRUE(coretest::eventually([&] { return swaps > 0; }));
	// Each submitter writes and reads its own pages, and goes on past its share until
	// some bio went through the hook.
	constexpr int submitters = 3, ios = 150, pages = 64;
	std::atomic<int> failed{0};
	std::atomic<u64> submitted{0};
	std::vector<task_struct *> subs;
	for (int i = 0; i < submitters; i++)
		subs.push_back(coretest::start("submitter", [&, i] {
			for (int n = 0; n < ios || (!hooked && n < 100 * ios); n++) {
				sector_t sector = static_cast<sector_t>(i * pages + n % pages) * 8;
				if (sync_io(n % 2 ? READ : WRITE, bdev, sector, 1, n & 0xff))
					failed++;
				submitted++;
			}
			return 0;
		}));
	for (task_struct *t : subs)
		coretest::finish(t);
	stop = true;
	coretest::finish(swapper);
	EXPECT_FALSE(mixed_up) << "an exchange returned a function that was not in place";
	EXPECT_GT(hooked, 0);
	EXPECT_EQ(failed, 0);
	EXPECT_EQ(queue_make_request_fn(q), disk_make_request);
	disk_stats st = get_disk_stats(dev);
	EXPECT_EQ(st.reads + st.writes, submitted.load()) << "every bio reached the disk once";
}
