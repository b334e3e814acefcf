// The machine's contract for host programs and tests: boot, halt, disks, processes.
#pragma once

#include "kernel/machine/machine.h"
#include "kernel/host/machine_sync.h"
