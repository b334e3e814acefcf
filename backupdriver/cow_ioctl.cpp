/*
 * cow_ioctl.cpp - the control device: file operations, the command dispatcher, the
 * command shells that copy records in and out, and the session queries.
 */
#include <cstring>

#include "backupdriver/clone.h"
#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "kernel/mm/uaccess.h"
#include "kernel/block/super.h"

namespace kern {

/* The largest array the second list command accepts: far above the session limit,
 * small enough that its byte count always fits. */
static constexpr int MAX_LIST_RECORDS = 4096;
static constexpr int MAX_SESSIONS = 16;
static constexpr int NOT_FOUND = 255;

/* ---------------------------------------------------------------- file operations */

int cow_open(inode *ino, file *filp)
{
	atomic_inc(&users);
	return 0;
}

int cow_release(inode *ino, file *filp)
{
	if (atomic_dec_and_test(&users)) {
		/* Nobody can take delivery of changes any more: tracking is incomplete. */
		down(&session_list_lock);
		clear_all_cts();
		up(&session_list_lock);
		safe_flush_changed_records();
	}
	return 0;
}

static ssize_t cow_read(file *filp, char __user *buf, size_t count, loff_t *ppos) { return 0; }
static ssize_t cow_write(file *filp, const char __user *buf, size_t count, loff_t *ppos) { return 0; }

long cow_ioctl_unlocked(file *filp, unsigned int cmd, unsigned long arg)
{
	return cow_ioctl(nullptr, filp, cmd, arg);
}

const file_operations cow_fops = {
	.owner = ZEP_THIS_MODULE,
	.llseek = nullptr,
	.read = cow_read,
	.write = cow_write,
	.ioctl = cow_ioctl,
	.unlocked_ioctl = cow_ioctl_unlocked,
	.compat_ioctl = nullptr,
	.open = cow_open,
	.flush = nullptr,
	.release = cow_release,
	.fsync = nullptr,
};

/* ---------------------------------------------------------------- helpers */

static bool copy_in(void *dst, unsigned long arg, size_t n)
{
	return access_ok(VERIFY_READ, uptr(arg), n) && !copy_from_user(dst, uptr(arg), n);
}

static bool copy_out(unsigned long arg, const void *src, size_t n)
{
	return access_ok(VERIFY_WRITE, uptr(arg), n) && !copy_to_user(uptr(arg), src, n);
}

void copy_text(char *dst, size_t dst_size, const char *src, size_t src_size, bool pad)
{
	size_t n = 0;
	while (n + 1 < dst_size && n < src_size && src[n])
		n++;
	std::memcpy(dst, src, n);
	if (pad)
		std::memset(dst + n, 0, dst_size - n);
	else
		dst[n] = 0;
}

static snap_shot_request *alloc_ssr(void)
{
	auto *ssr = static_cast<snap_shot_request *>(kmalloc(sizeof(snap_shot_request), GFP_KERNEL));
	if (!ssr) {
		printk(KERN_ERR "%s: ERROR: Could not allocate kernel snapshot request.\n", ZEP_NAME);
		return nullptr;
	}
	std::memset(ssr, 0, sizeof(*ssr));
	return ssr;
}

/* Allocates and copies in a snapshot request; null after the message on failure. */
static snap_shot_request *get_ssr(unsigned long arg)
{
	snap_shot_request *ssr = alloc_ssr();
	if (!ssr)
		return nullptr;
	if (!copy_in(ssr, arg, sizeof(*ssr))) {
		printk(KERN_ERR "%s: ERROR: Could not copy snapshot request from user space.\n",
		       ZEP_NAME);
		kfree(ssr);
		return nullptr;
	}
	return ssr;
}

/* Start and stop answer with the whole record and the session count, whatever the
 * result; frees the kernel copy and returns the command's result. */
static int put_ssr(unsigned long arg, snap_shot_request *ssr, int ret, bool report)
{
	ssr->active_sessions = session_count;
	if (!copy_out(arg, ssr, sizeof(*ssr))) {
		if (report)
			printk(KERN_ERR "%s: ERROR: Could not copy snapshot request to user space.\n",
			       ZEP_NAME);
		ret = -1;
	}
	kfree(ssr);
	return ret;
}

/* ---------------------------------------------------------------- session queries */

static int ioctl_get_session_list_count(void)
{
	down(&session_list_lock);
	int n = get_cow_session_count();
	up(&session_list_lock);
	return n;
}

static int ioctl_get_session_list(session_list *ls, int size)
{
	if (size <= 0)
		return 0;
	down(&session_list_lock);
	int i = 0;
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		if (i >= size)
			break;
		session_list *e = &ls[i++];
		e->id = cs->clone_id;
		/* Copy-outs advance the position under its lock while the list is read. */
		unsigned long flags;
		spin_lock_irqsave(&cs->pos_lock, flags);
		e->changed_blocks = cs->pos;
		spin_unlock_irqrestore(&cs->pos_lock, flags);
		e->block_size = static_cast<u32>(cs->chunk_size);
		if (cs->snap_info) {
			e->time = cs->snap_info->snap_time;
			e->sec_get_freez = cs->snap_info->sec_get_freez;
			e->nsec_get_freez = cs->snap_info->nsec_get_freez;
			e->sec_froze = cs->snap_info->sec_froze;
			e->nsec_froze = cs->snap_info->nsec_froze;
		}
		e->mode = cs->mode;
		e->error = atomic_read(&cs->error);
	}
	up(&session_list_lock);
	return 0;
}

