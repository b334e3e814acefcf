// `zep demo` as the main job runs it, through the command line with its streams captured:
// the verdicts of its JSON document (the real ext4 act's among them), the text it ends with,
// that a change of the medium behind the driver's back fails it with exit 1 naming the check,
// and that it leaves nothing behind.
// Each run of the demo takes seconds: the cases are few and each looks at much.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kernel/machine.h"
#include "tests/e2e/captured.h"
#include "tools/cli.h"
#include "tools/demo.h"
#include "tools/host_block.h"

namespace {

using zeptest::captured;
using zeptest::run_result;

namespace fs = std::filesystem;
using nlohmann::json;

class Demo : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir_ = fs::temp_directory_path() / ("zep-demo-test-" + std::to_string(std::random_device{}()));
		fs::create_directories(dir_);
		// The real ext4 act runs zep serve: the zep built here, not this test program.
		::setenv("ZEP_BINARY", ZEP_BINARY, 1);
	}
	void TearDown() override { fs::remove_all(dir_); }

	// `zep demo --dir <dir_> args...`.
	run_result zep_demo(std::vector<std::string> args, bool err_is_tty = false)
	{
		args.insert(args.begin(), {"zep", "demo", "--dir", dir_.string()});
		zep::cli_io io;
		io.err_is_tty = err_is_tty;
		return captured(io, [&](zep::cli_io &c) { return zep::run_cli(args, c); });
	}

	// The demo with a hook, as JSON.
	run_result run_demo(zep::demo_options o)
	{
		o.dir = dir_.string();
		o.json = true;
		o.progress = zep::progress_mode::none;
		return captured({}, [&](zep::cli_io &c) { return zep::run_demo(o, c); });
	}

	bool left_nothing() const { return fs::is_empty(dir_); }

	fs::path dir_;
};

std::string last_line(const std::string &text)
{
	std::string t = text;
	while (!t.empty() && t.back() == '\n')
		t.pop_back();
	size_t nl = t.rfind('\n');
	return nl == std::string::npos ? t : t.substr(nl + 1);
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A snapshot's record: its freeze measured and plausible, its IO threads ended well, and the
// oracle's verdict on its image.
void expect_sane_snapshot(const json &s, const std::string &device)
{
	SCOPED_TRACE(s.dump());
	EXPECT_EQ(s["device"], device);
	EXPECT_EQ(s["node"], "/dev/zep" + std::to_string(s["id"].get<int>()));
	double frozen = s["frozen_ms"], get = s["get_freeze_ms"], window = s["oracle_window_ms"];
	EXPECT_GT(get, 0);
	EXPECT_LE(get, frozen) << "getting the freeze is part of the time frozen";
	EXPECT_LT(frozen, 10000) << "a freeze of seconds would stall the file system";
	EXPECT_LE(frozen - get, window) << "the oracle's window holds the time frozen";
	EXPECT_EQ(s["chunk_size"], 65536);
	EXPECT_EQ(s["io_thread_exits"], json::array({0, 0}));
	const json &o = s["oracle"];
	EXPECT_EQ(o["verdict"], "consistent");
	EXPECT_EQ(o["sectors"], 48 << 11);
	EXPECT_EQ(o["allowed"], o["sectors"]);
	EXPECT_EQ(o["single_freeze"], true);
	EXPECT_LT(o["initial"], o["sectors"]) << "the image holds none of the writers' writes";
}

} // namespace

