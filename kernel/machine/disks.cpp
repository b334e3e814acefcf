// The machine's disks: creation and removal of ramdisks and filedisks, and partitions.
#include <algorithm>
#include <cstring>
#include <map>
#include <new>

#include "kernel/machine/disks.h"
#include "kernel/core/printk.h"
#include "kernel/core/sched.h"

namespace kern {

machine_disks &md()
{
	static machine_disks *s = [] {
		auto *st = new machine_disks;
		st->lock = host::ops().lock_create();
		return st;
	}();
	return *s;
}

zdisk *find_zdisk(dev_t dev)
{
	md_guard g;
	for (zdisk *zd : md().disks)
		if (MAJOR(dev) == MAJOR(zd->dev) && MINOR(dev) >= MINOR(zd->dev) &&
		    MINOR(dev) < MINOR(zd->dev) + static_cast<unsigned>(zd->opts.minors))
			return zd;
	return nullptr;
}

namespace {

const block_device_operations zdisk_fops = {};

void zdisk_free(zdisk *zd)
{
	H().lock_destroy(zd->lock);
	delete zd;
}

// The disk's last reference: no submitter can be inside the driver any more.
void zdisk_release(gendisk *disk)
{
	auto *zd = static_cast<zdisk *>(disk->private_data);
	zd->ops->destroy(zd);
	zdisk_free(zd);
}

int zdisk_issue_flush(request_queue_t *q, gendisk *, sector_t *)
{
	auto *zd = static_cast<zdisk *>(q->queuedata);
	H().lock_acquire(zd->lock);
	zd->fsyncs++;
	H().lock_release(zd->lock);
	return zd->ops->flush(zd);
}

// Drops a machine-registered major once no machine disk uses it.
void release_major_if_unused(const std::string &driver, unsigned major)
{
	{
		md_guard g;
		for (zdisk *zd : md().disks)
			if (MAJOR(zd->dev) == major)
				return;
		auto it = md().machine_majors.find(major);
		if (it == md().machine_majors.end() || it->second != driver)
			return;
		md().machine_majors.erase(it);
	}
	unregister_blkdev(major, driver.c_str());
}

// Picks (and registers if needed) the major for a new disk of zd's driver.
int take_major(zdisk *zd, int major, bool *registered)
{
	*registered = false;
	if (major < 0 || major > static_cast<int>(MAJOR(~0u)))
		return -EINVAL;
	if (major == 0) {
		md_guard g;
		for (auto &[m, driver] : md().machine_majors)
			if (driver == zd->driver)
				return static_cast<int>(m);
	} else {
		std::string owner = blkdev_major_name(major);
		if (owner == zd->driver)
			return major;
		if (!owner.empty())
			return -EBUSY;
	}
	int r = register_blkdev(major, zd->driver.c_str());
	if (r < 0)
		return r;
	int got = major ? major : r;
	*registered = true;
	md_guard g;
	md().machine_majors[static_cast<unsigned>(got)] = zd->driver;
	return got;
}

// The first free range of `minors` minors on the major, or -ENOSPC.
int pick_first_minor(int major, int minors)
{
	for (long fm = 0; fm + minors <= static_cast<long>(MINORMASK) + 1; fm += minors) {
		bool used = false;
		for (int i = 0; i < minors && !used; i++) {
			int part;
			gendisk *d = get_gendisk(MKDEV(major, fm + i), &part);
			if (d) {
				used = true;
				put_disk(d);
			}
		}
		if (!used)
			return static_cast<int>(fm);
	}
	return -ENOSPC;
}

void set_limits(request_queue_t *q, const disk_options &o)
{
	q->hardsect_size = static_cast<unsigned short>(o.hardsect_size ? o.hardsect_size : 512);
	if (o.max_sectors)
		q->max_sectors = static_cast<unsigned short>(std::min(o.max_sectors, 0xffffu));
	if (o.max_phys_segments)
		q->max_phys_segments = static_cast<unsigned short>(std::min(o.max_phys_segments, 0xffffu));
	if (o.max_hw_segments)
		q->max_hw_segments = static_cast<unsigned short>(std::min(o.max_hw_segments, 0xffffu));
	if (o.max_segment_size)
		q->max_segment_size = o.max_segment_size;
	if (o.seg_boundary_mask)
		q->seg_boundary_mask = o.seg_boundary_mask;
}

// Registers the disk of a created driver: major, minors, queue, limits, node.
int zdisk_register(zdisk *zd, int major)
{
	const disk_options &o = zd->opts;
	umode_t type;
	dev_t existing;
	if (zd->name.empty() || zd->name.size() >= sizeof(gendisk{}.disk_name) ||
	    zd->name.find('/') != std::string::npos)
		return -EINVAL;
	if (dev_node_lookup(zd->name, &type, &existing))
		return -EEXIST;
	if (o.minors < 1 || o.minors > 256)
		return -EINVAL;
	unsigned hs = o.hardsect_size ? o.hardsect_size : 512;
	if (hs < 512 || hs > PAGE_SIZE || (hs & (hs - 1)))
		return -EINVAL;
	bool registered;
	int m = take_major(zd, major, &registered);
	if (m < 0)
		return m;
	int fm = pick_first_minor(m, o.minors);
	gendisk *disk = fm < 0 ? nullptr : alloc_disk(o.minors);
	request_queue_t *q = disk ? blk_alloc_queue(GFP_KERNEL) : nullptr;
	if (!q) {
		if (disk)
			put_disk(disk);
		if (registered)
			release_major_if_unused(zd->driver, m);
		return fm < 0 ? fm : -ENOMEM;
	}
	blk_queue_make_request(q, zd->ops->make_request);
	blk_queue_issue_flush_fn(q, zdisk_issue_flush);
	q->queuedata = zd;
	set_limits(q, o);
	disk->major = m;
	disk->first_minor = fm;
	std::strncpy(disk->disk_name, zd->name.c_str(), sizeof(disk->disk_name) - 1);
	disk->fops = &zdisk_fops;
	disk->queue = q;
	disk->private_data = zd;
	set_capacity(disk, zd->capacity);
	zd->disk = disk;
	zd->queue = q;
	zd->dev = disk_devt(disk);
	{
		md_guard g;
		md().disks.push_back(zd);
	}
	int err = add_disk(disk);
	if (err) {
		{
			md_guard g;
			auto &v = md().disks;
			v.erase(std::remove(v.begin(), v.end(), zd), v.end());
		}
		blk_cleanup_queue(q);
		put_disk(disk);	// no release hook yet: the caller frees zd
		if (registered)
			release_major_if_unused(zd->driver, m);
		return err;
	}
	disk->release = zdisk_release;
	return 0;
}

dev_t add_disk_common(const std::string &name, const std::string &driver, int major,
		      const disk_options &opts, const std::function<int(zdisk *)> &create)
{
	auto *zd = new zdisk{};
	zd->name = name;
	zd->driver = driver;
	zd->opts = opts;
	zd->lock = H().lock_create();
	int err = create(zd);
	if (!err) {
		err = zdisk_register(zd, major);
		if (err) {
			zd->ops->stop(zd);
			zd->ops->destroy(zd);
		}
	}
	if (err) {
		printk(KERN_ERR "%s: cannot add disk %s: error %d\n", driver.c_str(), name.c_str(), err);
		zdisk_free(zd);
		return 0;
	}
	printk(KERN_INFO "%s: %s: %llu sectors, dev %u:%u\n", driver.c_str(), name.c_str(),
	       static_cast<unsigned long long>(zd->capacity), MAJOR(zd->dev), MINOR(zd->dev));
	return zd->dev;
}

// Takes the disk out of the machine: no lookups, no nodes.
void unplug_zdisk(zdisk *zd)
{
	std::string driver = zd->driver;
	unsigned major = MAJOR(zd->dev);
	{
		md_guard g;
		auto &v = md().disks;
		v.erase(std::remove(v.begin(), v.end(), zd), v.end());
	}
	del_gendisk(zd->disk);
	release_major_if_unused(driver, major);
}

// Bios that still come (a driver that saved the make-request function submits without
// looking) end with -EIO from now on; those held are completed.
void mark_gone(zdisk *zd)
{
	H().lock_acquire(zd->lock);
	zd->gone = true;
	H().lock_release(zd->lock);
	zdisk_release_held(zd);
}

// Stops the driver (what it has queued is served) and drops the machine's reference:
// the medium goes with the disk's last one (zdisk_release).
void finish_zdisk(zdisk *zd)
{
	gendisk *disk = zd->disk;
	request_queue_t *q = zd->queue;
	zd->ops->stop(zd);
	mark_gone(zd);
	blk_cleanup_queue(q);
	put_disk(disk);
}

void remove_zdisk(zdisk *zd)
{
	unplug_zdisk(zd);
	finish_zdisk(zd);
}

} // namespace

// Each returns the new disk's dev, or 0 (with the reason in the log) on failure.
dev_t add_ramdisk(const std::string &name, int major, sector_t sectors, const disk_options &opts)
{
	return add_disk_common(name, "ramdisk", major, opts, [sectors](zdisk *zd) {
		unsigned hs = zd->opts.hardsect_size ? zd->opts.hardsect_size : 512;
		if (sectors % (hs / 512))
			return -EINVAL;
		return ramdisk_create(zd, sectors);
	});
}

dev_t add_filedisk(const std::string &name, int major, const std::string &host_path,
		   const disk_options &opts)
{
	return add_disk_common(name, "filedisk", major, opts,
			       [&host_path](zdisk *zd) { return filedisk_create(zd, host_path); });
}

dev_t add_partition(dev_t disk, int partno, sector_t start, sector_t nr_sects)
{
	zdisk *zd = find_zdisk(disk);
	if (!zd || zd->dev != disk) {
		printk(KERN_ERR "add_partition: no disk %u:%u\n", MAJOR(disk), MINOR(disk));
		return 0;
	}
	int err = add_disk_partition(zd->disk, partno, start, nr_sects);
	if (err) {
		printk(KERN_ERR "add_partition: %s partition %d (%llu+%llu): error %d\n", zd->name.c_str(),
		       partno, static_cast<unsigned long long>(start),
		       static_cast<unsigned long long>(nr_sects), err);
		return 0;
	}
	return disk + partno;
}

int remove_disk(dev_t disk)
{
	zdisk *zd = find_zdisk(disk);
	if (!zd)
		return -ENXIO;
	if (zd->dev != disk)
		return -EINVAL;
	remove_zdisk(zd);
	return 0;
}

void machine_disks_boot()
{
	md_guard g;
	md().disks.clear();
	md().machine_majors.clear();
}

void machine_disks_halt(std::vector<std::string> *problems)
{
	// A task halt could not end may be inside a driver (a file disk's worker, or a
	// submitter that saved the make-request function), or still hold its medium:
	// stopping the driver could wait for it forever, and freeing the medium would pull
	// it from under it. Those disks only go out of sight until no such task is left.
	int running = nr_running_tasks();
	std::vector<zdisk *> kept;
	if (!running) {
		md_guard g;
		kept.swap(md().kept);
	}
	for (zdisk *zd : kept)
		finish_zdisk(zd);
	for (;;) {
		zdisk *zd;
		{
			md_guard g;
			if (md().disks.empty())
				break;
			zd = md().disks.back();
		}
		if (!running) {
			remove_zdisk(zd);
			continue;
		}
		unplug_zdisk(zd);
		mark_gone(zd);
		{
			md_guard g;
			md().kept.push_back(zd);
		}
		if (problems)
			problems->push_back("disk " + zd->name + " kept: " + std::to_string(running) +
					    " task(s) still running may use it");
	}
}

} // namespace kern
