// A small block driver for the tests, in module "toydisk" (major 121, as the snapshot
// devices): RAM-backed disks of one minor with their own make-request queue, whose open
// and release record the disk they ran for and the task they ran in, and can refuse.
// The record of a disk is freed by the disk's release hook, once no one holds the disk.
#pragma once

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/block/blkdev.h"
#include "kernel/core/module.h"
#include "kernel/core/sched.h"

DECLARE_THIS_MODULE(toydisk);

namespace toydisk {

using namespace kern;

constexpr unsigned TOY_MAJOR = 121;
constexpr unsigned TOY_MAGIC = 0x70d15c;

struct toy {
	unsigned magic;
	gendisk *disk;
	request_queue_t *q;
	std::vector<unsigned char> data;
	int open_error;		// what open returns (0: accept)
	int bad_bios;		// bios that broke the one-page limits reached the driver
	std::vector<unsigned> bio_sizes;
};

// One call of the disk's open or release.
struct call {
	bool open;
	gendisk *disk;
	toy *t;			// the disk's private data at the call
	unsigned magic;		// and its magic then (TOY_MAGIC while it is valid)
	std::string comm;
	bool inode_is_disks;	// the inode given resolves to a block device of that disk
	bool has_file;
};

inline std::mutex log_lock;
inline std::vector<call> calls;
inline std::vector<gendisk *> freed;	// disks whose release hook ran

inline void record(bool open, inode *i, file *f)
{
	gendisk *d = i && i->i_bdev ? i->i_bdev->bd_disk : nullptr;
	auto *t = d ? static_cast<toy *>(d->private_data) : nullptr;
	std::lock_guard<std::mutex> g(log_lock);
	calls.push_back({open, d, t, t ? t->magic : 0u, get_current()->comm, d != nullptr, f != nullptr});
}

inline int toy_open(inode *i, file *f)
{
	record(true, i, f);
	auto *t = static_cast<toy *>(i->i_bdev->bd_disk->private_data);
	return t->open_error;
}

inline int toy_release(inode *i, file *f)
{
	record(false, i, f);
	return 0;
}

inline const block_device_operations toy_fops = {toy_open, toy_release, nullptr, nullptr, nullptr,
						 &__this_module_toydisk};

// Serves bios from memory; notes any bio that a one-page, one-segment queue could not take.
inline int toy_make_request(request_queue_t *q, bio *b)
{
	auto *t = static_cast<toy *>(q->queuedata);
	unsigned segs = b->bi_vcnt - b->bi_idx;
	if (q->max_hw_segments == 1 && (segs != 1 || b->bi_size > 4096 ||
					(b->bi_io_vec[b->bi_idx].bv_offset & 0xfff) + b->bi_size > 4096))
		t->bad_bios++;
	t->bio_sizes.push_back(b->bi_size);
	u64 pos = b->bi_sector << 9;
	for (unsigned i = b->bi_idx; i < b->bi_vcnt; i++) {
		bio_vec *v = &b->bi_io_vec[i];
		char *p = static_cast<char *>(page_address(v->bv_page)) + v->bv_offset;
		if (bio_data_dir(b) == WRITE)
			std::memcpy(t->data.data() + pos, p, v->bv_len);
		else
			std::memcpy(p, t->data.data() + pos, v->bv_len);
		pos += v->bv_len;
	}
	bio_endio(b, b->bi_size, 0);
	return 0;
}

inline void toy_release_disk(gendisk *d)
{
	auto *t = static_cast<toy *>(d->private_data);
	{
		std::lock_guard<std::mutex> g(log_lock);
		freed.push_back(d);
	}
	if (t) {
		t->magic = 0;
		delete t;
	}
}

// A disk "<name>" at 121:minor of `sectors`, with the snapshot devices' queue limits when
// one_page. Its add_disk result goes to *err; null when it failed (nothing left behind).
inline toy *toy_create(const char *name, int minor, sector_t sectors, bool one_page, int *err)
{
	auto *t = new toy{};
	t->magic = TOY_MAGIC;
	t->data.resize(sectors << 9);
	t->disk = alloc_disk(1);
	t->q = blk_alloc_queue(GFP_KERNEL);
	blk_queue_make_request(t->q, toy_make_request);
	t->q->queuedata = t;
	if (one_page) {
		blk_queue_bounce_limit(t->q, BLK_BOUNCE_ANY);
		blk_queue_max_sectors(t->q, 8);
		blk_queue_max_phys_segments(t->q, 1);
		blk_queue_max_hw_segments(t->q, 1);
		blk_queue_hardsect_size(t->q, 512);
		blk_queue_max_segment_size(t->q, 4096);
		blk_queue_segment_boundary(t->q, 0xfff);
	}
	gendisk *d = t->disk;
	d->major = TOY_MAJOR;
	d->first_minor = minor;
	d->fops = &toy_fops;
	d->queue = t->q;
	d->private_data = t;
	set_capacity(d, sectors);
	std::snprintf(d->disk_name, sizeof(d->disk_name), "%s", name);
	*err = add_disk(d);
	if (*err) {
		blk_cleanup_queue(t->q);
		put_disk(d);	// no release hook yet
		delete t;
		return nullptr;
	}
	d->release = toy_release_disk;
	return t;
}

// As a driver removes its disk: the record lives on while block devices hold the disk.
inline void toy_destroy(toy *t)
{
	gendisk *d = t->disk;
	del_gendisk(d);
	blk_cleanup_queue(t->q);
	put_disk(d);
}

inline int toy_init() { return register_blkdev(TOY_MAJOR, "toydisk"); }
inline void toy_exit() { unregister_blkdev(TOY_MAJOR, "toydisk"); }

inline void reset_log()
{
	std::lock_guard<std::mutex> g(log_lock);
	calls.clear();
	freed.clear();
}

inline std::vector<call> log()
{
	std::lock_guard<std::mutex> g(log_lock);
	return calls;
}

inline bool was_freed(gendisk *d)
{
	std::lock_guard<std::mutex> g(log_lock);
	for (gendisk *x : freed)
		if (x == d)
			return true;
	return false;
}

} // namespace toydisk

// One definition per test program: the file that includes this defines the module.
DEFINE_MODULE(toydisk, "toydisk", toydisk::toy_init, toydisk::toy_exit);
