// The system-call layer: argument checks, descriptor lookups, and signal delivery on
// the way back to the process.
#include "kernel/machine/syscalls.h"

#include <cstring>
#include <exception>

#include "kernel/fs/fs.h"
#include "kernel/host/hostops.h"
#include "kernel/mm/uaccess.h"

namespace kern {

namespace {

// Linux caps one read or write at this many bytes.
constexpr size_t MAX_RW_COUNT = 0x7ffff000;

template <typename T> T syscall_exit(T ret)
{
	if (ret == -ERESTARTSYS || ret == -EINTR)
		ret = -EINTR;
	do_signal();
	return ret;
}

// The file of fd with a reference, or null.
file *fd_file(unsigned int fd) { return fget(fd); }

// Reads into or writes from user memory at addr, at *pos_in or the file position.
ssize_t do_rw(unsigned int fd, unsigned long addr, size_t n, loff_t *pos_in, bool write)
{
	file *f = fd_file(fd);
	if (!f)
		return -EBADF;
	ssize_t r;
	if (!(f->f_mode & (write ? FMODE_WRITE : FMODE_READ))) {
		r = -EBADF;
	} else if (!f->f_op || !(write ? !!f->f_op->write : !!f->f_op->read)) {
		r = -EINVAL;
	} else if (!access_ok(write ? VERIFY_READ : VERIFY_WRITE, uptr(addr), n)) {
		r = -EFAULT;
	} else if (pos_in && *pos_in < 0) {
		r = -EINVAL;
	} else {
		n = min_t(n, MAX_RW_COUNT);
		loff_t pos = pos_in ? *pos_in : f->f_pos;
		if (write)
			r = f->f_op->write(f, static_cast<const char __user *>(uptr(addr)), n, &pos);
		else
			r = f->f_op->read(f, static_cast<char __user *>(uptr(addr)), n, &pos);
		if (!pos_in)
			f->f_pos = pos;
	}
	fput(f);
	return r;
}

ssize_t do_read(unsigned int fd, unsigned long addr, size_t n, loff_t *pos_in)
{
	return do_rw(fd, addr, n, pos_in, false);
}

ssize_t do_write(unsigned int fd, unsigned long addr, size_t n, loff_t *pos_in)
{
	return do_rw(fd, addr, n, pos_in, true);
}

} // namespace

int sys_open(const char *path, int flags, int mode)
{
	int fd;
	if (!path) {
		fd = -EFAULT;
	} else {
		fd = get_unused_fd();
		if (fd >= 0) {
			file *f = filp_open(path, flags, mode);
			if (IS_ERR(f)) {
				put_unused_fd(static_cast<unsigned>(fd));
				fd = static_cast<int>(PTR_ERR(f));
			} else {
				fd_install(static_cast<unsigned>(fd), f);
			}
		}
	}
	return syscall_exit(fd);
}

int sys_close(unsigned int fd) { return syscall_exit(close_fd(fd)); }

long sys_ioctl(unsigned int fd, unsigned int cmd, unsigned long arg)
{
	file *f = fd_file(fd);
	if (!f)
		return syscall_exit(-EBADF);
	long r;
	if (f->f_op && f->f_op->unlocked_ioctl)
		r = f->f_op->unlocked_ioctl(f, cmd, arg);
	else if (f->f_op && f->f_op->ioctl)
		r = f->f_op->ioctl(f->f_dentry->d_inode, f, cmd, arg);
	else
		r = -ENOTTY;
	fput(f);
	return syscall_exit(r);
}

ssize_t sys_read(unsigned int fd, unsigned long addr, size_t n)
{
	return syscall_exit(do_read(fd, addr, n, nullptr));
}

ssize_t sys_write(unsigned int fd, unsigned long addr, size_t n)
{
	return syscall_exit(do_write(fd, addr, n, nullptr));
}

ssize_t sys_pread64(unsigned int fd, unsigned long addr, size_t n, loff_t off)
{
	return syscall_exit(do_read(fd, addr, n, &off));
}

ssize_t sys_pwrite64(unsigned int fd, unsigned long addr, size_t n, loff_t off)
{
	return syscall_exit(do_write(fd, addr, n, &off));
}

loff_t sys_lseek(unsigned int fd, loff_t off, int whence)
{
	file *f = fd_file(fd);
	if (!f)
		return syscall_exit<loff_t>(-EBADF);
	loff_t r;
	if (whence < SEEK_SET || whence > SEEK_END)
		r = -EINVAL;
	else if (f->f_op && f->f_op->llseek)
		r = f->f_op->llseek(f, off, whence);
	else
		r = default_llseek(f, off, whence);
	fput(f);
	return syscall_exit(r);
}

int sys_fsync(unsigned int fd)
{
	file *f = fd_file(fd);
	if (!f)
		return syscall_exit(-EBADF);
	int r = (f->f_op && f->f_op->fsync) ? f->f_op->fsync(f, f->f_dentry, 0) : -EINVAL;
	fput(f);
	return syscall_exit(r);
}

long sys_mmap(size_t len)
{
	mm_struct *mm = get_current()->mm;
	long r;
	if (!mm) {
		r = -EFAULT;
	} else {
		int err = 0;
		unsigned long addr = mm_map(mm, len, &err);
		r = err ? err : static_cast<long>(addr);
	}
	return syscall_exit(r);
}

int sys_munmap(unsigned long addr, size_t len)
{
	mm_struct *mm = get_current()->mm;
	return syscall_exit(mm ? mm_unmap(mm, addr, len) : -EFAULT);
}

int sys_mprotect(unsigned long addr, size_t len, int prot)
{
	mm_struct *mm = get_current()->mm;
	if (prot & ~(PROT_READ | PROT_WRITE))
		return syscall_exit(-EINVAL);
	return syscall_exit(mm ? mm_protect(mm, addr, len, !(prot & PROT_WRITE)) : -EFAULT);
}

pid_t sys_getpid() { return syscall_exit(get_current()->tgid); }

int sys_prctl_set_name(const char *name)
{
	if (!name)
		return syscall_exit(-EFAULT);
	set_task_comm(get_current(), name);
	return syscall_exit(0);
}

sighandler_t sys_signal(int sig, sighandler_t handler)
{
	sighandler_t old = sig_action(sig, handler);
	do_signal();
	return old;
}

int sys_kill(pid_t pid, int sig)
{
	int r;
	if (pid <= 0 || sig < 0 || sig > KERN_NSIG) {
		r = -EINVAL;
	} else if (sig == 0) {
		task_struct *t = find_task_by_pid(pid);
		r = t ? 0 : -ESRCH;
		if (t)
			put_task_struct(t);
	} else {
		r = kill_proc(pid, sig, 0);
	}
	return syscall_exit(r);
}

int sys_unlink(const char *path)
{
	int r;
	if (!path)
		r = -EFAULT;
	else if (!*path)
		r = -ENOENT;
	else if (std::strncmp(path, "/dev/", 5) == 0)
		r = dev_node_remove(path + 5);
	else
		r = vfs_unlink(path);
	return syscall_exit(r);
}

int sys_rename(const char *from, const char *to)
{
	int r;
	if (!from || !to)
		r = -EFAULT;
	else if (!*from || !*to)
		r = -ENOENT;
	else if (std::strncmp(from, "/dev/", 5) == 0 || std::strncmp(to, "/dev/", 5) == 0)
		r = -EXDEV;	// device nodes live in the machine, files on the host
	else
		r = vfs_rename(from, to);
	return syscall_exit(r);
}

int sys_flock(unsigned int fd, int op)
{
	file *f = fd_file(fd);
	if (!f)
		return syscall_exit(-EBADF);
	int r = vfs_flock(f, op);
	fput(f);
	return syscall_exit(r);
}

long sys_getdents64(unsigned int fd, unsigned long addr, size_t n)
{
	file *f = fd_file(fd);
	if (!f)
		return syscall_exit(-EBADF);
	long r = vfs_getdents64(f, reinterpret_cast<void __user *>(addr), n);
	fput(f);
	return syscall_exit(r);
}

} // namespace kern
