// System calls from processes: concurrent host-file IO, closing at exit, ioctl records
// through user memory, signals delivered at syscall return.
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kernel/fs/fs.h"
#include "kernel/locking/completion.h"
#include "kernel/locking/wait.h"
#include "kernel/syscalls.h"
#include "kernel/mm/uaccess.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

namespace {

constexpr unsigned CMD_XFORM = 0x5a01;
constexpr unsigned CMD_WAIT = 0x5a02;
constexpr unsigned TESTDEV_MAJOR = 240;

// The record CMD_XFORM takes in and gives back.
struct xform_rec {
	u32 a, b;
	char name[16];
	u32 sum;
};

struct testdev_state {
	std::atomic<int> opens{0}, releases{0};
	std::atomic<bool> waiting{false};
	std::atomic<bool> go{false};
	wait_queue_head_t wq;
} dev;

int testdev_open(inode *, file *) { return dev.opens++, 0; }
int testdev_release(inode *, file *) { return dev.releases++, 0; }

long testdev_ioctl(file *f, unsigned cmd, unsigned long arg)
{
	switch (cmd) {
	case CMD_XFORM: {
		xform_rec r;
		if (copy_from_user(&r, uptr(arg), sizeof(r)))
			return -EFAULT;
		r.sum = r.a + r.b;
		for (char &c : r.name)
			c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
		return copy_to_user(uptr(arg), &r, sizeof(r)) ? -EFAULT : 0;
	}
	case CMD_WAIT: {
		dev.waiting = true;
		int r = wait_event_interruptible(dev.wq, dev.go.load());
		dev.waiting = false;
		return r;
	}
	default:
		return -ENOTTY;
	}
}

// The old entry point: gets the inode too.
int oldstyle_ioctl(inode *ino, file *f, unsigned cmd, unsigned long arg)
{
	return ino == f->f_dentry->d_inode ? static_cast<int>(MINOR(ino->i_rdev) * 100 + cmd) : -EINVAL;
}

const file_operations testdev_fops = {
	.owner = nullptr,
	.unlocked_ioctl = testdev_ioctl,
	.open = testdev_open,
	.release = testdev_release,
};
const file_operations oldstyle_fops = {
	.owner = nullptr,
	.ioctl = oldstyle_ioctl,
};

std::string temp_path(const char *tag)
{
	return (std::filesystem::temp_directory_path() /
		(std::string("zep-sys-") + tag + "-" + std::to_string(std::random_device{}())))
		.string();
}

// Waits (real time, generously) for a condition another task makes true.
template <typename F> bool eventually(F cond)
{
	for (int i = 0; i < 5000 && !cond(); i++)
		msleep(10);	// 10 virtual ms = 0.1 ms real
	return cond();
}

} // namespace

class Syscalls : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		dev.opens = dev.releases = 0;
		dev.waiting = dev.go = false;
		init_waitqueue_head(&dev.wq);
		ASSERT_EQ(register_chrdev(TESTDEV_MAJOR, "testdev", &testdev_fops), 0);
		ASSERT_EQ(register_chrdev(TESTDEV_MAJOR + 1, "oldstyle", &oldstyle_fops), 0);
		ASSERT_EQ(dev_node_add("testdev", S_IFCHR, MKDEV(TESTDEV_MAJOR, 0)), 0);
		ASSERT_EQ(dev_node_add("oldstyle", S_IFCHR, MKDEV(TESTDEV_MAJOR + 1, 7)), 0);
	}
	void TearDown() override
	{
		unregister_chrdev(TESTDEV_MAJOR, "testdev");
		unregister_chrdev(TESTDEV_MAJOR + 1, "oldstyle");
		MachineTest::TearDown();
	}
};

