#include "tools/bench_rig.h"

#include <filesystem>
#include <thread>

#include <fmt/format.h>

#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/block/bio.h"
#include "kernel/block/blkdev.h"
#include "kernel/fs/fs.h"
#include "kernel/locking/completion.h"
#include "kernel/syscalls.h"

namespace zep::bench
{

namespace fs = std::filesystem;

namespace
{

constexpr int DISK_MAJOR = 8;
constexpr kern::sector_t PART_START = 2048; // chunk-aligned: the disk's chunks are the partition's

} // namespace

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

uint64_t chunks_preserved(uint64_t bytes)
{
	return bytes / CHUNK + 1;
}

write_plan::write_plan(uint64_t b, uint64_t part_bytes)
    : bytes(b), stride(chunks_preserved(b) * CHUNK), count((part_bytes - b) / stride + 1)
{
}

long kernel_memory_bytes()
{
	kern::mm_usage u = kern::mm_get_usage();
	return u.kmalloc_bytes + u.vmalloc_bytes + u.cache_bytes +
	       u.pages * static_cast<long>(kern::PAGE_SIZE);
}

rig::rig(const rig_options &o) : o_(o)
{
	if (o_.part_bytes % CHUNK || o_.part_bytes < 2 * MAX_IO)
		throw rig_error("the partitions must be whole chunks and hold two 1 MiB writes");
	std::error_code ec;
	fs::create_directories(o_.dir, ec);
	if (ec)
		throw rig_error(fmt::format("cannot make the folder {}: {}", o_.dir, ec.message()));
	kern::boot_params bp;
	bp.printk_mirror = o_.verbose;
	kern::boot(bp);
	booted_ = true;
	try {
		set_up();
	} catch (...) {
		(void)finish(); // the destructor does not run for a rig that was never made
		throw;
	}
}

void rig::set_up()
{
	hooked_disk_ = add_disk("zbh");
	twin_disk_ = add_disk("zbt");
	if (kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)) ||
	    kern::insmod("zepdriver"))
		throw rig_error("cannot load the driver");
	loaded_ = true;
	for (kern::dev_t d : {hooked_disk_ + 1, twin_disk_ + 1}) {
		if (int rc = kern::mount(d))
			throw rig_error(fmt::format("cannot mount a partition: error {}", rc));
		mounted_.push_back(d);
	}
	hooked_fd_ = open_node("/dev/zbh1");
	twin_fd_ = open_node("/dev/zbt1");
	long mem = kern::sys_mmap(MAX_IO);
	if (mem < 0)
		throw rig_error("cannot map the writer's buffer");
	buf_ = static_cast<unsigned long>(mem);
	std::vector<unsigned char> fresh(MAX_IO);
	for (size_t i = 0; i < fresh.size(); i++)
		fresh[i] = static_cast<unsigned char>(i * 13 + 5);
	kern::user_write(buf_, fresh.data(), fresh.size());
}

rig::~rig()
{
	(void)finish();
}

std::string rig::finish()
{
	if (!booted_)
		return "";
	std::string problems;
	auto add = [&](const std::string &p) {
		problems += fmt::format("{}{}", problems.empty() ? "" : "; ", p);
	};
	try {
		while (!snaps_.empty())
			stop();
	} catch (const rig_error &e) {
		add(e.what());
		snaps_.clear(); // each stops itself as it goes
	}
	for (int fd : fds_)
		kern::sys_close(static_cast<unsigned>(fd));
	fds_.clear();
	if (loaded_ && kern::rmmod("zepdriver"))
		add("the driver could not be unloaded");
	loaded_ = false;
	for (kern::dev_t d : mounted_)
		kern::umount(d);
	mounted_.clear();
	kern::halt_report r = kern::halt();
	booted_ = false;
	for (const std::string &p : r.problems)
		add(p);
	std::error_code ec;
	fs::remove_all(o_.dir, ec);
	return problems;
}

std::string rig::disk_file(bool hooked) const
{
	return (fs::path(o_.dir) / (hooked ? "zbh.img" : "zbt.img")).string();
}

kern::dev_t rig::add_disk(const std::string &name)
{
	kern::sector_t sectors = PART_START + o_.part_bytes / 512;
	kern::dev_t disk;
	if (o_.file_disks) {
		kern::disk_options d;
		d.size_bytes = sectors * 512;
		disk = kern::add_filedisk(name, DISK_MAJOR, disk_file(name == "zbh"), d);
	} else {
		disk = kern::add_ramdisk(name, DISK_MAJOR, sectors);
	}
	if (!disk || !kern::add_partition(disk, 1, PART_START, o_.part_bytes / 512))
		throw rig_error(fmt::format("cannot add the {} disk {} in {}",
		                            o_.file_disks ? "file" : "RAM", name, o_.dir));
	// Old data everywhere, so that no write of a measurement allocates RAM-disk storage
	// or grows a host file.
	std::vector<unsigned char> old(MAX_IO);
	for (uint64_t at = 0; at < o_.part_bytes; at += old.size()) {
		for (size_t i = 0; i < old.size(); i++)
			old[i] = static_cast<unsigned char>((at + i) * 7 + ((at + i) >> 16));
		if (kern::disk_poke(disk, PART_START + at / 512, old.data(), old.size()))
			throw rig_error(fmt::format("cannot fill the disk {}", name));
	}
	return disk;
}

