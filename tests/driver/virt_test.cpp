// The snapshot device zep<N> from the agent's side: where its reads and writes are served
// (the live device, the pages of a chunk being copied out, the backing file), the split of
// a request at a chunk boundary, the order between snapshot reads and live writes, what
// an invalid session still serves, failures on the way, and change records.
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "backupdriver/clone.h"
#include "kernel/core/faults.h"
#include "kernel/core/printk.h"
#include "tests/driver/agent_util.h"
#include "tests/driver/cow_util.h"
#include "tests/kernel/blk_test_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr sector_t PART_START = 2048;		// chunks of the partition and the disk align
constexpr sector_t PART_SECTORS = 16 << 11;	// 16 MiB: more than an invalid session caches
constexpr size_t PART_BYTES = PART_SECTORS * 512;
constexpr size_t CHUNK = 65536;
constexpr size_t PAGE = 4096;

using bytes = std::vector<unsigned char>;

// v with `part` laid over it at `at`.
bytes overlay(bytes v, size_t at, const bytes &part)
{
	std::copy(part.begin(), part.end(), v.begin() + static_cast<long>(at));
	return v;
}

// What a bio's completion was told: its error, which is all some callers look at, and
// the up-to-date and end-of-file flags.
struct kernel_io {
	int error = 1;
	bool uptodate = false, eof = false;
};