TEST_F(Syscalls, EightProcessesWriteDisjointRangesConcurrently)
{
	constexpr int NPROC = 8;
	constexpr size_t SLICE = 64 * 1024, CHUNK = 16 * 1024;
	std::string path = temp_path("pwrite");
	int fd = sys_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(sys_close(fd), 0);

	auto byte_at = [](size_t off) { return static_cast<char>((off * 131 + off / 4096) & 0xff); };
	DECLARE_COMPLETION(start);
	std::vector<kern::pid_t> pids;
	for (int i = 0; i < NPROC; i++) {
		pids.push_back(spawn("writer", [&, i] {
			int wfd = sys_open(path.c_str(), O_WRONLY, 0);
			long buf = sys_mmap(SLICE);
			if (wfd < 0 || buf <= 0)
				return 1;
			std::vector<char> data(SLICE);
			for (size_t k = 0; k < SLICE; k++)
				data[k] = byte_at(i * SLICE + k);
			user_write(buf, data.data(), SLICE);
			wait_for_completion(&start);
			// Chunks out of order, so that writers interleave within the file too.
			for (size_t c : {3, 0, 2, 1}) {
				kern::loff_t off = static_cast<kern::loff_t>(i * SLICE + c * CHUNK);
				if (sys_pwrite64(wfd, buf + c * CHUNK, CHUNK, off) != static_cast<ssize_t>(CHUNK))
					return 2;
			}
			return sys_close(wfd) == 0 ? 0 : 3;
		}));
	}
	complete_all(&start);
	for (kern::pid_t p : pids)
		EXPECT_EQ(waitpid(p), 0);

	fd = sys_open(path.c_str(), O_RDONLY, 0);
	ASSERT_GE(fd, 0);
	long buf = sys_mmap(NPROC * SLICE);
	ASSERT_GT(buf, 0);
	EXPECT_EQ(sys_pread64(fd, buf, NPROC * SLICE + 100, 0), static_cast<ssize_t>(NPROC * SLICE));
	std::vector<char> back(NPROC * SLICE);
	ASSERT_EQ(user_read(buf, back.data(), back.size()), 0);
	size_t bad = 0;
	for (size_t k = 0; k < back.size(); k++)
		bad += back[k] != byte_at(k);
	EXPECT_EQ(bad, 0u);
	EXPECT_EQ(sys_close(fd), 0);
	EXPECT_EQ(sys_munmap(buf, NPROC * SLICE), 0);
	EXPECT_EQ(sys_unlink(path.c_str()), 0);
	EXPECT_EQ(sys_unlink(path.c_str()), -ENOENT);
}

TEST_F(Syscalls, EndingProcessReleasesEachFileExactlyOnce)
{
	int releases_after_first_close = -1;
	kern::pid_t pid = spawn("holder", [&] {
		int fd1 = sys_open("/dev/testdev", O_RDWR);
		int fd2 = sys_open("/dev/testdev", O_RDWR);
		// The file of fd1 gets a second descriptor, sharing it as dup() would.
		file *f = fget(fd1);
		int fd3 = get_unused_fd();
		if (fd1 < 0 || fd2 < 0 || !f || fd3 < 0)
			return 1;
		fd_install(fd3, f);	// the reference from fget now belongs to fd3
		if (sys_close(fd1))
			return 2;
		releases_after_first_close = dev.releases;
		return 0;	// fd2 and fd3 are left for exit to close
	});
	EXPECT_EQ(waitpid(pid), 0);
	EXPECT_EQ(releases_after_first_close, 0);
	EXPECT_EQ(dev.opens, 2);
	EXPECT_EQ(dev.releases, 2);
	EXPECT_EQ(files_open_count(), 0);
}

// Host threads that enter a process are its threads: a descriptor and a mapping one of
// them makes serve the others; the file goes once the process and every thread have left.
TEST_F(Syscalls, EnteredHostThreadsShareTheProcesssFilesAndMemory)
{
	DECLARE_COMPLETION(done);
	kern::pid_t leader = spawn("server", [&] {
		wait_for_completion(&done);
		return 0;
	});
	EXPECT_EQ(enter_process(99999, "nobody"), -ESRCH);
	std::atomic<int> fd{-1};
	std::atomic<long> buf{0};
	std::thread opener([&] {
		ASSERT_EQ(enter_process(leader, "worker"), 0);
		fd = sys_open("/dev/testdev", O_RDWR);
		buf = sys_mmap(4096);
		user_write(buf, "shared", 7);
		leave_process();
	});
	opener.join();
	ASSERT_GE(fd.load(), 0);
	std::vector<std::thread> users;
	std::atomic<int> ok{0};
	for (int i = 0; i < 4; i++)
		users.emplace_back([&] {
			ASSERT_EQ(enter_process(leader, "worker"), 0);
			char back[7] = {};
			file *f = fget(static_cast<unsigned>(fd.load()));
			if (f && user_read(buf, back, 7) == 0 && std::string(back) == "shared" &&
			    sys_getpid() == leader)
				ok++;
			fput(f);
		});	// these leave as their host threads end
	for (auto &t : users)
		t.join();
	EXPECT_EQ(ok, 4);
	EXPECT_EQ(dev.releases, 0);
	complete(&done);
	EXPECT_EQ(waitpid(leader), 0);
	EXPECT_EQ(dev.opens, 1);
	EXPECT_EQ(dev.releases, 1);
	EXPECT_EQ(files_open_count(), 0);
}

