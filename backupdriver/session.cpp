/*
 * session.cpp - the session registry, lookups, users count, invalidation and teardown.
 */
#include "backupdriver/session.h"

#include <cstring>

#include "backupdriver/cow.h"
#include "kernel/core/printk.h"
#include "kernel/core/sched.h"

namespace kern {

int check_bio(struct bio *bio, bool report)
{
	const char *missing = nullptr;
	if (!bio)
		missing = "bio";
	else if (!bio->bi_bdev)
		missing = "bio->bi_bdev";
	else if (!bio->bi_bdev->bd_disk)
		missing = "bio->bi_bdev->bd_disk";
	else if (!bio->bi_bdev->bd_disk->major)
		missing = "bio->bi_bdev->bd_disk->major";
	if (!missing)
		return 1;
	if (report)
		printk(KERN_ERR "%s: ERROR: NO: %s\n", ZEP_NAME, missing);
	return 0;
}

void check_bio(struct bio *bio) { check_bio(bio, true); }

bool bio_in_range(struct bio *bio, unsigned major, unsigned first_minor, u64 start_sect,
		  u64 nr_sects)
{
	struct gendisk *disk = bio->bi_bdev->bd_disk;
	u64 sector = bio->bi_sector;
	return static_cast<unsigned>(disk->major) == major &&
	       static_cast<unsigned>(disk->first_minor) == first_minor && start_sect <= sector &&
	       sector <= start_sect + nr_sects;
}

static bool session_matches(cow_session *cs, struct bio *bio)
{
	return bio_in_range(bio, MAJOR(cs->dev), static_cast<unsigned>(cs->first_minor),
			    cs->part.start_sect, cs->part.nr_sects);
}

session_node *get_session_node(cow_session *cs)
{
	auto *sn = static_cast<session_node *>(kmalloc(sizeof(session_node), GFP_NOIO));
	if (!sn)
		sn = static_cast<session_node *>(kmalloc(sizeof(session_node), GFP_NOIO));
	if (!sn)
		return nullptr;
	inc_users(cs);
	sn->cs = cs;
	sn->borrowed = false;
	INIT_LIST_HEAD(&sn->list);
	return sn;
}

void put_session_node(session_node *sn)
{
	dec_users(sn->cs);
	sn->cs = nullptr;
	if (!sn->borrowed)
		kfree(sn);
}

static bool append_node(cow_session *cs, list_head *head)
{
	session_node *sn = get_session_node(cs);
	if (!sn) {
		printk(KERN_ERR "%s: ERROR: Could not allocate session node!\n", ZEP_NAME);
		return false;
	}
	list_add_tail(&sn->list, head);
	return true;
}

int get_all_sessions(list_head *head)
{
	int n = 0;
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		if (append_node(cs, head))
			n++;
	}
	return n;
}

u64 get_cow_sessions(struct bio *bio, list_head *head, session_node *spare, int nspare)
{
	u64 n = 0;
	if (!check_bio(bio, true))
		return 0;
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		if (!session_matches(cs, bio) || is_error(cs) || is_shutdown(cs))
			continue;
		if (nspare > 0) {
			session_node *sn = spare++;
			nspare--;
			inc_users(cs);
			sn->cs = cs;
			sn->borrowed = true;
			list_add_tail(&sn->list, head);
			n++;
		} else if (append_node(cs, head)) {
			n++;
		}
	}
	return n;
}

void put_cow_sessions(list_head *head)
{
	session_node *sn, *n;
	list_for_each_entry_safe(sn, n, head, list)
	{
		list_del(&sn->list);
		put_session_node(sn);
	}
}

cow_session *get_cow_session_by_id(int id)
{
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		if (cs->clone_id == id)
			return cs;
	}
	return nullptr;
}

cow_session *get_cow_session(struct bio *bio)
{
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		if (!check_bio(bio, true))
			continue;
		if (session_matches(cs, bio) && !is_error(cs))
			return cs;
	}
	return nullptr;
}

int get_session_and_chunk(struct bio *bio, cow_session **out, u64 *chunk)
{
	cow_session *cs = get_cow_session(bio);
	if (!cs)
		return 0;
	*out = cs;
	*chunk = get_chunk(cs->sector_shift, cs->chunk_mask, cs->chunk_shift,
			   bio->bi_sector - cs->part.start_sect);
	return 1;
}

