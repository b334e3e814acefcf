// System calls made while releasing something, where nothing may throw.
#pragma once

#include "kernel/core/sched.h"

namespace zep {

// Runs call, which makes system calls. A fatal signal pending for the process makes a call
// throw after it has done its work; here the throw is dropped and the signal stays pending,
// so it ends the process at its next call (or the process ends anyway, closing what it held).
template <typename F> void quietly(F &&call) noexcept
{
	try {
		call();
	} catch (const kern::task_killed &) {
	}
}

} // namespace zep
