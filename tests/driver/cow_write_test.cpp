// The write path on hooked live devices: which chunks a request touches, the copy-out of
// their old contents before the write passes, what waits for what, and the failures.
#include <atomic>
#include <cstring>
#include <vector>

#include "kernel/core/faults.h"
#include "kernel/core/printk.h"
#include "tests/driver/cow_util.h"
#include "tests/kernel/blk_test_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr sector_t P1_START = 2048;	// a multiple of a chunk: chunks of p1 and the disk align
constexpr sector_t P1_SECTORS = 8192;	// 64 chunks
constexpr size_t CHUNK = 65536;

class CowWriteTest : public CowTest {
protected:
	void SetUp() override
	{
		CowTest::SetUp();
		disk_ = add_ramdisk("cowa", 8, 16384);
		p1_ = add_partition(disk_, 1, P1_START, P1_SECTORS);
		old_ = chunk_pattern(P1_SECTORS * 512, 1);
		ASSERT_EQ(disk_poke(disk_, P1_START, old_.data(), old_.size()), 0);
	}

	std::vector<unsigned char> old_chunk(u64 chunk) const
	{
		return {old_.begin() + static_cast<long>(chunk * CHUNK),
			old_.begin() + static_cast<long>((chunk + 1) * CHUNK)};
	}

	std::vector<unsigned char> live(u64 byte, size_t n)
	{
		std::vector<unsigned char> v(n);
		EXPECT_EQ(disk_peek(disk_, P1_START + byte / 512, v.data(), n), 0);
		return v;
	}

	// The bytes an in-flight record's file copies hold, in order.
	static std::vector<unsigned char> held_pages(if_chunk *ic)
	{
		std::vector<unsigned char> out;
		file_copy *fc;
		list_for_each_entry(fc, &ic->fc_list_head, fc_list)
		{
			for (unsigned i = 0; i < fc->bio->bi_vcnt; i++) {
				auto *p = static_cast<unsigned char *>(page_address(fc->bio->bi_io_vec[i].bv_page));
				out.insert(out.end(), p, p + fc->bio->bi_io_vec[i].bv_len);
			}
		}
		return out;
	}

	kern::dev_t disk_ = 0, p1_ = 0;
	std::vector<unsigned char> old_;
};

// A request as the kernel hands it to the hook: on the whole disk, remapped.
struct fake_bio {
	struct bio b;
	fake_bio(kern::dev_t disk, sector_t sector, unsigned bytes, unsigned long rw)
	{
		std::memset(static_cast<void *>(&b), 0, sizeof(b));
		b.bi_bdev = bdget(disk);
		b.bi_sector = sector;
		b.bi_size = bytes;
		b.bi_rw = rw;
	}
	~fake_bio() { bdput(b.bi_bdev); }
};

struct entries {
	list_head head;
	int n = 0;
	entries() { INIT_LIST_HEAD(&head); }
	std::vector<chunk_list *> all()
	{
		std::vector<chunk_list *> v;
		chunk_list *cl;
		list_for_each_entry(cl, &head, list) v.push_back(cl);
		return v;
	}
	~entries()
	{
		chunk_list *cl, *n2;
		list_for_each_entry_safe(cl, n2, &head, list)
		{
			list_del(&cl->list);
			put_chunk_list(cl);
		}
	}
};

int affected(cow_session *cs, struct bio *b, entries &e)
{
	down(&session_work_lock);
	int n = get_affected_chunks(cs, b, &e.head);
	up(&session_work_lock);
	return n;
}

} // namespace

