// IO threads: agent processes that attach to a session and write its copied-out chunks to
// their own backing files, with their pacing, their slots, their failures and their end.
#include <atomic>
#include <cstring>
#include <vector>

#include <sys/statfs.h>

#include "kernel/core/faults.h"
#include "kernel/core/printk.h"
#include "tests/driver/cow_util.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr size_t CHUNK = 65536;
constexpr sector_t PART_START = 128;
constexpr sector_t PART_SECTORS = 200 * 128;

class CowIoTest : public CowTest {
protected:
	// Slow enough that the 5 s pause of a thread is 2 s of real time: the pacing is seen
	// even on a loaded machine.
	double clock_speed() const override { return 2.5; }

	void SetUp() override
	{
		CowTest::SetUp();
		disk_ = add_ramdisk("iod", 8, PART_START + PART_SECTORS + 128);
		part_ = add_partition(disk_, 1, PART_START, PART_SECTORS);
		old_ = chunk_pattern(PART_SECTORS * 512, 3);
		ASSERT_EQ(disk_poke(disk_, PART_START, old_.data(), old_.size()), 0);
	}

	std::vector<unsigned char> old_chunk(u64 chunk, size_t n = CHUNK) const
	{
		return {old_.begin() + static_cast<long>(chunk * CHUNK),
			old_.begin() + static_cast<long>(chunk * CHUNK + n)};
	}

	// One 4 KiB write at the start of each chunk of [first, first + count), from one process.
	void write_chunks(u64 first, u64 count)
	{
		auto fresh = chunk_pattern(4096, 77);
		int rc = in_process("writer", [&] {
			int fd = sys_open("/dev/iod1", O_RDWR, 0);
			long buf = sys_mmap(4096);
			user_write(static_cast<unsigned long>(buf), fresh.data(), 4096);
			for (u64 c = first; c < first + count; c++)
				if (sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), 4096,
						 static_cast<kern::loff_t>(c * CHUNK)) != 4096)
					return 1;
			sys_close(static_cast<unsigned>(fd));
			return 0;
		});
		ASSERT_EQ(rc, 0);
	}

	io_thread *slot(cow_session *cs, int i) { return cs->thread_info->io_threads[i]; }

	kern::dev_t disk_ = 0, part_ = 0;
	std::vector<unsigned char> old_;
};

} // namespace

TEST_F(CowIoTest, ChunksAreBoundToThreadsAndSlotsOnce)
{
	cow_session *cs = build_session(part_, 1);
	sessions_.push_back(cs);
	hook_session(cs);
	// Four attached threads, as far as assignment is concerned.
	atomic_set(&cs->thread_info->io_threads_started, 4);
	for (int i = 0; i < 4; i++)
		atomic_set(&slot(cs, i)->started, 1);
	std::vector<if_chunk *> ics;
	for (u64 c = 0; c < 8; c++) {
		cow_chunk *cc = alloc_cow_chunk();
		set_chunk_pos(cs, cc, c);
		if_chunk *ic = alloc_if_chunk(c);
		ic->cc = cc;
		ASSERT_EQ(submit_ic_file_io(ic, cs), 0);
		EXPECT_EQ(cc->thread, static_cast<int>(c % 4));
		EXPECT_EQ(cc->new_chunk, c / 4);
		ics.push_back(ic);
	}
	for (int i = 0; i < 4; i++) {
		EXPECT_EQ(atomic_read(&slot(cs, i)->pending_io), 2);
		EXPECT_EQ(slot(cs, i)->thread_pos, 2u);
	}
	// A chunk keeps its binding when more threads attach, and a transfer 8192 bytes
	// into the chunk in slot 5 lands 8192 bytes into that slot.
	atomic_set(&cs->thread_info->io_threads_started, 5);
	atomic_set(&slot(cs, 4)->started, 1);
	assign_thread_chunk(ics[1], cs);
	EXPECT_EQ(ics[1]->cc->thread, 1);
	file_copy fc{};
	cow_chunk five{};
	five.old_chunk = 10;
	five.new_chunk = 5;
	fc.cc = &five;
	fc.disk_start = 10 * CHUNK + 8192;
	calc_fc_file_start(&fc, CHUNK);
	EXPECT_EQ(fc.file_start, 335872);
	EXPECT_EQ(mod(7, 0), 0ul);
	EXPECT_EQ(mod(7, 4), 3ul);
	// An anonymous record counts as snapshot IO.
	cow_chunk *cc = alloc_cow_chunk();
	cc->old_chunk = 3;
	if_chunk *anon = alloc_anon_if_chunk(cc);
	ASSERT_EQ(submit_ic_file_io(anon, cs), 0);
	EXPECT_EQ(atomic_read(&slot(cs, 3)->pending_anon_io), 1);
	EXPECT_EQ(atomic_read(&slot(cs, 3)->pending_io), 2);
	// A slot whose thread has left takes no more work.
	atomic_set(&slot(cs, 2)->started, 0);
	if_chunk *late = alloc_if_chunk(2);
	late->cc = alloc_cow_chunk();
	late->cc->old_chunk = 2;
	EXPECT_EQ(submit_ic_file_io(late, cs), 1);
	EXPECT_EQ(atomic_read(&slot(cs, 2)->pending_io), 2);

	// Nothing was transferred: take the records back off the queues.
	for (int i = 0; i < 5; i++) {
		atomic_set(&slot(cs, i)->started, 0);
		INIT_LIST_HEAD(&slot(cs, i)->io_list);
	}
	for (if_chunk *ic : ics) {
		free_cow_chunk(ic->cc);
		free_if_chunk(ic);
	}
	free_cow_chunk(late->cc);
	free_if_chunk(late);
	free_cow_chunk(cc);
	free_if_chunk(anon);
	atomic_set(&cs->thread_info->io_threads_started, 0);
}