// One page read or written at `sector` of zep<id> with a kernel bio from a process named comm.
kernel_io bio_on_zep(const char *comm, int id, int rw, sector_t sector)
{
	kernel_io io;
	int rc = in_process(comm, [&] {
		block_device *bdev = bdget(MKDEV(ZEP_CLONE_MAJOR, id));
		if (!bdev)
			return 1;
		blktest::io_result r;
		struct bio *b = blktest::make_bio(bdev, sector, 1, &r, rw == WRITE ? 7 : -1);
		submit_bio(rw, b);
		wait_for_completion(&r.done);
		io.error = r.error;
		io.uptodate = bio_flagged(b, BIO_UPTODATE);
		io.eof = bio_flagged(b, BIO_EOF);
		blktest::free_bio_pages(b);
		bdput(bdev);
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return io;
}

// Holds one of the driver's spinlocks from a process of its own while in scope: whoever
// takes it meanwhile waits right there, with whatever it did before done.
struct SpinHolder {
	explicit SpinHolder(spinlock_t *l)
	{
		pid = spawn("holder", [this, l] {
			unsigned long flags;
			spin_lock_irqsave(l, flags);
			for (held = true; !release;)
				std::this_thread::yield();
			spin_unlock_irqrestore(l, flags);
			return 0;
		});
		EXPECT_TRUE(wait_until([&] { return held.load(); }));
	}
	~SpinHolder()
	{
		release = true;
		EXPECT_EQ(waitpid(pid), 0);
	}
	std::atomic<bool> held{false}, release{false};
	kern::pid_t pid;
};

// A process running fn in the background; finished() waits for it, at most `ms` of real
// time, and tells whether it ended.
struct Background {
	Background(const char *comm, std::function<int()> fn)
	{
		pid = spawn(comm, [st = state, fn] {
			*st = fn();
			return 0;
		});
	}
	bool finished(unsigned ms = 20000)
	{
		if (!wait_until([&] { return *state != -1000; }, ms))
			return false;
		if (pid >= 0) {
			EXPECT_EQ(waitpid(std::exchange(pid, -1)), 0);
		}
		return true;
	}
	int result() const { return *state; }
	std::shared_ptr<std::atomic<int>> state = std::make_shared<std::atomic<int>>(-1000);
	kern::pid_t pid;
};

class VirtTest : public CowTest {
protected:
	void SetUp() override
	{
		CowTest::SetUp();
		disk_ = add_ramdisk("vrd", 8, PART_START + PART_SECTORS);
		p1_ = add_partition(disk_, 1, PART_START, PART_SECTORS);
		old_ = chunk_pattern(PART_BYTES, 3);
		ASSERT_EQ(disk_poke(disk_, PART_START, old_.data(), old_.size()), 0);
		ASSERT_EQ(kern::mount(p1_), 0);
		// A session started as the agent starts one, which keeps the control device open
		// (and so change tracking going) meanwhile.
		hold_open();
		auto ssr = start_request(p1_, backing("image"));
		id_ = static_cast<int>(start_snapshot(&ssr));
		ASSERT_GT(id_, 0) << "start refused";
		ASSERT_EQ(set_backing_file(id_, backing("image.cow")), 0);
		cs_ = get_blkdev_replica(id_)->cs;
		zep_ = "zep" + std::to_string(id_);
	}

	void TearDown() override
	{
		// A test that failed half-way may leave completions held, faults set or its
		// session running: the unload stops it, so that its IO threads leave.
		fault_clear_all();
		disk_clear_eio(disk_);
		disk_hold_completions(disk_, false);
		disk_release_completions(disk_);
		if (loaded_ && !halted_)
			agent_command_at(ZEP_IOC_UNLOAD, 0);
		for (kern::pid_t pid : threads_)
			waitpid(pid);
		threads_.clear();
		kern::umount(p1_);
		CowTest::TearDown();
	}

	// One IO thread with a 64 KiB staging buffer: a chunk fills it exactly.
	void add_thread()
	{
		threads_.push_back(start_io_thread(id_, backing("io0")));
		EXPECT_EQ(thread_wait(id_), 0);
	}

	// Stops the session and waits for its IO threads.
	void finish()
	{
		EXPECT_EQ(stop_snapshot(id_), 0);
		for (kern::pid_t pid : threads_)
			EXPECT_EQ(waitpid(pid), 0);
		threads_.clear();
	}

	bytes old(size_t off, size_t n) const
	{
		return {old_.begin() + static_cast<long>(off), old_.begin() + static_cast<long>(off + n)};
	}

	bytes live(size_t off, size_t n)
	{
		bytes v(n);
		EXPECT_EQ(disk_peek(disk_, PART_START + off / 512, v.data(), n), 0);
		return v;
	}

	// Waits until the disk holds at least n completions; how many it holds.
	u64 held(u64 n)
	{
		wait_until([&] { return get_disk_stats(disk_).held >= n; });
		return get_disk_stats(disk_).held;
	}

	// The backing-file bytes of a preserved chunk's slot.
	bytes slot(u64 chunk)
	{
		cow_chunk *cc = preserved(cs_, chunk);
		EXPECT_NE(cc, nullptr);
		return cc ? host_file_bytes(backing("io0"), cc->new_chunk * CHUNK, CHUNK) : bytes{};
	}

	// The chunk's in-flight record, or null.
	if_chunk *in_flight(u64 chunk)
	{
		unsigned long flags;
		spin_lock_irqsave(&cs_->if_lock, flags);
		if_chunk *ic = get_if_chunk(&cs_->if_table, chunk);
		spin_unlock_irqrestore(&cs_->if_lock, flags);
		return ic;
	}

	// Whether a live write of a page into the chunk is through within 5 s.
	bool live_write_passes(u64 chunk)
	{
		auto data = chunk_pattern(PAGE, 130);
		Background w("writer", [data, chunk] { return write_in_process("vrd1", chunk * CHUNK + PAGE, data); });
		return w.finished(5000) && w.result() == 0;
	}

	kern::dev_t disk_ = 0, p1_ = 0;
	bytes old_;
	int id_ = 0;
	cow_session *cs_ = nullptr;
	std::string zep_;
};

} // namespace

TEST_F(VirtTest, SnapshotWritesStayOffTheLiveDeviceAndReadBack)
{
	u64 writes = get_disk_stats(disk_).writes;

	// Chunk 3 is copied out by a live write; with no IO thread yet its old contents stay in
	// the in-flight record's pages, and a snapshot write lands in them.
	auto live3 = chunk_pattern(PAGE, 50);
	ASSERT_EQ(write_node("vrd1", 3 * CHUNK, live3), 0);
	EXPECT_EQ(get_disk_stats(disk_).writes, writes + 1);
	auto w3 = chunk_pattern(PAGE, 51);
	ASSERT_EQ(write_node(zep_, 3 * CHUNK + 8192, w3), 0);
	auto image3 = overlay(old(3 * CHUNK, CHUNK), 8192, w3);
	EXPECT_EQ(read_device(zep_, 3 * CHUNK, CHUNK, "reader"), image3);
	if_chunk *ic = get_if_chunk(&cs_->if_table, 3);
	ASSERT_NE(ic, nullptr);
	EXPECT_EQ(atomic_read(&ic->processed), 0);

	// A never-written chunk: its old contents are read, the write merged into them, and
	// the live device is not written.
	add_thread();
	auto w5 = chunk_pattern(PAGE, 52);
	ASSERT_EQ(write_node(zep_, 5 * CHUNK + 4096, w5), 0);
	auto image5 = overlay(old(5 * CHUNK, CHUNK), 4096, w5);
	EXPECT_EQ(read_device(zep_, 5 * CHUNK, CHUNK, "reader"), image5);
	EXPECT_EQ(live(5 * CHUNK, CHUNK), old(5 * CHUNK, CHUNK));

	// The thread writes both chunks to their slots, with what the snapshot wrote.
	ASSERT_TRUE(drained(cs_));
	EXPECT_EQ(slot(3), image3);
	EXPECT_EQ(slot(5), image5);

	// Chunks on file. Reading chunk 5 whole leaves the thread's buffer holding exactly its
	// slot, clean; a write inside a full buffer is flushed at once.
	EXPECT_EQ(read_device(zep_, 5 * CHUNK, CHUNK, "reader"), image5);
	auto w5b = chunk_pattern(PAGE, 53);
	ASSERT_EQ(write_node(zep_, 5 * CHUNK + 32768, w5b), 0);
	image5 = overlay(image5, 32768, w5b);
	ASSERT_TRUE(drained(cs_));
	EXPECT_EQ(slot(5), image5);
	// Chunk 3's slot is not in the buffer: the write waits there, dirty, and is read back
	// from it; reading past it flushes it to the slot.
	auto w3b = chunk_pattern(PAGE, 54);
	ASSERT_EQ(write_node(zep_, 3 * CHUNK, w3b), 0);
	image3 = overlay(image3, 0, w3b);
	EXPECT_EQ(read_device(zep_, 3 * CHUNK, CHUNK, "reader"), image3);
	ASSERT_TRUE(drained(cs_));
	EXPECT_EQ(slot(3), image3);

	// Nothing the snapshot wrote reached the live device.
	EXPECT_EQ(get_disk_stats(disk_).writes, writes + 1);
	EXPECT_EQ(live(0, PART_BYTES), overlay(old_, 3 * CHUNK, live3));
	EXPECT_EQ(session_error(id_), "");
	finish();
}

TEST_F(VirtTest, RequestAcrossAChunkBoundaryIsSplitAndEndsAfterBothHalves)
{
	add_thread();

	// One page starting half a page before chunk 8: each half copies its chunk out first.
	// The first half's copy cannot finish while the disk holds it, nor can the write.
	auto w = chunk_pattern(PAGE, 60);
	u64 reads = get_disk_stats(disk_).reads;
	disk_hold_completions(disk_, true);
	std::atomic<int> wrote{-1};
	kern::pid_t writer = spawn("bg", [&] {
		wrote = write_node(zep_, 8 * CHUNK - 2048, w);
		return 0;
	});
	ASSERT_EQ(held(1), 1u);	// chunk 7's copy-out read
	EXPECT_EQ(wrote, -1);
	EXPECT_EQ(disk_release_completions(disk_), 1);
	// The first half is done; the second one's copy-out is held, and so is the write.
	ASSERT_EQ(held(1), 1u);
	EXPECT_NE(preserved(cs_, 7), nullptr);
	EXPECT_EQ(wrote, -1);
	EXPECT_EQ(get_disk_stats(disk_).reads, reads + 2);
	disk_hold_completions(disk_, false);
	EXPECT_EQ(disk_release_completions(disk_), 1);
	EXPECT_EQ(waitpid(writer), 0);
	EXPECT_EQ(wrote, 0);
	auto image = overlay(old(7 * CHUNK, 2 * CHUNK), CHUNK - 2048, w);
	EXPECT_EQ(read_device(zep_, 7 * CHUNK, 2 * CHUNK, "reader"), image);
	// A read across the boundary is split the same way.
	EXPECT_EQ(read_device(zep_, 8 * CHUNK - 2048, PAGE, "reader"), w);

	// A page ending exactly on chunk 10 is not split: one copy-out, chunk 10 untouched.
	reads = get_disk_stats(disk_).reads;
	auto w9 = chunk_pattern(PAGE, 61);
	ASSERT_EQ(write_node(zep_, 10 * CHUNK - PAGE, w9), 0);
	EXPECT_EQ(get_disk_stats(disk_).reads, reads + 1);
	EXPECT_NE(preserved(cs_, 9), nullptr);
	EXPECT_EQ(preserved(cs_, 10), nullptr);
	// Half from chunk 9's copy, half from the live device.
	EXPECT_EQ(read_device(zep_, 10 * CHUNK - 2048, PAGE, "reader"),
		  overlay(old(10 * CHUNK - 2048, PAGE), 0, bytes(w9.begin() + 2048, w9.end())));
	EXPECT_EQ(live(7 * CHUNK, 4 * CHUNK), old(7 * CHUNK, 4 * CHUNK));
	EXPECT_EQ(session_error(id_), "");
	finish();
}

TEST_F(VirtTest, SnapshotReadOnTheLiveDeviceHoldsBackALiveWrite)
{
	add_thread();

	// A snapshot read of never-written chunk 12 is lent to the live disk, which holds it.
	disk_hold_completions(disk_, true);
	bytes got;
	kern::pid_t reader = spawn("bg", [&] {
		got = read_device(zep_, 12 * CHUNK, PAGE, "reader");
		return 0;
	});
	ASSERT_EQ(held(1), 1u);
	disk_hold_completions(disk_, false);

	// A live write to the chunk copies it out and then waits for the read.
	rb_wl *node = nullptr;
	unsigned long flags;
	spin_lock_irqsave(&cs_->write_list_lock, flags);
	node = rb_serach_wl(&cs_->write_locks, 12);
	spin_unlock_irqrestore(&cs_->write_list_lock, flags);
	ASSERT_NE(node, nullptr);
	u64 writes = get_disk_stats(disk_).writes;
	auto fresh = chunk_pattern(PAGE, 70);
	std::atomic<int> wrote{-1};
	kern::pid_t writer = spawn("bg", [&] {
		wrote = write_node("vrd1", 12 * CHUNK + 4096, fresh);
		return 0;
	});
	ASSERT_TRUE(wait_until([&] { return waitqueue_active(&node->wait); }));
	EXPECT_EQ(wrote, -1);
	EXPECT_EQ(get_disk_stats(disk_).writes, writes);
	EXPECT_EQ(live(12 * CHUNK, CHUNK), old(12 * CHUNK, CHUNK));
	// Meanwhile the chunk's other snapshot reads come from its copy.
	EXPECT_EQ(read_device(zep_, 12 * CHUNK + 4096, PAGE, "reader"), old(12 * CHUNK + 4096, PAGE));
	EXPECT_EQ(wrote, -1);

	// Once the copy-out has gone to the backing file, the chunk is simply preserved; a
	// later write to it still waits for the read, which may not have read yet.
	ASSERT_TRUE(wait_until([&] {
		if_chunk *ic = get_and_inc_if(cs_, 12);
		if (ic)
			put_and_dec_if(cs_, ic);
		return ic == nullptr;
	}));
	std::atomic<int> wrote_again{-1};
	kern::pid_t second = spawn("bg", [&] {
		wrote_again = write_node("vrd1", 12 * CHUNK, fresh);
		return 0;
	});
	ASSERT_TRUE(wait_until([&] {
		spin_lock_irqsave(&cs_->write_list_lock, flags);
		int writes = node->writes;
		spin_unlock_irqrestore(&cs_->write_list_lock, flags);
		return writes == 2;
	})) << "a write to the preserved chunk did not wait for the read";
	EXPECT_EQ(get_disk_stats(disk_).writes, writes);

	EXPECT_EQ(disk_release_completions(disk_), 1);
	EXPECT_EQ(waitpid(reader), 0);
	ASSERT_TRUE(wait_until([&] { return wrote != -1 && wrote_again != -1; })) << "the live writes were not let go";
	EXPECT_EQ(waitpid(writer), 0);
	EXPECT_EQ(waitpid(second), 0);
	EXPECT_EQ(got, old(12 * CHUNK, PAGE));
	EXPECT_EQ(wrote, 0);
	EXPECT_EQ(wrote_again, 0);
	EXPECT_EQ(live(12 * CHUNK, PAGE), fresh);
	EXPECT_EQ(live(12 * CHUNK + 4096, PAGE), fresh);
	EXPECT_EQ(read_device(zep_, 12 * CHUNK, CHUNK, "reader"), old(12 * CHUNK, CHUNK));
	// The reader node went with its last party.
	EXPECT_EQ(cs_->write_locks.rb_node, nullptr);
	EXPECT_EQ(cs_->write_locked.rb_node, nullptr);
	finish();
}

TEST_F(VirtTest, InvalidSessionServesOrdinaryProcessesAndFailsCdpOnes)
{
	// The backing file cannot be written: the first copy-out invalidates the session.
	fault_inject("file_write:" + backing("io0"));
	add_thread();
	auto fresh = chunk_pattern(PAGE, 80);
	ASSERT_EQ(write_node("vrd1", CHUNK, fresh), 0);
	ASSERT_TRUE(drained(cs_));
	fault_clear_all();
	ASSERT_EQ(session_error(id_), "FILE IO ERROR");
	auto current = overlay(old(CHUNK, CHUNK), 0, fresh);

	// An ordinary read of the preserved chunk gets the live device's current data.
	EXPECT_EQ(read_device(zep_, CHUNK, CHUNK, "reader"), current);

	// Every request of a cdp process fails, from a file or as a kernel bio, which also
	// carries the end-of-file flag.
	EXPECT_TRUE(read_device(zep_, CHUNK, PAGE, "cdpread").empty());
	EXPECT_EQ(write_node(zep_, 2 * CHUNK, fresh, "cdpwrite"), 2);
	for (int rw : {READ, WRITE}) {
		kernel_io io = bio_on_zep("cdpkernel", id_, rw, 2 * CHUNK / 512);
		EXPECT_EQ(io.error, -EIO);
		EXPECT_TRUE(io.eof);
	}

	// An ordinary process's page is kept in memory and read back.
	auto first = chunk_pattern(PAGE, 81);
	ASSERT_EQ(write_node(zep_, 2 * CHUNK, first), 0);
	EXPECT_EQ(read_device(zep_, 2 * CHUNK, PAGE, "reader"), first);
	// 2560 pages are kept: 2560 more distinct ones push out the least recently used, the
	// first; the second is still there.
	constexpr size_t MORE = 2560, BASE = 3 * CHUNK;
	int rc = in_process("writer", [&] {
		int fd = sys_open(("/dev/" + zep_).c_str(), O_RDWR, 0);
		long buf = sys_mmap(PAGE);
		for (size_t i = 0; i < MORE; i++) {
			auto page = chunk_pattern(PAGE, 82, BASE + i * PAGE);
			user_write(static_cast<unsigned long>(buf), page.data(), PAGE);
			if (sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), PAGE,
					 static_cast<kern::loff_t>(BASE + i * PAGE)) != static_cast<ssize_t>(PAGE))
				return 1;
		}
		sys_close(static_cast<unsigned>(fd));
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(cs_->spc->size, 2560);
	EXPECT_EQ(read_device(zep_, 2 * CHUNK, PAGE, "reader"), old(2 * CHUNK, PAGE));
	EXPECT_EQ(read_device(zep_, BASE, PAGE, "reader"), chunk_pattern(PAGE, 82, BASE));
	size_t last = BASE + (MORE - 1) * PAGE;
	EXPECT_EQ(read_device(zep_, last, PAGE, "reader"), chunk_pattern(PAGE, 82, last));
	// A sector written alone takes the page of the least recently used one now, the
	// second of the 2560: the page it is read back with holds nothing of that one.
	auto sector = chunk_pattern(512, 83);
	ASSERT_EQ(write_node(zep_, 2 * CHUNK + PAGE, sector), 0);
	EXPECT_EQ(read_device(zep_, 2 * CHUNK + PAGE, PAGE, "reader"),
		  overlay(bytes(PAGE, 0), 0, sector));
	EXPECT_EQ(read_device(zep_, BASE + PAGE, PAGE, "reader"), old(BASE + PAGE, PAGE));
	EXPECT_EQ(cs_->spc->size, 2560);

	// None of it reached the live device.
	EXPECT_EQ(live(0, PART_BYTES), overlay(old_, CHUNK, fresh));
	finish();
}

TEST_F(VirtTest, SessionLeftWithoutThreadsServesTheProcessHoldingItOpen)
{
	// A copy-out queued for a thread that never comes.
	auto fresh = chunk_pattern(PAGE, 110);
	ASSERT_EQ(write_node("vrd1", 4 * CHUNK, fresh), 0);
	EXPECT_EQ(atomic_read(&total_cow_pages), 16);

	// An ordinary process keeps the device open, so that the stop of the no-thread
	// command is refused, and uses it afterwards.
	semaphore opened, go;
	sema_init(&opened, 0);
	sema_init(&go, 0);
	auto mine = chunk_pattern(PAGE, 111);
	bytes cached(PAGE), preserved_chunk(PAGE);
	kern::pid_t holder = spawn("holder", [&] {
		int fd = sys_open(("/dev/" + zep_).c_str(), O_RDWR, 0);
		up(&opened);
		down(&go);
		if (fd < 0)
			return 1;
		long buf = sys_mmap(PAGE);
		auto fdu = static_cast<unsigned>(fd);
		auto ubuf = static_cast<unsigned long>(buf);
		user_write(ubuf, mine.data(), PAGE);
		bool ok = sys_pwrite64(fdu, ubuf, PAGE, 6 * CHUNK) == static_cast<ssize_t>(PAGE);
		ok = ok && sys_pread64(fdu, ubuf, PAGE, 6 * CHUNK) == static_cast<ssize_t>(PAGE);
		user_read(ubuf, cached.data(), PAGE);
		ok = ok && sys_pread64(fdu, ubuf, PAGE, 4 * CHUNK) == static_cast<ssize_t>(PAGE);
		user_read(ubuf, preserved_chunk.data(), PAGE);
		sys_close(fdu);
		return ok ? 0 : 2;
	});
	down(&opened);
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	ssr.id = id_;
	u64 seq = printk_seq();
	EXPECT_EQ(agent_command(ZEP_IOC_NO_THREAD_SHUTDOWN, &ssr), -1);
	EXPECT_TRUE(printk_wait_for("Can not stop mounted zep session " + zep_, 0, seq));
	EXPECT_EQ(session_error(id_), "NO THREADS");
	// The queued copy-out was given up: the preserved chunk has no copy anywhere.
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);

	up(&go);
	EXPECT_EQ(waitpid(holder), 0);
	EXPECT_EQ(cached, mine);
	EXPECT_EQ(preserved_chunk, fresh);
	EXPECT_EQ(live(6 * CHUNK, PAGE), old(6 * CHUNK, PAGE));
	finish();
}

