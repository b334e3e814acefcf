// Files: host-backed IO through either view of memory, fault points, last-reference
// release, character majors, device nodes, descriptor tables, and the halt report.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <random>

#include <sys/syscall.h>
#include <unistd.h>

#include "kernel/core/faults.h"
#include "kernel/fs/fs.h"
#include "kernel/syscalls.h"
#include "kernel/mm/uaccess.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

namespace {

std::atomic<int> opens{0}, releases{0}, open_result{0};

int count_open(inode *, file *f)
{
	if (open_result)
		return open_result;
	opens++;
	f->private_data = &opens;
	return 0;
}

int count_release(inode *, file *f)
{
	if (f->private_data == &opens)
		releases++;
	return 0;
}

const file_operations counting_fops = {
	.owner = nullptr,
	.open = count_open,
	.release = count_release,
};

std::string temp_path(const char *tag)
{
	return (std::filesystem::temp_directory_path() /
		(std::string("zep-fs-") + tag + "-" + std::to_string(std::random_device{}())))
		.string();
}

// The host's pwrite, which the kernel's host layer calls, stands in here: on the
// descriptor named it moves nothing, as a device that takes no more may answer; after
// 1000 calls it gives in, so that a writer that keeps asking ends instead of hanging.
std::atomic<int> stalling_fd{-1}, stalled_calls{0};

} // namespace

extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
	if (fd == stalling_fd && stalled_calls++ < 1000)
		return 0;
	return syscall(SYS_pwrite64, fd, buf, n, off);
}

class Files : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		opens = releases = open_result = 0;
	}
};

TEST_F(Files, HostFileIoThroughKernelAndUserBuffers)
{
	std::string path = temp_path("io");
	file *f = filp_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	ASSERT_FALSE(IS_ERR(f)) << PTR_ERR(f);

	// A kernel buffer under KERNEL_DS.
	const char kmsg[] = "written from a kernel buffer";
	kern::loff_t pos = 0;
	mm_segment_t old = get_fs();
	set_fs(KERNEL_DS);
	EXPECT_EQ(f->f_op->write(f, kmsg, sizeof(kmsg), &pos), static_cast<ssize_t>(sizeof(kmsg)));
	set_fs(old);
	EXPECT_EQ(pos, static_cast<kern::loff_t>(sizeof(kmsg)));

	// The same pointer under USER_DS is not a user address.
	EXPECT_EQ(f->f_op->write(f, kmsg, sizeof(kmsg), &pos), -EFAULT);

	// A user buffer (this thread is init, which has an address space).
	long ua = sys_mmap(PAGE_SIZE);
	ASSERT_GT(ua, 0);
	pos = 0;
	EXPECT_EQ(f->f_op->read(f, static_cast<char *>(uptr(ua)), PAGE_SIZE, &pos),
		  static_cast<ssize_t>(sizeof(kmsg)));	// short: end of file
	char back[sizeof(kmsg)];
	ASSERT_EQ(user_read(ua, back, sizeof(back)), 0);
	EXPECT_STREQ(back, kmsg);

	// A user buffer that ends in the guard page: the mapped part moves, no more.
	std::string big(300, 'B');
	user_write(ua + PAGE_SIZE - 100, big.data(), 100);
	pos = 1000;
	EXPECT_EQ(f->f_op->write(f, static_cast<char *>(uptr(ua + PAGE_SIZE - 100)), 300, &pos), 100);
	EXPECT_EQ(f->f_op->llseek(f, 0, SEEK_END), 1100);
	EXPECT_EQ(f->f_op->llseek(f, -5, SEEK_SET), -EINVAL);
	EXPECT_EQ(f->f_op->fsync(f, f->f_dentry, 0), 0);
	fput(f);
	EXPECT_EQ(files_open_count(), 0);
	EXPECT_EQ(std::filesystem::file_size(path), 1100u);
	std::filesystem::remove(path);
}

TEST_F(Files, AHostWriteThatMovesNothingFails)
{
	std::string path = temp_path("stall");
	file *f = filp_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	ASSERT_FALSE(IS_ERR(f)) << PTR_ERR(f);
	char data[512] = {};
	kern::loff_t pos = 0;
	mm_segment_t old = get_fs();
	set_fs(KERNEL_DS);
	stalling_fd = f->host_fd;
	EXPECT_EQ(f->f_op->write(f, data, sizeof(data), &pos), -EIO);
	stalling_fd = -1;
	set_fs(old);
	EXPECT_EQ(stalled_calls, 1) << "the writer kept asking";
	fput(f);
	std::filesystem::remove(path);
}

