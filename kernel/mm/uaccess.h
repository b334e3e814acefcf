// User address spaces: each process has 32-bit addresses below TASK_SIZE, mapped by
// sys_mmap to zeroed memory. copy_from_user/copy_to_user return the bytes not copied.
#pragma once

#include "kernel/lib/srcloc.h"

#include "kernel/core/sched.h"
#include "kernel/lib/types.h"

namespace kern {

struct mm_struct;	// defined in mmap.cpp

using mm_segment_t = unsigned long;
inline mm_segment_t get_fs() { return get_current()->addr_limit; }
inline void set_fs(mm_segment_t fs) { get_current()->addr_limit = fs; }
inline mm_segment_t get_ds() { return KERNEL_DS; }

constexpr int VERIFY_READ = 0;
constexpr int VERIFY_WRITE = 1;

// Whether [addr, addr + size) lies below the caller's address limit.
bool access_ok(int type, const void __user *addr, unsigned long size);

// Both may sleep (a fault is served in process context). The return value is the
// number of bytes that could not be copied; copy_from_user zero-fills those.
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n,
			     kern::source_location loc = kern::source_location::current());
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n,
			   kern::source_location loc = kern::source_location::current());
unsigned long clear_user(void __user *to, unsigned long n);
long strncpy_from_user(char *dst, const char __user *src, long count);
// 0 or -EFAULT
int get_user_u32(u32 *val, const void __user *addr);
int put_user_u32(u32 val, void __user *addr);

// Address-space management (used by sys_mmap, process creation and exit). mm_alloc
// takes the record from the "mm_struct" cache and may sleep; null on failure.
mm_struct *mm_alloc();
void mmput(mm_struct *mm);
// Another user of mm (a thread of its process); returns mm.
mm_struct *mmget(mm_struct *mm);
// Maps `len` bytes (rounded up to pages) of zeroed memory; 0 or -errno in *err.
unsigned long mm_map(mm_struct *mm, unsigned long len, int *err);
int mm_unmap(mm_struct *mm, unsigned long addr, unsigned long len);
// Makes the mapped pages of [addr, addr + len) read-only, or writable again: 0, -EINVAL for
// an unaligned or out-of-range start, -ENOMEM when part of the range is not mapped.
int mm_protect(mm_struct *mm, unsigned long addr, unsigned long len, bool readonly);
// Bytes mapped now.
unsigned long mm_mapped_bytes(mm_struct *mm);
// Address spaces allocated and not yet freed (for the leak report at halt).
long mm_structs_live();

// Lowest address mm_map hands out: the first 256 MiB stay unmapped, so that small
// integers and the NULL page always fault.
constexpr unsigned long MMAP_BASE = 0x10000000ul;

// Kernel (host) memory starts here: a pointer below is a 32-bit user address even under
// KERNEL_DS (mm_boot checks that the host puts nothing of the kernel's below it).
static_assert(sizeof(void *) == 8, "kernel pointers are told from 32-bit user addresses by size");
constexpr unsigned long HOST_KERNEL_BASE = 1ul << 32;

// Visits [addr, addr + n) for reading or writing (VERIFY_READ, VERIFY_WRITE) as the caller sees it (its user space, or host memory at or
// above HOST_KERNEL_BASE under KERNEL_DS), calling fn(ctx, ptr, len) on each contiguous piece; fn
// returns how much of the piece it used, and less than len stops the walk. The result
// is the number of bytes handed over and used; a fault stops the walk too. No lock is
// held while fn runs (it may sleep, e.g. in host IO), and the memory it is given stays
// valid for that time even if another thread unmaps it. A write stops at a read-only page.
using user_walk_fn = unsigned long (*)(void *ctx, char *p, unsigned long len);
unsigned long user_walk(const void __user *addr, unsigned long n, int type, user_walk_fn fn, void *ctx);

// Converts a 32-bit user address to the pointer type kernel interfaces take.
inline void __user *uptr(unsigned long addr) { return reinterpret_cast<void __user *>(addr); }

} // namespace kern
