// The reboot chain: what drivers register to hear that the machine goes down while their
// threads can still run.
#pragma once

#include "kernel/core/notifier.h"

namespace kern {

// Actions of the reboot chain.
constexpr unsigned long SYS_DOWN = 0x0001;
constexpr unsigned long SYS_RESTART = SYS_DOWN;
constexpr unsigned long SYS_HALT = 0x0002;
constexpr unsigned long SYS_POWER_OFF = 0x0003;

// The reboot chain. Its notifiers run in process context and may sleep; they may also
// (un)register reboot notifiers from their call. Registering may sleep. halt() calls the
// chain once with SYS_HALT before it unloads modules and kills tasks; every boot starts
// with an empty chain.
int register_reboot_notifier(notifier_block *nb);	// 0 or -EEXIST
int unregister_reboot_notifier(notifier_block *nb);	// 0 or -ENOENT
int reboot_notifier_call_chain(unsigned long val, void *v);

// Empties the chain at boot (of what an earlier machine left registered).
void reboot_notifiers_boot();

} // namespace kern
