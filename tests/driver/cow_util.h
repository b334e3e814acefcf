// The copy-on-write tests' sessions (cow_session.h) and the agent's side: IO-thread
// processes and writers on device nodes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backupdriver/cow.h"
#include "backupdriver/mrf.h"
#include "backupdriver/zepdriver.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/mm/uaccess.h"
#include "tests/driver/agent_util.h"
#include "tests/driver/cow_session.h"
#include "tests/support/driver_fixture.h"

namespace zeptest {

// The agent's IO thread: a process that opens its backing file, maps a staging buffer
// and stays in the become-IO-thread command until its session is over. Exits with the
// command's result.
inline kern::pid_t start_io_thread(int session_id, const std::string &backing, int id = 0,
				   int buffer_size = 65536, bool bad_fd = false)
{
	return kern::spawn("cdpio", [=] {
		int fd = bad_fd ? 200 : kern::sys_open(backing.c_str(), O_RDWR | O_CREAT, 0600);
		if (fd < 0)
			return 100;
		long buf = kern::sys_mmap(static_cast<size_t>(buffer_size > 0 ? buffer_size : 4096));
		Control c;
		if (buf < 0 || !c.open())
			return 101;
		qz_thread_info ti{};
		ti.id = id;
		ti.session_id = session_id;
		ti.file_fd = fd;
		ti.buffer_size = buffer_size;
		ti.user_addr = static_cast<uint32_t>(buf);
		long r = c.ioctl(ZEP_IOC_RUN_IO_THREAD, c.put(ti));
		c.close();
		return static_cast<int>(r);
	});
}

// Writes data at byte off of /dev/<node> from the calling process: 0, or where it failed.
inline int write_in_process(const std::string &node, kern::loff_t off,
			    const std::vector<unsigned char> &data)
{
	int fd = kern::sys_open(("/dev/" + node).c_str(), O_RDWR, 0);
	if (fd < 0)
		return 1;
	long buf = kern::sys_mmap(data.size());
	kern::user_write(static_cast<unsigned long>(buf), data.data(), data.size());
	ssize_t n = kern::sys_pwrite64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf),
				       data.size(), off);
	kern::sys_munmap(static_cast<unsigned long>(buf), data.size());
	kern::sys_close(static_cast<unsigned>(fd));
	return n == static_cast<ssize_t>(data.size()) ? 0 : 2;
}

// The same from a process of its own named comm.
inline int write_node(const std::string &node, kern::loff_t off, const std::vector<unsigned char> &data,
		      const char *comm = "writer")
{
	return in_process(comm, [&] { return write_in_process(node, off, data); });
}

// Reads bytes [off, off + n) of the device node from a process of its own.
inline std::vector<unsigned char> read_node(const std::string &node, kern::loff_t off, size_t n)
{
	std::vector<unsigned char> out(n);
	int rc = in_process("reader", [&] {
		int fd = kern::sys_open(("/dev/" + node).c_str(), O_RDONLY, 0);
		if (fd < 0)
			return 1;
		long buf = kern::sys_mmap(n);
		ssize_t r = kern::sys_pread64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf), n, off);
		kern::user_read(static_cast<unsigned long>(buf), out.data(), n);
		kern::sys_close(static_cast<unsigned>(fd));
		return r == static_cast<ssize_t>(n) ? 0 : 2;
	});
	EXPECT_EQ(rc, 0);
	return out;
}

// Bytes [off, off + n) of a host file (missing bytes read as absent: the result is short).
inline std::vector<unsigned char> host_file_bytes(const std::string &path, size_t off, size_t n)
{
	std::ifstream in(path, std::ios::binary);
	std::vector<unsigned char> out(n);
	in.seekg(static_cast<std::streamoff>(off));
	in.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(n));
	out.resize(static_cast<size_t>(in.gcount()));
	return out;
}

