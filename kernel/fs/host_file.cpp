// Host-backed files: regular files of the host, read and written through a host
// descriptor. The buffer is taken from the caller's view of memory (its user space, or
// kernel memory under set_fs(KERNEL_DS)), and host IO goes straight into it.
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/core/faults.h"
#include "kernel/fs/fs.h"
#include "kernel/fs/internal.h"
#include "kernel/host/hostops.h"
#include "kernel/mm/mm.h"
#include "kernel/mm/uaccess.h"

namespace kern {

namespace {

struct host_io {
	int fd;
	u64 off;
	bool write;
	long err;	// first host error
	bool short_io;	// end of file (read) or a short write
	long done;
};

unsigned long host_io_piece(void *c, char *p, unsigned long len)
{
	auto *io = static_cast<host_io *>(c);
	long r = io->write ? H().file_pwrite(io->fd, p, len, io->off) : H().file_pread(io->fd, p, len, io->off);
	if (r < 0) {
		io->err = r;
		return 0;
	}
	io->off += static_cast<u64>(r);
	io->done += r;
	if (static_cast<unsigned long>(r) < len)
		io->short_io = true;
	return static_cast<unsigned long>(r);
}

// Result of a transfer as read(2)/write(2) report it: bytes moved if any, else the
// host's error, else -EFAULT when the buffer itself faulted.
ssize_t host_io_result(const host_io &io, size_t n)
{
	if (io.done > 0)
		return io.done;
	if (io.err)
		return io.err;
	if (n && !io.short_io)
		return -EFAULT;
	return 0;
}

loff_t host_size(file *f)
{
	host::host_stat st{};
	if (H().file_stat(f->host_fd, &st) < 0)
		return f->f_dentry->d_inode->i_size;
	return static_cast<loff_t>(st.size);
}

// A fault rule on the file: an error to return now (< 0), or 0 with n cut short
// (only for transfers, which pass n).
ssize_t file_fault(const char *kind, file *f, size_t *n)
{
	fault_spec spec;
	if (!should_fail_spec(std::string(kind) + f->f_dentry->d_name, &spec))
		return 0;
	if (!n || spec.short_bytes < 0)
		return spec.error ? spec.error : -EIO;
	if (static_cast<size_t>(spec.short_bytes) < *n)
		*n = static_cast<size_t>(spec.short_bytes);
	return 0;
}

ssize_t host_read(file *f, char __user *buf, size_t n, loff_t *pos)
{
	might_sleep();
	if (ssize_t err = file_fault("file_read:", f, &n))
		return err;
	if (*pos < 0)
		return -EINVAL;
	host_io io{f->host_fd, static_cast<u64>(*pos), false, 0, false, 0};
	user_walk(buf, n, VERIFY_WRITE, host_io_piece, &io);	// the read fills the buffer
	*pos += io.done;
	return host_io_result(io, n);
}

ssize_t host_write(file *f, const char __user *buf, size_t n, loff_t *pos)
{
	might_sleep();
	if (ssize_t err = file_fault("file_write:", f, &n))
		return err;
	if (*pos < 0)
		return -EINVAL;
	// With O_APPEND the host descriptor appends by itself; the position follows the end.
	bool append = f->f_flags & O_APPEND;
	host_io io{f->host_fd, static_cast<u64>(append ? host_size(f) : *pos), true, 0, false, 0};
	user_walk(buf, n, VERIFY_READ, host_io_piece, &io);
	inode *ino = f->f_dentry->d_inode;
	if (append)
		*pos = host_size(f);
	else
		*pos += io.done;
	if (*pos > ino->i_size)
		ino->i_size = *pos;
	return host_io_result(io, n);
}

loff_t host_llseek(file *f, loff_t offset, int whence)
{
	if (whence == SEEK_END)
		f->f_dentry->d_inode->i_size = host_size(f);
	return default_llseek(f, offset, whence);
}

int host_fsync(file *f, dentry *, int)
{
	if (int err = static_cast<int>(file_fault("fsync:", f, nullptr)))
		return err;
	return H().file_fsync(f->host_fd);
}

const file_operations host_file_fops = {
	.owner = nullptr,
	.llseek = host_llseek,
	.read = host_read,
	.write = host_write,
	.fsync = host_fsync,
};

} // namespace

int vfs_statfs(file *f, kstatfs *buf)
{
	if (!f)
		return -EBADF;
	if (!buf)
		return -EFAULT;
	might_sleep();
	if (f->host_fd < 0)
		return -ENOSYS;
	if (ssize_t err = file_fault("statfs:", f, nullptr))
		return static_cast<int>(err);
	host::host_statfs st{};
	if (int r = H().file_statfs(f->host_fd, &st))
		return r;
	*buf = kstatfs{static_cast<long>(st.type), static_cast<long>(st.bsize), st.blocks, st.bfree,
		       st.bavail, st.files, st.ffree, static_cast<long>(st.namelen)};
	return 0;
}

int vfs_flock(file *f, int op)
{
	if (!f)
		return -EBADF;
	if (f->host_fd < 0)
		return -EINVAL;
	int kind = op & ~LOCK_NB;
	if (kind != LOCK_SH && kind != LOCK_EX && kind != LOCK_UN)
		return -EINVAL;
	if (!(op & LOCK_NB))
		might_sleep();
	return H().file_flock(f->host_fd, op);
}

long vfs_getdents64(file *f, void __user *buf, size_t n)
{
	if (!f)
		return -EBADF;
	if (f->host_fd < 0 || (f->f_dentry->d_inode->i_mode & S_IFMT) != S_IFDIR)
		return -ENOTDIR;
	might_sleep();
	// Through a kernel buffer: a record must not be cut where the user's pages fault.
	n = n < 65536 ? n : 65536;
	char *k = static_cast<char *>(kmalloc(n ? n : 1, GFP_KERNEL));
	if (!k)
		return -ENOMEM;
	long r = H().file_getdents(f->host_fd, k, n);
	if (r > 0 && copy_to_user(buf, k, static_cast<unsigned long>(r)))
		r = -EFAULT;
	kfree(k);
	return r;
}

int vfs_rename(const char *from, const char *to)
{
	might_sleep();
	fault_spec spec;
	if (should_fail_spec(std::string("rename:") + to, &spec))
		return spec.error ? spec.error : -EIO;
	return H().file_rename(from, to);
}

int vfs_unlink(const char *path)
{
	might_sleep();
	fault_spec spec;
	if (should_fail_spec(std::string("unlink:") + path, &spec))
		return spec.error ? spec.error : -EIO;
	return H().file_unlink(path);
}

file *host_filp_open(const char *path, int flags, int mode)
{
	if (!path)
		return ERR_PTR<file>(-EFAULT);
	if (!*path)
		return ERR_PTR<file>(-ENOENT);
	if (std::strlen(path) >= sizeof(dentry::d_name))
		return ERR_PTR<file>(-ENAMETOOLONG);
	// The file structure first: running out of them must not leave a file created.
	file *f = get_empty_filp();
	if (!f)
		return ERR_PTR<file>(-ENFILE);
	fault_spec spec;
	if ((flags & (O_CREAT | O_TRUNC)) && should_fail_spec(std::string("create:") + path, &spec)) {
		put_filp(f);
		return ERR_PTR<file>(spec.error ? spec.error : -EIO);
	}
	int fd = H().file_open(path, flags, mode);
	if (fd < 0) {
		put_filp(f);
		return ERR_PTR<file>(fd);
	}
	f->host_fd = fd;
	f->f_op = &host_file_fops;
	f->f_flags = static_cast<unsigned>(flags);
	f->f_mode = fmode_of(flags);
	// The dentry keeps the path as opened: fault points and reports name files by it.
	std::snprintf(f->f_dentry_store.d_name, sizeof(f->f_dentry_store.d_name), "%s", path);
	inode *ino = f->f_dentry->d_inode;
	host::host_stat st{};
	ino->i_mode = H().file_stat(fd, &st) == 0 && st.is_dir ? S_IFDIR : S_IFREG;
	ino->i_size = host_size(f);
	return f;
}

} // namespace kern
