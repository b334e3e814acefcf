/*
 * fc.h - file copies: one bio's worth of backing-store IO.
 */
#pragma once

#include "kernel/bio.h"
#include "kernel/list.h"
#include "kernel/sync.h"
#include "kernel/types.h"

namespace kern {

struct cow_chunk;

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

} // namespace kern
