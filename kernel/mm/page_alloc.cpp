// Pages: blocks of 2^order pages with frame numbers, their mapping, and page statistics.
#include <cstring>
#include <new>

#include "kernel/core/faults.h"
#include "kernel/mm/internal.h"

namespace kern {

namespace {

// Single pages freed lately are kept for the next allocation, as the kernel's per-cpu
// lists keep them: the host's aligned allocator and the address map cost more than the
// IO a page carries. Not under AddressSanitizer, which should see a freed page reused.
#ifdef KERN_MM_ASAN
constexpr size_t PAGE_CACHE_MAX = 0;
#else
constexpr size_t PAGE_CACHE_MAX = 4096;
#endif

struct page *take_cached_page()
{
	auto &s = mm();
	struct page *p = nullptr;
	H().lock_acquire(s.lock);
	if (!s.free_cache.empty()) {
		p = s.free_cache.back();
		s.free_cache.pop_back();
		p->cached = false;
	}
	H().lock_release(s.lock);
	return p;
}

// Whether the page, its last reference gone, was kept for reuse.
bool cache_page(struct page *p)
{
	if (!PAGE_CACHE_MAX)
		return false;
	auto &s = mm();
	H().lock_acquire(s.lock);
	bool kept = s.free_cache.size() < PAGE_CACHE_MAX;
	if (kept) {
		p->cached = true;
		s.free_cache.push_back(p);
	}
	H().lock_release(s.lock);
	return kept;
}

void release_block(struct page *page, size_t n)
{
	auto &s = mm();
	H().lock_acquire(s.lock);
	for (size_t i = 0; i < n; i++)
		s.page_of.erase(reinterpret_cast<uintptr_t>(page[i].virtual_));
	H().lock_release(s.lock);
	H().aligned_free(page->virtual_);
	delete[] page;
}

void init_page(struct page *p, unsigned order)
{
	p->flags = 0;
	atomic_set(&p->_count, 1);
	p->private_ = 0;
	p->index = 0;
	INIT_LIST_HEAD(&p->lru);
	p->order = order;
	p->cached = false;
}

} // namespace

void page_cache_drain()
{
	auto &s = mm();
	std::vector<struct page *> pages;
	H().lock_acquire(s.lock);
	pages.swap(s.free_cache);
	H().lock_release(s.lock);
	for (struct page *p : pages)
		release_block(p, 1);
}

struct page *alloc_pages(gfp_t gfp_mask, unsigned order, kern::source_location loc)
{
	check_gfp(gfp_mask, loc);
	if (order > 10 || should_fail_at("alloc_pages", loc))
		return nullptr;
	auto &s = mm();
	if (order == 0 && PAGE_CACHE_MAX) {
		if (struct page *p = take_cached_page()) {
			init_page(p, 0);
			if (gfp_mask & __GFP_ZERO)
				std::memset(p->virtual_, 0, PAGE_SIZE);
			s.pages++;
			return p;
		}
	}
	size_t n = 1ul << order;
	void *mem = H().aligned_alloc(PAGE_SIZE, n * PAGE_SIZE);
	if (!mem)
		return nullptr;
	auto *pages = new (std::nothrow) struct page[n];
	if (!pages) {
		H().aligned_free(mem);
		return nullptr;
	}
	unsigned long pfn = s.next_pfn.fetch_add(n);
	for (size_t i = 0; i < n; i++) {
		init_page(&pages[i], order);
		pages[i].virtual_ = static_cast<char *>(mem) + i * PAGE_SIZE;
		pages[i].pfn = pfn + i;
	}
	if (gfp_mask & __GFP_ZERO)
		std::memset(mem, 0, n * PAGE_SIZE);
	H().lock_acquire(s.lock);
	for (size_t i = 0; i < n; i++)
		s.page_of[reinterpret_cast<uintptr_t>(pages[i].virtual_)] = &pages[i];
	H().lock_release(s.lock);
	s.pages += static_cast<long>(n);
	return pages;
}

struct page *__alloc_pages(gfp_t gfp_mask, unsigned order, void *, kern::source_location loc)
{
	return alloc_pages(gfp_mask, order, loc);
}

void __free_pages(struct page *page, unsigned order)
{
	if (!page)
		return;
	int left = atomic_dec_return(&page->_count);
	// A page kept for reuse is still there to be freed again: say so rather than let
	// the next allocation hand out a page with a negative count.
	if (left < 0)
		kernel_bug("__free_pages: page %p freed twice", page->virtual_);
	if (left)
		return;
	if (page->order != order)
		kernel_bug("__free_pages: order %u given for a block of order %u", order, page->order);
	size_t n = 1ul << order;
	if (order != 0 || !cache_page(page))
		release_block(page, n);
	mm().pages -= static_cast<long>(n);
}

unsigned long __get_free_pages(gfp_t gfp_mask, unsigned order, kern::source_location loc)
{
	struct page *p = alloc_pages(gfp_mask, order, loc);
	return p ? reinterpret_cast<unsigned long>(p->virtual_) : 0;
}

unsigned long get_zeroed_page(gfp_t gfp_mask, kern::source_location loc)
{
	return __get_free_pages(gfp_mask | __GFP_ZERO, 0, loc);
}

struct page *virt_to_page(const void *addr)
{
	auto &s = mm();
	uintptr_t a = reinterpret_cast<uintptr_t>(addr) & PAGE_MASK;
	H().lock_acquire(s.lock);
	auto it = s.page_of.find(a);
	struct page *p = it == s.page_of.end() || it->second->cached ? nullptr : it->second;
	H().lock_release(s.lock);
	return p;
}

void free_pages(unsigned long addr, unsigned order)
{
	if (!addr)
		return;
	struct page *p = virt_to_page(reinterpret_cast<void *>(addr));
	if (!p)
		kernel_bug("free_pages: %#lx is not a page", addr);
	__free_pages(p, order);
}

void get_page(struct page *p) { atomic_inc(&p->_count); }

// One atomic decrement decides: of two racing puts exactly one sees the count reach 0.
void put_page(struct page *p) { __free_pages(p, p->order); }

void *kmap(struct page *p, kern::source_location loc)
{
	might_sleep(loc);
	return p->virtual_;
}

void kunmap(struct page *) {}

void *kmap_atomic(struct page *p, km_type)
{
	preempt_disable();
	return p->virtual_;
}

void kunmap_atomic(void *, km_type) { preempt_enable(); }

void __mod_page_state(size_t offset, long delta)
{
	unsigned long flags;
	local_irq_save(flags);
	mm().page_state[offset / sizeof(unsigned long)] += delta;
	local_irq_restore(flags);
}

void get_page_state(page_state *ret)
{
	auto *out = reinterpret_cast<unsigned long *>(ret);
	for (size_t i = 0; i < PAGE_STATE_FIELDS; i++)
		out[i] = static_cast<unsigned long>(mm().page_state[i].load());
}

} // namespace kern
