/*
 * cow_write.cpp - interception of requests on hooked live devices: the chunks a request
 * touches, the copy-out of their old contents, and the request's passage to the device.
 */
#include <cstring>

#include "backupdriver/cow.h"
#include "backupdriver/mrf.h"
#include "kernel/core/printk.h"

namespace kern {

/* Retries of a copy-out page allocation, and the ticks slept between two of them. */
static constexpr int PAGE_ALLOC_RETRIES = 1000;
static constexpr long PAGE_ALLOC_PAUSE = 100;
/* Copy bios carry at most this many pages. */
static constexpr int COPY_BIO_PAGES = 16;

/* ---------------------------------------------------------------- affected chunks */

/* Chunks that start at or past the end of the session's device do not exist: a request
 * ending on the device's last chunk boundary has no next chunk to preserve. */
static u64 last_device_chunk(cow_session *cs)
{
	u64 bytes = cs->part.nr_sects << cs->sector_shift;
	if (!bytes)
		return 0;
	return (bytes - 1) >> cs->chunk_shift;
}

/* The node of the snapshot reads still reading the chunk from the live device, counted
 * for a write that will wait for them; null when there are none. */
static rb_wl *hold_reader_node(cow_session *cs, u64 chunk)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->write_list_lock, flags);
	rb_wl *rbwl = rb_serach_wl(&cs->write_locks, chunk);
	if (rbwl)
		rbwl->writes++;
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	return rbwl;
}

/* Gives back what an entry's request counted on a reader node; the last party to leave
 * the node frees it. */
static void leave_reader_node(cow_session *cs, rb_wl *rbwl)
{
	unsigned long flags;
	bool free_it = false;
	spin_lock_irqsave(&cs->write_list_lock, flags);
	rbwl->writes--;
	if (rbwl->reads == 0 && rbwl->writes == 0) {
		rb_erase(&rbwl->node, &cs->write_locked);
		free_it = true;
	}
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	if (free_it)
		put_rbwl(rbwl);
}

int get_affected_chunks(cow_session *cs, struct bio *bio, list_head *chunk_list_head)
{
	if (is_error(cs))
		return 0;
	int rw = static_cast<int>(bio->bi_rw & 3);
	if (bio->bi_size == 0)
		return 0;
	u64 first_sector = bio->bi_sector - cs->part.start_sect;
	u64 last_sector = bio->bi_sector + (bio->bi_size >> cs->sector_shift) - cs->part.start_sect;
	u64 first_chunk = get_chunk(cs->sector_shift, cs->chunk_mask, cs->chunk_shift, first_sector);
	u64 last_chunk = get_chunk(cs->sector_shift, cs->chunk_mask, cs->chunk_shift, last_sector);
	if (last_chunk > last_device_chunk(cs))
		last_chunk = last_device_chunk(cs);
	if (first_chunk > last_chunk)
		return 0;

	int count = 0;
	for (u64 chunk = first_chunk; chunk <= last_chunk; chunk++) {
		unsigned long flags;
		/* In flight first: a copy-out enters its chunk as preserved before it drops
		 * its last reference, so a chunk whose copy-out ends between the two lookups
		 * is found preserved. The other order would miss it twice and copy out data
		 * that is already new. */
#ifdef ZEP_PLANT_LOOKUP
		/* planted: preserved looked up before in flight */
		spin_lock_irqsave(&cs->chunk_lock, flags);
		cow_chunk *cc = get_cow_chunk(&cs->chunk_table, chunk);
		spin_unlock_irqrestore(&cs->chunk_lock, flags);
		if_chunk *ic = get_and_inc_if(cs, chunk);
#else
		if_chunk *ic = get_and_inc_if(cs, chunk);
		spin_lock_irqsave(&cs->chunk_lock, flags);
		cow_chunk *cc = get_cow_chunk(&cs->chunk_table, chunk);
		spin_unlock_irqrestore(&cs->chunk_lock, flags);
#endif
		/* A preserved chunk needs no copy, but a snapshot read that found it unpreserved
		 * may not have reached the live device yet: the write still waits for it. The
		 * copy-out that preserved the chunk waited for it too, but this write may come
		 * after that copy-out has ended. */
		rb_wl *rbwl = nullptr;
		bool copy = !ic && cc == nullptr && rw == 1;
		if (!ic && !copy) {
#ifdef ZEP_PLANT_READER
			continue;	/* planted: a write to a preserved chunk passes a reader */
#endif
			if (rw != 1 || !(rbwl = hold_reader_node(cs, chunk)))
				continue;
		}

		chunk_list *cl = alloc_chunk_list();
		if (!cl) {
			if (ic)
				put_and_dec_if(cs, ic);
			if (rbwl)
				leave_reader_node(cs, rbwl);
			goto fail;
		}
		std::memset(static_cast<void *>(cl), 0, sizeof(*cl));
		INIT_LIST_HEAD(&cl->list);
		cl->chunk = chunk;
		cl->cs = cs;
		cl->cc = cc;
		if (rbwl) {
			cl->rbwl = rbwl;
			list_add_tail(&cl->list, chunk_list_head);
			continue;
		}
		if (ic) {
			cl->ic = ic;
			cl->new_ic = 0;
		} else {
			ic = alloc_if_chunk(chunk);
			if (!ic) {
				put_chunk_list(cl);
				goto fail;
			}
			ic->created = 1;
			add_and_inc_if(cs, ic);
			cl->ic = ic;
			cl->new_ic = 1;
		}

		cl->rbwl = hold_reader_node(cs, chunk);

		count++;
		list_add_tail(&cl->list, chunk_list_head);
	}
	return count;

fail:
	printk(KERN_ERR "%s: ERROR: could not create affected chunks list for sector %llu + %d.",
	       ZEP_NAME, static_cast<unsigned long long>(bio->bi_sector), bio->bi_size);
	invalidate_session(cs, "OUT OF MEMORY");
	return 0;
}

