// `zep backup`, `restore`, `verify` and `version` run as the command runs them, with argv,
// their standard output and error captured: a chain of backups of a host image changed
// between runs, each point restored byte for byte, damage found, errors and exit codes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "kernel/core/faults.h"
#include "tests/e2e/captured.h"
#include "tests/support/host_file.h"
#include "tools/cli.h"
#include "tools/host_block.h"
#include "tools/commands.h"

namespace {

using zeptest::captured;
using zeptest::run_result;

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;
using nlohmann::json;

constexpr uint64_t CHUNK = 64 << 10;
constexpr uint64_t IMAGE_BYTES = 4 << 20;	// 64 chunks

class ZepCli : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir_ = fs::temp_directory_path() /
		       ("zep-cli-" + std::to_string(std::random_device{}()));
		fs::create_directories(dir_ / "tmp");
		image_ = (dir_ / "disk.img").string();
		repo_ = (dir_ / "repo").string();
		// Data in every other chunk, the rest zeros.
		bytes b(IMAGE_BYTES);
		for (uint64_t c = 0; c < IMAGE_BYTES / CHUNK; c += 2)
			put(b, c * CHUNK + 1000, CHUNK / 2);
		write_image(b);
	}
	void TearDown() override { fs::remove_all(dir_); }

	// Runs `zep args...`, with the hook called once its machine has booted.
	run_result zep(std::vector<std::string> args, std::function<void()> after_boot = {})
	{
		args.insert(args.begin(), "zep");
		zep::cli_io io;
		io.after_boot = std::move(after_boot);
		return captured(io, [&](zep::cli_io &c) { return zep::run_cli(args, c); });
	}
	run_result backup(std::vector<std::string> more = {}, std::function<void()> after_boot = {})
	{
		std::vector<std::string> args = {"backup", "--image", image_, "--repo", repo_,
						 "--tmpdir", (dir_ / "tmp").string(), "--json"};
		args.insert(args.end(), more.begin(), more.end());
		return zep(args, std::move(after_boot));
	}

	void put(bytes &b, uint64_t at, size_t n)
	{
		for (size_t i = 0; i < n; i++)
			b[at + i] = static_cast<unsigned char>(rng_() % 255 + 1);
	}
	static bytes read_file(const std::string &p) { return zeptest::read_host_file(p); }
	void write_image(const bytes &b) const
	{
		std::ofstream(image_, std::ios::binary)
			.write(reinterpret_cast<const char *>(b.data()), static_cast<long>(b.size()));
	}
	// Flips bits of a byte of a host file in place.
	static void flip(const std::string &p, uint64_t at)
	{
		std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
		f.seekg(static_cast<std::streamoff>(at));
		char c = 0;
		f.get(c);
		f.seekp(static_cast<std::streamoff>(at));
		f.put(static_cast<char>(c ^ 0x10));
	}
	std::string repo_file(const std::string &name) const { return repo_ + "/" + name; }
	std::string out_file(const std::string &name) const { return (dir_ / name).string(); }

	fs::path dir_;
	std::string image_, repo_;
	std::mt19937 rng_{2024};
};

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

