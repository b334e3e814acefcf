// Disks and partitions: block majors, registering disks with their device nodes, and
// partitions; the block layer's boot and halt.
#include "kernel/block/internal.h"

#include "kernel/core/printk.h"
#include "kernel/fs/fs.h"

namespace kern {

blk_state &blk()
{
	static blk_state *s = [] {
		auto *st = new blk_state;
		st->lock = host::ops().lock_create();
		return st;
	}();
	return *s;
}

namespace {

bool disk_covers(const gendisk *d, dev_t dev)
{
	return static_cast<int>(MAJOR(dev)) == d->major && static_cast<int>(MINOR(dev)) >= d->first_minor &&
	       static_cast<int>(MINOR(dev)) < d->first_minor + d->minors;
}

} // namespace

gendisk *find_disk_locked(dev_t dev)
{
	gendisk *d;
	list_for_each_entry(d, &blk().disks, list)
	{
		// A disk being added is on the list (its range is taken) but not up yet.
		if (disk_covers(d, dev) && (disk_flags(d) & (GENHD_FL_UP | GENHD_FL_GONE)) == GENHD_FL_UP)
			return d;
	}
	return nullptr;
}

// ---------------------------------------------------------------- majors

int register_blkdev(unsigned int major, const char *name)
{
	if (!name || !*name || major > MAX_BLKDEV_MAJOR)
		return -EINVAL;
	blk_guard g;
	auto &m = blk().majors;
	if (major == 0) {
		for (unsigned i = MAX_DYNAMIC_MAJOR; i > 0; i--) {
			if (m[i].empty()) {
				m[i] = name;
				return static_cast<int>(i);
			}
		}
		printk(KERN_WARNING "register_blkdev: failed to get major for %s\n", name);
		return -EBUSY;
	}
	if (!m[major].empty()) {
		printk(KERN_WARNING "register_blkdev: cannot get major %u for %s\n", major, name);
		return -EBUSY;
	}
	m[major] = name;
	return 0;
}

int unregister_blkdev(unsigned int major, const char *name)
{
	if (major == 0 || major > MAX_BLKDEV_MAJOR || !name)
		return -EINVAL;
	blk_guard g;
	auto &m = blk().majors;
	if (m[major] != name)
		return -EINVAL;
	m[major].clear();
	return 0;
}

std::string blkdev_major_name(unsigned int major)
{
	if (major > MAX_BLKDEV_MAJOR)
		return {};
	blk_guard g;
	return blk().majors[major];
}

// ---------------------------------------------------------------- disks

gendisk *alloc_disk(int minors, kern::source_location loc)
{
	if (minors < 1 || static_cast<unsigned long>(minors) > MINORMASK + 1ul)
		return nullptr;
	auto *d = kernel_new<gendisk>(GFP_KERNEL, loc);
	if (!d)
		return nullptr;
	if (minors > 1) {
		d->part = static_cast<hd_struct **>(kzalloc(sizeof(hd_struct *) * (minors - 1), GFP_KERNEL, loc));
		if (!d->part) {
			kfree(d);
			return nullptr;
		}
	}
	d->minors = minors;
	atomic_set(&d->refcnt, 1);
	INIT_LIST_HEAD(&d->list);
	return d;
}

void get_disk(gendisk *disk) { atomic_inc(&disk->refcnt); }

void put_disk(gendisk *disk)
{
	if (!disk || !atomic_dec_and_test(&disk->refcnt))
		return;
	if (disk->release)
		disk->release(disk);
	for (int i = 0; i + 1 < disk->minors; i++) {
		if (disk->part[i]) {
			disk->part[i]->~hd_struct();
			kfree(disk->part[i]);
		}
	}
	kfree(disk->part);
	if (disk->queue && (disk_flags(disk) & GENHD_FL_UP))
		blk_cleanup_queue(disk->queue);	// the reference add_disk took
	disk->~gendisk();
	kfree(disk);
}

std::string disk_partition_name(const gendisk *disk, int partno)
{
	std::string n = disk->disk_name;
	if (!n.empty() && n.back() >= '0' && n.back() <= '9')
		n += 'p';
	return n + std::to_string(partno);
}

namespace {

// Removes the nodes of the disk and of its first `parts` partitions.
void remove_disk_nodes(gendisk *disk, int parts)
{
	for (int i = 0; i < parts && i + 1 < disk->minors; i++)
		if (disk->part[i])
			dev_node_remove(disk_partition_name(disk, i + 1));
	dev_node_remove(disk->disk_name);
}

// The nodes of the disk and of the partitions it has: all or none.
int add_disk_nodes(gendisk *disk)
{
	int err = dev_node_add(disk->disk_name, S_IFBLK, disk_devt(disk));
	if (err) {
		printk(KERN_ERR "add_disk: %s: cannot make node /dev/%s: error %d\n", disk->disk_name,
		       disk->disk_name, err);
		return err;
	}
	for (int i = 0; i + 1 < disk->minors; i++) {
		if (!disk->part[i])
			continue;
		std::string n = disk_partition_name(disk, i + 1);
		err = dev_node_add(n, S_IFBLK, disk_devt(disk) + i + 1);
		if (err) {
			printk(KERN_ERR "add_disk: %s: cannot make node /dev/%s: error %d\n", disk->disk_name,
			       n.c_str(), err);
			remove_disk_nodes(disk, i);
			return err;
		}
	}
	return 0;
}

} // namespace

// The disk goes on the list first, not yet up: that reserves its range while the nodes
// are made (which may fail) and keeps lookups away until everything is in place.
int add_disk(gendisk *disk)
{
	{
		blk_guard g;
		gendisk *d;
		list_for_each_entry(d, &blk().disks, list)
		{
			if (d == disk) {
				printk(KERN_ERR "add_disk: %s: added already\n", disk->disk_name);
				return -EBUSY;
			}
			if (d->major == disk->major && d->first_minor < disk->first_minor + disk->minors &&
			    disk->first_minor < d->first_minor + d->minors) {
				printk(KERN_ERR "add_disk: %s: minors %d-%d of major %d are used by %s\n",
				       disk->disk_name, disk->first_minor,
				       disk->first_minor + disk->minors - 1, disk->major, d->disk_name);
				return -EBUSY;
			}
		}
		if (disk_flags(disk) & (GENHD_FL_UP | GENHD_FL_GONE)) {
			printk(KERN_ERR "add_disk: %s: added already\n", disk->disk_name);
			return -EBUSY;
		}
		list_add_tail(&disk->list, &blk().disks);
	}
	int err = add_disk_nodes(disk);
	blk_guard g;
	if (err) {
		list_del_init(&disk->list);
		return err;
	}
	if (disk->queue)
		blk_get_queue(disk->queue);
	atomic_inc(&disk->refcnt);	// the registration's
	__atomic_fetch_or(&disk->flags, GENHD_FL_UP, __ATOMIC_RELEASE);
	return 0;
}

void del_gendisk(gendisk *disk)
{
	{
		blk_guard g;
		if (!(disk_flags(disk) & GENHD_FL_UP) || (disk_flags(disk) & GENHD_FL_GONE))
			return;
		__atomic_fetch_or(&disk->flags, GENHD_FL_GONE, __ATOMIC_RELEASE);
		list_del(&disk->list);
		// Holders keep their block devices; new lookups find nothing.
		block_device *b;
		list_for_each_entry(b, &blk().bdevs, bd_hash)
		{
			if (b->bd_disk == disk)
				b->bd_hashed = false;
		}
	}
	remove_disk_nodes(disk, disk->minors);
	put_disk(disk);
}

gendisk *get_gendisk(dev_t dev, int *part)
{
	blk_guard g;
	gendisk *d = find_disk_locked(dev);
	if (!d)
		return nullptr;
	if (part)
		*part = static_cast<int>(MINOR(dev)) - d->first_minor;
	atomic_inc(&d->refcnt);
	return d;
}

int add_disk_partition(gendisk *disk, int partno, sector_t start, sector_t nr_sects)
{
	if (partno < 1 || partno >= disk->minors || nr_sects == 0)
		return -EINVAL;
	sector_t cap = get_capacity(disk);
	if (start >= cap || nr_sects > cap - start)
		return -EINVAL;
	auto *p = kernel_new<hd_struct>(GFP_KERNEL, kern::source_location::current());
	if (!p)
		return -ENOMEM;
	p->start_sect = start;
	p->nr_sects = nr_sects;
	p->partno = partno;
	bool up;
	{
		blk_guard g;
		int err = 0;
		if (disk->part[partno - 1])
			err = -EBUSY;
		for (int i = 0; !err && i + 1 < disk->minors; i++) {
			hd_struct *o = disk->part[i];
			if (o && start < o->start_sect + o->nr_sects && o->start_sect < start + nr_sects)
				err = -EINVAL;
		}
		if (err) {
			kfree(p);
			return err;
		}
		disk->part[partno - 1] = p;
		up = (disk_flags(disk) & GENHD_FL_UP) && !(disk_flags(disk) & GENHD_FL_GONE);
	}
	if (up)
		dev_node_add(disk_partition_name(disk, partno), S_IFBLK, disk_devt(disk) + partno);
	return 0;
}

int delete_disk_partition(gendisk *disk, int partno)
{
	if (partno < 1 || partno >= disk->minors)
		return -EINVAL;
	hd_struct *p;
	{
		blk_guard g;
		p = disk->part[partno - 1];
		if (!p)
			return -ENXIO;
		// A block device of the partition points at the record: keep it while in use.
		block_device *b;
		list_for_each_entry(b, &blk().bdevs, bd_hash)
		{
			if (b->bd_part == p)
				return -EBUSY;
		}
		disk->part[partno - 1] = nullptr;
	}
	dev_node_remove(disk_partition_name(disk, partno));
	kfree(p);
	return 0;
}

// ---------------------------------------------------------------- boot and halt

void blk_boot()
{
	if (bio_boot())
		printk(KERN_ERR "blk_boot: cannot create the bio cache\n");
}

void blk_halt(std::vector<std::string> *problems)
{
	std::vector<gendisk *> left;
	{
		blk_guard g;
		gendisk *d;
		list_for_each_entry(d, &blk().disks, list) left.push_back(d);
	}
	for (gendisk *d : left) {
		if (problems)
			problems->push_back(std::string("disk ") + d->disk_name + " still registered");
		del_gendisk(d);
	}
	{
		blk_guard g;
		block_device *b;
		list_for_each_entry(b, &blk().bdevs, bd_hash)
		{
			if (problems)
				problems->push_back("block device " + std::to_string(MAJOR(b->bd_dev)) + ":" +
						    std::to_string(MINOR(b->bd_dev)) + " still referenced (" +
						    std::to_string(atomic_read(&b->bd_count)) + ")");
		}
		for (unsigned i = 0; i <= MAX_BLKDEV_MAJOR; i++) {
			auto &m = blk().majors[i];
			if (m.empty())
				continue;
			if (problems)
				problems->push_back("block major " + std::to_string(i) + " (" + m + ") still registered");
			m.clear();
		}
	}
	bio_halt(problems);
}

} // namespace kern