TEST_F(VirtTest, FailedReadsEndWithAnError)
{
	add_thread();

	// A snapshot read lent to the live disk, which fails it: the read fails, whole or split.
	disk_set_eio(disk_, PART_START + 14 * CHUNK / 512, CHUNK / 512, READ);
	EXPECT_TRUE(read_device(zep_, 14 * CHUNK, PAGE, "reader").empty());
	EXPECT_TRUE(read_device(zep_, 14 * CHUNK - 2048, PAGE, "reader").empty());
	kernel_io io = bio_on_zep("kernel", id_, READ, 14 * CHUNK / 512);
	EXPECT_EQ(io.error, -EIO);
	EXPECT_FALSE(io.uptodate);
	disk_clear_eio(disk_);
	EXPECT_EQ(read_device(zep_, 14 * CHUNK, PAGE, "reader"), old(14 * CHUNK, PAGE));
	// The failed reads gave their registration back: a live write to the chunk passes.
	auto fresh = chunk_pattern(PAGE, 90);
	ASSERT_EQ(write_node("vrd1", 14 * CHUNK, fresh), 0);
	EXPECT_EQ(read_device(zep_, 14 * CHUNK, PAGE, "reader"), old(14 * CHUNK, PAGE));
	EXPECT_EQ(session_error(id_), "");

	// Chunks 14 and 15 on file; the thread's buffer holds the slot written last, so a read
	// of the other one goes to the file, which fails.
	ASSERT_EQ(write_node("vrd1", 15 * CHUNK, fresh), 0);
	ASSERT_TRUE(drained(cs_));
	u64 chunk = preserved(cs_, 14)->new_chunk == 0 ? 14 : 15;
	fault_inject("file_read:" + backing("io0"));
	EXPECT_TRUE(read_device(zep_, chunk * CHUNK, PAGE, "reader").empty());
	EXPECT_GE(fault_count("file_read:" + backing("io0")), 1);
	fault_clear_all();
	EXPECT_EQ(session_error(id_), "FILE IO ERROR");
	// The session is invalid now: its reads come from the live device.
	EXPECT_EQ(read_device(zep_, chunk * CHUNK, PAGE, "reader"), fresh);

	// A read that cannot be lent for want of memory is not reported as done, whoever
	// asked; the end-of-file mark stays a cdp process's.
	fault_inject("kmem_cache_alloc:cdp_saved_cache");
	io = bio_on_zep("kernel", id_, READ, 16 * CHUNK / 512);
	EXPECT_EQ(io.error, -EIO);
	EXPECT_FALSE(io.eof);
	EXPECT_TRUE(read_device(zep_, 16 * CHUNK - 2048, PAGE, "reader").empty());
	EXPECT_EQ(bio_on_zep("cdpkernel", id_, READ, 16 * CHUNK / 512).error, -EIO);
	fault_clear_all();
	EXPECT_EQ(read_device(zep_, 16 * CHUNK - 2048, PAGE, "reader"), old(16 * CHUNK - 2048, PAGE));
	finish();
}

