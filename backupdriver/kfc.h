/*
 * kfc.h - backing-file access through an IO thread's staging buffer.
 *
 * An IO thread is an agent process parked in the driver; it brings a buffer in its own
 * address space and all its backing-file transfers go through that buffer, so that page
 * sized segments become large contiguous file writes and recent data is re-read without
 * file access. The buffer's address is a user address of that process: every function
 * here must run in the thread that owns the buffer. No lock: the buffer is not shared.
 */
#pragma once

#include "kernel/block/bio.h"
#include "kernel/fs/fs.h"
#include "kernel/lib/types.h"

namespace kern {

/*
 * The buffer holds file bytes file_pos - pos to file_pos - 1 at buffer offsets 0 upward,
 * with 0 <= pos <= size. A thread starts with pos, used, dirty and file_pos all 0.
 */
struct user_buffer {
	unsigned long addr;	/* user address in the owning thread's space */
	int size;		/* capacity in bytes, as the agent gave it */
	int pos;		/* file bytes held */
	int used;		/* a write put data in; cleared by a flush with reset */
	int dirty;		/* the held bytes are not in the file yet */
	loff_t file_pos;	/* file offset just past the held bytes */
};

/* One page segment at file offset pos: rw 1 writes, 0 reads. The segment length, or 0. */
ssize_t bvec_to_file_f_op(unsigned long rw, struct file *file, user_buffer *ub,
			  struct bio_vec *bvec, loff_t pos);
/* Segment length; 0 when the copy failed, the segment is empty or larger than the buffer;
 * -1 when a flush failed. */
ssize_t bvec_buffered_write(struct file *file, user_buffer *ub, struct bio_vec *bvec, loff_t pos);
/* Segment length; 0 when the copy failed, the segment is larger than the buffer or two
 * rounds did not bring the data; -1 when a refill failed. */
ssize_t bvec_buffered_read(struct file *file, user_buffer *ub, struct bio_vec *bvec, loff_t pos);
/* Writes the held bytes if dirty: the bytes written, 0 for nothing to do, -1 on failure.
 * The bytes are clean afterwards either way; reset empties the buffer too. */
ssize_t flush_ub(struct file *file, user_buffer *ub, int reset);
/* Refills the buffer from file offset pos, needing at least size bytes: bytes read or -1.
 * A failed refill leaves the buffer empty. */
ssize_t populate_ub(struct file *file, user_buffer *ub, loff_t pos, int size);
/* One transfer of s bytes between the user address m_buf and the file at pos through the
 * file's own read (rw 0) or write operation: s, or the count moved when it is at least
 * need, else 0 after one log line. A count above s is a failure. */
ssize_t buf_to_file_f_op(int rw, struct file *file, unsigned long m_buf, loff_t pos, ssize_t s,
			 ssize_t need);
/* Drops a reference taken with fget. */
void kernel_close_file(struct file *file);

} // namespace kern
