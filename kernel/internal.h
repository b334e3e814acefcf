// Hooks between the kernel's own layers (not for drivers).
#pragma once

#include <string>
#include <vector>

namespace kern {

struct task_struct;

// Teardown at halt: each frees what its layer still holds and reports leaks.
void blk_halt(std::vector<std::string> *problems);	// disks, queues, block devices
void fs_halt(std::vector<std::string> *problems);	// nodes, character devices, open files
void module_halt(std::vector<std::string> *problems);	// modules still loaded
void blk_boot();
void fs_boot();
void reboot_notifiers_boot();	// empties the reboot chain

} // namespace kern