TEST_F(VirtTest, SnapshotWritesAreRecordedAgainstTheSnapshotDevice)
{
	add_thread();
	ASSERT_EQ(write_node(zep_, 20 * CHUNK + 3 * PAGE, chunk_pattern(PAGE, 100)), 0);
	// A split request is recorded once, as it came.
	ASSERT_EQ(write_node(zep_, 22 * CHUNK - 2048, chunk_pattern(PAGE, 101)), 0);
	ASSERT_EQ(write_node("vrd1", PAGE, chunk_pattern(PAGE, 102)), 0);
	// Released at once with what is queued: a missing record shows as a short list.
	int32_t unblock = 0;
	EXPECT_EQ(agent_command(ZEP_IOC_UNBLOCK_CHANGE_RECORDS, &unblock), 0);
	auto recs = changed_records(4);
	ASSERT_EQ(recs.size(), 3u);
	EXPECT_EQ(+recs[0].major, ZEP_CLONE_MAJOR);
	EXPECT_EQ(+recs[0].minor, id_);
	EXPECT_EQ(+recs[0].start_sector, (20 * CHUNK + 3 * PAGE) / 512);
	EXPECT_EQ(+recs[0].num_sectors, PAGE / 512);
	EXPECT_EQ(+recs[1].major, ZEP_CLONE_MAJOR);
	EXPECT_EQ(+recs[1].minor, id_);
	EXPECT_EQ(+recs[1].start_sector, (22 * CHUNK - 2048) / 512);
	EXPECT_EQ(+recs[1].num_sectors, PAGE / 512);
	// The live write names the partition, with sectors from its start.
	EXPECT_EQ(+recs[2].major, 8);
	EXPECT_EQ(+recs[2].minor, 1);
	EXPECT_EQ(+recs[2].start_sector, PAGE / 512);
	EXPECT_EQ(atomic_read(&record_list_lenght), 0);
	finish();
}

