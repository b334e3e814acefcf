#include "kernel/mm/mm.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <unistd.h>

#include "kernel/core/faults.h"
#include "kernel/machine.h"
#include "kernel/core/printk.h"
#include "kernel/fs/fs.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;
using coretest::eventually;
using coretest::finish;
using coretest::start;

namespace {

class Mm : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		GTEST_FLAG_SET(death_test_style, "threadsafe");
		MachineTest::SetUp();
	}
};

bool has_problem(const halt_report &r, const std::string &needle)
{
	for (auto &p : r.problems)
		if (p.find(needle) != std::string::npos)
			return true;
	return false;
}

std::atomic<int> ctor_calls{0};
void count_ctor(void *obj, kmem_cache_t *, unsigned long)
{
	std::memset(obj, 0x5a, 8);
	ctor_calls++;
}

} // namespace

// ---------------------------------------------------------------- kmalloc

TEST_F(Mm, KmallocCountsAndZeroes)
{
	mm_usage base = mm_get_usage();
	long before = base.kmalloc_objects;
	char *p = static_cast<char *>(kzalloc(300, GFP_KERNEL));
	ASSERT_NE(p, nullptr);
	for (int i = 0; i < 300; i++)
		ASSERT_EQ(p[i], 0);
	EXPECT_EQ(mm_get_usage().kmalloc_objects, before + 1);
	EXPECT_EQ(mm_get_usage().kmalloc_bytes, base.kmalloc_bytes + 300);
	EXPECT_EQ(kmalloc(KMALLOC_MAX_SIZE + 1, GFP_KERNEL), nullptr);
	void *v = vmalloc(1 << 20);
	ASSERT_NE(v, nullptr);
	std::memset(v, 1, 1 << 20);
	EXPECT_EQ(mm_get_usage().vmalloc_objects, 1);
	EXPECT_EQ(mm_get_usage().vmalloc_bytes, base.vmalloc_bytes + (1 << 20));
	vfree(v);
	// A large area is kept for the next vmalloc of its size, and counted again when taken.
	EXPECT_EQ(vmalloc(1 << 20), v);
	EXPECT_EQ(mm_get_usage().vmalloc_bytes, base.vmalloc_bytes + (1 << 20));
	vfree(v);
	kfree(p);
	kfree(nullptr);
	EXPECT_EQ(mm_get_usage().kmalloc_objects, before);
	EXPECT_EQ(mm_get_usage().kmalloc_bytes, base.kmalloc_bytes);
	EXPECT_EQ(mm_get_usage().vmalloc_bytes, base.vmalloc_bytes);
}

TEST_F(Mm, DoubleFreeAndForeignPointersAreBugs)
{
	void *p = kmalloc(32, GFP_KERNEL);
	kfree(p);
	EXPECT_DEATH(kfree(p), "BUG: kfree: double free of 0x");
	void *v = vmalloc(64);
	EXPECT_DEATH(kfree(v), "BUG: kfree: bad pointer");
	vfree(v);
	int local = 0;
	EXPECT_DEATH(kfree(&local), "BUG: kfree: bad pointer");
	// A large area kept for reuse is still a freed one: freeing it again is a bug, and
	// reading it finds the poison (or AddressSanitizer reports the read).
	auto *big = static_cast<volatile unsigned char *>(vmalloc(1 << 20));
	vfree(const_cast<unsigned char *>(big));
	EXPECT_DEATH(vfree(const_cast<unsigned char *>(big)), "BUG: vfree: double free of 0x");
	EXPECT_DEATH(
		{
			if (big[100] == 0x6b)
				kernel_bug("read the poison");
		},
		"read the poison|use-after-poison");
	struct page *pg = alloc_page(GFP_KERNEL);
	__free_page(pg);
	// Kept for reuse it is a bug the kernel names; under AddressSanitizer it is gone.
	EXPECT_DEATH(__free_page(pg), "freed twice|heap-use-after-free");
}

TEST_F(Mm, HaltReportsUnfreedMemory)
{
	void *p = kmalloc(10, GFP_KERNEL);
	struct page *pg = alloc_pages(GFP_KERNEL, 1);
	halt_report r = halt_now();
	EXPECT_TRUE(has_problem(r, "1 kmalloc objects not freed"));
	EXPECT_TRUE(has_problem(r, "2 pages not freed"));
	kfree(p);
	__free_pages(pg, 1);
}

// ---------------------------------------------------------------- slab caches