TEST_F(ZepCli, AChainOfBackupsRestoresEachPointAndVerifies)
{
	std::vector<bytes> at{read_file(image_)};
	auto full = backup();
	ASSERT_EQ(full.rc, 0) << full.out << full.err;
	json j = full.doc();
	EXPECT_EQ(j["kind"], "full");
	EXPECT_EQ(j["sequence"], 0);
	EXPECT_EQ(j["method"], "full");
	EXPECT_EQ(j["chunks"], 64);
	EXPECT_EQ(j["chunks_stored"], 32);
	EXPECT_EQ(j["bytes_read"], IMAGE_BYTES);
	EXPECT_EQ(j["snapshot"]["io_threads"], 2);
	EXPECT_GT(j["snapshot"]["frozen_ms"].get<double>(), 0);
	EXPECT_GT(j["throughput_mib_per_s"].get<double>(), 0);
	EXPECT_EQ(full.err, "") << "no progress when standard error is no terminal";
	EXPECT_EQ(read_file(image_), at[0]) << "a backup only reads the image";
	EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "the backing files are removed";

	// Written on the host between runs: part of chunk 5, a whole chunk 20 (zero before),
	// and chunk 6 made all zero.
	bytes b = at[0];
	put(b, 5 * CHUNK + 4096, 512);
	put(b, 20 * CHUNK, CHUNK);
	std::fill_n(b.begin() + 6 * CHUNK, CHUNK, 0);
	write_image(b);
	at.push_back(b);
	auto incr = backup({"--threads", "3"});
	ASSERT_EQ(incr.rc, 0) << incr.out << incr.err;
	j = incr.doc();
	EXPECT_EQ(j["kind"], "incremental");
	EXPECT_EQ(j["sequence"], 1);
	EXPECT_EQ(j["parent"], 0);
	EXPECT_EQ(j["method"], "checksum-compare");
	EXPECT_EQ(j["tracking_lost"], true);
	EXPECT_EQ(j["chunks_stored"], 2) << "chunks 5 and 20, nothing else";
	EXPECT_EQ(j["chunks_zero"], 1) << "chunk 6";
	EXPECT_EQ(j["image_bytes_stored"], 2 * CHUNK);
	EXPECT_LT(j["data_bytes"], 2 * CHUNK) << "chunk 5 is mostly zeros, compressed";
	EXPECT_EQ(j["snapshot"]["io_threads"], 3);
	EXPECT_HAS(j["why"].get<std::string>(), "comparing each chunk's checksum with backup 0000");

	// A run with nothing changed stores nothing; its text says how and why.
	at.push_back(b);
	auto same = zep({"backup", "--image", image_, "--repo", repo_});
	ASSERT_EQ(same.rc, 0) << same.err;
	EXPECT_HAS(same.out, "backup 0002: incremental after 0001, by checksum-compare of vda");
	EXPECT_HAS(same.out, "0 of 64 chunks stored");
	EXPECT_HAS(same.out, "why: change records do not outlive a run of zep");
	EXPECT_HAS(same.out, "throughput: 4.0 MiB read");

	for (unsigned seq = 0; seq < at.size(); seq++) {
		std::string out = out_file("restored" + std::to_string(seq));
		auto r = zep({"restore", "--repo", repo_, "--backup", "000" + std::to_string(seq),
			      "--output", out, "--json"});
		ASSERT_EQ(r.rc, 0) << r.out;
		EXPECT_EQ(r.doc()["sequence"], seq);
		EXPECT_TRUE(read_file(out) == at[seq]) << "backup " << seq << " restored differs";
	}
	auto newest = zep({"restore", "--repo", repo_, "--output", out_file("newest")});
	ASSERT_EQ(newest.rc, 0) << newest.err;
	EXPECT_HAS(newest.out, "restored backup 0002 (from 0000, 0001, 0002)");
	EXPECT_TRUE(read_file(out_file("newest")) == b);

	auto v = zep({"verify", "--repo", repo_, "--against", image_, "--json"});
	ASSERT_EQ(v.rc, 0) << v.out;
	EXPECT_EQ(v.doc()["backups"], json::array({0, 1, 2}));
	EXPECT_EQ(v.doc()["device"], image_);
	EXPECT_EQ(v.doc()["device_bytes_compared"], IMAGE_BYTES);
	// The image now is not the image at backup 0000: the first difference is named.
	v = zep({"verify", "--repo", repo_, "--backup", "0", "--against", image_});
	EXPECT_EQ(v.rc, 1);
	EXPECT_HAS(v.err, "byte " + std::to_string(5 * CHUNK + 4096) + " of " + image_);

	// A byte of the delta flipped: verify names the backup and the chunk.
	flip(repo_file("0001.delta"), 100);
	v = zep({"verify", "--repo", repo_});
	EXPECT_EQ(v.rc, 1);
	EXPECT_HAS(v.err, "backup 0001, chunk 5");
	EXPECT_EQ(v.out, "");
	v = zep({"verify", "--repo", repo_, "--json"});
	EXPECT_EQ(v.rc, 1);
	EXPECT_EQ(v.doc()["ok"], false);
	EXPECT_EQ(v.doc()["error"]["kind"], "corrupt");
	EXPECT_EQ(v.doc()["error"]["exit_code"], 1);
	EXPECT_EQ(v.err, "");
	EXPECT_EQ(zep({"verify", "--repo", repo_, "--backup", "0"}).rc, 0)
		<< "backup 0000 does not need the delta";
	auto r = zep({"restore", "--repo", repo_, "--output", out_file("bad")});
	EXPECT_EQ(r.rc, 1);
	EXPECT_FALSE(fs::exists(out_file("bad"))) << "a failed restore leaves no image";

	// Another program holding the repository's lock, as a running backup does: a backup and
	// a restore are refused at once with exit 6, naming it; a chain whose delta was cut short
	// is not appended to.
	{
		int fd = ::open(repo_file("lock").c_str(), O_RDWR);
		ASSERT_GE(fd, 0);
		ASSERT_EQ(::flock(fd, LOCK_EX), 0);
		ASSERT_EQ(::pwrite(fd, "zep backup, pid 4242\n", 21, 0), 21);
		auto busy = zep({"backup", "--image", image_, "--repo", repo_});
		EXPECT_EQ(busy.rc, 6);
		EXPECT_HAS(busy.err, "in use by zep backup, pid 4242");
		EXPECT_EQ(zep({"restore", "--repo", repo_, "--output", out_file("busy")}).rc, 6);
		::close(fd);
	}
	fs::resize_file(repo_file("0001.delta"), 100);
	auto broken = zep({"backup", "--image", image_, "--repo", repo_});
	EXPECT_EQ(broken.rc, 1);
	EXPECT_HAS(broken.err, "0001.delta");
	EXPECT_EQ(zep({"backup", "--image", image_, "--repo", repo_, "--full"}).rc, 0);
}

