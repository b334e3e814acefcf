// Backing-file IO through an IO thread's user buffer: which file transfers the buffered
// segments turn into, what is served from the buffer, how failures are reported, and
// that the bytes in the file are exactly the ones written.
//
// Every case runs in a process of its own that owns the buffer (a mapping in its address
// space). The file handed to the driver records each call of its read and write and
// forwards it to a host-backed file, so the file fault points of that host file apply.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "backupdriver/kfc.h"
#include "kernel/core/faults.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/mm/mm.h"
#include "kernel/core/printk.h"
#include "kernel/syscalls.h"
#include "kernel/mm/uaccess.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/host_file.h"

using namespace zeptest;
using namespace kern;

namespace {

constexpr int KB64 = 65536;
constexpr kern::loff_t MB1 = 1 << 20;
constexpr kern::loff_t F_POS_MARK = 777;	// the file's own position, which no transfer may move

struct file_call {
	int rw;		// 0 read, 1 write
	kern::loff_t pos;
	size_t len;
	ssize_t result;
	bool kernel_ds;	// the address limit was widened during the call
	bool operator==(const file_call &o) const
	{
		return rw == o.rw && pos == o.pos && len == o.len && result == o.result;
	}
};

std::ostream &operator<<(std::ostream &os, const file_call &c)
{
	return os << (c.rw ? "write" : "read") << "(pos " << c.pos << ", len " << c.len << ") = "
		  << c.result;
}

// The file the driver sees. `extra` is added to every non-negative result, to play a
// file operation that reports more than it moved.
struct recording_file {
	file *real = nullptr;
	file *f = nullptr;
	std::vector<file_call> calls;
	ssize_t extra = 0;
};

ssize_t recorded_io(int rw, file *f, char __user *buf, size_t n, kern::loff_t *pos)
{
	auto *rf = static_cast<recording_file *>(f->private_data);
	kern::loff_t at = *pos;
	ssize_t r = rw ? rf->real->f_op->write(rf->real, buf, n, pos)
		       : rf->real->f_op->read(rf->real, buf, n, pos);
	if (r >= 0)
		r += rf->extra;
	rf->calls.push_back({rw, at, n, r, get_fs() == KERNEL_DS});
	return r;
}

ssize_t recorded_read(file *f, char __user *buf, size_t n, kern::loff_t *pos)
{
	return recorded_io(0, f, buf, n, pos);
}

ssize_t recorded_write(file *f, const char __user *buf, size_t n, kern::loff_t *pos)
{
	return recorded_io(1, f, const_cast<char __user *>(buf), n, pos);
}

const file_operations recording_fops = {.read = recorded_read, .write = recorded_write};
const file_operations write_only_fops = {.write = recorded_write};

// What an IO thread holds: its buffer and its backing file.
struct io_env {
	recording_file rf;
	user_buffer ub{};
	unsigned long map = 0;
	int fd = -1;

	bool open(const std::string &path, int buf_size, size_t map_len)
	{
		fd = sys_open(path.c_str(), O_RDWR | O_CREAT, 0644);
		long m = sys_mmap(map_len);
		if (fd < 0 || m < 0)
			return false;
		map = static_cast<unsigned long>(m);
		rf.real = fget(fd);
		rf.f = get_empty_filp();
		rf.f->f_op = &recording_fops;
		rf.f->private_data = &rf;
		rf.f->f_pos = F_POS_MARK;
		ub.addr = map;
		ub.size = buf_size;
		return rf.real != nullptr;
	}

	void close()
	{
		EXPECT_EQ(get_fs(), USER_DS) << "the address limit is restored";
		EXPECT_EQ(rf.f->f_pos, F_POS_MARK) << "transfers use a position of their own";
		EXPECT_EQ(rf.real->f_pos, 0);
		for (auto &c : rf.calls)
			EXPECT_TRUE(c.kernel_ds) << c;
		fput(rf.f);
		fput(rf.real);
		sys_close(fd);
	}

