// The `zep` command.
//
// `zep demo` runs the machine end to end on an embedded default: a file-backed disk with
// a partition, a mounted file system on it, the driver loaded, several processes writing
// the partition while an agent process talks to the driver, and a byte-exact check of
// everything written. It prints what it did and exits non-zero on any mismatch or leak.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "backupdriver/zepdriver.h"
#include "kernel/fs.h"
#include "kernel/machine.h"
#include "kernel/printk.h"
#include "kernel/syscalls.h"

namespace {

int usage()
{
	std::fprintf(stderr, "usage: zep demo [--dir DIR] [--verbose]\n");
	return 2;
}

constexpr int WRITERS = 4;
constexpr size_t BLOCK = 4096;
constexpr int BLOCKS_PER_WRITER = 256;

// Deterministic content of block b written by writer w.
void fill_block(unsigned char *buf, int w, int b)
{
	uint32_t x = 0x9e3779b9u * static_cast<uint32_t>(w * 100003 + b + 1);
	for (size_t i = 0; i < BLOCK; i++) {
		x ^= x << 13;
		x ^= x >> 17;
		x ^= x << 5;
		buf[i] = static_cast<unsigned char>(x);
	}
}

int writer(const std::string &node, int w)
{
	int fd = kern::sys_open(node.c_str(), O_RDWR, 0);
	if (fd < 0)
		return 10;
	long mem = kern::sys_mmap(BLOCK);
	if (mem < 0)
		return 11;
	unsigned char buf[BLOCK];
	for (int b = 0; b < BLOCKS_PER_WRITER; b++) {
		fill_block(buf, w, b);
		kern::user_write(static_cast<unsigned long>(mem), buf, BLOCK);
		kern::loff_t off = static_cast<kern::loff_t>((b * WRITERS + w) * BLOCK);
		if (kern::sys_pwrite64(fd, static_cast<unsigned long>(mem), BLOCK, off) != static_cast<long>(BLOCK))
			return 12;
	}
	kern::sys_fsync(fd);
	kern::sys_close(fd);
	return 0;
}

int verifier(const std::string &node, int *bad)
{
	int fd = kern::sys_open(node.c_str(), O_RDONLY, 0);
	if (fd < 0)
		return 20;
	long mem = kern::sys_mmap(BLOCK);
	unsigned char want[BLOCK], got[BLOCK];
	for (int w = 0; w < WRITERS; w++)
		for (int b = 0; b < BLOCKS_PER_WRITER; b++) {
			kern::loff_t off = static_cast<kern::loff_t>((b * WRITERS + w) * BLOCK);
			if (kern::sys_pread64(fd, static_cast<unsigned long>(mem), BLOCK, off) != static_cast<long>(BLOCK))
				return 21;
			kern::user_read(static_cast<unsigned long>(mem), got, BLOCK);
			fill_block(want, w, b);
			if (std::memcmp(want, got, BLOCK))
				(*bad)++;
		}
	kern::sys_close(fd);
	return 0;
}

int agent(version_info *vi)
{
	int fd = kern::sys_open("/dev/" ZEP_CONTROL_NAME, O_RDWR, 0);
	if (fd < 0)
		return 30;
	long mem = kern::sys_mmap(4096);
	long r = kern::sys_ioctl(fd, ZEP_IOC_GET_VERSION, static_cast<unsigned long>(mem));
	kern::user_read(static_cast<unsigned long>(mem), vi, sizeof(*vi));
	kern::sys_close(fd);
	return r == 0 ? 0 : 31;
}

int demo(const std::string &dir, bool verbose)
{
	kern::boot_params p;
	p.clock_speed = 10;
	p.printk_mirror = verbose;
	kern::boot(p);
	int failures = 0;
	auto check = [&](bool ok, const char *what) {
		std::printf("%-58s %s\n", what, ok ? "ok" : "FAILED");
		if (!ok)
			failures++;
	};

	std::string image = dir + "/zep-demo-disk.img";
	kern::disk_options opts;
	opts.size_bytes = 64ull << 20;
	kern::dev_t disk = kern::add_filedisk("vda", 253, image, opts);
	check(disk != 0, "file-backed disk vda (64 MiB)");
	kern::dev_t part = kern::add_partition(disk, 1, 2048, (64ull << 20) / 512 - 2048);
	check(part != 0, "partition vda1");
	check(kern::mount(part) == 0, "file system mounted on vda1");
	check(kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)) == 0,
	      "control node /dev/zepdriver");
	check(kern::insmod("zepdriver") == 0, "driver loaded");

	std::vector<kern::pid_t> pids;
	for (int w = 0; w < WRITERS; w++)
		pids.push_back(kern::spawn("writer", [w] { return writer("/dev/vda1", w); }));
	version_info vi{};
	kern::pid_t ag = kern::spawn("cdpagent", [&vi] { return agent(&vi); });
	bool writes_ok = true;
	for (kern::pid_t pid : pids)
		writes_ok = kern::waitpid(pid) == 0 && writes_ok;
	check(writes_ok, "4 processes wrote 4 MiB through /dev/vda1");
	check(kern::waitpid(ag) == 0 && vi.build == ZEP_VERSION_BUILD, "agent read the driver version");
	std::printf("  driver version %llu.%llu.%llu build %llu\n",
		    static_cast<unsigned long long>(vi.major), static_cast<unsigned long long>(vi.minor),
		    static_cast<unsigned long long>(vi.maint), static_cast<unsigned long long>(vi.build));
	int bad = 0;
	kern::pid_t ver = kern::spawn("verify", [&bad] { return verifier("/dev/vda1", &bad); });
	check(kern::waitpid(ver) == 0 && bad == 0, "every block read back byte-exact");
	kern::disk_stats st = kern::get_disk_stats(disk);
	std::printf("  vda: %llu reads, %llu writes, %llu errors\n",
		    static_cast<unsigned long long>(st.reads), static_cast<unsigned long long>(st.writes),
		    static_cast<unsigned long long>(st.errors));
	check(kern::rmmod("zepdriver") == 0, "driver unloaded");
	check(kern::umount(part) == 0, "file system unmounted");
	kern::halt_report r = kern::halt();
	for (auto &line : r.problems)
		std::printf("  leak: %s\n", line.c_str());
	check(r.clean(), "machine halted with nothing left over");
	std::remove(image.c_str());
	std::printf("%s\n", failures ? "demo FAILED" : "demo passed");
	return failures ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage();
	std::string cmd = argv[1];
	std::string dir = "/tmp";
	bool verbose = false;
	for (int i = 2; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--dir" && i + 1 < argc)
			dir = argv[++i];
		else if (a == "--verbose")
			verbose = true;
		else
			return usage();
	}
	if (cmd == "demo")
		return demo(dir, verbose);
	return usage();
}