TEST_F(CowWriteTest, AffectedChunksFollowTheRequestAndTheTables)
{
	cow_session *cs = build_session(p1_, 1);
	sessions_.push_back(cs);
	hook_session(cs);
	{
		// Ending exactly on a chunk boundary lists the next chunk too; ending inside one
		// lists only what is touched. Sectors count from the partition's start.
		fake_bio whole(disk_, P1_START, CHUNK, WRITE), inside(disk_, P1_START, CHUNK - 512, WRITE);
		entries a, b;
		EXPECT_EQ(affected(cs, &whole.b, a), 2);
		EXPECT_EQ(affected(cs, &inside.b, b), 1);
		auto av = a.all();
		EXPECT_EQ(av[0]->chunk, 0u);
		EXPECT_EQ(av[1]->chunk, 1u);
		EXPECT_EQ(av[0]->new_ic, 1);
		EXPECT_EQ(av[0]->ic->created, 1);
		// The second request joins the record the first created.
		EXPECT_EQ(b.all()[0]->new_ic, 0);
		EXPECT_EQ(b.all()[0]->ic, av[0]->ic);
		EXPECT_EQ(atomic_read(&av[0]->ic->count), 2);
	}
	{
		// Reads list only chunks in flight: chunk 0 and 1 are (the records above stay
		// in the table with their creators' references), chunk 5 is not.
		fake_bio rd(disk_, P1_START + 5 * 128, 4096, READ), rd0(disk_, P1_START + 64, 4096, READ);
		entries a, b;
		EXPECT_EQ(affected(cs, &rd.b, a), 0);
		EXPECT_EQ(affected(cs, &rd0.b, b), 1);
		EXPECT_EQ(b.all()[0]->new_ic, 0);
	}
	{
		// A preserved chunk that is not in flight is not listed for a write; a reader
		// node of an unpreserved chunk counts each writer.
		cow_chunk *cc = alloc_cow_chunk();
		cc->old_chunk = 7;
		add_cow_chunk(&cs->chunk_table, cc);
		rb_wl *wl = alloc_rb_wl();
		std::memset(static_cast<void *>(wl), 0, sizeof(*wl));
		wl->n = 8;
		init_waitqueue_head(&wl->wait);
		rb_instert_wl(&cs->write_locks, wl);
		fake_bio w7(disk_, P1_START + 7 * 128, 4096, WRITE), w8(disk_, P1_START + 8 * 128, 4096, WRITE);
		entries a, b, c;
		EXPECT_EQ(affected(cs, &w7.b, a), 0);
		EXPECT_EQ(affected(cs, &w8.b, b), 1);
		EXPECT_EQ(affected(cs, &w8.b, c), 1);
		EXPECT_EQ(b.all()[0]->rbwl, wl);
		EXPECT_EQ(wl->writes, 2u);
		rb_erase(&wl->node, &cs->write_locks);
		put_rbwl(wl);
	}
	{
		// The device's last chunk has no successor to preserve; empty requests and
		// sessions in error list nothing.
		fake_bio last(disk_, P1_START + P1_SECTORS - 128, CHUNK, WRITE), empty(disk_, P1_START, 0, WRITE);
		entries a, b, c;
		EXPECT_EQ(affected(cs, &last.b, a), 1);
		EXPECT_EQ(a.all()[0]->chunk, P1_SECTORS / 128 - 1);
		EXPECT_EQ(affected(cs, &empty.b, b), 0);
		invalidate_session(cs, "TEST");
		fake_bio w(disk_, P1_START + 30 * 128, 4096, WRITE);
		EXPECT_EQ(affected(cs, &w.b, c), 0);
	}
}

TEST_F(CowWriteTest, AllocationFailureInvalidatesAndGivesBackWhatItTook)
{
	cow_session *cs = start(p1_, 1);
	fake_bio w1(disk_, P1_START + 128, 4096, WRITE), w(disk_, P1_START, 3 * CHUNK - 512, WRITE);
	entries first, e;
	ASSERT_EQ(affected(cs, &w1.b, first), 1);
	if_chunk *in_flight = first.all()[0]->ic;
	// Chunk 0 gets its entry; chunk 1 is in flight and its entry cannot be allocated:
	// the reference taken on its record is given back, and nothing else is examined.
	fault_inject("kmem_cache_alloc:cdp_chunk_list_cache", {1, -1});
	EXPECT_EQ(affected(cs, &w.b, e), 0);
	fault_clear_all();
	ASSERT_EQ(e.all().size(), 1u);
	EXPECT_EQ(e.all()[0]->chunk, 0u);
	EXPECT_EQ(atomic_read(&in_flight->count), 1);
	EXPECT_EQ(get_if_chunk(&cs->if_table, 2), nullptr);
	printk("\n");	// the message has no line feed of its own
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: could not create affected chunks list for sector 2048 + 196096."));
	EXPECT_STREQ(cs->errorMsg, "OUT OF MEMORY");
}

