// Temporary: replaced by uaccess.cpp, fs.cpp and module.cpp.
#include "kernel/fs.h"
#include "kernel/internal.h"
#include "kernel/module.h"
#include "kernel/uaccess.h"

namespace kern {
struct mm_struct {
	int dummy;
};
mm_struct *mm_alloc() { return new mm_struct{}; }
void mmput(mm_struct *mm) { delete mm; }
void exit_mm(task_struct *t)
{
	if (t->mm)
		mmput(t->mm);
	t->mm = nullptr;
}
mm_struct *copy_mm_for(task_struct *) { return mm_alloc(); }
files_struct *files_alloc()
{
	auto *f = new files_struct{};
	atomic_set(&f->count, 1);
	return f;
}
void put_files_struct(files_struct *f)
{
	if (atomic_dec_and_test(&f->count))
		delete f;
}
void exit_files(task_struct *t)
{
	if (t->files)
		put_files_struct(t->files);
	t->files = nullptr;
}
files_struct *dup_files_for(task_struct *parent, bool share)
{
	if (share && parent->files) {
		atomic_inc(&parent->files->count);
		return parent->files;
	}
	return files_alloc();
}
void fs_halt(std::vector<std::string> *) {}
void fs_boot() {}	// (the temporary node map below is emptied by the disks at halt)
void module_halt(std::vector<std::string> *) {}
module_registrar::module_registrar(module *) {}
int do_insmod(const std::string &) { return -ENOENT; }
int do_rmmod(const std::string &) { return -ENOENT; }
} // namespace kern

// ---- Temporary, for the block layer's own tests until uaccess.cpp, fs.cpp and module.cpp
// land: kernel addresses (>= TASK_SIZE, reachable with KERNEL_DS) are copied directly,
// anything else faults; nodes live in a map; module references are plain counters.
#include <cstring>
#include <map>

#include "kernel/host/hostops.h"

namespace kern {
namespace {
struct tmp_nodes {
	host::host_lock *lock = host::ops().lock_create();
	std::map<std::string, std::pair<umode_t, dev_t>> nodes;
};
tmp_nodes &nodes()
{
	static tmp_nodes *n = new tmp_nodes;
	return *n;
}
bool kernel_range(const void *p, unsigned long n)
{
	auto a = reinterpret_cast<unsigned long>(p);
	return a >= TASK_SIZE && a + n >= a && a + n - 1 <= get_fs();
}
} // namespace

bool access_ok(int, const void __user *addr, unsigned long size) { return kernel_range(addr, size); }

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n, std::source_location loc)
{
	might_sleep(loc);
	if (!kernel_range(from, n)) {
		std::memset(to, 0, n);
		return n;
	}
	std::memcpy(to, from, n);
	return 0;
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n, std::source_location loc)
{
	might_sleep(loc);
	if (!kernel_range(to, n))
		return n;
	std::memcpy(to, from, n);
	return 0;
}

int dev_node_add(const std::string &name, umode_t type, dev_t dev)
{
	auto &n = nodes();
	host::ops().lock_acquire(n.lock);
	bool ok = n.nodes.emplace(name, std::make_pair(type, dev)).second;
	host::ops().lock_release(n.lock);
	return ok ? 0 : -EEXIST;
}

int dev_node_remove(const std::string &name)
{
	auto &n = nodes();
	host::ops().lock_acquire(n.lock);
	bool ok = n.nodes.erase(name) > 0;
	host::ops().lock_release(n.lock);
	return ok ? 0 : -ENOENT;
}

bool dev_node_lookup(const std::string &name, umode_t *type, dev_t *dev)
{
	auto &n = nodes();
	host::ops().lock_acquire(n.lock);
	auto it = n.nodes.find(name);
	bool ok = it != n.nodes.end();
	if (ok) {
		*type = it->second.first;
		*dev = it->second.second;
	}
	host::ops().lock_release(n.lock);
	return ok;
}

std::vector<std::string> dev_node_list()
{
	auto &n = nodes();
	std::vector<std::string> v;
	host::ops().lock_acquire(n.lock);
	for (auto &[k, _] : n.nodes)
		v.push_back(k);
	host::ops().lock_release(n.lock);
	return v;
}

bool try_module_get(module *m)
{
	if (m && !m->live)
		return false;
	if (m)
		atomic_inc(&m->refcnt);
	return true;
}
void module_put(module *m)
{
	if (m)
		atomic_dec(&m->refcnt);
}
int module_refcount(module *m) { return m ? atomic_read(&m->refcnt) : 0; }
} // namespace kern
