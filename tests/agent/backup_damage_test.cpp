// What goes wrong around a repository: damaged images, deltas and manifests found and named
// by verify and restore; a full repository disk or a failing write mid-backup leaves the
// earlier backups usable; leftovers and damage are told apart; a snapshot that went bad
// while it was read gives no backup.
#include <atomic>
#include <thread>

#include <fmt/format.h>

#include "agent/backup_repo.h"
#include "kernel/core/faults.h"
#include "kernel/core/sched.h"
#include "kernel/syscalls.h"
#include "tests/agent/backup_fixture.h"

using namespace zeptest;

namespace {

class BackupDamageTest : public BackupTest {
protected:
	// A full backup of chunks 0-9 and an incremental one that rewrites part of chunk 2.
	void two_backups()
	{
		scribble(0, 10 * CHUNK);
		ASSERT_TRUE(full().ok());
		scribble(2 * CHUNK + 4096, 8192);
		ASSERT_TRUE(incremental(zep::change_set{{{2 * CHUNK + 4096, 8192}}, true}).ok());
	}
	// The code and message of a failed verify (its summary when it passes is not wanted).
	zep::error verify_error(zep::verify_options opts = {})
	{
		auto v = verify(std::move(opts));
		EXPECT_FALSE(v.ok());
		return v.ok() ? zep::error{} : v.err();
	}
	std::vector<unsigned> listed()
	{
		auto scan = agent([&] { return zep::scan_repository(repo_); });
		EXPECT_TRUE(scan.ok());
		std::vector<unsigned> seqs;
		for (const auto &m : scan->backups)
			seqs.push_back(m.sequence);
		return seqs;
	}
};

TEST_F(BackupDamageTest, VerifyAndRestoreNameWhatIsDamaged)
{
	two_backups();
	ASSERT_TRUE(verify().ok());

	// A byte of the full image in chunk 7, which the delta does not hold.
	flip(path("0000.img"), 7 * CHUNK + 100);
	auto e = verify_error();
	EXPECT_EQ(e.code, zep::errc::corrupt);
	EXPECT_NE(e.message.find("backup 0000, chunk 7"), std::string::npos) << e.message;
	EXPECT_NE(e.message.find("0000.img"), std::string::npos) << e.message;
	auto r = restore(1, repo_ + "/out");
	EXPECT_EQ(r.err().code, zep::errc::corrupt);
	EXPECT_NE(r.err().message.find("chunk 7"), std::string::npos) << r.err().message;
	EXPECT_FALSE(std::filesystem::exists(repo_ + "/out")) << "a failed restore leaves no image";
	flip(path("0000.img"), 7 * CHUNK + 100);

	// A byte of the delta: the full backup still restores, the incremental does not.
	flip(path("0001.delta"), 5000);
	e = verify_error();
	EXPECT_NE(e.message.find("backup 0001, chunk 2"), std::string::npos) << e.message;
	EXPECT_NE(e.message.find("0001.delta"), std::string::npos) << e.message;
	EXPECT_TRUE(restore(0, repo_ + "/out").ok());
	EXPECT_EQ(restore(1, repo_ + "/out").err().code, zep::errc::corrupt);
	flip(path("0001.delta"), 5000);

	// A hex digit of a checksum in a manifest (still a JSON string).
	std::string text;
	{
		std::ifstream in(path("0001.json"));
		text.assign(std::istreambuf_iterator<char>(in), {});
	}
	size_t at = text.find("\"checksums\"");
	at = text.find('"', text.find('[', at)) + 3;
	flip(path("0001.json"), at, 0x01);
	e = verify_error();
	EXPECT_EQ(e.code, zep::errc::corrupt);
	EXPECT_NE(e.message.find("0001.json is damaged"), std::string::npos) << e.message;
	EXPECT_EQ(incremental(std::nullopt).err().code, zep::errc::corrupt)
		<< "no backup follows a damaged one";
	flip(path("0001.json"), at, 0x01);
	ASSERT_TRUE(verify().ok());

	// The device no longer equals the newest backup.
	put(3 * CHUNK + 17 * 512, bytes(512, 0x5a));
	e = verify_error({.device = "/dev/ram0"});
	EXPECT_NE(e.message.find(fmt::format("byte {} of /dev/ram0", 3 * CHUNK + 17 * 512)),
		  std::string::npos)
		<< e.message;
	EXPECT_NE(e.message.find("backup 0001 (held by backup 0000)"), std::string::npos)
		<< e.message;

	// A delta cut short.
	std::filesystem::resize_file(path("0001.delta"), 4096);
	e = verify_error();
	EXPECT_NE(e.message.find("0001.delta holds 4096 bytes but 0001.json says 8192"),
		  std::string::npos)
		<< e.message;
	r = restore(1, repo_ + "/out");
	EXPECT_EQ(r.err().code, zep::errc::corrupt);
	EXPECT_NE(r.err().message.find("0001.delta ends at byte 4096"), std::string::npos)
		<< r.err().message;
}

TEST_F(BackupDamageTest, AReplacedParentBreaksTheChainVisibly)
{
	two_backups();
	// Another full backup, of other data, put in place of backup 0000.
	std::string other = repo_ + "/other";
	std::filesystem::create_directory(other);
	scribble(0, CHUNK);
	ASSERT_TRUE(agent([&] { return zep::full_backup(other, source()); }).ok());
	for (const char *name : {"0000.json", "0000.img"})
		std::filesystem::copy_file(other + "/" + name, path(name),
					   std::filesystem::copy_options::overwrite_existing);
	ASSERT_TRUE(verify({.sequence = 0}).ok()) << "the new full backup is whole";
	auto e = verify_error();
	EXPECT_EQ(e.code, zep::errc::corrupt);
	EXPECT_NE(e.message.find("0000.json was replaced"), std::string::npos) << e.message;
	EXPECT_EQ(restore(1, repo_ + "/out").err().code, zep::errc::corrupt);
}

TEST_F(BackupDamageTest, AFullDiskMidBackupLeavesEarlierBackupsUsable)
{
	two_backups();
	const bytes at1 = device();
	scribble(20 * CHUNK, 4 * CHUNK);
	zep::change_set changes{{{20 * CHUNK, 4 * CHUNK}}, true};

	// The second write to the delta finds the disk full.
	kern::fault_inject("file_write:" + path("0002.delta"), {.skip = 1, .error = -ENOSPC});
	auto s = incremental(changes);
	ASSERT_FALSE(s.ok());
	EXPECT_EQ(s.err().code, zep::errc::no_space);
	EXPECT_NE(s.err().message.find(path("0002.delta")), std::string::npos) << s.err().message;
	EXPECT_NE(s.err().message.find("free space"), std::string::npos) << s.err().message;
	EXPECT_FALSE(exists("0002.delta"));
	EXPECT_FALSE(exists("0002.json"));
	EXPECT_EQ(listed(), (std::vector<unsigned>{0, 1}));
	ASSERT_TRUE(verify().ok());
	ASSERT_TRUE(restore(1, repo_ + "/at1").ok());
	EXPECT_EQ(host_file(repo_ + "/at1"), at1);
	kern::fault_clear_all();

	// The manifest, written last, finds it full.
	kern::fault_inject("file_write:" + path("0002.json.tmp"), {.error = -ENOSPC});
	EXPECT_EQ(incremental(changes).err().code, zep::errc::no_space);
	EXPECT_FALSE(exists("0002.delta"));
	EXPECT_FALSE(exists("0002.json") || exists("0002.json.tmp"));
	kern::fault_clear_all();

	// A short write and an IO error are IO failures.
	kern::fault_inject("file_write:" + path("0002.delta"), {.short_bytes = 100});
	EXPECT_EQ(incremental(changes).err().code, zep::errc::io);
	kern::fault_clear_all();
	kern::fault_inject("file_write:" + path("0002.delta"), {.error = -EIO});
	EXPECT_EQ(incremental(changes).err().code, zep::errc::io);
	kern::fault_clear_all();
	EXPECT_FALSE(exists("0002.delta"));

	// Once there is room again the same backup is made.
	auto retry = incremental(changes);
	ASSERT_TRUE(retry.ok()) << retry.err().message;
	EXPECT_EQ(retry->sequence, 2u);
	ASSERT_TRUE(verify({.device = "/dev/ram0"}).ok());
}

TEST_F(BackupDamageTest, AFailingSourceLeavesNothing)
{
	scribble(0, SIZE);
	kern::disk_set_eio(dev_, 3000, 8);
	auto s = full();
	ASSERT_FALSE(s.ok());
	EXPECT_EQ(s.err().code, zep::errc::io);
	EXPECT_NE(s.err().message.find("/dev/ram0"), std::string::npos) << s.err().message;
	EXPECT_FALSE(exists("0000.img"));
	kern::disk_clear_eio(dev_);

	// A snapshot that went bad while it was read is no consistent image.
	auto bad = agent([&] {
		zep::backup_source src = source();
		src.session_error = [] {
			return zep::result<std::string>(std::string("copy-out failed"));
		};
		return zep::full_backup(repo_, src);
	});
	EXPECT_EQ(bad.err().code, zep::errc::invalidated);
	EXPECT_NE(bad.err().message.find("copy-out failed"), std::string::npos)
		<< bad.err().message;
	EXPECT_FALSE(exists("0000.img"));
	EXPECT_FALSE(exists("0000.json"));
	ASSERT_TRUE(full().ok());
}

// Readers killed while they read (as a halt or an OOM kill would) fail the backup: the
// batches they held are named, nothing is left, and the machine halts clean.
TEST_F(BackupDamageTest, KilledReadersFailTheBackupAndLeaveNothing)
{
	scribble(0, SIZE);
	kern::disk_set_delay(dev_, 500);	// reads last long enough to be caught in
	std::atomic<bool> done{false};
	kern::pid_t killer = kern::spawn("killer", [&] {
		std::vector<kern::pid_t> readers;
		while (readers.size() < 4 && !done) {
			readers.clear();
			kern::for_each_task([&](kern::task_struct *t) {
				char comm[16];
				if (std::string(kern::get_task_comm(comm, t)).starts_with("cdpread"))
					readers.push_back(t->pid);
			});
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		}
		for (kern::pid_t pid : readers)
			kern::kill(pid, SIGKILL);
		return 0;
	});
	auto s = full({.readers = 4});
	done = true;
	kern::waitpid(killer);
	kern::disk_set_delay(dev_, 0);
	ASSERT_FALSE(s.ok());
	EXPECT_EQ(s.err().code, zep::errc::io);
	EXPECT_NE(s.err().message.find("ended"), std::string::npos) << s.err().message;
	EXPECT_FALSE(exists("0000.img") || exists("0000.json"));
	ASSERT_TRUE(full().ok());
}

// Backups are found by their manifests, whatever their numbers: leftovers of interrupted
// runs are named and cleared by the next writer, which takes a number above every file; a
// manifest that does not parse is damage, never an interruption; gaps are harmless.
TEST_F(BackupDamageTest, LeftoversDamageAndGaps)
{
	scribble(0, 4 * CHUNK);
	ASSERT_TRUE(full().ok());
	{
		std::ofstream(path("0001.delta")) << "data without a manifest";
		std::ofstream(path("0002.json.tmp")) << R"({"format": "zep-backup", "vers)";
	}
	auto scan = agent([&] { return zep::scan_repository(repo_); });
	ASSERT_TRUE(scan.ok()) << scan.err().message;
	EXPECT_EQ(scan->incomplete, (std::vector<unsigned>{1}));
	EXPECT_EQ(scan->leftovers, (std::vector<std::string>{"0001.delta", "0002.json.tmp"}));
	auto v = verify();
	ASSERT_TRUE(v.ok()) << v.err().message;
	EXPECT_EQ(v->leftovers, scan->leftovers) << "verify names what interrupted runs left";

