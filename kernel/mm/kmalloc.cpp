// kmalloc and vmalloc: objects with a header that catches frees of the wrong kind, double
// frees and bad pointers.
#include <cstring>

#include "kernel/core/faults.h"
#include "kernel/mm/internal.h"

#ifdef KERN_MM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kern {

namespace {

constexpr u32 KMALLOC_MAGIC = 0x6b6d616c;
constexpr u32 KMALLOC_FREED = 0x66726565;
constexpr int POISON_FREE = 0x6b;

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

// Large vmalloc areas freed lately are kept for the next vmalloc of the same size, as the
// kernel's page allocator hands back pages it already has: a host allocation of megabytes
// is fresh pages, faulted in one by one (a session's chunk tables are 8 MiB). Under
// AddressSanitizer a kept area is poisoned while it waits, so a use after free is still
// reported.
constexpr size_t AREA_CACHE_MIN = 1 << 20;
constexpr size_t AREA_CACHE_MAX = 8;
#ifdef KERN_MM_ASAN
constexpr bool ASAN_POISONS_AREAS = true;
#else
constexpr bool ASAN_POISONS_AREAS = false;
#endif

void poison_area(void *h, size_t bytes, bool poison)
{
#ifdef KERN_MM_ASAN
	if (poison)
		ASAN_POISON_MEMORY_REGION(h, bytes);
	else
		ASAN_UNPOISON_MEMORY_REGION(h, bytes);
#else
	(void)h, (void)bytes, (void)poison;
#endif
}

void release_area(void *h, size_t size)
{
	poison_area(h, sizeof(alloc_header) + size, false);
	H().aligned_free(h);
}

alloc_header *take_cached_area(size_t size)
{
	if (size < AREA_CACHE_MIN)
		return nullptr;
	auto &s = mm();
	void *h = nullptr;
	H().lock_acquire(s.lock);
	// The latest freed first: the warmest.
	for (auto it = s.area_cache.rbegin(); it != s.area_cache.rend(); ++it) {
		if (it->second == size) {
			h = it->first;
			s.area_cache.erase(std::next(it).base());
			break;
		}
	}
	H().lock_release(s.lock);
	if (h)
		poison_area(h, sizeof(alloc_header) + size, false);
	return static_cast<alloc_header *>(h);
}

// Keeps a freed area for reuse; the oldest kept one goes back to the host when the cache
// is full, so that sizes no longer asked for do not stay.
void cache_area(alloc_header *h, size_t size)
{
	// Poisoned before it is listed: once listed, another thread may take it.
	poison_area(h, sizeof(alloc_header) + size, true);
	auto &s = mm();
	std::pair<void *, size_t> old{};
	H().lock_acquire(s.lock);
	if (s.area_cache.size() == AREA_CACHE_MAX) {
		old = s.area_cache.front();
		s.area_cache.erase(s.area_cache.begin());
	}
	s.area_cache.emplace_back(h, size);
	H().lock_release(s.lock);
	if (old.first)
		release_area(old.first, old.second);
}

void *header_alloc(size_t size, u32 kind)
{
	alloc_header *h = kind ? take_cached_area(size) : nullptr;
	if (!h)
		h = static_cast<alloc_header *>(H().aligned_alloc(16, sizeof(alloc_header) + size));
	if (!h)
		return nullptr;
	h->magic = KMALLOC_MAGIC;
	h->kind = kind;
	h->size = size;
	auto &s = mm();
	(kind ? s.vmalloc_bytes : s.kmalloc_bytes) += static_cast<long>(size);
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
	(kind ? s.vmalloc_bytes : s.kmalloc_bytes) -= static_cast<long>(h->size);
	s.recent.insert(p);
	s.recent_order.push_back(p);
	while (s.recent_order.size() > RECENT_FREES) {
		s.recent.erase(s.recent_order.front());
		s.recent_order.pop_front();
	}
	h->magic = KMALLOC_FREED;
	H().lock_release(s.lock);
	// Poisoned as slab debugging poisons a freed object: a pointer read from it after
	// the free is no address at all, so a use after free faults rather than goes on.
	size_t size = h->size;
	// AddressSanitizer poisons a large area itself, kept or given back (megabytes a session).
	bool large = kind && size >= AREA_CACHE_MIN;
	if (!(large && ASAN_POISONS_AREAS))
		std::memset(h + 1, POISON_FREE, size);
	if (large)
		cache_area(h, size);
	else
		H().aligned_free(h);
}

} // namespace

void vmalloc_cache_drain()
{
	auto &s = mm();
	std::vector<std::pair<void *, size_t>> areas;
	H().lock_acquire(s.lock);
	areas.swap(s.area_cache);
	H().lock_release(s.lock);
	for (auto [h, size] : areas)
		release_area(h, size);
}

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

} // namespace kern