TEST_F(Syscalls, IoctlCopiesRecordsThroughUserMemory)
{
	int rc = waitpid(spawn("ctl", [] {
		int fd = sys_open("/dev/testdev", O_RDWR);
		long a = sys_mmap(PAGE_SIZE);
		if (fd < 0 || a <= 0)
			return 1;
		xform_rec in{40, 2, "snapshot", 0};
		user_write(a, &in, sizeof(in));
		if (sys_ioctl(fd, CMD_XFORM, a) != 0)
			return 2;
		xform_rec out{};
		user_read(a, &out, sizeof(out));
		if (out.sum != 42 || std::strcmp(out.name, "SNAPSHOT") || out.a != 40)
			return 3;
		// A record that runs into the guard page, or lies in kernel space.
		if (sys_ioctl(fd, CMD_XFORM, a + PAGE_SIZE - 8) != -EFAULT ||
		    sys_ioctl(fd, CMD_XFORM, TASK_SIZE) != -EFAULT)
			return 4;
		if (sys_ioctl(fd, 0x1234, a) != -ENOTTY || sys_ioctl(99, CMD_XFORM, a) != -EBADF)
			return 5;
		int old = sys_open("/dev/oldstyle", O_RDONLY);
		if (old < 0 || sys_ioctl(old, 5, 0) != 705)
			return 6;
		return 0;
	}));
	EXPECT_EQ(rc, 0);
	// A host file has no ioctl at all.
	std::string path = temp_path("noioctl");
	int fd = sys_open(path.c_str(), O_RDWR | O_CREAT, 0600);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(sys_ioctl(fd, CMD_XFORM, 0), -ENOTTY);
	EXPECT_EQ(sys_close(fd), 0);
	EXPECT_EQ(sys_close(fd), -EBADF);
	std::filesystem::remove(path);
}

// Starts a process that blocks in CMD_WAIT after setting up its signals; `after` is set
// if the ioctl returned to it, with the result in `result`.
static kern::pid_t blocked_process(std::function<void()> setup, std::atomic<long> *result, std::atomic<bool> *after)
{
	return spawn("waiter", [=] {
		setup();
		int fd = sys_open("/dev/testdev", O_RDWR);
		long r = sys_ioctl(fd, CMD_WAIT, 0);
		*result = r;
		*after = true;
		return r == 0 ? 0 : 1;
	});
}

