// A real ext4 on a live export of `zep serve`: the host mounts vda1 through nbdfuse and a loop
// device, fills it, and keeps writing while zep snapshots it; the snapshot copied out over NBD
// must be a file system e2fsck accepts, holding the files as they were at the freeze. Root,
// /dev/fuse and a free loop device are needed; the test skips without them.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "tests/e2e/serve_support.h"

namespace {

namespace fs = std::filesystem;
namespace host = zep::host;
using zeptest::run_result;
using zeptest::sh;

// Small enough to copy and check in a second or two.
constexpr size_t DISK_BYTES = 256 << 20;
// A real tree of many small files, and the tool's own data beside it.
const std::string TREE = "/usr/include/linux";

class ServeExt4 : public zeptest::ServedImage {
protected:
	void SetUp() override
	{
		std::string why = host::ext4_flow_unavailable();
		if (why.empty() && !fs::is_directory(TREE))
			why = TREE + " is missing (the linux-libc-dev package)";
		if (!why.empty())
			GTEST_SKIP() << why;
		if (!make_image(DISK_BYTES, "label: dos\\n,120M,L\\n,,L\\n"))
			GTEST_SKIP() << skip_reason;
		mnt = (dir / "mnt").string();
		data = mnt + "/data";
	}

	void TearDown() override
	{
		// Innermost first: the writer, the file system, its loop device, nbdfuse, the server.
		writer.reset();
		fsys.reset();
		loop.reset();
		fuse.reset();
		ServedImage::TearDown();
	}

	// The server, with a hook that freezes the host's file system when asked; then vda1
	// through nbdfuse and a loop device, made ext4 and mounted.
	void bring_up(bool with_hook)
	{
		std::string hook;
		if (with_hook) {
			hook = (dir / "hook.sh").string();
			std::ofstream(hook) << "#!/bin/sh\necho \"$1 $2\" >> " << (dir / "hook.log").string()
					    << "\ncase $1 in freeze) exec fsfreeze -f " << mnt
					    << ";; thaw) exec fsfreeze -u " << mnt << ";; esac\n";
			fs::permissions(hook, fs::perms::owner_all);
		}
		ASSERT_NO_FATAL_FAILURE(start_server(hook));
		auto f = host::fuse_file::mount((dir / "fuse").string(), uri("vda1"), (dir / "nbdfuse.log").string());
		ASSERT_TRUE(f) << f.err().message;
		fuse.emplace(std::move(*f));
		auto l = host::loop_device::attach(fuse->path());
		ASSERT_TRUE(l) << l.err().message;
		loop.emplace(std::move(*l));
		ASSERT_EQ(sh("mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 " + loop->node()), "");
		auto m = host::mount_point::mount(loop->node(), mnt);
		ASSERT_TRUE(m) << m.err().message;
		fsys.emplace(std::move(*m));
	}

	// A real tree and a large file, on disk once this returns: their checksums in `sums`.
	void fill()
	{
		ASSERT_EQ(sh("mkdir -p " + data + " && cp -a " + TREE + " " + data + "/tree"), "");
		ASSERT_EQ(sh("dd if=/dev/urandom of=" + data + "/big.bin bs=1M count=16 conv=fsync status=none"), "");
		ASSERT_EQ(sh("sync"), "");
		auto n = host::write_checksums(data, sums());
		ASSERT_TRUE(n) << n.err().message;
		files = *n;
		ASSERT_GT(files, 500u);
	}

	// Writes that go on through the snapshot and after it: 40 files rewritten in turn, each
	// synced, so that the file system never fills.
	void start_writing()
	{
		std::string loop_cmd = "mkdir -p " + mnt + "/live && i=0; while :; do dd if=/dev/urandom of=" + mnt +
				       "/live/f$i bs=64k count=8 conv=fsync status=none; i=$(((i+1)%40)); done";
		auto w = host::child::start({"sh", "-c", loop_cmd}, (dir / "writer.log").string());
		ASSERT_TRUE(w) << w.err().message;
		writer.emplace(std::move(*w));
		std::this_thread::sleep_for(std::chrono::milliseconds(300));
	}

	// After the snapshot the checked files change on the live device: a snapshot that is not
	// the frozen image shows it in their checksums.
	void change_checked_files()
	{
		ASSERT_EQ(sh("dd if=/dev/urandom of=" + data + "/big.bin bs=1M count=4 seek=6 conv=notrunc,fsync status=none"),
			  "");
		ASSERT_EQ(sh("rm -rf " + data + "/tree/netfilter* && cp -a " + TREE + " " + data + "/tree2 && sync"), "");
		EXPECT_FALSE(host::check_checksums(data, sums())) << "the live files did not change";
	}

	// The snapshot zep1 copied out over NBD.
	std::string copy_snapshot()
	{
		std::string copy = (dir / "copy.img").string();
		EXPECT_EQ(sh("nbdcopy '" + uri("zep1") + "' " + copy), "");
		return copy;
	}

	// The files as the copy holds them, against the checksums taken before the snapshot.
	void expect_files_of_the_freeze(const std::string &copy)
	{
		std::string out = (dir / "out").string();
		fs::create_directories(out);
		// debugfs reads the image itself: no loop device or mount for the copy.
		host::shell_result r = host::shell("debugfs -R 'rdump /data " + out + "' " + copy);
		ASSERT_TRUE(r.ok()) << r.describe();
		auto checked = host::check_checksums(out + "/data", sums());
		ASSERT_TRUE(checked) << checked.err().message;
		EXPECT_EQ(*checked, files);
	}