	scribble(CHUNK, 512);
	auto s = incremental(zep::change_set{{{CHUNK, 512}}, true});
	ASSERT_TRUE(s.ok()) << s.err().message;
	EXPECT_EQ(s->sequence, 3u) << "a number above every file present";
	EXPECT_FALSE(exists("0001.delta") || exists("0002.json.tmp")) << "leftovers stay";

	// A newest manifest cut short: verify fails, no backup follows it, a full one may.
	std::string good;
	{
		std::ifstream in(path("0003.json"));
		good.assign(std::istreambuf_iterator<char>(in), {});
	}
	std::ofstream(path("0003.json")) << good.substr(0, good.size() / 2);
	EXPECT_EQ(verify_error().code, zep::errc::corrupt);
	auto refused = incremental(zep::change_set{{{CHUNK, 512}}, true});
	ASSERT_FALSE(refused.ok());
	EXPECT_EQ(refused.err().code, zep::errc::corrupt) << refused.err().message;
	EXPECT_FALSE(exists("0004.delta"));
	auto f = full();
	ASSERT_TRUE(f.ok()) << f.err().message;
	EXPECT_EQ(f->sequence, 4u);

	// Older backups deleted by hand: the full one left still lists and restores.
	for (const char *name : {"0000.img", "0000.json", "0003.delta", "0003.json"})
		std::filesystem::remove(path(name));
	EXPECT_EQ(listed(), (std::vector<unsigned>{4}));
	ASSERT_TRUE(restore(4, repo_ + "/out").ok());
	EXPECT_EQ(host_file(repo_ + "/out"), device());
}