// Prune keeps the newest N that restore: the oldest kept incremental is merged into a full
// backup first, older ones go, and the chain goes on after it.
TEST_F(ZepCli, PruneKeepsTheNewestBackupsRestorable)
{
	std::vector<bytes> at;
	for (int i = 0; i < 3; i++) {
		bytes b = read_file(image_);
		put(b, static_cast<uint64_t>(i) * 7 * CHUNK + 512, CHUNK);
		write_image(b);
		at.push_back(b);
		ASSERT_EQ(backup().rc, 0);
	}
	auto p = zep({"prune", "--repo", repo_, "--keep-last", "2", "--json"});
	ASSERT_EQ(p.rc, 0) << p.out;
	EXPECT_EQ(p.doc()["kept"], json::array({1, 2}));
	EXPECT_EQ(p.doc()["merged"], json::array({1}));
	EXPECT_EQ(p.doc()["removed"], json::array({0}));
	auto l = zep({"list", "--repo", repo_, "--json"});
	ASSERT_EQ(l.rc, 0) << l.out;
	ASSERT_EQ(l.doc()["backups"].size(), 2u);
	EXPECT_EQ(l.doc()["backups"][0]["kind"], "full");
	EXPECT_EQ(l.doc()["backups"][0]["merged"], true);
	EXPECT_EQ(l.doc()["backups"][1]["parent"], 1);
	EXPECT_EQ(zep({"verify", "--repo", repo_}).rc, 0);
	for (unsigned seq : {1u, 2u}) {
		std::string out = out_file(fmt::format("p{}", seq));
		ASSERT_EQ(zep({"restore", "--repo", repo_, "--backup", std::to_string(seq), "--output",
			       out}).rc, 0);
		EXPECT_TRUE(read_file(out) == at[seq]) << "backup " << seq;
	}
	auto next = backup();
	ASSERT_EQ(next.rc, 0) << next.out;
	EXPECT_EQ(next.doc()["parent"], 2);
	auto info = zep({"info", "--repo", repo_, "--json"});
	EXPECT_EQ(info.doc()["chains"], json::array({json::array({1, 2, 3})}));
	EXPECT_EQ(zep({"prune", "--repo", repo_, "--keep-last", "0"}).rc, 2);
}