TEST_F(CowWriteTest, WriteReturnsOnceOldDataIsHeldThenTheThreadFilesIt)
{
	cow_session *cs = start(p1_, 1);
	auto fresh = chunk_pattern(4096, 9);
	ASSERT_EQ(write_node("cowa1", 3 * CHUNK + 8192, fresh), 0);

	// Back from the write: the chunk counts as preserved, its old contents sit in the
	// record's pages, queued for a thread, and the device has the new data.
	cow_chunk *cc = preserved(cs, 3);
	ASSERT_NE(cc, nullptr);
	if_chunk *ic = get_if_chunk(&cs->if_table, 3);
	ASSERT_NE(ic, nullptr);
	EXPECT_EQ(ic->cc, cc);
	EXPECT_EQ(atomic_read(&ic->count), 1);	// the thread's reference only
	EXPECT_EQ(ic->real_free, 1);
	EXPECT_EQ(held_pages(ic), old_chunk(3));
	EXPECT_EQ(atomic_read(&total_cow_pages), 16);
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads[0]->pending_io), 1);
	EXPECT_EQ(live(3 * CHUNK + 8192, 4096), fresh);
	EXPECT_EQ(cs->pos, 1u);

	// A thread attaching later writes it to its slot of its own file.
	attach(cs, "t0");
	ASSERT_TRUE(drained(cs));
	EXPECT_EQ(cc->thread, 0);
	EXPECT_EQ(host_file_bytes(backing("t0"), cc->new_chunk * CHUNK, CHUNK), old_chunk(3));
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
	EXPECT_EQ(get_if_chunk(&cs->if_table, 3), nullptr);

	// A second write to the preserved chunk copies nothing.
	ASSERT_EQ(write_node("cowa1", 3 * CHUNK, fresh), 0);
	EXPECT_EQ(cs->pos, 1u);
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
}

TEST_F(CowWriteTest, TwoSessionsOnOneDeviceReadEachPageOnce)
{
	// The same partition twice and the disk it is on: three sessions cover the write.
	cow_session *a = start(p1_, 1), *b = start(p1_, 2), *whole = start(disk_, 3);
	attach(a, "a");
	attach(b, "b");
	attach(whole, "w");
	disk_stats before = get_disk_stats(disk_);
	auto fresh = chunk_pattern(2 * CHUNK, 5);
	// Chunks 4 and 5, and 6 after the boundary: each is read once for all three.
	ASSERT_EQ(write_node("cowa1", 4 * CHUNK, fresh), 0);
	disk_stats after = get_disk_stats(disk_);
	EXPECT_EQ(after.reads - before.reads, 3u);
	EXPECT_EQ(after.sectors_read - before.sectors_read, 3u * 128);
	for (cow_session *cs : {a, b, whole})
		ASSERT_TRUE(drained(cs));
	for (u64 c : {4, 5, 6}) {
		// The disk session numbers chunks from the disk's start.
		for (auto [cs, file, chunk] : {std::tuple{a, "a", c}, std::tuple{b, "b", c},
					       std::tuple{whole, "w", c + P1_START / 128}}) {
			cow_chunk *cc = preserved(cs, chunk);
			ASSERT_NE(cc, nullptr) << file << " chunk " << chunk;
			EXPECT_EQ(host_file_bytes(backing(file), cc->new_chunk * CHUNK, CHUNK), old_chunk(c))
				<< file << " chunk " << chunk;
		}
	}
	EXPECT_EQ(live(4 * CHUNK, 2 * CHUNK), fresh);
}

TEST_F(CowWriteTest, IoThreadRequestsPassUntouchedButAreTracked)
{
	hold_open();
	cow_session *cs = start(p1_, 1, USER_SPACE_FILE | ZEP_MODE_CHANGE_TRACKING);
	auto fresh = chunk_pattern(4096, 3);
	int rc = in_process("cdpio", [&] {
		EXPECT_EQ(add_cow_thread(), 0);
		EXPECT_EQ(add_cow_thread(), 0);	// once is enough
		EXPECT_EQ(is_cow_thread(), 1);
		int fd = sys_open("/dev/cowa1", O_RDWR, 0);
		long buf = sys_mmap(4096);
		user_write(static_cast<unsigned long>(buf), fresh.data(), 4096);
		ssize_t n = sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), 4096, 0);
		sys_close(static_cast<unsigned>(fd));
		remove_cow_thread();
		EXPECT_EQ(is_cow_thread(), 0);
		return n == 4096 ? 0 : 1;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(list_empty(&cow_pids_list));
	EXPECT_EQ(preserved(cs, 0), nullptr);
	EXPECT_EQ(cs->pos, 0u);
	EXPECT_EQ(live(0, 4096), fresh);
	EXPECT_EQ(atomic_read(&record_list_lenght), 1);
	// Any other process's write is held for the copy and tracked as well.
	ASSERT_EQ(write_node("cowa1", CHUNK, fresh), 0);
	EXPECT_NE(preserved(cs, 1), nullptr);
	EXPECT_EQ(atomic_read(&record_list_lenght), 2);
}

