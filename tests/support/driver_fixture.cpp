#include "tests/support/driver_fixture.h"

#include "backupdriver/zepdriver.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "kernel/locking/semaphore.h"
#include "kernel/syscalls.h"

namespace zeptest {

void DriverTest::SetUp()
{
	MachineTest::SetUp();
	ASSERT_EQ(kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)), 0);
	ASSERT_EQ(kern::insmod("zepdriver"), 0);
	loaded_ = true;
}

int DriverTest::unload()
{
	loaded_ = false;
	return kern::rmmod("zepdriver");
}

void DriverTest::hold_open()
{
	sema_init(&holder_opened_, 0);
	sema_init(&holder_release_, 0);
	holder_ = kern::spawn("cdpholder", [this] {
		Control c;
		bool ok = c.open();
		kern::up(&holder_opened_);
		kern::down(&holder_release_);
		c.close();
		return ok ? 0 : 1;
	});
	kern::down(&holder_opened_);
}

void DriverTest::release_holder()
{
	if (holder_ < 0)
		return;
	kern::up(&holder_release_);
	EXPECT_EQ(kern::waitpid(holder_), 0);
	holder_ = -1;
}

void DriverTest::TearDown()
{
	release_holder();
	if (loaded_ && !halted_) {
		EXPECT_EQ(kern::rmmod("zepdriver"), 0);
	}
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

unsigned long Control::put_bytes(const void *rec, size_t n, size_t off)
{
	kern::user_write(mem + off, rec, n);
	return mem + off;
}

void Control::get_bytes(void *rec, size_t n, size_t off) { kern::user_read(mem + off, rec, n); }

long Control::ioctl(unsigned int cmd, unsigned long arg)
{
	return kern::sys_ioctl(static_cast<unsigned>(fd), cmd, arg);
}

long agent_command_raw(unsigned int cmd, void *rec, size_t n)
{
	long result = 0;
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		result = c.ioctl(cmd, c.put_bytes(rec, n));
		c.get_bytes(rec, n);
		c.close();
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return result;
}

long agent_command_at(unsigned int cmd, unsigned long arg)
{
	long result = 0;
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		result = c.ioctl(cmd, arg);
		c.close();
		return 0;
	});
	EXPECT_EQ(rc, 0);
	return result;
}

} // namespace zeptest