// A repository written without compression, in the layout of before, is continued with it:
// text takes a fraction of its size, the mixed chain restores, a damaged frame exits 1.
TEST_F(ZepCli, CompressionIsChosenPerBackupAndAChainMixesBoth)
{
	const bytes at0 = read_file(image_);
	auto raw = backup({"--compress", "none"});
	ASSERT_EQ(raw.rc, 0) << raw.out;
	EXPECT_EQ(raw.doc()["compression"], "none");
	EXPECT_EQ(fs::file_size(repo_file("0000.img")), IMAGE_BYTES) << "a sparse raw image";

	std::string text;
	for (uint64_t line = 0; text.size() < IMAGE_BYTES; line++)
		text += fmt::format("{:>8} lines, {:>8} words\n", line, line * 7);
	const bytes at1(text.begin(), text.begin() + IMAGE_BYTES);
	write_image(at1);
	auto inc = backup();
	ASSERT_EQ(inc.rc, 0) << inc.out;
	EXPECT_EQ(inc.doc()["compression"], "zstd:3");
	EXPECT_EQ(inc.doc()["image_bytes_stored"], IMAGE_BYTES);
	EXPECT_LT(inc.doc()["data_bytes"], IMAGE_BYTES / 4);
	ASSERT_EQ(zep({"restore", "--repo", repo_, "--backup", "0", "--output", out_file("r0")}).rc,
		  0);
	EXPECT_TRUE(read_file(out_file("r0")) == at0);
	ASSERT_EQ(zep({"restore", "--repo", repo_, "--output", out_file("r1")}).rc, 0);
	EXPECT_TRUE(read_file(out_file("r1")) == at1);

	flip(repo_file("0001.delta"), 0);	// the first frame's magic number
	auto v = zep({"verify", "--repo", repo_});
	EXPECT_EQ(v.rc, 1);
	EXPECT_HAS(v.err, "the compressed piece of 0001.delta at byte 0");
	EXPECT_EQ(zep({"restore", "--repo", repo_, "--output", out_file("bad")}).rc, 1);
}

// Sources: an image another program writes during the backup is refused (exit 3, nothing
// committed, the way to a live backup named), as is one locked for writing; a read-only host
// block device is backed up like a file.
TEST_F(ZepCli, ATornImageIsRefusedAndABlockDeviceIsASource)
{
	auto torn = backup({}, [&] { std::ofstream(image_, std::ios::in | std::ios::out).put('x'); });
	EXPECT_EQ(torn.rc, 3) << torn.out;
	EXPECT_EQ(torn.doc()["error"]["kind"], "invalidated");
	EXPECT_HAS(torn.out, "zep serve");
	EXPECT_FALSE(fs::exists(repo_file("0000.json")) || fs::exists(repo_file("0000.img")));
	{
		// A writer in place holds a write lock on the image, as qemu and databases do.
		int fd = ::open(image_.c_str(), O_RDWR);
		struct flock fl {};
		fl.l_type = F_WRLCK;
		fl.l_whence = SEEK_SET;
		ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &fl), 0);
		auto locked = backup();
		::close(fd);
		EXPECT_EQ(locked.rc, 3) << locked.out;
		EXPECT_HAS(locked.doc()["error"]["message"].get<std::string>(), "locked for writing");
	}

	if (::geteuid() != 0 || !zep::host::have_tool("losetup"))
		GTEST_SKIP() << "a loop device needs root and losetup";
	auto loop = zep::host::loop_device::attach(image_, true);	// read-only: never written
	if (!loop)
		GTEST_SKIP() << loop.err().message;
	auto b = zep({"backup", "--image", loop->node(), "--repo", repo_, "--json"});
	ASSERT_TRUE(loop->detach().ok());
	ASSERT_EQ(b.rc, 0) << b.out;
	EXPECT_EQ(b.doc()["bytes_read"], IMAGE_BYTES);
	ASSERT_EQ(zep({"restore", "--repo", repo_, "--output", out_file("r")}).rc, 0);
	EXPECT_TRUE(read_file(out_file("r")) == read_file(image_));
}

