// The host boundary: everything the emulated kernel needs from the host operating
// system, as one table of operations. Nothing else under kernel/ or backupdriver/ may
// touch the host. A second table (a deterministic scheduler with virtual time) can be
// installed with host_install() before boot.
//
// Each entry says whether it may block the calling host thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kern::host {

constexpr int HOSTOPS_VERSION = 6;	// 2: file_statfs fills a host_statfs; 3: no lock_try, cond_signal;
					// 4: rename, flock, getdents, is_dir; 5: cpu_count; 6: preempt_point

struct host_thread;	// opaque
struct host_lock;	// opaque: a short mutual-exclusion lock
struct host_cond;	// opaque: a condition waited on with a host_lock held

struct host_stat {
	uint64_t size;		// bytes (regular file or block device)
	bool is_block;		// host block device
	bool is_regular;
	bool is_dir;
};

// Statistics of the host file system holding a file, in units of bsize.
struct host_statfs {
	uint64_t type;		// the file system's magic number
	uint64_t bsize;
	uint64_t blocks;
	uint64_t bfree;		// free blocks
	uint64_t bavail;	// free blocks that unprivileged users may take
	uint64_t files;		// inodes
	uint64_t ffree;
	uint64_t namelen;	// longest file name
};

struct hostops {
	int version;

	// Threads.
	// Starts fn(arg) on a new host thread. Does not block. 0 or -errno.
	int (*thread_start)(host_thread **out, void (*fn)(void *), void *arg);
	// Waits for the thread to end and frees the handle. Blocks.
	void (*thread_join)(host_thread *t);
	// Gives up the processor. Does not block.
	void (*thread_yield)();
	// The processors this process's threads may run on. Does not block.
	int (*cpu_count)();

	// Short lock. lock() blocks only for as long as another holder keeps it.
	host_lock *(*lock_create)();
	void (*lock_destroy)(host_lock *l);
	void (*lock_acquire)(host_lock *l);
	void (*lock_release)(host_lock *l);

	// Condition. wait() blocks until signalled (spurious wake-ups allowed);
	// wait_until() also ends at the monotonic deadline and then returns false.
	host_cond *(*cond_create)();
	void (*cond_destroy)(host_cond *c);
	void (*cond_wait)(host_cond *c, host_lock *l);
	bool (*cond_wait_until)(host_cond *c, host_lock *l, uint64_t deadline_ns);
	void (*cond_broadcast)(host_cond *c);

	// Clocks. Do not block.
	uint64_t (*monotonic_ns)();
	int64_t (*wall_ns)();	// since the epoch
	// Sleeps the host thread for real time. Blocks.
	void (*sleep_ns)(uint64_t ns);

	// Memory. Do not block. aligned_alloc returns null on failure.
	void *(*aligned_alloc)(size_t align, size_t size);
	void (*aligned_free)(void *p);

	// Host files, by host descriptor. All may block. Results: >= 0 or -errno.
	int (*file_open)(const char *path, int kflags, int mode);	// kflags: kernel O_* bits
	// pread and pwrite move all n bytes unless the host stops: pread at the end of the
	// file, pwrite when the host takes no more (then the count moved, or -EIO if none).
	long (*file_pread)(int fd, void *buf, size_t n, uint64_t off);
	long (*file_pwrite)(int fd, const void *buf, size_t n, uint64_t off);
	int (*file_fsync)(int fd);
	int (*file_stat)(int fd, host_stat *st);
	int (*file_truncate)(int fd, uint64_t size);
	int (*file_statfs)(int fd, host_statfs *st);
	int (*file_close)(int fd);
	int (*file_unlink)(const char *path);
	int (*file_rename)(const char *from, const char *to);	// replaces `to`, as rename(2)
	// flock(2) on the host descriptor: LOCK_SH/LOCK_EX/LOCK_UN, | LOCK_NB to not wait.
	// Locks belong to the descriptor, so two opens of one file exclude each other.
	int (*file_flock)(int fd, int op);
	// The next entries of a folder opened with O_DIRECTORY, as linux_dirent64 records:
	// bytes filled, 0 at the end.
	long (*file_getdents)(int fd, void *buf, size_t n);

	// Console: writes to the host's standard error. May block briefly.
	void (*console_write)(const char *s, size_t n);
	// A point where another thread may be run first: nothing on a real host (its
	// scheduler preempts anywhere), a decision of the deterministic one. Does not block.
	void (*preempt_point)();

	// Ends the host process at once with a message. Does not return (call it through
	// host::panic, which says so to the compiler).
	void (*panic)(const char *msg);
};

// The table in force. Defaults to the POSIX one.
const hostops &ops();
// Installs another table (before boot). Returns the previous one.
const hostops *host_install(const hostops *table);
const hostops &posix_ops();

[[noreturn]] inline void panic(const char *msg)
{
	ops().panic(msg);
	__builtin_trap();
}

} // namespace kern::host

namespace kern {
// The host table in force, as kernel code calls it.
inline const host::hostops &H() { return host::ops(); }
} // namespace kern