	file *f() { return rf.f; }
	std::vector<file_call> take_calls() { return std::exchange(rf.calls, {}); }
};

// One segment of a page of its own.
struct segment {
	page *pg;
	bio_vec bv;
	explicit segment(unsigned len = PAGE_SIZE, unsigned off = 0)
	{
		pg = alloc_page(GFP_KERNEL);
		std::memset(page_address(pg), 0, PAGE_SIZE);
		bv = {pg, len, off};
	}
	~segment() { __free_page(pg); }
	segment(const segment &) = delete;
	segment &operator=(const segment &) = delete;
	unsigned char *data() { return static_cast<unsigned char *>(page_address(pg)) + bv.bv_offset; }
};

// The byte a generation of data has at a file offset: differs between neighbouring
// pages and between generations, so a misplaced or stale byte shows.
unsigned char pattern(kern::loff_t off, int gen)
{
	return static_cast<unsigned char>(((static_cast<u64>(off) * 2654435761u) >> 13) ^ (gen * 29));
}

void fill(segment &s, kern::loff_t off, int gen)
{
	for (unsigned i = 0; i < s.bv.bv_len; i++)
		s.data()[i] = pattern(off + i, gen);
}

// Whether the segment holds generation gen of the bytes at off.
bool holds(segment &s, kern::loff_t off, int gen)
{
	for (unsigned i = 0; i < s.bv.bv_len; i++)
		if (s.data()[i] != pattern(off + i, gen))
			return false;
	return true;
}

std::string state(const user_buffer &ub)
{
	return "pos=" + std::to_string(ub.pos) + " used=" + std::to_string(ub.used) +
	       " dirty=" + std::to_string(ub.dirty) + " file_pos=" + std::to_string(ub.file_pos);
}

int log_count(const std::string &line)
{
	int n = 0;
	for (auto &l : dmesg())
		n += l == line;
	return n;
}

std::string ptr_text(unsigned long addr)
{
	char b[32];
	std::snprintf(b, sizeof(b), "%p", reinterpret_cast<void *>(addr));
	return b;
}

const std::string WRITE_BUFFER_ERR = "<3>zep: ERROR: An error occurred while writing to backing buffer!";
const std::string READ_BUFFER_ERR = "<3>zep: ERROR: An error occurred while reading from backing buffer!";
const std::string NO_FILE_ERR = "<3>zep: ERROR: An IO error occurred: file no longer exisist.";

std::string copy_to_err(long n, unsigned long addr)
{
	return "<3>zep: ERROR: Error copying " + std::to_string(n) + " bytes to user space at address " +
	       ptr_text(addr) + "!";
}

std::string copy_from_err(long n, unsigned long addr)
{
	return "<3>zep: ERROR: Error copying " + std::to_string(n) +
	       " bytes from user space at address " + ptr_text(addr) + "!";
}

class KfcTest : public DriverTest {
protected:
	void SetUp() override
	{
		DriverTest::SetUp();
		path_ = "/tmp/zep_kfc_" + std::to_string(std::random_device{}()) + "_" +
			::testing::UnitTest::GetInstance()->current_test_info()->name();
		std::remove(path_.c_str());
	}

	void TearDown() override
	{
		DriverTest::TearDown();
		std::remove(path_.c_str());
	}

	// Runs body as an IO thread whose buffer of buf_size bytes lies at the start of a
	// mapping of map_len bytes (buf_size when 0).
	void as_io_thread(int buf_size, const std::function<void(io_env &)> &body, size_t map_len = 0)
	{
		int rc = in_process("cdpio", [&]() -> int {
			io_env env;
			if (!env.open(path_, buf_size, map_len ? map_len : static_cast<size_t>(buf_size)))
				return 2;
			body(env);
			env.close();
			return 0;
		});
		EXPECT_EQ(rc, 0);
	}

	// Fills the host file with generation gen over [0, n).
	void host_fill(size_t n, int gen)
	{
		std::vector<char> b(n);
		for (size_t i = 0; i < n; i++)
			b[i] = static_cast<char>(pattern(static_cast<kern::loff_t>(i), gen));
		std::ofstream(path_, std::ios::binary | std::ios::trunc).write(b.data(), static_cast<long>(n));
	}

	std::vector<unsigned char> host_contents() { return zeptest::read_host_file(path_); }

	// Whether the host file holds generation gen over [from, to).
	bool host_holds(kern::loff_t from, kern::loff_t to, int gen)
	{
		auto c = host_contents();
		if (static_cast<kern::loff_t>(c.size()) < to)
			return false;
		for (kern::loff_t i = from; i < to; i++)
			if (c[i] != pattern(i, gen))
				return false;
		return true;
	}

