// Notifier chains: a list of callbacks by priority, called in turn.
#pragma once

namespace kern {

struct notifier_block {
	int (*notifier_call)(notifier_block *self, unsigned long action, void *data);
	notifier_block *next;
	int priority;	// higher first; equal ones in the order registered
};

// What a notifier returns.
constexpr int NOTIFY_DONE = 0x0000;		// did not care
constexpr int NOTIFY_OK = 0x0001;		// handled it
constexpr int NOTIFY_STOP_MASK = 0x8000;	// call no further notifier
constexpr int NOTIFY_BAD = NOTIFY_STOP_MASK | 0x0002;
constexpr int NOTIFY_STOP = NOTIFY_OK | NOTIFY_STOP_MASK;

// Plain chains: the caller keeps registration and calls apart.
int notifier_chain_register(notifier_block **list, notifier_block *n);	// 0 or -EEXIST
int notifier_chain_unregister(notifier_block **list, notifier_block *n);	// 0 or -ENOENT
// Calls each notifier in turn with (val, v) until one returns a value with
// NOTIFY_STOP_MASK; the last value returned (NOTIFY_DONE for an empty chain). A notifier
// may unregister itself from its call.
int notifier_call_chain(notifier_block **list, unsigned long val, void *v);

} // namespace kern
