// Super blocks: mounting opens the device and gives it one; freezing holds the writes that
// come through any node of the disk to the file system's sectors.
#include <algorithm>
#include <map>
#include <utility>
#include <new>

#include "kernel/block/super.h"
#include "kernel/host/hostops.h"
#include "kernel/core/printk.h"
#include "kernel/core/time.h"

namespace kern {

namespace {

struct super_state {
	host::host_lock *lock;	// the super-block list, s_count, bd_super, fsync counts
	list_head supers = LIST_HEAD_INIT(supers);
	std::map<dev_t, long> fsyncs;
	std::map<dev_t, freeze_instants> freezes;
};

s64 now_ns()
{
	timespec t = current_kernel_time();
	return static_cast<s64>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

super_state &ss()
{
	static super_state *s = [] {
		auto *st = new super_state;
		st->lock = H().lock_create();
		return st;
	}();
	return *s;
}

struct sb_guard {
	sb_guard() { H().lock_acquire(ss().lock); }
	~sb_guard() { H().lock_release(ss().lock); }
	sb_guard(const sb_guard &) = delete;
};

super_block *alloc_super(block_device *bdev)
{
	void *p = kzalloc(sizeof(super_block), GFP_KERNEL);
	if (!p)
		return nullptr;
	auto *sb = new (p) super_block{};
	INIT_LIST_HEAD(&sb->s_list);
	sb->s_dev = bdev->bd_dev;
	sb->s_bdev = bdev;
	sb->s_count = 1;	// the mount's
	sb->s_frozen = SB_UNFROZEN;
	init_waitqueue_head(&sb->s_wait_unfrozen);
	init_waitqueue_head(&sb->s_writers_wait);
	init_rwsem(&sb->s_umount);
	atomic_set(&sb->s_writers, 0);
	return sb;
}

void put_super(super_block *sb)
{
	{
		sb_guard g;
		if (--sb->s_count > 0)
			return;
	}
	block_device *bdev = sb->s_bdev;
	sb->~super_block();
	kfree(sb);
	bdput(bdev);	// the mount's reference
}

// The second half of get_super, for a super block whose s_count the caller raised under
// the lock: holds s_umount for reading if it is still mounted, else lets it go.
bool hold_if_mounted(super_block *sb)
{
	down_read(&sb->s_umount);
	bool mounted;
	{
		sb_guard g;
		mounted = sb->s_bdev->bd_super == sb;
	}
	if (!mounted) {
		up_read(&sb->s_umount);
		put_super(sb);
	}
	return mounted;
}

// Counts a write in flight on every one of sbs once none is frozen. While one of them
// is frozen it is counted on none, so that waiting for one file system's thaw never
// keeps another's freeze from draining.
void start_write_all(super_block *const *sbs, size_t n)
{
	for (;;) {
		for (size_t i = 0; i < n; i++)
			wait_event(sbs[i]->s_wait_unfrozen, sbs[i]->s_frozen.load() == SB_UNFROZEN);
		for (size_t i = 0; i < n; i++)
			atomic_inc(&sbs[i]->s_writers);
		smp_mb();
		bool thawed = true;
		for (size_t i = 0; i < n; i++)
			thawed = thawed && sbs[i]->s_frozen.load() == SB_UNFROZEN;
		if (thawed)
			return;
		for (size_t i = 0; i < n; i++)	// a freeze began meanwhile: let it drain, then wait
			sb_end_write(sbs[i]);
	}
}

// Called with the super-block lock held: one file system per device, and none on a disk
// and its partitions at once.
int mount_conflict_locked(block_device *bdev)
{
	super_block *o;
	list_for_each_entry(o, &ss().supers, s_list)
	{
		block_device *ob = o->s_bdev;
		if (ob == bdev || (ob->bd_contains == bdev->bd_contains &&
				   (ob == ob->bd_contains || bdev == bdev->bd_contains)))
			return -EBUSY;
	}
	return 0;
}

// The file system holds its device open as a process holding the node open would: the
// disk's open runs (in the caller's task), its driver's module is referenced, and the
// device counts as opened until umount.
file *mount_open_device(block_device *bdev)
{
	char name[BDEVNAME_SIZE];
	file *f = open_device_file(S_IFBLK, bdev->bd_dev, O_RDWR, bdevname(bdev, name));
	if (IS_ERR(f))
		return f;
	if (f->f_dentry->d_inode->i_bdev != bdev) {
		fput(f);	// the disk was replaced since the lookup
		return ERR_PTR<file>(-ENXIO);
	}
	return f;
}

} // namespace

int do_mount(dev_t dev)
{
	if (MAJOR(dev) == 0)
		return -EINVAL;
	block_device *bdev = bdget(dev);
	if (!bdev)
		return -ENXIO;
	super_block *sb = alloc_super(bdev);
	if (!sb) {
		bdput(bdev);
		return -ENOMEM;
	}
	down(&bdev->bd_mount_sem);
	int err;
	{
		sb_guard g;
		err = mount_conflict_locked(bdev);
	}
	// Opened outside the lock (the disk's open may sleep); a mount of another device
	// of the disk may have come in meanwhile, so look again before going on the list.
	file *f = nullptr;
	if (!err) {
		f = mount_open_device(bdev);
		if (IS_ERR(f)) {
			err = static_cast<int>(PTR_ERR(f));
			f = nullptr;
		}
	}
	if (!err) {
		sb_guard g;
		err = mount_conflict_locked(bdev);
		if (!err) {
			sb->s_bdev_file = f;
			list_add_tail(&sb->s_list, &ss().supers);
			bdev->bd_super = sb;
		}
	}
	if (err && f)
		fput(f);
	up(&bdev->bd_mount_sem);
	if (err) {
		sb->~super_block();
		kfree(sb);
		bdput(bdev);
	}
	return err;
}

// Waits for a freeze of the device to end (bd_mount_sem) and for holders of the super
// block from get_super (s_umount), then takes the super block away and releases the
// device (its disk's release runs in the caller's task).
int do_umount(dev_t dev)
{
	block_device *bdev = bdget(dev);
	if (!bdev)
		return -EINVAL;
	down(&bdev->bd_mount_sem);
	super_block *sb;
	{
		sb_guard g;
		sb = bdev->bd_super;
		if (sb) {
			bdev->bd_super = nullptr;
			list_del(&sb->s_list);
		}
	}
	if (sb) {
		down_write(&sb->s_umount);
		up_write(&sb->s_umount);
		file *f = sb->s_bdev_file;
		sb->s_bdev_file = nullptr;
		fput(f);
		put_super(sb);
	}
	up(&bdev->bd_mount_sem);
	bdput(bdev);
	return sb ? 0 : -EINVAL;
}

super_block *get_super(block_device *bdev)
{
	if (!bdev)
		return nullptr;
	super_block *sb;
	{
		sb_guard g;
		sb = bdev->bd_super;
		if (!sb)
			return nullptr;
		sb->s_count++;
	}
	return hold_if_mounted(sb) ? sb : nullptr;
}

void drop_super(super_block *sb)
{
	up_read(&sb->s_umount);
	put_super(sb);
}

int fsync_bdev(block_device *bdev)
{
	{
		sb_guard g;
		ss().fsyncs[bdev->bd_dev]++;
	}
	int err = blkdev_issue_flush(bdev, nullptr);
	return err == -EOPNOTSUPP ? 0 : err;
}

freeze_instants last_freeze(dev_t dev)
{
	sb_guard g;
	auto it = ss().freezes.find(dev);
	return it == ss().freezes.end() ? freeze_instants{} : it->second;
}

long fsync_bdev_count(dev_t dev)
{
	sb_guard g;
	auto it = ss().fsyncs.find(dev);
	return it == ss().fsyncs.end() ? 0 : it->second;
}

super_block *freeze_bdev(block_device *bdev)
{
	down(&bdev->bd_mount_sem);	// held until thaw_bdev
	super_block *sb = get_super(bdev);
	if (sb) {
		sb->s_frozen = SB_FREEZE_WRITE;
		smp_mb();
		wait_event(sb->s_writers_wait, atomic_read(&sb->s_writers) == 0);
		fsync_bdev(bdev);
		sb->s_frozen = SB_FREEZE_TRANS;
		smp_mb();
		rwsem_disown(&sb->s_umount);
		sb_guard g;
		ss().freezes[bdev->bd_dev] = {now_ns(), 0};
	}
	// Both stay held until thaw_bdev, which another task may call.
	sem_disown(&bdev->bd_mount_sem);
	return sb;
}

void thaw_bdev(block_device *bdev, super_block *sb)
{
	if (sb) {
		BUG_ON(sb->s_bdev != bdev);
		{
			sb_guard g;
			ss().freezes[bdev->bd_dev].thawed = now_ns();
		}
		sb->s_frozen = SB_UNFROZEN;
		smp_mb();
		wake_up_all(&sb->s_wait_unfrozen);
		drop_super(sb);
	}
	up(&bdev->bd_mount_sem);
}

void sb_start_write(super_block *sb) { start_write_all(&sb, 1); }

void sb_end_write(super_block *sb)
{
	if (atomic_dec_and_test(&sb->s_writers))
		wake_up_all(&sb->s_writers_wait);
}

void bdev_start_write(block_device *bdev, sector_t sector, sector_t nr, bdev_write_hold *h)
{
	h->sbs.clear();
	sector_t start = sector + (bdev->bd_part ? bdev->bd_part->start_sect : 0);
	sector_t end = start + nr;
	// (whole-disk start, super block), taken in the order of the disk's sectors so that
	// two writers never take the s_umount of two file systems in opposite orders.
	std::vector<std::pair<sector_t, super_block *>> found;
	{
		sb_guard g;
		super_block *sb;
		list_for_each_entry(sb, &ss().supers, s_list)
		{
			block_device *b = sb->s_bdev;
			if (b->bd_disk != bdev->bd_disk)
				continue;
			sector_t s = b->bd_part ? b->bd_part->start_sect : 0;
			sector_t e = b->bd_part ? s + b->bd_part->nr_sects : ~sector_t(0);
			if (s < end && start < e) {
				sb->s_count++;
				found.emplace_back(s, sb);
			}
		}
	}
	std::sort(found.begin(), found.end());
	for (auto &entry : found)
		if (hold_if_mounted(entry.second))
			h->sbs.push_back(entry.second);
	start_write_all(h->sbs.data(), h->sbs.size());
}

void bdev_end_write(bdev_write_hold *h)
{
	for (super_block *sb : h->sbs) {
		sb_end_write(sb);
		drop_super(sb);
	}
	h->sbs.clear();
}

void super_boot()
{
	sb_guard g;
	ss().fsyncs.clear();
	ss().freezes.clear();
}

void super_halt(std::vector<std::string> *problems)
{
	std::vector<super_block *> left;
	{
		sb_guard g;
		while (!list_empty(&ss().supers)) {
			super_block *sb = list_entry(ss().supers.next, super_block, s_list);
			list_del(&sb->s_list);
			sb->s_bdev->bd_super = nullptr;
			left.push_back(sb);
		}
	}
	for (super_block *sb : left) {
		char name[BDEVNAME_SIZE];
		bdevname(sb->s_bdev, name);
		if (sb->s_frozen.load() != SB_UNFROZEN && problems)
			problems->push_back(std::string("file system on ") + name + " still frozen");
		int refs;
		{
			sb_guard g;
			refs = sb->s_count;
		}
		if (refs > 1) {
			if (problems)
				problems->push_back(std::string("super block of ") + name + " still referenced (" +
						    std::to_string(refs - 1) + ")");
			continue;	// its holders still use it, and the device it has open
		}
		file *f = sb->s_bdev_file;
		sb->s_bdev_file = nullptr;
		fput(f);
		put_super(sb);
	}
}

} // namespace kern
