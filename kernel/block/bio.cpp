#include "kernel/block/bio.h"
#include "kernel/host/hostops.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "kernel/block/blkdev.h"
#include "kernel/core/faults.h"
#include "kernel/core/printk.h"

namespace kern {

namespace {

kmem_cache_t *bio_slab;

void bio_fs_destructor(bio *b)
{
	kfree(b->bi_io_vec);
	b->bi_io_vec = nullptr;
	kmem_cache_free(bio_slab, b);
}

// The limits that apply to b: its device's queue, or the defaults when it has none yet.
struct seg_limits {
	unsigned max_sectors, max_phys, max_hw, max_seg_size;
	unsigned long boundary;
};

seg_limits limits_of(request_queue *q)
{
	if (!q)
		return {SAFE_MAX_SECTORS, MAX_PHYS_SEGMENTS, MAX_HW_SEGMENTS, MAX_SEGMENT_SIZE, 0xffffffffUL};
	return {q->max_sectors, q->max_phys_segments, q->max_hw_segments, q->max_segment_size,
		q->seg_boundary_mask};
}

u64 vec_phys(const bio_vec *v) { return page_to_phys(v->bv_page) + v->bv_offset; }

bool same_boundary(u64 a, u64 b, unsigned long mask) { return (a | mask) == (b | mask); }

// Walks the vectors from bi_idx and merges physically contiguous ones into segments.
// Returns the number of segments and where the last one starts and how long it is.
unsigned count_segments(bio *b, const seg_limits &l, u64 *last_start, unsigned *last_size)
{
	unsigned segs = 0;
	u64 seg_start = 0, prev_end = 0;
	unsigned seg_size = 0;
	for (unsigned i = b->bi_idx; i < b->bi_vcnt; i++) {
		bio_vec *v = &b->bi_io_vec[i];
		u64 s = vec_phys(v);
		if (segs && s == prev_end && seg_size + v->bv_len <= l.max_seg_size &&
		    same_boundary(seg_start, s + v->bv_len - 1, l.boundary)) {
			seg_size += v->bv_len;
		} else {
			segs++;
			seg_start = s;
			seg_size = v->bv_len;
		}
		prev_end = s + v->bv_len;
	}
	if (last_start)
		*last_start = seg_start;
	if (last_size)
		*last_size = seg_size;
	return segs;
}

// One half of a pair has ended (or made progress). The first error of either half is
// the one the original gets, whatever order they end in; a half that ends a second
// time is reported and ignored, so the original still completes once, after both.
int bio_pair_end(bio_pair *bp, bio *bi, int half, int err)
{
	if (!bi->bi_size) {
		if (__atomic_fetch_or(&bp->ended, 1u << half, __ATOMIC_ACQ_REL) & (1u << half)) {
			auto *master = static_cast<bio *>(bp->bio1.bi_private);
			printk(KERN_ERR "bio_pair_end: half %d of the split of sector %llu ended twice\n",
			       half + 1, static_cast<unsigned long long>(master->bi_sector));
			return 0;
		}
		if (!err && !bio_flagged(bi, BIO_UPTODATE))
			err = -EIO;	// a partial completion failed and was not reported
	}
	if (err) {
		int none = 0;
		__atomic_compare_exchange_n(&bp->error, &none, err, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
	}
	if (bi->bi_size)
		return 1;
	bio_pair_release(bp);
	return 0;
}

int bio_pair_end_1(bio *bi, unsigned int, int err)
{
	return bio_pair_end(container_of(bi, bio_pair, bio1), bi, 0, err);
}

int bio_pair_end_2(bio *bi, unsigned int, int err)
{
	return bio_pair_end(container_of(bi, bio_pair, bio2), bi, 1, err);
}

// atomic_t cannot be copied: copy the plain fields one by one.
void copy_bio_fields(bio *dst, const bio *src)
{
	dst->bi_sector = src->bi_sector;
	dst->bi_next = src->bi_next;
	dst->bi_bdev = src->bi_bdev;
	dst->bi_flags = src->bi_flags;
	dst->bi_rw = src->bi_rw;
	dst->bi_vcnt = src->bi_vcnt;
	dst->bi_idx = src->bi_idx;
	dst->bi_phys_segments = src->bi_phys_segments;
	dst->bi_hw_segments = src->bi_hw_segments;
	dst->bi_size = src->bi_size;
	dst->bi_max_vecs = src->bi_max_vecs;
	dst->bi_io_vec = src->bi_io_vec;
	dst->bi_end_io = src->bi_end_io;
	atomic_set(&dst->bi_cnt, atomic_read(&src->bi_cnt));
	dst->bi_private = src->bi_private;
	dst->bi_destructor = src->bi_destructor;
}

} // namespace

void bio_init(bio *b)
{
	new (b) bio{};
	b->bi_flags = 1ul << BIO_UPTODATE;
	atomic_set(&b->bi_cnt, 1);
}

bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs, kern::source_location loc)
{
	if (gfp_mask & __GFP_WAIT)
		might_sleep(loc);
	if (nr_iovecs < 0 || nr_iovecs > static_cast<int>(BIO_MAX_PAGES) || !bio_slab)
		return nullptr;
	if (should_fail_at("bio_alloc", loc))
		return nullptr;
	auto *b = static_cast<bio *>(kmem_cache_alloc(bio_slab, gfp_mask, loc));
	if (!b)
		return nullptr;
	bio_init(b);
	if (nr_iovecs) {
		b->bi_io_vec = static_cast<bio_vec *>(kzalloc(sizeof(bio_vec) * nr_iovecs, gfp_mask, loc));
		if (!b->bi_io_vec) {
			kmem_cache_free(bio_slab, b);
			return nullptr;
		}
	}
	b->bi_max_vecs = nr_iovecs;
	b->bi_destructor = bio_fs_destructor;
	return b;
}

void bio_get(bio *b)
{
	BUG_ON(!atomic_read(&b->bi_cnt));
	atomic_inc(&b->bi_cnt);
}

void bio_put(bio *b)
{
	BUG_ON(!atomic_read(&b->bi_cnt));
	if (atomic_dec_and_test(&b->bi_cnt)) {
		b->bi_next = nullptr;
		if (b->bi_destructor)
			b->bi_destructor(b);
	}
}

void bio_endio(bio *b, unsigned int bytes_done, int error)
{
	H().preempt_point();
	if (error)
		__atomic_fetch_and(&b->bi_flags, ~(1ul << BIO_UPTODATE), __ATOMIC_RELAXED);
	if (unlikely(bytes_done > b->bi_size)) {
		printk(KERN_ERR "bio_endio: want %u bytes done, only %u left\n", bytes_done, b->bi_size);
		bytes_done = b->bi_size;
	}
	b->bi_size -= bytes_done;
	b->bi_sector += bytes_done >> 9;
	if (b->bi_end_io)
		b->bi_end_io(b, bytes_done, error);
}

int bio_check_segments(request_queue *q, bio *b, char *why, size_t len)
{
	seg_limits l = limits_of(q);
	for (unsigned i = b->bi_idx; i < b->bi_vcnt; i++) {
		const bio_vec *v = &b->bi_io_vec[i];
		u64 s = vec_phys(v);
		if (v->bv_len > l.max_seg_size) {
			std::snprintf(why, len, "vector %u of %u bytes > max_segment_size %u", i, v->bv_len,
				      l.max_seg_size);
			return -EIO;
		}
		if (v->bv_len && !same_boundary(s, s + v->bv_len - 1, l.boundary)) {
			std::snprintf(why, len, "vector %u (offset %u, %u bytes) crosses seg_boundary_mask %#lx",
				      i, v->bv_offset, v->bv_len, l.boundary);
			return -EIO;
		}
	}
	unsigned segs = count_segments(b, l, nullptr, nullptr);
	if (segs > l.max_phys || segs > l.max_hw) {
		std::snprintf(why, len, "%u segments > max_phys_segments %u / max_hw_segments %u", segs,
			      l.max_phys, l.max_hw);
		return -EIO;
	}
	return 0;
}

void blk_recount_segments(request_queue *q, bio *b)
{
	unsigned n = count_segments(b, limits_of(q), nullptr, nullptr);
	b->bi_phys_segments = static_cast<unsigned short>(n);
	b->bi_hw_segments = static_cast<unsigned short>(n);
	b->bi_flags |= 1ul << BIO_SEG_VALID;
}

int bio_add_page(bio *b, struct page *page, unsigned int len, unsigned int offset)
{
	if (!page || !len || bio_flagged(b, BIO_CLONED))
		return 0;
	if (static_cast<u64>(offset) + len > (PAGE_SIZE << page->order))
		return 0;
	if (b->bi_vcnt >= b->bi_max_vecs)
		return 0;
	request_queue *q = b->bi_bdev ? bdev_get_queue(b->bi_bdev) : nullptr;
	seg_limits l = limits_of(q);
	if (((static_cast<u64>(b->bi_size) + len) >> 9) > l.max_sectors)
		return 0;
	// A single piece may neither be larger than a segment nor straddle a boundary.
	u64 s = page_to_phys(page) + offset;
	if (len > l.max_seg_size || !same_boundary(s, s + len - 1, l.boundary))
		return 0;
	u64 seg_start = 0;
	unsigned seg_size = 0;
	unsigned segs = count_segments(b, l, &seg_start, &seg_size);
	bool merges = false;
	if (b->bi_vcnt > b->bi_idx) {
		bio_vec *prev = &b->bi_io_vec[b->bi_vcnt - 1];
		merges = vec_phys(prev) + prev->bv_len == s && seg_size + len <= l.max_seg_size &&
			 same_boundary(seg_start, s + len - 1, l.boundary);
	}
	if (!merges && (segs + 1 > l.max_phys || segs + 1 > l.max_hw))
		return 0;
	bio_vec *v = &b->bi_io_vec[b->bi_vcnt];
	v->bv_page = page;
	v->bv_len = len;
	v->bv_offset = offset;
	b->bi_vcnt++;
	b->bi_size += len;
	b->bi_phys_segments = static_cast<unsigned short>(merges ? segs : segs + 1);
	b->bi_hw_segments = b->bi_phys_segments;
	b->bi_flags |= 1ul << BIO_SEG_VALID;
	return static_cast<int>(len);
}

void __bio_clone(bio *dst, bio *src)
{
	std::memcpy(dst->bi_io_vec, src->bi_io_vec, src->bi_max_vecs * sizeof(bio_vec));
	dst->bi_sector = src->bi_sector;
	dst->bi_bdev = src->bi_bdev;
	dst->bi_flags |= 1ul << BIO_CLONED;
	dst->bi_rw = src->bi_rw;
	dst->bi_vcnt = src->bi_vcnt;
	dst->bi_size = src->bi_size;
	dst->bi_idx = src->bi_idx;
	dst->bi_phys_segments = src->bi_phys_segments;
	dst->bi_hw_segments = src->bi_hw_segments;
}

bio *bio_clone(bio *src, gfp_t gfp_mask, kern::source_location loc)
{
	bio *b = bio_alloc(gfp_mask, src->bi_max_vecs, loc);
	if (b)
		__bio_clone(b, src);
	return b;
}

bio_pair *bio_split(bio *bi, mempool_t *pool, int first_sectors)
{
	auto *bp = static_cast<bio_pair *>(mempool_alloc(pool, GFP_NOIO));
	if (!bp)
		return nullptr;
	BUG_ON(bi->bi_vcnt != 1);
	BUG_ON(bi->bi_idx != 0);
	BUG_ON(first_sectors <= 0 || static_cast<unsigned>(first_sectors) << 9 >= bi->bi_size);
	new (bp) bio_pair{};
	atomic_set(&bp->cnt, 3);
	bp->error = 0;
	bp->ended = 0;
	copy_bio_fields(&bp->bio1, bi);
	copy_bio_fields(&bp->bio2, bi);
	unsigned first = static_cast<unsigned>(first_sectors) << 9;
	bp->bio2.bi_sector += first_sectors;
	bp->bio2.bi_size -= first;
	bp->bio1.bi_size = first;

	bp->bv1 = bi->bi_io_vec[0];
	bp->bv2 = bi->bi_io_vec[0];
	bp->bv2.bv_offset += first;
	bp->bv2.bv_len -= first;
	bp->bv1.bv_len = first;

	bp->bio1.bi_io_vec = &bp->bv1;
	bp->bio2.bi_io_vec = &bp->bv2;
	bp->bio1.bi_max_vecs = bp->bio2.bi_max_vecs = 1;
	bp->bio1.bi_end_io = bio_pair_end_1;
	bp->bio2.bi_end_io = bio_pair_end_2;
	// The halves live in the pair: nothing to free when their count drops.
	bp->bio1.bi_destructor = bp->bio2.bi_destructor = nullptr;
	atomic_set(&bp->bio1.bi_cnt, 1);
	atomic_set(&bp->bio2.bi_cnt, 1);
	bp->bio1.bi_next = bp->bio2.bi_next = nullptr;

	bp->bio1.bi_private = bi;
	bp->bio2.bi_private = pool;
	return bp;
}

void bio_pair_release(bio_pair *bp)
{
	int left = atomic_dec_return(&bp->cnt);
	if (left < 0)
		kernel_bug("bio_pair_release: pair of sector %llu released once too often",
			   static_cast<unsigned long long>(static_cast<bio *>(bp->bio1.bi_private)->bi_sector));
	if (left == 0) {
		auto *master = static_cast<bio *>(bp->bio1.bi_private);
		auto *pool = static_cast<mempool_t *>(bp->bio2.bi_private);
		bio_endio(master, master->bi_size, __atomic_load_n(&bp->error, __ATOMIC_RELAXED));
		mempool_free(bp, pool);
	}
}

void *bio_pair_pool_alloc(gfp_t gfp_mask, void *)
{
	return kmalloc(sizeof(bio_pair), gfp_mask);
}

void bio_pair_pool_free(void *element, void *) { kfree(element); }

long bio_objects() { return bio_slab ? kmem_cache_objects(bio_slab) : 0; }

int bio_boot()
{
	if (!bio_slab)
		bio_slab = kmem_cache_find("bio");
	if (!bio_slab)
		bio_slab = kmem_cache_create("bio", sizeof(bio), 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
	return bio_slab ? 0 : -ENOMEM;
}

int bio_halt(std::vector<std::string> *problems)
{
	if (!bio_slab)
		return 0;
	long left = kmem_cache_objects(bio_slab);
	if (left) {
		if (problems)
			problems->push_back(std::to_string(left) + " bios not freed");
		return 1;	// the cache stays (and is reported); the next boot reuses it
	}
	kmem_cache_destroy(bio_slab);
	bio_slab = nullptr;
	return 0;
}

} // namespace kern
