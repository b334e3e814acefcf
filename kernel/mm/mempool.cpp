// Memory pools: a reserve of elements for when the allocator fails, waited for when empty.
#include <cstring>

#include "kernel/core/faults.h"
#include "kernel/core/printk.h"
#include "kernel/locking/wait.h"
#include "kernel/mm/internal.h"

namespace kern {

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

} // namespace kern
