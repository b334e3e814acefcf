// Compiled-in modules, loaded and unloaded by name.
//
// As in 2.6.9 a module is "coming" while its init runs (references can already be
// taken, e.g. by threads it starts), live once init succeeded, and "going" from the
// moment rmmod has decided to unload it: from then on try_module_get fails. The
// decision and try_module_get are serialised by a short lock, so a reference cannot
// slip in between rmmod's check of the count and the start of exit.
#include <algorithm>
#include <set>

#include "kernel/host/hostops.h"
#include "kernel/core/module.h"
#include "kernel/core/printk.h"
#include "kernel/core/sched.h"

namespace kern {

namespace {

struct module_table {
	std::vector<module *> all;	// registered at program start, never removed
	host::host_lock *lock;		// state changes and try_module_get
	std::set<module *> coming;	// init running
	std::set<module *> busy;	// insmod or rmmod in progress
};

module_table &table()
{
	static module_table *t = [] {
		auto *mt = new module_table;
		mt->lock = host::ops().lock_create();
		return mt;
	}();
	return *t;
}

} // namespace

module_registrar::module_registrar(module *m)
{
	INIT_LIST_HEAD(&m->list);
	atomic_set(&m->refcnt, 0);
	m->live = false;
	table().all.push_back(m);
}

module *find_module(const std::string &name)
{
	for (module *m : table().all)
		if (name == m->name)
			return m;
	return nullptr;
}

std::vector<std::string> module_names()
{
	std::vector<std::string> names;
	for (module *m : table().all)
		names.emplace_back(m->name);
	return names;
}

bool try_module_get(module *m)
{
	if (!m)
		return true;
	auto &t = table();
	H().lock_acquire(t.lock);
	bool ok = m->live || t.coming.count(m);
	if (ok)
		atomic_inc(&m->refcnt);
	H().lock_release(t.lock);
	return ok;
}

void module_put(module *m)
{
	if (!m)
		return;
	if (atomic_dec_return(&m->refcnt) < 0) {
		atomic_inc(&m->refcnt);
		printk(KERN_ERR "module_put: %s: reference count underflow\n", m->name);
	}
}

int module_refcount(module *m) { return m ? atomic_read(&m->refcnt) : 0; }

int do_insmod(const std::string &name)
{
	module *m = find_module(name);
	if (!m)
		return -ENOENT;
	auto &t = table();
	H().lock_acquire(t.lock);
	if (m->live || t.busy.count(m)) {
		H().lock_release(t.lock);
		return -EEXIST;
	}
	t.busy.insert(m);
	t.coming.insert(m);
	atomic_set(&m->refcnt, 0);	// nothing of an earlier machine holds it now
	H().lock_release(t.lock);

	int ret = m->init ? m->init() : 0;

	H().lock_acquire(t.lock);
	t.coming.erase(m);
	t.busy.erase(m);
	if (ret >= 0) {
		m->live = true;
		ret = 0;
	}
	H().lock_release(t.lock);
	if (ret < 0 && module_refcount(m))
		printk(KERN_WARNING "%s: init failed (%d) with %d references left\n", m->name, ret,
		       module_refcount(m));
	return ret;
}

int do_rmmod(const std::string &name)
{
	module *m = find_module(name);
	if (!m)
		return -ENOENT;
	auto &t = table();
	H().lock_acquire(t.lock);
	if (!m->live || t.busy.count(m)) {
		H().lock_release(t.lock);
		return -ENOENT;
	}
	if (atomic_read(&m->refcnt) > 0) {
		H().lock_release(t.lock);
		return -EBUSY;
	}
	m->live = false;	// going: no new references from here on
	t.busy.insert(m);
	H().lock_release(t.lock);

	if (m->exit)
		m->exit();

	H().lock_acquire(t.lock);
	t.busy.erase(m);
	H().lock_release(t.lock);
	return 0;
}

std::vector<std::string> loaded_modules()
{
	std::vector<std::string> names;
	auto &t = table();
	H().lock_acquire(t.lock);
	for (module *m : t.all)
		if (m->live)
			names.emplace_back(m->name);
	H().lock_release(t.lock);
	return names;
}

void module_halt(std::vector<std::string> *problems)
{
	auto &t = table();
	H().lock_acquire(t.lock);
	for (module *m : t.all) {
		if (m->live && problems)
			problems->push_back(std::string("module ") + m->name + " still loaded");
		// The next machine starts with every module unloaded. Files of tasks that
		// end after this still drop their references, so the count stays as it is
		// until the next insmod.
		m->live = false;
	}
	t.coming.clear();
	t.busy.clear();
	H().lock_release(t.lock);
}

} // namespace kern
