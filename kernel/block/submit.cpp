// The submit path: generic_make_request checks a bio against its device, remaps a
// partition's sectors to the whole disk and hands it to the queue's make-request function.
#include "kernel/block/blkdev.h"
#include "kernel/host/hostops.h"
#include "kernel/core/printk.h"

namespace kern {

void generic_make_request(bio *b)
{
	H().preempt_point();
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

} // namespace kern
