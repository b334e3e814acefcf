// The per-disk controls tests use: counters, EIO ranges, delays, held completions, and
// direct reads and writes of the medium.
#include "kernel/machine/disks.h"

namespace kern {

disk_stats get_disk_stats(dev_t disk)
{
	disk_stats s{};
	zdisk *zd = find_zdisk(disk);
	if (zd) {
		H().lock_acquire(zd->lock);
		s = zd->stats;
		H().lock_release(zd->lock);
	}
	return s;
}

void disk_set_eio(dev_t disk, sector_t start, sector_t count, int rw)
{
	zdisk *zd = find_zdisk(disk);
	if (!zd)
		return;
	H().lock_acquire(zd->lock);
	zd->eio.push_back({start, count, rw});
	H().lock_release(zd->lock);
}

void disk_clear_eio(dev_t disk)
{
	zdisk *zd = find_zdisk(disk);
	if (!zd)
		return;
	H().lock_acquire(zd->lock);
	zd->eio.clear();
	H().lock_release(zd->lock);
}

void disk_set_delay(dev_t disk, unsigned usec)
{
	zdisk *zd = find_zdisk(disk);
	if (!zd)
		return;
	H().lock_acquire(zd->lock);
	zd->delay_usec = usec;
	H().lock_release(zd->lock);
}

void disk_hold_completions(dev_t disk, bool hold)
{
	zdisk *zd = find_zdisk(disk);
	if (!zd)
		return;
	H().lock_acquire(zd->lock);
	zd->hold = hold;
	H().lock_release(zd->lock);
}

int disk_release_completions(dev_t disk)
{
	zdisk *zd = find_zdisk(disk);
	return zd ? zdisk_release_held(zd) : -ENXIO;
}

static int peek_poke(dev_t disk, sector_t sector, void *buf, size_t bytes, int dir)
{
	zdisk *zd = find_zdisk(disk);
	if (!zd)
		return -ENXIO;
	if (sector > zd->capacity || ((bytes + 511) >> 9) > zd->capacity - sector)
		return -EINVAL;
	return zd->ops->rw(zd, dir, sector << 9, buf, bytes);
}

int disk_peek(dev_t disk, sector_t sector, void *buf, size_t bytes)
{
	return peek_poke(disk, sector, buf, bytes, READ);
}

int disk_poke(dev_t disk, sector_t sector, const void *buf, size_t bytes)
{
	return peek_poke(disk, sector, const_cast<void *>(buf), bytes, WRITE);
}

} // namespace kern