TEST_F(CowWriteTest, ReadOfAChunkBeingCopiedWaitsForTheCopyOnly)
{
	start(p1_, 1);
	disk_hold_completions(disk_, true);
	auto fresh = chunk_pattern(4096, 4);
	std::atomic<int> wrote{-1}, read_copied{-1}, read_other{-1};
	// Reads and writes of chunk 7 after the copy may land in either order: only the
	// reads' passage is checked.
	kern::pid_t w = spawn("writer", [&] {
		wrote = write_node("cowa1", 7 * CHUNK, fresh);
		return 0;
	});
	auto held = [&](u64 n) {
		for (int i = 0; i < 5000 && get_disk_stats(disk_).held < n; i++)
			msleep(1);
		return get_disk_stats(disk_).held;
	};
	ASSERT_EQ(held(1), 1u);	// the copy-out's read of chunk 7
	kern::pid_t r1 = spawn("reader", [&] {
		read_copied = read_node("cowa1", 7 * CHUNK, 4096).size() == 4096;
		return 0;
	});
	kern::pid_t r2 = spawn("reader", [&] {
		read_other = read_node("cowa1", 20 * CHUNK, 4096).size() == 4096;
		return 0;
	});
	// The read elsewhere reaches the disk at once; the read of chunk 7 does not.
	EXPECT_EQ(held(2), 2u);
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	EXPECT_EQ(get_disk_stats(disk_).held, 2u);
	EXPECT_EQ(wrote, -1);
	disk_hold_completions(disk_, false);
	disk_release_completions(disk_);
	waitpid(w);
	waitpid(r1);
	waitpid(r2);
	EXPECT_EQ(wrote, 0);
	EXPECT_EQ(read_other, 1);
	EXPECT_EQ(read_copied, 1);
	EXPECT_EQ(live(7 * CHUNK, 4096), fresh);
}

TEST_F(CowWriteTest, WriteWaitsForSnapshotReadsOfItsChunk)
{
	cow_session *cs = start(p1_, 1);
	// A snapshot read of chunk 9 in progress against the live device, as the snapshot
	// device registers it.
	rb_wl *wl = alloc_rb_wl();
	std::memset(static_cast<void *>(wl), 0, sizeof(*wl));
	wl->n = 9;
	wl->reads = 1;
	init_waitqueue_head(&wl->wait);
	unsigned long flags;
	spin_lock_irqsave(&cs->write_list_lock, flags);
	rb_instert_wl(&cs->write_locks, wl);
	spin_unlock_irqrestore(&cs->write_list_lock, flags);

	auto fresh = chunk_pattern(4096, 6);
	std::atomic<int> wrote{-1};
	kern::pid_t w = spawn("writer", [&] {
		wrote = write_node("cowa1", 9 * CHUNK, fresh);
		return 0;
	});
	// The chunk is preserved but the write itself waits for the read.
	for (int i = 0; i < 5000 && !preserved(cs, 9); i++)
		msleep(1);
	ASSERT_NE(preserved(cs, 9), nullptr);
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	EXPECT_EQ(wrote, -1);
	auto before = old_chunk(9);
	before.resize(4096);
	EXPECT_EQ(live(9 * CHUNK, 4096), before);

	// The read completes as a lent read does: the node moves to the writers' tree and
	// the last writer to leave frees it.
	spin_lock_irqsave(&cs->write_list_lock, flags);
	EXPECT_EQ(wl->writes, 1u);
	wl->reads--;
	finish_read(wl);
	rb_erase(&wl->node, &cs->write_locks);
	rb_instert_wl(&cs->write_locked, wl);
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	waitpid(w);
	EXPECT_EQ(wrote, 0);
	EXPECT_EQ(live(9 * CHUNK, 4096), fresh);
	EXPECT_EQ(cs->write_locked.rb_node, nullptr);
	EXPECT_EQ(cs->write_locks.rb_node, nullptr);
}

