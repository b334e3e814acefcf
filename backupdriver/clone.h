/*
 * clone.h - replica block devices: the snapshot devices zep<N> under block major 121,
 * their table, creation and destruction, and their open and release accounting.
 */
#pragma once

#include "kernel/lib/atomic.h"
#include "kernel/block/blkdev.h"
#include "kernel/fs/fs.h"
#include "kernel/locking/semaphore.h"

namespace kern {

struct cow_session;

constexpr int MAX_REPLICAS = 255;	/* slots; slot 0 is never used */

struct blkdev_replica {
	struct gendisk *disk;
	request_queue_t *q;
	struct hd_struct p;
	cow_session *cs;
	dev_t dev;
	atomic_t sd;
	atomic_t users;
	atomic_t users_cdp;
	struct block_device *bdev;
	sector_t nr_sects;
};

extern atomic_t clone_count;
extern rw_semaphore rw_mutex;
extern const block_device_operations clone_bd_op;

int clone_init(void);
void clone_exit(void);
int next_replica(void);
int new_replica(dev_t dev, request_queue_t *q, cow_session *cs);
int init_replica(int clone_id, make_request_fn *mrf);
void destroy_replica(int clone_id);
int blkdev_clone(dev_t dev, cow_session *cs, make_request_fn *mrf);
int blkdev_unclone(int clone_id);
blkdev_replica *get_blkdev_replica(int clone_id);
int qz_open_blkdev(blkdev_replica *clone);
int qz_close_blkdev(blkdev_replica *clone);
int clone_open_inode(inode *ino, file *filp);
int clone_close_inode(inode *ino, file *filp);
int clone_ioctl(inode *ino, file *filp, unsigned int cmd, unsigned long arg);
int blkdev_shutdown(int clone_id);
void clone_unplug(request_queue_t *q);

} // namespace kern
