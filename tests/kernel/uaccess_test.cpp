// User address spaces: faults and zero-fill at the edge of a mapping, the address limit
// under USER_DS and KERNEL_DS, separation between processes, partial munmap, read-only pages.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include <sys/mman.h>

#include "kernel/core/faults.h"
#include "kernel/mm/mm.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/spinlock.h"
#include "kernel/syscalls.h"
#include "kernel/mm/uaccess.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

class UserMemory : public zeptest::MachineTest {};

// Runs body in a new process and returns its exit code.
static int in_process(std::function<int()> body) { return waitpid(spawn("umem", std::move(body))); }

TEST_F(UserMemory, CopyOverHalfMappedRangeStopsAtTheFaultAndZeroFills)
{
	int rc = in_process([] {
		long addr = sys_mmap(PAGE_SIZE);
		if (addr <= 0)
			return 1;
		std::vector<char> pattern(PAGE_SIZE);
		for (size_t i = 0; i < pattern.size(); i++)
			pattern[i] = static_cast<char>(i * 7 + 1);
		if (user_write(addr, pattern.data(), pattern.size()))
			return 2;

		// The last 100 bytes of the page, then 200 bytes of the unmapped guard page.
		unsigned long at = addr + PAGE_SIZE - 100;
		std::array<char, 300> buf;
		buf.fill('\xAA');
		if (copy_from_user(buf.data(), uptr(at), buf.size()) != 200)
			return 3;
		if (std::memcmp(buf.data(), pattern.data() + PAGE_SIZE - 100, 100))
			return 4;
		for (size_t i = 100; i < buf.size(); i++)
			if (buf[i] != 0)
				return 5;

		// The other way round: the mapped part is written, the rest reported.
		std::array<char, 300> src;
		src.fill('z');
		if (copy_to_user(uptr(at), src.data(), src.size()) != 200)
			return 6;
		char tail[100];
		if (user_read(at, tail, sizeof(tail)) || std::memcmp(tail, src.data(), sizeof(tail)))
			return 7;
		// A range that starts unmapped copies nothing.
		if (copy_from_user(buf.data(), uptr(addr + PAGE_SIZE), 10) != 10)
			return 8;
		if (user_read(addr + PAGE_SIZE, tail, 1) != -EFAULT || user_write(0, tail, 1) != -EFAULT)
			return 9;
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(UserMemory, TaskSizeFaultsUnderUserDsButKernelDsReachesHostAndUserMemory)
{
	int rc = in_process([] {
		long addr = sys_mmap(PAGE_SIZE);
		const char msg[] = "in user space";
		if (addr <= 0 || user_write(addr, msg, sizeof(msg)))
			return 1;
		u32 v = 0;
		char buf[16] = {};
		if (copy_from_user(buf, uptr(TASK_SIZE), 4) != 4 || get_user_u32(&v, uptr(TASK_SIZE)) != -EFAULT)
			return 2;
		if (access_ok(VERIFY_READ, uptr(TASK_SIZE - 4), 8) || !access_ok(VERIFY_READ, uptr(TASK_SIZE - 4), 4))
			return 3;
		// A kernel (host) pointer is not a user address under USER_DS.
		u32 host_word = 0x12345678;
		if (get_user_u32(&v, &host_word) != -EFAULT)
			return 4;

		mm_segment_t old = get_fs();
		set_fs(KERNEL_DS);
		int r = 0;
		if (get_user_u32(&v, &host_word) || v != 0x12345678)
			r = 5;
		else if (put_user_u32(0xcafe, &host_word) || host_word != 0xcafe)
			r = 6;
		else if (copy_from_user(buf, uptr(addr), sizeof(msg)) || std::strcmp(buf, msg))
			r = 7;	// a user address still resolves in this process's space
		else if (copy_from_user(buf, uptr(addr + PAGE_SIZE), 1) != 1)
			r = 8;	// and an unmapped one still faults
		set_fs(old);
		return r;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(UserMemory, KernelDsTakesOnlyRealHostAddressesAsKernelMemory)
{
	// Host memory right at TASK_SIZE: under KERNEL_DS an address there is still a 32-bit
	// one, in no user mapping, and must fault instead of reaching it.
	auto *host = static_cast<char *>(::mmap(reinterpret_cast<void *>(TASK_SIZE), PAGE_SIZE,
						 PROT_READ | PROT_WRITE,
						 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0));
	if (host != reinterpret_cast<char *>(TASK_SIZE))
		GTEST_SKIP() << "the host gives no memory at TASK_SIZE";
	int rc = in_process([] {
		char src[32] = "from a file";
		mm_segment_t old = get_fs();
		set_fs(KERNEL_DS);
		// Inside the range, and straddling its start from unmapped user space.
		int r = copy_to_user(uptr(TASK_SIZE + 64), src, 32) != 32 ||
			copy_to_user(uptr(TASK_SIZE - 16), src, 32) != 32;
		set_fs(old);
		return r;
	});
	bool untouched = std::all_of(host, host + PAGE_SIZE, [](char c) { return c == 0; });
	::munmap(host, PAGE_SIZE);
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(untouched) << "a 32-bit address under KERNEL_DS reached host memory";
}

TEST_F(UserMemory, TwoProcessesHaveSeparateSpaces)
{
	DECLARE_COMPLETION(a_wrote);
	DECLARE_COMPLETION(b_wrote);
	unsigned long addr_a = 0, addr_b = 0;
	auto body = [](char fill, unsigned long *addr, completion *mine, completion *other) {
		return [=] {
			long a = sys_mmap(2 * PAGE_SIZE);
			if (a <= 0)
				return 1;
			*addr = static_cast<unsigned long>(a);
			std::vector<char> data(2 * PAGE_SIZE, fill);
			if (user_write(a, data.data(), data.size()))
				return 2;
			complete(mine);
			wait_for_completion(other);	// the other one has written its own
			std::vector<char> back(data.size());
			if (user_read(a, back.data(), back.size()) || back != data)
				return 3;
			return 0;
		};
	};
	pid_t a = spawn("proc-a", body('a', &addr_a, &a_wrote, &b_wrote));
	pid_t b = spawn("proc-b", body('b', &addr_b, &b_wrote, &a_wrote));
	EXPECT_EQ(waitpid(a), 0);
	EXPECT_EQ(waitpid(b), 0);
	EXPECT_EQ(addr_a, addr_b);	// same address, different memory
	EXPECT_GE(addr_a, MMAP_BASE);
}

TEST_F(UserMemory, MunmapOfTheMiddleKeepsBothEnds)
{
	int rc = in_process([] {
		long a = sys_mmap(3 * PAGE_SIZE);
		if (a <= 0)
			return 1;
		std::vector<char> data(3 * PAGE_SIZE);
		for (size_t i = 0; i < data.size(); i++)
			data[i] = static_cast<char>(i / PAGE_SIZE + 'x');
		user_write(a, data.data(), data.size());
		if (sys_munmap(a + PAGE_SIZE + 1, PAGE_SIZE) != -EINVAL)
			return 2;	// unaligned
		if (sys_munmap(a + PAGE_SIZE, 10) != 0)
			return 3;	// rounded up to the page
		mm_struct *mm = get_current()->mm;
		if (mm_mapped_bytes(mm) != 2 * PAGE_SIZE)
			return 4;
		char c;
		if (user_read(a + PAGE_SIZE, &c, 1) != -EFAULT)
			return 5;
		if (user_read(a, &c, 1) || c != 'x' || user_read(a + 2 * PAGE_SIZE + 5, &c, 1) || c != 'z')
			return 6;
		// A new mapping does not land inside the hole (guard pages around it) and the
		// ends are untouched by it.
		long b = sys_mmap(PAGE_SIZE);
		if (b <= 0 || (b >= a && b < a + 3 * static_cast<long>(PAGE_SIZE)))
			return 7;
		if (sys_munmap(a, 3 * PAGE_SIZE) || mm_mapped_bytes(mm) != PAGE_SIZE)
			return 8;
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

// mprotect: read-only pages are read and not written, a copy into a range stops at the
// first of them, protection follows page edges inside one mapping and survives an munmap
// of the middle, and a range with a hole is refused without any change.
TEST_F(UserMemory, ReadOnlyPagesAreReadButNotWritten)
{
	int rc = in_process([] {
		long m = sys_mmap(3 * PAGE_SIZE);
		std::vector<char> data(3 * PAGE_SIZE, 'r'), got(data.size());
		if (m <= 0 || user_write(m, data.data(), data.size()))
			return 1;
		unsigned long a = static_cast<unsigned long>(m);
		if (sys_mprotect(a + PAGE_SIZE, PAGE_SIZE, PROT_READ))
			return 2;
		if (copy_from_user(got.data(), uptr(a), got.size()) || got != data)
			return 3;
		if (copy_to_user(uptr(a + PAGE_SIZE - 10), data.data(), 20) != 10 ||
		    user_write(a + 2 * PAGE_SIZE, "w", 1) || user_write(a + PAGE_SIZE + 5, "w", 1) != -EFAULT)
			return 4;
		if (sys_mprotect(a, 4 * PAGE_SIZE, PROT_READ) != -ENOMEM || user_write(a, "w", 1) ||
		    sys_mprotect(a + 1, 1, PROT_READ) != -EINVAL)
			return 5;
		if (sys_mprotect(a + PAGE_SIZE, PAGE_SIZE, PROT_READ | PROT_WRITE) || user_write(a + PAGE_SIZE, "w", 1))
			return 6;
		if (sys_mprotect(a, 3 * PAGE_SIZE, PROT_READ) || sys_munmap(a + PAGE_SIZE, PAGE_SIZE) ||
		    user_write(a, "w", 1) != -EFAULT || user_write(a + 2 * PAGE_SIZE, "w", 1) != -EFAULT ||
		    user_read(a + 2 * PAGE_SIZE, got.data(), 1))
			return 7;
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(UserMemory, StringsAndWordsFromUserSpace)
{
	int rc = in_process([] {
		long a = sys_mmap(PAGE_SIZE);
		const char s[] = "cdp-io-thread";
		user_write(a, s, sizeof(s));
		char buf[64];
		if (strncpy_from_user(buf, static_cast<const char *>(uptr(a)), sizeof(buf)) != 13 ||
		    std::strcmp(buf, s))
			return 1;
		if (strncpy_from_user(buf, static_cast<const char *>(uptr(a)), 4) != 4)
			return 2;	// no terminator within count
		// A string running into the guard page without a terminator faults.
		std::vector<char> no_nul(16, 'q');
		user_write(a + PAGE_SIZE - 16, no_nul.data(), 16);
		if (strncpy_from_user(buf, static_cast<const char *>(uptr(a + PAGE_SIZE - 16)), 64) != -EFAULT)
			return 3;
		if (put_user_u32(0xdeadbeef, uptr(a + 8)))
			return 4;
		u32 v = 0;
		if (get_user_u32(&v, uptr(a + 8)) || v != 0xdeadbeef)
			return 5;
		if (clear_user(uptr(a + PAGE_SIZE - 2), 4) != 2 || get_user_u32(&v, uptr(a + 8)) || v != 0xdeadbeef)
			return 6;
		if (clear_user(uptr(a), 12) || get_user_u32(&v, uptr(a + 8)) || v != 0)
			return 7;
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

struct kthread_probe {
	unsigned long not_copied = 0;
	bool had_mm = true;
	completion done;
};

static int kthread_touches_user(void *arg)
{
	auto *p = static_cast<kthread_probe *>(arg);
	char buf[8];
	p->not_copied = copy_from_user(buf, uptr(MMAP_BASE), sizeof(buf));
	p->had_mm = get_current()->mm != nullptr;
	complete(&p->done);
	return 0;
}

TEST_F(UserMemory, KernelThreadFaultsOnUserAddressesAndMmapFailureIsReported)
{
	kthread_probe probe;
	init_completion(&probe.done);
	int rc = in_process([&probe] {
		if (sys_mmap(PAGE_SIZE) != static_cast<long>(MMAP_BASE))
			return 1;	// the parent has a mapping at the address the thread tries
		if (kernel_thread(kthread_touches_user, &probe, 0) <= 0)
			return 2;
		wait_for_completion(&probe.done);
		fault_inject("vmalloc", {0, 1});
		return sys_mmap(PAGE_SIZE) == -ENOMEM ? 0 : 3;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(probe.not_copied, 8u);
	EXPECT_FALSE(probe.had_mm);
	EXPECT_EQ(in_process([] { return sys_mmap(0) == -EINVAL && sys_mmap(TASK_SIZE) == -ENOMEM ? 0 : 1; }), 0);
}

TEST_F(UserMemory, CopyWhileHoldingASpinlockIsABugNamingTheCaller)
{
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	spinlock_t held;
	spin_lock_init(&held);
	EXPECT_DEATH(
		{
			char b[4];
			spin_lock(&held);
			copy_from_user(b, uptr(MMAP_BASE), sizeof(b));
		},
		"BUG: sleeping function called from invalid context at .*uaccess_test.cpp");
}
