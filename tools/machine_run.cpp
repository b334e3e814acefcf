#include "tools/machine_run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "backupdriver/zepdriver.h"
#include "kernel/fs/fs.h"

namespace zep {

namespace fs = std::filesystem;

namespace {

// Disks of the machine: file-backed, in the block major the demo uses too.
constexpr int DISK_MAJOR = 253;

bool parse_u64(std::string_view s, uint64_t &v)
{
	auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
	return ec == std::errc{} && end == s.data() + s.size() && !s.empty();
}

} // namespace

result<host_image> inspect_image(const std::string &path, const std::string &what)
{
	if (path.empty())
		return make_error(errc::usage, fmt::format("no {} file given", what));
	std::error_code ec;
	fs::path abs = fs::absolute(path, ec).lexically_normal();
	fs::file_status st = fs::status(abs, ec);
	if (st.type() == fs::file_type::not_found)
		return make_error(errc::usage, fmt::format("{} {} does not exist: give the path of "
							   "a raw disk image file",
							   what, path));
	if (ec)
		return make_error(errc::io, fmt::format("cannot look at {} {}: {}", what, path,
							ec.message()));
	if (st.type() != fs::file_type::regular && st.type() != fs::file_type::block)
		return make_error(errc::usage,
				  fmt::format("{} {} is neither a regular file nor a block device: give "
					      "a raw disk image or a device such as /dev/loop0",
					      what, path));
	// Read only: the machine attaches it so, whatever the snapshot does.
	int fd = ::open(abs.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return make_error(errc::io, fmt::format("cannot open {} {} for reading: {}", what,
							path, std::strerror(errno)));
	host_image img{abs.string(), 0};
	struct stat sb {};
	bool ok = ::fstat(fd, &sb) == 0;
	img.size = static_cast<uint64_t>(sb.st_size);
	if (ok && S_ISBLK(sb.st_mode))
		ok = ::ioctl(fd, BLKGETSIZE64, &img.size) == 0;
	int err = errno;
	::close(fd);
	if (!ok)
		return make_error(errc::io, fmt::format("cannot read the size of {} {}: {}", what,
							path, std::strerror(err)));
	img.fingerprint = {sb.st_size, sb.st_mtim.tv_sec, sb.st_mtim.tv_nsec, sb.st_ctim.tv_sec,
			   sb.st_ctim.tv_nsec};
	uint64_t size = img.size;
	if (size == 0)
		return make_error(errc::usage,
				  fmt::format("{} {} is empty (0 bytes): give a raw disk image that "
					      "holds at least one 512-byte sector",
					      what, path));
	if (size % SECTOR)
		return make_error(errc::usage,
				  fmt::format("{} {} is {} bytes long, not a whole number of 512-byte "
					      "sectors: give a raw disk image",
					      what, path, size));
	return img;
}

namespace {

// Who holds a write lock on the image (fcntl, OFD or flock), as writers in place do; "" none.
std::string write_lock_holder(const std::string &path)
{
	int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return "";
	std::string who;
	struct flock fl {};
	fl.l_type = F_RDLCK;
	fl.l_whence = SEEK_SET;
	if (::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_WRLCK)
		who = fl.l_pid > 0 ? fmt::format("process {}", fl.l_pid) : "another process";
	else if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
		who = "another process";
	::close(fd);	// drops our shared flock too
	return who;
}

} // namespace

result<void> not_write_locked(const host_image &img)
{
	if (std::string who = write_lock_holder(img.path); !who.empty())
		return make_error(errc::invalidated,
				  fmt::format("{} is locked for writing by {}, so a backup of it would "
					      "be torn: for a backup of an image in use, serve it with "
					      "`zep serve` and back it up with `zep backup --connect`",
					      img.path, who));
	return {};
}

result<void> unchanged_since(const host_image &img)
{
	if (auto locked = not_write_locked(img); !locked)
		return locked;
	struct stat sb {};
	if (::stat(img.path.c_str(), &sb) != 0)
		return make_error(errc::invalidated,
				  fmt::format("{} went away while it was read", img.path));
	if (S_ISBLK(sb.st_mode))
		return {};	// a device's node tells nothing of writes to it
	std::array<int64_t, 5> now = {sb.st_size, sb.st_mtim.tv_sec, sb.st_mtim.tv_nsec,
				      sb.st_ctim.tv_sec, sb.st_ctim.tv_nsec};
	if (now != img.fingerprint)
		return make_error(errc::invalidated,
				  fmt::format("{} changed while it was read (another program wrote "
					      "it), so the backup would be torn: for a backup of an "
					      "image in use, serve it with `zep serve` and back it up "
					      "with `zep backup --connect`",
					      img.path));
	return {};
}

result<partition_spec> parse_partition(const std::string &text, uint64_t image_size)
{
	size_t colon = text.find(':');
	partition_spec p;
	std::string_view s(text);
	if (colon == std::string::npos || !parse_u64(s.substr(0, colon), p.start) ||
	    !parse_u64(s.substr(colon + 1), p.sectors))
		return make_error(errc::usage,
				  fmt::format("--partition {}: give START:SECTORS, two whole numbers "
					      "of 512-byte sectors (e.g. 2048:129024)",
					      text));
	if (p.sectors == 0)
		return make_error(errc::usage,
				  fmt::format("--partition {}: a partition of 0 sectors holds nothing: "
					      "give its length in 512-byte sectors after the colon "
					      "(e.g. {}:129024)",
					      text, p.start));
	uint64_t image_sectors = image_size / SECTOR;
	if (p.start >= image_sectors || p.sectors > image_sectors - p.start)
		return make_error(errc::usage,
				  fmt::format("--partition {}: sectors {} to {} do not lie within the "
					      "image's {} sectors",
					      text, p.start, p.start + p.sectors, image_sectors));
	return p;
}

machine_run::machine_run(const machine_options &o)
{
	kern::boot_params p;
	p.printk_mirror = o.verbose;
	kern::boot(p);
	if (o.after_boot)
		o.after_boot();
}

machine_run::~machine_run()
{
	if (!halted_)
		(void)finish();
}

std::string machine_run::log_lines(const std::string &needle)
{
	std::vector<std::string> log = kern::dmesg();
	std::string lines;
	for (size_t i = log_seen_; i < log.size(); i++) {
		if (log[i].find(needle) == std::string::npos)
			continue;
		// Without the "<level>" prefix.
		std::string_view l(log[i]);
		if (l.starts_with('<') && l.find('>') != std::string_view::npos)
			l.remove_prefix(l.find('>') + 1);
		while (l.ends_with('\n'))
			l.remove_suffix(1);
		lines += fmt::format("{}{}", lines.empty() ? "" : "; ", l);
	}
	log_seen_ = log.size();
	return lines;
}

result<kern::dev_t> machine_run::attach_image(const std::string &name, const host_image &img)
{
	log_lines("");
	kern::disk_options o;
	o.create = false;
	o.read_only = true;
	kern::dev_t dev = kern::add_filedisk(name, DISK_MAJOR, img.path, o);
	if (!dev)
		return make_error(errc::io, fmt::format("cannot attach {} as disk {} ({})", img.path,
							name, log_lines(name)));
	return dev;
}

result<kern::dev_t> machine_run::add_partition(kern::dev_t disk, const partition_spec &p,
					       int number)
{
	log_lines("");
	kern::dev_t dev = kern::add_partition(disk, number, p.start, p.sectors);
	if (!dev)
		return make_error(errc::usage, fmt::format("cannot add partition {}:{} ({})",
							   p.start, p.sectors,
							   log_lines("add_partition")));
	return dev;
}

result<void> machine_run::mount(kern::dev_t dev)
{
	int rc = kern::mount(dev);
	if (rc)
		return make_error(errc::other, fmt::format("cannot mount device {}:{}: error {}",
							   kern::MAJOR(dev), kern::MINOR(dev), rc),
				  rc);
	mounted_ = dev;
	return {};
}

result<void> machine_run::load_driver()
{
	int rc = kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0));
	if (rc)
		return make_error(errc::other,
				  fmt::format("cannot make the control node /dev/{}: error {}",
					      ZEP_CONTROL_NAME, rc),
				  rc);
	log_lines("");
	rc = kern::insmod("zepdriver");
	if (rc)
		return make_error(errc::other,
				  fmt::format("cannot load the driver: error {} ({})", rc,
					      log_lines("zep")),
				  rc);
	loaded_ = true;
	return {};
}