static int ioctl_get_zep_device(snap_shot_request *ssr)
{
	int ret = NOT_FOUND;
	down(&session_list_lock);
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		if (MAJOR(cs->dev) == static_cast<unsigned>(ssr->major) &&
		    MINOR(cs->dev) == static_cast<unsigned>(ssr->minor)) {
			ssr->id = cs->clone_id;
			ret = 0;
			break;
		}
	}
	up(&session_list_lock);
	return ret;
}

enum text_kind { TEXT_DEVICE_PATH, TEXT_BACKING_FILE };

static int get_session_text(get_string *gs, text_kind kind)
{
	int ret = NOT_FOUND;
	down(&session_list_lock);
	cow_session *cs = get_cow_session_by_id(gs->id);
	if (cs && cs->other_info) {
		const char *src = kind == TEXT_DEVICE_PATH ? cs->other_info->device_path
							   : cs->other_info->backing_file;
		/* Up to and including the NUL; the caller's bytes after it stay. */
		copy_text(gs->string, sizeof(gs->string), src, 4096, false);
		ret = 0;
	}
	up(&session_list_lock);
	return ret;
}

static int ioctl_get_real_device_path(get_string *gs) { return get_session_text(gs, TEXT_DEVICE_PATH); }
static int ioctl_get_backing_file(get_string *gs) { return get_session_text(gs, TEXT_BACKING_FILE); }

static int ioctl_get_session_error(get_string *gs)
{
	down(&session_list_lock);
	cow_session *cs = get_cow_session_by_id(gs->id);
	if (cs) {
		get_session_error_msg(cs, gs->string, ERROR_MSG_LEN);
	} else {
		copy_text(gs->string, sizeof(gs->string), "NO ERROR", 9, true);
	}
	up(&session_list_lock);
	return 0;
}

static int ioctl_set_session_file(set_cow_file *scf)
{
	int ret = 0;
	down(&session_list_lock);
	cow_session *cs = get_cow_session_by_id(scf->id);
	/* A session being stopped is still listed for a while at unload (under id 0 once
	 * stopped): its stop has closed, or is about to close, its file for the last time. */
	if (!cs || is_shutdown(cs))
		goto out;
	if (cs->cow_file) {
		printk(KERN_ERR "%s: ERROR: cow file already set on zep session with id: %d.\n",
		       ZEP_NAME, scf->id);
		ret = 1;
		goto out;
	}
	cs->cow_file = fget(static_cast<unsigned>(scf->fd));
	if (!cs->cow_file) {
		printk(KERN_ERR "%s: ERROR: could not get file for fd: %d.\n", ZEP_NAME, scf->fd);
		ret = 1;
		goto out;
	}
	if (cs->other_info)
		copy_text(cs->other_info->backing_file, sizeof(cs->other_info->backing_file),
			  scf->backing_file, sizeof(scf->backing_file), true);
out:
	up(&session_list_lock);
	return ret;
}

static void ioctl_get_version(version_info *vi)
{
	vi->major = ZEP_VERSION_MAJOR;
	vi->minor = ZEP_VERSION_MINOR;
	vi->maint = ZEP_VERSION_MAINT;
	vi->build = ZEP_VERSION_BUILD;
}

