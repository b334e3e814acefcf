// Basic kernel types and error numbers (i386 Linux 2.6.9 values).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#define __user
#define __iomem
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)

namespace kern {

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u64 = uint64_t;
using s8 = int8_t;
using s16 = int16_t;
using s32 = int32_t;
using s64 = int64_t;

using sector_t = u64;
using dev_t = u32;
using loff_t = long long;
using pid_t = int;
using gfp_t = unsigned int;
using mode_t = unsigned int;
using umode_t = unsigned short;
using ssize_t = long;

constexpr unsigned MINORBITS = 20;
constexpr dev_t MINORMASK = (1u << MINORBITS) - 1;
constexpr unsigned MAJOR(dev_t dev) { return dev >> MINORBITS; }
constexpr unsigned MINOR(dev_t dev) { return dev & MINORMASK; }
constexpr dev_t MKDEV(unsigned ma, unsigned mi) { return (ma << MINORBITS) | mi; }

constexpr unsigned PAGE_SHIFT = 12;
constexpr unsigned long PAGE_SIZE = 1ul << PAGE_SHIFT;
constexpr unsigned long PAGE_MASK = ~(PAGE_SIZE - 1);
constexpr unsigned PAGE_CACHE_SHIFT = PAGE_SHIFT;
constexpr unsigned long PAGE_CACHE_SIZE = PAGE_SIZE;

} // namespace kern

// errno values and open(2) flags are macros, as in the kernel; the host C library
// defines the same errno values on this architecture, so whichever comes first wins.
#ifndef EPERM
#define EPERM 1
#endif
#ifndef ENOENT
#define ENOENT 2
#endif
#ifndef ESRCH
#define ESRCH 3
#endif
#ifndef EINTR
#define EINTR 4
#endif
#ifndef EIO
#define EIO 5
#endif
#ifndef ENXIO
#define ENXIO 6
#endif
#ifndef E2BIG
#define E2BIG 7
#endif
#ifndef ENOEXEC
#define ENOEXEC 8
#endif
#ifndef EBADF
#define EBADF 9
#endif
#ifndef ECHILD
#define ECHILD 10
#endif
#ifndef EAGAIN
#define EAGAIN 11
#endif
#ifndef ENOMEM
#define ENOMEM 12
#endif
#ifndef EACCES
#define EACCES 13
#endif
#ifndef EFAULT
#define EFAULT 14
#endif
#ifndef ENOTBLK
#define ENOTBLK 15
#endif
#ifndef EBUSY
#define EBUSY 16
#endif
#ifndef EEXIST
#define EEXIST 17
#endif
#ifndef EXDEV
#define EXDEV 18
#endif
#ifndef ENODEV
#define ENODEV 19
#endif
#ifndef ENOTDIR
#define ENOTDIR 20
#endif
#ifndef EISDIR
#define EISDIR 21
#endif
#ifndef EINVAL
#define EINVAL 22
#endif
#ifndef ENFILE
#define ENFILE 23
#endif
#ifndef EMFILE
#define EMFILE 24
#endif
#ifndef ENOTTY
#define ENOTTY 25
#endif
#ifndef ETXTBSY
#define ETXTBSY 26
#endif
#ifndef EFBIG
#define EFBIG 27
#endif
#ifndef ENOSPC
#define ENOSPC 28
#endif
#ifndef ESPIPE
#define ESPIPE 29
#endif
#ifndef EROFS
#define EROFS 30
#endif
#ifndef EMLINK
#define EMLINK 31
#endif
#ifndef EPIPE
#define EPIPE 32
#endif
#ifndef EDOM
#define EDOM 33
#endif
#ifndef ERANGE
#define ERANGE 34
#endif
#ifndef EDEADLK
#define EDEADLK 35
#endif
#ifndef ENAMETOOLONG
#define ENAMETOOLONG 36
#endif
#ifndef ENOSYS
#define ENOSYS 38
#endif
#ifndef ENOTEMPTY
#define ENOTEMPTY 39
#endif
#ifndef ETIMEDOUT
#define ETIMEDOUT 110
#endif
#ifndef ERESTARTSYS
#define ERESTARTSYS 512
#endif

// mprotect(2) protections
#ifndef PROT_READ
#define PROT_READ 0x1
#endif
#ifndef PROT_WRITE
#define PROT_WRITE 0x2
#endif

// open(2) flags, i386 values
#ifndef O_RDONLY
#define O_RDONLY 0
#endif
#ifndef O_WRONLY
#define O_WRONLY 1
#endif
#ifndef O_RDWR
#define O_RDWR 2
#endif
#ifndef O_ACCMODE
#define O_ACCMODE 3
#endif
#ifndef O_CREAT
#define O_CREAT 0100
#endif
#ifndef O_EXCL
#define O_EXCL 0200
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0400
#endif
#ifndef O_TRUNC
#define O_TRUNC 01000
#endif
#ifndef O_APPEND
#define O_APPEND 02000
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 04000
#endif
#ifndef O_SYNC
#define O_SYNC 010000
#endif
#ifndef O_DIRECT
#define O_DIRECT 040000
#endif
#define KERN_O_LARGEFILE 0100000
#ifndef O_DIRECTORY
#define O_DIRECTORY 0200000
#endif
// flock(2)
#ifndef LOCK_SH
#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
#endif

namespace kern {

static_assert(EINTR == 4 && EIO == 5 && ENOMEM == 12 && EBUSY == 16 && ETIMEDOUT == 110);

template <typename T> constexpr T min_t(T a, T b) { return a < b ? a : b; }
template <typename T> constexpr T max_t(T a, T b) { return a > b ? a : b; }

#define container_of(ptr, type, member)                                                            \
	reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member))

#define IS_ERR_VALUE(x) ((unsigned long)(x) >= (unsigned long)-4095)
template <typename T> inline T *ERR_PTR(long err) { return reinterpret_cast<T *>(err); }
inline long PTR_ERR(const void *p) { return reinterpret_cast<long>(p); }
inline bool IS_ERR(const void *p) { return IS_ERR_VALUE(reinterpret_cast<unsigned long>(p)); }

} // namespace kern