TEST_F(Mm, SlabCacheCountsItsObjects)
{
	ctor_calls = 0;
	mm_usage base = mm_get_usage();
	kmem_cache_t *c = kmem_cache_create("zep_test", 100, 0, SLAB_HWCACHE_ALIGN, count_ctor, nullptr);
	ASSERT_NE(c, nullptr);
	EXPECT_STREQ(kmem_cache_name(c), "zep_test");
	EXPECT_EQ(kmem_cache_size(c), 100u);
	EXPECT_EQ(kmem_cache_find("zep_test"), c);
	EXPECT_EQ(kmem_cache_create("zep_test", 8, 0, 0, nullptr, nullptr), nullptr) << "duplicate name";

	void *objs[5];
	for (auto &o : objs) {
		o = kmem_cache_alloc(c, GFP_KERNEL);
		ASSERT_NE(o, nullptr);
		EXPECT_EQ(reinterpret_cast<uintptr_t>(o) % L1_CACHE_BYTES, 0u);
		EXPECT_EQ(static_cast<unsigned char *>(o)[0], 0x5a);
	}
	EXPECT_EQ(ctor_calls, 5);
	EXPECT_EQ(kmem_cache_objects(c), 5);
	// Other layers keep caches of their own (bios): count relative to them.
	mm_usage u = mm_get_usage();
	EXPECT_EQ(u.caches, base.caches + 1);
	EXPECT_EQ(u.cache_objects, base.cache_objects + 5);
	EXPECT_EQ(u.cache_bytes, base.cache_bytes + 5 * 100);
	for (auto &o : objs)
		kmem_cache_free(c, o);
	EXPECT_EQ(kmem_cache_objects(c), 0);
	EXPECT_EQ(kmem_cache_destroy(c), 0);
	EXPECT_EQ(kmem_cache_find("zep_test"), nullptr);
}

TEST_F(Mm, DestroyingACacheWithObjectsLeftFailsAndHaltReportsIt)
{
	kmem_cache_t *c = kmem_cache_create("zep_leaky", 64, 0, 0, nullptr, nullptr);
	ASSERT_NE(c, nullptr);
	void *o = kmem_cache_alloc(c, GFP_KERNEL);
	EXPECT_EQ(kmem_cache_destroy(c), 1);
	EXPECT_TRUE(zeptest::dmesg_has(
		"slab error in kmem_cache_destroy(): cache `zep_leaky': Can't free all objects"));
	EXPECT_EQ(kmem_cache_find("zep_leaky"), c) << "the cache must stay in place";

	halt_report r = halt_now();
	EXPECT_TRUE(has_problem(r, "slab cache `zep_leaky' not destroyed, 1 objects left"));
	EXPECT_TRUE(zeptest::dmesg_has("halt: slab cache `zep_leaky'"));
	// Tidy up so that later tests start clean.
	kmem_cache_free(c, o);
	EXPECT_EQ(kmem_cache_destroy(c), 0);
}

TEST_F(Mm, FaultInjectedCacheCreationAndAllocation)
{
	fault_inject("kmem_cache_create:zep_doomed");
	EXPECT_EQ(kmem_cache_create("zep_doomed", 32, 0, 0, nullptr, nullptr), nullptr);
	EXPECT_EQ(fault_count("kmem_cache_create:zep_doomed"), 1);
	kmem_cache_t *c = kmem_cache_create("zep_fine", 32, 0, 0, nullptr, nullptr);
	ASSERT_NE(c, nullptr) << "a fault on one name must not hit another";

	// Fail the second allocation only.
	fault_inject("kmem_cache_alloc:zep_fine", {1, 1});
	void *a = kmem_cache_alloc(c, GFP_KERNEL);
	void *b = kmem_cache_alloc(c, GFP_KERNEL);
	void *d = kmem_cache_alloc(c, GFP_KERNEL);
	EXPECT_NE(a, nullptr);
	EXPECT_EQ(b, nullptr);
	EXPECT_NE(d, nullptr);
	EXPECT_EQ(kmem_cache_objects(c), 2);
	kmem_cache_free(c, a);
	kmem_cache_free(c, d);
	EXPECT_EQ(kmem_cache_destroy(c), 0);
	fault_clear("kmem_cache_create:zep_doomed");
	c = kmem_cache_create("zep_doomed", 32, 0, 0, nullptr, nullptr);
	EXPECT_NE(c, nullptr);
	kmem_cache_destroy(c);
}

TEST_F(Mm, SiteFaultPointsHitOneCallSite)
{
	auto alloc_here = [] { return kmalloc(16, GFP_KERNEL); };	// this line is the site
	const int site_line = __LINE__ - 1;
	fault_inject("site:mm_test.cpp:" + std::to_string(site_line));
	EXPECT_EQ(alloc_here(), nullptr);
	void *elsewhere = kmalloc(16, GFP_KERNEL);
	EXPECT_NE(elsewhere, nullptr);
	kfree(elsewhere);
	fault_clear_all();
	void *p = alloc_here();
	EXPECT_NE(p, nullptr);
	kfree(p);
}