/* ---------------------------------------------------------------- copy-out pages */

/* A page held for a copy-out: counted, marked with its own address, and made visible to
 * the dirty-memory throttling of writers for as long as it is held. */
static void take_cow_page(struct page *page)
{
	atomic_inc(&total_cow_pages);
	set_page_private(page, reinterpret_cast<unsigned long>(page));
	for (int i = 0; i < 3; i++) {
		unsigned long flags;
		local_irq_save(flags);
		inc_page_state(nr_dirty);
		local_irq_restore(flags);
	}
}

static void put_cow_page(struct page *page)
{
	if (page_private(page) != reinterpret_cast<unsigned long>(page))
		return;
	for (int i = 0; i < 3; i++) {
		unsigned long flags;
		local_irq_save(flags);
		dec_page_state(nr_dirty);
		local_irq_restore(flags);
	}
	set_page_private(page, 0);
	__free_page(page);
	atomic_dec(&total_cow_pages);
}

static struct page *get_cow_page(void)
{
	for (int attempt = 0;; attempt++) {
		struct page *page = alloc_one_page();
		if (page) {
			take_cow_page(page);
			return page;
		}
		if (attempt == PAGE_ALLOC_RETRIES)
			return nullptr;
		schedule_timeout_interruptible(PAGE_ALLOC_PAUSE);
	}
}

void fc_copy_end_io(file_copy *fc, int err)
{
	struct bio *bio = fc->bio;
	fc->bio = nullptr;
	if (!bio)
		return;
	for (unsigned i = 0; i < bio->bi_vcnt; i++)
		put_cow_page(bio->bi_io_vec[i].bv_page);
	bio_put(bio);
}

/* ---------------------------------------------------------------- copy-out reads */

void init_copy_bio(struct bio *bio, struct block_device *bdev, file_copy *fc, u64 chunk,
		   u64 chunk_size, u64 chunk_offset, sector_t sector_offset, u64 sector_shift)
{
	bio->bi_private = fc;
	bio->bi_bdev = bdev;
	bio->bi_rw = 0;
	bio->bi_end_io = cow_bio_endIO;
	bio->bi_sector = ((chunk * chunk_size + chunk_offset) >> sector_shift) + sector_offset;
}

/* May run in interrupt context: only signals. The bio's BIO_UPTODATE flag tells the
 * waiter whether the read succeeded. */
int cow_bio_endIO(struct bio *bio, unsigned int size, int err)
{
	auto *fc = static_cast<file_copy *>(bio->bi_private);
	complete(&fc->event);
	return 0;
}