// Polls cond in real time, for at most `ms` milliseconds; whether it came true.
inline bool wait_until(const std::function<bool()> &cond, unsigned ms = 20000)
{
	for (unsigned waited = 0; waited < ms; waited++) {
		if (cond())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return cond();
}

// A recognisable pattern: the chunk number and the byte's place in it, plus a generation.
inline std::vector<unsigned char> chunk_pattern(size_t bytes, unsigned gen, size_t base = 0)
{
	std::vector<unsigned char> v(bytes);
	for (size_t i = 0; i < bytes; i++) {
		size_t at = base + i;
		v[i] = static_cast<unsigned char>((at * 7 + (at >> 16) * 13 + gen * 101 + (at >> 9)) & 0xff);
	}
	return v;
}

} // namespace zeptest

namespace zeptest {

// A driver test with sessions on ramdisks, IO-thread processes and a folder for their
// backing files. Sessions still running at the end are stopped before the driver goes.
class CowTest : public DriverTest {
protected:
	void SetUp() override
	{
		DriverTest::SetUp();
		dir_ = std::filesystem::temp_directory_path() /
		       ("zep-cow-" + std::to_string(std::random_device{}()));
		std::filesystem::create_directories(dir_);
	}

	void TearDown() override
	{
		for (kern::cow_session *cs : sessions_)
			stop_session(cs);
		sessions_.clear();
		for (kern::pid_t pid : threads_)
			kern::waitpid(pid);
		threads_.clear();
		DriverTest::TearDown();
		std::filesystem::remove_all(dir_);
	}

	std::string backing(const std::string &name) const { return (dir_ / name).string(); }

	// A hooked, registered session.
	kern::cow_session *start(kern::dev_t dev, int id, int mode = USER_SPACE_FILE, kern::u64 bfree = 0)
	{
		kern::cow_session *cs = build_session(dev, id, mode, bfree);
		EXPECT_NE(cs, nullptr);
		EXPECT_EQ(hook_session(cs), 0);
		sessions_.push_back(cs);
		return cs;
	}

	void stop(kern::cow_session *cs)
	{
		std::erase(sessions_, cs);
		stop_session(cs);
	}

	// Starts an IO-thread process and waits until it has taken its slot.
	kern::pid_t attach(kern::cow_session *cs, const std::string &file, int id = 0,
			   int buffer_size = 65536, bool bad_fd = false)
	{
		kern::pid_t pid = start_io_thread(cs->clone_id, backing(file), id, buffer_size, bad_fd);
		threads_.push_back(pid);
		kern::wait_for_completion(&cs->thread_info->io_thread_done);
		return pid;
	}

	// Waits (real time, bounded) until nothing is queued on the session's threads and no
	// file copy is left.
	bool drained(kern::cow_session *cs, unsigned ms = 20000)
	{
		for (unsigned waited = 0; waited < ms; waited += 2) {
			bool idle = kern::atomic_read(&cs->fc_count) == 0;
			for (kern::io_thread *t : cs->thread_info->io_threads)
				idle = idle && kern::atomic_read(&t->pending_io) == 0 &&
				       kern::atomic_read(&t->pending_anon_io) == 0;
			if (idle)
				return true;
			std::this_thread::sleep_for(std::chrono::milliseconds(2));
		}
		return false;
	}

	// The session's preserved record of a chunk, or null.
	static kern::cow_chunk *preserved(kern::cow_session *cs, kern::u64 chunk)
	{
		unsigned long flags;
		spin_lock_irqsave(&cs->chunk_lock, flags);
		kern::cow_chunk *cc = kern::get_cow_chunk(&cs->chunk_table, chunk);
		kern::spin_unlock_irqrestore(&cs->chunk_lock, flags);
		return cc;
	}

	std::filesystem::path dir_;
	std::vector<kern::cow_session *> sessions_;
	std::vector<kern::pid_t> threads_;
};

} // namespace zeptest

