/*
 * cow.cpp - load and unload, the driver's globals, object caches and allocation helpers.
 */
#include "backupdriver/cow.h"

#include <cstring>

#include "backupdriver/clone.h"
#include "backupdriver/mrf.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/cpu.h"
#include "kernel/machine/reboot.h"
#include "kernel/core/printk.h"

namespace kern {

DEFINE_MODULE(zepdriver, "zepdriver", zep_init, zep_exit);

atomic_t global_shutdown;
atomic_t shutdown_requested;
atomic_t users;
atomic_t total_cow_pages;
atomic_t record_list_lenght;
atomic_t record_list_unblock;
atomic_t record_list_waiting;
atomic_t lock_wait_count;
atomic_t lock_print_count;
pid_t lock_wait_pid = -1;
unsigned long qz_max_chunk_buffer = 160;

LIST_HEAD(session_list_head);
LIST_HEAD(ct_list_head);
LIST_HEAD(record_list);
LIST_HEAD(cow_pids_list);
int session_count;

semaphore workLock;
semaphore session_list_lock;
semaphore session_work_lock;
spinlock_t cow_thread_lock;
spinlock_t record_list_lock;
wait_queue_head_t record_list_wait_queue;
wait_queue_head_t lock_wait;
completion lock_wait_done;

kmem_cache_qz *record_cache;
kmem_cache_qz *saved_cache;
kmem_cache_qz *cl_cache;
kmem_cache_qz *fc_cache;
kmem_cache_qz *rb_cache;
mempool_t *cdp_bp_cache;

/* ---------------------------------------------------------------- caches */

kmem_cache_qz *kmem_cache_create_qz(const char *name, size_t size)
{
	return kmem_cache_create(name, size, 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr);
}

void *alloc_common(kmem_cache_qz *cache, size_t size)
{
	/* Request paths must not sleep: one immediate retry instead of waiting. */
	for (int attempt = 0; attempt < 2; attempt++) {
		void *p = cache ? kmem_cache_alloc(cache, GFP_ATOMIC | __GFP_NOWARN)
				: kmalloc(size, GFP_ATOMIC | __GFP_NOWARN);
		if (p)
			return p;
	}
	return nullptr;
}

void free_common(kmem_cache_qz *cache, void *ptr)
{
	if (!ptr)
		return;
	if (cache)
		kmem_cache_free(cache, ptr);
	else
		kfree(ptr);
}

/* The records are larger here than on a 32-bit kernel: the caches and the fallback
 * allocations are sized from the records themselves. */
change_record *alloc_change_record(void)
{
	return static_cast<change_record *>(alloc_common(record_cache, sizeof(change_record)));
}
void put_change_record(change_record *rc) { free_common(record_cache, rc); }

chunk_list *alloc_chunk_list(void)
{
	return static_cast<chunk_list *>(alloc_common(cl_cache, sizeof(chunk_list)));
}
void put_chunk_list(chunk_list *cl) { free_common(cl_cache, cl); }

saved_info *alloc_saved_info(void)
{
	return static_cast<saved_info *>(alloc_common(saved_cache, sizeof(saved_info)));
}
void put_saved_info(saved_info *si) { free_common(saved_cache, si); }

struct rb_cache *alloc_rb_cache(void)
{
	return static_cast<struct rb_cache *>(alloc_common(rb_cache, sizeof(struct rb_cache)));
}
void put_rb_cache(struct rb_cache *rb) { free_common(rb_cache, rb); }

file_copy *alloc_file_copy(cow_session *cs)
{
	auto *fc = static_cast<file_copy *>(alloc_common(fc_cache, sizeof(file_copy)));
	if (fc)
		atomic_inc(&cs->fc_count);
	return fc;
}

void put_file_copy(file_copy *fc, cow_session *cs)
{
	free_common(fc_cache, fc);
	atomic_dec(&cs->fc_count);
}

rb_wl *alloc_rb_wl(void)
{
	auto *rbwl = static_cast<rb_wl *>(kmalloc(sizeof(rb_wl), GFP_NOIO));
	if (!rbwl)
		rbwl = static_cast<rb_wl *>(kmalloc(sizeof(rb_wl), GFP_NOIO));
	return rbwl;
}
void put_rbwl(rb_wl *rbwl) { kfree(rbwl); }

struct bio *alloc_bio(int max_pages)
{
	struct bio *b = bio_alloc(GFP_NOIO, max_pages);
	if (!b)
		b = bio_alloc(GFP_NOIO, max_pages);
	return b;
}

struct page *alloc_one_page(void)
{
	gfp_t flags = __GFP_WAIT | __GFP_IO | __GFP_REPEAT | __GFP_NOWARN;
	struct page *p = alloc_pages(flags, 0);
	if (!p)
		p = alloc_pages(flags | __GFP_HIGH, 0);
	return p;
}

void *bp_alloc(gfp_t gfp_flags, void *data) { return kmalloc(sizeof(struct bio_pair), gfp_flags); }
void bp_free(void *bp, void *data) { kfree(bp); }

/* ---------------------------------------------------------------- load and unload */

void poke_watchdog(void)
{
	atomic_inc(&lock_wait_count);
	wake_up(&lock_wait);
}

/* The machine is going down: IO threads ignore every signal, so they are told to drain
 * and leave, as a stop would, and their processes can end. */
static int zep_reboot_notify(notifier_block *nb, unsigned long action, void *data)
{
	down(&session_list_lock);
	cow_session *cs;
	list_for_each_entry(cs, &session_list_head, list)
	{
		io_thread_info *info = cs->thread_info;
		if (!info)
			continue;
		atomic_inc(&info->io_threads_stop);
		for (io_thread *iot : info->io_threads)
			if (iot && atomic_read(&iot->started) > 0)
				wake_up_all(&iot->io_wait);
	}
	up(&session_list_lock);
	return NOTIFY_DONE;
}

static notifier_block zep_reboot_nb = {zep_reboot_notify, nullptr, 0};

static void destroy_caches(void)
{
	kmem_cache_qz **caches[] = {&record_cache, &saved_cache, &cl_cache, &rb_cache, &fc_cache};
	for (kmem_cache_qz **c : caches) {
		if (*c)
			kmem_cache_destroy(*c);
		*c = nullptr;
	}
	if (cdp_bp_cache)
		mempool_destroy(cdp_bp_cache);
	cdp_bp_cache = nullptr;
}

int zep_init(void)
{
	atomic_set(&global_shutdown, 1);
	atomic_set(&shutdown_requested, 0);
	atomic_set(&users, 0);
	std::memset(savedMRFS, 0, sizeof(savedMRFS));

	init_MUTEX(&session_list_lock);
	init_MUTEX(&session_work_lock);
	init_MUTEX(&workLock);
	init_rwsem(&rw_mutex);
	spin_lock_init(&cow_thread_lock);
	spin_lock_init(&record_list_lock);
	init_waitqueue_head(&record_list_wait_queue);
	atomic_set(&total_cow_pages, 0);
	atomic_set(&record_list_lenght, 0);
	atomic_set(&record_list_waiting, 0);
	atomic_set(&record_list_unblock, 0);
	INIT_LIST_HEAD(&session_list_head);
	INIT_LIST_HEAD(&ct_list_head);
	INIT_LIST_HEAD(&record_list);
	INIT_LIST_HEAD(&cow_pids_list);
	session_count = 0;

	record_cache = kmem_cache_create_qz("cdp_record_cache", sizeof(change_record));
	if (!record_cache)
		printk(KERN_ERR "%s: ERROR: Could not create cdp record cache.\n", ZEP_NAME);
	saved_cache = kmem_cache_create_qz("cdp_saved_cache", sizeof(saved_info));
	if (!saved_cache)
		printk(KERN_ERR "%s: ERROR: Could not create cdp saved cache.\n", ZEP_NAME);
	cl_cache = kmem_cache_create_qz("cdp_chunk_list_cache", sizeof(chunk_list));
	if (!cl_cache)
		printk(KERN_ERR "%s: ERROR: Could not create cdp cunk list cache.\n", ZEP_NAME);
	fc_cache = kmem_cache_create_qz("cdp_fc_cache", sizeof(file_copy));
	if (!fc_cache)
		printk(KERN_ERR "%s: ERROR: Could not create cpd fc cache.\n", ZEP_NAME);
	rb_cache = kmem_cache_create_qz("cdp_rb_cache", sizeof(struct rb_cache));
	if (!rb_cache)
		printk(KERN_ERR "%s: ERROR: Could not create cdp rb cache.\n", ZEP_NAME);

	cdp_bp_cache = mempool_create(256, bp_alloc, bp_free, nullptr);
	if (!cdp_bp_cache) {
		printk(KERN_ERR "%s: ERROR: Could not create cdp bp cache.\n", ZEP_NAME);
		goto fail;
	}

	if (register_chrdev(ZEP_CONTROL_MAJOR, ZEP_CONTROL_NAME, &cow_fops) < 0) {
		printk(KERN_ERR "%s: ERROR: Could not register char device.\n", ZEP_NAME);
		goto fail;
	}

	printk(KERN_INFO "%s: INFO: zep driver loaded: %d.%d.%d %s, NR_CPUS: %d\n", ZEP_NAME,
	       ZEP_VERSION_MAJOR, ZEP_VERSION_MINOR, ZEP_VERSION_MAINT, "build 18929", NR_CPUS);

	init_waitqueue_head(&lock_wait);
	init_completion(&lock_wait_done);
	atomic_set(&global_shutdown, 0);
	atomic_set(&lock_wait_count, 0);
	atomic_set(&lock_print_count, 0);
	register_reboot_notifier(&zep_reboot_nb);
	lock_wait_pid = kernel_thread(lock_debug_thread, nullptr, CLONE_FS | CLONE_FILES | CLONE_SIGHAND);
	if (lock_wait_pid < 0)
		printk(KERN_ERR "%s: ERROR: zep watchdog failed to start!\n", ZEP_NAME);
	else
		wait_for_completion(&lock_wait_done);
	return 0;

fail:
	destroy_caches();
	return -1;
}

void zep_exit(void)
{
	unregister_reboot_notifier(&zep_reboot_nb);
	atomic_set(&global_shutdown, 1);
	if (lock_wait_pid >= 0) {
		wake_up(&lock_wait);
		wait_for_completion(&lock_wait_done);
	}
	zep_unload();
	unregister_chrdev(ZEP_CONTROL_MAJOR, ZEP_CONTROL_NAME);
	/* Records kept for the module's lifetime go with it. */
	free_all_cts();
	free_mrf_table(savedMRFS);
	destroy_caches();
	printk(KERN_INFO "%s: INFO: driver unloaded.\n", ZEP_NAME);
}

int zep_unload(void)
{
	int ret;
	down(&workLock);
	poke_watchdog();
	atomic_set(&shutdown_requested, 1);
	if (stop_all_zep_sessions()) {
		printk(KERN_ERR "%s: ERROR: could not stop all zep sessions!\n", ZEP_NAME);
		ret = 1;
	} else {
		down(&session_list_lock);
		stop_all_cts(savedMRFS);
		up(&session_list_lock);
		shutdown_flush_changed_recores();
		printk(KERN_INFO "%s: INFO: zep driver has been shutdown.\n", ZEP_NAME);
		ret = 0;
	}
	up(&workLock);
	return ret;
}

} // namespace kern
