// Loadable modules: each module is compiled in and registered by name; insmod runs its
// init and rmmod its exit. Opening a device whose operations name a module as owner
// takes a reference, and rmmod refuses with -EBUSY while references exist.
#pragma once

#include <string>
#include <vector>

#include "kernel/lib/atomic.h"
#include "kernel/lib/list.h"

namespace kern {

struct module {
	const char *name;
	int (*init)(void);
	void (*exit)(void);
	atomic_t refcnt;
	bool live;	// init ran and succeeded, exit not yet run
	list_head list;
};

// Declares the module record of a driver: THIS_MODULE points at it.
#define DECLARE_THIS_MODULE(id) extern ::kern::module __this_module_##id
// Defines the record and registers it under `name` at program start.
#define DEFINE_MODULE(id, name, initfn, exitfn)                                                    \
	::kern::module __this_module_##id = {name, initfn, exitfn, {}, false, {nullptr, nullptr}}; \
	static ::kern::module_registrar __module_registrar_##id(&__this_module_##id)

struct module_registrar {
	explicit module_registrar(module *m);
};

// Whether a module was registered (linked into this program).
module *find_module(const std::string &name);
std::vector<std::string> module_names();
bool try_module_get(module *m);		// false when the module is not live
void module_put(module *m);
int module_refcount(module *m);

// Runs on the caller's task; the machine's insmod/rmmod wrap these in a process.
int do_insmod(const std::string &name);
int do_rmmod(const std::string &name);
// Names of modules still loaded.
std::vector<std::string> loaded_modules();
// At halt: modules still loaded become problems.
void module_halt(std::vector<std::string> *problems);

} // namespace kern
