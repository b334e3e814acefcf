#include "kernel/core/printk.h"

#include <atomic>

#include "kernel/core/sched.h"
#include "tests/kernel/core_util.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

class Printk : public zeptest::MachineTest {
protected:
	void SetUp() override
	{
		MachineTest::SetUp();
		dmesg_clear();	// drop the boot banner
	}
};

TEST_F(Printk, LevelsComeFromThePrefixAndDefaultToWarning)
{
	printk(KERN_ERR "disk %s failed\n", "zep0");
	printk(KERN_DEBUG "debug\n");
	printk("no level\n");
	printk(KERN_INFO "two\nlines\n");	// the level applies to the first line only
	auto lines = dmesg_lines();
	ASSERT_EQ(lines.size(), 5u);
	EXPECT_EQ(lines[0].level, 3);
	EXPECT_EQ(lines[0].text, "disk zep0 failed");
	EXPECT_EQ(lines[1].level, 7);
	EXPECT_EQ(lines[2].level, DEFAULT_MESSAGE_LOGLEVEL);
	EXPECT_EQ(lines[3].level, 6);
	EXPECT_EQ(lines[4].level, DEFAULT_MESSAGE_LOGLEVEL);
	for (size_t i = 1; i < lines.size(); i++)
		EXPECT_EQ(lines[i].seq, lines[i - 1].seq + 1);
	EXPECT_EQ(dmesg(), (std::vector<std::string>{"<3>disk zep0 failed", "<7>debug", "<4>no level",
						      "<6>two", "<4>lines"}));
}

TEST_F(Printk, PartialLinesAreJoinedUntilTheNewline)
{
	printk(KERN_NOTICE "copied ");
	printk("%d of %d", 3, 4);
	EXPECT_TRUE(dmesg().empty()) << "a line without its newline is not out yet";
	printk(" chunks <2> here\n");	// a prefix counts only at the start of a line
	EXPECT_EQ(dmesg(), (std::vector<std::string>{"<5>copied 3 of 4 chunks <2> here"}));
	u64 next = printk_seq();
	printk("<1>");
	printk("alert\n");
	auto lines = dmesg_lines();
	ASSERT_EQ(lines.size(), 2u);
	EXPECT_EQ(lines[1].seq, next);
	EXPECT_EQ(lines[1].level, 1);
	EXPECT_EQ(lines[1].text, "alert");
}

TEST_F(Printk, LongLinesStayWholeAndEndWhereTheyShould)
{
	std::string big(3000, 'x');
	printk(KERN_INFO "%s\n", big.c_str());
	printk(KERN_ERR "after\n");
	auto lines = dmesg_lines();
	ASSERT_EQ(lines.size(), 2u);
	EXPECT_EQ(lines[0].text, big);
	EXPECT_EQ(lines[1].text, "after");
	EXPECT_EQ(lines[1].level, 3);
}

TEST_F(Printk, WaitForALinePrintedByAnotherTask)
{
	u64 from = printk_seq();
	printk(KERN_INFO "marker old\n");
	from = printk_seq();	// only lines from here on count
	task_struct *t = coretest::start("talker", [] {
		msleep(200);
		printk(KERN_INFO "zep: marker ready\n");
		return 0;
	});
	EXPECT_TRUE(printk_wait_for("marker ready", 10000, from));
	EXPECT_FALSE(printk_wait_for("marker old", 20, from)) << "a line before from_seq counted";
	EXPECT_TRUE(printk_wait_for("marker old", 20));
	EXPECT_FALSE(printk_wait_for("never printed", 20));
	coretest::finish(t);
}

TEST_F(Printk, ConcurrentPrintersKeepLinesWhole)
{
	std::vector<task_struct *> tasks;
	for (int i = 0; i < 4; i++)
		tasks.push_back(coretest::start("printer", [i] {
			for (int n = 0; n < 200; n++)
				printk(KERN_INFO "task %d line %d end\n", i, n);
			return 0;
		}));
	for (auto *t : tasks)
		coretest::finish(t);
	auto lines = dmesg_lines();
	ASSERT_EQ(lines.size(), 800u);
	int next[4] = {0, 0, 0, 0};
	for (auto &l : lines) {
		int task = -1, n = -1;
		ASSERT_EQ(std::sscanf(l.text.c_str(), "task %d line %d end", &task, &n), 2) << l.text;
		ASSERT_TRUE(task >= 0 && task < 4);
		EXPECT_EQ(n, next[task]++) << "lines of one task out of order";
	}
}