// ---------------------------------------------------------------- memory pools

// A slower clock, so that the pool's periodic retry (every 5 virtual seconds) is far
// apart in real time from a wake-up by mempool_free.
class MempoolTest : public zeptest::MachineTest {
protected:
	double clock_speed() const override { return 2.0; }
};

TEST_F(MempoolTest, ReserveServesWhenTheAllocatorFailsAndFreeWakesAWaiter)
{
	kmem_cache_t *c = kmem_cache_create("zep_pool", 128, 0, 0, nullptr, nullptr);
	ASSERT_NE(c, nullptr);
	mempool_t *pool = mempool_create(2, mempool_alloc_slab, mempool_free_slab, c);
	ASSERT_NE(pool, nullptr);
	EXPECT_EQ(kmem_cache_objects(c), 2);	// the reserve is allocated up front

	// Plenty of memory: the allocator serves, the reserve stays full.
	void *x = mempool_alloc(pool, GFP_NOIO);
	EXPECT_EQ(kmem_cache_objects(c), 3);
	mempool_free(x, pool);	// reserve full: goes back to the cache
	EXPECT_EQ(kmem_cache_objects(c), 2);

	fault_inject("kmem_cache_alloc:zep_pool");
	void *a = mempool_alloc(pool, GFP_NOIO);
	void *b = mempool_alloc(pool, GFP_NOIO);
	ASSERT_NE(a, nullptr);
	ASSERT_NE(b, nullptr);
	EXPECT_GE(fault_count("kmem_cache_alloc:zep_pool"), 2);
	EXPECT_EQ(mempool_alloc(pool, GFP_ATOMIC), nullptr) << "reserve empty: atomic must fail";

	std::atomic<unsigned long> waited{0};
	std::atomic<void *> got{nullptr};
	task_struct *t = start("pool_waiter", [&] {
		unsigned long j0 = jiffies;
		got = mempool_alloc(pool, GFP_NOIO);
		waited = jiffies - j0;
		return 0;
	});
	ASSERT_TRUE(eventually([&] { return coretest::sleeping(t, TASK_UNINTERRUPTIBLE); }));
	void *freed = a;
	mempool_free(a, pool);
	finish(t);
	EXPECT_EQ(got.load(), freed);
	EXPECT_LT(waited.load(), 4 * HZ) << "woken by the periodic retry, not by mempool_free";

	fault_clear_all();
	mempool_free(got, pool);
	mempool_free(b, pool);
	mempool_destroy(pool);
	EXPECT_EQ(kmem_cache_objects(c), 0);
	EXPECT_EQ(kmem_cache_destroy(c), 0);
}

// Tasks, address spaces and open files come from caches of their own: halt counts what
// is left of them, and fault injection fails their creation cleanly.
TEST_F(Mm, TasksAddressSpacesAndFilesComeFromSlabCaches)
{
	kmem_cache_t *tasks = kmem_cache_find("task_struct");
	kmem_cache_t *mms = kmem_cache_find("mm_struct");
	kmem_cache_t *filps = kmem_cache_find("filp");
	ASSERT_TRUE(tasks && mms && filps);
	auto counts = [&] {
		return std::vector<long>{kmem_cache_objects(tasks), kmem_cache_objects(mms),
					 kmem_cache_objects(filps)};
	};
	const std::vector<long> base = counts();
	EXPECT_EQ(base[0], 1) << "init";
	std::string path = "/tmp/zep_mm_filp_" + std::to_string(::getpid());
	file *f = filp_open(path.c_str(), O_RDWR | O_CREAT, 0600);
	ASSERT_FALSE(IS_ERR(f));
	// A process counts its task and address space, this thread's open file its filp.
	std::vector<long> more{base[0] + 1, base[1] + 1, base[2] + 1};
	EXPECT_EQ(waitpid(spawn("counted", [&] { return counts() == more ? 0 : 1; })), 0);

	fault_inject("kmem_cache_alloc:task_struct", {0, 2});
	EXPECT_EQ(spawn("never", [] { return 0; }), -ENOMEM);
	EXPECT_EQ(kernel_thread([](void *) { return 0; }, nullptr, 0), -ENOMEM);
	fault_inject("kmem_cache_alloc:mm_struct", {0, 1});
	EXPECT_EQ(spawn("never", [] { return 0; }), -ENOMEM);
	fault_inject("kmem_cache_alloc:filp", {0, 2});
	EXPECT_EQ(PTR_ERR(filp_open(path.c_str(), O_RDWR, 0)), -ENFILE);
	// An open that cannot have its file structure creates nothing.
	std::string created = path + ".new";
	EXPECT_EQ(PTR_ERR(filp_open(created.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600)), -ENFILE);
	EXPECT_FALSE(std::filesystem::exists(created));
	fput(f);
	std::remove(path.c_str());
	EXPECT_EQ(counts(), base);
}