TEST_F(CowIoTest, FewCopyOutsWaitForTheTimeoutThenAllGo)
{
	cow_session *cs = start(part_, 1);
	attach(cs, "t0");
	u64 t0 = get_jiffies_64();
	write_chunks(0, 50);
	EXPECT_EQ(atomic_read(&slot(cs, 0)->pending_io), 50);
	ASSERT_LT(get_jiffies_64() - t0, 3000u) << "the writes were too slow to see the pause";
	while (get_jiffies_64() - t0 < 3000)
		msleep(10);
	EXPECT_EQ(atomic_read(&slot(cs, 0)->pending_io), 50);
	ASSERT_TRUE(drained(cs));
	EXPECT_GE(get_jiffies_64() - t0, 4500u);
	for (u64 c : {0, 17, 49}) {
		cow_chunk *cc = preserved(cs, c);
		EXPECT_EQ(host_file_bytes(backing("t0"), cc->new_chunk * CHUNK, CHUNK), old_chunk(c));
	}
	EXPECT_TRUE(dmesg_has("<6>zep: INFO: zep_io: Thread(0) with user space address "));
}

TEST_F(CowIoTest, ManyCopyOutsWakeTheThreadAtOnce)
{
	cow_session *cs = start(part_, 1);
	attach(cs, "t0");
	u64 t0 = get_jiffies_64();
	write_chunks(0, 81);
	ASSERT_TRUE(wait_until([&] { return atomic_read(&slot(cs, 0)->pending_io) == 0; }));
	EXPECT_LT(get_jiffies_64() - t0, 4500u);
	cow_chunk *cc = preserved(cs, 80);
	EXPECT_EQ(host_file_bytes(backing("t0"), cc->new_chunk * CHUNK, CHUNK), old_chunk(80));
}

namespace {
struct anon_probe {
	completion done;
	int err = 1;
	int pending_io_at_end = -1;
	io_thread *iot = nullptr;
};
anon_probe *probe;

void probe_end_io(file_copy *fc, int err)
{
	probe->err = err;
	probe->pending_io_at_end = atomic_read(&probe->iot->pending_io);
	complete(&probe->done);
}
} // namespace

