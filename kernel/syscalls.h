// The system calls of emulated processes.
#pragma once

#include "kernel/machine/syscalls.h"