TEST_F(CowWriteTest, HookWithoutSavedFunctionEndsRequestsWithIoError)
{
	kern::dev_t other = add_ramdisk("cowb", 8, 2048);
	block_device *bdev = bdget(other);
	request_queue_t *q = bdev_get_queue(bdev);
	make_request_fn *own = xchg_make_request_fn(q, cow_request);
	int rc = in_process("writer", [&] {
		int fd = sys_open("/dev/cowb", O_RDWR, 0);
		long buf = sys_mmap(4096);
		ssize_t n = sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), 4096, 0);
		sys_close(static_cast<unsigned>(fd));
		return n == -EIO ? 0 : 1;
	});
	xchg_make_request_fn(q, own);
	bdput(bdev);
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: could not find MRF."));
}

TEST_F(CowWriteTest, FailedReadOfOldDataInvalidatesButTheWritePasses)
{
	cow_session *cs = start(p1_, 1);
	disk_set_eio(disk_, P1_START + 11 * 128 + 16, 8, READ);
	auto fresh = chunk_pattern(4096, 7);
	ASSERT_EQ(write_node("cowa1", 11 * CHUNK, fresh), 0);
	disk_clear_eio(disk_);
	EXPECT_STREQ(cs->errorMsg, "COPY CHUNK ERROR");
	EXPECT_TRUE(dmesg_has("zep: ERROR: could not copy chunk 11."));
	EXPECT_EQ(preserved(cs, 11), nullptr);
	EXPECT_EQ(get_if_chunk(&cs->if_table, 11), nullptr);
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
	EXPECT_EQ(atomic_read(&cs->fc_count), 0);
	EXPECT_EQ(live(11 * CHUNK, 4096), fresh);
	// An invalid session is no longer consulted.
	ASSERT_EQ(write_node("cowa1", 12 * CHUNK, fresh), 0);
	EXPECT_EQ(preserved(cs, 12), nullptr);
}

