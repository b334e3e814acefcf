// What the tests of `zep serve` share: shell commands, the client commands run in-process, and
// a real `zep serve` started beside the test (tools/host_block.h), ended however the test ends.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/captured.h"
#include "tools/cli.h"
#include "tools/host_block.h"

namespace zeptest {

// What cmd printed on both streams, with "(exit N)" after it when it failed: "" is success
// for the quiet ones.
inline std::string sh(const std::string &cmd)
{
	zep::host::shell_result r = zep::host::shell(cmd);
	return r.ok() ? r.output : r.output + "\n(exit " + std::to_string(r.status) + ")";
}

inline run_result zep_cli(std::vector<std::string> args)
{
	args.insert(args.begin(), "zep");
	return captured({}, [&](zep::cli_io &io) { return zep::run_cli(args, io); });
}

// `zep snapshot vda1` on the server in run, whose freeze hook logs to dir/hook.log: zep1,
// quiesced, the hook called once each way.
inline void snapshot_vda1_with_hook(const std::string &run, const std::filesystem::path &dir)
{
	run_result s = zep_cli({"snapshot", "vda1", "--connect", run, "--json"});
	ASSERT_EQ(s.rc, 0) << s.out << s.err;
	EXPECT_EQ(s.doc()["snapshot"], "zep1");
	EXPECT_EQ(s.doc()["quiesced"], true);
	std::ifstream log(dir / "hook.log");
	std::string calls((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
	EXPECT_EQ(calls, "freeze vda1\nthaw vda1\n");
}

// A folder of the test's own with a sparse disk image of two dos partitions, and the server
// on it once start_server is called.
class ServedImage : public ::testing::Test {
protected:
	// Skips (returns false) when the server cannot run on this build or machine.
	bool make_image(size_t bytes, const std::string &partitions)
	{
		for (const char *t : {"nbdkit", "nbdcopy", "nbdinfo", "qemu-img", "sfdisk"})
			if (!zep::host::have_tool(t)) {
				skip_reason = std::string(t) + " is not installed (scripts/setup.sh installs it)";
				return false;
			}
		if (std::string(ZEP_NBDKIT_PLUGIN).empty()) {
			skip_reason = "this build has no nbdkit plugin (a sanitizer build)";
			return false;
		}
		const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
		dir = std::filesystem::temp_directory_path() /
		      ("zep-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
		std::filesystem::remove_all(dir);
		std::filesystem::create_directories(dir);
		image = (dir / "disk.img").string();
		run = (dir / "run").string();
		std::ofstream(image).close();
		std::filesystem::resize_file(image, bytes);
		std::string out = sh("printf " + zep::host::sh_quote(partitions) + " | sfdisk -q " + image);
		EXPECT_EQ(out, "");
		return out.empty();
	}

	void start_server(const std::string &hook)
	{
		auto s = zep::host::server::start(ZEP_BINARY, {image}, run, hook);
		ASSERT_TRUE(s) << s.err().message;
		server.emplace(std::move(*s));
	}

	// Quits the server through `zep quit`; it must end with 0 and leave no socket.
	void quit_server()
	{
		run_result q = zep_cli({"quit", "--connect", run});
		EXPECT_EQ(q.rc, 0) << q.err;
		auto st = server->process().wait_for(std::chrono::seconds(60));
		ASSERT_TRUE(st) << "the server did not end";
		EXPECT_EQ(zep::host::describe_status(*st), "exit 0");
		server.reset();
		EXPECT_FALSE(std::filesystem::exists(run + "/zep.sock") || std::filesystem::exists(run + "/nbd.sock"));
	}

	void TearDown() override
	{
		server.reset();
		if (!dir.empty()) {
			std::error_code ec;
			std::filesystem::remove_all(dir, ec);
		}
	}

	std::string uri(const std::string &exp) const { return "nbd+unix:///" + exp + "?socket=" + run + "/nbd.sock"; }

	std::string skip_reason;
	std::filesystem::path dir;
	std::string image, run;
	std::optional<zep::host::server> server;
};

} // namespace zeptest
