/*
 * session.h - snapshot sessions: the session record and its companions, the registry,
 * lookups by id and by request, the users count, invalidation, teardown; the in-flight
 * chunk registry and the ordered trees; change-tracking records.
 */
#pragma once

#include "backupdriver/chunk.h"
#include "kernel/lib/atomic.h"
#include "kernel/block/bio.h"
#include "kernel/block/blkdev.h"
#include "kernel/fs/fs.h"
#include "kernel/lib/list.h"
#include "kernel/mm/mm.h"
#include "kernel/lib/rbtree.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/spinlock.h"
#include "kernel/locking/wait.h"
#include "kernel/core/time.h"
#include "kernel/lib/types.h"

struct snap_shot_request;

namespace kern {

constexpr int MAX_IO_THREADS = 64;
constexpr int ERROR_MSG_LEN = 256;

struct snap_info {
	u32 sec_get_freez;
	u32 nsec_get_freez;
	u32 sec_froze;
	u32 nsec_froze;
	u32 snap_time;
};

struct other_info {
	char device_name[256];
	char device_path[4096];
	char backing_file[4096];
	char backing_device[4096];
};

struct io_thread {
	list_head io_list;
	wait_queue_head_t io_wait;
	atomic_t started;
	atomic_t pending_io;
	atomic_t pending_anon_io;
	u64 thread_pos;
};

struct io_thread_info {
	io_thread *io_threads[MAX_IO_THREADS];
	atomic_t io_threads_started;
	atomic_t io_threads_stop;
	spinlock_t io_threads_lock;
	completion io_thread_done;
};

struct simple_cached_page {
	u64 sector;
	struct page *page;
	list_head list;
};

struct simple_page_cache {
	int size;
	list_head list;
	spinlock_t lock;
};

/* A change-tracking record: one tracked device range. */
struct ct_session {
	dev_t dev;
	int major;
	int first_minor;
	u64 start_sect;
	u64 nr_sects;
	atomic_t missed_write;
	atomic_t started;
	struct block_device *bdev;
	list_head list;
	list_head all;	/* every record ever made, so that module exit frees them */
};

struct cow_session {
	dev_t dev;
	int major;
	int first_minor;
	struct hd_struct part;
	u32 hw_sector_size;
	int clone_id;
	int mode;
	sector_t chunk_size;
	u64 chunk_mask;
	u64 chunk_shift;
	u64 sector_shift;
	spinlock_t chunk_lock;
	struct chunk_table chunk_table;
	spinlock_t if_lock;
	struct chunk_table if_table;
	struct file *cow_file;
	u64 pos;
	spinlock_t pos_lock;
	io_thread_info *thread_info;
	struct snap_info *snap_info;
	struct other_info *other_info;
	int set_mrf;
	simple_page_cache *spc;
	rb_root block_tree;
	rb_root page_tree;
	spinlock_t write_list_lock;
	rb_root write_locks;
	rb_root write_locked;
	ct_session *cts;
	u64 bfree;
	atomic_t fc_count;
	atomic_t sd;
	atomic_t close_files;
	atomic_t error;
	spinlock_t users_lock;
	u64 cs_users;
	char errorMsg[ERROR_MSG_LEN];
	list_head list;
};

/* Holds one user of its session while it exists. */
struct session_node {
	cow_session *cs;
	list_head list;
	bool borrowed;	/* one of the caller's spare nodes, not allocated */
};

/* Spare nodes a request lends get_cow_sessions, so that the common case (a few sessions
 * on a device) allocates nothing per request. */
constexpr int SPARE_SESSION_NODES = 4;

/* Reader/writer node per chunk. */
struct rb_wl {
	rb_node node;
	u64 n;
	u64 reads;
	u64 writes;
	atomic_t done;
	wait_queue_head_t wait;
};

/* Sector to page node. */
struct rb_cache {
	rb_node node;
	u64 n;
	struct page *p;
};

/* ---- registry (globals live with the other driver globals) ---- */
extern list_head session_list_head;
extern list_head ct_list_head;
extern int session_count;

void check_bio(struct bio *bio);
session_node *get_session_node(cow_session *cs);
void put_session_node(session_node *sn);
int get_all_sessions(list_head *head);
u64 get_cow_sessions(struct bio *bio, list_head *head, session_node *spare = nullptr, int nspare = 0);
void put_cow_sessions(list_head *head);
cow_session *get_cow_session_by_id(int id);
cow_session *get_cow_session(struct bio *bio);
int get_session_and_chunk(struct bio *bio, cow_session **cs, u64 *chunk);
void inc_users(cow_session *cs);
void dec_users(cow_session *cs);
u64 get_users(cow_session *cs);
/* Yields until no reference taken with inc_users is left. */
void wait_for_no_users(cow_session *cs);
int is_error(cow_session *cs);
int is_shutdown(cow_session *cs);
int is_valid_session(cow_session *cs);
void invalidate_session(cow_session *cs, const char *msg);
/* Copies the session's error text into buf (n bytes, NUL-padded). */
void get_session_error_msg(cow_session *cs, char *buf, size_t n);
void set_close_files(cow_session *cs);
int close_files(cow_session *cs);
int is_cdp_process(void);
void free_io_threads(io_thread **threads);
void clean_spc(simple_page_cache *spc);
void put_cow_session(cow_session *cs);
int get_cow_session_count(void);
void stop_all_cow_sessions(void);
void put_all_cow_sessions(void);
/* Whether the request's disk and start sector fall in [start_sect, start_sect + nr_sects]. */
bool bio_in_range(struct bio *bio, unsigned major, unsigned first_minor, u64 start_sect,
		  u64 nr_sects);

/* ---- creation, start and stop ---- */
cow_session *alloc_cow_session(void);
void lock_bdev(struct block_device *bdev);
void unlock_bdev(struct block_device *bdev);
int new_io_threads(io_thread **threads);
cow_session *new_cow_session(struct ::snap_shot_request *ssr);
void calcTimeDiff(const timespec *start, const timespec *end, timespec *out);
/* Links the session into the registry and starts its change tracking. */
void register_cow_session(cow_session *cs);
int start_cow_session(cow_session *cs);
int stop_cow_session(cow_session *cs);

/* ---- in-flight registry ---- */
if_chunk *get_and_inc_if(cow_session *cs, u64 chunk);
void add_and_inc_if(cow_session *cs, if_chunk *ic);
void put_and_dec_if(cow_session *cs, if_chunk *ic);
void inc_if(cow_session *cs, if_chunk *ic);
void dec_if(cow_session *cs, if_chunk *ic);

/* ---- ordered trees ---- */
rb_wl *rb_serach_wl(rb_root *root, u64 value);
void rb_instert_wl(rb_root *root, rb_wl *node);
struct page *rb_search(rb_root *root, u64 value);
void rb_insert(rb_root *root, struct rb_cache *node);
void rb_free_node(rb_root *root);
void rb_free_node_and_page(rb_root *root);

/* ---- change tracking ---- */
ct_session *get_cts_session_bio(struct bio *bio);
ct_session *get_cts_session_cs(cow_session *cs);
void start_cts(ct_session *cts);
void cts_set_error(ct_session *cts);
void cts_clear_error(ct_session *cts);
int any_cts_has_error(void);
void error_all_cts(void);
void clear_all_cts(void);
struct saved_mrf;
void stop_all_cts(saved_mrf *table[255][255]);
ct_session *alloc_cts_session(void);
void populate_cts_cs(cow_session *cs, ct_session *cts);
/* Frees the records no longer listed (at module exit). */
void free_all_cts(void);

} // namespace kern
