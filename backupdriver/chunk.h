/*
 * chunk.h - chunk geometry, the per-session tables of preserved and in-flight chunks,
 * and the per-request chunk entries.
 */
#pragma once

#include "kernel/lib/atomic.h"
#include "kernel/lib/list.h"
#include "kernel/locking/semaphore.h"
#include "kernel/lib/types.h"

namespace kern {

struct cow_session;
struct rb_wl;
struct bio;

/* A hash table of chunk records; the bucket count is a power of two. */
struct chunk_table {
	u32 hash_mask;
	list_head *table;
	u64 page_shift;
	u64 page_mask;
};

/* A preserved chunk: live chunk number to backing-store position. */
struct cow_chunk {
	list_head list;
	int thread;
	u64 old_chunk;
	u64 new_chunk;
};

/* A chunk whose copy-out or snapshot-side IO is in progress. */
struct if_chunk {
	list_head list;
	u64 chunk;
	atomic_t count;
	cow_chunk *cc;
	semaphore real_lock;
	semaphore virt_lock;
	list_head fc_list_head;
	list_head submit_list;
	atomic_t processed;
	int anon;
	int created;
	int real_free;
	int real_thread_free;
};

/* One chunk that one request touches in one session. */
struct chunk_list {
	u64 chunk;
	cow_session *cs;
	cow_chunk *cc;
	if_chunk *ic;
	rb_wl *rbwl;
	struct bio *bio;
	int new_ic;
	list_head list;
};

constexpr u64 COW_CHUNK_SIZE = 65536;
constexpr u32 COW_TABLE_BUCKETS = 262144;

unsigned int down_to_power_of_2(unsigned int n);
u64 get_chunk(u64 sector_shift, u64 chunk_mask, u64 chunk_shift, u64 sector);
u32 chunk_hash(const chunk_table *t, u64 chunk);
void *alloc_table(unsigned long n, unsigned long size);
int init_chunk_table(chunk_table *t, u32 buckets);

cow_chunk *get_cow_chunk(chunk_table *t, u64 chunk);
if_chunk *get_if_chunk(chunk_table *t, u64 chunk);
void add_cow_chunk(chunk_table *t, cow_chunk *cc);
void add_if_chunk(chunk_table *t, if_chunk *ic);

cow_chunk *alloc_cow_chunk(void);
void free_cow_chunk(cow_chunk *cc);
if_chunk *alloc_if_chunk(u64 chunk);
if_chunk *alloc_anon_if_chunk(cow_chunk *cc);
void free_if_chunk(if_chunk *ic);

void put_cow_chunk_table(chunk_table *t);
void put_cow_if_table(chunk_table *t);

void set_chunk_pos(cow_session *cs, cow_chunk *cc, u64 chunk);

} // namespace kern
