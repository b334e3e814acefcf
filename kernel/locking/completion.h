// Completions: one side waits until the other says it is done.
#pragma once

#include "kernel/locking/wait.h"

namespace kern {

struct completion {
	unsigned done = 0;
	wait_queue_head_t wait;
};
#define COMPLETION_INITIALIZER(w) ::kern::completion{0, __WAIT_QUEUE_HEAD_INITIALIZER((w).wait)}
#define DECLARE_COMPLETION(w) ::kern::completion w = COMPLETION_INITIALIZER(w)
void init_completion(completion *x);
inline void INIT_COMPLETION(completion &x) { x.done = 0; }
void complete(completion *x);
void complete_all(completion *x);
// Completes x and ends the calling kernel thread without returning to its caller: a
// module's thread that its unload waits for must not run the module's code after it.
[[noreturn]] void complete_and_exit(completion *x, long code);
void wait_for_completion(completion *x, kern::source_location loc = kern::source_location::current());
// 0 on timeout, else the jiffies left (at least 1).
unsigned long wait_for_completion_timeout(completion *x, unsigned long timeout,
					  kern::source_location loc = kern::source_location::current());
// 0, or -ERESTARTSYS on a signal.
int wait_for_completion_interruptible(completion *x,
				      kern::source_location loc = kern::source_location::current());

} // namespace kern
