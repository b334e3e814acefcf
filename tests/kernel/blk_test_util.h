// Helpers shared by the block layer tests: synchronous bios and block device files.
#pragma once

#include <cstring>
#include <vector>

#include "kernel/block/bio.h"
#include "kernel/block/blkdev.h"
#include "kernel/fs/fs.h"
#include "kernel/mm/mm.h"
#include "kernel/core/sched.h"
#include "kernel/locking/completion.h"
#include "kernel/mm/uaccess.h"

namespace blktest {

using namespace kern;
using kern::dev_t;
using kern::loff_t;
using kern::ssize_t;

// Result of a bio, filled by its completion callback.
struct io_result {
	completion done;
	int error = 1;		// 1: not completed yet
	unsigned bytes = 0;
	bool in_irq = false;
	int calls = 0;
	io_result() { init_completion(&done); }
};

inline int record_end_io(bio *b, unsigned int bytes, int err)
{
	auto *r = static_cast<io_result *>(b->bi_private);
	r->calls++;
	r->bytes += bytes;
	if (b->bi_size)
		return 1;
	r->in_irq = in_interrupt();
	r->error = err;
	complete(&r->done);
	return 0;
}

// A bio of `npages` fresh pages (filled with `fill` when writing) for bdev at sector.
inline bio *make_bio(block_device *bdev, sector_t sector, int npages, io_result *r, int fill = -1)
{
	bio *b = bio_alloc(GFP_KERNEL, npages);
	if (!b)
		return nullptr;
	b->bi_bdev = bdev;
	b->bi_sector = sector;
	b->bi_private = r;
	b->bi_end_io = record_end_io;
	for (int i = 0; i < npages; i++) {
		struct page *p = alloc_page(GFP_KERNEL);
		if (fill >= 0)
			std::memset(page_address(p), fill + i, PAGE_SIZE);
		if (bio_add_page(b, p, PAGE_SIZE, 0) != static_cast<int>(PAGE_SIZE)) {
			__free_page(p);
			break;
		}
	}
	return b;
}

inline void free_bio_pages(bio *b)
{
	for (unsigned i = 0; i < b->bi_vcnt; i++)
		__free_page(b->bi_io_vec[i].bv_page);
	bio_put(b);
}

// Submits and waits; returns the error (0 on success). Copies read data to out if given.
inline int sync_io(int rw, block_device *bdev, sector_t sector, int npages, int fill = 0,
		   std::vector<unsigned char> *out = nullptr)
{
	io_result r;
	bio *b = make_bio(bdev, sector, npages, &r, rw == WRITE ? fill : -1);
	if (!b)
		return -ENOMEM;
	submit_bio(rw, b);
	wait_for_completion(&r.done);
	if (out) {
		out->clear();
		for (unsigned i = 0; i < b->bi_vcnt; i++) {
			auto *p = static_cast<unsigned char *>(page_address(b->bi_io_vec[i].bv_page));
			out->insert(out->end(), p, p + b->bi_io_vec[i].bv_len);
		}
	}
	free_bio_pages(b);
	return r.error;
}

// A block device file opened through def_blk_fops, as the file layer would.
struct blk_file {
	file f{};
	int open_result;
	explicit blk_file(dev_t dev)
	{
		f.f_op = &def_blk_fops;
		f.f_dentry = &f.f_dentry_store;
		f.f_dentry_store.d_inode = &f.f_inode_store;
		f.f_inode_store.i_mode = S_IFBLK;
		f.f_inode_store.i_rdev = dev;
		f.f_mode = FMODE_READ | FMODE_WRITE;
		f.host_fd = -1;
		atomic_set(&f.f_count, 1);
		open_result = def_blk_fops.open(&f.f_inode_store, &f);
	}
	~blk_file()
	{
		if (open_result == 0)
			def_blk_fops.release(&f.f_inode_store, &f);
	}
	// Kernel buffers need KERNEL_DS.
	ssize_t pwrite(const void *buf, size_t n, loff_t pos)
	{
		mm_segment_t old = get_fs();
		set_fs(KERNEL_DS);
		ssize_t r = def_blk_fops.write(&f, static_cast<const char *>(buf), n, &pos);
		set_fs(old);
		return r;
	}
	ssize_t pread(void *buf, size_t n, loff_t pos)
	{
		mm_segment_t old = get_fs();
		set_fs(KERNEL_DS);
		ssize_t r = def_blk_fops.read(&f, static_cast<char *>(buf), n, &pos);
		set_fs(old);
		return r;
	}
};

inline std::vector<unsigned char> pattern(size_t n, unsigned seed)
{
	std::vector<unsigned char> v(n);
	for (size_t i = 0; i < n; i++)
		v[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
	return v;
}

// Submits a one-page write whose completion sleeps: a bug the kernel must catch.
inline int sleeping_end_io(bio *b, unsigned int, int)
{
	if (b->bi_size)
		return 1;
	msleep(1);
	return 0;
}

inline void submit_with_sleeping_completion(block_device *bdev)
{
	static io_result r;
	bio *b = make_bio(bdev, 0, 1, &r, 0);
	b->bi_end_io = sleeping_end_io;
	submit_bio(WRITE, b);
}

} // namespace blktest