namespace zeptest {

// Sessions started through the agent's commands on mounted devices. Whatever still runs
// at the end is stopped by the agent's unload, so that the IO threads leave before they
// are waited for; the devices mounted here are unmounted.
class AgentSessionTest : public CowTest {
protected:
	void TearDown() override
	{
		if (loaded_ && !halted_)
			agent_command_at(ZEP_IOC_UNLOAD, 0);
		for (kern::pid_t pid : threads_)
			EXPECT_EQ(kern::waitpid(pid), 0);
		threads_.clear();
		for (kern::dev_t dev : mounted_)
			kern::umount(dev);
		CowTest::TearDown();
	}

	void mount(kern::dev_t dev)
	{
		ASSERT_EQ(kern::mount(dev), 0);
		mounted_.push_back(dev);
	}

	// Starts a session on dev through the agent's start command: its id, or the result.
	int start_agent(kern::dev_t dev, const std::string &name,
			int mode = ZEP_MODE_CHANGE_TRACKING | USER_SPACE_FILE)
	{
		auto ssr = start_request(dev, backing(name), mode);
		return static_cast<int>(start_snapshot(&ssr));
	}

	// Gives the agent's session an IO-thread process and waits until it runs.
	void serve(int id, const std::string &file)
	{
		threads_.push_back(start_io_thread(id, backing(file)));
		EXPECT_EQ(thread_wait(id), 0);
	}

	// The registered session with this id, or null.
	static kern::cow_session *session(int id)
	{
		kern::down(&kern::session_list_lock);
		kern::cow_session *cs = kern::get_cow_session_by_id(id);
		kern::up(&kern::session_list_lock);
		return cs;
	}

	std::vector<kern::dev_t> mounted_;
};

} // namespace zeptest

namespace zeptest {

// Processes rewriting random blocks of device nodes until stopped, as live traffic on a
// mounted file system would: writer w puts its own pattern on /dev/<nodes[w % n]>.
class RandomWriters {
public:
	RandomWriters(const std::vector<std::string> &nodes, int count, size_t device_bytes,
		      size_t block = 4096)
	{
		for (int w = 0; w < count; w++)
			pids_.push_back(kern::spawn("writer", [this, w, device_bytes, block,
							       node = nodes[static_cast<size_t>(w) % nodes.size()]] {
				return run(node, static_cast<unsigned>(w), device_bytes / block, block);
			}));
	}
	RandomWriters(const RandomWriters &) = delete;
	RandomWriters &operator=(const RandomWriters &) = delete;
	~RandomWriters() { stop(); }

	// Waits until `n` blocks have been written in all.
	void wait_for(int n) const
	{
		while (written_ < n)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}

	// Stops the writers and waits for them: whether every write went through.
	bool stop()
	{
		stopping_ = true;
		bool ok = true;
		for (kern::pid_t pid : pids_)
			ok = kern::waitpid(pid) == 0 && ok;
		pids_.clear();
		return ok;
	}

private:
	int run(const std::string &node, unsigned w, size_t blocks, size_t block)
	{
		std::mt19937 rng(w + 1);
		int fd = kern::sys_open(("/dev/" + node).c_str(), O_RDWR, 0);
		if (fd < 0)
			return 1;
		auto addr = static_cast<unsigned long>(kern::sys_mmap(block));
		auto data = chunk_pattern(block, 50 + w);
		kern::user_write(addr, data.data(), block);
		int failed = 0;
		while (!stopping_ && !failed) {
			auto off = static_cast<kern::loff_t>(rng() % blocks * block);
			failed = kern::sys_pwrite64(static_cast<unsigned>(fd), addr, block, off) !=
				 static_cast<ssize_t>(block);
			written_++;
		}
		kern::sys_close(static_cast<unsigned>(fd));
		return failed;
	}

	std::vector<kern::pid_t> pids_;
	std::atomic<bool> stopping_{false};
	std::atomic<int> written_{0};
};

} // namespace zeptest
