/*
 * cow_virt.cpp - snapshot-device requests: routing (split at a chunk boundary,
 * preparation, the page cache of invalid sessions), the read and write handlers that
 * serve a chunk from the live device, an in-flight chunk's pages or the backing store,
 * and the copies between a request and an in-flight chunk's pages.
 */
#include <cstring>

#include "backupdriver/clone.h"
#include "backupdriver/cow.h"
#include "backupdriver/mrf.h"
#include "kernel/core/printk.h"

namespace kern {

/* Pages an invalid session's cache keeps before it recycles the least recently used. */
static constexpr int SPC_MAX_PAGES = 2560;

/* ---------------------------------------------------------------- reader registration */

/* One snapshot read of the chunk has left the live device (or never reached it): the
 * last one lets the writers waiting for it go, and the last party frees the node. */
static void release_reader(cow_session *cs, rb_wl *rbwl)
{
	unsigned long flags;
	bool free_it = false;
	spin_lock_irqsave(&cs->write_list_lock, flags);
	if (--rbwl->reads == 0) {
		finish_read(rbwl);
		rb_erase(&rbwl->node, &cs->write_locks);
		if (rbwl->writes == 0)
			free_it = true;
		else
			rb_instert_wl(&cs->write_locked, rbwl);
	}
	spin_unlock_irqrestore(&cs->write_list_lock, flags);
	if (free_it)
		put_rbwl(rbwl);
}

int vrt_bio_endIO(struct bio *bio, unsigned int size, int err)
{
	if (bio->bi_size)
		return 1;
	auto *si = static_cast<saved_info *>(bio->bi_private);
	cow_session *cs = si->cs;
	if (si->rbwl)
		release_reader(cs, si->rbwl);
	/* The live device's verdict is the read's: a failed read is never a success. */
	if (!err && !bio_flagged(bio, BIO_UPTODATE))
		err = -EIO;
	/* A session that failed while the agent's read was on the live device may have let a
	 * write through unpreserved before the read got there: the bytes may be new ones. */
	if (!err && si->cdp_reader && !is_valid_session(cs))
		err = -EIO;
	restore_info(si, bio);
	bio_endIO(bio, err);
	put_saved_info(si);
	dec_users(cs);
	return 0;
}

/* Gives back whatever an entry still holds: a reader count, an in-flight reference, or
 * an in-flight chunk it created and whose two locks it still holds. */
static void release_entry(cow_session *cs, chunk_list *cl)
{
	if (cl->rbwl) {
		release_reader(cs, cl->rbwl);
		cl->rbwl = nullptr;
	}
	if (cl->ic) {
		if (cl->new_ic == 1) {
			up(&cl->ic->real_lock);
			up(&cl->ic->virt_lock);
		}
		put_and_dec_if(cs, cl->ic);
		cl->ic = nullptr;
	}
}

/* ---------------------------------------------------------------- handlers */

void virt_fc_end_io(file_copy *fc, int err) { bio_endIO(fc->bio, err); }

static cow_chunk *lookup_preserved(cow_session *cs, u64 chunk)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->chunk_lock, flags);
	cow_chunk *cc = get_cow_chunk(&cs->chunk_table, chunk);
	spin_unlock_irqrestore(&cs->chunk_lock, flags);
	return cc;
}

/* Queues the request's part for the IO thread that owns the preserved chunk: it is read
 * from (rw 0) or written to (rw 1) the chunk's slot, and completed by the thread. */
