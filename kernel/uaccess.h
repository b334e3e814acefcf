// User address spaces: each process has 32-bit addresses below TASK_SIZE, mapped by
// sys_mmap to zeroed memory. copy_from_user/copy_to_user return the bytes not copied.
#pragma once

#include <source_location>

#include "kernel/sched.h"
#include "kernel/types.h"

namespace kern {

struct mm_struct;	// defined in uaccess.cpp

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
			     std::source_location loc = std::source_location::current());
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n,
			   std::source_location loc = std::source_location::current());
unsigned long clear_user(void __user *to, unsigned long n);
long strncpy_from_user(char *dst, const char __user *src, long count);
// 0 or -EFAULT
int get_user_u32(u32 *val, const void __user *addr);
int put_user_u32(u32 val, void __user *addr);

// Address-space management (used by sys_mmap, process creation and exit).
mm_struct *mm_alloc();
void mmput(mm_struct *mm);
// Maps `len` bytes (rounded up to pages) of zeroed memory; 0 or -errno in *err.
unsigned long mm_map(mm_struct *mm, unsigned long len, int *err);
int mm_unmap(mm_struct *mm, unsigned long addr, unsigned long len);
// Bytes mapped now.
unsigned long mm_mapped_bytes(mm_struct *mm);

// Converts a 32-bit user address to the pointer type kernel interfaces take.
inline void __user *uptr(unsigned long addr) { return reinterpret_cast<void __user *>(addr); }

} // namespace kern
