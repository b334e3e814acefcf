// The reboot chain: what drivers register to hear that the machine goes down.
#include "kernel/machine/reboot.h"

#include <atomic>

#include "kernel/locking/semaphore.h"

namespace kern {

namespace {

// A sleeping lock, since notifiers sleep while the chain is called. The task calling the
// chain holds it throughout; its notifiers' own (un)registrations go ahead under it.
semaphore *reboot_sem()
{
	static semaphore *s = [] {
		auto *sem = new semaphore;
		sema_init(sem, 1);
		return sem;
	}();
	return s;
}
notifier_block *reboot_notifier_list;
std::atomic<task_struct *> reboot_caller{nullptr};

template <typename Change> int reboot_chain_change(Change change)
{
	if (reboot_caller.load() == get_current())
		return change();
	down(reboot_sem());
	int ret = change();
	up(reboot_sem());
	return ret;
}

} // namespace

int register_reboot_notifier(notifier_block *nb)
{
	return reboot_chain_change([nb] { return notifier_chain_register(&reboot_notifier_list, nb); });
}

int unregister_reboot_notifier(notifier_block *nb)
{
	return reboot_chain_change([nb] { return notifier_chain_unregister(&reboot_notifier_list, nb); });
}

int reboot_notifier_call_chain(unsigned long val, void *v)
{
	down(reboot_sem());
	reboot_caller = get_current();
	int ret = notifier_call_chain(&reboot_notifier_list, val, v);
	reboot_caller = nullptr;
	up(reboot_sem());
	return ret;
}

void reboot_notifiers_boot()
{
	down(reboot_sem());
	reboot_notifier_list = nullptr;	// what an earlier machine left registered
	up(reboot_sem());
}

} // namespace kern
