// The allocators' shared state, and their accounting for the machine: usage and leaks.
#include "kernel/mm/internal.h"
#include "kernel/mm/uaccess.h"

namespace kern {

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

namespace {

// Task records. A host thread may enter the kernel (and be given a task) before the
// first boot or after a halt, so the cache is also made on first use.
std::atomic<kmem_cache_t *> task_cachep{nullptr};

kmem_cache_t *task_cache()
{
	kmem_cache_t *c = task_cachep.load();
	if (!c) {
		c = kmem_cache_get("task_struct", sizeof(task_struct));
		task_cachep.store(c);
	}
	return c;
}

} // namespace

void *alloc_task_struct(bool adopting)
{
	return kmem_cache_alloc(task_cache(), adopting ? GFP_ATOMIC | __GFP_NOFAIL : GFP_KERNEL);
}

void free_task_struct(void *p) { kmem_cache_free(task_cachep.load(), p); }

void check_gfp(gfp_t flags, const kern::source_location &loc)
{
	if (flags & __GFP_WAIT)
		might_sleep(loc);
}

mm_usage mm_get_usage()
{
	auto &s = mm();
	mm_usage u{};
	u.kmalloc_objects = s.kmalloc_objects;
	u.vmalloc_objects = s.vmalloc_objects;
	u.pages = s.pages;
	u.mempools = s.mempools;
	u.kmalloc_bytes = s.kmalloc_bytes;
	u.vmalloc_bytes = s.vmalloc_bytes;
	H().lock_acquire(s.lock);
	list_head *p;
	list_for_each(p, &s.caches)
	{
		kmem_cache_t *c = list_entry(p, kmem_cache_t, list);
		u.caches++;
		u.cache_objects += c->objects;
		u.cache_bytes += c->objects * static_cast<long>(c->size);
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
	// Kernel pointers are told from 32-bit user addresses by their size (user_walk):
	// the host must place the kernel's memory and image above 4 GiB.
	static char in_image;
	void *heap = H().aligned_alloc(16, 16);
	bool high = reinterpret_cast<uintptr_t>(&in_image) >= HOST_KERNEL_BASE &&
		    reinterpret_cast<uintptr_t>(heap) >= HOST_KERNEL_BASE;
	H().aligned_free(heap);
	if (!high)
		host::panic("mm_boot: host memory below 4 GiB would be taken for user addresses");
	auto &s = mm();
	for (auto &v : s.page_state)
		v = 0;
	task_cache();
	mmap_boot();
}

void mm_halt()
{
	kernel_cache_halt(&task_cachep);
	mmap_halt();
	page_cache_drain();
	vmalloc_cache_drain();
}

} // namespace kern