TEST_F(VirtTest, StopFreesTheReplicaUnderNoRequest)
{
	// A cdp write waits with its change record, its session found valid. (The watchdog,
	// kept busy, does not count itself a user meanwhile.)
	std::optional<SpinHolder> queue(std::in_place, &record_list_lock);
	auto data = chunk_pattern(PAGE, 140);
	Background writer("cdpwrite", [this, data] { return write_in_process(zep_, 5 * CHUNK, data); });
	ASSERT_TRUE(wait_until([&] {
		poke_watchdog();
		return get_users(cs_) == 1;
	}));
	std::this_thread::sleep_for(std::chrono::milliseconds(50));

	// cdp readers hammer the device and do not hold the stop back: it frees the replica
	// and waits for the session's users.
	std::atomic<bool> reading{true};
	std::atomic<int> opened{0}, served{0}, wrong{0};
	auto reader = [&](size_t from) {
		int fd = sys_open(("/dev/" + zep_).c_str(), O_RDONLY, 0);
		opened += fd >= 0;
		auto buf = static_cast<unsigned long>(sys_mmap(PAGE));
		bytes got(PAGE);
		for (size_t i = from; fd >= 0 && reading; i += 7) {
			size_t off = i % (4 * CHUNK / PAGE) * PAGE;	// not the written chunk
			if (sys_pread64(static_cast<unsigned>(fd), buf, PAGE, static_cast<kern::loff_t>(off)) > 0) {
				user_read(buf, got.data(), PAGE);
				served++;
				wrong += got != old(off, PAGE);
			}
		}
		return fd < 0 ? 1 : 0;
	};
	Background r1("cdpread", [&] { return reader(0); }), r2("cdpread", [&] { return reader(3); });
	EXPECT_TRUE(wait_until([&] { return opened == 2 && served > 50; }));
	Background stopper("cdpstop", [this] { return static_cast<int>(stop_snapshot(id_)); });
	EXPECT_TRUE(wait_until([&] { return get_blkdev_replica(id_) == nullptr; }));
	EXPECT_FALSE(stopper.finished(50));

	// The write goes on without the replica, then the stop.
	queue.reset();
	EXPECT_TRUE(writer.finished());
	EXPECT_EQ(writer.result(), 0);
	EXPECT_TRUE(stopper.finished());
	EXPECT_EQ(stopper.result(), 0);
	reading = false;
	EXPECT_TRUE(r1.finished() && r2.finished());
	EXPECT_EQ(r1.result() + r2.result(), 0);
	EXPECT_EQ(wrong, 0);
	EXPECT_TRUE(list_empty(&session_list_head));
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
}