static void copy_page(struct page *to, struct page *from)
{
	void *dst = kmap_atomic(to, KM_USER0);
	void *src = kmap_atomic(from, KM_USER1);
	std::memcpy(dst, src, PAGE_SIZE);
	kunmap_atomic(src, KM_USER1);
	kunmap_atomic(dst, KM_USER0);
}

int read_from_page_cache(rb_root *rb, struct bio *bio)
{
	if (!rb)
		return 0;
	u64 sector = bio->bi_sector;
	for (unsigned i = 0; i < bio->bi_vcnt; i++) {
		struct page *p = rb_search(rb, sector);
		if (!p)
			return 0;
		copy_page(bio->bi_io_vec[i].bv_page, p);
		sector += PAGE_SIZE >> 9;
	}
	bio_endIO(bio, 0);
	return 1;
}

void cache_pages(rb_root *rb, struct bio *bio, sector_t sector)
{
	if (!rb)
		return;
	for (unsigned i = 0; i < bio->bi_vcnt; i++, sector += PAGE_SIZE >> 9) {
		if (rb_search(rb, sector))
			continue;
		struct rb_cache *node = alloc_rb_cache();
		if (!node) {
			printk(KERN_ERR "%s: ERROR: Could not allocate rb page cache for chunk cache.\n",
			       ZEP_NAME);
			return;
		}
		struct page *p = alloc_one_page();
		if (!p) {
			printk(KERN_ERR "%s: ERROR: Could not allocate rb page for chunk cache.\n",
			       ZEP_NAME);
			put_rb_cache(node);
			return;
		}
		copy_page(p, bio->bi_io_vec[i].bv_page);
		node->n = sector;
		node->p = p;
		rb_insert(rb, node);
	}
}

sector_t calc_bio_disk_pos(cow_session *cs, cow_chunk *cc, struct bio *bio)
{
	return bio->bi_sector << cs->sector_shift;
}

/* Ends, unlinks and frees every file copy of the record, with its pages and bio. */
static void release_copies(cow_session *cs, if_chunk *ic)
{
	file_copy *fc, *n;
	list_for_each_entry_safe(fc, n, &ic->fc_list_head, fc_list)
	{
		fc_endio(fc, -EIO);
		list_del(&fc->fc_list);
		put_file_copy(fc, cs);
	}
}

/* Bytes of the chunk that lie on the disk: the last chunk of an odd-sized disk is short,
 * and a read past the disk's end would fail. */
static u64 chunk_bytes_on_disk(cow_session *cs, struct block_device *bdev, u64 chunk)
{
	u64 first = ((chunk * cs->chunk_size) >> cs->sector_shift) + cs->part.start_sect;
	u64 capacity = get_capacity(bdev->bd_disk);
	if (first >= capacity)
		return 0;
	u64 bytes = (capacity - first) << cs->sector_shift;
	return bytes < cs->chunk_size ? bytes : cs->chunk_size;
}

