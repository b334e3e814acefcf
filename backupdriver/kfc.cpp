/*
 * kfc.cpp - buffered backing-file IO of one page segment, down to the single file
 * transfer, and the closing of a backing file.
 */
#include "backupdriver/kfc.h"

#include "backupdriver/cow.h"
#include "kernel/mm/mm.h"
#include "kernel/core/printk.h"
#include "kernel/mm/uaccess.h"

namespace kern {

/*
 * The buffer's size comes from user space: a segment that the buffer cannot hold whole
 * is refused before anything is flushed, read or copied, so nothing ever lands past the
 * buffer's end.
 */
static bool segment_fits(const user_buffer *ub, long size)
{
	return size == 0 || (ub->size > 0 && size <= ub->size);
}

/* Copies a segment between its page and the user buffer; the bytes not copied. */
static unsigned long copy_segment(struct bio_vec *bvec, unsigned long uaddr, long size, int to_user)
{
	char *kaddr = static_cast<char *>(kmap(bvec->bv_page)) + bvec->bv_offset;
	unsigned long left;

	if (to_user)
		left = copy_to_user(uptr(uaddr), kaddr, size);
	else
		left = copy_from_user(kaddr, uptr(uaddr), size);
	kunmap(bvec->bv_page);
	return left;
}

static void copy_to_user_error(long size, unsigned long uaddr)
{
	printk(KERN_ERR "%s: ERROR: Error copying %ld bytes to user space at address %p!\n", ZEP_NAME,
	       size, uptr(uaddr));
}

static void copy_from_user_error(long size, unsigned long uaddr)
{
	printk(KERN_ERR "%s: ERROR: Error copying %ld bytes from user space at address %p!\n", ZEP_NAME,
	       size, uptr(uaddr));
}

ssize_t bvec_buffered_write(struct file *file, user_buffer *ub, struct bio_vec *bvec, loff_t pos)
{
	long size = bvec->bv_len;
	long boff = 0;		/* where in the buffer the segment goes */
	loff_t file_diff = 0;

	if (!segment_fits(ub, size)) {
		copy_to_user_error(size, ub->addr);
		return 0;
	}

	if (ub->pos > 0) {
		loff_t start = ub->file_pos - ub->pos;

		if (pos >= start && pos <= ub->file_pos && pos + size <= start + ub->size) {
			/* overwrites held bytes or appends right after them */
			file_diff = ub->file_pos - pos;
			boff = ub->pos - file_diff;
		} else if (!ub->dirty) {
			ub->pos = 0;
			ub->file_pos = 0;
		} else if (flush_ub(file, ub, 1) < 0) {
			return -1;
		}
	}

	if (size <= 0)
		return 0;

	if (copy_segment(bvec, ub->addr + boff, size, 1)) {
		copy_to_user_error(size, ub->addr + boff);
		return 0;
	}

	ub->used = 1;
	ub->dirty = 1;
	/* An empty buffer's window starts at this segment, wherever file_pos was left. */
	if (ub->pos == 0 || pos + size > ub->file_pos) {
		ub->pos = ub->pos - file_diff + size;
		ub->file_pos = pos + size;
	}

	/* A full buffer goes to the file now and stays as clean data. */
	if (ub->pos == ub->size && flush_ub(file, ub, 0) < 0)
		return -1;
	return size;
}

ssize_t bvec_buffered_read(struct file *file, user_buffer *ub, struct bio_vec *bvec, loff_t pos)
{
	long size = bvec->bv_len;

	if (!segment_fits(ub, size)) {
		copy_from_user_error(size, ub->addr);
		return 0;
	}

	for (int round = 0; round < 2; round++) {
		loff_t start = ub->file_pos - ub->pos;

		/* held bytes are served whether dirty or clean */
		if (ub->pos > 0 && pos >= start && pos < ub->file_pos && pos + size <= ub->file_pos) {
			unsigned long uaddr = ub->addr + (pos - start);

			if (copy_segment(bvec, uaddr, size, 0)) {
				copy_from_user_error(size, uaddr);
				return 0;
			}
			return size;
		}
		if (populate_ub(file, ub, pos, size) < 0)
			return -1;
	}
	return 0;
}

ssize_t populate_ub(struct file *file, user_buffer *ub, loff_t pos, int size)
{
	ssize_t got;

	if (size < 0 || ub->size <= 0 || size > ub->size)
		return -1;
	if (ub->dirty && flush_ub(file, ub, 1) < 0)
		return -1;

	/* The read overwrites the buffer: until it succeeds the buffer holds nothing. */
	ub->pos = 0;
	ub->file_pos = 0;
	got = buf_to_file_f_op(0, file, ub->addr, pos, ub->size, size);
	if (got < size)
		return -1;
	ub->pos = got;
	ub->file_pos = pos + got;
	return got;
}

ssize_t flush_ub(struct file *file, user_buffer *ub, int reset)
{
	ssize_t ret;

	if (!ub->dirty || ub->pos == 0)
		return 0;

	ret = buf_to_file_f_op(1, file, ub->addr, ub->file_pos - ub->pos, ub->pos, ub->pos);
	if (ret != ub->pos)
		ret = -1;
	/* no second attempt: bytes of a failed flush are given up */
	ub->dirty = 0;
	if (reset) {
		ub->pos = 0;
		ub->file_pos = 0;
		ub->used = 0;
	}
	return ret;
}

/* The file's own read or write with the user address, as a read or write of the thread. */
static ssize_t file_transfer(int rw, struct file *file, unsigned long m_buf, loff_t pos, ssize_t s)
{
	const file_operations *fop = file->f_op;
	loff_t fpos = pos;	/* the file's own position is neither used nor moved */
	ssize_t ret = -EINVAL;
	mm_segment_t old_fs;

	if (s < 0)
		return -EINVAL;

	old_fs = get_fs();
	set_fs(KERNEL_DS);
	if (rw == 0) {
		if (fop && fop->read)
			ret = fop->read(file, static_cast<char __user *>(uptr(m_buf)), s, &fpos);
	} else {
		if (fop && fop->write)
			ret = fop->write(file, static_cast<const char __user *>(uptr(m_buf)), s, &fpos);
	}
	set_fs(old_fs);
	return ret;
}

ssize_t buf_to_file_f_op(int rw, struct file *file, unsigned long m_buf, loff_t pos, ssize_t s,
			 ssize_t need)
{
	ssize_t ret;
	unsigned long long off = pos;

	if (!file) {
		printk(KERN_ERR "%s: ERROR: An IO error occurred: file no longer exisist.", ZEP_NAME);
		return 0;
	}

	ret = file_transfer(rw, file, m_buf, pos, s);

	/* More than was asked for cannot have fit the buffer: never a success. */
	if (ret >= 0 && ret <= s && (ret == s || ret >= need))
		return ret;

	if (rw == 0) {
		if (ret > s)
			printk(KERN_ERR "%s: ERROR: An IO error occurred while reading from file: "
			       "offset %llu, length %ld\n, needed %ld, got %ld\n",
			       ZEP_NAME, off, s, need, ret);
		else
			printk(KERN_ERR "%s: ERROR: An error occurred while reading from file: "
			       "offset %llu, length %ld, got %ld, needed %ld\n",
			       ZEP_NAME, off, s, ret, need);
	} else {
		if (ret > s)
			printk(KERN_ERR "%s: ERROR: An IO error occurred while writing to file: "
			       "offset %llu, length %ld\n", ZEP_NAME, off, s);
		else if (ret == -ENOSPC)
			printk(KERN_ERR "%s: ERROR: Out of space on file: offset %llu, length %ld\n",
			       ZEP_NAME, off, s);
		else
			printk(KERN_ERR "%s: ERROR: An error occurred while writing to file: "
			       "offset %llu, length %ld, got %ld\n", ZEP_NAME, off, s, ret);
	}
	return 0;
}

ssize_t bvec_to_file_f_op(unsigned long rw, struct file *file, user_buffer *ub,
			  struct bio_vec *bvec, loff_t pos)
{
	const char *failed;
	ssize_t ret;

	switch (rw) {
	case WRITE:
		ret = bvec_buffered_write(file, ub, bvec, pos);
		failed = KERN_ERR "%s: ERROR: An error occurred while writing to backing buffer!\n";
		break;
	case READ:
		ret = bvec_buffered_read(file, ub, bvec, pos);
		failed = KERN_ERR "%s: ERROR: An error occurred while reading from backing buffer!\n";
		break;
	default:
		printk(KERN_ERR "%s: ERROR: I/O on file was not a READ or a WRITE!\n", ZEP_NAME);
		return 0;
	}
	if (ret > 0)
		return ret;
	printk(failed, ZEP_NAME);
	return 0;
}

void kernel_close_file(struct file *file)
{
	if (!file)
		return;
	if (!file->f_dentry) {
		printk(KERN_ERR "%s: ERROR: File had no dentry!\n", ZEP_NAME);
		return;
	}
	fput(file);
}

} // namespace kern
