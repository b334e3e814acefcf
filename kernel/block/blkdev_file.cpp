// Block device files: open/release take the disk and its driver's module, read/write do
// direct IO in hardware-sector units through bios, built within the queue's limits.
#include <vector>

#include "kernel/block/blkdev.h"
#include "kernel/core/printk.h"
#include "kernel/mm/uaccess.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/completion.h"
#include "kernel/block/super.h"

namespace kern {

namespace {

// ioctl numbers of 32-bit x86
constexpr unsigned BLKGETSIZE = 0x1260;
constexpr unsigned BLKFLSBUF = 0x1261;
constexpr unsigned BLKSSZGET = 0x1268;
constexpr unsigned BLKBSZGET = 0x80041270;
constexpr unsigned BLKGETSIZE64 = 0x80041272;

block_device *file_bdev(file *f)
{
	inode *i = f && f->f_dentry ? f->f_dentry->d_inode : nullptr;
	return i ? i->i_bdev : nullptr;
}

struct dio_wait {
	completion done;
	int error;
};

// Runs in interrupt context: records the result and wakes the submitter.
int dio_end_io(bio *b, unsigned int, int err)
{
	if (b->bi_size)
		return 1;
	auto *w = static_cast<dio_wait *>(b->bi_private);
	if (err || !bio_flagged(b, BIO_UPTODATE))
		w->error = err ? err : -EIO;
	complete(&w->done);
	return 0;
}

// One bio's worth of IO at pos: returns the bytes done or -errno.
ssize_t dio_one_bio(block_device *bdev, int rw, char __user *buf, size_t count, loff_t pos, unsigned hs)
{
	size_t pages = (count + PAGE_SIZE - 1) / PAGE_SIZE;
	unsigned nvec = static_cast<unsigned>(pages < BIO_MAX_PAGES ? pages : BIO_MAX_PAGES);
	bio *b = bio_alloc(GFP_KERNEL, static_cast<int>(nvec));
	if (!b)
		return -ENOMEM;
	b->bi_bdev = bdev;
	b->bi_sector = static_cast<sector_t>(pos) >> 9;
	std::vector<struct page *> held;
	int err = 0;
	size_t added = 0;
	request_queue_t *q = bdev_get_queue(bdev);
	while (added < count && b->bi_vcnt < nvec) {
		unsigned len = static_cast<unsigned>(count - added < PAGE_SIZE ? count - added : PAGE_SIZE);
		struct page *pg = alloc_page(GFP_KERNEL);
		if (!pg) {
			err = -ENOMEM;
			break;
		}
		if (rw == WRITE && copy_from_user(page_address(pg), buf + added, len)) {
			__free_page(pg);
			err = -EFAULT;
			break;
		}
		// The piece starts the page, so it never straddles a segment boundary unless
		// the queue's boundary is finer than a page.
		int got = bio_add_page(b, pg, len, 0);
		if (!got && b->bi_vcnt == 0 && q) {
			// Even one page is too much for this queue: send as much as it takes; the
			// rest goes in the next bio.
			unsigned lim = len;
			if ((static_cast<unsigned>(q->max_sectors) << 9) < lim)
				lim = static_cast<unsigned>(q->max_sectors) << 9;
			if (q->max_segment_size < lim)
				lim = q->max_segment_size;
			if (q->seg_boundary_mask < lim - 1)
				lim = static_cast<unsigned>(q->seg_boundary_mask) + 1;
			lim = lim / hs * hs;
			if (lim)
				got = bio_add_page(b, pg, lim, 0);
		}
		if (!got) {
			__free_page(pg);
			break;
		}
		held.push_back(pg);
		added += static_cast<unsigned>(got);
	}
	if (b->bi_vcnt == 0) {
		bio_put(b);
		return err ? err : -EIO;
	}
	dio_wait w;
	init_completion(&w.done);
	w.error = 0;
	b->bi_private = &w;
	b->bi_end_io = dio_end_io;
	submit_bio(rw, b);
	wait_for_completion(&w.done);
	ssize_t ret = static_cast<ssize_t>(added);
	if (w.error) {
		ret = -EIO;
	} else if (rw == READ) {
		size_t off = 0;
		for (struct page *pg : held) {
			size_t n = added - off < PAGE_SIZE ? added - off : PAGE_SIZE;
			if (copy_to_user(buf + off, page_address(pg), n)) {
				ret = off ? static_cast<ssize_t>(off) : -EFAULT;
				break;
			}
			off += n;
		}
	}
	for (struct page *pg : held)
		__free_page(pg);
	bio_put(b);
	return ret;
}

ssize_t blkdev_direct_io(file *f, int rw, char __user *buf, size_t count, loff_t *ppos)
{
	block_device *bdev = file_bdev(f);
	if (!bdev)
		return -EBADF;
	unsigned hs = static_cast<unsigned>(bdev_hardsect_size(bdev));
	if (hs < 512)
		hs = 512;
	loff_t pos = *ppos;
	if (pos < 0 || (static_cast<u64>(pos) % hs) || (count % hs))
		return -EINVAL;
	if (!bdev_get_queue(bdev))
		return -ENXIO;
	u64 size = bdev_nr_sectors(bdev) << 9;
	if (count == 0)
		return 0;
	if (static_cast<u64>(pos) >= size)
		return rw == WRITE ? -ENOSPC : 0;
	if (count > size - static_cast<u64>(pos))
		count = static_cast<size_t>(size - static_cast<u64>(pos));
	// A write that lands on a mounted file system's sectors, through whichever node of
	// the disk, comes through that file system: held while it is frozen. Held for the
	// whole call, so that a frozen image never has half of one write.
	bdev_write_hold hold;
	if (rw == WRITE)
		bdev_start_write(bdev, static_cast<sector_t>(pos) >> 9, count >> 9, &hold);
	size_t done = 0;
	ssize_t err = 0;
	while (done < count) {
		ssize_t n = dio_one_bio(bdev, rw, buf + done, count - done, pos + static_cast<loff_t>(done), hs);
		if (n <= 0) {
			err = n;
			break;
		}
		done += static_cast<size_t>(n);
	}
	bdev_end_write(&hold);
	// A failed bio fails the call, as direct IO does: what came before it may have
	// moved, but a short count would pass the failure off as a success.
	if (err)
		return err;
	*ppos = pos + static_cast<loff_t>(done);
	return static_cast<ssize_t>(done);
}

ssize_t blkdev_read(file *f, char __user *buf, size_t count, loff_t *ppos)
{
	return blkdev_direct_io(f, READ, buf, count, ppos);
}

ssize_t blkdev_write(file *f, const char __user *buf, size_t count, loff_t *ppos)
{
	return blkdev_direct_io(f, WRITE, const_cast<char __user *>(buf), count, ppos);
}

loff_t blkdev_llseek(file *f, loff_t offset, int whence)
{
	block_device *bdev = file_bdev(f);
	if (!bdev)
		return -EBADF;
	loff_t size = static_cast<loff_t>(bdev_nr_sectors(bdev) << 9);
	switch (whence) {
	case 0:
		break;
	case 1:
		offset += f->f_pos;
		break;
	case 2:
		offset += size;
		break;
	default:
		return -EINVAL;
	}
	if (offset < 0 || offset > size)
		return -EINVAL;
	f->f_pos = offset;
	return offset;
}

int blkdev_open(inode *ino, file *filp)
{
	block_device *bdev = bdget(ino->i_rdev);
	if (!bdev)
		return -ENXIO;
	const block_device_operations *ops = bdev->bd_disk->fops;
	module *owner = ops ? ops->owner : nullptr;
	if (owner && !try_module_get(owner)) {
		bdput(bdev);
		return -ENXIO;
	}
	down(&bdev->bd_sem);
	ino->i_bdev = bdev;
	if (ops && ops->open) {
		int err = ops->open(bdev->bd_inode, filp);
		if (err) {
			ino->i_bdev = nullptr;
			up(&bdev->bd_sem);
			if (owner)
				module_put(owner);
			bdput(bdev);
			return err;
		}
	}
	bdev->bd_openers++;
	up(&bdev->bd_sem);
	return 0;
}

int blkdev_release(inode *ino, file *filp)
{
	block_device *bdev = ino->i_bdev;
	if (!bdev)
		return 0;
	const block_device_operations *ops = bdev->bd_disk->fops;
	module *owner = ops ? ops->owner : nullptr;
	int ret = 0;
	down(&bdev->bd_sem);
	if (ops && ops->release)
		ret = ops->release(bdev->bd_inode, filp);
	bdev->bd_openers--;
	up(&bdev->bd_sem);
	if (owner)
		module_put(owner);
	ino->i_bdev = nullptr;
	bdput(bdev);
	return ret;
}

int blkdev_fsync(file *f, dentry *, int)
{
	block_device *bdev = file_bdev(f);
	return bdev ? fsync_bdev(bdev) : -EBADF;
}

int blkdev_ioctl(inode *ino, file *f, unsigned int cmd, unsigned long arg)
{
	block_device *bdev = ino->i_bdev;
	if (!bdev)
		return -ENOTTY;
	void __user *p = reinterpret_cast<void __user *>(arg);
	switch (cmd) {
	case BLKGETSIZE: {
		u64 s = bdev_nr_sectors(bdev);
		if (s > 0xffffffffull)
			return -EFBIG;
		u32 v = static_cast<u32>(s);
		return copy_to_user(p, &v, sizeof(v)) ? -EFAULT : 0;
	}
	case BLKGETSIZE64: {
		u64 v = bdev_nr_sectors(bdev) << 9;
		return copy_to_user(p, &v, sizeof(v)) ? -EFAULT : 0;
	}
	case BLKSSZGET: {
		int v = bdev_hardsect_size(bdev);
		return copy_to_user(p, &v, sizeof(v)) ? -EFAULT : 0;
	}
	case BLKBSZGET: {
		int v = static_cast<int>(bdev->bd_block_size);
		return copy_to_user(p, &v, sizeof(v)) ? -EFAULT : 0;
	}
	case BLKFLSBUF:
		return fsync_bdev(bdev);
	default:
		break;
	}
	const block_device_operations *ops = bdev->bd_disk->fops;
	if (ops && ops->ioctl)
		return ops->ioctl(bdev->bd_inode, f, cmd, arg);
	return -ENOTTY;
}

} // namespace

const file_operations def_blk_fops = {
	.owner = nullptr,
	.llseek = blkdev_llseek,
	.read = blkdev_read,
	.write = blkdev_write,
	.ioctl = blkdev_ioctl,
	.unlocked_ioctl = nullptr,
	.compat_ioctl = nullptr,
	.open = blkdev_open,
	.flush = nullptr,
	.release = blkdev_release,
	.fsync = blkdev_fsync,
};

} // namespace kern