static int to_backing_store(handle_io *hio, unsigned long rw)
{
	cow_session *cs = hio->cs;
	cow_chunk *cc = hio->cl->cc;
	if (!cc) {
		invalidate_session(cs, "OUT OF MEMORY");
		return -1;
	}
	if_chunk *ic = alloc_anon_if_chunk(cc);
	file_copy *fc = alloc_file_copy(cs);
	if (!ic || !fc) {
		if (fc)
			put_file_copy(fc, cs);
		if (ic)
			put_and_dec_if(cs, ic);
		invalidate_session(cs, "OUT OF MEMORY");
		return -1;
	}
	init_fc(fc, cc, hio->bio, cs->chunk_size, 0, cs->sector_shift, virt_fc_end_io, rw);
	list_add_tail(&fc->fc_list, &ic->fc_list_head);
	if (submit_ic_file_io(ic, cs)) {
		/* The chunk's thread has left its session: nobody would serve this. */
		list_del(&fc->fc_list);
		put_file_copy(fc, cs);
		put_and_dec_if(cs, ic);
		invalidate_session(cs, "NO THREADS");
		return -1;
	}
	return 0;
}

/* Waits for a copy-out of the entry's chunk in progress and finds the chunk preserved;
 * false (with the session invalidated and the reference dropped) when it was not. */
static bool wait_for_copy_out(cow_session *cs, chunk_list *cl)
{
	if (!cl->cc) {
		down(&cl->ic->virt_lock);
		poke_watchdog();
		up(&cl->ic->virt_lock);
		cl->cc = lookup_preserved(cs, cl->chunk);
	}
	if (cl->cc)
		return true;
	invalidate_session(cs, "NO CHUNK");
	put_and_dec_if(cs, cl->ic);
	cl->ic = nullptr;
	return false;
}

/* Copies between the request and the in-flight chunk's pages while they are still in
 * memory: the bytes copied, or -1 when the pages have already gone to the backing file
 * (the caller then goes there). Drops the entry's reference either way. */
static int with_chunk_pages(handle_io *hio, int rw)
{
	cow_session *cs = hio->cs;
	chunk_list *cl = hio->cl;
	if_chunk *ic = cl->ic;
	int copied = -1;
	down(&ic->virt_lock);
	poke_watchdog();
	if (atomic_read(&ic->processed) == 0)
		copied = static_cast<int>(io_on_if_chunk(cs, ic, cl->cc, hio->bio, rw));
	/* Pages given up without going to the file (a stop or a session without threads
	 * cancelled them) serve nothing: the request goes on as if they were on file. */
	if (copied >= 0 && static_cast<unsigned>(copied) < hio->bio->bi_size)
		copied = -1;
	up(&ic->virt_lock);
	put_and_dec_if(cs, ic);
	cl->ic = nullptr;
	return copied;
}

/* Lends the read to the live device; it comes back through vrt_bio_endIO. */
static int to_live_device(handle_io *hio)
{
	cow_session *cs = hio->cs;
	chunk_list *cl = hio->cl;
	struct bio *bio = hio->bio;
	request_queue_t *q = hio->bdev && hio->bdev->bd_disk ? hio->bdev->bd_disk->queue : nullptr;
	if (!q) {
		printk(KERN_ERR "%s: ERROR: could not get target queue for read.\n", ZEP_NAME);
		invalidate_session(cs, "GET QUEUE ERROR");
		release_entry(cs, cl);
		return -1;
	}
	saved_info *si = alloc_saved_info();
	if (!si) {
		invalidate_session(cs, "OUT OF MEMORY");
		release_entry(cs, cl);
		return -1;
	}
	/* A chunk in flight on a session going away is read live too: the reference taken
	 * for it is not needed. */
	if (cl->ic) {
		put_and_dec_if(cs, cl->ic);
		cl->ic = nullptr;
	}
	std::memset(static_cast<void *>(si), 0, sizeof(*si));
	save_info(bio, si);
	inc_users(cs);
	si->cs = cs;
	si->rbwl = cl->rbwl;
	si->cdp_reader = is_cdp_process();
	bio->bi_end_io = vrt_bio_endIO;
	bio->bi_private = si;
	bio->bi_bdev = hio->bdev;
	bio->bi_sector += cs->part.start_sect;
	doMRF(q, hio->mrf, bio);
	return 0;
}

