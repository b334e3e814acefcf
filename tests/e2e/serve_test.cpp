// `zep serve` as users run it: the real command (nbdkit with the zep plugin) in a process of
// its own, real NBD clients (nbdinfo, nbdcopy, qemu-img) on its exports, and the client
// commands on its control socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/serve_support.h"

namespace {

namespace fs = std::filesystem;
using zeptest::run_result;
using zeptest::sh;

constexpr size_t MIB = 1 << 20;
constexpr size_t PART1_START = 2048 * 512;	// sfdisk's first partition
constexpr size_t PART1_BYTES = 24 * MIB;

std::vector<unsigned char> random_bytes(size_t n, unsigned seed)
{
	std::vector<unsigned char> v(n);
	std::mt19937 g(seed);
	for (auto &b : v)
		b = static_cast<unsigned char>(g());
	return v;
}

void write_file(const std::string &path, const std::vector<unsigned char> &v)
{
	std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(v.data()),
						    static_cast<std::streamsize>(v.size()));
}

std::vector<unsigned char> read_file(const std::string &path, size_t off = 0, size_t n = SIZE_MAX)
{
	std::ifstream in(path, std::ios::binary);
	in.seekg(static_cast<std::streamoff>(off));
	std::vector<unsigned char> v((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	if (v.size() > n)
		v.resize(n);
	return v;
}

class Serve : public zeptest::ServedImage {
protected:
	void SetUp() override
	{
		if (!make_image(48 * MIB, "label: dos\\n,24M,L\\n,,L\\n"))
			GTEST_SKIP() << skip_reason;
		// The freeze hook logs each call, and fails a freeze while the file `fail` exists.
		hook = (dir / "hook.sh").string();
		std::ofstream(hook) << "#!/bin/sh\necho \"$1 $2\" >> " << (dir / "hook.log").string()
				    << "\nif [ $1 = freeze ] && [ -e " << (dir / "fail").string()
				    << " ]; then echo 'cannot freeze: busy' >&2; exit 1; fi\n";
		fs::permissions(hook, fs::perms::owner_all);
		start_server(hook);
	}

	run_result zep(std::vector<std::string> args) { return zeptest::zep_cli(std::move(args)); }

	std::string hook;
};

// The flow a user follows: exports listed, a live device written and read back, a snapshot
// that stays the frozen image while the live device is rewritten, a release refused while a
// client reads the snapshot, and a quit that leaves every acknowledged write in the image.
TEST_F(Serve, LiveDevicesAndSnapshotsOverNbd)
{
	std::string list = sh("nbdinfo --list '" + uri("") + "'");
	for (const char *e : {"\"vda\"", "\"vda1\"", "\"vda2\""})
		EXPECT_NE(list.find(e), std::string::npos) << list;

	auto a = random_bytes(PART1_BYTES, 1), b = random_bytes(PART1_BYTES / 2, 2);
	write_file(dir / "a.bin", a);
	write_file(dir / "b.bin", b);
	ASSERT_EQ(sh("nbdcopy " + (dir / "a.bin").string() + " '" + uri("vda1") + "'"), "");

	run_result s = zep({"snapshot", "vda1", "--connect", run, "--json"});
	ASSERT_EQ(s.rc, 0) << s.out << s.err;
	EXPECT_EQ(s.doc()["snapshot"], "zep1");
	EXPECT_EQ(s.doc()["quiesced"], true);
	std::ifstream log(dir / "hook.log");
	std::string calls((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
	EXPECT_EQ(calls, "freeze vda1\nthaw vda1\n");

	// Rewritten live while the snapshot is read: the snapshot keeps a, the device gets b.
	ASSERT_EQ(sh("nbdcopy " + (dir / "b.bin").string() + " '" + uri("vda1") + "'"), "");
	ASSERT_EQ(sh("qemu-img convert -f raw -O raw '" + uri("zep1") + "' " + (dir / "snap.bin").string()), "");
	EXPECT_TRUE(read_file(dir / "snap.bin") == a) << "the snapshot is not the frozen image";
	ASSERT_EQ(sh("nbdcopy '" + uri("vda1") + "' " + (dir / "live.bin").string()), "");
	EXPECT_TRUE(read_file(dir / "live.bin", 0, b.size()) == b);
	EXPECT_NE(sh("nbdcopy " + (dir / "b.bin").string() + " '" + uri("zep1") + "'"), "")
	    << "a snapshot taken without --writable took a write";

	// A client holding the snapshot open (its reader stalls) keeps it from being released.
	std::string slow = "nbdcopy '" + uri("zep1") + "' - | (sleep 3; cat >/dev/null)";
	std::thread reader([&] { sh(slow); });
	std::this_thread::sleep_for(std::chrono::milliseconds(1000));
	run_result busy = zep({"release", "zep1", "--connect", run});
	reader.join();
	EXPECT_NE(busy.rc, 0);
	EXPECT_NE(busy.err.find("open by 1 NBD connection"), std::string::npos) << busy.err;
	EXPECT_EQ(zep({"release", "zep1", "--connect", run}).rc, 0);

	quit_server();
	EXPECT_TRUE(fs::is_empty(run + "/cow")) << "a backing file was left";
	auto on_image = read_file(image, PART1_START, PART1_BYTES);
	EXPECT_TRUE(std::equal(b.begin(), b.end(), on_image.begin())) << "a flushed write is not in the image";
	EXPECT_TRUE(std::equal(a.begin() + b.size(), a.end(), on_image.begin() + b.size()));
}

// Bad requests get a clear error each, and the server keeps serving.
TEST_F(Serve, BadControlRequestsAreAnsweredAndTheServerKeepsServing)
{
	int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
	sockaddr_un a{};
	a.sun_family = AF_UNIX;
	std::snprintf(a.sun_path, sizeof(a.sun_path), "%s/zep.sock", run.c_str());
	ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
	const std::vector<std::pair<std::string, std::string>> cases = {
		{"not json", "usage"},
		{R"({"command": "format"})", "usage"},
		{R"({"command": "snapshot", "device": "vdz9"})", "not_found"},
		{R"({"command": "snapshot", "device": "vda"})", "usage"},
		{R"({"command": "snapshot", "device": 7})", "usage"},
		{R"({"command": "release", "snapshot": "zep9"})", "not_found"},
	};
	std::string buf;
	for (auto &[req, code] : cases) {
		std::string line = req + "\n";
		ASSERT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
		char c;
		buf.clear();
		while (::read(fd, &c, 1) == 1 && c != '\n')
			buf += c;
		auto ans = nlohmann::json::parse(buf);
		EXPECT_EQ(ans["error"]["code"], code) << req << " -> " << buf;
		EXPECT_FALSE(ans["error"]["message"].get<std::string>().empty());
	}
	// A client that leaves mid-request.
	ASSERT_GT(::write(fd, "{\"command\": \"sta", 16), 0);
	::close(fd);

	// A freeze hook that fails aborts the snapshot with its words.
	std::ofstream(dir / "fail").close();
	run_result refused = zep({"snapshot", "vda2", "--connect", run});
	EXPECT_EQ(refused.rc, 3);
	EXPECT_NE(refused.err.find("cannot freeze: busy"), std::string::npos) << refused.err;
	run_result st = zep({"status", "--connect", run, "--json"});
	ASSERT_EQ(st.rc, 0) << st.err;
	EXPECT_EQ(st.doc()["devices"].size(), 3u);
	EXPECT_TRUE(st.doc()["snapshots"].empty());
	EXPECT_EQ(zep({"status", "--connect", (dir / "nothing").string()}).rc, 2);
	quit_server();
}

} // namespace