// A repository follows one source: the partition backed up keeps its table's name, and
// another partition of the same size, the whole image or another image of the same size
// each need --full.
TEST_F(ZepCli, APartitionIsBackedUpAloneAndOtherSourcesNeedFull)
{
	const uint64_t start = 4096, sectors = 2048;	// the table's second partition
	ASSERT_TRUE(zep::host::have_tool("sfdisk"));
	ASSERT_TRUE(zep::host::shell(fmt::format("printf '2048,2048\\n{},{}\\n' | sfdisk -q {}", start,
						 sectors, image_))
			    .ok());
	auto r = backup({"--partition", fmt::format("{}:{}", start, sectors)});
	ASSERT_EQ(r.rc, 0) << r.out << r.err;
	EXPECT_EQ(r.doc()["device"], "vda2");
	EXPECT_EQ(r.doc()["size"], sectors * 512);
	EXPECT_EQ(r.doc()["partition"]["start"], start);
	ASSERT_EQ(zep({"restore", "--repo", repo_, "--output", out_file("part")}).rc, 0);
	bytes image = read_file(image_);
	EXPECT_TRUE(read_file(out_file("part")) ==
		    bytes(image.begin() + start * 512, image.begin() + (start + sectors) * 512));

	const std::string part = fmt::format("{}:{}", start, sectors);
	EXPECT_EQ(zep({"verify", "--repo", repo_, "--against", image_, "--partition", part}).rc, 0);
	EXPECT_EQ(zep({"verify", "--repo", repo_, "--against", image_, "--partition", "2048:2048"}).rc,
		  1);

	fs::copy_file(image_, out_file("other.img"));
	for (auto other : {std::vector<std::string>{"--partition", "2048:2048"},
			   std::vector<std::string>{}}) {
		auto refused = backup(other);
		EXPECT_EQ(refused.rc, 2) << refused.out;
		EXPECT_HAS(refused.doc()["error"]["message"].get<std::string>(), "--full");
	}
	auto copy = zep({"backup", "--image", out_file("other.img"), "--repo", repo_, "--partition",
			 fmt::format("{}:{}", start, sectors), "--json"});
	EXPECT_EQ(copy.rc, 2);
	EXPECT_HAS(copy.doc()["error"]["message"].get<std::string>(), "is not the source of backup 0000");
	EXPECT_EQ(backup({"--full"}).rc, 0);
	EXPECT_EQ(backup({"--partition", fmt::format("{}:{}", start, sectors)}).rc, 2);
}