TEST_F(VirtTest, ChunkWhoseCopyOutEndsBetweenTheLookupsIsFoundPreserved)
{
	// The last references of a chunk in flight go while a live write or a snapshot read
	// is looking the chunk up: the in-flight table is held for as long as both its holders
	// and the request wait for it, and then they race for it. Whoever wins, the chunk is
	// copied out once and the snapshot shows its old contents.
	add_thread();
	constexpr u64 ROUNDS = 24;
	for (u64 c = 32; c < 32 + ROUNDS; c++) {
		bool read = c % 2 == 0;
		disk_hold_completions(disk_, true);
		auto fresh = chunk_pattern(PAGE, 150 + static_cast<unsigned>(c));
		Background first("writer", [c, fresh] { return write_in_process("vrd1", c * CHUNK, fresh); });
		ASSERT_EQ(held(1), 1u) << "chunk " << c;
		if_chunk *ic = in_flight(c);
		ASSERT_NE(ic, nullptr);
		bytes got;
		std::optional<Background> second;
		{
			SpinHolder table(&cs_->if_lock);
			second.emplace("cdpio", [&] {
				if (read)
					return (got = read_device(zep_, c * CHUNK, PAGE, "cdpread")).empty() ? 1 : 0;
				return write_in_process("vrd1", c * CHUNK + 2 * PAGE, fresh);
			});
			EXPECT_TRUE(wait_until([] {
				poke_watchdog();	// its probes take the lock too
				return sem_count(&session_work_lock) <= 0;
			}));
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
			// The copy-out's read ends: the chunk is entered as preserved, the IO thread
			// files it, and both wait to let the record go.
			disk_hold_completions(disk_, false);
			EXPECT_EQ(disk_release_completions(disk_), 1);
			EXPECT_TRUE(wait_until([&] { return preserved(cs_, c) && atomic_read(&ic->processed) == 1; }));
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		}
		ASSERT_TRUE(first.finished() && second->finished()) << "chunk " << c;
		EXPECT_EQ(first.result() + second->result(), 0);
		EXPECT_EQ(read ? got : read_device(zep_, c * CHUNK, PAGE, "cdpread"), old(c * CHUNK, PAGE))
			<< "chunk " << c;
	}
	ASSERT_TRUE(drained(cs_));
	EXPECT_EQ(cs_->pos, ROUNDS);
	EXPECT_EQ(session_error(id_), "");
	finish();
}

