// Loading and unloading the driver: messages, caches, the control device's major.
#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/faults.h"
#include "kernel/fs/fs.h"
#include "kernel/mm/mm.h"
#include "tests/support/driver_fixture.h"

using namespace zeptest;
using namespace kern;

namespace {

const char *CACHES[] = {"cdp_record_cache", "cdp_saved_cache", "cdp_chunk_list_cache",
			"cdp_fc_cache", "cdp_rb_cache"};

class LoadTest : public MachineTest {};

class UniprocessorLoadTest : public DriverTest {
protected:
	int nr_cpus() const override { return 1; }
};

} // namespace

TEST_F(LoadTest, CleanLoadAndExitPrintTheirMessagesInOrder)
{
	ASSERT_EQ(insmod("zepdriver"), 0);
	for (const char *name : CACHES)
		EXPECT_NE(kmem_cache_find(name), nullptr) << name;
	EXPECT_GE(lock_wait_pid, 0);
	ASSERT_EQ(rmmod("zepdriver"), 0);
	const char *sequence[] = {
		"<6>zep: INFO: zep driver loaded: 4.4.0 build 18929, NR_CPUS: 8",
		"<6>zep: INFO: zep_watchdog: started.",
		"<6>zep: INFO: zep_watchdog: stopped.",
		"<6>zep: INFO: zep driver has been shutdown.",
		"<6>zep: INFO: driver unloaded.",
	};
	int at = 0;
	for (const char *line : sequence) {
		int found = dmesg_find(line, at);
		ASSERT_GE(found, at) << line;
		at = found + 1;
	}
	for (const char *name : CACHES)
		EXPECT_EQ(kmem_cache_find(name), nullptr) << name;
	// Loading again works: nothing of the first load is left behind.
	EXPECT_EQ(insmod("zepdriver"), 0);
	EXPECT_EQ(rmmod("zepdriver"), 0);
}

TEST_F(UniprocessorLoadTest, BannerReportsOneProcessor)
{
	EXPECT_TRUE(dmesg_has("<6>zep: INFO: zep driver loaded: 4.4.0 build 18929, NR_CPUS: 1"));
}

TEST_F(LoadTest, CacheThatCannotBeCreatedFallsBackToGeneralAllocations)
{
	fault_inject("kmem_cache_create:cdp_record_cache");
	fault_inject("kmem_cache_create:cdp_fc_cache");
	ASSERT_EQ(insmod("zepdriver"), 0);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not create cdp record cache."));
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not create cpd fc cache."));
	EXPECT_FALSE(dmesg_has("Could not create cdp saved cache."));
	EXPECT_EQ(record_cache, nullptr);
	EXPECT_NE(saved_cache, nullptr);

	long before = mm_get_usage().kmalloc_objects;
	change_record *rc = alloc_change_record();
	ASSERT_NE(rc, nullptr);
	EXPECT_EQ(mm_get_usage().kmalloc_objects, before + 1);
	put_change_record(rc);
	EXPECT_EQ(mm_get_usage().kmalloc_objects, before);

	// A cache that exists serves its own objects.
	long in_cache = kmem_cache_objects(saved_cache);
	saved_info *si = alloc_saved_info();
	ASSERT_NE(si, nullptr);
	EXPECT_EQ(kmem_cache_objects(saved_cache), in_cache + 1);
	put_saved_info(si);
	EXPECT_EQ(kmem_cache_objects(saved_cache), in_cache);
	EXPECT_EQ(rmmod("zepdriver"), 0);
}

static const file_operations other_fops = {};

TEST_F(LoadTest, TakenControlMajorFailsTheLoadAndLeavesNothing)
{
	ASSERT_EQ(register_chrdev(ZEP_CONTROL_MAJOR, "other", &other_fops), 0);
	EXPECT_EQ(insmod("zepdriver"), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not register char device."));
	EXPECT_FALSE(dmesg_has("zep driver loaded"));
	for (const char *name : CACHES)
		EXPECT_EQ(kmem_cache_find(name), nullptr) << name;
	EXPECT_EQ(mm_get_usage().mempools, 0);
	EXPECT_EQ(rmmod("zepdriver"), -ENOENT);
	EXPECT_EQ(unregister_chrdev(ZEP_CONTROL_MAJOR, "other"), 0);
}

TEST_F(LoadTest, PoolThatCannotBeCreatedFailsTheLoad)
{
	fault_inject("mempool_create");
	EXPECT_EQ(insmod("zepdriver"), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not create cdp bp cache."));
	for (const char *name : CACHES)
		EXPECT_EQ(kmem_cache_find(name), nullptr) << name;
}

TEST_F(LoadTest, HaltAfterUnloadReportsNoLeak)
{
	ASSERT_EQ(insmod("zepdriver"), 0);
	// Leave tracking records and a hook-table record behind for exit to free.
	ct_session *cts = alloc_cts_session();
	ASSERT_NE(cts, nullptr);
	ASSERT_EQ(rmmod("zepdriver"), 0);
	halt_report r = halt_now();
	for (auto &p : r.problems)
		ADD_FAILURE() << p;
}
