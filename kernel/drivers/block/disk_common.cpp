#include "kernel/drivers/block/disk_common.h"

#include "kernel/core/faults.h"
#include "kernel/core/sched.h"
#include "kernel/host/hostops.h"

namespace kern {

namespace {
bool eio_hits(const zdisk *zd, int dir, sector_t sector, sector_t nr)
{
	for (const eio_range &r : zd->eio) {
		if (r.rw != -1 && r.rw != dir)
			continue;
		sector_t end = nr ? sector + nr : sector + 1;
		if (sector < r.start + r.count && r.start < end)
			return true;
	}
	return false;
}
} // namespace

int zdisk_do_bio(zdisk *zd, bio *b)
{
	int dir = bio_data_dir(b);
	sector_t sector = b->bi_sector;
	sector_t nr = bio_sectors(b);
	H().lock_acquire(zd->lock);
	bool fail = zd->gone || eio_hits(zd, dir, sector, nr);
	unsigned delay = zd->delay_usec;
	H().lock_release(zd->lock);
	if (fault_points_armed() && should_fail("disk_io:" + zd->name))
		fail = true;
	if (delay)
		H().sleep_ns(static_cast<u64>(delay) * 1000);
	if (fail)
		return -EIO;
	if (sector > zd->capacity || nr > zd->capacity - sector)
		return -EIO;
	u64 off = sector << 9;
	bio_vec *bv;
	unsigned i;
	bio_for_each_segment(bv, b, i)
	{
		void *p = static_cast<char *>(page_address(bv->bv_page)) + bv->bv_offset;
		int err = zd->ops->rw(zd, dir, off, p, bv->bv_len);
		if (err)
			return err;
		off += bv->bv_len;
	}
	return 0;
}

void zdisk_complete(zdisk *zd, bio *b, int err)
{
	H().lock_acquire(zd->lock);
	if (bio_data_dir(b) == WRITE) {
		zd->stats.writes++;
		zd->stats.sectors_written += bio_sectors(b);
	} else {
		zd->stats.reads++;
		zd->stats.sectors_read += bio_sectors(b);
	}
	if (err)
		zd->stats.errors++;
	if (zd->hold && !zd->gone) {
		zd->held.emplace_back(b, err);
		zd->stats.held = zd->held.size();
		H().lock_release(zd->lock);
		return;
	}
	H().lock_release(zd->lock);
	// Completions come from the "controller": interrupt context, no sleeping.
	irq_enter();
	bio_endio(b, b->bi_size, err);
	irq_exit();
}

int zdisk_release_held(zdisk *zd)
{
	std::vector<std::pair<bio *, int>> held;
	H().lock_acquire(zd->lock);
	held.swap(zd->held);
	zd->stats.held = 0;
	H().lock_release(zd->lock);
	for (auto &[b, err] : held) {
		irq_enter();
		bio_endio(b, b->bi_size, err);
		irq_exit();
	}
	return static_cast<int>(held.size());
}

} // namespace kern