TEST_F(Demo, JsonDocumentHoldsEveryVerdictAndProgressGoesToStandardError)
{
	run_result r = zep_demo({"--json", "--progress=json"});
	ASSERT_EQ(r.rc, zep::DEMO_PASSED) << r.out << r.err;
	json d = r.doc();
	EXPECT_EQ(d["command"], "demo");
	EXPECT_EQ(d["ok"], true);
	EXPECT_FALSE(d.contains("error"));
	EXPECT_EQ(d["disk"]["size"], 256 << 20);
	ASSERT_EQ(d["disk"]["partitions"].size(), 2u);
	EXPECT_GT(d["writers"]["writes"], 0);

	const json &v = d["verification"];
	ASSERT_EQ(v["oracle"].size(), 4u) << v.dump(1);
	for (const json &o : v["oracle"])
		EXPECT_EQ(o["verdict"], "consistent") << o.dump();
	EXPECT_EQ(v["backup_verify"], "ok");
	EXPECT_EQ(v["incremental_method"], "change-records");
	EXPECT_EQ(v["restored_vs_snapshot"], "same");

	const json &full = d["full"];
	expect_sane_snapshot(full["snapshot"], "vda1");
	EXPECT_EQ(full["backup"]["kind"], "full");
	EXPECT_EQ(full["backup"]["bytes_read"], 48 << 20);
	EXPECT_GT(full["throughput_mib_per_s"], 0);
	EXPECT_EQ(full["verify"]["device"], full["snapshot"]["node"]);
	EXPECT_EQ(full["verify"]["device_bytes_compared"], 48 << 20);
	EXPECT_EQ(full["verify"]["chunks_checked"], full["backup"]["chunks"]);

	const json &inc = d["incremental"];
	expect_sane_snapshot(inc["snapshot"], "vda1");
	EXPECT_EQ(inc["changes"]["complete"], true) << inc["changes"]["reason"];
	EXPECT_GT(inc["changes"]["records"], 0);
	EXPECT_GT(inc["changes"]["extents"], 0);
	EXPECT_GT(inc["changes"]["bytes"], 0);
	EXPECT_EQ(inc["backup"]["parent"], full["backup"]["sequence"]);
	EXPECT_EQ(inc["backup"]["method"], "change-records");
	EXPECT_EQ(inc["backup"]["image_bytes_stored"], inc["changes"]["bytes"]) << "exactly the changed bytes stored";
	EXPECT_EQ(inc["restore"]["chain"], json::array({full["backup"]["sequence"], inc["backup"]["sequence"]}));
	EXPECT_EQ(inc["restored_vs_snapshot"]["same"], true);
	EXPECT_EQ(inc["restored_vs_snapshot"]["bytes"], 48 << 20);

	ASSERT_EQ(d["both_partitions"].size(), 2u);
	expect_sane_snapshot(d["both_partitions"][0], "vda1");
	expect_sane_snapshot(d["both_partitions"][1], "vda2");
	EXPECT_NE(d["both_partitions"][0]["id"], d["both_partitions"][1]["id"]);

	// The real ext4 act ran wherever this machine allows it (root, /dev/fuse, a loop device).
	const json &e = d["real_ext4"];
	std::string why = zep::host::ext4_flow_unavailable();
	EXPECT_EQ(v["real_ext4"], e["status"]);
	if (why.empty()) {
		EXPECT_EQ(e["status"], "passed") << e.dump();
		EXPECT_EQ(e["quiesced"], true);
		EXPECT_EQ(e["fsck_exit"], 0);
		EXPECT_GT(e["files"], 500);
		EXPECT_EQ(e["files_intact"], e["files"]);
		EXPECT_EQ(e["incremental_method"], "change-records");
		EXPECT_EQ(e["restore_equal"], true);
		EXPECT_EQ(e["restored_fsck_exit"], 0);
	} else {
		EXPECT_EQ(e["status"], "skipped");
		EXPECT_EQ(e["reason"], why);
	}

	for (const json &s : d["steps"])
		EXPECT_EQ(s["ok"], true) << s.dump();
	EXPECT_GT(d["seconds"], 0);

	// Progress as JSON lines, each phase reaching its total; nothing else on stderr.
	std::vector<std::string> phases;
	size_t lines = 0;
	for (size_t at = 0, nl; (nl = r.err.find('\n', at)) != std::string::npos; at = nl + 1) {
		json p = json::parse(r.err.substr(at, nl - at));
		lines++;
		EXPECT_EQ(p["command"], "demo");
		if (p["done"] == p["total"])
			phases.push_back(p["progress"]);
	}
	EXPECT_GT(lines, 4u);
	for (const char *phase : {"read", "restore"})
		EXPECT_NE(std::find(phases.begin(), phases.end(), phase), phases.end()) << phase << " never finished";
	EXPECT_TRUE(left_nothing()) << "the demo left its folder behind";
}