int handle_virt_read(handle_io *hio)
{
	cow_session *cs = hio->cs;
	chunk_list *cl = hio->cl;
	/* A session that failed since the request came in may have let a live write through
	 * unpreserved: the agent must not take live bytes for the frozen ones. (A write that
	 * fails later waits for this read: the entry holds it back.) */
	if (!is_valid_session(cs) && is_cdp_process()) {
		release_entry(cs, cl);
		return -1;
	}
	if (cl->rbwl || !is_valid_session(cs))
		return to_live_device(hio);
	if (cl->ic) {
		if (!wait_for_copy_out(cs, cl))
			return -1;
		int copied = with_chunk_pages(hio, 0);
		if (copied >= 0) {
			bio_endIO(hio->bio, 0);
			return copied;
		}
	}
	return to_backing_store(hio, 0);
}

int handle_virt_write(handle_io *hio)
{
	cow_session *cs = hio->cs;
	chunk_list *cl = hio->cl;
	unsigned int copied = 0;
	if (cl->ic && cl->new_ic == 1) {
		if_chunk *ic = cl->ic;
		cl->cc = copy_chunk(cs, ic, hio->bdev, hio->mrf, nullptr, hio->bio, &copied);
		int status = enter_copy(cs, cl->cc);
		up(&ic->real_lock);
		up(&ic->virt_lock);
		put_and_dec_if(cs, ic);
		cl->ic = nullptr;
		bio_endIO(hio->bio, status);
		return static_cast<int>(copied);
	}
	if (cl->ic) {
		if (!wait_for_copy_out(cs, cl))
			return -1;
		int n = with_chunk_pages(hio, 1);
		if (n >= 0) {
			bio_endIO(hio->bio, 0);
			return static_cast<int>(copied) + n;
		}
	}
	if (to_backing_store(hio, 1))
		return -1;
	return static_cast<int>(copied);
}

/* ---------------------------------------------------------------- routing */

int prep_chunk_list(cow_session *cs, chunk_list *cl, int rw)
{
	/* In flight first, as the live write path does: a chunk whose copy-out ends between
	 * the two lookups is then found preserved, never read from the live device. */
	cl->ic = get_and_inc_if(cs, cl->chunk);
	cl->cc = lookup_preserved(cs, cl->chunk);
	if (cl->ic)
		cl->new_ic = 0;
	unsigned long flags;
	if (rw == 0) {
		/* On a failed session every read goes to the live device. */
		if (is_error(cs)) {
			if (cl->ic)
				put_and_dec_if(cs, cl->ic);
			cl->ic = nullptr;
			cl->cc = nullptr;
		}
		if (!cl->cc && !cl->ic) {
			spin_lock_irqsave(&cs->write_list_lock, flags);
			rb_wl *rbwl = rb_serach_wl(&cs->write_locks, cl->chunk);
			if (rbwl)
				rbwl->reads++;
			spin_unlock_irqrestore(&cs->write_list_lock, flags);
			if (!rbwl) {
				rbwl = alloc_rb_wl();
				if (!rbwl) {
					printk(KERN_ERR "%s: ERROR: could not allocate new rbl for chunk: %llu.\n",
					       ZEP_NAME, static_cast<unsigned long long>(cl->chunk));
				} else {
					std::memset(static_cast<void *>(rbwl), 0, sizeof(*rbwl));
					rbwl->n = cl->chunk;
					rbwl->reads = 1;
					rbwl->writes = 0;
					atomic_set(&rbwl->done, 0);
					init_waitqueue_head(&rbwl->wait);
					spin_lock_irqsave(&cs->write_list_lock, flags);
					rb_instert_wl(&cs->write_locks, rbwl);
					spin_unlock_irqrestore(&cs->write_list_lock, flags);
				}
			}
			cl->rbwl = rbwl;
		}
	} else if (!cl->cc && !cl->ic) {
		if_chunk *ic = alloc_if_chunk(cl->chunk);
		if (!ic) {
			printk(KERN_ERR "%s: ERROR: could not allocate new ic for chunk: %llu.\n", ZEP_NAME,
			       static_cast<unsigned long long>(cl->chunk));
		} else {
			ic->created = 2;
			add_and_inc_if(cs, ic);
			cl->ic = ic;
			cl->new_ic = 1;
		}
	}
	return 0;
}