cow_chunk *copy_chunk(cow_session *cs, if_chunk *ic, struct block_device *bdev,
		      make_request_fn *savedMRF, rb_root *rb, struct bio *merge_bio,
		      unsigned int *copied)
{
	u64 chunk = ic->chunk;
	file_copy *fc = nullptr;
	struct bio *bio = nullptr;
	struct page *page = nullptr;
	cow_chunk *cc = nullptr;
	request_queue_t *q = nullptr;
	u64 submitted = 0, size;
	bool read_failed = false;

	if (!bdev) {
		printk(KERN_ERR "%s: ERROR: Can not copy chunk without block device!\n", ZEP_NAME);
		invalidate_session(cs, "COPY CHUNK ERROR");
		goto fail;
	}
	q = bdev->bd_disk ? bdev->bd_disk->queue : nullptr;
	if (!q) {
		printk(KERN_ERR "%s: ERROR: Can not copy chunk without request queue!\n", ZEP_NAME);
		invalidate_session(cs, "COPY CHUNK ERROR");
		goto fail;
	}
	cc = alloc_cow_chunk();
	if (!cc) {
		printk(KERN_ERR "%s: ERROR: Could not allocate cow chunk!\n", ZEP_NAME);
		goto fail;
	}
	set_chunk_pos(cs, cc, chunk);
	ic->cc = cc;

	size = chunk_bytes_on_disk(cs, bdev, chunk);
	while (submitted < size) {
		if (!bio) {
			bio = alloc_bio(COPY_BIO_PAGES);
			if (!bio) {
				printk(KERN_ERR "%s: ERROR: Could not allocate copy bio!\n", ZEP_NAME);
				goto fail;
			}
			fc = alloc_file_copy(cs);
			if (!fc) {
				printk(KERN_ERR "%s: ERROR: Could not allocate file copy!\n", ZEP_NAME);
				goto fail;
			}
			init_copy_bio(bio, bdev, fc, chunk, cs->chunk_size, submitted, cs->part.start_sect,
				      cs->sector_shift);
			init_fc(fc, cc, bio, cs->chunk_size, cs->part.start_sect, cs->sector_shift,
				fc_copy_end_io, 1);
			list_add_tail(&fc->fc_list, &ic->fc_list_head);
			/* The file copy owns the bio from here. */
		}
		if (!page) {
			page = get_cow_page();
			if (!page) {
				printk(KERN_ERR "%s: ERROR: failed to allocate page after %d tries.  "
						"currently have %d pages allocated.\n",
				       ZEP_NAME, PAGE_ALLOC_RETRIES, atomic_read(&total_cow_pages));
				goto fail;
			}
		}
		/* A disk ending inside a page: read up to its end, not past it. */
		int len = fc_add_page(fc, page,
				      size - submitted < PAGE_SIZE ? static_cast<unsigned int>(size - submitted)
								   : PAGE_SIZE);
		if (len > 0) {
			submitted += static_cast<u64>(len);
			page = nullptr;
		} else if (bio->bi_vcnt == 0) {
			/* Not even one page fits this queue: another bio would not take it either. */
			printk(KERN_ERR "%s: ERROR: Could not allocate copy bio!\n", ZEP_NAME);
			invalidate_session(cs, "COPY CHUNK ERROR");
			goto fail;
		} else {
			bio = nullptr;
			fc = nullptr;
		}
	}

	/* Every piece is submitted before any is waited for: they are read in parallel. */
	list_for_each_entry(fc, &ic->fc_list_head, fc_list)
	{
		if (!read_from_page_cache(rb, fc->bio))
			doMRF(q, savedMRF, fc->bio);
	}
	list_for_each_entry(fc, &ic->fc_list_head, fc_list)
	{
		wait_for_completion(&fc->event);
		if (!bio_flagged(fc->bio, BIO_UPTODATE))
			read_failed = true;
		else
			cache_pages(rb, fc->bio,
				    (static_cast<u64>(fc->disk_start) >> cs->sector_shift) +
					    cs->part.start_sect);
	}
	fc = nullptr;
	bio = nullptr;
	if (read_failed) {
		/* Whatever the pages hold is not the chunk's old contents. */
		invalidate_session(cs, "COPY CHUNK ERROR");
		goto fail;
	}

	if (merge_bio)
		*copied += io_on_if_chunk(cs, ic, cc, merge_bio, 1);
	/* This reference belongs to the IO thread that writes the chunk out. */
	atomic_inc(&ic->count);
	if (submit_ic_file_io(ic, cs)) {
		atomic_dec(&ic->count);
		goto fail;
	}
	return cc;

fail:
	printk(KERN_ERR "%s: ERROR: could not copy chunk %llu.\n", ZEP_NAME,
	       static_cast<unsigned long long>(chunk));
	invalidate_session(cs, "OUT OF MEMORY");
	/* A bio whose file copy could not be made is ours alone; the others go with their
	 * file copies. */
	if (bio && !fc)
		bio_put(bio);
	if (page)
		put_cow_page(page);
	release_copies(cs, ic);
	if (cc) {
		ic->cc = nullptr;
		free_cow_chunk(cc);
	}
	return nullptr;
}

/* ---------------------------------------------------------------- interception */

int enter_copy(cow_session *cs, cow_chunk *cc)
{
	if (!cc) {
		invalidate_session(cs, "NO COPY");
		return -EIO;
	}
	unsigned long flags;
	spin_lock_irqsave(&cs->chunk_lock, flags);
	add_cow_chunk(&cs->chunk_table, cc);
	spin_unlock_irqrestore(&cs->chunk_lock, flags);
	return 0;
}

