#include "kernel/mm/mm.h"

#include <cstring>
#include <deque>
#include <map>
#include <unordered_set>

#include "kernel/core/faults.h"
#include "kernel/host/hostops.h"
#include "kernel/core/printk.h"

namespace kern {

struct kmem_cache_s {
	char name[64];
	size_t size;
	size_t align;
	unsigned long flags;
	kmem_ctor_t ctor;
	kmem_ctor_t dtor;
	std::atomic<long> objects;
	list_head list;
};

namespace {

const host::hostops &H() { return host::ops(); }

constexpr u32 KMALLOC_MAGIC = 0x6b6d616c;
constexpr u32 KMALLOC_FREED = 0x66726565;

// kmalloc and vmalloc put a header before the object: its size and a magic word, so
// that a free of the wrong kind is caught. Live objects are also kept in a set, so that a
// double free is caught without reading memory that was already given back to the host
// (which would itself be a use after free); the last frees are remembered to name it.
struct alignas(16) alloc_header {
	u32 magic;
	u32 kind;	// 0 kmalloc, 1 vmalloc
	size_t size;
	u64 pad;
};
static_assert(sizeof(alloc_header) % 16 == 0);

struct mm_state {
	host::host_lock *lock;
	list_head caches = LIST_HEAD_INIT(caches);
	std::map<uintptr_t, struct page *> page_of;	// page-aligned address -> page
	std::unordered_set<const void *> live;		// kmalloc and vmalloc objects
	std::unordered_set<const void *> recent;	// freed lately
	std::deque<const void *> recent_order;
	std::atomic<long> kmalloc_objects{0};
	std::atomic<long> vmalloc_objects{0};
	std::atomic<long> pages{0};
	std::atomic<long> mempools{0};
	std::atomic<unsigned long> next_pfn{0x100};
	std::atomic<long> page_state[PAGE_STATE_FIELDS];
};

mm_state &mm()
{
	static mm_state *s = [] {
		auto *st = new mm_state;
		st->lock = H().lock_create();
		for (auto &v : st->page_state)
			v = 0;
		return st;
	}();
	return *s;
}

void check_gfp(gfp_t flags, const kern::source_location &loc)
{
	if (flags & __GFP_WAIT)
		might_sleep(loc);
}

void *header_alloc(size_t size, u32 kind)
{
	auto *h = static_cast<alloc_header *>(H().aligned_alloc(16, sizeof(alloc_header) + size));
	if (!h)
		return nullptr;
	h->magic = KMALLOC_MAGIC;
	h->kind = kind;
	h->size = size;
	auto &s = mm();
	H().lock_acquire(s.lock);
	s.live.insert(h + 1);
	s.recent.erase(h + 1);	// the address is in use again
	H().lock_release(s.lock);
	return h + 1;
}

constexpr size_t RECENT_FREES = 4096;

void header_free(const void *p, u32 kind, const char *what)
{
	auto &s = mm();
	H().lock_acquire(s.lock);
	if (!s.live.count(p)) {
		bool twice = s.recent.count(p) != 0;
		H().lock_release(s.lock);
		if (twice)
			kernel_bug("%s: double free of %p", what, p);
		kernel_bug("%s: bad pointer %p", what, p);
	}
	auto *h = const_cast<alloc_header *>(static_cast<const alloc_header *>(p) - 1);
	if (h->magic != KMALLOC_MAGIC || h->kind != kind) {
		H().lock_release(s.lock);
		kernel_bug("%s: bad pointer %p (%s)", what, p, h->kind ? "vmalloc'ed" : "kmalloc'ed");
	}
	s.live.erase(p);
	s.recent.insert(p);
	s.recent_order.push_back(p);
	while (s.recent_order.size() > RECENT_FREES) {
		s.recent.erase(s.recent_order.front());
		s.recent_order.pop_front();
	}
	h->magic = KMALLOC_FREED;
	H().lock_release(s.lock);
	H().aligned_free(h);
}

} // namespace

// ---------------------------------------------------------------- kmalloc, vmalloc

void *kmalloc(size_t size, gfp_t flags, kern::source_location loc)
{
	check_gfp(flags, loc);
	if (size > KMALLOC_MAX_SIZE || should_fail_at("kmalloc", loc))
		return nullptr;
	void *p = header_alloc(size, 0);
	if (!p)
		return nullptr;
	if (flags & __GFP_ZERO)
		std::memset(p, 0, size);
	mm().kmalloc_objects++;
	return p;
}

void *kzalloc(size_t size, gfp_t flags, kern::source_location loc)
{
	return kmalloc(size, flags | __GFP_ZERO, loc);
}

void kfree(const void *p)
{
	if (!p)
		return;
	header_free(p, 0, "kfree");
	mm().kmalloc_objects--;
}

void *vmalloc(unsigned long size, kern::source_location loc)
{
	might_sleep(loc);
	if (!size || should_fail_at("vmalloc", loc))
		return nullptr;
	void *p = header_alloc(size, 1);
	if (p)
		mm().vmalloc_objects++;
	return p;
}

void vfree(void *p)
{
	if (!p)
		return;
	header_free(p, 1, "vfree");
	mm().vmalloc_objects--;
}

// ---------------------------------------------------------------- slab caches

kmem_cache_t *kmem_cache_create(const char *name, size_t size, size_t offset, unsigned long flags,
				kmem_ctor_t ctor, kmem_ctor_t dtor, kern::source_location loc)
{
	might_sleep(loc);
	if (!name || !size || in_interrupt())
		return nullptr;
	if (should_fail_at((std::string("kmem_cache_create:") + name).c_str(), loc)) {
		if (flags & SLAB_PANIC)
			kernel_bug("kmem_cache_create(): failed to create slab `%s'", name);
		return nullptr;
	}
	auto &s = mm();
	H().lock_acquire(s.lock);
	list_head *p;
	list_for_each(p, &s.caches)
	{
		kmem_cache_t *c = list_entry(p, kmem_cache_t, list);
		if (!std::strcmp(c->name, name)) {
			H().lock_release(s.lock);
			printk(KERN_ERR "kmem_cache_create: duplicate cache %s\n", name);
			return nullptr;
		}
	}
	auto *c = new kmem_cache_t;
	std::memset(c->name, 0, sizeof(c->name));
	std::strncpy(c->name, name, sizeof(c->name) - 1);
	c->size = size;
	c->align = (flags & SLAB_HWCACHE_ALIGN) ? L1_CACHE_BYTES : 16;
	c->flags = flags;
	c->ctor = ctor;
	c->dtor = dtor;
	c->objects = 0;
	list_add_tail(&c->list, &s.caches);
	H().lock_release(s.lock);
	return c;
}

int kmem_cache_destroy(kmem_cache_t *c)
{
	if (!c)
		return 0;
	long left = c->objects.load();
	if (left) {
		printk(KERN_ERR "slab error in kmem_cache_destroy(): cache `%s': Can't free all "
				"objects\n",
		       c->name);
		return 1;
	}
	auto &s = mm();
	H().lock_acquire(s.lock);
	list_del(&c->list);
	H().lock_release(s.lock);
	delete c;
	return 0;
}

void *kmem_cache_alloc(kmem_cache_t *c, gfp_t flags, kern::source_location loc)
{
	check_gfp(flags, loc);
	if (should_fail_at((std::string("kmem_cache_alloc:") + c->name).c_str(), loc))
		return nullptr;
	size_t sz = (c->size + c->align - 1) / c->align * c->align;
	void *p = H().aligned_alloc(c->align, sz);
	if (!p)
		return nullptr;
	if (c->ctor)
		c->ctor(p, c, 0);
	c->objects++;
	return p;
}

void kmem_cache_free(kmem_cache_t *c, void *obj)
{
	if (!obj)
		return;
	if (c->objects.fetch_sub(1) <= 0)
		kernel_bug("kmem_cache_free: cache `%s' has no object to free", c->name);
	if (c->dtor)
		c->dtor(obj, c, 0);
	H().aligned_free(obj);
}

const char *kmem_cache_name(kmem_cache_t *c) { return c->name; }
size_t kmem_cache_size(kmem_cache_t *c) { return c->size; }
long kmem_cache_objects(kmem_cache_t *c) { return c->objects.load(); }

kmem_cache_t *kmem_cache_find(const std::string &name)
{
	auto &s = mm();
	kmem_cache_t *found = nullptr;
	H().lock_acquire(s.lock);
	list_head *p;
	list_for_each(p, &s.caches)
	{
		kmem_cache_t *c = list_entry(p, kmem_cache_t, list);
		if (name == c->name)
			found = c;
	}
	H().lock_release(s.lock);
	return found;
}

// ---------------------------------------------------------------- memory pools

mempool_t *mempool_create(int min_nr, mempool_alloc_t alloc_fn, mempool_free_t free_fn,
			  void *pool_data, kern::source_location loc)
{
	might_sleep(loc);
	if (min_nr < 0 || should_fail_at("mempool_create", loc))
		return nullptr;
	auto *pool = static_cast<mempool_t *>(kmalloc(sizeof(mempool_t), GFP_KERNEL, loc));
	if (!pool)
		return nullptr;
	std::memset(static_cast<void *>(pool), 0, sizeof(*pool));
	pool->elements = static_cast<void **>(kmalloc(sizeof(void *) * (min_nr ? min_nr : 1), GFP_KERNEL, loc));
	if (!pool->elements) {
		kfree(pool);
		return nullptr;
	}
	pool->min_nr = min_nr;
	pool->pool_data = pool_data;
	pool->alloc = alloc_fn;
	pool->free = free_fn;
	init_waitqueue_head(&pool->wait);
	while (pool->curr_nr < min_nr) {
		void *e = alloc_fn(GFP_KERNEL, pool_data);
		if (!e) {
			while (pool->curr_nr)
				free_fn(pool->elements[--pool->curr_nr], pool_data);
			kfree(pool->elements);
			kfree(pool);
			return nullptr;
		}
		pool->elements[pool->curr_nr++] = e;
	}
	mm().mempools++;
	return pool;
}

void mempool_destroy(mempool_t *pool)
{
	if (!pool)
		return;
	if (pool->curr_nr != pool->min_nr)
		printk(KERN_ERR "mempool_destroy: %d elements still in use\n",
		       pool->min_nr - pool->curr_nr);
	while (pool->curr_nr)
		pool->free(pool->elements[--pool->curr_nr], pool->pool_data);
	kfree(pool->elements);
	kfree(pool);
	mm().mempools--;
}

void *mempool_alloc(mempool_t *pool, gfp_t gfp_mask, kern::source_location loc)
{
	check_gfp(gfp_mask, loc);
	for (;;) {
		// Try the allocator without waiting first; the reserve is for when it fails.
		void *e = pool->alloc(gfp_mask & ~(__GFP_WAIT | __GFP_IO), pool->pool_data);
		if (e)
			return e;
		raw_spin_lock(&pool->lock);
		if (pool->curr_nr) {
			e = pool->elements[--pool->curr_nr];
			raw_spin_unlock(&pool->lock);
			return e;
		}
		raw_spin_unlock(&pool->lock);
		if (!(gfp_mask & __GFP_WAIT))
			return nullptr;
		// Wait for an element to come back, or retry the allocator after a while.
		DEFINE_WAIT(w);
		prepare_to_wait(&pool->wait, &w, TASK_UNINTERRUPTIBLE);
		raw_spin_lock(&pool->lock);
		bool have = pool->curr_nr > 0;
		raw_spin_unlock(&pool->lock);
		if (!have)
			schedule_timeout(5 * HZ, loc);
		finish_wait(&pool->wait, &w);
	}
}

void mempool_free(void *element, mempool_t *pool)
{
	if (!element)
		return;
	raw_spin_lock(&pool->lock);
	if (pool->curr_nr < pool->min_nr) {
		pool->elements[pool->curr_nr++] = element;
		raw_spin_unlock(&pool->lock);
		wake_up(&pool->wait);
		return;
	}
	raw_spin_unlock(&pool->lock);
	pool->free(element, pool->pool_data);
}

void *mempool_alloc_slab(gfp_t gfp_mask, void *pool_data)
{
	return kmem_cache_alloc(static_cast<kmem_cache_t *>(pool_data), gfp_mask);
}

void mempool_free_slab(void *element, void *pool_data)
{
	kmem_cache_free(static_cast<kmem_cache_t *>(pool_data), element);
}

// ---------------------------------------------------------------- pages

struct page *alloc_pages(gfp_t gfp_mask, unsigned order, kern::source_location loc)
{
	check_gfp(gfp_mask, loc);
	if (order > 10 || should_fail_at("alloc_pages", loc))
		return nullptr;
	size_t n = 1ul << order;
	void *mem = H().aligned_alloc(PAGE_SIZE, n * PAGE_SIZE);
	if (!mem)
		return nullptr;
	auto *pages = new (std::nothrow) struct page[n];
	if (!pages) {
		H().aligned_free(mem);
		return nullptr;
	}
	auto &s = mm();
	unsigned long pfn = s.next_pfn.fetch_add(n);
	for (size_t i = 0; i < n; i++) {
		pages[i].flags = 0;
		atomic_set(&pages[i]._count, 1);
		pages[i].private_ = 0;
		pages[i].index = 0;
		INIT_LIST_HEAD(&pages[i].lru);
		pages[i].virtual_ = static_cast<char *>(mem) + i * PAGE_SIZE;
		pages[i].pfn = pfn + i;
		pages[i].order = order;
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
	if (!atomic_dec_and_test(&page->_count))
		return;
	if (page->order != order)
		kernel_bug("__free_pages: order %u given for a block of order %u", order, page->order);
	size_t n = 1ul << order;
	auto &s = mm();
	H().lock_acquire(s.lock);
	for (size_t i = 0; i < n; i++)
		s.page_of.erase(reinterpret_cast<uintptr_t>(page[i].virtual_));
	H().lock_release(s.lock);
	H().aligned_free(page->virtual_);
	delete[] page;
	s.pages -= static_cast<long>(n);
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
	struct page *p = it == s.page_of.end() ? nullptr : it->second;
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

void put_page(struct page *p)
{
	if (atomic_read(&p->_count) == 1)
		__free_pages(p, p->order);
	else
		atomic_dec(&p->_count);
}

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

// ---------------------------------------------------------------- accounting

mm_usage mm_get_usage()
{
	auto &s = mm();
	mm_usage u{};
	u.kmalloc_objects = s.kmalloc_objects;
	u.vmalloc_objects = s.vmalloc_objects;
	u.pages = s.pages;
	u.mempools = s.mempools;
	H().lock_acquire(s.lock);
	list_head *p;
	list_for_each(p, &s.caches)
	{
		kmem_cache_t *c = list_entry(p, kmem_cache_t, list);
		u.caches++;
		u.cache_objects += c->objects;
	}
	H().lock_release(s.lock);
	return u;
}

int mm_report_leaks(std::vector<std::string> *problems)
{
	auto &s = mm();
	int n = 0;
	auto add = [&](const std::string &m) {
		n++;
		if (problems)
			problems->push_back(m);
	};
	H().lock_acquire(s.lock);
	list_head *p;
	list_for_each(p, &s.caches)
	{
		kmem_cache_t *c = list_entry(p, kmem_cache_t, list);
		add(std::string("slab cache `") + c->name + "' not destroyed, " +
		    std::to_string(c->objects.load()) + " objects left");
	}
	H().lock_release(s.lock);
	if (s.kmalloc_objects)
		add(std::to_string(s.kmalloc_objects.load()) + " kmalloc objects not freed");
	if (s.vmalloc_objects)
		add(std::to_string(s.vmalloc_objects.load()) + " vmalloc areas not freed");
	if (s.pages)
		add(std::to_string(s.pages.load()) + " pages not freed");
	if (s.mempools)
		add(std::to_string(s.mempools.load()) + " mempools not destroyed");
	return n;
}

void mm_boot()
{
	auto &s = mm();
	for (auto &v : s.page_state)
		v = 0;
}

} // namespace kern