	std::string path_;
};

} // namespace

TEST_F(KfcTest, SixteenPagesBecomeOneFileWriteAndStayClean)
{
	as_io_thread(KB64, [](io_env &e) {
		for (int i = 0; i < 16; i++) {
			segment s;
			fill(s, i * 4096, 1);
			EXPECT_EQ(bvec_to_file_f_op(WRITE, e.f(), &e.ub, &s.bv, i * 4096), 4096);
			if (i < 15) {
				EXPECT_TRUE(e.rf.calls.empty()) << "after write " << i;
			}
		}
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{1, 0, KB64, KB64}}));
		EXPECT_EQ(state(e.ub), "pos=65536 used=1 dirty=0 file_pos=65536");

		// The clean bytes are read back without the file.
		segment r(1000, 300);
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &r.bv, 5 * 4096 + 7), 1000);
		EXPECT_TRUE(holds(r, 5 * 4096 + 7, 1));
		EXPECT_TRUE(e.rf.calls.empty());

		// Clean bytes are dropped, not written again, for a write elsewhere.
		segment w;
		fill(w, MB1, 2);
		EXPECT_EQ(bvec_to_file_f_op(WRITE, e.f(), &e.ub, &w.bv, MB1), 4096);
		EXPECT_TRUE(e.rf.calls.empty());
		EXPECT_EQ(state(e.ub), "pos=4096 used=1 dirty=1 file_pos=1052672");
	});
	EXPECT_TRUE(host_holds(0, KB64, 1));
	EXPECT_EQ(host_contents().size(), static_cast<size_t>(KB64)) << "the last write stays in the buffer";
}

TEST_F(KfcTest, WritesOutsideTheWindowFlushTheHeldBytesFirst)
{
	as_io_thread(KB64, [](io_env &e) {
		for (int i = 0; i < 3; i++) {
			segment s;
			fill(s, i * 4096, 1);
			ASSERT_EQ(bvec_buffered_write(e.f(), &e.ub, &s.bv, i * 4096), 4096);
		}
		// Overwriting held bytes stays in the buffer.
		segment o(4096);
		fill(o, 2048, 2);
		EXPECT_EQ(bvec_buffered_write(e.f(), &e.ub, &o.bv, 2048), 4096);
		EXPECT_TRUE(e.rf.calls.empty());
		EXPECT_EQ(state(e.ub), "pos=12288 used=1 dirty=1 file_pos=12288");

		// A non-adjacent write: one write of the held bytes, then a fresh buffer.
		segment far;
		fill(far, MB1, 3);
		EXPECT_EQ(bvec_buffered_write(e.f(), &e.ub, &far.bv, MB1), 4096);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{1, 0, 12288, 12288}}));
		EXPECT_EQ(state(e.ub), "pos=4096 used=1 dirty=1 file_pos=1052672");

		// Just before the window's start is outside it as well.
		segment before;
		fill(before, MB1 - 4096, 3);
		EXPECT_EQ(bvec_buffered_write(e.f(), &e.ub, &before.bv, MB1 - 4096), 4096);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{1, MB1, 4096, 4096}}));
		EXPECT_EQ(state(e.ub), "pos=4096 used=1 dirty=1 file_pos=1048576");

		// A segment that starts at the held bytes' end but would run past the buffer's
		// end starts afresh after a flush.
		for (kern::loff_t off = MB1; off < MB1 + 57344; off += 4096) {
			segment s;
			fill(s, off, 3);
			ASSERT_EQ(bvec_buffered_write(e.f(), &e.ub, &s.bv, off), 4096);
		}
		segment half(2048);
		fill(half, MB1 + 57344, 3);
		ASSERT_EQ(bvec_buffered_write(e.f(), &e.ub, &half.bv, MB1 + 57344), 2048);
		EXPECT_TRUE(e.rf.calls.empty());
		EXPECT_EQ(state(e.ub), "pos=63488 used=1 dirty=1 file_pos=1107968");
		segment over;
		fill(over, MB1 + 59392, 3);
		EXPECT_EQ(bvec_buffered_write(e.f(), &e.ub, &over.bv, MB1 + 59392), 4096);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{1, MB1 - 4096, 63488, 63488}}));
		EXPECT_EQ(state(e.ub), "pos=4096 used=1 dirty=1 file_pos=1112064");
		EXPECT_EQ(flush_ub(e.f(), &e.ub, 1), 4096);
		EXPECT_EQ(state(e.ub), "pos=0 used=0 dirty=0 file_pos=0");
		EXPECT_EQ(flush_ub(e.f(), &e.ub, 1), 0) << "nothing left to write";
	});
	EXPECT_TRUE(host_holds(0, 2048, 1));
	EXPECT_TRUE(host_holds(2048, 6144, 2));
	EXPECT_TRUE(host_holds(6144, 12288, 1));
	EXPECT_TRUE(host_holds(MB1 - 4096, MB1 + 63488, 3));
}

