// Disks and their partitions, with their IO counters, and block major numbers.
#pragma once

#include <string>

#include "kernel/lib/atomic.h"
#include "kernel/lib/list.h"
#include "kernel/lib/srcloc.h"
#include "kernel/lib/types.h"

namespace kern {

struct request_queue;
using request_queue_t = request_queue;
struct gendisk;
struct inode;
struct file;
struct module;

// What a block driver does on open, release and ioctl of its devices.
struct block_device_operations {
	int (*open)(inode *, file *);
	int (*release)(inode *, file *);
	int (*ioctl)(inode *, file *, unsigned, unsigned long);
	int (*media_changed)(gendisk *);
	int (*revalidate_disk)(gendisk *);
	module *owner;
};

// Counters are read and bumped concurrently; the type keeps the record copyable.
struct blk_counter {
	unsigned long v = 0;
	blk_counter() = default;
	blk_counter(unsigned long x) : v(x) {}
	blk_counter(const blk_counter &o) : v(__atomic_load_n(&o.v, __ATOMIC_RELAXED)) {}
	blk_counter &operator=(const blk_counter &o)
	{
		__atomic_store_n(&v, __atomic_load_n(&o.v, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
		return *this;
	}
	operator unsigned long() const { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
	void add(unsigned long d) { __atomic_fetch_add(&v, d, __ATOMIC_RELAXED); }
};

// A partition: plain fields, copied by value by drivers.
struct hd_struct {
	sector_t start_sect;
	sector_t nr_sects;
	int partno;
	blk_counter reads, read_sectors, writes, write_sectors;
};

struct disk_io_stats {
	blk_counter reads, read_sectors, writes, write_sectors;
};

enum : int {
	GENHD_FL_REMOVABLE = 1,
	GENHD_FL_DRIVERFS = 2,
	GENHD_FL_CD = 8,
	GENHD_FL_UP = 16,
	GENHD_FL_GONE = 0x100,	// del_gendisk ran: no new lookups, bios end with -EIO
};

struct gendisk {
	int major;
	int first_minor;
	int minors;
	char disk_name[32];
	hd_struct **part;	// minors - 1 slots, null where no partition
	const block_device_operations *fops;
	request_queue_t *queue;
	void *private_data;
	sector_t capacity;
	int flags;
	disk_io_stats dkstats;
	atomic_t refcnt;
	// Called once the last reference is gone, before the record is freed.
	void (*release)(gendisk *disk);
	list_head list;	// registered disks
};

gendisk *alloc_disk(int minors, kern::source_location loc = kern::source_location::current());
// Registers the disk's range of devices and creates the nodes /dev/<disk_name> (and of
// the partitions it has). 0, or -EBUSY when another disk has one of its devices (or
// it is added already), or the node's error (-EEXIST: the name is taken, -EINVAL: a
// bad name). On failure nothing is registered: the caller still owns the disk.
int add_disk(gendisk *disk);
// Removes the disk's and its partitions' nodes; the disk no longer resolves.
void del_gendisk(gendisk *disk);
void get_disk(gendisk *disk);
void put_disk(gendisk *disk);
inline void set_capacity(gendisk *disk, sector_t size) { __atomic_store_n(&disk->capacity, size, __ATOMIC_RELAXED); }
inline sector_t get_capacity(const gendisk *disk) { return __atomic_load_n(&disk->capacity, __ATOMIC_RELAXED); }
// The registered disk covering dev (with a reference), and the partition number in *part.
gendisk *get_gendisk(dev_t dev, int *part);
inline dev_t disk_devt(const gendisk *disk) { return MKDEV(disk->major, disk->first_minor); }
// A partition: node /dev/<disk><partno> (or <disk>p<partno> when the name ends in a digit).
// 0, -EINVAL (partno, range or overlap), -EBUSY (partno taken), -ENOMEM.
int add_disk_partition(gendisk *disk, int partno, sector_t start, sector_t nr_sects);
int delete_disk_partition(gendisk *disk, int partno);
// The node name of a disk's partition.
std::string disk_partition_name(const gendisk *disk, int partno);

// 0 with a given major, the major chosen when 0 is asked, -EBUSY when taken, -EINVAL.
int register_blkdev(unsigned int major, const char *name);
int unregister_blkdev(unsigned int major, const char *name);
// The name a block major was registered with ("" when free).
std::string blkdev_major_name(unsigned int major);

} // namespace kern
