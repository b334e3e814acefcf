// filedisk: a disk on a host file or host block device. A submitter that may sleep has its
// bio served in its own context, as a loop device over direct IO does: handing it to a
// thread and back costs two host wake-ups, twenty times the host IO itself. Bios from
// contexts that may not sleep (a spinlock held, interrupt context) are queued to `workers`
// kernel threads. Either way the host IO goes segment by segment and the bio completes in
// interrupt context.
#include <atomic>
#include <cstdio>
#include <new>
#include <string>

#include "kernel/drivers/block/disk_common.h"
#include "kernel/host/hostops.h"
#include "kernel/core/printk.h"
#include "kernel/core/sched.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/spinlock.h"
#include "kernel/locking/wait.h"

namespace kern {

namespace {

struct filedisk {
	int fd = -1;
	std::string path;	// the host file, for the log
	std::atomic<bool> told_full{false};	// its file system's being full was logged
	spinlock_t lock;	// the bio queue and `alive`
	bio *head = nullptr, *tail = nullptr;
	std::atomic<int> queued{0};
	std::atomic<bool> stopping{false};
	int alive = 0;		// workers that still take bios
	int inline_io = 0;	// bios being served in their submitters' context
	wait_queue_head_t wq;	// workers wait here for bios
	completion started;	// a worker runs, with halt's kill allowed
	completion ended;	// once per worker: it takes no more bios and touches fd no more
	std::vector<task_struct *> workers;
};

filedisk *FD(zdisk *zd) { return static_cast<filedisk *>(zd->priv); }

int filedisk_rw(zdisk *zd, int dir, u64 off, void *buf, size_t bytes)
{
	filedisk *fd = FD(zd);
	if (dir == WRITE && zd->opts.read_only)
		return -EROFS;
	long r = dir == WRITE ? H().file_pwrite(fd->fd, buf, bytes, off)
			      : H().file_pread(fd->fd, buf, bytes, off);
	if (r < 0)
		return static_cast<int>(r);
	return static_cast<size_t>(r) == bytes ? 0 : -EIO;
}

void filedisk_serve(zdisk *zd, bio *b)
{
	filedisk *fd = FD(zd);
	int err = zdisk_do_bio(zd, b);
	// The bio only knows -EIO, as a loop device's does; the log says why, once.
	if (err == -ENOSPC && !fd->told_full.exchange(true))
		printk(KERN_ERR "filedisk: %s: write error: the file system of %s is full\n",
		       zd->name.c_str(), fd->path.c_str());
	zdisk_complete(zd, b, err ? -EIO : 0);
}

int filedisk_make_request(request_queue_t *q, bio *b)
{
	auto *zd = static_cast<zdisk *>(q->queuedata);
	filedisk *fd = FD(zd);
	bool may_sleep = !in_atomic() && !irqs_disabled();
	unsigned long flags;
	spin_lock_irqsave(&fd->lock, flags);
	if (!fd->alive) {
		spin_unlock_irqrestore(&fd->lock, flags);
		zdisk_complete(zd, b, -EIO);
		return 0;
	}
	if (may_sleep) {
		// Counted so that stop waits for it: the medium stays until the last one ends.
		fd->inline_io++;
		spin_unlock_irqrestore(&fd->lock, flags);
		filedisk_serve(zd, b);
		spin_lock_irqsave(&fd->lock, flags);
		// The last one wakes a stop waiting for it, under the lock for the same reason.
		if (--fd->inline_io == 0 && fd->stopping.load())
			wake_up(&fd->wq);
		spin_unlock_irqrestore(&fd->lock, flags);
		return 0;
	}
	b->bi_next = nullptr;
	if (fd->tail)
		fd->tail->bi_next = b;
	else
		fd->head = b;
	fd->tail = b;
	fd->queued++;
	// Woken under the lock: once it is released, stop may free the queue.
	wake_up(&fd->wq);
	spin_unlock_irqrestore(&fd->lock, flags);
	return 0;
}

int filedisk_worker(zdisk *zd)
{
	filedisk *fd = FD(zd);
	task_struct *me = get_current();
	allow_signal(SIGKILL);	// halt's: every other signal stays blocked
	complete(&fd->started);
	for (;;) {
		// Interruptible so that halt's kill reaches it; a killed worker still drains.
		wait_event_interruptible(fd->wq, fd->queued.load() > 0 || fd->stopping.load());
		spin_lock_irq(&fd->lock);
		bio *b = fd->head;
		if (b) {
			fd->head = b->bi_next;
			if (!fd->head)
				fd->tail = nullptr;
			b->bi_next = nullptr;
			fd->queued--;
		} else if (fd->stopping.load() || fatal_signal_pending(me)) {
			fd->alive--;
			spin_unlock_irq(&fd->lock);
			break;
		}
		spin_unlock_irq(&fd->lock);
		if (b)
			filedisk_serve(zd, b);
	}
	complete(&fd->ended);	// the last touch of fd: stop may free it once this returns
	return 0;
}

int filedisk_flush(zdisk *zd) { return H().file_fsync(FD(zd)->fd); }

bool inline_idle(filedisk *fd)
{
	spin_lock_irq(&fd->lock);
	bool idle = fd->inline_io == 0;
	spin_unlock_irq(&fd->lock);
	return idle;
}

void filedisk_stop(zdisk *zd)
{
	filedisk *fd = FD(zd);
	fd->stopping = true;
	wake_up_all(&fd->wq);
	// Wait for each worker to end; the ended threads are joined by the task layer
	// (joining here could race with its reaper), so drop only our references.
	for (task_struct *t : fd->workers) {
		wait_for_completion(&fd->ended);
		put_task_struct(t);
	}
	fd->workers.clear();
	// No worker takes bios now, so no new one is served inline; wait for those that are.
	wait_event(fd->wq, inline_idle(fd));
}

void filedisk_destroy(zdisk *zd)
{
	filedisk *fd = FD(zd);
	if (!fd)
		return;
	if (fd->fd >= 0)
		H().file_close(fd->fd);
	delete fd;
	zd->priv = nullptr;
}

const zdisk_ops filedisk_ops = {filedisk_make_request, filedisk_rw, filedisk_flush, filedisk_stop,
				filedisk_destroy};

} // namespace

int filedisk_create(zdisk *zd, const std::string &host_path)
{
	const disk_options &o = zd->opts;
	int flags = o.read_only ? O_RDONLY : O_RDWR | (o.create ? O_CREAT : 0);
	int hfd = H().file_open(host_path.c_str(), flags | KERN_O_LARGEFILE, 0644);
	if (hfd < 0) {
		printk(KERN_ERR "filedisk: %s: cannot open %s (%d)\n", zd->name.c_str(), host_path.c_str(), hfd);
		return hfd;
	}
	host::host_stat st{};
	int err = H().file_stat(hfd, &st);
	if (!err && !st.is_regular && !st.is_block)
		err = -EINVAL;
	if (!err && st.is_regular && o.size_bytes > st.size && !o.read_only) {
		err = H().file_truncate(hfd, o.size_bytes);
		st.size = o.size_bytes;
	}
	unsigned hs = o.hardsect_size ? o.hardsect_size : 512;
	sector_t cap = err ? 0 : st.size / hs * hs / 512;
	if (!err && cap == 0)
		err = -EINVAL;
	if (err) {
		printk(KERN_ERR "filedisk: %s: unusable host file %s (%d)\n", zd->name.c_str(), host_path.c_str(), err);
		H().file_close(hfd);
		return err;
	}
	auto *fd = new (std::nothrow) filedisk;
	if (!fd) {
		H().file_close(hfd);
		return -ENOMEM;
	}
	fd->fd = hfd;
	fd->path = host_path;
	__spin_lock_init(&fd->lock, "filedisk_lock");
	init_waitqueue_head(&fd->wq);
	init_completion(&fd->started);
	init_completion(&fd->ended);
	zd->priv = fd;
	zd->ops = &filedisk_ops;
	zd->capacity = cap;
	int n = o.workers > 0 ? o.workers : 1;
	for (int i = 0; i < n; i++) {
		char comm[TASK_COMM_LEN];
		std::snprintf(comm, sizeof(comm), "filedisk/%d", i & 0xffff);
		spin_lock_irq(&fd->lock);
		fd->alive++;
		spin_unlock_irq(&fd->lock);
		task_struct *t = create_task(comm, true, 0, [zd] { return filedisk_worker(zd); });
		if (IS_ERR(t)) {
			spin_lock_irq(&fd->lock);
			fd->alive--;
			spin_unlock_irq(&fd->lock);
			filedisk_stop(zd);
			filedisk_destroy(zd);
			return static_cast<int>(PTR_ERR(t));
		}
		fd->workers.push_back(t);
		wait_for_completion(&fd->started);	// halt may come at once: let it find the worker ready
	}
	return 0;
}

} // namespace kern
