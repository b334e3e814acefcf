/*
 * fc.cpp - file copies: their set-up and backing-file offsets, and the binding of each
 * preserved chunk to one IO thread and one slot of that thread's backing file.
 */
#include "backupdriver/fc.h"

#include <cstring>

#include "backupdriver/cow.h"
#include "kernel/core/printk.h"

namespace kern {

void init_fc(file_copy *fc, cow_chunk *cc, struct bio *bio, u64 chunk_size, sector_t sector_offset,
	     u64 sector_shift, void (*end_io)(file_copy *, int), unsigned long rw)
{
	/* Records come from the cache uninitialised. */
	std::memset(static_cast<void *>(fc), 0, sizeof(*fc));
	INIT_LIST_HEAD(&fc->fc_list);
	fc->bio = bio;
	fc->cc = cc;
	fc->end_io = end_io;
	fc->rw = rw;
	fc->disk_start = static_cast<loff_t>((bio->bi_sector - sector_offset) << sector_shift);
	init_completion(&fc->event);
}

int fc_add_page(file_copy *fc, struct page *page, unsigned int len)
{
	int added = bio_add_page(fc->bio, page, len, 0);
	fc->size = fc->bio->bi_size;
	return added;
}

void fc_endio(file_copy *fc, int err)
{
	if (fc->end_io)
		fc->end_io(fc, err);
}

void calc_fc_file_start(file_copy *fc, u64 chunk_size)
{
	cow_chunk *cc = fc->cc;
	fc->file_start = static_cast<loff_t>(cc->new_chunk * chunk_size +
					     (static_cast<u64>(fc->disk_start) - cc->old_chunk * chunk_size));
}

unsigned long mod(u64 x, u64 y)
{
	if (!y)
		return 0;
	return static_cast<unsigned long>(x % y);
}

/* Once bound, a chunk keeps its thread and slot: every later transfer of it finds the
 * data where the first one put it. */
void assign_thread_chunk(if_chunk *ic, cow_session *cs)
{
	cow_chunk *cc = ic->cc;
	if (cc->thread >= 0)
		return;
	io_thread_info *info = cs->thread_info;
	u64 n = static_cast<u64>(atomic_read(&info->io_threads_started));
	cc->thread = static_cast<int>(mod(cc->old_chunk, n));
	io_thread *iot = info->io_threads[cc->thread];
	cc->new_chunk = iot->thread_pos;
	iot->thread_pos++;
}

void add_fc_io(if_chunk *ic, cow_session *cs)
{
	cow_chunk *cc = ic->cc;
	if (cc->thread < 0) {
		printk(KERN_ERR "%s: ERROR: chunk without thread!\n", ZEP_NAME);
		BUG();
	}
	io_thread *iot = cs->thread_info->io_threads[cc->thread];
	list_add_tail(&ic->submit_list, &iot->io_list);
	if (ic->anon)
		atomic_inc(&iot->pending_anon_io);
	else
		atomic_inc(&iot->pending_io);
	wake_up_all(&iot->io_wait);
}

/* A slot below the number taken whose thread no longer counts itself started has left:
 * slots are never reused. Called with io_threads_lock held. */
int io_thread_gone(cow_session *cs, int thread)
{
	io_thread_info *info = cs->thread_info;
	return thread < atomic_read(&info->io_threads_started) &&
	       atomic_read(&info->io_threads[thread]->started) <= 0;
}

int submit_ic_file_io(if_chunk *ic, cow_session *cs)
{
	io_thread_info *info = cs->thread_info;
	unsigned long flags;
	int ret = 0;
	spin_lock_irqsave(&info->io_threads_lock, flags);
	assign_thread_chunk(ic, cs);
	/* A thread leaves only when its session stops or fails; work queued to it after
	 * that would wait for ever and hold its pages. The caller gives it up instead. */
	if (io_thread_gone(cs, ic->cc->thread))
		ret = 1;
	else
		add_fc_io(ic, cs);
	spin_unlock_irqrestore(&info->io_threads_lock, flags);
	return ret;
}

} // namespace kern
