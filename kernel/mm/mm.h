// Memory: kmalloc, vmalloc, slab caches, memory pools, pages and their mapping.
//
// Every allocator counts what it hands out so that halt can report leaks, takes the
// sleeping rule into account (an allocation that may wait counts as sleeping) and can
// be made to fail by fault injection (see faults.h for the point names).
#pragma once

#include <atomic>
#include "kernel/lib/srcloc.h"
#include <string>
#include <vector>

#include "kernel/lib/atomic.h"
#include "kernel/lib/list.h"
#include "kernel/locking/wait.h"
#include "kernel/lib/types.h"

namespace kern {

// GFP flags (2.6.9 values)
enum : gfp_t {
	__GFP_DMA = 0x01,
	__GFP_HIGHMEM = 0x02,
	__GFP_WAIT = 0x10,
	__GFP_HIGH = 0x20,
	__GFP_IO = 0x40,
	__GFP_FS = 0x80,
	__GFP_COLD = 0x100,
	__GFP_NOWARN = 0x200,
	__GFP_REPEAT = 0x400,
	__GFP_NOFAIL = 0x800,
	__GFP_NORETRY = 0x1000,
	__GFP_NO_GROW = 0x2000,
	__GFP_COMP = 0x4000,
	__GFP_ZERO = 0x8000,	// (later kernels) zero the memory