TEST_F(KfcTest, DirtyBytesAreReadBackFromTheBuffer)
{
	host_fill(MB1, 0);
	as_io_thread(KB64, [](io_env &e) {
		for (kern::loff_t off : {8192, 12288}) {
			segment s;
			fill(s, off, 1);
			ASSERT_EQ(bvec_buffered_write(e.f(), &e.ub, &s.bv, off), 4096);
		}
		segment page;
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &page.bv, 12288), 4096);
		EXPECT_TRUE(holds(page, 12288, 1));
		segment piece(1000, 100);
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &piece.bv, 8192 + 3000), 1000);
		EXPECT_TRUE(holds(piece, 8192 + 3000, 1));
		EXPECT_TRUE(e.rf.calls.empty());
		EXPECT_EQ(state(e.ub), "pos=8192 used=1 dirty=1 file_pos=16384");

		// Partly outside the held bytes: written out first, then read afresh.
		segment across;
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &across.bv, 14336), 4096);
		EXPECT_EQ(e.take_calls(),
			  (std::vector<file_call>{{1, 8192, 8192, 8192}, {0, 14336, KB64, KB64}}));
		EXPECT_EQ(state(e.ub), "pos=65536 used=0 dirty=0 file_pos=79872");
		EXPECT_TRUE(std::memcmp(across.data(), page.data() + 2048, 2048) == 0);
		segment tail(2048);
		std::memcpy(tail.data(), across.data() + 2048, 2048);
		EXPECT_TRUE(holds(tail, 16384, 0));
	});
	EXPECT_TRUE(host_holds(8192, 16384, 1));
	EXPECT_TRUE(host_holds(16384, MB1, 0));
}

TEST_F(KfcTest, ReadsOutsideTheWindowRefillTheWholeBuffer)
{
	host_fill(100000, 0);
	as_io_thread(KB64, [](io_env &e) {
		segment a;
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &a.bv, 8192), 4096);
		EXPECT_TRUE(holds(a, 8192, 0));
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{0, 8192, KB64, KB64}}));
		EXPECT_EQ(state(e.ub), "pos=65536 used=0 dirty=0 file_pos=73728");

		segment in(3000);
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &in.bv, 70000), 3000);
		EXPECT_TRUE(holds(in, 70000, 0));
		EXPECT_TRUE(e.rf.calls.empty());

		// A refill that stops at the end of the file is enough when it covers the segment.
		segment edge;
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &edge.bv, 72728), 4096);
		EXPECT_TRUE(holds(edge, 72728, 0));
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{0, 72728, KB64, 27272}}));
		EXPECT_EQ(state(e.ub), "pos=27272 used=0 dirty=0 file_pos=100000");

		// One that falls short of the segment fails.
		segment past;
		EXPECT_EQ(bvec_buffered_read(e.f(), &e.ub, &past.bv, 98000), -1);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{0, 98000, KB64, 2000}}));
		EXPECT_EQ(log_count("<3>zep: ERROR: An error occurred while reading from file: offset "
				    "98000, length 65536, got 2000, needed 4096"),
			  1);
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &past.bv, 98000), 0);
		EXPECT_EQ(log_count(READ_BUFFER_ERR), 1);
	});
}