TEST_F(Files, FaultPointsFailHostIoWithEio)
{
	std::string path = temp_path("fault");
	file *f = filp_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	ASSERT_FALSE(IS_ERR(f));
	char buf[64] = "data";
	kern::loff_t pos = 0;
	set_fs(KERNEL_DS);
	fault_inject("file_write:" + path, {1, 1});	// the second write fails, once
	EXPECT_EQ(f->f_op->write(f, buf, 4, &pos), 4);
	EXPECT_EQ(f->f_op->write(f, buf, 4, &pos), -EIO);
	EXPECT_EQ(pos, 4);
	EXPECT_EQ(f->f_op->write(f, buf, 4, &pos), 4);
	fault_inject("file_read:" + path);
	pos = 0;
	EXPECT_EQ(f->f_op->read(f, buf, sizeof(buf), &pos), -EIO);
	fault_clear("file_read:" + path);
	EXPECT_EQ(f->f_op->read(f, buf, sizeof(buf), &pos), 8);
	EXPECT_EQ(fault_count("file_write:" + path), 1);
	// A rule may carry its own error, or cut the transfer short instead.
	fault_inject("file_write:" + path, {0, 1, -ENOSPC});
	EXPECT_EQ(f->f_op->write(f, buf, 4, &pos), -ENOSPC);
	fault_inject("file_write:" + path, {0, 1, 0, 3});
	EXPECT_EQ(f->f_op->write(f, buf, 8, &pos), 3);
	EXPECT_EQ(pos, 11);
	fault_inject("file_read:" + path, {0, 1, 0, 2});
	pos = 0;
	EXPECT_EQ(f->f_op->read(f, buf, sizeof(buf), &pos), 2);
	EXPECT_EQ(pos, 2);
	set_fs(USER_DS);
	fput(f);
	std::filesystem::remove(path);
	EXPECT_EQ(PTR_ERR(filp_open(path.c_str(), O_RDONLY, 0)), -ENOENT);
}

TEST_F(Files, StatfsOfAHostFileIsTheHostFileSystems)
{
	std::string path = temp_path("statfs");
	file *f = filp_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
	ASSERT_FALSE(IS_ERR(f));
	kstatfs st{};
	ASSERT_EQ(vfs_statfs(f, &st), 0);
	EXPECT_GT(st.f_bsize, 0);
	EXPECT_GT(st.f_blocks, 0u);
	EXPECT_LE(st.f_bfree, st.f_blocks);
	EXPECT_LE(st.f_bavail, st.f_bfree);
	EXPECT_GT(st.f_namelen, 0);
	auto space = std::filesystem::space(path);
	EXPECT_EQ(st.f_blocks * static_cast<u64>(st.f_bsize), space.capacity);
	// Others write to the same file system meanwhile: near enough is the same.
	double avail = static_cast<double>(st.f_bavail) * static_cast<double>(st.f_bsize);
	EXPECT_NEAR(avail, static_cast<double>(space.available), 0.01 * static_cast<double>(space.capacity));

	EXPECT_EQ(vfs_statfs(nullptr, &st), -EBADF);
	EXPECT_EQ(vfs_statfs(f, nullptr), -EFAULT);
	file *no_host = get_empty_filp();
	EXPECT_EQ(vfs_statfs(no_host, &st), -ENOSYS);
	put_filp(no_host);

	fault_inject("statfs:" + path, {0, 1, -EACCES});
	EXPECT_EQ(vfs_statfs(f, &st), -EACCES);
	fault_inject("statfs:" + path, {1, 1});	// the second call fails, with -EIO
	EXPECT_EQ(vfs_statfs(f, &st), 0);
	EXPECT_EQ(vfs_statfs(f, &st), -EIO);
	EXPECT_EQ(vfs_statfs(f, &st), 0);
	fput(f);
	std::filesystem::remove(path);
}

TEST_F(Files, ReleaseRunsOnceOnTheLastReference)
{
	ASSERT_EQ(register_chrdev(200, "counter", &counting_fops), 0);
	ASSERT_EQ(dev_node_add("counter", S_IFCHR, MKDEV(200, 3)), 0);
	file *f = filp_open("/dev/counter", O_RDWR, 0);
	ASSERT_FALSE(IS_ERR(f));
	EXPECT_EQ(f->f_dentry->d_inode->i_rdev, MKDEV(200, 3));
	EXPECT_TRUE(S_ISCHR(f->f_dentry->d_inode->i_mode));
	EXPECT_EQ(f->f_mode, FMODE_READ | FMODE_WRITE);
	get_file(f);
	get_file(f);
	fput(f);
	fput(f);
	EXPECT_EQ(releases, 0);
	fput(f);
	EXPECT_EQ(releases, 1);
	EXPECT_EQ(files_open_count(), 0);

	// A failing driver open leaves no file behind and runs no release.
	open_result = -EACCES;
	EXPECT_EQ(PTR_ERR(filp_open("/dev/counter", O_RDONLY, 0)), -EACCES);
	EXPECT_EQ(files_open_count(), 0);
	EXPECT_EQ(releases, 1);
	EXPECT_EQ(unregister_chrdev(200, "counter"), 0);
}