	GFP_ATOMIC = __GFP_HIGH,
	GFP_NOIO = __GFP_WAIT,
	GFP_NOFS = __GFP_WAIT | __GFP_IO,
	GFP_KERNEL = __GFP_WAIT | __GFP_IO | __GFP_FS,
	GFP_USER = __GFP_WAIT | __GFP_IO | __GFP_FS,
	GFP_HIGHUSER = __GFP_WAIT | __GFP_IO | __GFP_FS | __GFP_HIGHMEM,
};

constexpr size_t KMALLOC_MAX_SIZE = 131072;

void *kmalloc(size_t size, gfp_t flags, kern::source_location loc = kern::source_location::current());
void *kzalloc(size_t size, gfp_t flags, kern::source_location loc = kern::source_location::current());
void kfree(const void *p);
void *vmalloc(unsigned long size, kern::source_location loc = kern::source_location::current());
void vfree(void *p);

// ---- slab caches ----
enum : unsigned long {
	SLAB_HWCACHE_ALIGN = 0x00002000,
	SLAB_CACHE_DMA = 0x00004000,
	SLAB_PANIC = 0x00040000,
};
constexpr size_t L1_CACHE_BYTES = 64;

struct kmem_cache_s;
using kmem_cache_t = kmem_cache_s;
using kmem_ctor_t = void (*)(void *, kmem_cache_t *, unsigned long);

kmem_cache_t *kmem_cache_create(const char *name, size_t size, size_t offset, unsigned long flags,
				kmem_ctor_t ctor, kmem_ctor_t dtor,
				kern::source_location loc = kern::source_location::current());
// 0 when destroyed; 1 (and the cache left in place) when objects are still allocated.
int kmem_cache_destroy(kmem_cache_t *c);
void *kmem_cache_alloc(kmem_cache_t *c, gfp_t flags,
		       kern::source_location loc = kern::source_location::current());
void kmem_cache_free(kmem_cache_t *c, void *obj);
const char *kmem_cache_name(kmem_cache_t *c);
size_t kmem_cache_size(kmem_cache_t *c);
long kmem_cache_objects(kmem_cache_t *c);	// objects allocated now
kmem_cache_t *kmem_cache_find(const std::string &name);	// live cache by name

// ---- memory pools ----
using mempool_alloc_t = void *(*)(gfp_t gfp_mask, void *pool_data);
using mempool_free_t = void (*)(void *element, void *pool_data);
struct mempool_s {
	raw_spinlock_t lock;
	int min_nr;
	int curr_nr;
	void **elements;
	void *pool_data;
	mempool_alloc_t alloc;
	mempool_free_t free;
	wait_queue_head_t wait;
};
using mempool_t = mempool_s;
mempool_t *mempool_create(int min_nr, mempool_alloc_t alloc_fn, mempool_free_t free_fn,
			  void *pool_data, kern::source_location loc = kern::source_location::current());
void mempool_destroy(mempool_t *pool);
void *mempool_alloc(mempool_t *pool, gfp_t gfp_mask,
		    kern::source_location loc = kern::source_location::current());
void mempool_free(void *element, mempool_t *pool);
void *mempool_alloc_slab(gfp_t gfp_mask, void *pool_data);
void mempool_free_slab(void *element, void *pool_data);

// ---- pages ----
enum : unsigned long {
	PG_locked = 0,
	PG_error = 1,
	PG_referenced = 2,
	PG_uptodate = 3,
	PG_dirty = 4,
	PG_lru = 5,
	PG_active = 6,
	PG_slab = 7,
	PG_highmem = 8,
	PG_checked = 9,
	PG_arch_1 = 10,
	PG_reserved = 11,
	PG_private = 12,
	PG_writeback = 13,
	PG_nosave = 14,
	PG_compound = 15,
};

struct page {
	std::atomic<unsigned long> flags;
	atomic_t _count;
	unsigned long private_;	// the kernel's `private` word (a keyword here)
	unsigned long index;
	list_head lru;
	void *virtual_;
	unsigned long pfn;	// physical frame number: distinct and ordered like real memory
	unsigned order;		// set on the first page of a block
	bool cached;		// freed and kept for reuse: no page to anyone (under the mm lock)
};

struct page *alloc_pages(gfp_t gfp_mask, unsigned order,
			 kern::source_location loc = kern::source_location::current());
inline struct page *alloc_page(gfp_t gfp_mask,
			       kern::source_location loc = kern::source_location::current())
{
	return alloc_pages(gfp_mask, 0, loc);
}
// The 2.6.9 signature; the zone list is not used here.
struct page *__alloc_pages(gfp_t gfp_mask, unsigned order, void *zonelist,
			   kern::source_location loc = kern::source_location::current());
void __free_pages(struct page *page, unsigned order);
inline void __free_page(struct page *p) { __free_pages(p, 0); }
unsigned long __get_free_pages(gfp_t gfp_mask, unsigned order,
			       kern::source_location loc = kern::source_location::current());
inline unsigned long __get_free_page(gfp_t gfp_mask,
				     kern::source_location loc = kern::source_location::current())
{
	return __get_free_pages(gfp_mask, 0, loc);
}
unsigned long get_zeroed_page(gfp_t gfp_mask, kern::source_location loc = kern::source_location::current());
void free_pages(unsigned long addr, unsigned order);
inline void free_page(unsigned long addr) { free_pages(addr, 0); }
struct page *virt_to_page(const void *addr);
inline void *page_address(const struct page *p) { return p->virtual_; }
inline unsigned long page_to_pfn(const struct page *p) { return p->pfn; }
inline u64 page_to_phys(const struct page *p) { return static_cast<u64>(p->pfn) << PAGE_SHIFT; }
inline unsigned long page_private(const struct page *p) { return p->private_; }
inline void set_page_private(struct page *p, unsigned long v) { p->private_ = v; }
void get_page(struct page *p);
void put_page(struct page *p);
inline int page_count(struct page *p) { return atomic_read(&p->_count); }

inline void SetPageFlag(struct page *p, unsigned long bit) { p->flags.fetch_or(1ul << bit); }
inline void ClearPageFlag(struct page *p, unsigned long bit) { p->flags.fetch_and(~(1ul << bit)); }
inline bool TestPageFlag(const struct page *p, unsigned long bit) { return p->flags.load() & (1ul << bit); }
inline void SetPageUptodate(struct page *p) { SetPageFlag(p, PG_uptodate); }
inline void ClearPageUptodate(struct page *p) { ClearPageFlag(p, PG_uptodate); }
inline bool PageUptodate(const struct page *p) { return TestPageFlag(p, PG_uptodate); }
inline void SetPageLocked(struct page *p) { SetPageFlag(p, PG_locked); }
inline void ClearPageLocked(struct page *p) { ClearPageFlag(p, PG_locked); }
inline bool PageLocked(const struct page *p) { return TestPageFlag(p, PG_locked); }
inline void SetPagePrivate(struct page *p) { SetPageFlag(p, PG_private); }
inline void ClearPagePrivate(struct page *p) { ClearPageFlag(p, PG_private); }
inline bool PagePrivate(const struct page *p) { return TestPageFlag(p, PG_private); }
inline bool PageHighMem(const struct page *p) { return TestPageFlag(p, PG_highmem); }

// kmap may sleep; kmap_atomic makes its holder atomic until kunmap_atomic.
enum km_type { KM_BOUNCE_READ, KM_SKB_SUNRPC_DATA, KM_USER0, KM_USER1, KM_BIO_SRC_IRQ, KM_BIO_DST_IRQ, KM_IRQ0, KM_IRQ1, KM_SOFTIRQ0, KM_SOFTIRQ1, KM_TYPE_NR };
void *kmap(struct page *p, kern::source_location loc = kern::source_location::current());
void kunmap(struct page *p);
void *kmap_atomic(struct page *p, km_type type);
void kunmap_atomic(void *addr, km_type type);

// ---- page statistics (one processor's worth: counters are global) ----
struct page_state {
	unsigned long nr_dirty;
	unsigned long nr_writeback;
	unsigned long nr_unstable;
	unsigned long nr_page_table_pages;
	unsigned long nr_mapped;
	unsigned long nr_slab;
	unsigned long pgpgin;
	unsigned long pgpgout;
};
constexpr size_t PAGE_STATE_FIELDS = sizeof(page_state) / sizeof(unsigned long);
void __mod_page_state(size_t offset, long delta);	// with local interrupts disabled
void get_page_state(page_state *ret);
#define mod_page_state(member, delta)                                                              \
	::kern::__mod_page_state(offsetof(::kern::page_state, member), (delta))
#define inc_page_state(member) mod_page_state(member, 1)
#define dec_page_state(member) mod_page_state(member, -1)
#define add_page_state(member, delta) mod_page_state(member, (delta))
#define sub_page_state(member, delta) mod_page_state(member, -(long)(delta))

// ---- accounting, for the machine ----
struct mm_usage {
	long kmalloc_objects;
	long vmalloc_objects;
	long pages;		// pages outstanding (order-0 units)
	long caches;		// caches not destroyed
	long cache_objects;	// objects in those caches
	long mempools;
	// Bytes in use: kmalloc and vmalloc objects as asked for, slab objects at their size.
	long kmalloc_bytes;
	long vmalloc_bytes;
	long cache_bytes;
};
mm_usage mm_get_usage();
// Adds a line per leak to `problems`; returns the number of leaks.
int mm_report_leaks(std::vector<std::string> *problems);
// At boot: the caches of tasks and address spaces. At halt, just before the leak
// report: those caches go if nothing is left in them.
void mm_boot();
void mm_halt();

} // namespace kern
