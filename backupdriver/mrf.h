/*
 * mrf.h - the table of saved make-request functions, by disk major and first minor.
 */
#pragma once

#include "kernel/lib/atomic.h"
#include "kernel/block/blkdev.h"

namespace kern {

constexpr int MRF_TABLE_SIZE = 255;

struct saved_mrf {
	atomic_t count;
	make_request_fn *mrf;
};

extern saved_mrf *savedMRFS[MRF_TABLE_SIZE][MRF_TABLE_SIZE];

int set_mrf(struct block_device *bdev, make_request_fn *fn, saved_mrf *table[255][255]);
int unset_mrf(struct block_device *bdev, saved_mrf *table[255][255]);
make_request_fn *get_mrf(struct block_device *bdev, saved_mrf *table[255][255]);
void inc_mrf_count(int major, int first_minor, saved_mrf *table[255][255]);
void dec_mrf_count(int major, int first_minor, saved_mrf *table[255][255]);
/* The whole-disk device containing dev, with a reference the caller releases (bdput). */
struct block_device *get_block_device(dev_t dev);
/* Frees every record of the table (at module exit). */
void free_mrf_table(saved_mrf *table[255][255]);

} // namespace kern