TEST_F(Syscalls, KillEndsAProcessBlockedInAnIoctl)
{
	std::atomic<long> result{1};
	std::atomic<bool> after{false};
	kern::pid_t pid = blocked_process([] {}, &result, &after);
	ASSERT_TRUE(eventually([] { return dev.waiting.load(); }));
	EXPECT_EQ(kern::kill(pid, SIGKILL), 0);
	EXPECT_EQ(waitpid(pid), 128 + SIGKILL);
	EXPECT_FALSE(after);	// unwound at the syscall boundary, never saw the result
	EXPECT_EQ(dev.releases, 1);

	// What the process's destructors do while it unwinds completes: no second throw out
	// of a destructor (which would end the whole program), and its file is closed.
	std::atomic<long> closed{1};
	struct closer {
		int fd;
		std::atomic<long> *closed;
		~closer() { *closed = sys_close(static_cast<unsigned>(fd)); }
	};
	pid = spawn("waiter", [&] {
		int fd = sys_open("/dev/testdev", O_RDWR);
		closer c{fd, &closed};
		result = sys_ioctl(static_cast<unsigned>(fd), CMD_WAIT, 0);
		after = true;
		return 0;
	});
	ASSERT_TRUE(eventually([] { return dev.waiting.load(); }));
	EXPECT_EQ(kern::kill(pid, SIGKILL), 0);
	EXPECT_EQ(waitpid(pid), 128 + SIGKILL);
	EXPECT_FALSE(after);
	EXPECT_EQ(closed, 0);
	EXPECT_EQ(dev.releases, 2);

	// A catchable signal left at its default action terminates as well.
	pid = blocked_process([] {}, &result, &after);
	ASSERT_TRUE(eventually([] { return dev.waiting.load(); }));
	EXPECT_EQ(kern::kill(pid, SIGTERM), 0);
	EXPECT_EQ(waitpid(pid), 128 + SIGTERM);
	EXPECT_FALSE(after);
	EXPECT_EQ(dev.releases, 3);
}

static std::atomic<int> handled{0};
static void on_usr2(int sig) { handled += sig == SIGUSR2 ? 1 : 100; }

TEST_F(Syscalls, IgnoredSignalDoesNotInterruptAndHandledOneDoes)
{
	handled = 0;
	std::atomic<long> result{1};
	std::atomic<bool> after{false};
	kern::pid_t pid = blocked_process([] { sys_signal(SIGUSR1, SIG_IGN); }, &result, &after);
	ASSERT_TRUE(eventually([] { return dev.waiting.load(); }));
	EXPECT_EQ(kern::kill(pid, SIGUSR1), 0);
	msleep(2000);	// 20 ms real: ample time to react if it were going to
	EXPECT_TRUE(dev.waiting);
	EXPECT_FALSE(after);
	dev.go = true;
	wake_up_all(&dev.wq);
	EXPECT_EQ(waitpid(pid), 0);
	EXPECT_EQ(result, 0);

	// With a handler the wait ends, the call fails with EINTR and the handler runs once;
	// the process goes on.
	dev.go = false;
	pid = blocked_process([] { sys_signal(SIGUSR2, on_usr2); }, &result, &after);
	ASSERT_TRUE(eventually([] { return dev.waiting.load(); }));
	EXPECT_EQ(kern::kill(pid, SIGUSR2), 0);
	EXPECT_EQ(waitpid(pid), 1);
	EXPECT_EQ(result, -EINTR);
	EXPECT_EQ(handled, 1);
	EXPECT_EQ(dev.releases, 2);
}

struct no_process_results {
	int open, read, ioctl;
	long mmap;
	completion done;
};

static int daemon_calls(void *arg)
{
	auto *r = static_cast<no_process_results *>(arg);
	daemonize("zep-daemon");
	r->open = sys_open("/dev/testdev", O_RDWR);
	r->read = static_cast<int>(sys_read(0, MMAP_BASE, 16));
	r->ioctl = static_cast<int>(sys_ioctl(0, CMD_XFORM, 0));
	r->mmap = sys_mmap(PAGE_SIZE);
	complete(&r->done);
	return 0;
}

TEST_F(Syscalls, ThreadWithoutProcessGetsErrorsNotCrashes)
{
	no_process_results r{};
	init_completion(&r.done);
	ASSERT_GT(kernel_thread(daemon_calls, &r, 0), 0);
	wait_for_completion(&r.done);
	EXPECT_EQ(r.open, -EMFILE);
	EXPECT_EQ(r.read, -EBADF);
	EXPECT_EQ(r.ioctl, -EBADF);
	EXPECT_EQ(r.mmap, -EFAULT);
	EXPECT_EQ(dev.opens, 0);
}

