// Backups of real snapshots where the snapshot or its change tracking fails under them: a
// snapshot invalidated in the middle of a full backup leaves no image, and an incremental
// after the control device was closed does not trust the change records it gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/backup.h"
#include "agent/backup_repo.h"
#include "agent/backup_restore.h"
#include "agent/changes.h"
#include "kernel/core/faults.h"
#include "tests/agent/snapshot_fixture.h"

using namespace zeptest;
using zep::errc;

namespace
{

namespace fs = std::filesystem;

class BackupSessionTest : public AgentTest {
protected:
	void SetUp() override
	{
		AgentTest::SetUp();
		repo_ = path("repo");
		fs::create_directories(repo_);
	}

	// The repository's files, sorted.
	std::vector<std::string> repo_files() const
	{
		std::vector<std::string> v;
		for (auto &e : fs::directory_iterator(repo_))
			if (e.path().filename() != zep::LOCK_FILE)
				v.push_back(e.path().filename().string());
		std::sort(v.begin(), v.end());
		return v;
	}

	std::string repo_;
};

} // namespace

TEST_F(BackupSessionTest, ASnapshotInvalidatedDuringAFullBackupLeavesNoImage)
{
	int rc = in_process("cdpagent", [&] {
		auto s = zep::snapshot::take(p1_, options(1, "mid"));
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (!s)
			return 1;
		// A third of the way through the read, the IO thread's backing file refuses the
		// chunk a live write makes it preserve: the driver invalidates the session, and
		// the rest of the image is read from a device that no longer holds the snapshot.
		bool broke = false;
		zep::backup_options bo{.progress = [&](const zep::progress_event &e) {
			if (broke || e.done < e.total / 3)
				return;
			broke = true;
			kern::fault_inject("file_write:" + path("mid-io0.cow"));
			EXPECT_EQ(write_node("ard1", PART_BYTES - CHUNK, pattern(4096, 9)), 0);
			EXPECT_TRUE(wait_until([&] { return !s->error_text()->empty(); }));
			kern::fault_clear_all();
		}};
		auto b = zep::full_backup(repo_, zep::snapshot_source(*s, "ard1"), bo);
		EXPECT_TRUE(broke);
		EXPECT_FALSE(b.ok());
		if (!b.ok()) {
			EXPECT_EQ(b.err().code, errc::invalidated);
			EXPECT_NE(b.err().message.find("FILE IO ERROR"), std::string::npos)
			    << b.err().message;
		}
		EXPECT_EQ(s->stop().err().code, errc::invalidated);
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(repo_files(), std::vector<std::string>{}) << "no partial image, no manifest";
	auto scan = in_process("cdpagent", [&] {
		auto r = zep::scan_repository(repo_);
		return r && !r->latest() ? 0 : 1;
	});
	EXPECT_EQ(scan, 0);
}

TEST_F(BackupSessionTest, AfterTheControlDeviceClosedTheIncrementalComparesChecksums)
{
	int rc = in_process("cdpagent", [&] {
		zep::change_mark m1;
		{
			auto d1 = zep::change_drainer::start();
			EXPECT_TRUE(d1.ok()) << d1.err().message;
			if (!d1)
				return 1;
			m1 = d1->mark();
			auto s1 = zep::snapshot::take(p1_, options(2));
			EXPECT_TRUE(s1.ok()) << s1.err().message;
			if (!s1)
				return 1;
			auto full = zep::full_backup(repo_, zep::snapshot_source(*s1, "ard1"));
			EXPECT_TRUE(full.ok()) << full.err().message;
			EXPECT_TRUE(s1->stop().ok());
			EXPECT_TRUE(d1->stop().ok());
		} // the agent's last handle of the control device closes: queued records go

		// Written while nobody drains: no record of it survives.
		EXPECT_EQ(write_node("ard1", 3 * CHUNK + 512, pattern(1024, 7)), 0);
		auto d2 = zep::change_drainer::start();
		EXPECT_TRUE(d2.ok()) << d2.err().message;
		if (!d2)
			return 1;
		EXPECT_EQ(write_node("ard1", 7 * CHUNK, pattern(4096, 8)), 0);
		auto s2 = zep::snapshot::take(p1_, options(2));
		EXPECT_TRUE(s2.ok()) << s2.err().message;
		if (!s2)
			return 1;
		zep::collected_changes c = d2->changes_since(p1_, m1);
		EXPECT_FALSE(c.changes.complete);
		EXPECT_NE(c.reason, "");

		auto inc = zep::incremental_backup(repo_, zep::snapshot_source(*s2, "ard1"), c.changes);
		EXPECT_TRUE(inc.ok()) << inc.err().message;
		if (inc) {
			EXPECT_EQ(inc->method, zep::backup_method::checksum_compare);
			EXPECT_TRUE(inc->tracking_lost);
			EXPECT_NE(inc->note, "") << "the summary says why every chunk was read";
			EXPECT_EQ(inc->bytes_read, PART_BYTES);
			EXPECT_EQ(inc->chunks_stored, 2u) << "both changed chunks, found by checksum";
		}
		std::vector<unsigned char> image = read_node(s2->node().substr(5), 0, PART_BYTES);
		auto r = zep::restore_backup(repo_, path("at1"), {.sequence = 1});
		EXPECT_TRUE(r.ok()) << r.err().message;
		EXPECT_TRUE(host_file_bytes(path("at1"), 0, PART_BYTES) == image) << "the chain restores the snapshot";
		EXPECT_TRUE(s2->stop().ok());
		return 0;
	});
	EXPECT_EQ(rc, 0);
}