// One writer at a time: a second is refused at once, naming the holder, and so is a reader
// while the writer works; once the holder has gone both succeed.
TEST_F(BackupDamageTest, ASecondWriterIsRefusedAtOnce)
{
	scribble(0, 2 * CHUNK);
	ASSERT_TRUE(full().ok());
	std::atomic<int> stage{0};
	kern::pid_t holder = kern::spawn("cdpbackup", [&] {
		auto l = zep::repository_lock::take(repo_, true, "zep backup, pid 4242");
		stage = l ? 1 : -1;
		while (stage == 1)
			kern::sys_getpid();	// a syscall now and then, as a working writer makes
		return 0;
	});
	while (stage == 0)
		std::this_thread::yield();
	ASSERT_EQ(stage, 1);
	auto second = full();
	ASSERT_FALSE(second.ok());
	EXPECT_EQ(second.err().code, zep::errc::busy);
	EXPECT_NE(second.err().message.find("zep backup, pid 4242"), std::string::npos)
		<< second.err().message;
	EXPECT_EQ(verify().err().code, zep::errc::busy);
	stage = 2;
	EXPECT_EQ(kern::waitpid(holder), 0);
	ASSERT_TRUE(verify().ok());
	auto s = full();
	ASSERT_TRUE(s.ok()) << s.err().message;
	EXPECT_EQ(s->sequence, 1u);
}

} // namespace
