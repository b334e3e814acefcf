/*
 * fc.h - file copies: one bio's worth of backing-store IO.
 */
#pragma once

#include "kernel/block/bio.h"
#include "kernel/lib/list.h"
#include "kernel/locking/completion.h"
#include "kernel/lib/types.h"

namespace kern {

struct cow_chunk;
struct cow_session;
struct if_chunk;

struct file_copy {
	unsigned long rw;
	struct bio *bio;
	cow_chunk *cc;
	completion event;
	loff_t file_start;
	loff_t disk_start;
	u64 size;
	void (*end_io)(file_copy *fc, int status);
	list_head fc_list;
};

void init_fc(file_copy *fc, cow_chunk *cc, struct bio *bio, u64 chunk_size, sector_t sector_offset,
	     u64 sector_shift, void (*end_io)(file_copy *, int), unsigned long rw);
/* Adds the first `len` bytes of the page (the last piece of a disk may be short). */
int fc_add_page(file_copy *fc, struct page *page, unsigned int len = PAGE_SIZE);
void fc_endio(file_copy *fc, int err);
void calc_fc_file_start(file_copy *fc, u64 chunk_size);
unsigned long mod(u64 x, u64 y);
void assign_thread_chunk(if_chunk *ic, cow_session *cs);
void add_fc_io(if_chunk *ic, cow_session *cs);
/* Queues the record on its thread: 0, or 1 when that thread has already left its
 * session (nobody would ever serve the record). */
int submit_ic_file_io(if_chunk *ic, cow_session *cs);
/* Whether slot `thread` was taken by an IO thread that has since left. */
int io_thread_gone(cow_session *cs, int thread);

} // namespace kern