TEST_F(KfcTest, AFailedRefillLeavesNothingStaleInTheBuffer)
{
	host_fill(2 * KB64, 0);
	as_io_thread(KB64, [this](io_env &e) {
		segment a;
		ASSERT_EQ(bvec_buffered_read(e.f(), &e.ub, &a.bv, 0), 4096);
		EXPECT_EQ(state(e.ub), "pos=65536 used=0 dirty=0 file_pos=65536");

		// The short read puts other file bytes at the buffer's start.
		fault_inject("file_read:" + path_, {0, 1, 0, 100});
		segment b;
		EXPECT_EQ(bvec_buffered_read(e.f(), &e.ub, &b.bv, KB64), -1);
		EXPECT_EQ(state(e.ub), "pos=0 used=0 dirty=0 file_pos=0");
		e.take_calls();

		segment again;
		EXPECT_EQ(bvec_buffered_read(e.f(), &e.ub, &again.bv, 0), 4096);
		EXPECT_TRUE(holds(again, 0, 0));
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{0, 0, KB64, KB64}}));
	});
}

TEST_F(KfcTest, AWriteIntoAnEmptyBufferIsKeptWhereverItsWindowWasLeft)
{
	as_io_thread(KB64, [](io_env &e) {
		// An empty read past the end of the file leaves an empty window at 8192.
		segment none(0);
		EXPECT_EQ(bvec_buffered_read(e.f(), &e.ub, &none.bv, 8192), 0);
		EXPECT_EQ(state(e.ub), "pos=0 used=0 dirty=0 file_pos=8192");
		e.take_calls();

		segment w;
		fill(w, 0, 1);
		EXPECT_EQ(bvec_buffered_write(e.f(), &e.ub, &w.bv, 0), 4096);
		EXPECT_EQ(state(e.ub), "pos=4096 used=1 dirty=1 file_pos=4096");
		EXPECT_EQ(flush_ub(e.f(), &e.ub, 1), 4096);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{1, 0, 4096, 4096}}));
	});
	EXPECT_TRUE(host_holds(0, 4096, 1));
}

TEST_F(KfcTest, FailedFlushesAreReportedAndGiveTheBytesUp)
{
	as_io_thread(KB64, [this](io_env &e) {
		fault_inject("file_write:" + path_, {0, 1, -ENOSPC});
		for (int i = 0; i < 15; i++) {
			segment s;
			fill(s, i * 4096, 1);
			ASSERT_EQ(bvec_to_file_f_op(WRITE, e.f(), &e.ub, &s.bv, i * 4096), 4096);
		}
		segment last;
		fill(last, 15 * 4096, 1);
		EXPECT_EQ(bvec_buffered_write(e.f(), &e.ub, &last.bv, 15 * 4096), -1);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{1, 0, KB64, -ENOSPC}}));
		EXPECT_EQ(log_count("<3>zep: ERROR: Out of space on file: offset 0, length 65536"), 1);
		EXPECT_EQ(state(e.ub), "pos=65536 used=1 dirty=0 file_pos=65536");
		EXPECT_EQ(flush_ub(e.f(), &e.ub, 0), 0) << "not written again";
		EXPECT_TRUE(e.rf.calls.empty());

		// A short flush for a write elsewhere fails that write before it is copied.
		segment first, far;
		fill(first, MB1, 4);
		fill(far, 2 * MB1, 4);
		ASSERT_EQ(bvec_to_file_f_op(WRITE, e.f(), &e.ub, &first.bv, MB1), 4096);
		EXPECT_EQ(state(e.ub), "pos=4096 used=1 dirty=1 file_pos=1052672");
		fault_inject("file_write:" + path_, {0, 1, 0, 100});
		EXPECT_EQ(bvec_to_file_f_op(WRITE, e.f(), &e.ub, &far.bv, 2 * MB1), 0);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{1, MB1, 4096, 100}}));
		EXPECT_EQ(log_count("<3>zep: ERROR: An error occurred while writing to file: offset "
				    "1048576, length 4096, got 100"),
			  1);
		EXPECT_EQ(log_count(WRITE_BUFFER_ERR), 1);
		EXPECT_EQ(state(e.ub), "pos=0 used=0 dirty=0 file_pos=0");
	});
	EXPECT_EQ(host_contents().size(), static_cast<size_t>(MB1 + 100)) << "only the short write landed";
	EXPECT_TRUE(host_holds(MB1, MB1 + 100, 4));
}

