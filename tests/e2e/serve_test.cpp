// `zep serve` as users run it: the real command (nbdkit with the zep plugin) in a process of
// its own, real NBD clients (nbdinfo, nbdcopy, qemu-img) on its exports, and the client
// commands on its control socket.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/serve_support.h"
#include "tests/support/host_file.h"

namespace {

namespace fs = std::filesystem;
using zeptest::captured;
using zeptest::run_result;
using zeptest::sh;

constexpr size_t MIB = 1 << 20;
constexpr size_t PART1_START = 2048 * 512;	// sfdisk's first partition
constexpr size_t PART1_BYTES = 24 * MIB;

bool have(const char *tool) { return zep::host::have_tool(tool); }

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
	return zeptest::read_host_file(path, off, n);
}

class Serve : public ::testing::Test {
protected:
	void SetUp() override
	{
		make_image();
		if (!IsSkipped())
			start({image, "--run-dir", run, "--freeze-hook", hook});
	}

	// A partitioned image, and a freeze hook that logs each call and fails a freeze while
	// the file `fail` exists.
	void make_image()
	{
		for (const char *t : {"nbdkit", "nbdcopy", "nbdinfo", "qemu-img", "sfdisk"})
			if (!have(t))
				GTEST_SKIP() << t << " is not installed (scripts/setup.sh installs it)";
		if (std::string(ZEP_NBDKIT_PLUGIN).empty())
			GTEST_SKIP() << "this build has no nbdkit plugin (a sanitizer build)";
		dir = fs::temp_directory_path() / ("zep-serve-" + std::to_string(::getpid()));
		fs::remove_all(dir);
		fs::create_directories(dir);
		image = (dir / "disk.img").string();
		run = (dir / "run").string();
		std::ofstream(image).close();
		fs::resize_file(image, 48 * MIB);
		ASSERT_EQ(sh("printf 'label: dos\\n,24M,L\\n,,L\\n' | sfdisk -q " + image), "");
		hook = (dir / "hook.sh").string();
		std::ofstream(hook) << "#!/bin/sh\necho \"$1 $2\" >> " << (dir / "hook.log").string()
				    << "\nif [ $1 = freeze ] && [ -e " << (dir / "fail").string()
				    << " ]; then echo 'cannot freeze: busy' >&2; exit 1; fi\n";
		fs::permissions(hook, fs::perms::owner_all);
	}

	// `zep serve ARGS` in a child, its standard error in server.log; returns once it serves.
	void start(const std::vector<std::string> &args)
	{
		std::string log = (dir / "server.log").string();
		server = ::fork();
		if (server == 0) {
			std::vector<const char *> argv = {"zep", "serve"};
			for (const std::string &a : args)
				argv.push_back(a.c_str());
			argv.push_back(nullptr);
			int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
			::dup2(fd, 2);
			::execv(ZEP_BINARY, const_cast<char **>(argv.data()));
			::_exit(127);
		}
		auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
		// Sockets a killed server left may still be there: up is when it answers.
		while (!fs::exists(run + "/nbd.sock") || zep({"status", "--connect", run}).rc != 0) {
			if (::waitpid(server, nullptr, WNOHANG) == server) {
				server = -1;
				FAIL() << "the server ended:\n" << server_log();
			}
			ASSERT_LT(std::chrono::steady_clock::now(), until)
			    << "the server did not come up:\n" << server_log();
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
		}
	}

	std::string server_log()
	{
		std::ifstream in(dir / "server.log");
		return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	}

	// Quits the server; whether it ended well.
	bool quit()
	{
		if (zep({"quit", "--connect", run}).rc != 0)
			return false;
		int status = -1;
		::waitpid(server, &status, 0);
		server = -1;
		return WIFEXITED(status) && WEXITSTATUS(status) == 0;
	}

