// What the machine's disk drivers (ramdisk, filedisk) share: the per-disk record with its
// test controls (EIO ranges, delays, held completions, counters) and the completion path.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kernel/block/blkdev.h"
#include "kernel/drivers/block/disk.h"

namespace kern {

namespace host {
struct host_lock;
}

struct zdisk;

struct zdisk_ops {
	make_request_fn *make_request;
	// Reads or writes the medium: dir 0 read, 1 write. 0 or -errno.
	int (*rw)(zdisk *zd, int dir, u64 byte_off, void *buf, size_t bytes);
	int (*flush)(zdisk *zd);
	// Stops serving: after it returns no bio is left queued with the driver.
	void (*stop)(zdisk *zd);
	// Frees the medium: after stop, at the disk's last reference (a submitter that
	// holds the disk may still be inside make_request).
	void (*destroy)(zdisk *zd);
};

struct eio_range {
	sector_t start, count;
	int rw;	// 0 read, 1 write, -1 both
};

struct zdisk {
	std::string name;
	std::string driver;	// "ramdisk" or "filedisk": the major's name
	dev_t dev;
	gendisk *disk;
	request_queue_t *queue;
	const zdisk_ops *ops;
	void *priv;
	disk_options opts;
	sector_t capacity;	// set by the driver's create

	host::host_lock *lock;	// controls, counters and the held list
	std::vector<eio_range> eio;
	unsigned delay_usec;
	bool hold;
	bool gone;	// removed: bios that still come end with -EIO, none is held
	std::vector<std::pair<bio *, int>> held;	// bio and its result
	disk_stats stats;
	long fsyncs;
};

// Serves a bio against the medium (EIO ranges, delay, per-segment rw). 0 or -errno;
// -EIO once the disk is gone.
int zdisk_do_bio(zdisk *zd, bio *b);
// Counts the bio and ends it in interrupt context, or keeps it when completions are held.
void zdisk_complete(zdisk *zd, bio *b, int err);
// Completes the held bios; their number.
int zdisk_release_held(zdisk *zd);

// Driver entry points used by the machine: set ops, priv and capacity. 0 or -errno.
int ramdisk_create(zdisk *zd, sector_t sectors);
int filedisk_create(zdisk *zd, const std::string &host_path);

} // namespace kern
