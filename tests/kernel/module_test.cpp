// Modules: load and unload, owner references from open files, a failing init, rmmod
// racing with opens, and what halt says about a module left loaded.
#include <atomic>
#include <vector>

#include "kernel/fs/fs.h"
#include "kernel/core/module.h"
#include "kernel/syscalls.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

DECLARE_THIS_MODULE(testmod);
#define THIS_MODULE (&__this_module_testmod)

namespace {

constexpr unsigned TESTMOD_MAJOR = 231;
std::atomic<int> inits{0}, exits{0}, open_files{0}, exit_with_files_open{0};
int init_result = 0;

int tm_open(inode *, file *) { return open_files++, 0; }
int tm_release(inode *, file *) { return open_files--, 0; }

const file_operations tm_fops = {
	.owner = THIS_MODULE,
	.open = tm_open,
	.release = tm_release,
};

int tm_init()
{
	inits++;
	if (init_result)
		return init_result;
	return register_chrdev(TESTMOD_MAJOR, "testmod", &tm_fops);
}

void tm_exit()
{
	exits++;
	if (open_files)
		exit_with_files_open++;
	unregister_chrdev(TESTMOD_MAJOR, "testmod");
}

} // namespace

DEFINE_MODULE(testmod, "testmod", tm_init, tm_exit);

class Modules : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		inits = exits = open_files = exit_with_files_open = 0;
		init_result = 0;
		ASSERT_EQ(dev_node_add("testmod", S_IFCHR, MKDEV(TESTMOD_MAJOR, 0)), 0);
	}
};

TEST_F(Modules, OpenFileKeepsTheModuleInUntilClosed)
{
	EXPECT_EQ(find_module("testmod"), THIS_MODULE);
	EXPECT_FALSE(try_module_get(THIS_MODULE));	// not loaded yet
	EXPECT_EQ(insmod("nosuchmod"), -ENOENT);
	ASSERT_EQ(insmod("testmod"), 0);
	EXPECT_EQ(insmod("testmod"), -EEXIST);
	EXPECT_EQ(loaded_modules(), std::vector<std::string>{"testmod"});

	int fd = sys_open("/dev/testmod", O_RDWR);
	ASSERT_GE(fd, 0);
	EXPECT_EQ(module_refcount(THIS_MODULE), 1);
	EXPECT_EQ(rmmod("testmod"), -EBUSY);
	EXPECT_EQ(exits, 0);
	EXPECT_EQ(sys_close(fd), 0);
	EXPECT_EQ(module_refcount(THIS_MODULE), 0);
	EXPECT_EQ(rmmod("testmod"), 0);
	EXPECT_EQ(exits, 1);
	EXPECT_EQ(rmmod("testmod"), -ENOENT);
	EXPECT_TRUE(loaded_modules().empty());
	EXPECT_EQ(sys_open("/dev/testmod", O_RDWR), -ENXIO);

	// Loaded again, a process holding it open at its end lets go of it.
	ASSERT_EQ(insmod("testmod"), 0);
	EXPECT_EQ(waitpid(spawn("opener", [] { return sys_open("/dev/testmod", O_RDONLY) >= 0 ? 0 : 1; })), 0);
	EXPECT_EQ(module_refcount(THIS_MODULE), 0);
	EXPECT_EQ(rmmod("testmod"), 0);
	EXPECT_EQ(exit_with_files_open, 0);
	kern::halt_report r = halt_now();
	EXPECT_TRUE(r.clean()) << r.problems.front();
}

TEST_F(Modules, FailingInitLeavesItUnloaded)
{
	init_result = -ENOMEM;
	EXPECT_EQ(insmod("testmod"), -ENOMEM);
	EXPECT_EQ(inits, 1);
	EXPECT_FALSE(try_module_get(THIS_MODULE));
	EXPECT_TRUE(loaded_modules().empty());
	EXPECT_EQ(rmmod("testmod"), -ENOENT);
	EXPECT_EQ(exits, 0);
	EXPECT_EQ(sys_open("/dev/testmod", O_RDONLY), -ENXIO);
	init_result = 0;
	EXPECT_EQ(insmod("testmod"), 0);	// a later attempt can succeed
	EXPECT_EQ(rmmod("testmod"), 0);
}

TEST_F(Modules, RmmodRacingWithOpensNeverUnloadsUnderAnOpenFile)
{
	ASSERT_EQ(insmod("testmod"), 0);
	constexpr int NPROC = 4;
	std::atomic<int> opened{0};
	std::atomic<bool> stop{false};
	std::vector<kern::pid_t> pids;
	for (int i = 0; i < NPROC; i++) {
		pids.push_back(spawn("opener", [&opened, &stop] {
			// Open and close until the device goes away under us (or we are told to
			// stop: on a loaded machine the openers could keep it busy for ever).
			while (!stop) {
				int fd = sys_open("/dev/testmod", O_RDWR);
				if (fd == -ENXIO)
					return 0;
				if (fd < 0)
					return 1;
				opened++;
				yield();
				if (sys_close(fd))
					return 2;
			}
			return 0;
		}));
	}
	while (opened < 50)
		msleep(1);
	int r = -EBUSY;
	for (int attempt = 0; attempt < 300 && r == -EBUSY; attempt++)
		r = rmmod("testmod");
	stop = true;
	for (kern::pid_t p : pids)
		EXPECT_EQ(waitpid(p), 0);
	if (r == -EBUSY)
		r = rmmod("testmod");
	EXPECT_EQ(r, 0);
	EXPECT_EQ(exits, 1);
	EXPECT_EQ(exit_with_files_open, 0);
	EXPECT_EQ(open_files, 0);
	EXPECT_EQ(module_refcount(THIS_MODULE), 0);
}

TEST_F(Modules, HaltReportsAModuleLeftLoadedWithoutRunningItsExit)
{
	ASSERT_EQ(insmod("testmod"), 0);
	kern::halt_report r = halt_now();
	std::string all;
	for (auto &p : r.problems)
		all += p + "\n";
	EXPECT_NE(all.find("module testmod still loaded"), std::string::npos) << all;
	EXPECT_NE(all.find("character device 231 (testmod) still registered"), std::string::npos) << all;
	EXPECT_EQ(exits, 0);
	EXPECT_TRUE(loaded_modules().empty());
}