TEST_F(CowIoTest, SnapshotRequestCutsTheCopyOutPassShort)
{
	cow_session *cs = start(part_, 1);
	attach(cs, "t0");
	write_chunks(100, 1);
	ASSERT_TRUE(drained(cs));
	write_chunks(0, 10);
	ASSERT_EQ(atomic_read(&slot(cs, 0)->pending_io), 10);

	// A snapshot read of preserved chunk 100, as the snapshot device queues one.
	anon_probe p;
	init_completion(&p.done);
	p.iot = slot(cs, 0);
	probe = &p;
	cow_chunk *cc = preserved(cs, 100);
	if_chunk *ic = alloc_anon_if_chunk(cc);
	file_copy *fc = alloc_file_copy(cs);
	struct bio *b = bio_alloc(GFP_KERNEL, 1);
	struct page *pg = alloc_page(GFP_KERNEL);
	b->bi_sector = 100 * 128;
	ASSERT_EQ(bio_add_page(b, pg, PAGE_SIZE, 0), static_cast<int>(PAGE_SIZE));
	init_fc(fc, cc, b, CHUNK, 0, 9, probe_end_io, 0);
	list_add_tail(&fc->fc_list, &ic->fc_list_head);
	ASSERT_EQ(submit_ic_file_io(ic, cs), 0);

	// One copy-out went first, then the snapshot read, before the other nine.
	wait_for_completion(&p.done);
	EXPECT_EQ(p.err, 0);
	EXPECT_EQ(p.pending_io_at_end, 9);
	auto *data = static_cast<unsigned char *>(page_address(pg));
	EXPECT_EQ(std::vector<unsigned char>(data, data + 4096), old_chunk(100, 4096));
	bio_put(b);
	__free_page(pg);
	ASSERT_TRUE(drained(cs));
}

TEST_F(CowIoTest, StoppingThreadWaitsForEveryFileCopyOfTheSession)
{
	cow_session *cs = start(part_, 1);
	attach(cs, "t0");
	write_chunks(0, 3);
	// A file copy still being made elsewhere, as by a copy-out in progress.
	file_copy *stray = alloc_file_copy(cs);
	atomic_inc(&cs->thread_info->io_threads_stop);
	wake_up(&slot(cs, 0)->io_wait);
	ASSERT_TRUE(wait_until([&] { return atomic_read(&slot(cs, 0)->pending_io) == 0; }));
	msleep(500);
	EXPECT_EQ(get_users(cs), 1u);	// the thread is still there
	put_file_copy(stray, cs);
	EXPECT_TRUE(wait_until([&] { return get_users(cs) == 0; }));
	EXPECT_EQ(waitpid(threads_.back()), 0);
	threads_.pop_back();
}

TEST_F(CowIoTest, SixtyFifthThreadReturnsAtOnce)
{
	cow_session *cs = start(part_, 1);
	for (int i = 0; i < MAX_IO_THREADS; i++)
		attach(cs, "t" + std::to_string(i), i);
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads_started), 64);
	kern::pid_t extra = start_io_thread(cs->clone_id, backing("extra"), 64);
	EXPECT_EQ(waitpid(extra), 0);
	wait_for_completion(&cs->thread_info->io_thread_done);
	EXPECT_EQ(atomic_read(&cs->thread_info->io_threads_started), 64);
	EXPECT_EQ(get_users(cs), 64u);
	write_chunks(0, 8);
	stop(cs);
	for (kern::pid_t pid : threads_)
		EXPECT_EQ(waitpid(pid), 0);
	threads_.clear();
}

TEST_F(CowIoTest, ThreadNamesItselfIgnoresSignalsAndLeavesOnStop)
{
	cow_session *cs = start(part_, 3);
	kern::pid_t pid = attach(cs, "t0");
	task_struct *t = find_task_by_pid(pid);
	ASSERT_NE(t, nullptr);
	char comm[TASK_COMM_LEN];
	get_task_comm(comm, t);
	EXPECT_STREQ(comm, "zep_io/3/0");
	EXPECT_EQ(t->nice, 0);
	put_task_struct(t);
	EXPECT_EQ(kern::kill(pid, SIGKILL), 0);
	EXPECT_EQ(kern::kill(pid, SIGTERM), 0);
	msleep(300);
	EXPECT_EQ(get_users(cs), 1u);
	unsigned long flags;
	spin_lock_irqsave(&cow_thread_lock, flags);
	bool registered = !list_empty(&cow_pids_list);
	spin_unlock_irqrestore(&cow_thread_lock, flags);
	EXPECT_TRUE(registered);
	write_chunks(0, 2);
	stop(cs);
	EXPECT_EQ(waitpid(pid), 0);
	threads_.clear();
	EXPECT_TRUE(list_empty(&cow_pids_list));
}

TEST_F(CowIoTest, InvalidDescriptorInvalidatesAndTheThreadStillDrains)
{
	cow_session *cs = start(part_, 1);
	write_chunks(0, 3);
	EXPECT_EQ(atomic_read(&total_cow_pages), 48);
	attach(cs, "t0", 7, 65536, true);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: COW Thread (7) could not get file handel."));
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Didsabling zep session (1) due to file error."));
	EXPECT_STREQ(cs->errorMsg, "FILE ERROR");
	ASSERT_TRUE(drained(cs));
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
}