TEST_F(VirtTest, FailuresPartWayLeaveNothingInFlight)
{
	// After each failure: live writes to the chunks it touched pass at once, nothing is
	// in flight and no file copy is left.
	auto settled = [&](std::initializer_list<u64> chunks) {
		EXPECT_EQ(session_error(id_), "OUT OF MEMORY");
		EXPECT_TRUE(drained(cs_));
		for (u64 c : chunks) {
			EXPECT_EQ(in_flight(c), nullptr) << "chunk " << c;
			EXPECT_TRUE(live_write_passes(c)) << "chunk " << c;
		}
		EXPECT_EQ(atomic_read(&cs_->fc_count), 0);
	};
	auto restart = [&] {
		finish();
		auto ssr = start_request(p1_, backing("image"));
		id_ = static_cast<int>(start_snapshot(&ssr));
		ASSERT_EQ(id_, 1);
		ASSERT_EQ(set_backing_file(id_, backing("image.cow")), 0);
		cs_ = get_blkdev_replica(id_)->cs;
		add_thread();
	};
	add_thread();

	// A live write over chunks 2 and 3: chunk 2's record is made, chunk 3's entry cannot be.
	fault_inject("kmem_cache_alloc:cdp_chunk_list_cache", {1, -1});
	EXPECT_EQ(write_node("vrd1", 3 * CHUNK - PAGE, chunk_pattern(2 * PAGE, 131)), 0);
	fault_clear_all();
	settled({2, 3});

	// A snapshot read of a preserved chunk whose file copy cannot be made.
	restart();
	ASSERT_EQ(write_node("vrd1", 4 * CHUNK, chunk_pattern(PAGE, 132)), 0);
	ASSERT_TRUE(drained(cs_));
	fault_inject("kmem_cache_alloc:cdp_fc_cache");
	EXPECT_TRUE(read_device(zep_, 4 * CHUNK, PAGE, "cdpread").empty());
	fault_clear_all();
	settled({4});

	// A snapshot write split over preserved chunk 6, which fails the same way, and chunk 7,
	// whose new record it holds.
	restart();
	ASSERT_EQ(write_node("vrd1", 6 * CHUNK, chunk_pattern(PAGE, 133)), 0);
	ASSERT_TRUE(drained(cs_));
	fault_inject("kmem_cache_alloc:cdp_fc_cache");
	EXPECT_EQ(write_node(zep_, 7 * CHUNK - 2048, chunk_pattern(PAGE, 134), "cdpwrite"), 2);
	fault_clear_all();
	settled({6, 7});
	finish();

	// A start whose answer cannot be copied back: the session it made goes again, with the
	// copy-out of a live write that came while it was registered.
	down_read(&rw_mutex);	// the start waits before it publishes its snapshot device
	std::atomic<unsigned long> record{0};
	Background agent("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		unsigned long at = c.put(start_request(p1_, backing("late"), USER_SPACE_FILE));
		record = c.mem;
		long r = c.ioctl(ZEP_IOC_START, at);
		c.close();
		return static_cast<int>(r);
	});
	auto listed = [] {
		down(&session_list_lock);
		bool any = !list_empty(&session_list_head);
		up(&session_list_lock);
		return any;
	};
	// Registered and hooked, it waits: a live write copies chunk 9 out for it, and the
	// agent's record goes from under it.
	EXPECT_TRUE(wait_until(listed));
	EXPECT_TRUE(live_write_passes(9));
	EXPECT_EQ(atomic_read(&total_cow_pages), 16);
	task_struct *t = find_task_by_pid(agent.pid);
	EXPECT_NE(t, nullptr);
	if (t) {
		EXPECT_EQ(mm_unmap(t->mm, record, 1 << 16), 0);
		put_task_struct(t);
	}
	up_read(&rw_mutex);
	ASSERT_TRUE(agent.finished());
	EXPECT_EQ(agent.result(), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not copy snapshot request to user space."));
	EXPECT_FALSE(listed());
	EXPECT_EQ(get_blkdev_replica(1), nullptr);
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
	EXPECT_TRUE(live_write_passes(9));
}
