#include "agent/control.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "agent/kernel_log.h"
#include "agent/quietly.h"
#include "backupdriver/zepdriver.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zep
{
namespace
{

// The record buffer: the largest record (a start request, 12592 bytes) fits many times;
// the list and change-record commands grow it for their arrays.
constexpr size_t INITIAL_BUFFER = 64 << 10;
// Where a request's array goes, behind the request itself.
constexpr size_t ARRAY_OFFSET = 64;

std::string joined(const std::vector<std::string> &lines)
{
	std::string s;
	for (const std::string &l : lines)
		s += (s.empty() ? "" : "; ") + l;
	return s;
}

bool mentions(const std::vector<std::string> &lines, const char *text)
{
	return std::any_of(lines.begin(), lines.end(), [text](const std::string &l) {
		return l.find(text) != std::string::npos;
	});
}

// A copy between the agent's record and the driver failed: the driver's shells log it.
bool copy_fault(const std::vector<std::string> &lines)
{
	return std::any_of(lines.begin(), lines.end(), [](const std::string &l) {
		return (l.find("ould not copy") != std::string::npos ||
			l.find("ailed to copy") != std::string::npos) &&
		       l.find("user space") != std::string::npos;
	});
}

// What to do about the reasons the driver gives for refusing a start or a stop.
std::string advice(const std::vector<std::string> &lines)
{
	struct {
		const char *reason, *todo;
	} const table[] = {
	    {"Reached max simultaneous snapshots", "stop one of the 16 running sessions first"},
	    {"Can not take snapshot of Corvane Device",
	     "snapshot the live device, not a snapshot device zep<N>"},
	    {"not accepting new",
	     "the driver was told to unload: reload it before taking snapshots"},
	    {"is already in use by another active session",
	     "give this snapshot a backing file of its own"},
	    {"is mounted",
	     "mount a file system on the device first: only mounted devices can be snapshotted"},
	    {"chunk size is not a multiple",
	     "the device's hardware sector size must divide 64 KiB"},
	    {"Can not stop mounted zep session", "unmount the snapshot device or close it in every "
	                                         "process not named cdp..., then stop again"},
	    {"cow file already set", "the session keeps the backing file it was given first"},
	    {"could not get file for fd",
	     "hand over a descriptor that is open in the calling process"},
	};
	for (const auto &row : table)
		if (mentions(lines, row.reason))
			return row.todo;
	return "see the kernel log";
}

std::string errno_text(long r)
{
	return r < 0 ? std::strerror(static_cast<int>(-r)) : std::to_string(r);
}

// A system call (not a driver result) failed.
error syscall_failure(const std::string &what, long r)
{
	return make_error(r == -EFAULT ? errc::io : errc::other,
	                  fmt::format("{}: {}", what, errno_text(r)), r);
}

std::string dev_text(kern::dev_t dev)
{
	return fmt::format("({},{})", kern::MAJOR(dev), kern::MINOR(dev));
}

template <size_t N> bool fits(const std::string &s, const char (&)[N])
{
	return s.size() < N;
}

template <size_t N> void put_text(char (&dst)[N], const std::string &s)
{
	std::memset(dst, 0, N);
	std::memcpy(dst, s.data(), std::min(s.size(), N - 1));
}

template <size_t N> std::string get_text(const char (&src)[N])
{
	return std::string(src, strnlen(src, N));
}

freeze_window window(uint32_t s1, uint32_t ns1, uint32_t s2, uint32_t ns2)
{
	return freeze_window{duration{s1, ns1}, duration{s2, ns2}};
}

session_info to_info(const session_list &s)
{
	session_info i;
	i.id = s.id;
	i.time = s.time;
	i.changed_blocks = s.changed_blocks;
	i.block_size = s.block_size;
	i.freeze = window(s.sec_get_freez, s.nsec_get_freez, s.sec_froze, s.nsec_froze);
	i.mode = s.mode;
	i.error = s.error;
	return i;
}

snap_shot_request id_request(int id)
{
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	ssr.id = id;
	return ssr;
}

error no_session(int id, const char *what)
{
	return make_error(errc::not_found,
	                  fmt::format("{}: there is no session zep{} (list the sessions to see the "
	                              "running ones)",
	                              what, id));
}

} // namespace

bool started_session::marked_started() const
{
	return mode & ZEP_MODE_STARTED;
}
bool started_session::tracks_changes() const
{
	return mode & ZEP_MODE_CHANGE_TRACKING;
}
bool session_info::tracks_changes() const
{
	return mode & ZEP_MODE_CHANGE_TRACKING;
}

std::string driver_version::text() const
{
	return fmt::format("{}.{}.{} build {}", major, minor, maint, build);
}

// ---------------------------------------------------------------- the device

result<control> control::open()
{
	int fd = kern::sys_open(DEVICE, O_RDWR, 0);
	if (fd < 0) {
		bool missing = fd == -ENOENT || fd == -ENXIO || fd == -ENODEV;
		return make_error(
		    missing ? errc::not_found : errc::other,
		    fmt::format("cannot open the control device {}: {}; load the driver (insmod "
		                "zepdriver) and make its node (character device {}, 0)",
		                DEVICE, errno_text(fd), ZEP_CONTROL_MAJOR),
		    fd);
	}
	long mem = kern::sys_mmap(INITIAL_BUFFER);
	if (mem < 0) {
		kern::sys_close(static_cast<unsigned>(fd));
		return syscall_failure("cannot map the agent's record buffer", mem);
	}
	control c(fd, static_cast<unsigned long>(mem), INITIAL_BUFFER);
	c.owner_ = kern::sys_getpid();
	return c;
}

control::control(control &&o) noexcept
    : fd_(std::exchange(o.fd_, -1)), mem_(std::exchange(o.mem_, 0)), len_(std::exchange(o.len_, 0)),
      owner_(std::exchange(o.owner_, 0))
{
}

control &control::operator=(control &&o) noexcept
{
	if (this != &o) {
		close();
		fd_ = std::exchange(o.fd_, -1);
		mem_ = std::exchange(o.mem_, 0);
		len_ = std::exchange(o.len_, 0);
		owner_ = std::exchange(o.owner_, 0);
	}
	return *this;
}

control::~control()
{
	close();
}

void control::close()
{
	// Only the process that opened it has this descriptor; anywhere else the number names
	// another file (or none), and the process's end closes it anyway: so it does when a
	// fatal signal cuts this short.
	if (fd_ >= 0)
		quietly([&] {
			if (kern::sys_getpid() == owner_) {
				kern::sys_munmap(mem_, len_);
				kern::sys_close(static_cast<unsigned>(fd_));
			}
		});
	fd_ = -1;
	mem_ = 0;
	len_ = 0;
}

result<void> control::reserve(size_t n)
{
	if (n <= len_)
		return {};
	size_t len = std::max(n, len_ * 2);
	long mem = kern::sys_mmap(len);
	if (mem < 0)
		return syscall_failure(
		    fmt::format("cannot map {} bytes for the driver's records", len), mem);
	kern::sys_munmap(mem_, len_);
	mem_ = static_cast<unsigned long>(mem);
	len_ = len;
	return {};
}

long control::command(unsigned int cmd, void *rec, size_t n, bool read_back)
{
	if (kern::user_write(mem_, rec, n) != 0)
		return -EFAULT;
	long r = kern::sys_ioctl(static_cast<unsigned>(fd_), cmd, mem_);
	if (read_back)
		kern::user_read(mem_, rec, n);
	return r;
}

result<void> control::check_exists(int id, const char *what)
{
	auto e = exists(id);
	if (!e)
		return e.err();
	if (!*e)
		return no_session(id, what);
	return {};
}

// ---------------------------------------------------------------- sessions

namespace
{
int64_t wall_clock_ns()
{
	kern::timespec t = kern::current_kernel_time();
	return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
} // namespace

result<started_session> control::start(const start_options &o)
{
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	if (!fits(o.backing_file, ssr.backing_file) || !fits(o.device_name, ssr.device_name) ||
	    !fits(o.device_path, ssr.device_path) || !fits(o.backing_device, ssr.backing_dev))
		return make_error(errc::usage,
		                  "start: a name or path is too long for the start request "
		                  "(device name < 256 bytes, paths < 4096)");
	ssr.major = static_cast<int32_t>(kern::MAJOR(o.device));
	ssr.minor = static_cast<int32_t>(kern::MINOR(o.device));
	ssr.mode = USER_SPACE_FILE | (o.track_changes ? ZEP_MODE_CHANGE_TRACKING : 0);
	put_text(ssr.device_name, o.device_name);
	put_text(ssr.device_path, o.device_path);
	put_text(ssr.backing_file, o.backing_file);
	put_text(ssr.backing_dev, o.backing_device);
	ssr.bfree = o.bfree;

	log_mark mark;
	const int64_t issued = wall_clock_ns();
	long r = command(ZEP_IOC_START, &ssr, sizeof(ssr));
	const int64_t returned = wall_clock_ns();
	std::string what = "start of a snapshot of device " + dev_text(o.device);
	if (r == 0) {
		started_session s;
		s.issued_ns = issued;
		s.returned_ns = returned;
		s.id = ssr.id;
		s.time = ssr.time;
		s.freeze =
		    window(ssr.sec_get_freez, ssr.nsec_get_freez, ssr.sec_froze, ssr.nsec_froze);
		s.active_sessions = ssr.active_sessions;
		s.mode = ssr.mode;
		return s;
	}
	if (r != -1)
		return syscall_failure(what, r);
	auto lines = mark.driver_errors();
	if (copy_fault(lines))
		return make_error(errc::io, fmt::format("{} failed: {}", what, joined(lines)), r);
	if (ssr.id == -2)
		return make_error(
		    errc::refused,
		    fmt::format(
		        "{} refused: backing file already in use by another session ({}): {}", what,
		        lines.empty() ? o.backing_file : joined(lines), advice(lines)),
		    -2);
	if (lines.empty())
		return make_error(
		    errc::refused,
		    fmt::format(
		        "{} refused without a reason in the kernel log (interrupted?): retry",
		        what),
		    r);
	return make_error(errc::refused,
	                  fmt::format("{} refused ({}): {}", what, joined(lines), advice(lines)),
	                  r);
}

result<stopped_session> control::stop(int id)
{
	std::string what = fmt::format("stop of snapshot zep{}", id);
	if (auto e = check_exists(id, what.c_str()); !e)
		return e.err();
	snap_shot_request ssr = id_request(id);
	log_mark mark;
	long r = command(ZEP_IOC_STOP, &ssr, sizeof(ssr));
	if (r == 0) {
		ssr.backing_file[sizeof(ssr.backing_file) - 1] = 0;
		return stopped_session{get_text(ssr.backing_file), ssr.active_sessions};
	}
	if (r != -1)
		return syscall_failure(what, r);
	auto lines = mark.driver_errors();
	if (copy_fault(lines))
		return make_error(errc::io, fmt::format("{} failed: {}", what, joined(lines)), r);
	if (mentions(lines, "Can not stop mounted zep session"))
		return make_error(
		    errc::refused,
		    fmt::format(
		        "{} refused: /dev/zep{} is still in use ({}); unmount it or close it in "
		        "every process not named cdp..., then stop again: the session keeps "
		        "running until then",
		        what, id, joined(lines)),
		    r);
	return make_error(errc::refused,
	                  fmt::format("{} refused{}: the session keeps running; retry", what,
	                              lines.empty()
	                                  ? " without a reason in the kernel log (interrupted?)"
	                                  : " (" + joined(lines) + ")"),
	                  r);
}

result<void> control::set_backing_file(int id, int fd, const std::string &path)
{
	std::string what = fmt::format("handing the backing file {} to snapshot zep{}", path, id);
	set_cow_file scf;
	std::memset(&scf, 0, sizeof(scf));
	if (!fits(path, scf.backing_file))
		return make_error(errc::usage,
		                  what + ": the path is too long (4096 bytes at most)");
	if (auto e = check_exists(id, what.c_str()); !e)
		return e.err();
	scf.id = id;
	scf.fd = fd;
	put_text(scf.backing_file, path);
	log_mark mark;
	long r = command(ZEP_IOC_SET_COW_FILE, &scf, sizeof(scf), false);
	if (r == 0)
		return {};
	if (r != 1)
		return syscall_failure(what, r);
	auto lines = mark.driver_errors();
	if (copy_fault(lines) || lines.empty())
		return make_error(errc::io,
		                  fmt::format("{} failed: {}", what,
		                              lines.empty() ? "no room or no copy" : joined(lines)),
		                  r);
	return make_error(errc::refused,
	                  fmt::format("{} refused ({}): {}", what, joined(lines), advice(lines)),
	                  r);
}

result<void> control::run_io_thread(const io_thread_params &p)
{
	qz_thread_info ti{};
	ti.id = p.thread;
	ti.session_id = p.session;
	ti.file_fd = p.fd;
	ti.buffer_size = p.buffer_size;
	ti.user_addr = p.buffer;
	long r = command(ZEP_IOC_RUN_IO_THREAD, &ti, sizeof(ti), false);
	if (r == 0)
		return {};
	std::string what = fmt::format("IO thread {} of snapshot zep{}", p.thread, p.session);
	if (r == 1)
		return make_error(errc::io,
		                  what + ": the driver could not read the thread's record", r);
	return syscall_failure(what, r);
}

result<void> control::wait_for_io_thread(int id)
{
	std::string what = fmt::format("wait for an IO thread of snapshot zep{}", id);
	snap_shot_request ssr = id_request(id);
	log_mark mark;
	long r = command(ZEP_IOC_THREAD_WAIT_TIMEOUT, &ssr, sizeof(ssr), false);
	if (r == 0)
		return {};
	if (r != -1)
		return syscall_failure(what, r);
	auto lines = mark.driver_errors();
	if (copy_fault(lines))
		return make_error(errc::io, fmt::format("{} failed: {}", what, joined(lines)), r);
	if (mentions(lines, "did not start after"))
		return make_error(
		    errc::timeout,
		    fmt::format(
		        "{}: none started within 30 s ({}); check that the IO-thread processes "
		        "can open their backing files and map their buffers",
		        what, joined(lines)),
		    r);
	if (auto e = check_exists(id, what.c_str()); !e)
		return e.err();
	return make_error(errc::other,
	                  fmt::format("{} failed without a reason in the kernel log", what), r);
}

result<no_thread_outcome> control::shutdown_without_threads(int id)
{
	std::string what = fmt::format("no-thread shutdown of snapshot zep{}", id);
	if (auto e = check_exists(id, what.c_str()); !e)
		return e.err();
	snap_shot_request ssr = id_request(id);
	long r = command(ZEP_IOC_NO_THREAD_SHUTDOWN, &ssr, sizeof(ssr), false);
	if (r == 0)
		return no_thread_outcome::has_threads;
	if (r != -1)
		return syscall_failure(what, r);
	auto still = exists(id);
	if (!still)
		return still.err();
	return *still ? no_thread_outcome::left_in_use : no_thread_outcome::stopped;
}

// ---------------------------------------------------------------- queries

result<int> control::session_count()
{
	int32_t n = 0;
	long r = command(ZEP_IOC_GET_LIST_COUNT, &n, sizeof(n));
	if (r != 0)
		return syscall_failure("session count", r == -1 ? -EFAULT : r);
	return static_cast<int>(n);
}

result<std::vector<session_info>> control::sessions()
{
	auto count = session_count();
	if (!count)
		return count.err();
	std::vector<session_info> out;
	if (*count <= 0)
		return out;
	// Room for sessions started between the count and the list; unused records come
	// back zeroed (id 0, which no session has).
	int capacity = *count + 16;
	size_t bytes = static_cast<size_t>(capacity) * sizeof(session_list);
	if (auto e = reserve(ARRAY_OFFSET + bytes); !e)
		return e.err();
	session_list_request slr{};
	slr.size = capacity;
	slr.sl = static_cast<uint32_t>(mem_ + ARRAY_OFFSET);
	long r = command(ZEP_IOC_GET_LIST2, &slr, sizeof(slr), false);
	if (r != 0)
		return syscall_failure("session list", r == -1 ? -EFAULT : r);
	std::vector<session_list> recs(static_cast<size_t>(capacity));
	kern::user_read(mem_ + ARRAY_OFFSET, recs.data(), bytes);
	for (const session_list &s : recs)
		if (s.id > 0)
			out.push_back(to_info(s));
	return out;
}

result<session_info> control::session(int id)
{
	auto all = sessions();
	if (!all)
		return all.err();
	for (const session_info &s : *all)
		if (s.id == id)
			return s;
	return no_session(id, "session query");
}

result<bool> control::exists(int id)
{
	auto all = sessions();
	if (!all)
		return all.err();
	return std::any_of(all->begin(), all->end(),
	                   [id](const session_info &s) { return s.id == id; });
}

result<int> control::find_session(kern::dev_t device)
{
	snap_shot_request ssr = id_request(0);
	ssr.major = static_cast<int32_t>(kern::MAJOR(device));
	ssr.minor = static_cast<int32_t>(kern::MINOR(device));
	long r = command(ZEP_IOC_GET_DEV, &ssr, sizeof(ssr));
	if (r == 0)
		return static_cast<int>(ssr.id);
	if (r != -1)
		return syscall_failure("session lookup of device " + dev_text(device), r);
	return make_error(errc::not_found,
	                  fmt::format("no snapshot session on device {}", dev_text(device)));
}

result<std::string> control::text_query(unsigned int cmd, int id, const char *what)
{
	get_string gs;
	std::memset(&gs, 0, sizeof(gs));
	gs.id = id;
	long r = command(cmd, &gs, sizeof(gs));
	std::string query = fmt::format("{} of snapshot zep{}", what, id);
	if (r == 0)
		return get_text(gs.string);
	if (r != -1)
		return syscall_failure(query, r);
	// Not found, or the record could not be copied: the session tells which.
	if (auto e = check_exists(id, query.c_str()); !e)
		return e.err();
	return syscall_failure(query, -EFAULT);
}

result<std::string> control::device_path(int id)
{
	return text_query(ZEP_IOC_GET_DEV_PATH, id, "device path");
}

result<std::string> control::backing_file(int id)
{
	return text_query(ZEP_IOC_GET_BACKING_FILE, id, "backing file");
}

result<std::string> control::session_error(int id)
{
	auto text = text_query(ZEP_IOC_GET_SESSION_ERROR, id, "error text");
	// The driver answers "NO ERROR" for a session it does not have.
	if (text && *text == "NO ERROR")
		if (auto e = check_exists(id, "error text query"); !e)
			return e.err();
	return text;
}

result<driver_version> control::version()
{
	version_info vi{};
	long r = command(ZEP_IOC_GET_VERSION, &vi, sizeof(vi));
	if (r != 0)
		return syscall_failure("version query", r == -1 ? -EFAULT : r);
	return driver_version{vi.major, vi.minor, vi.maint, vi.build};
}

// ---------------------------------------------------------------- change records

result<change_batch> control::changed_records(int capacity)
{
	if (capacity < 0)
		return make_error(
		    errc::usage, fmt::format("change records: a capacity of {} records", capacity));
	size_t bytes = static_cast<size_t>(capacity) * sizeof(change_record_usr);
	if (auto e = reserve(ARRAY_OFFSET + bytes); !e)
		return e.err();
	change_recrod_request crr{};
	crr.size = capacity;
	crr.cru = static_cast<uint32_t>(mem_ + ARRAY_OFFSET);
	log_mark mark;
	long r = command(ZEP_IOC_GET_CHANGED_RECORDS, &crr, sizeof(crr));
	if (r >= 0) {
		std::vector<change_record_usr> recs(static_cast<size_t>(r));
		kern::user_read(mem_ + ARRAY_OFFSET, recs.data(),
		                recs.size() * sizeof(change_record_usr));
		change_batch b;
		b.tracking_complete = crr.tracking != 0;
		b.queued = crr.inqueue;
		for (const change_record_usr &c : recs)
			b.records.push_back(
			    changed_range{c.major, c.minor, c.start_sector, c.num_sectors});
		return b;
	}
	std::string what = fmt::format("taking up to {} change records", capacity);
	if (r != -1)
		return syscall_failure(what, r);
	auto lines = mark.driver_errors();
	if (mentions(lines, "allocate"))
		return make_error(
		    errc::refused,
		    fmt::format("{} refused ({}): ask for fewer at a time", what, joined(lines)),
		    r);
	return make_error(
	    errc::io,
	    fmt::format("{} failed ({}): records taken off the queue are lost, tracking is "
	                "incomplete",
	                what, lines.empty() ? "no reason in the kernel log" : joined(lines)),
	    r);
}

result<void> control::unblock_changes()
{
	long r = kern::sys_ioctl(static_cast<unsigned>(fd_), ZEP_IOC_UNBLOCK_CHANGE_RECORDS, 0);
	if (r != 0)
		return syscall_failure("unblocking the change-record readers", r);
	return {};
}

result<void> control::fail_change_tracking()
{
	long r = kern::sys_ioctl(static_cast<unsigned>(fd_), ZEP_IOC_ERROR_CTS, 0);
	if (r != 0)
		return syscall_failure("marking change tracking as incomplete", r);
	return {};
}

// ---------------------------------------------------------------- the driver

result<void> control::unload()
{
	log_mark mark;
	long r = kern::sys_ioctl(static_cast<unsigned>(fd_), ZEP_IOC_UNLOAD, 0);
	if (r == 0)
		return {};
	if (r != -1)
		return syscall_failure("unload", r);
	auto lines = mark.driver_errors();
	return make_error(
	    errc::refused,
	    fmt::format(
	        "unload stopped short: a session could not be stopped ({}); unmount or close "
	        "its snapshot device and unload again",
	        lines.empty() ? "no reason in the kernel log" : joined(lines)),
	    r);
}

result<void> control::list_locks()
{
	long r = kern::sys_ioctl(static_cast<unsigned>(fd_), ZEP_IOC_LIST_LOCKS, 0);
	if (r != 0)
		return syscall_failure("lock listing", r);
	return {};
}

} // namespace zep
