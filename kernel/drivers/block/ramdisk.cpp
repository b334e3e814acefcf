// ramdisk: a disk in memory. Storage is sparse: 64 KiB extents are allocated on the first
// write that touches them; never-written sectors read as zeros. Bios are served at once
// in the submitter's context and completed in interrupt context.
#include <cstring>
#include <new>
#include <unordered_map>

#include "kernel/drivers/block/disk_common.h"
#include "kernel/host/hostops.h"
#include "kernel/mm/mm.h"

namespace kern {

namespace {

constexpr size_t EXTENT_SIZE = 64 * 1024;
constexpr size_t STRIPES = 16;

struct ramdisk {
	host::host_lock *lock;	// the extent map
	std::unordered_map<u64, void *> extents;
	// Overlapping requests of different submitters copy one at a time, as a disk would
	// take them one after the other: the bytes are never half of each.
	host::host_lock *stripe[STRIPES];
};

ramdisk *RD(zdisk *zd) { return static_cast<ramdisk *>(zd->priv); }

// The extent holding byte `index * EXTENT_SIZE`; created when `create`. Null if absent
// (or out of memory when creating).
void *extent(ramdisk *rd, u64 index, bool create)
{
	H().lock_acquire(rd->lock);
	auto it = rd->extents.find(index);
	void *e = it == rd->extents.end() ? nullptr : it->second;
	H().lock_release(rd->lock);
	if (e || !create)
		return e;
	// The submitter may be atomic: never sleep for memory here.
	void *fresh = kzalloc(EXTENT_SIZE, GFP_ATOMIC | __GFP_NOWARN);
	if (!fresh)
		return nullptr;
	H().lock_acquire(rd->lock);
	auto [pos, inserted] = rd->extents.emplace(index, fresh);
	e = pos->second;
	H().lock_release(rd->lock);
	if (!inserted)
		kfree(fresh);
	return e;
}

int ramdisk_rw(zdisk *zd, int dir, u64 off, void *buf, size_t bytes)
{
	ramdisk *rd = RD(zd);
	auto *p = static_cast<char *>(buf);
	while (bytes) {
		u64 index = off / EXTENT_SIZE;
		size_t in = off % EXTENT_SIZE;
		size_t n = std::min(bytes, EXTENT_SIZE - in);
		void *e = extent(rd, index, dir == WRITE);
		if (dir == WRITE && !e)
			return -ENOMEM;
		host::host_lock *l = rd->stripe[index % STRIPES];
		H().lock_acquire(l);
		if (dir == WRITE)
			std::memcpy(static_cast<char *>(e) + in, p, n);
		else if (e)
			std::memcpy(p, static_cast<char *>(e) + in, n);
		else
			std::memset(p, 0, n);
		H().lock_release(l);
		p += n;
		off += n;
		bytes -= n;
	}
	return 0;
}

int ramdisk_make_request(request_queue_t *q, bio *b)
{
	auto *zd = static_cast<zdisk *>(q->queuedata);
	int err = zdisk_do_bio(zd, b);
	zdisk_complete(zd, b, err ? -EIO : 0);
	return 0;
}

int ramdisk_flush(zdisk *) { return 0; }
void ramdisk_stop(zdisk *) {}

void ramdisk_destroy(zdisk *zd)
{
	ramdisk *rd = RD(zd);
	if (!rd)
		return;
	for (auto &[i, e] : rd->extents)
		kfree(e);
	for (host::host_lock *l : rd->stripe)
		H().lock_destroy(l);
	H().lock_destroy(rd->lock);
	delete rd;
	zd->priv = nullptr;
}

const zdisk_ops ramdisk_ops = {ramdisk_make_request, ramdisk_rw, ramdisk_flush, ramdisk_stop,
			       ramdisk_destroy};

} // namespace

int ramdisk_create(zdisk *zd, sector_t sectors)
{
	if (sectors == 0)
		return -EINVAL;
	auto *rd = new (std::nothrow) ramdisk;
	if (!rd)
		return -ENOMEM;
	rd->lock = H().lock_create();
	for (host::host_lock *&l : rd->stripe)
		l = H().lock_create();
	zd->priv = rd;
	zd->ops = &ramdisk_ops;
	zd->capacity = sectors;
	return 0;
}

} // namespace kern