TEST_F(Files, CharacterMajorsAndNodes)
{
	int dyn1 = register_chrdev(0, "dyn1", &counting_fops);
	int dyn2 = register_chrdev(0, "dyn2", &counting_fops);
	EXPECT_EQ(dyn1, 254);
	EXPECT_EQ(dyn2, 253);
	EXPECT_EQ(register_chrdev(254, "again", &counting_fops), -EBUSY);
	EXPECT_EQ(register_chrdev(10, "nofops", nullptr), -EINVAL);
	EXPECT_EQ(register_chrdev(4096, "big", &counting_fops), -EINVAL);
	EXPECT_EQ(unregister_chrdev(254, "dyn2"), -EINVAL);	// name does not match
	EXPECT_EQ(unregister_chrdev(77, "dyn1"), -EINVAL);
	EXPECT_EQ(unregister_chrdev(254, "dyn1"), 0);
	EXPECT_EQ(register_chrdev(0, "dyn3", &counting_fops), 254);	// freed major reused

	EXPECT_EQ(dev_node_add("/dev/ctl", S_IFCHR, MKDEV(90, 0)), 0);
	EXPECT_EQ(dev_node_add("ctl", S_IFCHR, MKDEV(90, 1)), -EEXIST);
	EXPECT_EQ(dev_node_add("a/b", S_IFCHR, MKDEV(90, 1)), -EINVAL);
	EXPECT_EQ(dev_node_add("reg", S_IFREG, 0), -EINVAL);
	umode_t type = 0;
	kern::dev_t dev = 0;
	ASSERT_TRUE(dev_node_lookup("/dev/ctl", &type, &dev));
	EXPECT_EQ(dev, MKDEV(90, 0));
	EXPECT_EQ(type, S_IFCHR);
	// No driver behind major 90; no node at all.
	EXPECT_EQ(PTR_ERR(filp_open("/dev/ctl", O_RDONLY, 0)), -ENXIO);
	EXPECT_EQ(PTR_ERR(filp_open("/dev/nothing", O_RDONLY, 0)), -ENOENT);
	EXPECT_EQ(dev_node_add("zz", S_IFBLK, MKDEV(8, 0)), 0);
	EXPECT_EQ(dev_node_list(), (std::vector<std::string>{"ctl", "zz"}));
	EXPECT_EQ(sys_unlink("/dev/ctl"), 0);
	EXPECT_EQ(dev_node_remove("ctl"), -ENOENT);
	EXPECT_EQ(unregister_chrdev(253, "dyn2"), 0);
	EXPECT_EQ(unregister_chrdev(254, "dyn3"), 0);
}

TEST_F(Files, DescriptorTableLowestFirstAndFull)
{
	int a = get_unused_fd();
	int b = get_unused_fd();
	EXPECT_EQ(a, 0);
	EXPECT_EQ(b, 1);
	put_unused_fd(a);
	EXPECT_EQ(get_unused_fd(), 0);	// the freed one is the lowest again
	for (int i = 2; i < NR_OPEN_DEFAULT; i++)
		ASSERT_EQ(get_unused_fd(), i);
	EXPECT_EQ(get_unused_fd(), -EMFILE);
	EXPECT_EQ(sys_open("/tmp", O_RDONLY), -EMFILE);
	for (int i = 0; i < NR_OPEN_DEFAULT; i++)
		put_unused_fd(i);
	EXPECT_EQ(fget(0), nullptr);
	EXPECT_EQ(fget(NR_OPEN_DEFAULT + 5), nullptr);
}

TEST_F(Files, HaltReportsRegisteredDevicesAndFilesLeftOpen)
{
	ASSERT_EQ(register_chrdev(201, "leaky", &counting_fops), 0);
	ASSERT_EQ(dev_node_add("leaky", S_IFCHR, MKDEV(201, 0)), 0);
	file *f = filp_open("/dev/leaky", O_RDONLY, 0);
	ASSERT_FALSE(IS_ERR(f));
	halt_report r = halt_now();
	std::string all;
	for (auto &p : r.problems)
		all += p + "\n";
	EXPECT_NE(all.find("character device 201 (leaky) still registered"), std::string::npos) << all;
	EXPECT_NE(all.find("file leaky still open (1 references)"), std::string::npos) << all;
	EXPECT_EQ(releases, 0);	// not released behind the driver's back

	// The next machine starts clean.
	boot_params p;
	p.clock_speed = 100;
	boot(p);
	EXPECT_TRUE(dev_node_list().empty());
	EXPECT_EQ(files_open_count(), 0);
	EXPECT_EQ(register_chrdev(201, "leaky", &counting_fops), 0);
	EXPECT_EQ(unregister_chrdev(201, "leaky"), 0);
	EXPECT_TRUE(halt().clean());
}