int cached_io(cow_session *cs, struct bio *bio, int rw)
{
	simple_page_cache *spc = cs->spc;
	if (!spc || bio_segments(bio) != 1 || bio->bi_size > PAGE_SIZE || !bio_page(bio))
		return 0;
	struct bio_vec *bv = bio_iovec(bio);
	u64 sector = bio->bi_sector;
	simple_cached_page *e = nullptr, *it;
	bool fresh = false, same_sector = false;
	unsigned long flags;
	spin_lock_irqsave(&spc->lock, flags);
	list_for_each_entry(it, &spc->list, list)
	{
		if (it->sector == sector) {
			e = it;
			same_sector = true;
			list_del(&e->list);
			break;
		}
	}
	if (!e && rw == 1 && spc->size > SPC_MAX_PAGES - 1 && !list_empty(&spc->list)) {
		e = list_entry(spc->list.prev, simple_cached_page, list);
		list_del(&e->list);
		e->sector = sector;
	}
	spin_unlock_irqrestore(&spc->lock, flags);
	if (!e) {
		if (rw == 0)
			return 0;
		e = static_cast<simple_cached_page *>(kmalloc(sizeof(*e), GFP_NOIO));
		if (!e)
			e = static_cast<simple_cached_page *>(kmalloc(sizeof(*e), GFP_NOIO));
		struct page *p = e ? alloc_one_page() : nullptr;
		if (!p) {
			kfree(e);
			return 0;
		}
		std::memset(static_cast<void *>(e), 0, sizeof(*e));
		INIT_LIST_HEAD(&e->list);
		e->sector = sector;
		e->page = p;
		fresh = true;
	}
	unsigned len = bv->bv_len < PAGE_SIZE ? bv->bv_len : PAGE_SIZE;
	char *cached = static_cast<char *>(kmap_atomic(e->page, KM_USER0));
	char *req = static_cast<char *>(kmap_atomic(bv->bv_page, KM_USER1)) + bv->bv_offset;
	if (rw == 1) {
		std::memcpy(cached, req, len);
		/* A new or recycled page holds nothing of this sector past the write: never
		 * another sector's data or stale memory. */
		if (!same_sector)
			std::memset(cached + len, 0, PAGE_SIZE - len);
	} else {
		std::memcpy(req, cached, len);
	}
	kunmap_atomic(req - bv->bv_offset, KM_USER1);
	kunmap_atomic(cached, KM_USER0);
	spin_lock_irqsave(&spc->lock, flags);
	list_add(&e->list, &spc->list);
	if (fresh)
		spc->size++;
	spin_unlock_irqrestore(&spc->lock, flags);
	return 1;
}

/* What a request needs of the replica it is addressed to, taken while the table lock
 * keeps the replica: its session, with a user reference so that a stop waits for the
 * request, and the live device (null when it has gone), with a reference of the
 * request's own. A stop frees the replica as soon as it has the lock: the request never
 * looks at it again. 0 when the request's replica has gone. */
static int get_replica_session(request_queue_t *q, struct bio *bio, cow_session **cs,
			       struct block_device **live)
{
	down_read(&rw_mutex);
	blkdev_replica *clone = get_blkdev_replica(static_cast<int>(MINOR(bio->bi_bdev->bd_dev)));
	/* Only the replica this queue belongs to: a request on a replica that has gone must
	 * not reach a later one that took its id. */
	if (clone && clone->q != q)
		clone = nullptr;
#ifdef ZEP_PLANT_REPLICA
	up_read(&rw_mutex);	/* planted: the replica read after the table lock is dropped */
#endif
	if (clone) {
		*cs = clone->cs;
		inc_users(*cs);
		*live = clone->bdev ? bdget(clone->bdev->bd_dev) : nullptr;
	}
#ifndef ZEP_PLANT_REPLICA
	up_read(&rw_mutex);
#endif
	return clone ? 1 : 0;
}