TEST_F(Syscalls, ReadWriteSeekAndIdentity)
{
	std::string path = temp_path("rw");
	std::atomic<kern::pid_t> seen{0};
	kern::pid_t pid = spawn("rw", [&] {
		int w = sys_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		long a = sys_mmap(PAGE_SIZE);
		user_write(a, "0123456789", 10);
		if (sys_write(w, a, 10) != 10 || sys_write(w, a, 4) != 4 || sys_read(w, a, 1) != -EBADF)
			return 1;
		if (sys_write(w, a + PAGE_SIZE, 1) != -EFAULT || sys_write(w, TASK_SIZE - 1, 2) != -EFAULT)
			return 2;
		if (sys_fsync(w) != 0 || sys_close(w) != 0)
			return 3;
		int r = sys_open(path.c_str(), O_RDONLY);
		if (sys_lseek(r, 8, SEEK_SET) != 8 || sys_read(r, a + 100, 3) != 3 || sys_lseek(r, 0, SEEK_CUR) != 11)
			return 4;
		char got[4] = {};
		user_read(a + 100, got, 3);
		if (std::strcmp(got, "890") || sys_write(r, a, 1) != -EBADF)
			return 5;
		if (sys_lseek(r, -2, SEEK_END) != 12 || sys_lseek(r, 0, 7) != -EINVAL)
			return 6;
		// Read into a buffer that ends in the guard page: what fits, then stop.
		sys_lseek(r, 0, SEEK_SET);
		if (sys_read(r, a + PAGE_SIZE - 5, 14) != 5 || sys_read(r, a + PAGE_SIZE, 4) != -EFAULT)
			return 7;
		if (sys_prctl_set_name("cdp-a-very-long-name") || std::strcmp(get_current()->comm, "cdp-a-very-long"))
			return 8;
		if (sys_kill(sys_getpid(), 0) != 0 || sys_kill(99999, SIGKILL) != -ESRCH)
			return 9;
		seen = sys_getpid();
		return 0;
	});
	EXPECT_EQ(waitpid(pid), 0);
	EXPECT_EQ(seen, pid);
	EXPECT_EQ(std::filesystem::file_size(path), 14u);
	std::filesystem::remove(path);
}

// A repository's commit and lock: a folder's names listed, a file renamed over another,
// fsync of the folder, and flock between two opens of one file (as two programs).
TEST_F(Syscalls, FoldersRenameAndFileLocks)
{
	std::filesystem::path dir = temp_path("folder");
	std::filesystem::create_directories(dir);
	kern::pid_t pid = spawn("repo", [&] {
		std::string a = (dir / "a.tmp").string(), b = (dir / "b.json").string();
		int f = sys_open(a.c_str(), O_WRONLY | O_CREAT, 0600);
		sys_close(f);
		if (sys_rename(a.c_str(), b.c_str()) || sys_rename(a.c_str(), b.c_str()) != -ENOENT ||
		    sys_rename(b.c_str(), "/dev/x") != -EXDEV)
			return 1;
		int d = sys_open(dir.c_str(), O_RDONLY | O_DIRECTORY);
		long buf = sys_mmap(PAGE_SIZE);
		std::vector<std::string> names;
		for (long n; (n = sys_getdents64(d, buf, PAGE_SIZE)) > 0;) {
			std::vector<char> k(n);
			user_read(buf, k.data(), n);
			for (long off = 0; off < n;) {
				unsigned short reclen;
				std::memcpy(&reclen, k.data() + off + 16, 2);
				names.emplace_back(k.data() + off + 19);
				off += reclen;
			}
		}
		std::sort(names.begin(), names.end());
		if (names != std::vector<std::string>{".", "..", "b.json"})
			return 2;
		if (sys_fsync(d) ||
		    sys_read(d, buf, 1) != -EISDIR || sys_getdents64(sys_open(b.c_str(), O_RDONLY), buf, 64) != -ENOTDIR)
			return 3;
		int l1 = sys_open(b.c_str(), O_RDONLY), l2 = sys_open(b.c_str(), O_RDONLY);
		if (sys_flock(l1, LOCK_EX | LOCK_NB) || sys_flock(l2, LOCK_SH | LOCK_NB) != -EWOULDBLOCK ||
		    sys_flock(l2, 99) != -EINVAL)
			return 4;
		sys_close(l1);	// the lock goes with its descriptor
		if (sys_flock(l2, LOCK_SH | LOCK_NB))
			return 5;
		return 0;
	});
	EXPECT_EQ(waitpid(pid), 0);
	std::filesystem::remove_all(dir);
}