/* ---------------------------------------------------------------- session lifecycle */

/* Admission, creation and start as one step: called with workLock held by the start
 * command's shell, which keeps it until the answer has reached the agent. */
static cow_session *ioctl_start_zep_session(snap_shot_request *ssr)
{
	if (session_count >= MAX_SESSIONS) {
		printk(KERN_ERR "%s: ERROR: Reached max simultaneous snapshots. Can not create new "
				"snapshots!\n",
		       ZEP_NAME);
		return nullptr;
	}
	if (ssr->major == ZEP_CLONE_MAJOR) {
		printk(KERN_ERR "%s: ERROR: Can not take snapshot of Corvane Device!\n", ZEP_NAME);
		return nullptr;
	}
	if (atomic_read(&shutdown_requested) == 1) {
		printk(KERN_ERR "%s: ERROR: Driver is currently not accepting new Corvane sessions "
				"request.\n",
		       ZEP_NAME);
		return nullptr;
	}
	/* Set-backing-file renames a session's file under the list lock, not workLock. */
	bool in_use = false;
	cow_session *s;
	down(&session_list_lock);
	list_for_each_entry(s, &session_list_head, list)
	{
		if (s->other_info &&
		    !std::strncmp(ssr->backing_file, s->other_info->backing_file, 4096)) {
			in_use = true;
			break;
		}
	}
	up(&session_list_lock);
	if (in_use) {
		ssr->id = -2;
		char name[4096];
		copy_text(name, sizeof(name), ssr->backing_file, sizeof(ssr->backing_file), false);
		printk(KERN_ERR "%s: ERROR: Backing file `%s' is already in use by another active "
				"session.\n",
		       ZEP_NAME, name);
		return nullptr;
	}
	cow_session *cs = new_cow_session(ssr);
	if (!cs) {
		printk(KERN_ERR "%s: ERROR: could not create new session for device:(%d,%d).\n",
		       ZEP_NAME, ssr->major, ssr->minor);
		return nullptr;
	}
	int major = static_cast<int>(cs->dev >> 20), minor = static_cast<int>(cs->dev & 0xfffff);
	printk(KERN_INFO "%s: INFO: starting new session on device:(%d,%d).\n", ZEP_NAME, major,
	       minor);
	if (start_cow_session(cs)) {
		printk(KERN_ERR "%s: ERROR: could not start new session for device:(%d,%d).\n",
		       ZEP_NAME, major, minor);
		/* A failed start has left the registry: stopped and released here, once. */
		stop_cow_session(cs);
		put_cow_session(cs);
		return nullptr;
	}
	printk(KERN_INFO "%s: INFO: session started for device:(%d,%d) with session id: zep%d\n",
	       ZEP_NAME, major, minor, cs->clone_id);
	ssr->id = cs->clone_id;
	ssr->time = cs->snap_info->snap_time;
	ssr->sec_get_freez = cs->snap_info->sec_get_freez;
	ssr->nsec_get_freez = cs->snap_info->nsec_get_freez;
	ssr->sec_froze = cs->snap_info->sec_froze;
	ssr->nsec_froze = cs->snap_info->nsec_froze;
	ssr->mode |= ZEP_MODE_STARTED;
	return cs;
}

/* Waits until no ordinary process holds snapshot device (major, minor) open: 0, or 1 when
 * it stayed in use through every attempt. */
static constexpr int STOP_ATTEMPTS = 1000;
static constexpr unsigned STOP_PAUSE_MS = 5;

int bdev_stop_wait_flush(int major, int minor)
{
	for (int i = 0; i < STOP_ATTEMPTS; i++) {
		struct block_device *bdev = bdget(MKDEV(major, minor));
		if (bdev) {
			fsync_bdev(bdev);
			bdput(bdev);
		}
		if (blkdev_shutdown(minor) == 0)
			return 0;
		msleep(STOP_PAUSE_MS);
	}
	return 1;
}

static void refuse_mounted_stop(int id)
{
	printk(KERN_ERR "%s: ERROR: Can not stop mounted zep session zep%d, please unmount and try "
			"again.\n",
	       ZEP_NAME, id);
}