TEST_F(CowIoTest, FreeSpaceBelowTheReserveEndsTheSession)
{
	// More blocks kept free than any file system has.
	cow_session *cs = start(part_, 4, USER_SPACE_FILE, 1ull << 60);
	write_chunks(0, 161);
	attach(cs, "t0");
	ASSERT_TRUE(drained(cs));
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: user specified quota reached, corvane session zep4 ending."));
	EXPECT_STREQ(cs->errorMsg, "USER QUOTA REACHED");
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
}

TEST_F(CowIoTest, FreeSpaceAboveTheReserveKeepsTheSession)
{
	// Half of what the backing file system has free is kept free: more than a buffer's
	// worth of copy-outs is pending when the thread comes, and the reserve holds.
	struct statfs st;
	ASSERT_EQ(::statfs(dir_.c_str(), &st), 0);
	cow_session *cs = start(part_, 4, USER_SPACE_FILE, st.f_bavail / 2);
	write_chunks(0, 161);
	attach(cs, "t0");
	ASSERT_TRUE(drained(cs));
	EXPECT_FALSE(dmesg_has("user specified quota reached"));
	EXPECT_FALSE(is_error(cs)) << cs->errorMsg;
	EXPECT_EQ(host_file_bytes(backing("t0"), 160 * CHUNK, CHUNK).size(), CHUNK);
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
}

TEST_F(CowIoTest, BufferOutsideUserSpaceIsRefusedWhenTheThreadAttaches)
{
	cow_session *cs = start(part_, 1);
	write_chunks(0, 3);
	// A buffer running past the end of user space, then one of a negative size: neither
	// is ever copied through; the threads drain the failed session.
	auto thread = [&](int id, uint32_t addr, int size) {
		threads_.push_back(spawn("cdpio", [=, this] {
			int fd = sys_open(backing("t" + std::to_string(id)).c_str(), O_RDWR | O_CREAT, 0600);
			Control c;
			if (fd < 0 || !c.open())
				return 100;
			qz_thread_info ti{id, 1, fd, size, addr};
			return static_cast<int>(c.ioctl(ZEP_IOC_RUN_IO_THREAD, c.put(ti)));
		}));
		wait_for_completion(&cs->thread_info->io_thread_done);
	};
	thread(5, static_cast<uint32_t>(TASK_SIZE - 4096), 65536);
	ASSERT_TRUE(drained(cs));
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: COW Thread (5) buffer 0xbffff000 + 65536 is not in user space."));
	EXPECT_STREQ(cs->errorMsg, "BUFFER ERROR");
	thread(6, 0x10000000u, -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: COW Thread (6) buffer 0x10000000 + -1 is not in user space."));
	EXPECT_FALSE(dmesg_has("user space at address"));
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
	stop(cs);
	for (kern::pid_t pid : threads_)
		EXPECT_EQ(waitpid(pid), 0);
	threads_.clear();
}

TEST_F(CowIoTest, BackingFileWriteErrorInvalidatesAndTheQueueDrains)
{
	cow_session *cs = start(part_, 1);
	write_chunks(0, 3);
	fault_inject("file_write:" + backing("t0"));
	attach(cs, "t0");
	ASSERT_TRUE(drained(cs));
	fault_clear_all();
	EXPECT_STREQ(cs->errorMsg, "FILE IO ERROR");
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: An error occurred while writing to file: offset 0, length 65536, got -5"));
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Error while doing IO on file!"));
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
}

TEST_F(CowIoTest, CleanupCancelsWorkQueuedWithoutAThread)
{
	cow_session *cs = start(part_, 1);
	write_chunks(0, 2);
	EXPECT_EQ(atomic_read(&slot(cs, 0)->pending_io), 2);
	runIOCleanup(cs);
	EXPECT_EQ(atomic_read(&slot(cs, 0)->pending_io), 0);
	EXPECT_EQ(atomic_read(&total_cow_pages), 0);
	EXPECT_EQ(atomic_read(&cs->fc_count), 0);
	EXPECT_EQ(get_if_chunk(&cs->if_table, 0), nullptr);
	// A thread that attaches afterwards has nothing to wait for when the session stops.
	kern::pid_t pid = attach(cs, "t0");
	stop(cs);
	EXPECT_EQ(waitpid(pid), 0);
	threads_.clear();
}
