// Open files and the per-process descriptor tables.
//
// A file lives until its last reference goes (fput); only then does release run, once,
// and the owner module's reference taken at open is dropped. Every file is also kept in
// a registry so that halt can name the ones a driver or a stuck task left open.
#include <cstdio>
#include <cstring>
#include <atomic>
#include <new>
#include <set>

#include "kernel/fs/fs.h"
#include "kernel/fs/internal.h"
#include "kernel/host/hostops.h"
#include "kernel/core/printk.h"
#include "kernel/mm/mm.h"
#include "kernel/mm/uaccess.h"
#include "kernel/locking/spinlock.h"

namespace kern {

namespace {

DEFINE_SPINLOCK(files_registry_lock);
std::set<file *> *open_files;	// under files_registry_lock
// Open files, from the cache made at boot; it goes at halt once empty (a stuck task's
// files keep it, and the next boot goes on with it).
std::atomic<kmem_cache_t *> filp_cachep{nullptr};

std::set<file *> &registry()
{
	if (!open_files)
		open_files = new std::set<file *>;
	return *open_files;
}

bool fd_test(const files_struct *files, unsigned fd)
{
	return files->open_fds[fd / BITS_PER_LONG] & (1ul << (fd % BITS_PER_LONG));
}

void fd_set_bit(files_struct *files, unsigned fd, bool on)
{
	unsigned long bit = 1ul << (fd % BITS_PER_LONG);
	if (on)
		files->open_fds[fd / BITS_PER_LONG] |= bit;
	else
		files->open_fds[fd / BITS_PER_LONG] &= ~bit;
}

void free_file(file *f)
{
	spin_lock(&files_registry_lock);
	registry().erase(f);
	spin_unlock(&files_registry_lock);
	f->~file();
	kmem_cache_free(filp_cachep.load(), f);
}

// The last reference is gone.
void __fput(file *f)
{
	might_sleep();
	const file_operations *fop = f->f_op;
	if (fop && fop->release)
		fop->release(f->f_dentry->d_inode, f);
	if (fop)
		module_put(fop->owner);
	if (f->host_fd >= 0)
		host::ops().file_close(f->host_fd);
	f->host_fd = -1;
	free_file(f);
}

} // namespace

// ---------------------------------------------------------------- files

mode_t fmode_of(int flags)
{
	switch (flags & O_ACCMODE) {
	case O_RDONLY: return FMODE_READ;
	case O_WRONLY: return FMODE_WRITE;
	default: return FMODE_READ | FMODE_WRITE;
	}
}

file *get_empty_filp()
{
	kmem_cache_t *c = filp_cachep.load();
	void *mem = c ? kmem_cache_alloc(c, GFP_KERNEL) : nullptr;
	if (!mem)
		return nullptr;
	auto *f = new (mem) file{};
	atomic_set(&f->f_count, 1);
	f->host_fd = -1;
	f->f_dentry = &f->f_dentry_store;
	f->f_dentry_store.d_inode = &f->f_inode_store;
	atomic_set(&f->f_inode_store.i_count, 1);
	spin_lock(&files_registry_lock);
	registry().insert(f);
	spin_unlock(&files_registry_lock);
	return f;
}

void put_filp(file *f)
{
	if (f->host_fd >= 0)
		host::ops().file_close(f->host_fd);
	free_file(f);
}

long files_open_count()
{
	spin_lock(&files_registry_lock);
	long n = static_cast<long>(registry().size());
	spin_unlock(&files_registry_lock);
	return n;
}

void fput(file *f)
{
	if (!f)
		return;
	int left = atomic_dec_return(&f->f_count);
	if (left == 0)
		__fput(f);
	else if (left < 0)
		kernel_bug("fput: file %s already released", f->f_dentry_store.d_name);
}

int filp_close(file *f, files_struct *id)
{
	if (!atomic_read(&f->f_count)) {
		printk(KERN_ERR "VFS: Close: file count is 0\n");
		return 0;
	}
	int retval = 0;
	if (f->f_op && f->f_op->flush)
		retval = f->f_op->flush(f);
	fput(f);
	return retval;
}

loff_t default_llseek(file *f, loff_t offset, int whence)
{
	loff_t pos;
	switch (whence) {
	case SEEK_SET: pos = offset; break;
	case SEEK_CUR: pos = f->f_pos + offset; break;
	case SEEK_END: pos = f->f_dentry->d_inode->i_size + offset; break;
	default: return -EINVAL;
	}
	if (pos < 0)
		return -EINVAL;
	f->f_pos = pos;
	return pos;
}

file *filp_open(const char *path, int flags, int mode)
{
	might_sleep();	// driver and host opens may block
	if (!path)
		return ERR_PTR<file>(-EFAULT);
	if (!*path)
		return ERR_PTR<file>(-ENOENT);
	if (std::strncmp(path, "/dev/", 5) == 0) {
		umode_t type;
		dev_t dev;
		if (!dev_node_lookup(path + 5, &type, &dev))
			return ERR_PTR<file>(-ENOENT);
		return open_device_file(type, dev, flags, path + 5);
	}
	return host_filp_open(path, flags, mode);
}

file *open_device_file(umode_t type, dev_t dev, int flags, const char *name)
{
	file *f = get_empty_filp();
	if (!f)
		return ERR_PTR<file>(-ENFILE);
	f->f_flags = static_cast<unsigned>(flags);
	f->f_mode = fmode_of(flags);
	inode *ino = f->f_dentry->d_inode;
	ino->i_mode = type;
	ino->i_rdev = dev;
	if (name)
		std::snprintf(f->f_dentry_store.d_name, sizeof(f->f_dentry_store.d_name), "%s", name);
	else
		std::snprintf(f->f_dentry_store.d_name, sizeof(f->f_dentry_store.d_name), "%u:%u",
			      MAJOR(dev), MINOR(dev));

	const file_operations *fops = nullptr;
	if (S_ISCHR(type)) {
		fops = chrdev_get(MAJOR(dev));	// with a reference on its owner
		if (!fops) {
			put_filp(f);
			return ERR_PTR<file>(-ENXIO);
		}
	} else if (S_ISBLK(type)) {
		fops = &def_blk_fops;
		if (!try_module_get(fops->owner)) {
			put_filp(f);
			return ERR_PTR<file>(-ENXIO);
		}
	} else {
		put_filp(f);
		return ERR_PTR<file>(-ENXIO);
	}
	f->f_op = fops;
	if (fops->open) {
		int err = fops->open(ino, f);
		if (err) {
			module_put(fops->owner);
			put_filp(f);
			return ERR_PTR<file>(err);
		}
	}
	return f;
}

// ---------------------------------------------------------------- descriptor tables

files_struct *files_alloc()
{
	auto *files = new files_struct{};
	atomic_set(&files->count, 1);
	return files;
}

void put_files_struct(files_struct *files)
{
	if (!files || !atomic_dec_and_test(&files->count))
		return;
	// Nobody else can reach the table now: close what it holds, lowest first.
	for (int fd = 0; fd < NR_OPEN_DEFAULT; fd++) {
		file *f = files->fd[fd];
		files->fd[fd] = nullptr;
		if (f)
			filp_close(f, files);
	}
	delete files;
}

void exit_files(task_struct *t)
{
	task_lock(t);	// enter_process takes a share under it
	files_struct *files = t->files;
	t->files = nullptr;
	task_unlock(t);
	put_files_struct(files);
}

files_struct *dup_files_for(task_struct *parent, bool share)
{
	if (share && parent && parent->files) {
		atomic_inc(&parent->files->count);
		return parent->files;
	}
	return files_alloc();
}

file *fget(unsigned int fd)
{
	files_struct *files = get_current()->files;
	if (!files || fd >= NR_OPEN_DEFAULT)
		return nullptr;
	raw_spin_lock(&files->file_lock);
	file *f = files->fd[fd];
	if (f)
		get_file(f);
	raw_spin_unlock(&files->file_lock);
	return f;
}

int get_unused_fd()
{
	files_struct *files = get_current()->files;
	if (!files)
		return -EMFILE;
	int fd = -EMFILE;
	raw_spin_lock(&files->file_lock);
	for (int i = 0; i < NR_OPEN_DEFAULT; i++) {
		if (!fd_test(files, i)) {
			fd_set_bit(files, i, true);
			fd = i;
			break;
		}
	}
	raw_spin_unlock(&files->file_lock);
	return fd;
}

void put_unused_fd(unsigned int fd)
{
	files_struct *files = get_current()->files;
	if (!files || fd >= NR_OPEN_DEFAULT)
		return;
	raw_spin_lock(&files->file_lock);
	fd_set_bit(files, fd, false);
	raw_spin_unlock(&files->file_lock);
}

void fd_install(unsigned int fd, file *f)
{
	files_struct *files = get_current()->files;
	if (!files || fd >= NR_OPEN_DEFAULT)
		kernel_bug("fd_install: no descriptor %u in the table of %s", fd, get_current()->comm);
	raw_spin_lock(&files->file_lock);
	file *old = files->fd[fd];
	if (!old)
		files->fd[fd] = f;
	raw_spin_unlock(&files->file_lock);
	if (old)
		kernel_bug("fd_install: descriptor %u already installed", fd);
}

int close_fd(unsigned int fd)
{
	files_struct *files = get_current()->files;
	if (!files || fd >= NR_OPEN_DEFAULT)
		return -EBADF;
	raw_spin_lock(&files->file_lock);
	file *f = files->fd[fd];
	if (f) {
		files->fd[fd] = nullptr;
		fd_set_bit(files, fd, false);
	}
	raw_spin_unlock(&files->file_lock);
	if (!f)
		return -EBADF;
	return filp_close(f, files);
}

// ---------------------------------------------------------------- boot and halt

void fs_boot()
{
	kmem_cache_t *c = kmem_cache_find("filp");
	filp_cachep.store(c ? c : kmem_cache_create("filp", sizeof(file), 0, SLAB_HWCACHE_ALIGN, nullptr, nullptr));
	if (!filp_cachep.load())
		printk(KERN_ERR "fs_boot: cannot create the file cache\n");
	dev_nodes_clear();
	std::vector<std::string> ignored;
	chrdev_halt(&ignored);
}

void fs_halt(std::vector<std::string> *problems)
{
	chrdev_halt(problems);
	dev_nodes_clear();

	std::vector<file *> left;
	spin_lock(&files_registry_lock);
	for (file *f : registry())
		left.push_back(f);
	spin_unlock(&files_registry_lock);
	for (file *f : left) {
		if (problems)
			problems->push_back(std::string("file ") + f->f_dentry_store.d_name +
					    " still open (" + std::to_string(atomic_read(&f->f_count)) +
					    " references)");
	}
	// Tasks that did not end may still use their files: free only when none is left.
	if (nr_running_tasks() == 0) {
		for (file *f : left)
			put_filp(f);
		if (mm_structs_live() && problems)
			problems->push_back(std::to_string(mm_structs_live()) +
					    " user address spaces not freed");
	}
	kmem_cache_t *c = filp_cachep.load();
	if (c && !kmem_cache_objects(c) && !kmem_cache_destroy(c))
		filp_cachep.store(nullptr);
}

} // namespace kern