	void TearDown() override
	{
		if (server > 0) {
			::kill(server, SIGTERM);
			::waitpid(server, nullptr, 0);
		}
		if (!dir.empty())
			fs::remove_all(dir);
	}

	run_result zep(std::vector<std::string> args)
	{
		args.insert(args.begin(), "zep");
		return captured({}, [&](zep::cli_io &io) { return zep::run_cli(args, io); });
	}
	std::string uri(const std::string &exp) { return "nbd+unix:///" + exp + "?socket=" + run + "/nbd.sock"; }

	fs::path dir;
	std::string image, run, hook;
	pid_t server = -1;
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

	ASSERT_NO_FATAL_FAILURE(zeptest::snapshot_vda1_with_hook(run, dir));

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

	run_result q = zep({"quit", "--connect", run});
	EXPECT_EQ(q.rc, 0) << q.err;
	int status = -1;
	::waitpid(server, &status, 0);
	server = -1;
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the server ended with " << status;
	EXPECT_FALSE(fs::exists(run + "/zep.sock") || fs::exists(run + "/nbd.sock"));
	EXPECT_TRUE(fs::is_empty(run + "/cow")) << "a backing file was left";
	auto on_image = read_file(image, PART1_START, PART1_BYTES);
	EXPECT_TRUE(std::equal(b.begin(), b.end(), on_image.begin())) << "a flushed write is not in the image";
	EXPECT_TRUE(std::equal(a.begin() + b.size(), a.end(), on_image.begin() + b.size()));
}

// Backups through the server: a full one, then an incremental one that reads only what the
// change records say was written, restoring to the live device's bytes; then snapshots
// until the driver's limit, where the 17th is refused with the driver's reason.
TEST_F(Serve, IncrementalBackupsFromChangeRecordsAndTheSnapshotLimit)
{
	if (!have("qemu-io"))
		GTEST_SKIP() << "qemu-io is not installed (scripts/setup.sh installs qemu-utils)";
	write_file(dir / "a.bin", random_bytes(PART1_BYTES, 3));
	ASSERT_EQ(sh("nbdcopy " + (dir / "a.bin").string() + " '" + uri("vda1") + "'"), "");
	std::string repo = (dir / "repo").string();
	run_result full = zep({"backup", "--connect", run, "--device", "vda1", "--repo", repo, "--json"});
	ASSERT_EQ(full.rc, 0) << full.out << full.err;
	EXPECT_EQ(full.doc()["kind"], "full");

	std::string w = sh("qemu-io -f raw -c 'write -P 0x5a 1M 64k' -c 'write -P 0xa5 9M 4k' '" +
			   uri("vda1") + "'");
	ASSERT_EQ(w.find("exit"), std::string::npos) << w;
	run_result ch = zep({"changes", "vda1", "--connect", run, "--json"});
	ASSERT_EQ(ch.rc, 0) << ch.err;
	EXPECT_EQ(ch.doc()["complete"], true);
	EXPECT_EQ(ch.doc()["extents"], nlohmann::json::parse("[[1048576, 65536], [9437184, 4096]]"));

	run_result inc = zep({"backup", "--connect", run, "--device", "vda1", "--repo", repo, "--json",
			      "--compress", "zstd:1"});
	ASSERT_EQ(inc.rc, 0) << inc.out << inc.err;
	EXPECT_EQ(inc.doc()["method"], "change-records") << inc.out;
	EXPECT_EQ(inc.doc()["compression"], "zstd:1");
	EXPECT_EQ(inc.doc()["pieces_compressed"], 2) << "both ranges are a pattern";
	EXPECT_EQ(inc.doc()["bytes_read"], 2 * 65536) << "whole chunks of the two ranges only";
	std::string restored = (dir / "restored.img").string(), live = (dir / "live.img").string();
	ASSERT_EQ(zep({"restore", "--repo", repo, "--output", restored}).rc, 0);
	ASSERT_EQ(sh("nbdcopy '" + uri("vda1") + "' " + live), "");
	EXPECT_EQ(sh("cmp " + restored + " " + live), "");

	int taken = 0;
	run_result r;
	while ((r = zep({"snapshot", "vda2", "--threads", "1", "--connect", run})).rc == 0)
		taken++;
	EXPECT_EQ(taken, 16);
	EXPECT_NE(r.err.find("max simultaneous snapshots"), std::string::npos) << r.err;
	run_result st = zep({"status", "--connect", run, "--json"});
	EXPECT_EQ(st.doc()["snapshots"].size(), 16u);
	EXPECT_EQ(zep({"quit", "--connect", run}).rc, 0);
	int status = -1;
	::waitpid(server, &status, 0);
	server = -1;
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
	EXPECT_TRUE(fs::is_empty(run + "/cow")) << "a backing file was left";
}

