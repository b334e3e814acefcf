#include "kernel/block/blkdev.h"

#include <array>
#include <cstring>
#include <new>

#include "kernel/drivers/block/disk_common.h"
#include "kernel/host/hostops.h"
#include "kernel/internal.h"
#include "kernel/core/printk.h"

namespace kern {

namespace {

const host::hostops &H() { return host::ops(); }

constexpr unsigned MAX_BLKDEV_MAJOR = 4095;	// 12-bit majors
constexpr unsigned MAX_DYNAMIC_MAJOR = 254;

// One short host lock guards the disk list, the block-device cache and the majors.
// Nothing that sleeps runs under it.
struct blk_state {
	host::host_lock *lock;
	list_head disks = LIST_HEAD_INIT(disks);
	list_head bdevs = LIST_HEAD_INIT(bdevs);
	std::array<std::string, MAX_BLKDEV_MAJOR + 1> majors;
};

blk_state &blk()
{
	static blk_state *s = [] {
		auto *st = new blk_state;
		st->lock = H().lock_create();
		return st;
	}();
	return *s;
}

struct blk_guard {
	blk_guard() { H().lock_acquire(blk().lock); }
	~blk_guard() { H().lock_release(blk().lock); }
	blk_guard(const blk_guard &) = delete;
};

template <typename T> T *kernel_new(gfp_t gfp, kern::source_location loc)
{
	void *p = kzalloc(sizeof(T), gfp, loc);
	return p ? new (p) T{} : nullptr;
}

int disk_flags(const gendisk *d) { return __atomic_load_n(&d->flags, __ATOMIC_ACQUIRE); }

bool disk_covers(const gendisk *d, dev_t dev)
{
	return static_cast<int>(MAJOR(dev)) == d->major && static_cast<int>(MINOR(dev)) >= d->first_minor &&
	       static_cast<int>(MINOR(dev)) < d->first_minor + d->minors;
}

// Called with the lock held.
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

block_device *find_bdev_locked(dev_t dev)
{
	block_device *b;
	list_for_each_entry(b, &blk().bdevs, bd_hash)
	{
		if (b->bd_dev == dev && b->bd_hashed)
			return b;
	}
	return nullptr;
}

unsigned pick_block_size(sector_t sectors, unsigned hardsect)
{
	unsigned bs = static_cast<unsigned>(PAGE_SIZE);
	u64 bytes = sectors << 9;
	while (bs > hardsect && bs > 512 && (bytes & (bs - 1)))
		bs >>= 1;
	return bs < hardsect ? hardsect : bs;
}

// Fills a fresh record for dev of disk; called with the lock held.
void bdev_setup_locked(block_device *b, dev_t dev, gendisk *disk, int partno, block_device *whole)
{
	b->bd_dev = dev;
	b->bd_disk = disk;
	atomic_inc(&disk->refcnt);
	b->bd_part = partno ? disk->part[partno - 1] : nullptr;
	b->bd_contains = partno ? whole : b;
	b->bd_inode = &b->bd_inode_store;
	b->bd_inode_store.i_mode = S_IFBLK;
	b->bd_inode_store.i_rdev = dev;
	b->bd_inode_store.i_bdev = b;
	atomic_set(&b->bd_inode_store.i_count, 1);
	sector_t size = partno ? b->bd_part->nr_sects : get_capacity(disk);
	b->bd_inode_store.i_size = static_cast<loff_t>(size << 9);
	unsigned hs = disk->queue ? disk->queue->hardsect_size : 512;
	b->bd_block_size = pick_block_size(size, hs);
	atomic_set(&b->bd_count, 1);
	b->bd_hashed = true;
	list_add(&b->bd_hash, &blk().bdevs);
}

block_device *bdev_alloc(kern::source_location loc)
{
	auto *b = kernel_new<block_device>(GFP_KERNEL, loc);
	if (!b)
		return nullptr;
	sema_init(&b->bd_sem, 1);
	sema_init(&b->bd_mount_sem, 1);
	INIT_LIST_HEAD(&b->bd_hash);
	return b;
}

void bdev_free(block_device *b)
{
	b->~block_device();
	kfree(b);
}

} // namespace

// ---------------------------------------------------------------- queues

request_queue_t *blk_alloc_queue(gfp_t gfp_mask, kern::source_location loc)
{
	auto *q = kernel_new<request_queue>(gfp_mask, loc);
	if (!q)
		return nullptr;
	__spin_lock_init(&q->__queue_lock, "queue_lock");
	q->queue_lock = &q->__queue_lock;
	atomic_set(&q->refcnt, 1);
	return q;
}

void blk_queue_make_request(request_queue_t *q, make_request_fn *mfn)
{
	__atomic_store_n(&q->make_request_fn, mfn, __ATOMIC_RELEASE);
	q->unplug_fn = generic_unplug_device;
	q->max_sectors = SAFE_MAX_SECTORS;
	q->max_phys_segments = MAX_PHYS_SEGMENTS;
	q->max_hw_segments = MAX_HW_SEGMENTS;
	q->hardsect_size = 512;
	q->max_segment_size = MAX_SEGMENT_SIZE;
	q->seg_boundary_mask = 0xffffffffUL;
	blk_queue_bounce_limit(q, BLK_BOUNCE_HIGH);
}

void blk_queue_max_sectors(request_queue_t *q, unsigned short max_sectors)
{
	if ((static_cast<unsigned long>(max_sectors) << 9) < PAGE_CACHE_SIZE) {
		max_sectors = 1 << (PAGE_CACHE_SHIFT - 9);
		printk(KERN_INFO "blk_queue_max_sectors: set to minimum %d\n", max_sectors);
	}
	q->max_sectors = max_sectors;
}

void blk_queue_max_phys_segments(request_queue_t *q, unsigned short max_segments)
{
	if (!max_segments) {
		max_segments = 1;
		printk(KERN_INFO "blk_queue_max_phys_segments: set to minimum %d\n", max_segments);
	}
	q->max_phys_segments = max_segments;
}

void blk_queue_max_hw_segments(request_queue_t *q, unsigned short max_segments)
{
	if (!max_segments) {
		max_segments = 1;
		printk(KERN_INFO "blk_queue_max_hw_segments: set to minimum %d\n", max_segments);
	}
	q->max_hw_segments = max_segments;
}

void blk_queue_max_segment_size(request_queue_t *q, unsigned int max_size)
{
	if (max_size < PAGE_CACHE_SIZE) {
		max_size = PAGE_CACHE_SIZE;
		printk(KERN_INFO "blk_queue_max_segment_size: set to minimum %u\n", max_size);
	}
	q->max_segment_size = max_size;
}

void blk_queue_hardsect_size(request_queue_t *q, unsigned short size) { q->hardsect_size = size; }

void blk_queue_segment_boundary(request_queue_t *q, unsigned long mask)
{
	if (mask < PAGE_CACHE_SIZE - 1) {
		mask = PAGE_CACHE_SIZE - 1;
		printk(KERN_INFO "blk_queue_segment_boundary: set to minimum %lx\n", mask);
	}
	q->seg_boundary_mask = mask;
}

void blk_queue_bounce_limit(request_queue_t *q, u64 dma_addr)
{
	q->bounce_pfn = static_cast<unsigned long>(dma_addr >> PAGE_SHIFT);
	q->bounce_gfp = dma_addr < BLK_BOUNCE_HIGH ? static_cast<gfp_t>(__GFP_DMA) : 0u;
}

void blk_queue_issue_flush_fn(request_queue_t *q, issue_flush_fn *fn) { q->issue_flush_fn = fn; }

void blk_get_queue(request_queue_t *q) { atomic_inc(&q->refcnt); }

void blk_cleanup_queue(request_queue_t *q)
{
	if (!q || !atomic_dec_and_test(&q->refcnt))
		return;
	q->~request_queue();
	kfree(q);
}

// Bios go straight to make_request_fn here: there is no plugging to undo.
void generic_unplug_device(request_queue_t *) {}
void blk_run_queues() {}

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

// ---------------------------------------------------------------- block devices

block_device *bdget(dev_t dev)
{
	block_device *fresh[2] = {nullptr, nullptr};
	for (;;) {
		bool need_more = false;
		{
			blk_guard g;
			gendisk *disk = find_disk_locked(dev);
			if (!disk)
				break;
			int partno = static_cast<int>(MINOR(dev)) - disk->first_minor;
			if (partno && !disk->part[partno - 1])
				break;
			block_device *b = find_bdev_locked(dev);
			if (b && b->bd_disk == disk) {
				atomic_inc(&b->bd_count);
				for (auto *f : fresh)
					if (f)
						bdev_free(f);
				return b;
			}
			int want = partno ? 2 : 1;
			for (int i = 0; i < want; i++)
				need_more = need_more || !fresh[i];
			if (!need_more) {
				block_device *whole = nullptr;
				int used = 0;
				if (partno) {
					whole = find_bdev_locked(disk_devt(disk));
					if (whole && whole->bd_disk == disk) {
						atomic_inc(&whole->bd_count);
					} else {
						whole = fresh[used++];
						bdev_setup_locked(whole, disk_devt(disk), disk, 0, nullptr);
					}
				}
				b = fresh[used++];
				bdev_setup_locked(b, dev, disk, partno, whole);
				for (int i = used; i < 2; i++)
					if (fresh[i])
						bdev_free(fresh[i]);
				return b;
			}
		}
		// Allocate outside the lock (it may sleep), then look again.
		for (auto &f : fresh) {
			if (!f && !(f = bdev_alloc(kern::source_location::current()))) {
				for (auto *x : fresh)
					if (x)
						bdev_free(x);
				return nullptr;
			}
		}
	}
	for (auto *f : fresh)
		if (f)
			bdev_free(f);
	return nullptr;
}

void bdput(block_device *bdev)
{
	if (!bdev)
		return;
	{
		blk_guard g;
		if (!atomic_dec_and_test(&bdev->bd_count))
			return;
		list_del(&bdev->bd_hash);
	}
	block_device *whole = bdev->bd_contains != bdev ? bdev->bd_contains : nullptr;
	put_disk(bdev->bd_disk);
	bdev_free(bdev);
	if (whole)
		bdput(whole);
}

request_queue_t *bdev_get_queue(block_device *bdev)
{
	gendisk *d = bdev->bd_disk;
	if (!d || (disk_flags(d) & GENHD_FL_GONE))
		return nullptr;
	return d->queue;
}

int bdev_hardsect_size(block_device *bdev)
{
	gendisk *d = bdev->bd_disk;
	return d && d->queue && d->queue->hardsect_size ? d->queue->hardsect_size : 512;
}

sector_t bdev_nr_sectors(block_device *bdev)
{
	if (bdev->bd_part)
		return bdev->bd_part->nr_sects;
	return bdev->bd_disk ? get_capacity(bdev->bd_disk) : 0;
}

const char *bdevname(block_device *bdev, char *buf)
{
	gendisk *d = bdev ? bdev->bd_disk : nullptr;
	if (!d)
		std::snprintf(buf, BDEVNAME_SIZE, "unknown-block(%u,%u)", MAJOR(bdev ? bdev->bd_dev : 0),
			      MINOR(bdev ? bdev->bd_dev : 0));
	else if (bdev->bd_part)
		std::snprintf(buf, BDEVNAME_SIZE, "%s", disk_partition_name(d, bdev->bd_part->partno).c_str());
	else
		std::snprintf(buf, BDEVNAME_SIZE, "%s", d->disk_name);
	return buf;
}

int blkdev_issue_flush(block_device *bdev, sector_t *error_sector)
{
	request_queue_t *q = bdev_get_queue(bdev);
	if (!q)
		return -ENXIO;
	if (!q->issue_flush_fn)
		return -EOPNOTSUPP;
	return q->issue_flush_fn(q, bdev->bd_disk, error_sector);
}

// ---------------------------------------------------------------- submitting

void generic_make_request(bio *b)
{
	gendisk *counted = nullptr;
	int ret;
	do {
		char name[BDEVNAME_SIZE];
		block_device *bdev = b->bi_bdev;
		request_queue_t *q = bdev ? bdev_get_queue(bdev) : nullptr;
		// Loaded once: a hook may be installed or removed while this bio goes down.
		make_request_fn *mrf = q ? queue_make_request_fn(q) : nullptr;
		if (!mrf) {
			printk(KERN_ERR "generic_make_request: Trying to access nonexistent block-device %s (%llu)\n",
			       bdevname(bdev, name), static_cast<unsigned long long>(b->bi_sector));
			bio_endio(b, b->bi_size, -EIO);
			return;
		}
		sector_t max = bdev_nr_sectors(bdev);
		sector_t nr = bio_sectors(b);
		if (max < nr || max - nr < b->bi_sector) {
			printk(KERN_INFO "attempt to access beyond end of device\n");
			printk(KERN_INFO "%s: rw=%lu, want=%llu, limit=%llu\n", bdevname(bdev, name), b->bi_rw,
			       static_cast<unsigned long long>(b->bi_sector + nr),
			       static_cast<unsigned long long>(max));
			__atomic_fetch_or(&b->bi_flags, 1ul << BIO_EOF, __ATOMIC_RELAXED);
			bio_endio(b, b->bi_size, -EIO);
			return;
		}
		if (unlikely(nr > q->max_sectors)) {
			printk(KERN_ERR "bio too big device %s (%llu > %u)\n", bdevname(bdev, name),
			       static_cast<unsigned long long>(nr), q->max_sectors);
			bio_endio(b, b->bi_size, -EIO);
			return;
		}
		// A driver may rely on its queue's segment limits (one page in one segment, say):
		// a bio that breaks them never reaches it.
		char why[128];
		if (unlikely(bio_check_segments(q, b, why, sizeof(why)))) {
			printk(KERN_ERR "bio breaks the segment limits of device %s (sector %llu): %s\n",
			       bdevname(bdev, name), static_cast<unsigned long long>(b->bi_sector), why);
			bio_endio(b, b->bi_size, -EIO);
			return;
		}
		bool write = bio_data_dir(b) == WRITE;
		if (bdev->bd_contains != bdev) {
			hd_struct *p = bdev->bd_part;
			(write ? p->writes : p->reads).add(1);
			(write ? p->write_sectors : p->read_sectors).add(nr);
			b->bi_sector += p->start_sect;
			b->bi_bdev = bdev->bd_contains;
		}
		gendisk *disk = b->bi_bdev->bd_disk;
		if (disk != counted) {
			(write ? disk->dkstats.writes : disk->dkstats.reads).add(1);
			(write ? disk->dkstats.write_sectors : disk->dkstats.read_sectors).add(nr);
			counted = disk;
		}
		ret = mrf(q, b);
	} while (ret);
}

void submit_bio(int rw, bio *b)
{
	b->bi_rw |= static_cast<unsigned long>(rw);
	if (rw & WRITE)
		mod_page_state(pgpgout, bio_sectors(b));
	else
		mod_page_state(pgpgin, bio_sectors(b));
	generic_make_request(b);
}

// ---------------------------------------------------------------- boot and halt

void blk_boot()
{
	super_boot();
	machine_disks_boot();
	if (bio_boot())
		printk(KERN_ERR "blk_boot: cannot create the bio cache\n");
}

void blk_halt(std::vector<std::string> *problems)
{
	machine_disks_halt(problems);
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
