/*
 * chunk.cpp - chunk geometry and chunk tables.
 */
#include "backupdriver/chunk.h"

#include <cstring>

#include "backupdriver/session.h"
#include "kernel/mm/mm.h"

namespace kern {

unsigned int down_to_power_of_2(unsigned int n)
{
	if (!n)
		return 0;
	unsigned int p = 1;
	while (p <= n / 2)
		p <<= 1;
	return p;
}

u64 get_chunk(u64 sector_shift, u64 chunk_mask, u64 chunk_shift, u64 sector)
{
	return ((sector << (sector_shift & 63)) & ~chunk_mask) >> (chunk_shift & 63);
}

u32 chunk_hash(const chunk_table *t, u64 chunk)
{
	return t->hash_mask & static_cast<u32>(chunk);
}

void *alloc_table(unsigned long n, unsigned long size)
{
	void *p = vmalloc(n * size);
	if (p)
		std::memset(p, 0, n * size);
	return p;
}

int init_chunk_table(chunk_table *t, u32 buckets)
{
	t->hash_mask = buckets - 1;
	t->table = static_cast<list_head *>(alloc_table(buckets, sizeof(list_head)));
	if (!t->table)
		return -ENOMEM;
	for (u32 i = 0; i < buckets; i++)
		INIT_LIST_HEAD(&t->table[i]);
	return 0;
}

cow_chunk *get_cow_chunk(chunk_table *t, u64 chunk)
{
	if (!t || !t->table)
		return nullptr;
	list_head *head = &t->table[chunk_hash(t, chunk)];
	cow_chunk *cc;
	list_for_each_entry(cc, head, list)
	{
		if (cc->old_chunk == chunk)
			return cc;
	}
	return nullptr;
}

if_chunk *get_if_chunk(chunk_table *t, u64 chunk)
{
	if (!t || !t->table)
		return nullptr;
	list_head *head = &t->table[chunk_hash(t, chunk)];
	if_chunk *ic;
	list_for_each_entry(ic, head, list)
	{
		if (ic->chunk == chunk)
			return ic;
	}
	return nullptr;
}

void add_cow_chunk(chunk_table *t, cow_chunk *cc)
{
	list_add(&cc->list, &t->table[chunk_hash(t, cc->old_chunk)]);
}

void add_if_chunk(chunk_table *t, if_chunk *ic)
{
	list_add(&ic->list, &t->table[chunk_hash(t, ic->chunk)]);
}

cow_chunk *alloc_cow_chunk(void)
{
	auto *cc = static_cast<cow_chunk *>(kmalloc(sizeof(cow_chunk), GFP_NOIO));
	if (!cc)
		return nullptr;
	std::memset(static_cast<void *>(cc), 0, sizeof(*cc));
	INIT_LIST_HEAD(&cc->list);
	cc->thread = -1;
	return cc;
}

void free_cow_chunk(cow_chunk *cc) { kfree(cc); }

if_chunk *alloc_if_chunk(u64 chunk)
{
	auto *ic = static_cast<if_chunk *>(kmalloc(sizeof(if_chunk), GFP_NOIO));
	if (!ic)
		return nullptr;
	std::memset(static_cast<void *>(ic), 0, sizeof(*ic));
	INIT_LIST_HEAD(&ic->list);
	ic->chunk = chunk;
	atomic_set(&ic->count, 0);
	ic->cc = nullptr;
	/* Created held: the creator releases both once its copy or write is done. */
	init_MUTEX_LOCKED(&ic->real_lock);
	init_MUTEX_LOCKED(&ic->virt_lock);
	INIT_LIST_HEAD(&ic->fc_list_head);
	INIT_LIST_HEAD(&ic->submit_list);
	atomic_set(&ic->processed, 0);
	ic->anon = 0;
	ic->created = -1;
	ic->real_free = 0;
	ic->real_thread_free = 0;
	return ic;
}

if_chunk *alloc_anon_if_chunk(cow_chunk *cc)
{
	if_chunk *ic = alloc_if_chunk(cc->old_chunk);
	if (!ic)
		return nullptr;
	up(&ic->real_lock);
	up(&ic->virt_lock);
	ic->cc = cc;
	ic->anon = 1;
	atomic_set(&ic->count, 1);
	return ic;
}

void free_if_chunk(if_chunk *ic) { kfree(ic); }

/* Frees every record of every bucket, then the buckets. */
template <typename T> static void put_table(chunk_table *t, void (*free_record)(T *))
{
	if (!t || !t->table)
		return;
	for (u64 i = 0; i <= t->hash_mask; i++) {
		T *rec, *n;
		list_for_each_entry_safe(rec, n, &t->table[i], list)
		{
			list_del(&rec->list);
			free_record(rec);
		}
	}
	vfree(t->table);
	t->table = nullptr;
}

void put_cow_chunk_table(chunk_table *t) { put_table(t, free_cow_chunk); }
void put_cow_if_table(chunk_table *t) { put_table(t, free_if_chunk); }

void set_chunk_pos(cow_session *cs, cow_chunk *cc, u64 chunk)
{
	unsigned long flags;
	spin_lock_irqsave(&cs->pos_lock, flags);
	cc->old_chunk = chunk;
	cc->new_chunk = cs->pos;
	cs->pos++;
	spin_unlock_irqrestore(&cs->pos_lock, flags);
}

} // namespace kern
