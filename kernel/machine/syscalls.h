// The system calls emulated processes make. Results are as Linux's: >= 0 on success,
// -errno on failure. User buffers are 32-bit addresses in the calling process's space
// (see sys_mmap); paths and names are plain strings of the caller.
//
// At the return of every call the process's pending signals are delivered: a fatal one
// (default action terminate, or SIGKILL) throws kern::task_killed, so the process body
// unwinds and the process ends with 128 + signal; one with a handler is dequeued and its
// handler runs. A call interrupted by a signal returns -EINTR. Calls made while the process
// unwinds (its destructors releasing what it holds) complete without a second throw.
#pragma once

#include "kernel/core/sched.h"
#include "kernel/lib/types.h"

namespace kern {

int sys_open(const char *path, int flags, int mode = 0);
int sys_close(unsigned int fd);
long sys_ioctl(unsigned int fd, unsigned int cmd, unsigned long arg);
ssize_t sys_read(unsigned int fd, unsigned long addr, size_t n);
ssize_t sys_write(unsigned int fd, unsigned long addr, size_t n);
ssize_t sys_pread64(unsigned int fd, unsigned long addr, size_t n, loff_t off);
ssize_t sys_pwrite64(unsigned int fd, unsigned long addr, size_t n, loff_t off);
loff_t sys_lseek(unsigned int fd, loff_t off, int whence);
int sys_fsync(unsigned int fd);
// Maps len bytes (rounded up to pages) of zeroed, read-write memory: its user address,
// or -errno.
long sys_mmap(size_t len);
int sys_munmap(unsigned long addr, size_t len);
// PROT_READ, or PROT_READ | PROT_WRITE: copies into read-only pages fault. 0 or -errno.
int sys_mprotect(unsigned long addr, size_t len, int prot);
pid_t sys_getpid();
int sys_prctl_set_name(const char *name);
// SIG_DFL, SIG_IGN or a handler; the previous disposition, or SIG_ERR.
sighandler_t sys_signal(int sig, sighandler_t handler);
int sys_kill(pid_t pid, int sig);
// A host path, or "/dev/<name>" to remove a device node.
int sys_unlink(const char *path);
int sys_rename(const char *from, const char *to);	// host files only: -EXDEV for /dev
int sys_flock(unsigned int fd, int op);
long sys_getdents64(unsigned int fd, unsigned long addr, size_t n);

} // namespace kern