TEST_F(CowWriteTest, PageAllocationGivesUpAfterItsTries)
{
	cow_session *cs = start(p1_, 1);
	int rc = in_process("writer", [&] {
		block_device *bdev = bdget(p1_);
		blktest::io_result r;
		bio *b = blktest::make_bio(bdev, 13 * 128, 1, &r, 0x5a);
		// Every page allocation fails from now on: only the copy-out asks for pages.
		fault_inject("alloc_pages");
		u64 t0 = get_jiffies_64();
		submit_bio(WRITE, b);
		wait_for_completion(&r.done);
		u64 waited = get_jiffies_64() - t0;
		fault_clear("alloc_pages");
		blktest::free_bio_pages(b);
		bdput(bdev);
		// 1000 pauses of 100 ticks between 1001 attempts.
		EXPECT_GE(waited, 1000u * 100);
		return r.error;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(dmesg_has("zep: ERROR: failed to allocate page after 1000 tries.  currently have 0 "
			      "pages allocated."));
	EXPECT_TRUE(dmesg_has("zep: ERROR: could not copy chunk 13."));
	EXPECT_STREQ(cs->errorMsg, "OUT OF MEMORY");
	EXPECT_EQ(atomic_read(&cs->fc_count), 0);
	std::vector<unsigned char> v = live(13 * CHUNK, 4096);
	EXPECT_EQ(v[0], 0x5a);
}

TEST_F(CowWriteTest, ChunkRunningPastTheDiskEndIsReadUpToTheEnd)
{
	// A whole disk of 100.5 chunks: the last chunk is half a chunk long.
	kern::dev_t odd = add_ramdisk("cowc", 8, 100 * 128 + 64);
	auto old = chunk_pattern((100 * 128 + 64) * 512, 2);
	ASSERT_EQ(disk_poke(odd, 0, old.data(), old.size()), 0);
	cow_session *cs = start(odd, 1);
	attach(cs, "t", 0, static_cast<int>(CHUNK / 2));	// the half chunk fills the buffer
	auto fresh = chunk_pattern(4096, 8);
	ASSERT_EQ(write_node("cowc", 100 * CHUNK, fresh), 0);
	ASSERT_TRUE(drained(cs));
	EXPECT_FALSE(is_error(cs)) << cs->errorMsg;
	cow_chunk *cc = preserved(cs, 100);
	ASSERT_NE(cc, nullptr);
	EXPECT_EQ(host_file_bytes(backing("t"), cc->new_chunk * CHUNK, CHUNK),
		  std::vector<unsigned char>(old.begin() + 100 * CHUNK, old.end()));
}

TEST_F(CowWriteTest, ChunkEndingInsideAPageIsReadUpToTheEnd)
{
	// A whole disk of 100 chunks and 9 sectors: the last chunk ends 512 bytes into its
	// second page, and a whole page read there would run past the disk's end.
	constexpr sector_t SECTORS = 100 * 128 + 9;
	kern::dev_t odd = add_ramdisk("cowd", 8, SECTORS);
	auto old = chunk_pattern(SECTORS * 512, 3);
	ASSERT_EQ(disk_poke(odd, 0, old.data(), old.size()), 0);
	cow_session *cs = start(odd, 1);
	attach(cs, "t", 0, 9 * 512);	// the short chunk fills the buffer
	ASSERT_EQ(write_node("cowd", 100 * CHUNK, chunk_pattern(512, 9)), 0);
	ASSERT_TRUE(drained(cs));
	EXPECT_FALSE(is_error(cs)) << cs->errorMsg;
	EXPECT_FALSE(dmesg_has("could not copy chunk"));
	cow_chunk *cc = preserved(cs, 100);
	ASSERT_NE(cc, nullptr);
	EXPECT_EQ(host_file_bytes(backing("t"), cc->new_chunk * CHUNK, 9 * 512),
		  std::vector<unsigned char>(old.begin() + 100 * CHUNK, old.end()));
}

namespace {
int remaps;
// A request function that sends every bio on to the partition's disk, as a remapping
// driver does: the kernel resubmits it.
int remap_to_disk(request_queue_t *, struct bio *b)
{
	remaps++;
	b->bi_bdev = b->bi_bdev->bd_contains;
	return 1;
}
} // namespace

TEST_F(CowWriteTest, LentRequestsComeBackAsTheyWere)
{
	// A request lent to another device carries its own six fields back.
	struct bio b;
	std::memset(static_cast<void *>(&b), 0, sizeof(b));
	block_device *part = bdget(p1_), *disk = bdget(disk_);
	int tag = 0;
	b.bi_bdev = part;
	b.bi_end_io = blktest::record_end_io;
	b.bi_private = &tag;
	b.bi_size = 12288;
	b.bi_sector = 77;
	b.bi_idx = 2;
	saved_info *si = alloc_saved_info();
	save_info(&b, si);
	b.bi_bdev = disk;
	b.bi_end_io = nullptr;
	b.bi_private = nullptr;
	b.bi_size = 1;
	b.bi_sector = 5;
	b.bi_idx = 0;
	restore_info(si, &b);
	EXPECT_EQ(b.bi_bdev, part);
	EXPECT_EQ(b.bi_end_io, blktest::record_end_io);
	EXPECT_EQ(b.bi_private, &tag);
	EXPECT_EQ(b.bi_size, 12288u);
	EXPECT_EQ(b.bi_sector, 77u);
	EXPECT_EQ(b.bi_idx, 2);
	put_saved_info(si);

	// A finished reader node lets writers through without sleeping.
	rb_wl wl{};
	init_waitqueue_head(&wl.wait);
	finish_read(&wl);
	wait_for_read(&wl);
	EXPECT_EQ(atomic_read(&wl.done), 1);

	// A request function that asks for resubmission gets it.
	blktest::io_result r;
	bio *rb = blktest::make_bio(part, P1_START + 3, 1, &r);
	rb->bi_bdev = part;
	remaps = 0;
	doMRF(bdev_get_queue(part), remap_to_disk, rb);
	wait_for_completion(&r.done);
	EXPECT_EQ(remaps, 1);
	EXPECT_EQ(r.error, 0);
	blktest::free_bio_pages(rb);
	bdput(part);
	bdput(disk);
}
