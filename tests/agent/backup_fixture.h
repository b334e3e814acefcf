// A booted machine with a ramdisk to back up and an empty repository folder on the host;
// agent calls run in a process of their own, the test checks files from the host side.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/backup.h"
#include "agent/backup_repo.h"
#include "agent/backup_restore.h"
#include "agent/backup_verify.h"
#include "kernel/machine.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/host_file.h"

namespace zeptest {

using bytes = std::vector<unsigned char>;

class BackupTest : public MachineTest {
protected:
	// 4 MiB and 8 KiB: 65 chunks, the last one short.
	static constexpr uint64_t SIZE = (4 << 20) + (8 << 10);
	static constexpr uint64_t CHUNK = zep::CHUNK_BYTES;

	void SetUp() override
	{
		MachineTest::SetUp();
		auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
		repo_ = (std::filesystem::temp_directory_path() /
			 (std::string("zep_backup_") + t->name() + "_" +
			  std::to_string(::getpid())))
				.string();
		std::filesystem::remove_all(repo_);
		std::filesystem::create_directories(repo_);
		dev_ = kern::add_ramdisk("ram0", 0, SIZE / 512);
		ASSERT_NE(dev_, 0u);
	}
	void TearDown() override
	{
		MachineTest::TearDown();
		std::filesystem::remove_all(repo_);
	}

	// Runs an agent call in a process named as the agent's are.
	template <typename F> auto agent(F &&fn) -> decltype(fn())
	{
		std::optional<decltype(fn())> out;
		EXPECT_EQ(in_process("cdpbackup",
				     [&] {
					     out.emplace(fn());
					     return 0;
				     }),
			  0);
		return std::move(*out);
	}

	zep::backup_source source(const std::string &node = "/dev/ram0") const
	{
		return {.node = node,
			.device = "ram0",
			.snapshot_time = 1700000000,
			.get_freeze_ns = 1500,
			.frozen_ns = 42000};
	}
	zep::result<zep::backup_summary> full(const zep::backup_options &opts = {})
	{
		return agent([&] { return zep::full_backup(repo_, source(), opts); });
	}
	zep::result<zep::backup_summary> incremental(std::optional<zep::change_set> changes,
						     const zep::backup_options &opts = {})
	{
		return agent([&] { return zep::incremental_backup(repo_, source(), changes, opts); });
	}
	zep::result<zep::restore_summary> restore(unsigned seq, const std::string &target)
	{
		return agent([&] { return zep::restore_backup(repo_, target, {.sequence = seq}); });
	}
	zep::result<zep::verify_summary> verify(zep::verify_options opts = {})
	{
		return agent([&] { return zep::verify_backups(repo_, opts); });
	}

	bytes device(kern::dev_t dev = 0, uint64_t size = SIZE) const
	{
		bytes b(size);
		EXPECT_EQ(kern::disk_peek(dev ? dev : dev_, 0, b.data(), b.size()), 0);
		return b;
	}
	void put(uint64_t off, const bytes &b)
	{
		ASSERT_EQ(kern::disk_poke(dev_, off / 512, b.data(), b.size()), 0);
	}
	// Random bytes, never a whole zero sector.
	bytes noise(size_t n)
	{
		bytes b(n);
		for (auto &x : b)
			x = static_cast<unsigned char>(rng_() % 255 + 1);
		return b;
	}
	void scribble(uint64_t off, size_t n) { put(off, noise(n)); }

	std::string path(const std::string &name) const { return repo_ + "/" + name; }
	bool exists(const std::string &name) const { return std::filesystem::exists(path(name)); }
	static bytes host_file(const std::string &p) { return zeptest::read_host_file(p); }
	static uint64_t allocated(const std::string &p)
	{
		struct stat st {};
		EXPECT_EQ(::stat(p.c_str(), &st), 0);
		return static_cast<uint64_t>(st.st_blocks) * 512;
	}
	nlohmann::json manifest_json(unsigned seq) const
	{
		std::ifstream in(path(zep::manifest_name(seq)));
		return nlohmann::json::parse(in);
	}
	// Flips bits of a byte of a host file.
	static void flip(const std::string &p, uint64_t at, char mask = 0x10)
	{
		std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
		f.seekg(static_cast<std::streamoff>(at));
		char c = 0;
		f.get(c);
		f.seekp(static_cast<std::streamoff>(at));
		f.put(static_cast<char>(c ^ mask));
	}

	std::string repo_;
	kern::dev_t dev_ = 0;
	std::mt19937 rng_{12345};
};

} // namespace zeptest
