// Slab caches: named caches of objects of one size, with constructors and a count of the
// objects out, so that destroying a cache with objects left is refused.
#include <cstring>

#include "kernel/core/faults.h"
#include "kernel/core/printk.h"
#include "kernel/mm/internal.h"

namespace kern {

namespace {

kmem_cache_t *new_cache(const char *name, size_t size, unsigned long flags, kmem_ctor_t ctor,
			kmem_ctor_t dtor)
{
	auto *c = new kmem_cache_t;
	std::memset(c->name, 0, sizeof(c->name));
	std::strncpy(c->name, name, sizeof(c->name) - 1);
	c->size = size;
	c->align = (flags & SLAB_HWCACHE_ALIGN) ? L1_CACHE_BYTES : 16;
	c->flags = flags;
	c->ctor = ctor;
	c->dtor = dtor;
	c->objects = 0;
	INIT_LIST_HEAD(&c->list);
	return c;
}

// With the cache list locked.
kmem_cache_t *find_cache_locked(const char *name)
{
	list_head *p;
	list_for_each(p, &mm().caches)
	{
		kmem_cache_t *c = list_entry(p, kmem_cache_t, list);
		if (!std::strcmp(c->name, name))
			return c;
	}
	return nullptr;
}

} // namespace

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
	if (find_cache_locked(name)) {
		H().lock_release(s.lock);
		printk(KERN_ERR "kmem_cache_create: duplicate cache %s\n", name);
		return nullptr;
	}
	kmem_cache_t *c = new_cache(name, size, flags, ctor, dtor);
	list_add_tail(&c->list, &s.caches);
	H().lock_release(s.lock);
	return c;
}

kmem_cache_t *kmem_cache_get(const char *name, size_t size)
{
	kmem_cache_t *fresh = new_cache(name, size, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
	auto &s = mm();
	H().lock_acquire(s.lock);
	if (kmem_cache_t *c = find_cache_locked(name)) {
		H().lock_release(s.lock);
		delete fresh;
		return c;
	}
	list_add_tail(&fresh->list, &s.caches);
	H().lock_release(s.lock);
	return fresh;
}

void kernel_cache_halt(std::atomic<kmem_cache_t *> *slot)
{
	kmem_cache_t *c = slot->load();
	if (c && !c->objects.load() && !kmem_cache_destroy(c))
		slot->store(nullptr);
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
	bool nofail = flags & __GFP_NOFAIL;	// the caller has no way to fail: never refused
	if (!nofail && fault_points_armed() &&
	    should_fail_at((std::string("kmem_cache_alloc:") + c->name).c_str(), loc))
		return nullptr;
	size_t sz = (c->size + c->align - 1) / c->align * c->align;
	void *p = H().aligned_alloc(c->align, sz);
	if (!p && nofail)
		kernel_bug("kmem_cache_alloc: cache `%s': out of host memory for a __GFP_NOFAIL object", c->name);
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
	H().lock_acquire(s.lock);
	kmem_cache_t *found = find_cache_locked(name.c_str());
	H().lock_release(s.lock);
	return found;
}

} // namespace kern
