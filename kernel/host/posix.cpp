// The POSIX implementation of the host boundary: real threads, real time, real files.
#include "kernel/host/hostops.h"

#include <cerrno>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace kern::host {

struct host_thread {
	pthread_t tid;
	void (*fn)(void *);
	void *arg;
};
struct host_lock {
	std::mutex m;
};
struct host_cond {
	std::condition_variable_any cv;
};

namespace {

void *thread_trampoline(void *p)
{
	auto *t = static_cast<host_thread *>(p);
	t->fn(t->arg);
	return nullptr;
}

int p_thread_start(host_thread **out, void (*fn)(void *), void *arg)
{
	auto *t = new (std::nothrow) host_thread{{}, fn, arg};
	if (!t)
		return -ENOMEM;
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	// Tasks run deep call chains (the block layer recurses through make-request functions).
	pthread_attr_setstacksize(&attr, 1u << 20);
	int rc = pthread_create(&t->tid, &attr, thread_trampoline, t);
	pthread_attr_destroy(&attr);
	if (rc) {
		delete t;
		return -rc;
	}
	*out = t;
	return 0;
}

void p_thread_join(host_thread *t)
{
	pthread_join(t->tid, nullptr);
	delete t;
}

void p_thread_yield() { sched_yield(); }

int p_cpu_count()
{
	cpu_set_t set;
	if (sched_getaffinity(0, sizeof(set), &set))
		return 1;
	int n = CPU_COUNT(&set);
	return n > 0 ? n : 1;
}

host_lock *p_lock_create() { return new host_lock; }
void p_lock_destroy(host_lock *l) { delete l; }
void p_lock_acquire(host_lock *l) { l->m.lock(); }
void p_lock_release(host_lock *l) { l->m.unlock(); }

host_cond *p_cond_create() { return new host_cond; }
void p_cond_destroy(host_cond *c) { delete c; }

// The caller holds l->m (locked through lock_acquire); adopt it for the wait.
void p_cond_wait(host_cond *c, host_lock *l) { c->cv.wait(l->m); }

bool p_cond_wait_until(host_cond *c, host_lock *l, uint64_t deadline_ns)
{
	auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline_ns));
	return c->cv.wait_until(l->m, deadline) == std::cv_status::no_timeout;
}

void p_cond_broadcast(host_cond *c) { c->cv.notify_all(); }

uint64_t p_monotonic_ns()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

int64_t p_wall_ns()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::system_clock::now().time_since_epoch())
		.count();
}

void p_sleep_ns(uint64_t ns)
{
	struct timespec ts = {static_cast<time_t>(ns / 1000000000ull),
			      static_cast<long>(ns % 1000000000ull)};
	while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
	}
}

void *p_aligned_alloc(size_t align, size_t size)
{
	void *p = nullptr;
	if (align < sizeof(void *))
		align = sizeof(void *);
	if (posix_memalign(&p, align, size ? size : 1))
		return nullptr;
	return p;
}

void p_aligned_free(void *p) { free(p); }

// Kernel O_* bits (i386 values) to the host's.
int host_flags(int k)
{
	int f = 0;
	switch (k & 3) {
	case 0: f = O_RDONLY; break;
	case 1: f = O_WRONLY; break;
	default: f = O_RDWR; break;
	}
	if (k & 0100)
		f |= O_CREAT;
	if (k & 0200)
		f |= O_EXCL;
	if (k & 01000)
		f |= O_TRUNC;
	if (k & 02000)
		f |= O_APPEND;
	if (k & 0200000)
		f |= O_DIRECTORY;
	return f | O_CLOEXEC;
}

int p_file_open(const char *path, int kflags, int mode)
{
	int fd = open(path, host_flags(kflags), mode);
	return fd < 0 ? -errno : fd;
}

long p_file_pread(int fd, void *buf, size_t n, uint64_t off)
{
	size_t done = 0;
	while (done < n) {
		ssize_t r = pread(fd, static_cast<char *>(buf) + done, n - done, off + done);
		if (r < 0) {
			if (errno == EINTR)
				continue;
			return done ? static_cast<long>(done) : -errno;
		}
		if (r == 0)
			break;
		done += r;
	}
	return static_cast<long>(done);
}

