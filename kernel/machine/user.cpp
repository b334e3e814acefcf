// User memory of the calling process, for code running in a process (agent, tests).
#include "kernel/machine/machine.h"
#include "kernel/mm/uaccess.h"

namespace kern {

namespace {

// Only user addresses: a kernel pointer is never what these are given, even when the
// caller happens to run under KERNEL_DS.
bool user_range(unsigned long addr, size_t n)
{
	return addr < TASK_SIZE && n <= TASK_SIZE - addr;
}

} // namespace

int user_write(unsigned long addr, const void *src, size_t n)
{
	if (!user_range(addr, n))
		return -EFAULT;
	return copy_to_user(uptr(addr), src, n) ? -EFAULT : 0;
}

int user_read(unsigned long addr, void *dst, size_t n)
{
	if (!user_range(addr, n))
		return -EFAULT;
	return copy_from_user(dst, uptr(addr), n) ? -EFAULT : 0;
}

} // namespace kern