TEST_F(ZepCli, UsageErrorsExitTwoAndSayWhatToDo)
{
	struct usage_case {
		std::vector<std::string> args;
		std::string says;
	};
	const std::string missing = out_file("missing.img");
	const std::string run = out_file("run");
	std::ofstream(out_file("odd.img")) << "not sectors";
	std::ofstream(out_file("exists.img")) << "keep me";
	const std::vector<usage_case> cases = {
		{{}, "A subcommand is required: see zep --help"},
		{{"frobnicate"}, "frobnicate"},
		{{"backup", "--image", image_}, "--repo is required: see zep backup --help"},
		{{"backup", "--image", image_, "--repo", repo_, "--threads", "0"},
		 "--threads 0: choose a whole number from 1 to 64"},
		{{"backup", "--image", image_, "--repo", repo_, "--threads", "0x4"},
		 "--threads 0x4: choose"},
		{{"backup", "--image", image_, "--repo", repo_, "--readers", "33"},
		 "--readers 33: choose a whole number from 1 to 32"},
		{{"backup", "--image", image_, "--repo", repo_, "--progress", "loud"},
		 "--progress loud: choose auto, bar, json or none: see zep backup --help"},
		{{"backup", "--image", image_, "--repo", repo_, "--compress", "zstd:20"},
		 "give none, zstd or zstd:LEVEL with a level from 1 (fastest) to 19"},
		{{"backup", "--image", missing, "--repo", repo_},
		 "image " + missing + " does not exist"},
		{{"backup", "--image", out_file("odd.img"), "--repo", repo_},
		 "not a whole number of 512-byte sectors"},
		{{"backup", "--image", image_, "--repo", repo_, "--partition", "8"},
		 "give START:SECTORS"},
		{{"backup", "--image", image_, "--repo", repo_, "--partition", "8000:200"},
		 "do not lie within the image's 8192 sectors"},
		{{"backup", "--image", image_, "--repo", image_}, "is not a folder"},
		{{"restore", "--repo", repo_, "--output", out_file("exists.img")},
		 "it exists: remove it, or give --force"},
		{{"restore", "--repo", out_file("none"), "--output", out_file("x")},
		 "no repository at"},
		{{"verify", "--repo", repo_, "--backup", "7"}, "there is no backup 0007"},
		{{"verify", "--repo", repo_, "--against", missing}, "does not exist"},
		{{"serve", image_, "--run-dir", run, "--listen", "localhost"}, "there is no port"},
		{{"serve", image_, "--run-dir", run, "--listen", "::1:10809"}, "goes in brackets"},
		{{"serve", image_, "--run-dir", run, "--listen", "127.0.0.1:65536"}, "not 1 to 65535"},
		{{"serve", image_, "--run-dir", run, "--insecure"}, "requires --listen"},
		{{"serve", image_, "--run-dir", run, "--listen", ":10809", "--tls-psk", missing},
		 "is not a readable PSK file"},
	};
	ASSERT_EQ(backup().rc, 0);
	for (const usage_case &c : cases) {
		auto r = zep(c.args);
		std::string cmd = fmt::format("zep {}", fmt::join(c.args, " "));
		EXPECT_EQ(r.rc, 2) << cmd << "\n" << r.err;
		EXPECT_HAS(r.err, c.says) << cmd;
		EXPECT_EQ(r.out, "") << cmd;
	}
	EXPECT_EQ(read_file(out_file("exists.img")), bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
	EXPECT_EQ(zep({"verify", "--repo", repo_, "--backup", "0000"}).rc, 0)
		<< "0000 is backup zero, not an octal number";

	// With --json the error is the one document on standard output.
	auto r = zep({"restore", "--repo", repo_, "--json"});
	EXPECT_EQ(r.rc, 2);
	EXPECT_EQ(r.doc()["error"]["kind"], "usage");
	EXPECT_HAS(r.doc()["error"]["message"].get<std::string>(), "--output is required");
	EXPECT_EQ(r.err, "");
}

// A second backup while one runs is refused (exit 6, naming it); SIGTERM mid-backup removes
// the unfinished backup and the backing files and exits 143;
// kill -9 leaves them, and the next backup clears both (verify names the leftover first).
TEST_F(ZepCli, ASignalOrAKillLeavesNothingThatLasts)
{
	bytes big(64 << 20);	// random: long enough to be caught in the middle
	std::mt19937_64 r64(7);
	for (size_t i = 0; i < big.size(); i += 8) {
		uint64_t v = r64();
		std::memcpy(&big[i], &v, 8);
	}
	write_image(big);
	const std::string tmp = (dir_ / "tmp").string();
	auto entries = [](const std::string &d) {
		std::vector<std::string> v;
		for (const auto &e : fs::directory_iterator(d))
			v.push_back(e.path().filename().string());
		return v;
	};
	for (int sig : {SIGTERM, SIGKILL}) {
		auto c = zep::host::child::start({ZEP_BINARY, "backup", "--image", image_, "--repo",
						  repo_, "--tmpdir", tmp},
						 out_file("log"));
		ASSERT_TRUE(c.ok());
		for (int i = 0; i < 20000 && !fs::exists(repo_file("0000.img")); i++)
			::usleep(1000);
		if (sig == SIGTERM) {	// a second writer meanwhile is refused, naming the first
			auto second = backup();
			EXPECT_EQ(second.rc, 6);
			EXPECT_HAS(second.doc()["error"]["message"].get<std::string>(),
				   fmt::format("zep backup, pid {}", c->pid()));
		}
		ASSERT_EQ(::kill(c->pid(), sig), 0);
		auto st = c->wait_for(std::chrono::seconds(30));
		ASSERT_TRUE(st.has_value());
		if (sig == SIGTERM) {
			EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 143)
				<< zep::host::describe_status(*st);
			std::ifstream log(out_file("log"));
			std::string line;
			std::getline(log, line);
			EXPECT_HAS(line, "interrupted by SIGTERM");
			EXPECT_EQ(entries(repo_), std::vector<std::string>{"lock"});
			EXPECT_TRUE(entries(tmp).empty());
		} else {
			EXPECT_TRUE(fs::exists(repo_file("0000.img")));
			EXPECT_EQ(entries(tmp).size(), 1u);
		}
	}
	auto v = zep({"verify", "--repo", repo_});
	EXPECT_HAS(v.err, "0000.img");
	ASSERT_EQ(backup().rc, 0);
	EXPECT_EQ(backup().doc()["sequence"], 2);	// 0000.img was there: numbers go above it
	EXPECT_TRUE(entries(tmp).empty());
}

