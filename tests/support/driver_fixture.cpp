#include "tests/support/driver_fixture.h"

#include "backupdriver/zepdriver.h"
#include "kernel/fs.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zeptest {

void DriverTest::SetUp()
{
	MachineTest::SetUp();
	ASSERT_EQ(kern::dev_node_add(ZEP_CONTROL_NAME, kern::S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)), 0);
	ASSERT_EQ(kern::insmod("zepdriver"), 0);
	loaded_ = true;
}

int DriverTest::unload()
{
	loaded_ = false;
	return kern::rmmod("zepdriver");
}

void DriverTest::TearDown()
{
	if (loaded_ && !halted_)
		EXPECT_EQ(kern::rmmod("zepdriver"), 0);
	loaded_ = false;
	MachineTest::TearDown();
}

int in_process(const std::string &comm, std::function<int()> fn)
{
	kern::pid_t pid = kern::spawn(comm, std::move(fn));
	if (pid < 0)
		return pid;
	return kern::waitpid(pid);
}

bool Control::open(size_t bytes)
{
	fd = kern::sys_open("/dev/" ZEP_CONTROL_NAME, O_RDWR, 0);
	if (fd < 0)
		return false;
	long addr = kern::sys_mmap(bytes);
	if (addr < 0)
		return false;
	mem = static_cast<unsigned long>(addr);
	len = bytes;
	return true;
}

void Control::close()
{
	if (fd >= 0)
		kern::sys_close(static_cast<unsigned>(fd));
	fd = -1;
}

unsigned long Control::put(const void *rec, size_t n, size_t off)
{
	kern::user_write(mem + off, rec, n);
	return mem + off;
}

void Control::get(void *rec, size_t n, size_t off) { kern::user_read(mem + off, rec, n); }

long Control::ioctl(unsigned int cmd, unsigned long arg)
{
	return kern::sys_ioctl(static_cast<unsigned>(fd), cmd, arg);
}

} // namespace zeptest
