// The configured maximum number of processors, from the boot parameters.
#pragma once

namespace kern {
int nr_cpus();
}
#define NR_CPUS (::kern::nr_cpus())
