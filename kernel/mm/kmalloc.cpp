// kmalloc and vmalloc: objects with a header that catches frees of the wrong kind, double
// frees and bad pointers.
#include <cstring>

#include "kernel/core/faults.h"
#include "kernel/mm/internal.h"

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

void *header_alloc(size_t size, u32 kind)
{
	auto *h = static_cast<alloc_header *>(H().aligned_alloc(16, sizeof(alloc_header) + size));
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
	std::memset(h + 1, POISON_FREE, h->size);
	H().aligned_free(h);
}

} // namespace

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