TEST_F(KfcTest, ANullFileIsReportedWithoutALineFeed)
{
	as_io_thread(KB64, [](io_env &e) {
		EXPECT_EQ(buf_to_file_f_op(1, nullptr, e.ub.addr, 0, 4096, 4096), 0);
		printk("\n");
		EXPECT_EQ(log_count(NO_FILE_ERR), 1);

		segment r;
		EXPECT_EQ(bvec_to_file_f_op(READ, nullptr, &e.ub, &r.bv, 0), 0);
		EXPECT_EQ(log_count(NO_FILE_ERR + READ_BUFFER_ERR), 1);

		for (int i = 0; i < 16; i++) {
			segment s;
			EXPECT_EQ(bvec_to_file_f_op(WRITE, nullptr, &e.ub, &s.bv, i * 4096), i < 15 ? 4096 : 0);
		}
		EXPECT_EQ(log_count(NO_FILE_ERR + WRITE_BUFFER_ERR), 1);
		EXPECT_EQ(state(e.ub), "pos=65536 used=1 dirty=0 file_pos=65536");
	});
}

TEST_F(KfcTest, EveryTransferOutcomeHasItsMessage)
{
	host_fill(8192, 0);
	as_io_thread(KB64, [this](io_env &e) {
		unsigned long b = e.ub.addr;
		const std::string rd = "file_read:" + path_, wr = "file_write:" + path_;

		// Whole, and short but enough: no message.
		EXPECT_EQ(buf_to_file_f_op(0, e.f(), b, 0, 4096, 4096), 4096);
		EXPECT_EQ(buf_to_file_f_op(0, e.f(), b, 6000, 4096, 1000), 2192);
		EXPECT_EQ(buf_to_file_f_op(1, e.f(), b, 8192, 4096, 4096), 4096);
		EXPECT_EQ(e.take_calls(), (std::vector<file_call>{{0, 0, 4096, 4096},
								   {0, 6000, 4096, 2192},
								   {1, 8192, 4096, 4096}}));
		size_t quiet = dmesg().size();

		e.rf.extra = 100;
		EXPECT_EQ(buf_to_file_f_op(0, e.f(), b, 0, 4096, 4096), 0);
		EXPECT_EQ(log_count("<3>zep: ERROR: An IO error occurred while reading from file: offset 0, "
				    "length 4096"),
			  1);
		EXPECT_EQ(log_count("<4>, needed 4096, got 4196"), 1);
		EXPECT_EQ(buf_to_file_f_op(1, e.f(), b, 0, 4096, 4096), 0);
		EXPECT_EQ(log_count("<3>zep: ERROR: An IO error occurred while writing to file: offset 0, "
				    "length 4096"),
			  1);
		// Nor is an over-long refill taken: the buffer would claim more than it holds.
		e.rf.extra = KB64;
		segment r;
		EXPECT_EQ(bvec_buffered_read(e.f(), &e.ub, &r.bv, 0), -1);
		EXPECT_EQ(state(e.ub), "pos=0 used=0 dirty=0 file_pos=0");
		EXPECT_EQ(log_count("<3>zep: ERROR: An IO error occurred while reading from file: offset 0, "
				    "length 65536"),
			  1);
		EXPECT_EQ(log_count("<4>, needed 4096, got 77824"), 1);
		e.rf.extra = 0;

		// Short and failed transfers, through the host file's fault points.
		struct {
			int rw;
			fault_spec fault;
			kern::loff_t pos;
			ssize_t need;
			const char *line;
		} rows[] = {
			{0, {0, 1, 0, 10}, 4096, 4096,
			 "An error occurred while reading from file: offset 4096, length 4096, got 10, needed 4096"},
			{0, {0, 1, -EIO}, 4096, 1,
			 "An error occurred while reading from file: offset 4096, length 4096, got -5, needed 1"},
			{1, {0, 1, -ENOSPC}, 5ll << 30, 4096,
			 "Out of space on file: offset 5368709120, length 4096"},
			{1, {0, 1, 0, 10}, 0, 4096,
			 "An error occurred while writing to file: offset 0, length 4096, got 10"},
			{1, {0, 1, -EIO}, 0, 4096,
			 "An error occurred while writing to file: offset 0, length 4096, got -5"},
		};
		for (auto &row : rows) {
			fault_inject(row.rw ? wr : rd, row.fault);
			EXPECT_EQ(buf_to_file_f_op(row.rw, e.f(), b, row.pos, 4096, row.need), 0) << row.line;
			EXPECT_EQ(log_count(std::string("<3>zep: ERROR: ") + row.line), 1) << row.line;
		}

		// A file without a read operation is not called.
		e.take_calls();
		e.rf.f->f_op = &write_only_fops;
		EXPECT_EQ(buf_to_file_f_op(0, e.f(), b, 0, 4096, 4096), 0);
		EXPECT_EQ(log_count("<3>zep: ERROR: An error occurred while reading from file: offset 0, "
				    "length 4096, got -22, needed 4096"),
			  1);
		EXPECT_TRUE(e.rf.calls.empty());
		e.rf.f->f_op = &recording_fops;

		segment s;
		EXPECT_EQ(bvec_to_file_f_op(2, e.f(), &e.ub, &s.bv, 0), 0);
		EXPECT_EQ(log_count("<3>zep: ERROR: I/O on file was not a READ or a WRITE!"), 1);
		EXPECT_EQ(dmesg().size(), quiet + 12) << "one line each, two for a read over-length";
	});
}