/* Stops the session named by ssr->id: 0 when stopped or when there is no such session. */
static int ioctl_stop_zep_session(snap_shot_request *ssr)
{
	if (down_interruptible(&workLock))
		return 1;
	down(&session_list_lock);
	poke_watchdog();
	int ret = 0;
	cow_session *cs = get_cow_session_by_id(ssr->id);
	if (!cs) {
		up(&session_list_lock);
		goto out;
	}
	if (bdev_stop_wait_flush(ZEP_CLONE_MAJOR, ssr->id)) {
		refuse_mounted_stop(ssr->id);
		up(&session_list_lock);
		ret = 1;
		goto out;
	}
	printk(KERN_INFO "%s: INFO: stopping zep session zep%d.\n", ZEP_NAME, ssr->id);
	list_del_init(&cs->list);
	up(&session_list_lock);
	if (cs->other_info)
		copy_text(ssr->backing_file, sizeof(ssr->backing_file), cs->other_info->backing_file,
			  sizeof(cs->other_info->backing_file), false);
	stop_cow_session(cs);
	put_cow_session(cs);
	printk(KERN_INFO "%s: INFO: zep session zep%d stopped.\n", ZEP_NAME, ssr->id);
out:
	up(&workLock);
	return ret;
}

int stop_all_zep_sessions(void)
{
	cow_session *cs, *n;
	list_for_each_entry_safe(cs, n, &session_list_head, list)
	{
		int id = cs->clone_id;
		if (bdev_stop_wait_flush(ZEP_CLONE_MAJOR, id)) {
			refuse_mounted_stop(id);
			return 1;
		}
		printk(KERN_INFO "%s: INFO: stopping zep session zep%d.\n", ZEP_NAME, id);
		stop_cow_session(cs);
		down(&session_list_lock);
		poke_watchdog();
		list_del_init(&cs->list);
		up(&session_list_lock);
		/* Stopped while still listed: a walker of the whole registry (the watchdog) may
		 * have taken it since. Unlinked now, it is freed once the last of them is done. */
		wait_for_no_users(cs);
		put_cow_session(cs);
		printk(KERN_INFO "%s: INFO: zep session zep%d stopped.\n", ZEP_NAME, id);
	}
	return 0;
}

/* ---------------------------------------------------------------- command shells */

static int handle_ioctlStartZP(unsigned long arg)
{
	printk(KERN_ERR "%s: ERROR: The corvane or cdp-agent making this snapshot request is out "
			"of date. Please update to the latest version.\n",
	       ZEP_NAME);
	return -255;
}

static int handle_ioctlStartZP2(unsigned long arg)
{
	snap_shot_request *ssr = get_ssr(arg);
	if (!ssr)
		return -1;
	if (down_interruptible(&workLock))
		return put_ssr(arg, ssr, -1, true);
	cow_session *cs = ioctl_start_zep_session(ssr);
	ssr->active_sessions = session_count;
	int ret = cs ? 0 : -1;
	if (!copy_out(arg, ssr, sizeof(*ssr))) {
		printk(KERN_ERR "%s: ERROR: Could not copy snapshot request to user space.\n", ZEP_NAME);
		ret = -1;
		/* The agent never learnt of the session: it goes again, once, before any stop
		 * or IO thread can reach it by its id. */
		if (cs) {
			down(&session_list_lock);
			list_del_init(&cs->list);
			up(&session_list_lock);
			stop_cow_session(cs);
			put_cow_session(cs);
		}
	}
	up(&workLock);
	kfree(ssr);
	return ret;
}

static int handle_ioctlStopZP(unsigned long arg)
{
	snap_shot_request *ssr = get_ssr(arg);
	if (!ssr)
		return -1;
	return put_ssr(arg, ssr, ioctl_stop_zep_session(ssr) ? -1 : 0, false);
}

static int handle_ioctlGetZPDev(unsigned long arg)
{
	snap_shot_request *ssr = get_ssr(arg);
	if (!ssr)
		return -1;
	int ret = -1;
	if (ioctl_get_zep_device(ssr) == 0) {
		ret = 0;
		if (!copy_out(arg, ssr, sizeof(*ssr))) {
			printk(KERN_ERR "%s: ERROR: Could not copy snapshot request to user space.\n",
			       ZEP_NAME);
			ret = -1;
		}
	}
	kfree(ssr);
	return ret;
}