/* Ends what is left of a request: the whole request, or the halves of a split one that
 * no handler took, so that the original completes exactly once. A read ending here was
 * not served and its pages hold nothing of the device: it fails, whoever asked. Writes
 * of ordinary processes end as done (an invalid snapshot discards them); every request
 * of a cdp process fails and is marked at its end. */
static void end_virt_request(struct bio *bio, bio_pair *bp, bool first_half_taken, int rw)
{
	int status = rw == 0 ? -EIO : 0;
	if (is_cdp_process()) {
		__atomic_fetch_or(&bio->bi_flags, 1ul << BIO_EOF, __ATOMIC_RELAXED);
		status = -EIO;
	}
	if (!bp) {
		bio_endio(bio, bio->bi_size, status);
		return;
	}
	if (!first_half_taken)
		bio_endio(&bp->bio1, bp->bio1.bi_size, status);
	bio_endio(&bp->bio2, bp->bio2.bi_size, status);
}

int __virt_request(request_queue_t *q, struct bio *bio)
{
	int rw = static_cast<int>(bio->bi_rw & 1);
	cow_session *cs = nullptr;
	chunk_list a, b;
	LIST_HEAD(entries);
	LIST_HEAD(lf);
	bio_pair *bp = nullptr;
	bool first_half_taken = false;
	struct block_device *held = nullptr, *live;
	make_request_fn *mrf;
	handle_io hio;
	u64 chunk, pos, end, start_b;
	chunk_list *cl;

	std::memset(static_cast<void *>(&a), 0, sizeof(a));
	std::memset(static_cast<void *>(&b), 0, sizeof(b));
	if (!get_replica_session(q, bio, &cs, &held)) {
		printk(KERN_ERR "%s: ERROR: IO on virtual device without clone!\n", ZEP_NAME);
		end_virt_request(bio, nullptr, false, rw);
		return 0;
	}
	if (!is_valid_session(cs) && !is_cdp_process() && cached_io(cs, bio, rw)) {
		bio_endio(bio, bio->bi_size, 0);
		goto out;
	}
	if (!is_valid_session(cs) && (rw == 1 || is_cdp_process()))
		goto ending;
	if (rw == 1)
		record_change(cs->cts, bio, 1);

	live = held;
	if (!live)
		goto ending;
	if (live->bd_contains && live->bd_contains != live)
		live = live->bd_contains;
	mrf = get_mrf(live, savedMRFS);
	if (!mrf)
		goto ending;
	if (bio->bi_size > PAGE_SIZE)
		printk(KERN_ERR "%s: ERROR: bio larger than page, this is bad.\n", ZEP_NAME);

	chunk = get_chunk(cs->sector_shift, cs->chunk_mask, cs->chunk_shift, bio->bi_sector);
	INIT_LIST_HEAD(&a.list);
	INIT_LIST_HEAD(&b.list);
	a.chunk = chunk;
	a.bio = bio;
	list_add_tail(&a.list, &entries);
	b.chunk = chunk + 1;
	b.bio = bio;
	pos = bio->bi_sector << cs->sector_shift;
	end = pos + bio->bi_size;
	start_b = (chunk + 1) * cs->chunk_size;
	if (end > start_b) {
		bp = bio_split(bio, cdp_bp_cache, static_cast<int>((start_b - pos) >> cs->sector_shift));
		if (!bp)
			goto ending;
		a.bio = &bp->bio1;
		b.bio = &bp->bio2;
		list_add_tail(&b.list, &entries);
		bio_pair_release(bp);
	}

	down(&session_work_lock);
	poke_watchdog();
	list_for_each_entry(cl, &entries, list)
		prep_chunk_list(cs, cl, rw);
	up(&session_work_lock);

	hio.submitted = 0;
	hio.cs = cs;
	hio.bdev = live;
	hio.mrf = mrf;
	hio.clone = nullptr;	/* may be gone already: nothing of it is needed */
	hio.lf = &lf;
	list_for_each_entry(cl, &entries, list)
	{
		hio.cl = cl;
		hio.bio = cl->bio;
		int r = rw == 1 ? handle_virt_write(&hio) : handle_virt_read(&hio);
		if (r < 0) {
			/* The failing handler has given back its own entry; the next one was
			 * never handled. */
			if (cl == &a && bp)
				release_entry(cs, &b);
			goto ending;
		}
		if (cl == &a)
			first_half_taken = true;
	}
	goto out;

ending:
	end_virt_request(bio, bp, first_half_taken, rw);
out:
	/* Reads lent to the live device are in its queue by now: its driver no longer needs
	 * the request's reference. */
	if (held)
		bdput(held);
	dec_users(cs);
	return 0;
}

