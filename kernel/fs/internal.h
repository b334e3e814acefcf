// Hooks between the parts of the file layer (not for drivers).
#pragma once

#include <string>
#include <vector>

#include "kernel/lib/types.h"

namespace kern {

struct file_operations;

// The operations registered for a character major, with a reference on their owner
// module taken under the registration lock (so rmmod cannot slip in); null when no
// driver has the major or its module is going away.
const file_operations *chrdev_get(unsigned major);
// Character devices still registered become problems; the table is emptied.
void chrdev_halt(std::vector<std::string> *problems);
void dev_nodes_clear();
// The f_mode of a file opened with these O_ flags.
mode_t fmode_of(int flags);

} // namespace kern