TEST_F(KfcTest, CopyFaultsLeaveTheBufferAsItWas)
{
	host_fill(8192, 0);
	as_io_thread(8192, [](io_env &e) {
		segment w;
		fill(w, 0, 1);
		ASSERT_EQ(bvec_buffered_write(e.f(), &e.ub, &w.bv, 0), 4096);
		ASSERT_EQ(sys_munmap(e.ub.addr + 4096, 4096), 0);
		segment w2;
		EXPECT_EQ(bvec_buffered_write(e.f(), &e.ub, &w2.bv, 4096), 0);
		EXPECT_EQ(log_count(copy_to_err(4096, e.ub.addr + 4096)), 1);
		EXPECT_EQ(state(e.ub), "pos=4096 used=1 dirty=1 file_pos=4096");
		EXPECT_TRUE(e.rf.calls.empty());
		EXPECT_EQ(flush_ub(e.f(), &e.ub, 1), 4096);

		// Held bytes whose memory went away.
		long m = sys_mmap(8192);
		ASSERT_GT(m, 0);
		user_buffer ub2{static_cast<unsigned long>(m), 8192, 0, 0, 0, 0};
		segment r;
		ASSERT_EQ(bvec_buffered_read(e.f(), &ub2, &r.bv, 0), 4096);
		EXPECT_TRUE(holds(r, 0, 1));
		ASSERT_EQ(sys_munmap(ub2.addr + 4096, 4096), 0);
		e.take_calls();
		EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &ub2, &r.bv, 4096), 0);
		EXPECT_EQ(log_count(copy_from_err(4096, ub2.addr + 4096)), 1);
		EXPECT_EQ(state(ub2), "pos=8192 used=0 dirty=0 file_pos=8192");
		EXPECT_TRUE(e.rf.calls.empty());

		// A buffer at an address never mapped.
		user_buffer none{0x1000, 8192, 0, 0, 0, 0};
		EXPECT_EQ(bvec_to_file_f_op(WRITE, e.f(), &none, &w.bv, 0), 0);
		EXPECT_EQ(log_count(copy_to_err(4096, 0x1000)), 1);
		EXPECT_EQ(state(none), "pos=0 used=0 dirty=0 file_pos=0");
		EXPECT_TRUE(e.rf.calls.empty());
	});
}

