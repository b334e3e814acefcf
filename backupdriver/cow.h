/*
 * cow.h - the driver's globals, object caches and allocation helpers, and the entry
 * points of its units (load and unload, control device, change records, watchdog).
 */
#pragma once

#include "backupdriver/fc.h"
#include "backupdriver/session.h"
#include "kernel/lib/atomic.h"
#include "kernel/block/bio.h"
#include "kernel/block/blkdev.h"
#include "kernel/fs/fs.h"
#include "kernel/lib/list.h"
#include "kernel/mm/mm.h"
#include "kernel/core/module.h"
#include "kernel/core/sched.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/semaphore.h"
#include "kernel/locking/spinlock.h"
#include "kernel/locking/wait.h"

struct qz_thread_info;

#define ZEP_NAME "zep"
#define ZEP_DESCRIPTION "Linux Corvane Driver"
#define ZEP_VERSION_STRING "4.4.0 build 18929"

namespace kern {

DECLARE_THIS_MODULE(zepdriver);
#define ZEP_THIS_MODULE (&::kern::__this_module_zepdriver)

using kmem_cache_qz = kmem_cache_t;

/* One queued change record. */
struct change_record {
	u16 major;
	u16 minor;
	sector_t start_sector;
	sector_t num_sectors;
	ct_session *cts;
	list_head list;
};

/* The fields of a request lent to another device, to give it back at completion. */
struct saved_info {
	completion *event;
	u32 bi_size;
	sector_t bi_sector;
	void *bi_private;
	bio_end_io_t *bi_end_io;
	struct block_device *bi_bdev;
	u16 bi_idx;
	int count;
	make_request_fn *savedMRF;
	struct block_device *target_bdev;
	cow_session *cs;
	rb_wl *rbwl;
	u32 copied;
	int cdp_reader;	/* a read of the agent lent to the live device */
};

struct blkdev_replica;

/* What the snapshot-device routing hands the read and write handlers, once per chunk. */
struct handle_io {
	int submitted;
	cow_session *cs;
	chunk_list *cl;
	struct block_device *bdev;
	make_request_fn *mrf;
	struct bio *bio;
	blkdev_replica *clone;
	list_head *lf;
};

/* A registered IO-thread process. */
struct cow_pid_tracker {
	int pid;
	list_head list;
};

/* ---- globals ---- */
extern atomic_t global_shutdown;
extern atomic_t shutdown_requested;
extern atomic_t users;
extern atomic_t total_cow_pages;
extern atomic_t record_list_lenght;
extern atomic_t record_list_unblock;
extern atomic_t record_list_waiting;
extern atomic_t lock_wait_count;
extern atomic_t lock_print_count;
extern pid_t lock_wait_pid;
extern unsigned long qz_max_chunk_buffer;

extern list_head record_list;
extern list_head cow_pids_list;

extern semaphore workLock;
extern semaphore session_list_lock;
extern semaphore session_work_lock;
extern spinlock_t cow_thread_lock;
extern spinlock_t record_list_lock;
extern wait_queue_head_t record_list_wait_queue;
extern wait_queue_head_t lock_wait;
extern completion lock_wait_done;

extern kmem_cache_qz *record_cache;
extern kmem_cache_qz *saved_cache;
extern kmem_cache_qz *cl_cache;
extern kmem_cache_qz *fc_cache;
extern kmem_cache_qz *rb_cache;	/* (the type is always named `struct rb_cache`) */
extern mempool_t *cdp_bp_cache;

/* ---- load and unload ---- */
int zep_init(void);
void zep_exit(void);
int zep_unload(void);
void poke_watchdog(void);

/* ---- object caches and allocation helpers ---- */
kmem_cache_qz *kmem_cache_create_qz(const char *name, size_t size);
void *alloc_common(kmem_cache_qz *cache, size_t size);
void free_common(kmem_cache_qz *cache, void *ptr);
change_record *alloc_change_record(void);
void put_change_record(change_record *rc);
chunk_list *alloc_chunk_list(void);
void put_chunk_list(chunk_list *cl);
saved_info *alloc_saved_info(void);
void put_saved_info(saved_info *si);
struct rb_cache *alloc_rb_cache(void);
void put_rb_cache(struct rb_cache *rb);
file_copy *alloc_file_copy(cow_session *cs);
void put_file_copy(file_copy *fc, cow_session *cs);
rb_wl *alloc_rb_wl(void);
void put_rbwl(rb_wl *rbwl);
struct bio *alloc_bio(int max_pages);
struct page *alloc_one_page(void);
void *bp_alloc(gfp_t gfp_flags, void *data);
void bp_free(void *bp, void *data);

/* ---- control device ---- */
extern const file_operations cow_fops;
int cow_open(inode *ino, file *filp);
int cow_release(inode *ino, file *filp);
int cow_ioctl(inode *ino, file *filp, unsigned int cmd, unsigned long arg);
long cow_ioctl_unlocked(file *filp, unsigned int cmd, unsigned long arg);

/* ---- session commands ---- */
int stop_all_zep_sessions(void);
/* Copies a text into a fixed array: never past its end, always NUL-terminated,
 * NUL-padded when `pad`. */
void copy_text(char *dst, size_t dst_size, const char *src, size_t src_size, bool pad);

/* ---- request helpers and the IO-thread registry ---- */
int add_cow_thread(void);
void remove_cow_thread(void);
int is_cow_thread(void);
int is_cow_file_for_any_session(list_head *session_list_head, struct bio *bio);
void doMRF(request_queue_t *q, make_request_fn *savedMRF, struct bio *bio);
void bio_endIO(struct bio *bio, int err);
void save_info(struct bio *bio, saved_info *si);
void restore_info(saved_info *si, struct bio *bio);
void wait_for_read(rb_wl *rbwl);
void finish_read(rb_wl *rbwl);

/* ---- write interception and copy-out ---- */
int cow_request(request_queue_t *q, struct bio *bio);
int __cow_request(request_queue_t *q, struct bio *bio);
int get_affected_chunks(cow_session *cs, struct bio *bio, list_head *chunk_list_head);
cow_chunk *copy_chunk(cow_session *cs, if_chunk *ic, struct block_device *bdev,
		      make_request_fn *savedMRF, rb_root *rb, struct bio *merge_bio,
		      unsigned int *copied);
void init_copy_bio(struct bio *bio, struct block_device *bdev, file_copy *fc, u64 chunk,
		   u64 chunk_size, u64 chunk_offset, sector_t sector_offset, u64 sector_shift);
int cow_bio_endIO(struct bio *bio, unsigned int size, int err);
void fc_copy_end_io(file_copy *fc, int err);
/* Enters a finished copy-out's chunk as preserved; without one (null), the session is
 * invalidated: 0 or -EIO. */
int enter_copy(cow_session *cs, cow_chunk *cc);
int read_from_page_cache(rb_root *rb, struct bio *bio);
/* `sector` is the read's first sector as submitted: a completed bio has moved past it. */
void cache_pages(rb_root *rb, struct bio *bio, sector_t sector);
sector_t calc_bio_disk_pos(cow_session *cs, cow_chunk *cc, struct bio *bio);

/* ---- IO threads ---- */
struct user_buffer;
void runIOThread(struct ::qz_thread_info ti);
void adjust_thread_properites(int id, int thread_id);
void do_file_io(cow_session *cs, user_buffer *ub, if_chunk *ic, struct file *file);
void io_on_chunk(cow_session *cs, user_buffer *ub, file_copy *fc, struct file *file);
void runIOCleanup(cow_session *cs);
void cleanup_ic(if_chunk *ic, cow_session *cs);

/* ---- snapshot-device requests ---- */
int virt_request(request_queue_t *q, struct bio *bio);
int __virt_request(request_queue_t *q, struct bio *bio);
int prep_chunk_list(cow_session *cs, chunk_list *cl, int rw);
int cached_io(cow_session *cs, struct bio *bio, int rw);
int handle_virt_read(handle_io *hio);
int handle_virt_write(handle_io *hio);
void virt_fc_end_io(file_copy *fc, int err);
int vrt_bio_endIO(struct bio *bio, unsigned int size, int err);

/* ---- copies between a request and an in-flight chunk's pages ---- */
unsigned int io_on_if_chunk(cow_session *cs, if_chunk *ic, cow_chunk *cc, struct bio *bio, int rw);
unsigned int bvec_to_if_chunk(cow_session *cs, if_chunk *ic, struct bio_vec *bio_bvec,
			      sector_t bio_bvec_disk_pos, int rw);
unsigned int bvec_to_if_bvec(struct bio_vec *bio_bvec, sector_t bio_bvec_disk_pos,
			     struct bio_vec *if_bvec, sector_t if_bvec_disk_pos, int rw);

/* ---- change records ---- */
void record_change(ct_session *cts, struct bio *bio, int virt);
struct change_recrod_request_k;
int handle_ioctlGetChangedRecords(unsigned long arg);
int handle_ioctlUnblockChangeRecords(unsigned long arg);
int handle_ioctlErrorCTS(unsigned long arg);
void safe_flush_changed_records(void);
void shutdown_flush_changed_recores(void);

/* ---- watchdog ---- */
int lock_debug_thread(void *data);
int lock_debug_lock(spinlock_t *lock);
int lock_debug_sem_lock(semaphore *sem);
int ioctl_list_locks(void);
int handle_ioctlListLokcs(unsigned long arg);

} // namespace kern