int virt_request(request_queue_t *q, struct bio *bio) { return __virt_request(q, bio); }

/* ---------------------------------------------------------------- copies */

unsigned int bvec_to_if_bvec(struct bio_vec *bio_bvec, sector_t bio_bvec_disk_pos,
			     struct bio_vec *if_bvec, sector_t if_bvec_disk_pos, int rw)
{
	sector_t b = bio_bvec_disk_pos, f = if_bvec_disk_pos;
	u64 bio_off = b < f ? f - b : 0;
	u64 if_off = f < b ? b - f : 0;
	if (bio_off >= bio_bvec->bv_len || if_off >= if_bvec->bv_len)
		return 0;
	u64 to_copy = bio_bvec->bv_len - bio_off;
	if (if_bvec->bv_len - if_off < to_copy)
		to_copy = if_bvec->bv_len - if_off;
	char *req = static_cast<char *>(kmap_atomic(bio_bvec->bv_page, KM_USER0));
	char *chk = static_cast<char *>(kmap_atomic(if_bvec->bv_page, KM_USER1));
	char *req_bytes = req + bio_bvec->bv_offset + bio_off;
	char *chk_bytes = chk + if_bvec->bv_offset + if_off;
	if (rw == 1)
		std::memmove(chk_bytes, req_bytes, to_copy);
	else
		std::memmove(req_bytes, chk_bytes, to_copy);
	kunmap_atomic(chk, KM_USER1);
	kunmap_atomic(req, KM_USER0);
	return static_cast<unsigned int>(to_copy);
}

unsigned int bvec_to_if_chunk(cow_session *cs, if_chunk *ic, struct bio_vec *bio_bvec,
			      sector_t bio_bvec_disk_pos, int rw)
{
	unsigned int copied = 0;
	sector_t b = bio_bvec_disk_pos, bl = bio_bvec->bv_len;
	file_copy *fc;
	list_for_each_entry(fc, &ic->fc_list_head, fc_list)
	{
		if (!fc->bio)
			continue;
		sector_t f = static_cast<sector_t>(fc->disk_start);
		for (unsigned i = 0; i < fc->bio->bi_vcnt; i++) {
			struct bio_vec *v = &fc->bio->bi_io_vec[i];
			sector_t fl = v->bv_len;
			if (b == f || (b < f + fl && f < b + bl))
				copied += bvec_to_if_bvec(bio_bvec, b, v, f, rw);
			f += fl;
		}
	}
	return copied;
}

unsigned int io_on_if_chunk(cow_session *cs, if_chunk *ic, cow_chunk *cc, struct bio *bio, int rw)
{
	unsigned int copied = 0;
	sector_t pos = calc_bio_disk_pos(cs, cc, bio);
	for (unsigned i = 0; i < bio->bi_vcnt; i++) {
		struct bio_vec *v = &bio->bi_io_vec[i];
		copied += bvec_to_if_chunk(cs, ic, v, pos, rw);
		pos += v->bv_len;
	}
	return copied;
}

} // namespace kern