TEST_F(KfcTest, SegmentsTheBufferCannotHoldAreRefusedUntouched)
{
	constexpr size_t MAP = 4 * 4096;
	host_fill(KB64, 0);
	as_io_thread(2048, [](io_env &e) {
		std::vector<unsigned char> mark(MAP, 0xee);
		ASSERT_EQ(user_write(e.map, mark.data(), MAP), 0);

		// Part of a page, held dirty, stays as it is.
		segment small(1024);
		fill(small, 0, 1);
		ASSERT_EQ(bvec_buffered_write(e.f(), &e.ub, &small.bv, 0), 1024);
		for (int size : {2048, 0, -1}) {
			SCOPED_TRACE("buffer size " + std::to_string(size));
			e.ub.size = size;
			std::string before = state(e.ub);
			segment w, r;
			fill(w, 0, 2);
			EXPECT_EQ(bvec_to_file_f_op(WRITE, e.f(), &e.ub, &w.bv, 0), 0);
			EXPECT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &r.bv, 0), 0);
			EXPECT_EQ(populate_ub(e.f(), &e.ub, 0, 4096), -1);
			EXPECT_EQ(state(e.ub), before);
			EXPECT_TRUE(e.rf.calls.empty());
		}
		EXPECT_EQ(log_count(copy_to_err(4096, e.map)), 3);
		EXPECT_EQ(log_count(copy_from_err(4096, e.map)), 3);

		std::vector<unsigned char> now(MAP);
		ASSERT_EQ(user_read(e.map, now.data(), MAP), 0);
		EXPECT_TRUE(std::memcmp(now.data(), small.data(), 1024) == 0);
		EXPECT_TRUE(std::equal(now.begin() + 1024, now.end(), mark.begin() + 1024))
			<< "nothing written past the held bytes";

		e.ub.size = 2048;
		EXPECT_EQ(flush_ub(e.f(), &e.ub, 1), 1024);
	}, MAP);
	EXPECT_TRUE(host_holds(0, 1024, 1));
	EXPECT_TRUE(host_holds(1024, KB64, 0));
}

TEST_F(KfcTest, MixedSegmentsMatchTheFileByteForByte)
{
	constexpr kern::loff_t FILE_SIZE = 256 * 1024;
	host_fill(FILE_SIZE, 0);
	std::vector<unsigned char> model(FILE_SIZE);
	for (kern::loff_t i = 0; i < FILE_SIZE; i++)
		model[i] = pattern(i, 0);

	as_io_thread(16384, [&](io_env &e) {
		u32 seed = 12345;
		auto rnd = [&](u32 n) {
			seed = seed * 1103515245u + 12345u;
			return (seed >> 8) % n;
		};
		kern::loff_t next = 0;
		for (int op = 0; op < 600; op++) {
			unsigned len = 1 + rnd(4096);
			segment s(len, rnd(4096 - len + 1));
			kern::loff_t off = rnd(2) ? next : rnd(static_cast<u32>(FILE_SIZE - len + 1));
			if (off + len > FILE_SIZE)
				off = FILE_SIZE - len;
			if (rnd(5) < 3) {
				for (unsigned i = 0; i < len; i++)
					s.data()[i] = static_cast<unsigned char>(rnd(256));
				std::memcpy(&model[off], s.data(), len);
				ASSERT_EQ(bvec_to_file_f_op(WRITE, e.f(), &e.ub, &s.bv, off), static_cast<ssize_t>(len))
					<< "op " << op;
			} else {
				ASSERT_EQ(bvec_to_file_f_op(READ, e.f(), &e.ub, &s.bv, off), static_cast<ssize_t>(len))
					<< "op " << op;
				ASSERT_TRUE(std::memcmp(s.data(), &model[off], len) == 0) << "op " << op;
			}
			next = off + len;
		}
		EXPECT_GE(flush_ub(e.f(), &e.ub, 1), 0);
		EXPECT_FALSE(e.rf.calls.empty());
	});
	EXPECT_TRUE(host_contents() == model);
}

TEST_F(KfcTest, ClosingDropsTheReferenceUnlessTheFileHasNoDentry)
{
	host_fill(10, 0);
	EXPECT_EQ(in_process("cdpio", [this] {
			  int fd = sys_open(path_.c_str(), O_RDWR);
			  file *f = fget(fd);
			  if (!f)
				  return 1;
			  kernel_close_file(nullptr);
			  EXPECT_EQ(atomic_read(&f->f_count), 2);

			  dentry *d = f->f_dentry;
			  f->f_dentry = nullptr;
			  kernel_close_file(f);
			  EXPECT_EQ(log_count("<3>zep: ERROR: File had no dentry!"), 1);
			  EXPECT_EQ(atomic_read(&f->f_count), 2) << "not released";

			  f->f_dentry = d;
			  long open = files_open_count();
			  kernel_close_file(f);
			  EXPECT_EQ(atomic_read(&f->f_count), 1);
			  sys_close(fd);
			  EXPECT_EQ(files_open_count(), open - 1);
			  return 0;
		  }),
		  0);
}
