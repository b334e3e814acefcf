// A booted machine with the driver loaded, a ramdisk with a mounted partition holding a
// known pattern, and a host folder for backing files: what the agent's tests snapshot.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/control.h"
#include "agent/session.h"
#include "backupdriver/zepdriver.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/core/time.h"
#include "tests/driver/agent_util.h"
#include "tests/driver/cow_util.h"
#include "tests/support/driver_fixture.h"

namespace zeptest
{

// A recognisable pattern for byte `at` of a device, in generation gen.
inline std::vector<unsigned char> pattern(size_t bytes, unsigned gen, size_t base = 0)
{
	std::vector<unsigned char> v(bytes);
	for (size_t i = 0; i < bytes; i++) {
		size_t at = base + i;
		v[i] = static_cast<unsigned char>(
		    (at * 7 + (at >> 16) * 13 + gen * 101 + (at >> 9)) & 0xff);
	}
	return v;
}

class AgentTest : public DriverTest {
protected:
	static constexpr kern::sector_t PART_START = 128;
	static constexpr kern::sector_t PART_SECTORS = 4 << 11; // 4 MiB
	static constexpr size_t PART_BYTES = PART_SECTORS * 512;
	static constexpr size_t CHUNK = 65536;

	void SetUp() override
	{
		DriverTest::SetUp();
		dir_ = std::filesystem::temp_directory_path() /
		       ("zep-agent-" + std::to_string(std::random_device{}()));
		std::filesystem::create_directories(dir_);
		disk_ = kern::add_ramdisk("ard", 8, PART_START + PART_SECTORS + 256);
		p1_ = kern::add_partition(disk_, 1, PART_START, PART_SECTORS);
		p2_ =
		    kern::add_partition(disk_, 2, PART_START + PART_SECTORS, 256); // never mounted
		old_ = pattern(PART_BYTES, 1);
		ASSERT_EQ(kern::disk_poke(disk_, PART_START, old_.data(), old_.size()), 0);
		ASSERT_EQ(kern::mount(p1_), 0);
	}

	void TearDown() override
	{
		// Whatever a failed test left running goes with the driver's unload, so that IO
		// threads leave the driver before the machine halts.
		if (loaded_ && !halted_)
			agent_command_at(ZEP_IOC_UNLOAD, 0);
		kern::umount(p1_);
		DriverTest::TearDown();
		std::filesystem::remove_all(dir_);
	}

	std::string path(const std::string &name) const { return (dir_ / name).string(); }

	// The files left in the folder.
	std::vector<std::string> folder() const
	{
		std::vector<std::string> v;
		for (auto &e : std::filesystem::directory_iterator(dir_))
			v.push_back(e.path().filename().string());
		return v;
	}

	zep::snapshot_options options(int threads = 1, const std::string &name = "")
	{
		zep::snapshot_options o;
		o.io_threads = threads;
		o.folder = dir_.string();
		o.name = name;
		o.device_name = "ard1";
		o.device_path = "/dev/ard1";
		return o;
	}

	// Runs fn in an agent process with the control device open.
	static int agent(const std::function<int(zep::control &)> &fn)
	{
		return in_process("cdpagent", [&] {
			auto c = zep::control::open();
			EXPECT_TRUE(c.ok()) << c.err().message;
			return c ? fn(*c) : 99;
		});
	}

	// The number of sessions the driver runs, asked from a process of its own.
	static int sessions_running()
	{
		int n = -1;
		agent([&](zep::control &c) {
			auto r = c.session_count();
			n = r ? *r : -1;
			return 0;
		});
		return n;
	}

	std::filesystem::path dir_;
	kern::dev_t disk_ = 0, p1_ = 0, p2_ = 0;
	std::vector<unsigned char> old_; // the partition before any snapshot
};

} // namespace zeptest
