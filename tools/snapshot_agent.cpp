#include "tools/snapshot_agent.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zep {

int run_process(const std::string &comm, std::function<int()> body)
{
	kern::pid_t pid = kern::spawn(comm, std::move(body));
	return pid < 0 ? pid : kern::waitpid(pid);
}

int control::open()
{
	close();
	int fd = kern::sys_open("/dev/" ZEP_CONTROL_NAME, O_RDWR, 0);
	if (fd < 0)
		return fd;
	long mem = kern::sys_mmap(BUFFER_BYTES);
	if (mem < 0) {
		kern::sys_close(static_cast<unsigned>(fd));
		return static_cast<int>(mem);
	}
	fd_ = fd;
	mem_ = static_cast<unsigned long>(mem);
	return 0;
}

void control::close()
{
	if (fd_ >= 0)
		kern::sys_close(static_cast<unsigned>(fd_));
	fd_ = -1;
}

long control::command_bytes(unsigned int cmd, void *rec, size_t n)
{
	kern::user_write(mem_, rec, n);
	long r = kern::sys_ioctl(static_cast<unsigned>(fd_), cmd, mem_);
	kern::user_read(mem_, rec, n);
	return r;
}

void control::read(size_t off, void *dst, size_t n) const { kern::user_read(mem_ + off, dst, n); }

long get_version(control &c, version_info *vi)
{
	std::memset(vi, 0, sizeof(*vi));
	return c.command(ZEP_IOC_GET_VERSION, vi);
}

snap_shot_request start_request(kern::dev_t dev, const std::string &name, const std::string &backing)
{
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	ssr.major = static_cast<int32_t>(kern::MAJOR(dev));
	ssr.minor = static_cast<int32_t>(kern::MINOR(dev));
	ssr.mode = ZEP_MODE_CHANGE_TRACKING | USER_SPACE_FILE;
	std::snprintf(ssr.device_name, sizeof(ssr.device_name), "%s", name.c_str());
	std::snprintf(ssr.device_path, sizeof(ssr.device_path), "/dev/%s", name.c_str());
	std::snprintf(ssr.backing_file, sizeof(ssr.backing_file), "%s", backing.c_str());
	return ssr;
}

long start_snapshot(control &c, snap_shot_request *ssr) { return c.command(ZEP_IOC_START, ssr); }

long set_backing_file(control &c, int id, const std::string &path)
{
	int fd = kern::sys_open(path.c_str(), O_RDWR | O_CREAT, 0600);
	if (fd < 0)
		return fd;
	set_cow_file scf;
	std::memset(&scf, 0, sizeof(scf));
	scf.id = id;
	scf.fd = fd;
	std::snprintf(scf.backing_file, sizeof(scf.backing_file), "%s", path.c_str());
	long r = c.command(ZEP_IOC_SET_COW_FILE, &scf);
	kern::sys_close(static_cast<unsigned>(fd));
	return r;
}

// The commands that address a session by a snap_shot_request holding only its id.
static long session_command(control &c, unsigned int cmd, int id)
{
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	ssr.id = id;
	return c.command(cmd, &ssr);
}

long wait_for_io_thread(control &c, int id) { return session_command(c, ZEP_IOC_THREAD_WAIT_TIMEOUT, id); }

long stop_snapshot(control &c, int id) { return session_command(c, ZEP_IOC_STOP, id); }

long list_sessions(control &c, std::vector<session_list> *out)
{
	out->clear();
	int32_t count = 0;
	long r = c.command(ZEP_IOC_GET_LIST_COUNT, &count);
	if (r != 0 || count <= 0)
		return r;
	// The request sits at the start of the buffer, the records it points at after it.
	constexpr size_t at = 64;
	size_t room = (control::BUFFER_BYTES - at) / sizeof(session_list);
	session_list_request slr{};
	slr.size = static_cast<int32_t>(std::min(static_cast<size_t>(count), room));
	slr.sl = static_cast<uint32_t>(c.address(at));
	r = c.command(ZEP_IOC_GET_LIST2, &slr);
	if (r != 0)
		return r;
	out->resize(static_cast<size_t>(slr.size));
	c.read(at, out->data(), out->size() * sizeof(session_list));
	return 0;
}

long session_error(control &c, int id, std::string *text)
{
	get_string gs;
	std::memset(&gs, 0, sizeof(gs));
	gs.id = id;
	long r = c.command(ZEP_IOC_GET_SESSION_ERROR, &gs);
	gs.string[sizeof(gs.string) - 1] = 0;
	*text = gs.string;
	return r;
}

kern::pid_t start_io_thread(int session_id, int thread, const std::string &backing, int buffer_bytes)
{
	return kern::spawn("cdpio" + std::to_string(thread), [=] {
		int fd = kern::sys_open(backing.c_str(), O_RDWR | O_CREAT, 0600);
		if (fd < 0)
			return 100;
		long buf = kern::sys_mmap(static_cast<size_t>(buffer_bytes));
		if (buf < 0)
			return 101;
		control c;
		if (c.open() != 0)
			return 102;
		qz_thread_info ti{};
		ti.id = thread;
		ti.session_id = session_id;
		ti.file_fd = fd;
		ti.buffer_size = buffer_bytes;
		ti.user_addr = static_cast<uint32_t>(buf);
		long r = c.command(ZEP_IOC_RUN_IO_THREAD, &ti);
		kern::sys_close(static_cast<unsigned>(fd));
		return static_cast<int>(r);
	});
}

} // namespace zep