// A server killed outright leaves every flushed write in the image, like a disk that lost
// power; the next server in the run folder clears what it left, and SIGTERM ends it as quit.
TEST_F(Serve, KilledServerKeepsFlushedWritesAndTheNextOneCleansUp)
{
	auto a = random_bytes(4 * MIB, 4);
	write_file(dir / "a.bin", a);
	ASSERT_EQ(sh("nbdcopy --flush " + (dir / "a.bin").string() + " '" + uri("vda2") + "'"), "");
	ASSERT_EQ(zep({"snapshot", "vda2", "--connect", run}).rc, 0);
	ASSERT_FALSE(fs::is_empty(run + "/cow"));
	::kill(server, SIGKILL);
	::waitpid(server, nullptr, 0);
	auto on_image = read_file(image, PART1_START + PART1_BYTES, a.size());
	EXPECT_TRUE(on_image == a) << "a flushed write was lost";

	start({image, "--run-dir", run, "--freeze-hook", hook});
	run_result st = zep({"status", "--connect", run, "--json"});
	ASSERT_EQ(st.rc, 0) << st.err;
	EXPECT_TRUE(st.doc()["snapshots"].empty());
	EXPECT_TRUE(fs::is_empty(run + "/cow")) << "the killed server's backing files stayed";
	::kill(server, SIGTERM);
	int status = -1;
	::waitpid(server, &status, 0);
	server = -1;
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
	EXPECT_FALSE(fs::exists(run + "/zep.sock") || fs::exists(run + "/nbd.sock"));
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
	EXPECT_EQ(zep({"quit", "--connect", run}).rc, 0);
	int status = -1;
	::waitpid(server, &status, 0);
	server = -1;
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A port on the loopback address that nothing listens on (for a moment).
int free_port()
{
	int fd = ::socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(a);
	int port = 0;
	if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
	    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
		port = ntohs(a.sin_port);
	::close(fd);
	return port;
}

class ServeTcp : public Serve {
protected:
	void SetUp() override
	{
		make_image();
		if (IsSkipped())
			return;
		if (sh("nbdkit --dump-config").find("tls=yes") == std::string::npos)
			GTEST_SKIP() << "this nbdkit was built without TLS (gnutls)";
		tcp = "127.0.0.1:" + std::to_string(free_port());
		start({image, "--run-dir", run, "--listen", tcp});
	}
	std::string tcp;
};

// --listen without TLS material: a key made in the run folder, its path printed; a client
// with it writes over TCP what unix-socket clients read; one without TLS, or with another
// key, gets nothing.
TEST_F(ServeTcp, TcpServesOnlyClientsWithTheKey)
{
	std::string psk = run + "/tls.psk";
	EXPECT_NE(server_log().find("nbds://zep@" + tcp + "/vda?tls-psk-file=" + psk), std::string::npos)
	    << server_log();
	EXPECT_EQ(fs::status(psk).permissions() & fs::perms::all,
		  fs::perms::owner_read | fs::perms::owner_write);

	auto a = random_bytes(PART1_BYTES, 3);
	write_file(dir / "a.bin", a);
	ASSERT_EQ(sh("nbdcopy " + (dir / "a.bin").string() + " 'nbds://zep@" + tcp +
		     "/vda1?tls-psk-file=" + psk + "'"), "");
	ASSERT_EQ(sh("nbdcopy '" + uri("vda1") + "' " + (dir / "back.bin").string()), "");
	EXPECT_TRUE(read_file(dir / "back.bin") == a) << "the TCP write is not on the device";

	std::ofstream(dir / "other.psk") << "zep:" << std::string(64, 'a') << "\n";
	for (const std::string &refused :
	     {"nbdinfo --size 'nbd://" + tcp + "/vda1'", "nbdinfo --list 'nbd://" + tcp + "'",
	      "nbdinfo --size 'nbds://zep@" + tcp + "/vda1?tls-psk-file=" + (dir / "other.psk").string() + "'"}) {
		std::string out = sh(refused);
		EXPECT_NE(out.find("(exit"), std::string::npos) << refused << " was served:\n" << out;
	}
	EXPECT_NE(server_log().find("refused a TCP client without TLS"), std::string::npos);
	EXPECT_TRUE(quit()) << server_log();
}

class ServeBlockDevice : public Serve {
protected:
	void SetUp() override
	{
		if (::geteuid() != 0)
			GTEST_SKIP() << "attaching a loop device needs root";
		make_image();
		if (IsSkipped())
			return;
		// Bytes of its own at the start of the second partition, to be read back.
		pattern = random_bytes(4 * MIB, 4);
		std::fstream(image, std::ios::in | std::ios::out | std::ios::binary)
		    .seekp(PART2_START)
		    .write(reinterpret_cast<const char *>(pattern.data()), static_cast<std::streamsize>(pattern.size()));
		std::string out = sh("losetup -f --show " + image);
		if (!out.starts_with("/dev/loop") || out.find("(exit") != std::string::npos)
			GTEST_SKIP() << "no free loop device: " << out;
		loop = out.substr(0, out.find('\n'));
		start({loop, "--run-dir", run});
	}

	// The server lets go of the device before it is detached, even after a failure.
	void TearDown() override
	{
		if (server > 0) {
			::kill(server, SIGTERM);
			::waitpid(server, nullptr, 0);
			server = -1;
		}
		if (!loop.empty())
			sh("losetup -d " + loop);
		Serve::TearDown();
	}

	static constexpr size_t PART2_START = PART1_START + PART1_BYTES;
	std::vector<unsigned char> pattern;
	std::string loop;
};

// A loop device as the image: its partitions found through it, the whole disk copied out
// as the device holds it, and a write through a partition reaching the device.
TEST_F(ServeBlockDevice, ALoopDeviceIsServedLikeAnImageFile)
{
	std::string list = sh("nbdinfo --list '" + uri("") + "'");
	for (const char *e : {"\"vda\"", "\"vda1\"", "\"vda2\""})
		EXPECT_NE(list.find(e), std::string::npos) << list;
	ASSERT_EQ(sh("nbdcopy '" + uri("vda") + "' " + (dir / "whole.bin").string()), "");
	EXPECT_EQ(sh("cmp " + (dir / "whole.bin").string() + " " + loop), "");
	auto part2 = read_file(dir / "whole.bin", PART2_START, pattern.size());
	EXPECT_TRUE(part2 == pattern) << "vda2 does not start with the bytes put there";

	auto b = random_bytes(2 * MIB, 5);
	write_file(dir / "b.bin", b);
	ASSERT_EQ(sh("nbdcopy " + (dir / "b.bin").string() + " '" + uri("vda1") + "'"), "");
	EXPECT_TRUE(quit()) << server_log();
	EXPECT_TRUE(read_file(loop, PART1_START, b.size()) == b) << "a flushed write is not on the device";
}

} // namespace
