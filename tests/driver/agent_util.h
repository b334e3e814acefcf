// The agent's side of the snapshot protocol, as its processes issue it through
// /dev/zepdriver: start, hand over the backing file, IO threads, thread-wait, stop; and
// reading or writing a device node from a process of its own.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "backupdriver/zepdriver.h"
#include "kernel/machine.h"
#include "kernel/locking/semaphore.h"
#include "kernel/syscalls.h"
#include "kernel/mm/uaccess.h"
#include "tests/support/driver_fixture.h"

namespace zeptest {

// A start request for dev with the agent's usual texts.
inline snap_shot_request start_request(kern::dev_t dev, const std::string &backing,
				       int mode = ZEP_MODE_CHANGE_TRACKING | USER_SPACE_FILE)
{
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	ssr.major = static_cast<int32_t>(kern::MAJOR(dev));
	ssr.minor = static_cast<int32_t>(kern::MINOR(dev));
	ssr.mode = mode;
	std::snprintf(ssr.device_name, sizeof(ssr.device_name), "dev%u", kern::MINOR(dev));
	std::snprintf(ssr.device_path, sizeof(ssr.device_path), "/dev/dev%u", kern::MINOR(dev));
	std::snprintf(ssr.backing_file, sizeof(ssr.backing_file), "%s", backing.c_str());
	return ssr;
}

// Starts a session; its id, or the command's result when it fails (ssr holds the answer).
inline long start_snapshot(snap_shot_request *ssr)
{
	long r = agent_command(ZEP_IOC_START, ssr);
	return r == 0 ? ssr->id : r;
}

inline long stop_snapshot(int id, snap_shot_request *out = nullptr)
{
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	ssr.id = id;
	long r = agent_command(ZEP_IOC_STOP, &ssr);
	if (out)
		*out = ssr;
	return r;
}

inline long thread_wait(int id)
{
	snap_shot_request ssr;
	std::memset(&ssr, 0, sizeof(ssr));
	ssr.id = id;
	return agent_command(ZEP_IOC_THREAD_WAIT_TIMEOUT, &ssr);
}

// Hands the session a backing file opened (and kept open by the session) in the agent.
inline long set_backing_file(int id, const std::string &path)
{
	long result = -100;
	int rc = in_process("cdpagent", [&] {
		int fd = kern::sys_open(path.c_str(), O_RDWR | O_CREAT, 0600);
		if (fd < 0)
			return 1;
		Control c;
		if (!c.open())
			return 2;
		set_cow_file scf;
		std::memset(&scf, 0, sizeof(scf));
		scf.id = id;
		scf.fd = fd;
		std::snprintf(scf.backing_file, sizeof(scf.backing_file), "%s", path.c_str());
		result = c.ioctl(ZEP_IOC_SET_COW_FILE, c.put(scf));
		c.close();
		kern::sys_close(static_cast<unsigned>(fd));
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return result;
}

inline std::string session_error(int id)
{
	get_string gs;
	std::memset(&gs, 0, sizeof(gs));
	gs.id = id;
	agent_command(ZEP_IOC_GET_SESSION_ERROR, &gs);
	return gs.string;
}

// Takes n change records with the change-record command from an agent process (which
// waits until n are queued); the records delivered, oldest first.
inline std::vector<change_record_usr> changed_records(int n)
{
	std::vector<change_record_usr> recs;
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		change_recrod_request crr;
		std::memset(&crr, 0, sizeof(crr));
		crr.size = n;
		crr.cru = static_cast<uint32_t>(c.mem + 4096);
		long got = c.ioctl(ZEP_IOC_GET_CHANGED_RECORDS, c.put(crr));
		if (got > 0) {
			recs.resize(static_cast<size_t>(got));
			c.get_bytes(recs.data(), recs.size() * sizeof(change_record_usr), 4096);
		}
		c.close();
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return recs;
}

// Reads [off, off + n) of /dev/<node> in `piece`-byte reads from a process named comm;
// empty on failure.
inline std::vector<unsigned char> read_device(const std::string &node, kern::loff_t off, size_t n,
					      const char *comm = "cdpread", size_t piece = 65536)
{
	std::vector<unsigned char> out(n);
	int rc = in_process(comm, [&] {
		int fd = kern::sys_open(("/dev/" + node).c_str(), O_RDONLY, 0);
		if (fd < 0)
			return 1;
		long buf = kern::sys_mmap(piece);
		for (size_t done = 0; done < n; done += piece) {
			size_t len = n - done < piece ? n - done : piece;
			ssize_t r = kern::sys_pread64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf),
						      len, off + static_cast<kern::loff_t>(done));
			if (r != static_cast<ssize_t>(len))
				return 2;
			kern::user_read(static_cast<unsigned long>(buf), out.data() + done, len);
		}
		kern::sys_close(static_cast<unsigned>(fd));
		return 0;
	});
	if (rc != 0)
		out.clear();
	return out;
}

// One ioctl on /dev/<node> from a process named comm, with a zeroed 4096-byte user
// buffer as its argument; the buffer's first 4 bytes come back in *word. The result, or
// -1000 when the node could not be opened.
inline long node_ioctl(const std::string &node, unsigned int cmd, uint32_t *word = nullptr,
		       const char *comm = "cdpioctl")
{
	long result = -1000;
	int rc = in_process(comm, [&] {
		int fd = kern::sys_open(("/dev/" + node).c_str(), O_RDONLY, 0);
		if (fd < 0)
			return 0;
		long buf = kern::sys_mmap(4096);
		result = kern::sys_ioctl(static_cast<unsigned>(fd), cmd, static_cast<unsigned long>(buf));
		if (word)
			kern::user_read(static_cast<unsigned long>(buf), word, sizeof(*word));
		kern::sys_close(static_cast<unsigned>(fd));
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return result;
}

// A process named comm that opens /dev/<node> and keeps it open until close() (or the
// holder's end), as a reader or a mount of the device would.
class NodeHolder {
public:
	NodeHolder(const std::string &node, const char *comm)
	{
		sema_init(&opened_, 0);
		sema_init(&release_, 0);
		pid_ = kern::spawn(comm, [this, node] {
			fd_ = kern::sys_open(("/dev/" + node).c_str(), O_RDONLY, 0);
			kern::up(&opened_);
			kern::down(&release_);
			if (fd_ >= 0)
				kern::sys_close(static_cast<unsigned>(fd_));
			return 0;
		});
		kern::down(&opened_);
	}
	NodeHolder(const NodeHolder &) = delete;
	NodeHolder &operator=(const NodeHolder &) = delete;
	~NodeHolder() { close(); }

	// The open's result: a descriptor, or -errno.
	int fd() const { return fd_; }
	// Closes the node (in the holder's process) and waits for the process to end.
	void close()
	{
		if (pid_ < 0)
			return;
		kern::up(&release_);
		EXPECT_EQ(kern::waitpid(pid_), 0);
		pid_ = -1;
	}

private:
	kern::semaphore opened_, release_;
	kern::pid_t pid_ = -1;
	int fd_ = -1;
};

// What one get-changed-records command delivered.
struct change_delivery {
	long result = 0;
	change_recrod_request crr{};
	std::vector<change_record_usr> recs;	// the records delivered, oldest first
};

// Takes up to `size` change records from an agent process; the command waits until
// that many are queued (or an unblock or a signal comes).
inline change_delivery take_changes(int size)
{
	change_delivery d;
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open(4096 + static_cast<size_t>(size) * sizeof(change_record_usr)))
			return 1;
		change_recrod_request crr{};
		crr.size = size;
		crr.cru = static_cast<uint32_t>(c.mem + 4096);
		d.result = c.ioctl(ZEP_IOC_GET_CHANGED_RECORDS, c.put(crr));
		d.crr = c.get<change_recrod_request>();
		if (d.result > 0) {
			d.recs.resize(static_cast<size_t>(d.result));
			c.get_bytes(d.recs.data(), d.recs.size() * sizeof(change_record_usr), 4096);
		}
		c.close();
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return d;
}

} // namespace zeptest