TEST_F(Demo, TextEndsWithDemoPassedAndABarIsDrawnOnATerminal)
{
	run_result r = zep_demo({"--progress=auto", "--io-threads", "3"}, true);
	ASSERT_EQ(r.rc, zep::DEMO_PASSED) << r.out << r.err;
	EXPECT_EQ(last_line(r.out), "demo passed");
	EXPECT_FALSE(has(r.out, "FAILED")) << r.out;
	for (const char *line : {"snapshot of vda1 with 3 IO threads: /dev/zep1", "change records since the first snapshot",
				 "the incremental read only the chunks the change records name",
				 "restored.img = /dev/zep1, byte for byte", "/dev/zep1 and /dev/zep2 run at the same time",
				 "machine halted with nothing left over", "summary", "verification", "oracle: snapshot 1 consistent",
				 zep::host::ext4_flow_unavailable().empty() ? "real ext4       passed" : "real ext4       skipped"})
		EXPECT_TRUE(has(r.out, line)) << line << "\n" << r.out;
	EXPECT_TRUE(has(r.err, "\rread")) << "no bar drawn: " << r.err;
	EXPECT_TRUE(has(r.err, "100.0%")) << r.err;
	EXPECT_TRUE(left_nothing());
}

// Bytes changed on the medium itself, where no write goes through the driver, show in the
// image unpreserved: the oracle must name them, the demo fail with 1 and still end clean.
TEST_F(Demo, AChangeBehindTheDriversBackFailsTheOracleCheck)
{
	zep::demo_options o;
	o.real_ext4 = false;
	// 1 MiB: a chunk the writers made the driver preserve before the poke keeps its old
	// bytes in the image, so the poke spans more chunks than they can have reached.
	constexpr kern::sector_t PART_START = 2048, AT = 4096;
	o.while_rewriting = [](kern::dev_t disk) {
		std::vector<unsigned char> junk(1 << 20, 0xa5);
		ASSERT_EQ(kern::disk_poke(disk, PART_START + AT, junk.data(), junk.size()), 0);
	};
	run_result r = run_demo(o);
	ASSERT_EQ(r.rc, zep::DEMO_VERIFY_FAILED) << r.out;
	json d = r.doc();
	EXPECT_EQ(d["ok"], false);
	EXPECT_EQ(d["error"]["kind"], "verify_failed");
	EXPECT_EQ(d["error"]["exit_code"], 1);
	EXPECT_EQ(d["error"]["message"], "oracle: /dev/zep1 is a state vda1 passed through while frozen");
	const json &o1 = d["full"]["snapshot"]["oracle"];
	EXPECT_EQ(o1["verdict"], "inconsistent");
	EXPECT_GT(o1["corrupt"], 0);
	EXPECT_LE(o1["corrupt"], 2048) << "no more than the sectors poked";
	EXPECT_TRUE(has(o1["findings"], ": corrupt: ")) << o1["findings"];
	EXPECT_EQ(d["verification"]["oracle"][0]["verdict"], "inconsistent");
	// The backup holds what the snapshot showed: its checksums and the comparison hold.
	EXPECT_EQ(d["verification"]["backup_verify"], "ok");
	const json &last = d["steps"].back();
	EXPECT_EQ(last["step"], "machine halted with nothing left over");
	EXPECT_EQ(last["ok"], true);
	EXPECT_TRUE(left_nothing());
}

TEST_F(Demo, WhatCannotBeDoneOrAskedIsSaidWithItsExitCode)
{
	// No folder to work in: a usage error, before any machine boots.
	std::string missing = (dir_ / "missing").string();
	run_result f = captured({}, [&](zep::cli_io &c) {
		return zep::run_cli({"zep", "demo", "--dir", missing, "--json"}, c);
	});
	ASSERT_EQ(f.rc, 2) << f.out;
	json d = f.doc();
	EXPECT_EQ(d["error"]["kind"], "usage");
	EXPECT_TRUE(has(d["error"]["message"].get<std::string>(),
			"--dir " + missing + ": there is no such folder"))
		<< f.out;
	EXPECT_FALSE(kern::booted());

	run_result r = zep_demo({"--io-threads", "0"});
	EXPECT_EQ(r.rc, 2);
	EXPECT_TRUE(has(r.err, "--io-threads")) << r.err;
	r = zep_demo({"--progress=loud"});
	EXPECT_EQ(r.rc, 2);
	EXPECT_TRUE(left_nothing());
}