// ---------------------------------------------------------------- pages

TEST_F(Mm, PagesAreCountedAndMapped)
{
	long before = mm_get_usage().pages;
	struct page *pg = alloc_pages(GFP_KERNEL, 2);
	ASSERT_NE(pg, nullptr);
	EXPECT_EQ(mm_get_usage().pages, before + 4);
	char *addr = static_cast<char *>(page_address(pg));
	EXPECT_EQ(reinterpret_cast<uintptr_t>(addr) % PAGE_SIZE, 0u);
	EXPECT_EQ(virt_to_page(addr + 100), pg);
	EXPECT_EQ(virt_to_page(addr + 3 * PAGE_SIZE), pg + 3);
	EXPECT_EQ(page_to_pfn(pg + 1), page_to_pfn(pg) + 1);
	std::memset(addr, 0xab, 4 * PAGE_SIZE);

	get_page(pg);
	EXPECT_EQ(page_count(pg), 2);
	__free_pages(pg, 2);	// drops a reference only
	EXPECT_EQ(mm_get_usage().pages, before + 4);
	__free_pages(pg, 2);
	EXPECT_EQ(mm_get_usage().pages, before);

	unsigned long z = get_zeroed_page(GFP_KERNEL);
	ASSERT_NE(z, 0ul);
	for (unsigned long i = 0; i < PAGE_SIZE; i++)
		ASSERT_EQ(reinterpret_cast<char *>(z)[i], 0);
	EXPECT_EQ(mm_get_usage().pages, before + 1);
	free_page(z);
	EXPECT_EQ(mm_get_usage().pages, before);

	// A freed page is no page to anyone, even while it is kept for reuse; a reused one comes
	// back as new, and zeroed when asked even though it held data.
	struct page *one = alloc_page(GFP_KERNEL);
	ASSERT_NE(one, nullptr);
	void *was = page_address(one);
	std::memset(was, 0xcd, PAGE_SIZE);
	set_page_private(one, 7);
	__free_page(one);
	EXPECT_EQ(virt_to_page(was), nullptr);
	unsigned long again = get_zeroed_page(GFP_KERNEL);
	ASSERT_NE(again, 0ul);
	struct page *back = virt_to_page(reinterpret_cast<void *>(again));
	ASSERT_NE(back, nullptr);
	EXPECT_EQ(page_count(back), 1);
	EXPECT_EQ(page_private(back), 0ul);
	for (unsigned long i = 0; i < PAGE_SIZE; i++)
		ASSERT_EQ(reinterpret_cast<char *>(again)[i], 0);
	free_page(again);
	EXPECT_EQ(mm_get_usage().pages, before);

	fault_inject("alloc_pages", {0, 1});
	EXPECT_EQ(alloc_page(GFP_KERNEL), nullptr);
	struct page *ok = alloc_page(GFP_KERNEL);
	EXPECT_NE(ok, nullptr);
	put_page(ok);
	EXPECT_EQ(mm_get_usage().pages, before);
}

TEST_F(Mm, PageStateCounters)
{
	page_state ps;
	get_page_state(&ps);
	unsigned long dirty = ps.nr_dirty;
	inc_page_state(nr_dirty);
	inc_page_state(nr_dirty);
	dec_page_state(nr_dirty);
	add_page_state(pgpgout, 8);
	get_page_state(&ps);
	EXPECT_EQ(ps.nr_dirty, dirty + 1);
	EXPECT_EQ(ps.pgpgout, 8u);
	EXPECT_FALSE(irqs_disabled()) << "the counter update must restore interrupts";
}

TEST_F(Mm, RacingPutPageFreesEachPageExactlyOnce)
{
	// Two holders drop the same page at the same moment, page after page in lock step;
	// rounds go on for a second, so that the threads surely share the processors.
	constexpr int N = 2000;
	long before = mm_get_usage().pages;
	std::vector<struct page *> pages(N);
	auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
	for (int round = 0; std::chrono::steady_clock::now() < end; round++) {
		for (auto &p : pages)
			get_page(p = alloc_page(GFP_KERNEL));
		std::atomic<int> arrived{0};
		auto drop = [&] {
			for (int i = 0; i < N; i++) {
				arrived++;
				for (int spin = 1; arrived < 2 * (i + 1); spin++)
					if (spin % 4096 == 0)
						std::this_thread::yield();	// the other is off the processor
				put_page(pages[i]);
			}
		};
		std::thread a(drop), b(drop);
		a.join();
		b.join();
		ASSERT_EQ(mm_get_usage().pages, before) << "round " << round;
	}
}
