// `zep demo` as the main job runs it: the whole flow from boot to halt, its output and
// exit code; and that it notices an image that is not what the disk held.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/machine.h"
#include "tools/demo.h"

namespace {

class Demo : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir_ = std::filesystem::temp_directory_path() / ("zep-demo-" + std::to_string(std::random_device{}()));
		std::filesystem::create_directories(dir_);
	}
	void TearDown() override { std::filesystem::remove_all(dir_); }

	// Runs the demo; its exit code, with what it printed in output_.
	int run(zep::demo_options opts)
	{
		std::FILE *out = std::tmpfile();
		if (!out)
			return -1;
		int rc = zep::run_demo(opts, out);
		std::rewind(out);
		output_.clear();
		char buf[4096];
		for (size_t n; (n = std::fread(buf, 1, sizeof(buf), out)) > 0;)
			output_.append(buf, n);
		std::fclose(out);
		return rc;
	}

	zep::demo_options options(int io_threads = 4)
	{
		zep::demo_options o;
		o.dir = dir_.string();
		o.io_threads = io_threads;
		return o;
	}

	std::vector<std::string> lines() const
	{
		std::vector<std::string> v;
		std::istringstream in(output_);
		for (std::string l; std::getline(in, l);)
			v.push_back(l);
		return v;
	}

	// The line of the step or check that starts with `what`, or "".
	std::string line(const std::string &what) const
	{
		for (const std::string &l : lines())
			if (l.starts_with(what))
				return l;
		return "";
	}

	bool ok(const std::string &what) const { return line(what).ends_with(" ok"); }
	bool failed(const std::string &what) const { return line(what).ends_with(" FAILED"); }
	std::string last_line() const { return lines().empty() ? "" : lines().back(); }

	std::filesystem::path dir_;
	std::string output_;
};

} // namespace

TEST_F(Demo, SnapshotWithFourIoThreadsHoldsTheDiskAsItWasAndNothingIsLeftOver)
{
	ASSERT_EQ(run(options(4)), zep::DEMO_PASSED) << output_;
	EXPECT_TRUE(ok("agent took snapshot zep1 of vda1 with 4 IO threads")) << output_;
	EXPECT_TRUE(ok("image read during the rewrites = vda1 at the snapshot")) << output_;
	EXPECT_TRUE(ok("image read again after the rewrites = the same")) << output_;
	EXPECT_TRUE(ok("live vda1 holds generation 2, the rest unchanged")) << output_;
	// 64 rewritten chunks of 64 KiB and the one after them.
	EXPECT_TRUE(ok("session listed: 65 chunks of 64 KiB preserved")) << output_;
	EXPECT_TRUE(ok("4 IO threads returned 0")) << output_;
	EXPECT_TRUE(ok("machine halted with nothing left over")) << output_;
	EXPECT_NE(output_.find("/dev/zep1: 66060288 bytes (63 MiB)"), std::string::npos) << output_;
	EXPECT_EQ(output_.find("FAILED"), std::string::npos) << output_;
	EXPECT_EQ(last_line(), "demo passed");
	EXPECT_TRUE(std::filesystem::is_empty(dir_)) << "the demo left files in " << dir_;
}

TEST_F(Demo, SnapshotWithTwoIoThreadsPasses)
{
	ASSERT_EQ(run(options(2)), zep::DEMO_PASSED) << output_;
	EXPECT_TRUE(ok("agent took snapshot zep1 of vda1 with 2 IO threads")) << output_;
	EXPECT_TRUE(ok("image read during the rewrites = vda1 at the snapshot")) << output_;
	EXPECT_TRUE(ok("2 IO threads returned 0")) << output_;
}

// Bytes changed on the medium itself, where no write goes through the driver, show in the
// image (their chunk was never preserved): the demo must catch that and still halt clean.
TEST_F(Demo, AChangeBehindTheDriversBackFailsTheImageCheck)
{
	zep::demo_options o = options();
	constexpr kern::sector_t PART_START = 2048, AT = (40 << 20) / 512;
	o.while_rewriting = [](kern::dev_t disk) {
		std::vector<unsigned char> junk(4096, 0xa5);
		ASSERT_EQ(kern::disk_poke(disk, PART_START + AT, junk.data(), junk.size()), 0);
	};
	ASSERT_EQ(run(o), zep::DEMO_VERIFY_FAILED) << output_;
	EXPECT_TRUE(failed("image read during the rewrites = vda1 at the snapshot")) << output_;
	EXPECT_EQ(line("  4096 bytes differ"),
		  "  4096 bytes differ, the first at byte 41943040 (0xa5 where 0x00 was expected), outside the "
		  "writers' blocks")
		<< output_;
	EXPECT_TRUE(ok("agent stopped snapshot zep1")) << output_;
	EXPECT_TRUE(ok("machine halted with nothing left over")) << output_;
	EXPECT_EQ(last_line(), "demo FAILED: image read during the rewrites = vda1 at the snapshot");
}

TEST_F(Demo, ADiskThatCannotBeMadeIsAFailedStep)
{
	zep::demo_options o = options();
	o.dir = (dir_ / "missing").string();
	ASSERT_EQ(run(o), zep::DEMO_STEP_FAILED) << output_;
	EXPECT_TRUE(failed("file-backed disk vda (64 MiB) in " + o.dir)) << output_;
	EXPECT_TRUE(ok("machine halted with nothing left over")) << output_;
	EXPECT_EQ(last_line(), "demo FAILED: file-backed disk vda (64 MiB) in " + o.dir);
}
