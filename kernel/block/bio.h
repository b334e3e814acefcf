// bios: the unit of block IO. A bio names a start sector on a block device and a vector
// of page pieces; whoever ends it calls bio_endio, which runs bi_end_io (often in
// interrupt context, where it must not sleep).
#pragma once

#include "kernel/lib/srcloc.h"
#include <string>
#include <vector>

#include "kernel/lib/atomic.h"
#include "kernel/mm/mm.h"
#include "kernel/lib/types.h"

namespace kern {

struct block_device;
struct bio;
struct request_queue;

enum { READ = 0, WRITE = 1, READA = 2 };

struct bio_vec {
	struct page *bv_page;
	unsigned int bv_len;
	unsigned int bv_offset;
};

using bio_end_io_t = int(bio *, unsigned int bytes_done, int err);	// a function type, as in the kernel
using bio_destructor_t = void (*)(bio *);

// bi_flags bits
enum : unsigned long {
	BIO_UPTODATE = 0,
	BIO_RW_BLOCK = 1,
	BIO_EOF = 2,
	BIO_SEG_VALID = 3,
	BIO_CLONED = 4,
	BIO_BOUNCED = 5,
	BIO_USER_MAPPED = 6,
};
// bi_rw bits
enum : unsigned long {
	BIO_RW = 0,
	BIO_RW_AHEAD = 1,
	BIO_RW_BARRIER = 2,
	BIO_RW_FAILFAST = 3,
	BIO_RW_SYNC = 4,
};
constexpr unsigned BIO_MAX_PAGES = 256;
constexpr unsigned BIO_MAX_SIZE = BIO_MAX_PAGES << PAGE_CACHE_SHIFT;
constexpr unsigned BIO_MAX_SECTORS = BIO_MAX_SIZE >> 9;

struct bio {
	sector_t bi_sector;
	bio *bi_next;
	block_device *bi_bdev;
	unsigned long bi_flags;
	unsigned long bi_rw;
	unsigned short bi_vcnt;
	unsigned short bi_idx;
	unsigned short bi_phys_segments;
	unsigned short bi_hw_segments;
	unsigned int bi_size;
	unsigned int bi_max_vecs;
	bio_vec *bi_io_vec;
	bio_end_io_t *bi_end_io;
	atomic_t bi_cnt;
	void *bi_private;
	bio_destructor_t bi_destructor;
};

// bio_split's result: two halves of a single-segment bio. The original completes once,
// when both halves have completed and the caller has called bio_pair_release, with the
// first error either half reported (0 when neither failed).
struct bio_pair {
	bio bio1, bio2;
	bio_vec bv1, bv2;
	atomic_t cnt;
	int error;
	unsigned ended;	// bit 0: bio1 has ended, bit 1: bio2
};

inline bool bio_flagged(const bio *b, unsigned long flag) { return (b->bi_flags & (1ul << flag)) != 0; }
inline int bio_data_dir(const bio *b) { return static_cast<int>(b->bi_rw & 1); }
inline unsigned long bio_rw(const bio *b) { return b->bi_rw & 3; }
inline bool bio_barrier(const bio *b) { return b->bi_rw & (1ul << BIO_RW_BARRIER); }
inline bool bio_sync(const bio *b) { return b->bi_rw & (1ul << BIO_RW_SYNC); }
inline bool bio_failfast(const bio *b) { return b->bi_rw & (1ul << BIO_RW_FAILFAST); }
inline unsigned bio_sectors(const bio *b) { return b->bi_size >> 9; }
inline bio_vec *bio_iovec_idx(bio *b, unsigned idx) { return &b->bi_io_vec[idx]; }
inline bio_vec *bio_iovec(bio *b) { return bio_iovec_idx(b, b->bi_idx); }
inline struct page *bio_page(bio *b) { return bio_iovec(b)->bv_page; }
inline unsigned bio_offset(bio *b) { return bio_iovec(b)->bv_offset; }
inline unsigned bio_cur_sectors(bio *b) { return bio_iovec(b)->bv_len >> 9; }
inline unsigned bio_segments(const bio *b) { return b->bi_vcnt - b->bi_idx; }
inline void *bio_data(bio *b) { return static_cast<char *>(page_address(bio_page(b))) + bio_offset(b); }

#define __bio_for_each_segment(bvl, bio, i, start_idx)                                             \
	for (bvl = ::kern::bio_iovec_idx((bio), (start_idx)), i = (start_idx); i < (bio)->bi_vcnt;     \
	     bvl++, i++)
#define bio_for_each_segment(bvl, bio, i) __bio_for_each_segment(bvl, bio, i, (bio)->bi_idx)

// From the "bio" slab cache plus room for nr_iovecs vectors. Fault point "bio_alloc".
// Sleeps (for memory) when gfp has __GFP_WAIT.
bio *bio_alloc(gfp_t gfp_mask, int nr_iovecs, kern::source_location loc = kern::source_location::current());
void bio_init(bio *b);
void bio_get(bio *b);
void bio_put(bio *b);	// frees on the last reference
void bio_endio(bio *b, unsigned int bytes_done, int error);
// Bytes accepted (len), or 0 when the page does not fit the queue limits of bi_bdev.
int bio_add_page(bio *b, struct page *page, unsigned int len, unsigned int offset);
// 0 when b (its vectors from bi_idx on) fits q's segment limits: no vector larger than
// max_segment_size or crossing a seg_boundary_mask boundary, and no more segments
// (physically contiguous vectors merged as the device would) than max_phys_segments and
// max_hw_segments. Otherwise -EIO, with the limit broken written to why.
int bio_check_segments(request_queue *q, bio *b, char *why, size_t len);
// Recounts bi_phys_segments/bi_hw_segments for q's limits and marks them valid.
void blk_recount_segments(request_queue *q, bio *b);
// A clone sharing b's vector (BIO_CLONED); its pages belong to b.
bio *bio_clone(bio *b, gfp_t gfp_mask, kern::source_location loc = kern::source_location::current());
void __bio_clone(bio *dst, bio *src);

bio_pair *bio_split(bio *b, mempool_t *pool, int first_sectors);
void bio_pair_release(bio_pair *bp);
// Pool elements for bio_split (a mempool of bio_pair records).
void *bio_pair_pool_alloc(gfp_t gfp_mask, void *pool_data);
void bio_pair_pool_free(void *element, void *pool_data);

// Number of bios allocated and not yet freed (for leak reports).
long bio_objects();

// Block layer lifecycle (blk_boot and blk_halt call these).
int bio_boot();
int bio_halt(std::vector<std::string> *problems);

} // namespace kern
