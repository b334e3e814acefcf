// The emulated machine as a `zep` command runs it: booted for the command, host image files
// attached as disks, a partition, a mount, the driver, agent processes; at the end the
// driver unloaded, the mount undone and the machine halted, where anything left over is an
// error. Host code: it checks the host image files before the machine sees them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <array>
#include <string>

#include "agent/result.h"
#include "kernel/machine.h"
#include "kernel/lib/types.h"

namespace zep {

constexpr uint64_t SECTOR = 512;

// A host image file as the machine will see it.
struct host_image {
	std::string path;	// absolute
	uint64_t size = 0;	// bytes, whole sectors
	std::array<int64_t, 5> fingerprint{};	// size, mtime and ctime when inspected
};

// Checks a host image file or block device before it is attached (read-only): usage when
// it is missing, empty, neither a file nor a device, or not whole sectors; io when it cannot
// be opened for reading. `what` names it in messages ("image").
result<host_image> inspect_image(const std::string &path, const std::string &what);
// invalidated when another process holds a write lock on the image (fcntl, OFD or flock).
result<void> not_write_locked(const host_image &img);
// invalidated when an image file's size, mtime or ctime moved since it was inspected, or it
// is locked for writing.
result<void> unchanged_since(const host_image &img);

// A partition of a disk, in 512-byte sectors.
struct partition_spec {
	uint64_t start = 0;
	uint64_t sectors = 0;
};

// "START:SECTORS", checked against an image of image_size bytes: usage when it is
// malformed or does not lie within the image.
result<partition_spec> parse_partition(const std::string &text, uint64_t image_size);

struct machine_options {
	bool verbose = false;	// mirror the kernel log to standard error
	std::function<void()> after_boot;
};

class machine_run {
public:
	explicit machine_run(const machine_options &o);
	machine_run(const machine_run &) = delete;
	machine_run &operator=(const machine_run &) = delete;
	~machine_run();	// halts, if finish() did not

	// A file-backed disk /dev/<name> on the image (never created nor resized).
	result<kern::dev_t> attach_image(const std::string &name, const host_image &img);
	// Partition `number` of disk, /dev/<disk name><number>.
	result<kern::dev_t> add_partition(kern::dev_t disk, const partition_spec &p, int number = 1);
	result<void> mount(kern::dev_t dev);
	// The control node /dev/zepdriver and the driver.
	result<void> load_driver();

	// Runs fn in a new process named comm and waits for it: fn's result, or an error when
	// the process could not be started or was ended before fn returned.
	template <typename T>
	result<T> in_process(const std::string &comm, const std::function<result<T>()> &fn)
	{
		std::optional<result<T>> out;
		auto failed = run_process(comm, [&] { out.emplace(fn()); });
		if (failed)
			return *failed;
		return std::move(*out);
	}

	// Unloads the driver, unmounts, halts: other, naming what was left over, when the
	// machine did not end clean.
	result<void> finish();

private:
	std::optional<error> run_process(const std::string &comm, const std::function<void()> &body);
	// The kernel log's lines since the last call that contain `needle`, joined: why a
	// machine call that answers only 0 failed.
	std::string log_lines(const std::string &needle);

	bool halted_ = false, loaded_ = false;
	kern::dev_t mounted_ = 0;
	size_t log_seen_ = 0;
};

// Boots a machine, runs steps on it and ends it: the steps' result, or the end's error
// when the steps succeeded but the machine did not end clean.
template <typename T>
result<T> on_machine(const machine_options &o, const std::function<result<T>(machine_run &)> &steps)
{
	machine_run m(o);
	result<T> r = steps(m);
	result<void> end = m.finish();
	if (r && !end)
		return end.err();
	return r;
}

} // namespace zep
