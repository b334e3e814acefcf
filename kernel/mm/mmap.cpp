// User address spaces, and the walk over a user range that the copies are built on.
//
// An address space is a set of page-granular areas, each a window on a backing block
// of kernel memory (vmalloc, so that halt counts what is left). Areas are kept sorted
// by start under the space's own short host lock; a walk looks an area up under the
// lock, pins its backing block and hands it over with the lock dropped, so copies of
// different processes never wait on each other and an munmap racing with a copy
// cannot free the memory under it.
#include "kernel/mm/uaccess.h"

#include <atomic>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "kernel/host/hostops.h"
#include "kernel/mm/internal.h"

namespace kern {

namespace {

// The memory behind a mapping. Areas cut out of one mapping share it; it is freed
// when the last area and the last copy in progress let go.
struct user_backing {
	void *mem;
	std::atomic<int> refs;
};

struct vm_area_struct {
	unsigned long vm_start;
	unsigned long vm_end;
	user_backing *backing;
	unsigned long offset;	// of vm_start within the backing block
	bool readonly;		// mprotect without PROT_WRITE: a write into it faults
};

std::atomic<long> nr_mm_structs{0};

void backing_put(user_backing *b)
{
	if (b->refs.fetch_sub(1) == 1) {
		vfree(b->mem);
		delete b;
	}
}

constexpr unsigned long page_align(unsigned long len) { return (len + PAGE_SIZE - 1) & PAGE_MASK; }

} // namespace

struct mm_struct {
	host::host_lock *lock;
	std::map<unsigned long, vm_area_struct> areas;	// by vm_start
	unsigned long mapped;
	atomic_t mm_users;
};

namespace {

// The area holding addr, or null. Caller holds mm->lock.
vm_area_struct *find_vma(mm_struct *mm, unsigned long addr)
{
	auto it = mm->areas.upper_bound(addr);
	if (it == mm->areas.begin())
		return nullptr;
	--it;
	return addr < it->second.vm_end ? &it->second : nullptr;
}

std::atomic<kmem_cache_t *> mm_cachep{nullptr};

} // namespace

void mmap_boot() { mm_cachep.store(kmem_cache_get("mm_struct", sizeof(mm_struct))); }
void mmap_halt() { kernel_cache_halt(&mm_cachep); }

mm_struct *mm_alloc()
{
	kmem_cache_t *c = mm_cachep.load();
	void *mem = c ? kmem_cache_alloc(c, GFP_KERNEL) : nullptr;
	if (!mem)
		return nullptr;
	auto *mm = new (mem) mm_struct;
	mm->lock = H().lock_create();
	mm->mapped = 0;
	atomic_set(&mm->mm_users, 1);
	nr_mm_structs++;
	return mm;
}

void mmput(mm_struct *mm)
{
	if (!mm || !atomic_dec_and_test(&mm->mm_users))
		return;
	for (auto &[start, vma] : mm->areas)
		backing_put(vma.backing);
	H().lock_destroy(mm->lock);
	mm->~mm_struct();
	kmem_cache_free(mm_cachep.load(), mm);
	nr_mm_structs--;
}

long mm_structs_live() { return nr_mm_structs.load(); }

mm_struct *mmget(mm_struct *mm)
{
	if (mm)
		atomic_inc(&mm->mm_users);
	return mm;
}

void exit_mm(task_struct *t)
{
	task_lock(t);	// enter_process takes a share under it
	mm_struct *mm = t->mm;
	t->mm = nullptr;
	task_unlock(t);
	mmput(mm);
}

// A new process starts with an empty address space of its own (no fork semantics).
mm_struct *copy_mm_for(task_struct *parent) { return mm_alloc(); }

unsigned long mm_map(mm_struct *mm, unsigned long len, int *err)
{
	int dummy;
	if (!err)
		err = &dummy;
	if (!mm) {
		*err = -EFAULT;
		return 0;
	}
	if (len == 0) {
		*err = -EINVAL;
		return 0;
	}
	if (len > TASK_SIZE - MMAP_BASE) {
		*err = -ENOMEM;
		return 0;
	}
	len = page_align(len);
	void *mem = vmalloc(len);
	if (!mem) {
		*err = -ENOMEM;
		return 0;
	}
	std::memset(mem, 0, len);

	// First fit from MMAP_BASE, keeping an unmapped guard page on either side of every
	// area so that running off the end of a buffer faults instead of reaching the next.
	H().lock_acquire(mm->lock);
	unsigned long cand = MMAP_BASE;
	for (auto &[start, vma] : mm->areas) {
		if (vma.vm_end + PAGE_SIZE <= cand)
			continue;
		if (cand + len + PAGE_SIZE <= start)
			break;
		cand = max_t(cand, vma.vm_end + PAGE_SIZE);
	}
	if (cand + len > TASK_SIZE) {
		H().lock_release(mm->lock);
		vfree(mem);
		*err = -ENOMEM;
		return 0;
	}
	auto *b = new user_backing{mem, {1}};
	mm->areas[cand] = vm_area_struct{cand, cand + len, b, 0, false};
	mm->mapped += len;
	H().lock_release(mm->lock);
	*err = 0;
	return cand;
}

int mm_unmap(mm_struct *mm, unsigned long addr, unsigned long len)
{
	if (!mm)
		return -EFAULT;
	if ((addr & ~PAGE_MASK) || len == 0 || addr >= TASK_SIZE || len > TASK_SIZE - addr)
		return -EINVAL;
	unsigned long end = page_align(addr + len);
	std::vector<user_backing *> drop;

	H().lock_acquire(mm->lock);
	auto it = mm->areas.upper_bound(addr);
	if (it != mm->areas.begin() && std::prev(it)->second.vm_end > addr)
		--it;
	while (it != mm->areas.end() && it->second.vm_start < end) {
		vm_area_struct vma = it->second;
		it = mm->areas.erase(it);
		mm->mapped -= vma.vm_end - vma.vm_start;
		// What lies outside [addr, end) stays mapped, on the same backing block.
		if (vma.vm_start < addr) {
			vma.backing->refs++;
			mm->areas[vma.vm_start] = vm_area_struct{vma.vm_start, addr, vma.backing, vma.offset,
								 vma.readonly};
			mm->mapped += addr - vma.vm_start;
		}
		if (vma.vm_end > end) {
			vma.backing->refs++;
			mm->areas[end] = vm_area_struct{end, vma.vm_end, vma.backing,
							vma.offset + (end - vma.vm_start), vma.readonly};
			mm->mapped += vma.vm_end - end;
			it = mm->areas.find(end);
			++it;
		}
		drop.push_back(vma.backing);
	}
	H().lock_release(mm->lock);
	for (user_backing *b : drop)
		backing_put(b);
	return 0;	// as munmap: unmapping nothing is not an error
}

int mm_protect(mm_struct *mm, unsigned long addr, unsigned long len, bool readonly)
{
	if (!mm)
		return -EFAULT;
	if ((addr & ~PAGE_MASK) || addr >= TASK_SIZE || len > TASK_SIZE - addr)
		return -EINVAL;
	unsigned long end = page_align(addr + len);
	H().lock_acquire(mm->lock);
	// All of the range must be mapped, as for mprotect(2); nothing changes otherwise.
	for (unsigned long a = addr; a < end;) {
		vm_area_struct *vma = find_vma(mm, a);
		if (!vma) {
			H().lock_release(mm->lock);
			return -ENOMEM;
		}
		a = vma->vm_end;
	}
	// Areas that reach out of the range are cut at its edges, on the same backing block.
	for (unsigned long edge : {addr, end}) {
		vm_area_struct *vma = find_vma(mm, edge);
		if (!vma || vma->vm_start == edge)
			continue;
		vm_area_struct tail{edge, vma->vm_end, vma->backing, vma->offset + (edge - vma->vm_start),
				    vma->readonly};
		vma->vm_end = edge;
		tail.backing->refs++;
		mm->areas[edge] = tail;
	}
	for (auto it = mm->areas.lower_bound(addr); it != mm->areas.end() && it->first < end; ++it)
		it->second.readonly = readonly;
	H().lock_release(mm->lock);
	return 0;
}

unsigned long mm_mapped_bytes(mm_struct *mm)
{
	if (!mm)
		return 0;
	H().lock_acquire(mm->lock);
	unsigned long n = mm->mapped;
	H().lock_release(mm->lock);
	return n;
}

unsigned long user_walk(const void __user *addr, unsigned long n, int type, user_walk_fn fn, void *ctx)
{
	task_struct *t = get_current();
	unsigned long a = reinterpret_cast<unsigned long>(addr);
	unsigned long limit = t->addr_limit;
	if (n == 0)
		return 0;

	// Under KERNEL_DS a kernel pointer is host memory, and on this 64-bit host that
	// lies at or above 4 GiB (heap, stacks, mappings and the position-independent image
	// all sit there). Every address below is a 32-bit one: user space up to TASK_SIZE,
	// and [TASK_SIZE, 4 GiB) is the kernel's half of a 32-bit machine, which no
	// process here has mapped: it faults like any unmapped user address.
	if (limit > TASK_SIZE && a >= HOST_KERNEL_BASE)
		return fn(ctx, reinterpret_cast<char *>(a), n);

	unsigned long top = min_t(limit, TASK_SIZE);
	unsigned long done = 0;
	mm_struct *mm = t->mm;
	while (done < n && mm) {
		unsigned long cur = a + done;
		if (cur >= top)
			break;
		H().lock_acquire(mm->lock);
		vm_area_struct *vma = find_vma(mm, cur);
		if (!vma || (type == VERIFY_WRITE && vma->readonly)) {
			H().lock_release(mm->lock);
			break;
		}
		user_backing *b = vma->backing;
		b->refs++;
		char *p = static_cast<char *>(b->mem) + vma->offset + (cur - vma->vm_start);
		unsigned long len = min_t(vma->vm_end, top) - cur;
		H().lock_release(mm->lock);
		len = min_t(len, n - done);
		unsigned long used = fn(ctx, p, len);
		backing_put(b);
		done += used;
		if (used < len)
			break;
	}
	return done;
}

} // namespace kern