std::optional<error> machine_run::run_process(const std::string &comm,
					      const std::function<void()> &body)
{
	bool finished = false;
	kern::pid_t pid = kern::spawn(comm, [&] {
		body();
		finished = true;
		return 0;
	});
	if (pid < 0)
		return make_error(errc::other,
				  fmt::format("cannot start the agent process {}: error {}", comm, pid),
				  pid);
	int rc = kern::waitpid(pid);
	if (!finished)
		return make_error(errc::other,
				  fmt::format("the agent process {} ended with code {} before its "
					      "work was done",
					      comm, rc),
				  rc);
	return std::nullopt;
}

result<void> machine_run::finish()
{
	if (halted_)
		return {};
	std::string problems;
	auto add = [&](const std::string &p) {
		problems += fmt::format("{}{}", problems.empty() ? "" : "; ", p);
	};
	if (loaded_) {
		if (int rc = kern::rmmod("zepdriver"))
			add(fmt::format("the driver could not be unloaded (error {})", rc));
		loaded_ = false;
	}
	if (mounted_) {
		if (int rc = kern::umount(mounted_))
			add(fmt::format("the file system could not be unmounted (error {})", rc));
		mounted_ = 0;
	}
	kern::halt_report r = kern::halt();
	halted_ = true;
	for (const std::string &p : r.problems)
		add(p);
	if (problems.empty())
		return {};
	return make_error(errc::other,
			  fmt::format("the machine did not end clean: {}; this is a fault of zep, "
				      "please report it with the output of --verbose",
				      problems));
}

} // namespace zep
