// What a host program or a test calls to run the emulated machine.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kernel/drivers/block/disk.h"
#include "kernel/lib/types.h"

namespace kern {

struct boot_params {
	double clock_speed = 1.0;	// virtual time runs this many times real time
	int nr_cpus = 8;		// the configured maximum number of processors (NR_CPUS)
	bool printk_mirror = false;	// copy printk lines to the host's standard error
	// Runs the machine's threads one at a time, in an order drawn from this seed, on
	// virtual time: the same seed, the same interleaving and kernel log. Every thread
	// that touches the machine must then wait only through it.
	std::optional<std::uint64_t> seed;
};

struct halt_report {
	std::vector<std::string> problems;	// one line per leak or task left running
	bool clean() const { return problems.empty(); }
};

// One machine per host process at a time. The calling thread becomes process 1, "init".
void boot(const boot_params &p = {});
// Calls the reboot notifiers with SYS_HALT, ends every task (SIGKILL set pending even
// where it is ignored, then a grace period; a kernel thread only if it allowed SIGKILL),
// frees disks, nodes and files, and reports what was left: objects in slab caches,
// memory, pages, tasks alive. Tasks still running are set apart (the next boot's pids
// stay clear of theirs); while any runs, the disks and files they may use are kept.
halt_report halt();
bool booted();
const boot_params &boot_parameters();

// Modules (run in a process named "insmod"/"rmmod").
int insmod(const std::string &module);
int rmmod(const std::string &module);	// -EBUSY while in use, -ENOENT when not loaded

// ---- disks ----
dev_t add_ramdisk(const std::string &name, int major, sector_t sectors, const disk_options & = {});
dev_t add_filedisk(const std::string &name, int major, const std::string &host_path,
		   const disk_options & = {});
dev_t add_partition(dev_t disk, int partno, sector_t start, sector_t nr_sects);
int remove_disk(dev_t disk);

// Per-disk controls for tests.
disk_stats get_disk_stats(dev_t disk);
// Bios touching [start, start + count) (whole-disk sectors) of the given direction
// (0 read, 1 write, -1 both) end with -EIO.
void disk_set_eio(dev_t disk, sector_t start, sector_t count, int rw = -1);
void disk_clear_eio(dev_t disk);
void disk_set_delay(dev_t disk, unsigned usec);	// real time added to each bio
void disk_hold_completions(dev_t disk, bool hold);	// held until released
int disk_release_completions(dev_t disk);		// completes the held ones; their number
// Reads or writes the disk's medium directly (bypassing the block layer), for checks.
int disk_peek(dev_t disk, sector_t sector, void *buf, size_t bytes);
int disk_poke(dev_t disk, sector_t sector, const void *buf, size_t bytes);

// ---- mounts: gives the device a super block ----
// mount holds the device open as a process holding its node open would: the disk's open
// runs in the calling task and its module stays referenced until umount, whose caller
// runs the release. 0, -EINVAL, -ENXIO (no such device, or its driver's module is not
// live), -EBUSY (mounted, or a disk and one of its partitions), or the disk's open error.
int mount(dev_t dev);
int umount(dev_t dev);	// 0, or -EINVAL when nothing is mounted there

// ---- processes ----
pid_t spawn(const std::string &comm, std::function<int()> body);
int waitpid(pid_t pid);		// the exit code (128 + signal when killed); -ECHILD if unknown
int kill(pid_t pid, int sig);
// The calling host thread becomes a thread of process pid, as one the process made with
// shared memory and files: its descriptors and mappings are the process's. It stays so
// until the host thread ends (or calls this again). 0, or -ESRCH.
int enter_process(pid_t pid, const std::string &comm);
// The calling host thread leaves the machine: its task (entered or adopted) goes now, not
// when the thread ends, which may be after a halt.
void leave_process();

// ---- log ----
std::vector<std::string> dmesg();	// "<level>text" lines, oldest first

// ---- user memory of the calling process ----
int user_write(unsigned long addr, const void *src, size_t n);	// 0 or -EFAULT
int user_read(unsigned long addr, void *dst, size_t n);		// 0 or -EFAULT

} // namespace kern