static int handle_string_query(unsigned long arg, int (*query)(get_string *))
{
	auto *gs = static_cast<get_string *>(kmalloc(sizeof(get_string), GFP_KERNEL));
	if (!gs) {
		printk(KERN_ERR "%s: ERROR: Could not allocate string.\n", ZEP_NAME);
		return -1;
	}
	std::memset(gs, 0, sizeof(*gs));
	int ret = -1;
	if (!copy_in(gs, arg, sizeof(*gs))) {
		printk(KERN_ERR "%s: ERROR: Could not copy string request from user space.\n",
		       ZEP_NAME);
		goto out;
	}
	ret = query(gs) ? -1 : 0;
	if (!copy_out(arg, gs, sizeof(*gs))) {
		printk(KERN_ERR "%s: ERROR: Could not copy string erquest to user space.\n", ZEP_NAME);
		ret = -1;
	}
out:
	kfree(gs);
	return ret;
}

static int handle_ioctlGetZPList(unsigned long arg)
{
	size_t bytes = ZEP_LIST_ENTRIES * sizeof(session_list);
	auto *ls = static_cast<session_list *>(kmalloc(bytes, GFP_KERNEL));
	if (!ls) {
		printk(KERN_ERR "%s: ERROR: Could not allocate session list.\n", ZEP_NAME);
		return -1;
	}
	std::memset(ls, 0, bytes);
	int ret = -1;
	if (copy_in(ls, arg, bytes)) {
		ioctl_get_session_list(ls, ZEP_LIST_ENTRIES);
		if (copy_out(arg, ls, bytes))
			ret = 0;
		else
			printk(KERN_ERR "%s: ERROR: Could not copy session list to user space.\n",
			       ZEP_NAME);
	}
	kfree(ls);
	return ret;
}

static int handle_ioctlGetZPList2(unsigned long arg)
{
	session_list_request slr;
	if (!copy_in(&slr, arg, sizeof(slr))) {
		printk(KERN_ERR "%s: ERROR: Could not copy session list requset from user space.\n",
		       ZEP_NAME);
		return -1;
	}
	/* Nothing is written for an empty or negative capacity, and an array whose byte
	 * count would not fit is refused. */
	if (slr.size <= 0 || slr.size > MAX_LIST_RECORDS)
		return -1;
	size_t bytes = static_cast<size_t>(slr.size) * sizeof(session_list);
	auto *ls = static_cast<session_list *>(kmalloc(bytes, GFP_KERNEL));
	if (!ls) {
		printk(KERN_ERR "%s: ERROR: Could not allocate session list.\n", ZEP_NAME);
		return -1;
	}
	std::memset(ls, 0, bytes);
	ioctl_get_session_list(ls, slr.size);
	int ret = copy_out(slr.sl, ls, bytes) ? 0 : -1;
	kfree(ls);
	return ret;
}

static int handle_ioctlGetZPListCount(unsigned long arg)
{
	s32 n = ioctl_get_session_list_count();
	return copy_out(arg, &n, sizeof(n)) ? 0 : -1;
}

static int handle_ioctlGetVersion(unsigned long arg)
{
	version_info vi;
	std::memset(&vi, 0, sizeof(vi));
	ioctl_get_version(&vi);
	if (!copy_out(arg, &vi, sizeof(vi))) {
		printk(KERN_ERR "%s: ERROR: Could not copy version info to user space.\n", ZEP_NAME);
		return -1;
	}
	return 0;
}

static int handle_ioctlUnload(unsigned long arg) { return zep_unload() ? -1 : 0; }

static int handle_SetCowFile(unsigned long arg)
{
	auto *scf = static_cast<set_cow_file *>(kmalloc(sizeof(set_cow_file), GFP_KERNEL));
	if (!scf) {
		printk(KERN_ERR "%s: ERROR: Could not allocate set file request.\n", ZEP_NAME);
		return 1;
	}
	std::memset(scf, 0, sizeof(*scf));
	int ret = 1;
	if (!copy_in(scf, arg, sizeof(*scf)))
		printk(KERN_ERR "%s: ERROR: Could not copy set file requset from user space.\n",
		       ZEP_NAME);
	else
		ret = ioctl_set_session_file(scf);
	kfree(scf);
	return ret;
}

/* Does not return until the calling process's work as an IO thread is over. */
static int handel_RunIOThread(unsigned long arg)
{
	qz_thread_info info;
	if (!copy_in(&info, arg, sizeof(info))) {
		printk(KERN_ERR "%s: ERROR: Could not get session ID from user space.\n", ZEP_NAME);
		return 1;
	}
	runIOThread(info);
	return 0;
}