int rig::open_node(const std::string &path, bool read_only)
{
	int fd = kern::sys_open(path.c_str(), read_only ? O_RDONLY : O_RDWR, 0);
	if (fd < 0)
		throw rig_error(fmt::format("cannot open {}: error {}", path, fd));
	fds_.push_back(fd);
	return fd;
}

void rig::close_node(int fd)
{
	std::erase(fds_, fd);
	kern::sys_close(static_cast<unsigned>(fd));
}

double rig::write(bool hooked, int64_t off, uint64_t bytes)
{
	auto t0 = std::chrono::steady_clock::now();
	ssize_t n = kern::sys_pwrite64(static_cast<unsigned>(fd(hooked)), buf_, bytes, off);
	double t = seconds_since(t0);
	if (n != static_cast<ssize_t>(bytes))
		throw rig_error(
		    fmt::format("a write of {} bytes at {} of the {} partition failed: {}", bytes,
		                off, hooked ? "hooked" : "twin", n));
	return t;
}

double rig::read(int fd, int64_t off, uint64_t bytes)
{
	auto t0 = std::chrono::steady_clock::now();
	ssize_t n = kern::sys_pread64(static_cast<unsigned>(fd), buf_, bytes, off);
	double t = seconds_since(t0);
	if (n != static_cast<ssize_t>(bytes))
		throw rig_error(fmt::format("a read of {} bytes at {} failed: {}", bytes, off, n));
	return t;
}

snapshot &rig::take(bool track_changes)
{
	snapshot_options so;
	so.io_threads = o_.io_threads;
	so.staging_buffer = MAX_IO;
	so.folder = o_.dir;
	so.track_changes = track_changes;
	so.device_name = "zbh1";
	so.device_path = "/dev/zbh1";
	auto s = snapshot::take(hooked_part(), so);
	if (!s)
		throw rig_error("cannot start a snapshot: " + s.err().message);
	snaps_.push_back(std::move(*s));
	return snaps_.back();
}

void rig::stop()
{
	if (snaps_.empty())
		return;
	auto r = snaps_.back().stop();
	snaps_.pop_back();
	if (!r)
		throw rig_error("cannot stop a snapshot: " + r.err().message);
}

bool rig::drained(unsigned ms)
{
	if (snaps_.empty())
		return true;
	int id = snaps_.back().id();
	auto idle = [id] {
		kern::down(&kern::session_list_lock);
		kern::cow_session *cs = kern::get_cow_session_by_id(id);
		bool done = cs && !kern::atomic_read(&cs->fc_count);
		if (cs)
			for (kern::io_thread *t : cs->thread_info->io_threads)
				done = done && !kern::atomic_read(&t->pending_io) &&
				       !kern::atomic_read(&t->pending_anon_io);
		kern::up(&kern::session_list_lock);
		return done;
	};
	for (unsigned waited = 0; waited < ms; waited++) {
		if (idle())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return idle();
}

uint64_t rig::preserved()
{
	if (snaps_.empty())
		return 0;
	auto i = snaps_.back().info();
	if (!i)
		throw rig_error("cannot list the snapshot: " + i.err().message);
	return i->changed_blocks;
}

namespace
{

struct waiter {
	kern::completion done;
	int error;
};

int round_trip_end_io(kern::bio *b, unsigned int, int err)
{
	if (b->bi_size)
		return 1;
	auto *w = static_cast<waiter *>(b->bi_private);
	w->error = err;
	kern::complete(&w->done);
	return 0;
}

} // namespace

double bio_round_trips(kern::dev_t dev, uint64_t n, int rw)
{
	using namespace kern;
	block_device *bdev = bdget(dev);
	struct page *pg = bdev ? alloc_page(GFP_KERNEL) : nullptr;
	if (!pg) {
		if (bdev)
			bdput(bdev);
		throw rig_error("cannot open the disk for bios");
	}
	sector_t sectors = bdev_nr_sectors(bdev), next = 0;
	int error = 0;
	auto t0 = std::chrono::steady_clock::now();
	for (uint64_t i = 0; i < n && !error; i++) {
		waiter w;
		init_completion(&w.done);
		bio *b = bio_alloc(GFP_KERNEL, 1);
		b->bi_bdev = bdev;
		b->bi_sector = next;
		b->bi_end_io = round_trip_end_io;
		b->bi_private = &w;
		bio_add_page(b, pg, PAGE_SIZE, 0);
		submit_bio(rw < 0 ? static_cast<int>(i % 2 == 0 ? WRITE : READ) : rw, b);
		wait_for_completion(&w.done);
		bio_put(b);
		error = w.error;
		// A write and then a read of the same place, then on to the next.
		if (rw >= 0 || i % 2)
			next = (next + 8) % (sectors - 8);
	}
	double t = seconds_since(t0);
	__free_page(pg);
	bdput(bdev);
	if (error)
		throw rig_error(fmt::format("a 4 KiB bio failed: error {}", error));
	return t;
}

} // namespace zep::bench
