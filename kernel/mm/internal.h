// What the allocators share: one state record with their counters for the leak report.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kernel/host/hostops.h"
#include "kernel/mm/mm.h"

// Under AddressSanitizer memory kept for reuse is poisoned while it waits, or not kept.
#if defined(__SANITIZE_ADDRESS__)
#define KERN_MM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KERN_MM_ASAN 1
#endif
#endif

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

// One short host lock guards the lists, maps and sets; nothing that sleeps runs under it.
struct mm_state {
	host::host_lock *lock;
	list_head caches = LIST_HEAD_INIT(caches);
	std::map<uintptr_t, struct page *> page_of;	// page-aligned address -> page
	std::vector<struct page *> free_cache;	// single pages freed lately, kept for reuse
	std::vector<std::pair<void *, size_t>> area_cache;	// large vmalloc areas freed lately
								// (their headers, their sizes)
	std::unordered_set<const void *> live;		// kmalloc and vmalloc objects
	std::unordered_set<const void *> recent;	// freed lately
	std::deque<const void *> recent_order;
	std::atomic<long> kmalloc_objects{0};
	std::atomic<long> vmalloc_objects{0};
	std::atomic<long> kmalloc_bytes{0};
	std::atomic<long> vmalloc_bytes{0};
	std::atomic<long> pages{0};
	std::atomic<long> mempools{0};
	std::atomic<unsigned long> next_pfn{0x100};
	std::atomic<long> page_state[PAGE_STATE_FIELDS];
};

mm_state &mm();

// The kernel's own cache of that name (tasks, address spaces), made on first use, with
// no fault point: the kernel cannot go on without it. Never null.
kmem_cache_t *kmem_cache_get(const char *name, size_t size);
// At halt: destroys the cache in *slot (clearing it) if it is empty. One with objects
// left stays, named by the leak report, and the next boot goes on with it.
void kernel_cache_halt(std::atomic<kmem_cache_t *> *slot);
// Gives the single pages kept for reuse back to the host (at halt).
void page_cache_drain();
// Gives the large vmalloc areas kept for reuse back to the host (at halt).
void vmalloc_cache_drain();
// The address spaces' cache (mmap.cpp), at boot and halt.
void mmap_boot();
void mmap_halt();
// An allocation that may wait counts as sleeping.
void check_gfp(gfp_t flags, const kern::source_location &loc);

} // namespace kern
