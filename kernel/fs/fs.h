// Files, inodes, file tables, character devices, device nodes and host-backed files.
#pragma once

#include <string>
#include <vector>

#include "kernel/lib/atomic.h"
#include "kernel/lib/list.h"
#include "kernel/core/module.h"
#include "kernel/lib/raw_spinlock.h"
#include "kernel/lib/types.h"

namespace kern {

struct block_device;
struct gendisk;
struct file;
struct inode;
struct dentry;

} // namespace kern

// i_mode file types: macros, as in the kernel, with the values the host's <sys/stat.h>
// gives them too, so that either may come first.
#ifndef S_IFMT
#define S_IFMT 0170000
#define S_IFDIR 0040000
#define S_IFCHR 0020000
#define S_IFBLK 0060000
#define S_IFREG 0100000
#endif
#ifndef S_ISBLK
#define S_ISBLK(m) (((m) & S_IFMT) == S_IFBLK)
#define S_ISCHR(m) (((m) & S_IFMT) == S_IFCHR)
#define S_ISREG(m) (((m) & S_IFMT) == S_IFREG)
#endif

namespace kern {

// f_mode bits
enum : mode_t { FMODE_READ = 1, FMODE_WRITE = 2 };

struct file_operations {
	module *owner;
	loff_t (*llseek)(file *, loff_t, int);
	ssize_t (*read)(file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(file *, const char __user *, size_t, loff_t *);
	int (*ioctl)(inode *, file *, unsigned int, unsigned long);
	long (*unlocked_ioctl)(file *, unsigned int, unsigned long);
	long (*compat_ioctl)(file *, unsigned int, unsigned long);
	int (*open)(inode *, file *);
	int (*flush)(file *);
	int (*release)(inode *, file *);
	int (*fsync)(file *, dentry *, int datasync);
};

struct inode {
	umode_t i_mode;
	dev_t i_rdev;
	block_device *i_bdev;
	atomic_t i_count;
	loff_t i_size;
	void *i_private;
};

struct dentry {
	inode *d_inode;
	char d_name[256];
};

// An open file. Host-backed files (regular files of the host) keep their host
// descriptor in host_fd; device files have host_fd -1.
struct file {
	const file_operations *f_op;
	dentry *f_dentry;
	atomic_t f_count;
	unsigned int f_flags;
	mode_t f_mode;
	loff_t f_pos;
	void *private_data;
	int host_fd;
	dentry f_dentry_store;	// the dentry and inode live with the file
	inode f_inode_store;
};

constexpr int NR_OPEN_DEFAULT = 256;
constexpr int BITS_PER_LONG = 8 * sizeof(unsigned long);

struct files_struct {
	atomic_t count;
	raw_spinlock_t file_lock;
	file *fd[NR_OPEN_DEFAULT];
	// Descriptors in use: installed, or reserved by get_unused_fd and not yet installed.
	unsigned long open_fds[NR_OPEN_DEFAULT / BITS_PER_LONG];
};

// lseek whence
#ifndef SEEK_SET
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2
#endif

// ---- files and file tables ----
file *fget(unsigned int fd);		// a reference, or null
void fput(file *f);			// the last reference runs release
inline void get_file(file *f) { atomic_inc(&f->f_count); }
int get_unused_fd();			// -EMFILE when full
void put_unused_fd(unsigned int fd);
void fd_install(unsigned int fd, file *f);
// Opens a path: "/dev/<name>" device nodes, or host paths for host-backed files.
file *filp_open(const char *path, int flags, int mode);	// ERR_PTR on failure
int filp_close(file *f, files_struct *id);
// Removes fd from the caller's table and closes the file (flush, then fput).
int close_fd(unsigned int fd);
// Opens a device file for a node (character or block) on an inode of its own; `name`
// (the node's) goes to the dentry. ERR_PTR on failure: -ENXIO when no driver has the
// major or its module is not live.
file *open_device_file(umode_t type, dev_t dev, int flags, const char *name = nullptr);
// Number of files opened and not yet released (for leak reports).
long files_open_count();
// A new file with one reference, its dentry and inode set up, not yet opened
// (f_op null, host_fd -1), from the "filp" cache; null when none is to be had (opens
// then fail with -ENFILE). Freed with put_filp until it is opened. May sleep.
file *get_empty_filp();
void put_filp(file *f);
// Opens a host path as a host-backed file (read/write go through a host descriptor,
// the buffer taken from the caller's address space). ERR_PTR on failure.
file *host_filp_open(const char *path, int flags, int mode);
// The seek of files whose operations have none (position only; SEEK_END uses i_size).
loff_t default_llseek(file *f, loff_t offset, int whence);

// File system statistics, counts in units of f_bsize.
struct kstatfs {
	long f_type;
	long f_bsize;
	u64 f_blocks;
	u64 f_bfree;
	u64 f_bavail;	// what unprivileged users may still take
	u64 f_files;
	u64 f_ffree;
	long f_namelen;
};
// Statistics of the file system holding f: the host's for a host-backed file. 0,
// -ENOSYS for a file without a host descriptor, -EBADF (null file), -EFAULT (null buf),
// or the host's error. May sleep. Fault point "statfs:<path>".
int vfs_statfs(file *f, kstatfs *buf);
// Host-backed files only. flock: LOCK_SH/LOCK_EX/LOCK_UN (| LOCK_NB); getdents64: the next
// linux_dirent64 records of a folder opened O_DIRECTORY, bytes or 0 at its end.
int vfs_flock(file *f, int op);
long vfs_getdents64(file *f, void __user *buf, size_t n);
int vfs_rename(const char *from, const char *to);
int vfs_unlink(const char *path);	// a host file

// ---- character devices ----
int register_chrdev(unsigned int major, const char *name, const file_operations *fops);
int unregister_chrdev(unsigned int major, const char *name);

// ---- device nodes in /dev ----
int dev_node_add(const std::string &name, umode_t type, dev_t dev);	// -EEXIST
int dev_node_remove(const std::string &name);
bool dev_node_lookup(const std::string &name, umode_t *type, dev_t *dev);
std::vector<std::string> dev_node_list();

// The operations of block device files (direct IO through the block layer).
extern const file_operations def_blk_fops;

// The file layer at boot, and at halt: device nodes, character devices and open files
// still there become problems, and are let go.
void fs_boot();
void fs_halt(std::vector<std::string> *problems);

// Resource hooks for tasks (see sched.h).
files_struct *files_alloc();
void put_files_struct(files_struct *files);

} // namespace kern
