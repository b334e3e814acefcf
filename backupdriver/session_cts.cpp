/*
 * session_cts.cpp - change-tracking records: matching, start, error state, shutdown.
 */
#include <cstring>

#include "backupdriver/cow.h"
#include "backupdriver/mrf.h"
#include "backupdriver/session.h"
#include "kernel/core/printk.h"

namespace kern {

/* Every record made, listed or not, so that module exit can free them all. */
static LIST_HEAD(all_cts);
static DEFINE_SPINLOCK(all_cts_lock);

ct_session *get_cts_session_bio(struct bio *bio)
{
	ct_session *cts, *edge = nullptr;
	list_for_each_entry(cts, &ct_list_head, list)
	{
		if (!bio_in_range(bio, static_cast<unsigned>(cts->major),
				  static_cast<unsigned>(cts->first_minor), cts->start_sect, cts->nr_sects))
			continue;
		/* A request starting right after a range matches it too; the record whose range
		 * holds the sector (the next partition's) takes the write, or it would be lost
		 * to that partition and counted past the end of this one. */
		if (bio->bi_sector < cts->start_sect + cts->nr_sects)
			return atomic_read(&cts->missed_write) ? nullptr : cts;
		if (!edge)
			edge = cts;
	}
	return edge && !atomic_read(&edge->missed_write) ? edge : nullptr;
}

ct_session *get_cts_session_cs(cow_session *cs)
{
	ct_session *cts;
	list_for_each_entry(cts, &ct_list_head, list)
	{
		if (cts->major == cs->major && cts->first_minor == cs->first_minor &&
		    cts->start_sect == cs->part.start_sect && cts->nr_sects == cs->part.nr_sects)
			return cts;
	}
	return nullptr;
}

void start_cts(ct_session *cts)
{
	if (atomic_read(&cts->started))
		return;
	list_add_tail(&cts->list, &ct_list_head);
	atomic_set(&cts->started, 1);
}

void cts_set_error(ct_session *cts)
{
	if (!cts)
		return;
	printk(KERN_INFO "%s: INFO: CTS has been disabled %d.%d[%llu+%llu]\n", ZEP_NAME, cts->major,
	       cts->first_minor, static_cast<unsigned long long>(cts->start_sect),
	       static_cast<unsigned long long>(cts->nr_sects));
	atomic_set(&cts->missed_write, 1);
}

void cts_clear_error(ct_session *cts)
{
	if (cts)
		atomic_set(&cts->missed_write, 0);
}

int any_cts_has_error(void)
{
	ct_session *cts;
	list_for_each_entry(cts, &ct_list_head, list)
	{
		if (atomic_read(&cts->started) && atomic_read(&cts->missed_write))
			return 1;
	}
	return 0;
}

void error_all_cts(void)
{
	ct_session *cts;
	list_for_each_entry(cts, &ct_list_head, list)
	{
		if (atomic_read(&cts->started))
			cts_set_error(cts);
	}
}

void clear_all_cts(void)
{
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		if (cs->cts)
			atomic_set(&cs->cts->missed_write, 1);
	}
}

void stop_all_cts(saved_mrf *table[255][255])
{
	ct_session *cts, *n;
	list_for_each_entry_safe(cts, n, &ct_list_head, list)
	{
		if (!atomic_read(&cts->started))
			continue;
		struct block_device *bdev = get_block_device(cts->dev);
		unset_mrf(bdev, table);
		atomic_set(&cts->started, 0);
		list_del(&cts->list);
		if (bdev)
			bdput(bdev);
	}
}

ct_session *alloc_cts_session(void)
{
	auto *cts = static_cast<ct_session *>(kmalloc(sizeof(ct_session), GFP_KERNEL));
	if (!cts)
		return nullptr;
	std::memset(static_cast<void *>(cts), 0, sizeof(*cts));
	INIT_LIST_HEAD(&cts->list);
	unsigned long flags;
	spin_lock_irqsave(&all_cts_lock, flags);
	list_add_tail(&cts->all, &all_cts);
	spin_unlock_irqrestore(&all_cts_lock, flags);
	return cts;
}

void populate_cts_cs(cow_session *cs, ct_session *cts)
{
	if (!cs || !cts)
		return;
	cts->dev = cs->dev;
	cts->major = cs->major;
	cts->first_minor = cs->first_minor;
	cts->start_sect = cs->part.start_sect;
	cts->nr_sects = cs->part.nr_sects;
	atomic_set(&cts->missed_write, 0);
	atomic_set(&cts->started, 0);
	cts->bdev = get_block_device(cs->dev);
}

void free_all_cts(void)
{
	unsigned long flags;
	for (;;) {
		spin_lock_irqsave(&all_cts_lock, flags);
		if (list_empty(&all_cts)) {
			spin_unlock_irqrestore(&all_cts_lock, flags);
			return;
		}
		ct_session *cts = list_entry(all_cts.next, ct_session, all);
		list_del(&cts->all);
		spin_unlock_irqrestore(&all_cts_lock, flags);
		if (atomic_read(&cts->started))
			list_del(&cts->list);
		if (cts->bdev)
			bdput(cts->bdev);
		kfree(cts);
	}
}

} // namespace kern