// What a new user runs into first: each bad input its own message and exit 2, the version
// and the help however asked for.
TEST_F(ZepCli, BadInputsVersionAndHelpAnswerPlainly)
{
	std::ofstream(out_file("empty.img")).flush();
	const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
		{{"backup", "--image", image_, "--repo", repo_, "--partition", "2048:0"},
		 "--partition 2048:0: a partition of 0 sectors holds nothing"},
		{{"backup", "--image", out_file("empty.img"), "--repo", repo_}, "is empty (0 bytes)"},
		{{"backup", "--image", image_, "--repo", repo_, "--progress=fancy"},
		 "--progress fancy: choose auto, bar, json or none"},
		{{"restore", "--repo", repo_, "--backup", "1", "--backup", "2", "--output", "x"},
		 "--backup is given more than once"},
		{{"demo", "--dir", out_file("none")}, "--dir " + out_file("none") + ": there is no such folder"},
		{{"help", "frobnicate"}, "there is no command frobnicate"},
	};
	for (const auto &[args, says] : bad) {
		auto r = zep(args);
		EXPECT_EQ(r.rc, 2) << fmt::format("{}", fmt::join(args, " ")) << "\n" << r.err;
		EXPECT_HAS(r.err, says);
		EXPECT_EQ(r.err.find("CLI"), std::string::npos) << r.err;
	}
	// Only a backup makes its repository, so only its message says so.
	EXPECT_HAS(zep({"backup", "--image", image_, "--repo", image_}).err, "made when missing");
	EXPECT_EQ(zep({"verify", "--repo", image_}).err.find("made when missing"), std::string::npos);

	for (const char *flag : {"-V", "--version"}) {
		auto v = zep({flag});
		EXPECT_EQ(v.rc, 0);
		EXPECT_EQ(v.out, fmt::format("zep {}\n", zep::tool_version()));
		v = zep({flag, "--json"});
		EXPECT_EQ(v.rc, 0);
		EXPECT_EQ(v.doc(), json({{"zep", zep::tool_version()}}));
	}
	auto help = zep({"help", "restore"});
	EXPECT_EQ(help.rc, 0);
	EXPECT_EQ(help.out, zep({"restore", "--help"}).out);
	EXPECT_HAS(help.out, "--output FILE");
	EXPECT_EQ(zep({"help"}).out, zep({"--help"}).out);
}

TEST_F(ZepCli, AFullRepositoryDiskExitsFourAndEarlierBackupsStillVerify)
{
	ASSERT_EQ(backup().rc, 0);
	const bytes at0 = read_file(image_);
	bytes b = at0;
	put(b, 9 * CHUNK, 3 * CHUNK);
	write_image(b);

	// The second write to the delta finds no space left.
	const std::string delta = repo_file("0001.delta");
	auto full_disk = [&] { kern::fault_inject("file_write:" + delta, {.skip = 1, .error = -ENOSPC}); };
	auto r = backup({}, full_disk);
	EXPECT_EQ(r.rc, 4);
	std::string message = r.doc()["error"]["message"];
	EXPECT_EQ(r.doc()["error"]["kind"], "no_space");
	EXPECT_HAS(message, delta);
	EXPECT_HAS(message, "free space");
	EXPECT_FALSE(fs::exists(delta));
	EXPECT_FALSE(fs::exists(repo_file("0001.json")));
	EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "the snapshot was stopped all the same";

	auto v = zep({"verify", "--repo", repo_, "--json"});
	ASSERT_EQ(v.rc, 0) << v.out;
	EXPECT_EQ(v.doc()["backups"], json::array({0}));
	ASSERT_EQ(zep({"restore", "--repo", repo_, "--output", out_file("at0")}).rc, 0);
	EXPECT_TRUE(read_file(out_file("at0")) == at0);

	// With room again the same backup is made, storing the three changed chunks.
	r = backup();
	ASSERT_EQ(r.rc, 0) << r.out;
	EXPECT_EQ(r.doc()["sequence"], 1);
	EXPECT_EQ(r.doc()["chunks_stored"], 3);

	// A restore whose output's file system fills up says so, and leaves no image.
	const std::string out = out_file("out.img");
	r = zep({"restore", "--repo", repo_, "--output", out}, [&] {
		kern::fault_inject("file_write:" + out, {.skip = 1, .error = -ENOSPC});
	});
	EXPECT_EQ(r.rc, 4);
	EXPECT_HAS(r.err, "the file system of " + out + " is full: free space on it");
	EXPECT_FALSE(fs::exists(out));

	// With room its counts add up to the file, in JSON and in text alike: the chunks
	// written and the holes (zeros) make the file's length.
	r = zep({"restore", "--repo", repo_, "--output", out, "--json"});
	ASSERT_EQ(r.rc, 0) << r.out;
	json j = r.doc();
	uint64_t written = j["bytes_written"], holes = j["bytes_sparse"];
	EXPECT_EQ(written + holes, j["size"].get<uint64_t>());
	EXPECT_EQ(fs::file_size(out), j["size"].get<uint64_t>());
	EXPECT_EQ(holes, j["chunks_sparse"].get<uint64_t>() * CHUNK);
	auto text = zep({"restore", "--repo", repo_, "--output", out, "--force"});
	ASSERT_EQ(text.rc, 0) << text.err;
	EXPECT_HAS(text.out, fmt::format("{} bytes written and {} left as holes", written, holes));
}