void inc_users(cow_session *cs)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->users_lock, flags);
	cs->cs_users++;
	spin_unlock_irqrestore(&cs->users_lock, flags);
}

void dec_users(cow_session *cs)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->users_lock, flags);
	if (cs->cs_users)
		cs->cs_users--;
	spin_unlock_irqrestore(&cs->users_lock, flags);
}

u64 get_users(cow_session *cs)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->users_lock, flags);
	u64 n = cs->cs_users;
	spin_unlock_irqrestore(&cs->users_lock, flags);
	return n;
}

void wait_for_no_users(cow_session *cs)
{
	while (get_users(cs)) {
		set_current_state(TASK_RUNNING);
		schedule();
	}
}

int is_error(cow_session *cs) { return atomic_read(&cs->error) != 0; }
int is_shutdown(cow_session *cs) { return atomic_read(&cs->sd) != 0; }
int is_valid_session(cow_session *cs) { return !is_shutdown(cs) && !is_error(cs); }

/* Guards every session's error text: it is written by whichever path invalidates the
 * session (request paths, IO threads, commands) while the session-error query reads it. */
static DEFINE_SPINLOCK(error_msg_lock);

void invalidate_session(cow_session *cs, const char *msg)
{
	if (!cs)
		return;
	unsigned long flags;
	spin_lock_irqsave(&error_msg_lock, flags);
	/* Only the first reason is kept. The text is in place before the flag is raised, so
	 * whoever sees the flag and then takes the lock reads the whole text. */
	if (atomic_read(&cs->error) == 0) {
		std::memset(cs->errorMsg, 0, sizeof(cs->errorMsg));
		if (msg)
			std::strncpy(cs->errorMsg, msg, sizeof(cs->errorMsg) - 1);
		atomic_set(&cs->error, 1);
	}
	spin_unlock_irqrestore(&error_msg_lock, flags);
}

void get_session_error_msg(cow_session *cs, char *buf, size_t n)
{
	unsigned long flags;
	spin_lock_irqsave(&error_msg_lock, flags);
	copy_text(buf, n, cs->errorMsg, sizeof(cs->errorMsg), true);
	spin_unlock_irqrestore(&error_msg_lock, flags);
}

void set_close_files(cow_session *cs) { atomic_inc(&cs->close_files); }
int close_files(cow_session *cs) { return atomic_read(&cs->close_files) != 0; }

int is_cdp_process(void) { return std::strncmp(get_current()->comm, "cdp", 3) == 0; }

void free_io_threads(io_thread **threads)
{
	for (int i = 0; i < MAX_IO_THREADS; i++) {
		kfree(threads[i]);
		threads[i] = nullptr;
	}
}

void clean_spc(simple_page_cache *spc)
{
	simple_cached_page *e, *n;
	list_for_each_entry_safe(e, n, &spc->list, list)
	{
		list_del(&e->list);
		if (e->page)
			__free_page(e->page);
		kfree(e);
	}
	spc->size = 0;
}

void put_cow_session(cow_session *cs)
{
	if (!cs)
		return;
	if (cs->thread_info) {
		free_io_threads(cs->thread_info->io_threads);
		kfree(cs->thread_info);
		cs->thread_info = nullptr;
	}
	kfree(cs->snap_info);
	cs->snap_info = nullptr;
	kfree(cs->other_info);
	cs->other_info = nullptr;
	if (cs->spc) {
		clean_spc(cs->spc);
		kfree(cs->spc);
		cs->spc = nullptr;
	}
	put_cow_chunk_table(&cs->chunk_table);
	put_cow_if_table(&cs->if_table);
	rb_free_node_and_page(&cs->page_tree);
	rb_free_node(&cs->block_tree);
	kfree(cs);
}

int get_cow_session_count(void)
{
	int n = 0;
	list_head *p;
	list_for_each(p, &session_list_head) n++;
	return n;
}

void put_all_cow_sessions(void)
{
	cow_session *cs, *n;
	list_for_each_entry_safe(cs, n, &session_list_head, list)
	{
		list_del(&cs->list);
		put_cow_session(cs);
	}
}

} // namespace kern
