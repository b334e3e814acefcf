// Copies between user memory and the kernel, over the address-space walk of mmap.cpp.
#include "kernel/mm/uaccess.h"

#include <cstring>

namespace kern {

bool access_ok(int type, const void __user *addr, unsigned long size)
{
	unsigned long limit = get_current()->addr_limit;
	unsigned long a = reinterpret_cast<unsigned long>(addr);
	if (limit == KERNEL_DS)
		return true;
	return a <= limit && size <= limit - a;
}

namespace {

struct copy_ctx {
	char *kbuf;
	bool to_user;
};

unsigned long copy_piece(void *c, char *p, unsigned long len)
{
	auto *cc = static_cast<copy_ctx *>(c);
	if (cc->to_user)
		std::memcpy(p, cc->kbuf, len);
	else
		std::memcpy(cc->kbuf, p, len);
	cc->kbuf += len;
	return len;
}

unsigned long clear_piece(void *, char *p, unsigned long len)
{
	std::memset(p, 0, len);
	return len;
}

struct strncpy_ctx {
	char *dst;
	long left;
	long copied;
	bool found;
};

unsigned long strncpy_piece(void *c, char *p, unsigned long len)
{
	auto *sc = static_cast<strncpy_ctx *>(c);
	unsigned long take = min_t(len, static_cast<unsigned long>(sc->left));
	const void *nul = std::memchr(p, 0, take);
	if (nul)
		take = static_cast<unsigned long>(static_cast<const char *>(nul) - p) + 1;
	std::memcpy(sc->dst + sc->copied, p, take);
	sc->copied += static_cast<long>(take);
	sc->left -= static_cast<long>(take);
	if (nul) {
		sc->found = true;
		return 0;	// stop
	}
	return sc->left ? take : 0;
}

} // namespace

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n, kern::source_location loc)
{
	might_sleep(loc);
	copy_ctx cc{static_cast<char *>(to), false};
	unsigned long done = user_walk(from, n, VERIFY_READ, copy_piece, &cc);
	if (done < n)
		std::memset(static_cast<char *>(to) + done, 0, n - done);
	return n - done;
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n, kern::source_location loc)
{
	might_sleep(loc);
	copy_ctx cc{const_cast<char *>(static_cast<const char *>(from)), true};
	return n - user_walk(to, n, VERIFY_WRITE, copy_piece, &cc);
}

unsigned long clear_user(void __user *to, unsigned long n)
{
	might_sleep();
	return n - user_walk(to, n, VERIFY_WRITE, clear_piece, nullptr);
}

long strncpy_from_user(char *dst, const char __user *src, long count)
{
	might_sleep();
	if (count <= 0)
		return 0;
	strncpy_ctx sc{dst, count, 0, false};
	user_walk(src, static_cast<unsigned long>(count), VERIFY_READ, strncpy_piece, &sc);
	if (sc.found)
		return sc.copied - 1;
	if (sc.copied == count)
		return count;	// no terminator within count bytes, as the kernel does
	return -EFAULT;
}

int get_user_u32(u32 *val, const void __user *addr)
{
	return copy_from_user(val, addr, sizeof(*val)) ? -EFAULT : 0;
}

int put_user_u32(u32 val, void __user *addr)
{
	return copy_to_user(addr, &val, sizeof(val)) ? -EFAULT : 0;
}

} // namespace kern