TEST_F(ZepCli, ProgramsGetJsonVersionsProgressAndHelp)
{
	auto v = zep({"version", "--json"});
	ASSERT_EQ(v.rc, 0) << v.out;
	EXPECT_EQ(v.doc()["zep"], zep::tool_version());
	EXPECT_EQ(v.doc()["driver"]["version"],
		  fmt::format("{}.{}.{} build {}", v.doc()["driver"]["major"].get<int>(),
			      v.doc()["driver"]["minor"].get<int>(),
			      v.doc()["driver"]["maint"].get<int>(),
			      v.doc()["driver"]["build"].get<int>()));
	v = zep({"version"});
	EXPECT_HAS(v.out, fmt::format("zep {}\ndriver ", zep::tool_version()));

	// Progress as JSON lines on standard error, the summary alone on standard output.
	auto r = backup({"--progress=json"});
	ASSERT_EQ(r.rc, 0) << r.err;
	EXPECT_EQ(r.doc()["kind"], "full");
	std::istringstream lines(r.err);
	json last;
	int n = 0;
	for (std::string l; std::getline(lines, l); n++) {
		last = json::parse(l);
		EXPECT_EQ(last["progress"], "read");
		EXPECT_LE(last["done"].get<uint64_t>(), last["total"].get<uint64_t>());
	}
	EXPECT_GT(n, 2);
	EXPECT_EQ(last["done"], IMAGE_BYTES);

	// A bar only where asked for (or on a terminal), ended by a newline.
	r = zep({"restore", "--repo", repo_, "--output", out_file("r"), "--progress", "bar"});
	ASSERT_EQ(r.rc, 0);
	EXPECT_HAS(r.err, "100.0% 4.0 MiB of 4.0 MiB\n");

	auto help = zep({"backup", "--help"});
	EXPECT_EQ(help.rc, 0);
	for (const char *opt : {"--image FILE", "--partition START:SECTORS", "--repo DIR",
				"--threads N", "--json", "--progress", "Exit codes"})
		EXPECT_HAS(help.out, opt);
}

} // namespace

TEST_F(ZepCli, ASnapshotTheDriverRefusesExitsThreeWithItsReason)
{
	// The driver cannot allocate the session's chunk table (the allocation site in the
	// driver's chunk store).
	auto r = backup({}, [] { kern::fault_inject("site:chunk.cpp:35"); });
	kern::fault_clear_all();
	EXPECT_EQ(r.rc, 3) << r.out;
	EXPECT_EQ(r.doc()["error"]["kind"], "refused");
	std::string message = r.doc()["error"]["message"];
	EXPECT_HAS(message, "vda");
	EXPECT_HAS(message, "could not create chunk table");
	EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "no backing file left";
	EXPECT_TRUE(!fs::exists(repo_) || fs::is_empty(repo_)) << "no backup made";
}