long p_file_pwrite(int fd, const void *buf, size_t n, uint64_t off)
{
	size_t done = 0;
	while (done < n) {
		ssize_t r = pwrite(fd, static_cast<const char *>(buf) + done, n - done, off + done);
		if (r < 0) {
			if (errno == EINTR)
				continue;
			return done ? static_cast<long>(done) : -errno;
		}
		// Nothing moved and no reason given: asking again would loop forever.
		if (r == 0)
			return done ? static_cast<long>(done) : -EIO;
		done += r;
	}
	return static_cast<long>(done);
}

int p_file_fsync(int fd) { return fsync(fd) ? -errno : 0; }

int p_file_stat(int fd, host_stat *st)
{
	struct stat sb;
	if (fstat(fd, &sb))
		return -errno;
	st->is_block = S_ISBLK(sb.st_mode);
	st->is_regular = S_ISREG(sb.st_mode);
	st->is_dir = S_ISDIR(sb.st_mode);
	st->size = static_cast<uint64_t>(sb.st_size);
	if (st->is_block) {
		uint64_t bytes = 0;
		if (ioctl(fd, BLKGETSIZE64, &bytes))
			return -errno;
		st->size = bytes;
	}
	return 0;
}

int p_file_truncate(int fd, uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)) ? -errno : 0; }

int p_file_statfs(int fd, host_statfs *st)
{
	struct statfs s;
	if (fstatfs(fd, &s))
		return -errno;
	st->type = static_cast<uint64_t>(s.f_type);
	st->bsize = static_cast<uint64_t>(s.f_bsize);
	st->blocks = s.f_blocks;
	st->bfree = s.f_bfree;
	st->bavail = s.f_bavail;
	st->files = s.f_files;
	st->ffree = s.f_ffree;
	st->namelen = static_cast<uint64_t>(s.f_namelen);
	return 0;
}

int p_file_close(int fd) { return close(fd) ? -errno : 0; }
int p_file_unlink(const char *path) { return unlink(path) ? -errno : 0; }
int p_file_rename(const char *from, const char *to) { return rename(from, to) ? -errno : 0; }

int p_file_flock(int fd, int op)
{
	int r;
	while ((r = flock(fd, op)) < 0 && errno == EINTR)
		;
	return r < 0 ? -errno : 0;
}

long p_file_getdents(int fd, void *buf, size_t n)
{
	long r = syscall(SYS_getdents64, fd, buf, n);
	return r < 0 ? -errno : r;
}

void p_console_write(const char *s, size_t n)
{
	while (n) {
		ssize_t w = write(2, s, n);
		if (w <= 0) {
			if (w < 0 && errno == EINTR)
				continue;
			return;
		}
		s += w;
		n -= static_cast<size_t>(w);
	}
}

[[noreturn]] void p_panic(const char *msg)
{
	p_console_write(msg, strlen(msg));
	p_console_write("\n", 1);
	abort();
}

void p_preempt_point() {}

const hostops posix_table = {
	HOSTOPS_VERSION,
	p_thread_start, p_thread_join, p_thread_yield, p_cpu_count,
	p_lock_create, p_lock_destroy, p_lock_acquire, p_lock_release,
	p_cond_create, p_cond_destroy, p_cond_wait, p_cond_wait_until, p_cond_broadcast,
	p_monotonic_ns, p_wall_ns, p_sleep_ns,
	p_aligned_alloc, p_aligned_free,
	p_file_open, p_file_pread, p_file_pwrite, p_file_fsync, p_file_stat, p_file_truncate,
	p_file_statfs, p_file_close, p_file_unlink, p_file_rename, p_file_flock, p_file_getdents,
	p_console_write, p_preempt_point, p_panic,
};

const hostops *installed = &posix_table;

} // namespace

const hostops &ops() { return *installed; }
const hostops &posix_ops() { return posix_table; }

const hostops *host_install(const hostops *table)
{
	const hostops *old = installed;
	installed = table ? table : &posix_table;
	return old;
}

} // namespace kern::host