	// Everything let go in order, each step checked; the live device a clean file system.
	void tear_down_and_quit()
	{
		writer->stop();
		writer.reset();
		auto u = fsys->unmount();
		EXPECT_TRUE(u) << u.err().message;
		auto d = loop->detach();
		EXPECT_TRUE(d) << d.err().message;
		auto f = fuse->unmount();
		EXPECT_TRUE(f) << f.err().message;
		std::string live = (dir / "live.img").string();
		ASSERT_EQ(sh("nbdcopy '" + uri("vda1") + "' " + live), "");
		host::shell_result fsck = host::shell("e2fsck -fn " + live);
		EXPECT_EQ(fsck.status, 0) << "the live device after unmounting:\n" << fsck.output;
		quit_server();
	}

	std::string sums() const { return (dir / "sums").string(); }

	std::string mnt, data;
	size_t files = 0;
	std::optional<host::fuse_file> fuse;
	std::optional<host::loop_device> loop;
	std::optional<host::mount_point> fsys;
	std::optional<host::child> writer;
};

// With the hook freezing ext4 around the snapshot, the copy is a clean file system (no
// journal to replay) with every file as it was, though the host wrote on through it; it is
// backed up in full, a second snapshot incrementally from the change records, and the
// restore is that second snapshot byte for byte.
TEST_F(ServeExt4, SnapshotOfAFrozenExt4IsCleanAndHoldsItsFiles)
{
	ASSERT_NO_FATAL_FAILURE(bring_up(true));
	ASSERT_NO_FATAL_FAILURE(fill());
	ASSERT_NO_FATAL_FAILURE(start_writing());

	ASSERT_NO_FATAL_FAILURE(zeptest::snapshot_vda1_with_hook(run, dir));

	// A full backup of zep1 while the host writes on.
	std::string repo = (dir / "repo").string();
	run_result full = zeptest::zep_cli({"backup", "--connect", run, "--snapshot", "zep1", "--repo", repo, "--json"});
	ASSERT_EQ(full.rc, 0) << full.out << full.err;
	EXPECT_EQ(full.doc()["kind"], "full");

	ASSERT_NO_FATAL_FAILURE(change_checked_files());
	std::string copy = copy_snapshot();
	host::shell_result fsck = host::shell("e2fsck -fn " + copy);
	EXPECT_EQ(fsck.status, 0) << fsck.output;
	ASSERT_NO_FATAL_FAILURE(expect_files_of_the_freeze(copy));

	// A second snapshot, backed up incrementally from the change records alone; its restore
	// is the snapshot's image, byte for byte, and a clean file system.
	run_result s2 = zeptest::zep_cli({"snapshot", "vda1", "--connect", run, "--json"});
	ASSERT_EQ(s2.rc, 0) << s2.err;
	EXPECT_EQ(s2.doc()["snapshot"], "zep2");
	run_result inc = zeptest::zep_cli({"backup", "--connect", run, "--snapshot", "zep2", "--repo", repo, "--json"});
	ASSERT_EQ(inc.rc, 0) << inc.out << inc.err;
	EXPECT_EQ(inc.doc()["method"], "change-records") << inc.out;
	EXPECT_LT(inc.doc()["bytes_read"].get<uint64_t>(), 120ull << 20) << "read only what changed";
	std::string copy2 = (dir / "copy2.img").string(), restored = (dir / "restored.img").string();
	ASSERT_EQ(sh("nbdcopy '" + uri("zep2") + "' " + copy2), "");
	ASSERT_EQ(zeptest::zep_cli({"restore", "--repo", repo, "--output", restored}).rc, 0);
	EXPECT_EQ(sh("cmp " + copy2 + " " + restored), "");
	host::shell_result fsck2 = host::shell("e2fsck -fn " + restored);
	EXPECT_EQ(fsck2.status, 0) << fsck2.output;
	tear_down_and_quit();
}

// Without a hook the snapshot is what a power cut would leave: e2fsck replays the journal
// and repairs, and every file synced before the snapshot is there with its checksum.
TEST_F(ServeExt4, CrashConsistentSnapshotKeepsEverySyncedFile)
{
	ASSERT_NO_FATAL_FAILURE(bring_up(false));
	ASSERT_NO_FATAL_FAILURE(fill());
	ASSERT_NO_FATAL_FAILURE(start_writing());

	run_result s = zeptest::zep_cli({"snapshot", "vda1", "--connect", run, "--json"});
	ASSERT_EQ(s.rc, 0) << s.out << s.err;
	EXPECT_EQ(s.doc()["quiesced"], false);

	ASSERT_NO_FATAL_FAILURE(change_checked_files());
	std::string copy = copy_snapshot();
	host::shell_result repair = host::shell("e2fsck -fy " + copy);
	EXPECT_LE(repair.status, 1) << "e2fsck could not recover the copy:\n" << repair.output;
	host::shell_result again = host::shell("e2fsck -fn " + copy);
	EXPECT_EQ(again.status, 0) << "not clean after the repair:\n" << again.output;
	ASSERT_NO_FATAL_FAILURE(expect_files_of_the_freeze(copy));
	tear_down_and_quit();
}

} // namespace