/* How long the thread-wait command waits for an IO thread to start. */
static constexpr unsigned THREAD_WAIT_MS = 30000;

static int handle_ioctlThreadWaitTimeout(unsigned long arg)
{
	snap_shot_request *ssr = get_ssr(arg);
	if (!ssr)
		return -1;
	down(&workLock);
	poke_watchdog();
	cow_session *cs = get_cow_session_by_id(ssr->id);
	if (cs)
		inc_users(cs);
	up(&workLock);
	int ret = -1;
	if (cs) {
		if (wait_for_completion_timeout(&cs->thread_info->io_thread_done,
						msecs_to_jiffies(THREAD_WAIT_MS)))
			ret = 0;
		else
			printk(KERN_ERR "%s: ERROR: Backing thread for session %d did not start after %d "
					"msecs!\n",
			       ZEP_NAME, ssr->id, THREAD_WAIT_MS);
		dec_users(cs);
	}
	kfree(ssr);
	return ret;
}

static int handle_ioctlNoThreadShutdown(unsigned long arg)
{
	snap_shot_request *ssr = get_ssr(arg);
	if (!ssr)
		return -1;
	int ret = 0;
	bool stop = false;
	down(&workLock);
	poke_watchdog();
	cow_session *cs = get_cow_session_by_id(ssr->id);
	if (cs && atomic_read(&cs->thread_info->io_threads_started) <= 0) {
		ret = -1;
		stop = true;
		invalidate_session(cs, "NO THREADS");
		printk(KERN_ERR "%s: ERROR: corvane session zep%d had no threads running, shutting "
				"down!\n",
		       ZEP_NAME, ssr->id);
		runIOCleanup(cs);
	}
	up(&workLock);
	if (stop)
		ioctl_stop_zep_session(ssr);
	kfree(ssr);
	return ret;
}

int cow_ioctl(inode *ino, file *filp, unsigned int cmd, unsigned long arg)
{
	switch (cmd) {
	case ZEP_IOC_START_OLD:
		return handle_ioctlStartZP(arg);
	case ZEP_IOC_STOP:
		return handle_ioctlStopZP(arg);
	case ZEP_IOC_GET_LIST:
		return handle_ioctlGetZPList(arg);
	case ZEP_IOC_GET_DEV:
		return handle_ioctlGetZPDev(arg);
	case ZEP_IOC_GET_DEV_PATH:
		return handle_string_query(arg, ioctl_get_real_device_path);
	case ZEP_IOC_GET_BACKING_FILE:
		return handle_string_query(arg, ioctl_get_backing_file);
	case ZEP_IOC_GET_SESSION_ERROR:
		return handle_string_query(arg, ioctl_get_session_error);
	case ZEP_IOC_GET_CHANGED_RECORDS:
		return handle_ioctlGetChangedRecords(arg);
	case ZEP_IOC_UNBLOCK_CHANGE_RECORDS:
		return handle_ioctlUnblockChangeRecords(arg);
	case ZEP_IOC_LIST_LOCKS:
		return handle_ioctlListLokcs(arg);
	case ZEP_IOC_GET_VERSION:
		return handle_ioctlGetVersion(arg);
	case ZEP_IOC_GET_LIST2:
		return handle_ioctlGetZPList2(arg);
	case ZEP_IOC_GET_LIST_COUNT:
		return handle_ioctlGetZPListCount(arg);
	case ZEP_IOC_UNLOAD:
		return handle_ioctlUnload(arg);
	case ZEP_IOC_ERROR_CTS:
		return handle_ioctlErrorCTS(arg);
	case ZEP_IOC_SET_COW_FILE:
		return handle_SetCowFile(arg);
	case ZEP_IOC_START:
		return handle_ioctlStartZP2(arg);
	case ZEP_IOC_RUN_IO_THREAD:
		return handel_RunIOThread(arg);
	case ZEP_IOC_THREAD_WAIT_TIMEOUT:
		return handle_ioctlThreadWaitTimeout(arg);
	case ZEP_IOC_NO_THREAD_SHUTDOWN:
		return handle_ioctlNoThreadShutdown(arg);
	default:
		printk(KERN_ERR "%s: ERROR: ioctl command not found.\n", ZEP_NAME);
		return -1;
	}
}

} // namespace kern
