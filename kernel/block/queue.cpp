// Request queues: the make-request function each disk's bios go to, and the queue limits.
#include "kernel/block/internal.h"

#include "kernel/core/printk.h"

namespace kern {

request_queue_t *blk_alloc_queue(gfp_t gfp_mask, kern::source_location loc)
{
	auto *q = kernel_new<request_queue>(gfp_mask, loc);
	if (!q)
		return nullptr;
	__spin_lock_init(&q->__queue_lock, "queue_lock");
	q->queue_lock = &q->__queue_lock;
	atomic_set(&q->refcnt, 1);
	return q;
}

void blk_queue_make_request(request_queue_t *q, make_request_fn *mfn)
{
	__atomic_store_n(&q->make_request_fn, mfn, __ATOMIC_RELEASE);
	// A driver that set its own unplug function before (the snapshot devices do) keeps it.
	if (!q->unplug_fn)
		q->unplug_fn = generic_unplug_device;
	q->max_sectors = SAFE_MAX_SECTORS;
	q->max_phys_segments = MAX_PHYS_SEGMENTS;
	q->max_hw_segments = MAX_HW_SEGMENTS;
	q->hardsect_size = 512;
	q->max_segment_size = MAX_SEGMENT_SIZE;
	q->seg_boundary_mask = 0xffffffffUL;
	blk_queue_bounce_limit(q, BLK_BOUNCE_HIGH);
}

void blk_queue_max_sectors(request_queue_t *q, unsigned short max_sectors)
{
	if ((static_cast<unsigned long>(max_sectors) << 9) < PAGE_CACHE_SIZE) {
		max_sectors = 1 << (PAGE_CACHE_SHIFT - 9);
		printk(KERN_INFO "blk_queue_max_sectors: set to minimum %d\n", max_sectors);
	}
	q->max_sectors = max_sectors;
}

void blk_queue_max_phys_segments(request_queue_t *q, unsigned short max_segments)
{
	if (!max_segments) {
		max_segments = 1;
		printk(KERN_INFO "blk_queue_max_phys_segments: set to minimum %d\n", max_segments);
	}
	q->max_phys_segments = max_segments;
}

void blk_queue_max_hw_segments(request_queue_t *q, unsigned short max_segments)
{
	if (!max_segments) {
		max_segments = 1;
		printk(KERN_INFO "blk_queue_max_hw_segments: set to minimum %d\n", max_segments);
	}
	q->max_hw_segments = max_segments;
}

void blk_queue_max_segment_size(request_queue_t *q, unsigned int max_size)
{
	if (max_size < PAGE_CACHE_SIZE) {
		max_size = PAGE_CACHE_SIZE;
		printk(KERN_INFO "blk_queue_max_segment_size: set to minimum %u\n", max_size);
	}
	q->max_segment_size = max_size;
}

void blk_queue_hardsect_size(request_queue_t *q, unsigned short size) { q->hardsect_size = size; }

void blk_queue_segment_boundary(request_queue_t *q, unsigned long mask)
{
	if (mask < PAGE_CACHE_SIZE - 1) {
		mask = PAGE_CACHE_SIZE - 1;
		printk(KERN_INFO "blk_queue_segment_boundary: set to minimum %lx\n", mask);
	}
	q->seg_boundary_mask = mask;
}

void blk_queue_bounce_limit(request_queue_t *q, u64 dma_addr)
{
	q->bounce_pfn = static_cast<unsigned long>(dma_addr >> PAGE_SHIFT);
	q->bounce_gfp = dma_addr < BLK_BOUNCE_HIGH ? static_cast<gfp_t>(__GFP_DMA) : 0u;
}

void blk_queue_issue_flush_fn(request_queue_t *q, issue_flush_fn *fn) { q->issue_flush_fn = fn; }

void blk_get_queue(request_queue_t *q) { atomic_inc(&q->refcnt); }

void blk_cleanup_queue(request_queue_t *q)
{
	if (!q || !atomic_dec_and_test(&q->refcnt))
		return;
	q->~request_queue();
	kfree(q);
}

// Bios go straight to make_request_fn here: there is no plugging to undo.
void generic_unplug_device(request_queue_t *) {}
void blk_run_queues() {}

} // namespace kern