static void copy_out_entries(list_head *chunk_list_head, struct bio *bio, make_request_fn *savedMRF,
			     rb_root *page_tree)
{
	chunk_list *cl;
	list_for_each_entry(cl, chunk_list_head, list)
	{
		cow_session *cs = cl->cs;
		if_chunk *ic = cl->ic;
		if (!ic)
			continue;	/* preserved: only a reader to wait for */
		if (cl->new_ic == 1) {
			/* A failed session needs no copy: nothing reads its snapshot any more. */
			if (!is_error(cs))
				enter_copy(cs, copy_chunk(cs, ic, bio->bi_bdev, savedMRF, page_tree,
							  nullptr, nullptr));
			ic->real_free = 1;
			up(&ic->real_lock);
			up(&ic->virt_lock);
			put_and_dec_if(cs, ic);
		} else {
			/* Someone else is copying the chunk: wait until its old data is read. */
			down(&ic->real_lock);
			poke_watchdog();
			up(&ic->real_lock);
			put_and_dec_if(cs, ic);
			cl->ic = nullptr;
		}
	}
}

/* The change-tracking record of the covering sessions: the first session's, unless the
 * request only touches that session's range at its edge and a later session holds it. */
static ct_session *sessions_cts(list_head *sessions, struct bio *bio)
{
	session_node *sn;
	list_for_each_entry(sn, sessions, list)
	{
		cow_session *cs = sn->cs;
		if (bio->bi_sector < cs->part.start_sect + cs->part.nr_sects)
			return cs->cts;
	}
	return list_entry(sessions->next, session_node, list)->cs->cts;
}

int __cow_request(request_queue_t *q, struct bio *bio)
{
	LIST_HEAD(session_list_head_local);
	session_node spare_nodes[SPARE_SESSION_NODES];
	LIST_HEAD(chunk_list_head);
	rb_root page_tree_stack = RB_ROOT;
	rb_root *page_tree = &page_tree_stack;
	ct_session *cts = nullptr;
	int affcted_flow = 0;
	int rw = static_cast<int>(bio->bi_rw & 3);
	int ret = 0;
	make_request_fn *savedMRF;
	u64 n;

	down(&session_list_lock);
	poke_watchdog();
	savedMRF = get_mrf(bio->bi_bdev, savedMRFS);
	if (!savedMRF) {
		up(&session_list_lock);
		goto end_request;
	}
	n = get_cow_sessions(bio, &session_list_head_local, spare_nodes, SPARE_SESSION_NODES);
	if (n == 0) {
		cts = get_cts_session_bio(bio);
		up(&session_list_lock);
		goto record;
	}
	if (n == 1)
		page_tree = nullptr;
	up(&session_list_lock);

	down(&session_work_lock);
	poke_watchdog();
	if (!list_empty(&session_list_head_local))
		cts = sessions_cts(&session_list_head_local, bio);
	if (!is_cow_file_for_any_session(&session_list_head_local, bio)) {
		session_node *sn;
		list_for_each_entry(sn, &session_list_head_local, list)
			affcted_flow += get_affected_chunks(sn->cs, bio, &chunk_list_head);
	}
	up(&session_work_lock);

	/* A count of 0 can still leave entries: a session whose list could not be completed
	 * keeps what it made so far, in-flight chunks it holds included. */
	if (affcted_flow > 0 || !list_empty(&chunk_list_head)) {
		copy_out_entries(&chunk_list_head, bio, savedMRF, page_tree);
		if (page_tree)
			rb_free_node_and_page(page_tree);
	}

record:
	if (rw == 1 && cts)
		record_change(cts, bio, 0);

end_request:
	if (!savedMRF) {
		printk(KERN_ERR "%s: ERROR: could not find MRF.\n", ZEP_NAME);
		bio_endIO(bio, -EIO);
		ret = 0;
	} else {
		chunk_list *cl, *next;
		list_for_each_entry_safe(cl, next, &chunk_list_head, list)
		{
			if (cl->rbwl) {
				/* A write waits for the snapshot reads still reading the chunk from
				 * the live device; a read only gives its count back. */
				if (rw == 1)
					wait_for_read(cl->rbwl);
				leave_reader_node(cl->cs, cl->rbwl);
			}
			list_del(&cl->list);
			put_chunk_list(cl);
		}
		ret = savedMRF(q, bio);
	}
	put_cow_sessions(&session_list_head_local);
	return ret;
}

int cow_request(request_queue_t *q, struct bio *bio) { return __cow_request(q, bio); }

} // namespace kern
