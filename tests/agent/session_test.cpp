// zep::snapshot, the snapshot protocol as a whole: taken, read, stopped, and every way it
// can fail leaving nothing behind (no session, no process, no file, no leak at the halt).
#include <algorithm>

#include "kernel/core/faults.h"
#include "tests/agent/snapshot_fixture.h"

using namespace zeptest;
using zep::errc;

namespace
{

class SnapshotTest : public AgentTest {
protected:
	// Takes a snapshot that a test expects to fail: the error.
	zep::error failed_take(kern::dev_t dev, const zep::snapshot_options &o)
	{
		zep::error e;
		int rc = in_process("cdpagent", [&] {
			auto s = zep::snapshot::take(dev, o);
			EXPECT_FALSE(s.ok()) << "snapshot zep" << s->id() << " was taken";
			if (!s)
				e = s.err();
			return 0;
		});
		EXPECT_EQ(rc, 0);
		return e;
	}
};

// Real time at clock speed 1, where the driver's 30 s wait for an IO thread is 30 s.
class SnapshotRealTimeTest : public SnapshotTest {
protected:
	double clock_speed() const override { return 1.0; }
};

} // namespace

TEST_F(SnapshotTest, TheImageKeepsThePreSnapshotContentWhileTheLivePartitionIsRewritten)
{
	int rc = in_process("cdpagent", [&] {
		auto s = zep::snapshot::take(p1_, options(4));
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (!s)
			return 1;
		EXPECT_EQ(s->id(), 1);
		EXPECT_EQ(s->node(), "/dev/zep1");
		EXPECT_EQ(s->started().active_sessions, 1);
		EXPECT_TRUE(s->started().tracks_changes());
		EXPECT_EQ(s->backing_files().size(), 5u);
		for (const std::string &f : s->backing_files())
			EXPECT_TRUE(std::filesystem::exists(f)) << f;
		EXPECT_EQ(s->ctl().backing_file(1).value(), s->backing_files()[0]);
		EXPECT_EQ(s->ctl().device_path(1).value(), "/dev/ard1");
		EXPECT_EQ(s->error_text().value(), "");
		EXPECT_TRUE(s->check().ok());

		// A writer rewrites the live partition while a cdp process reads the image.
		std::atomic<bool> stop_writing{false};
		std::atomic<int> writes{0};
		kern::pid_t writer = kern::spawn("writer", [&] {
			std::mt19937 rng(7);
			auto block = pattern(4096, 9);
			int failed = 0;
			while (!stop_writing && !failed) {
				kern::loff_t off =
				    static_cast<kern::loff_t>(rng() % (PART_BYTES / 4096) * 4096);
				failed = write_in_process("ard1", off, block);
				writes++;
			}
			return failed;
		});
		while (writes < 20)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		auto during = read_device("zep1", 0, PART_BYTES);
		stop_writing = true;
		EXPECT_EQ(kern::waitpid(writer), 0);
		EXPECT_TRUE(during == old_) << "the image read during the rewrites differs";
		EXPECT_TRUE(read_device("zep1", 0, PART_BYTES) == old_)
		    << "the image read afterwards differs";
		EXPECT_FALSE(read_device("ard1", 0, PART_BYTES) == old_)
		    << "the writer changed nothing";

		auto info = s->info();
		EXPECT_TRUE(info.ok());
		EXPECT_GT(info->changed_blocks, 0u);
		EXPECT_EQ(info->block_size, 65536u);
		EXPECT_FALSE(info->invalidated());

		auto stopped = s->stop();
		EXPECT_TRUE(stopped.ok()) << stopped.err().message;
		EXPECT_TRUE(s->stopped());
		EXPECT_EQ(s->io_thread_exits(), std::vector<int>(4, 0));
		EXPECT_TRUE(s->stop().ok()) << "a second stop";
		EXPECT_EQ(s->ctl().session_count().value(), 0);
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(folder().empty()) << "backing files left behind";
	EXPECT_TRUE(dmesg_has("zep: INFO: zep session zep1 stopped."));
}

TEST_F(SnapshotTest, ARefusedStartLeavesNothing)
{
	zep::error e = failed_take(p2_, options(2));
	EXPECT_EQ(e.code, errc::refused);
	EXPECT_NE(e.message.find("zep: ERROR: please check that the device (8,2) is mounted!"),
	          std::string::npos)
	    << e.message;
	EXPECT_TRUE(folder().empty());
	EXPECT_EQ(sessions_running(), 0);

	// A snapshot of a snapshot device.
	int rc = in_process("cdpagent", [&] {
		auto s = zep::snapshot::take(p1_, options(1));
		EXPECT_TRUE(s.ok()) << s.err().message;
		auto again = zep::snapshot::take(kern::MKDEV(ZEP_CLONE_MAJOR, 1), options(1));
		EXPECT_EQ(again.err().code, errc::refused);
		EXPECT_NE(again.err().message.find(
		              "zep: ERROR: Can not take snapshot of Corvane Device!"),
		          std::string::npos)
		    << again.err().message;
		EXPECT_EQ(s->ctl().session_count().value(), 1);
		return 0; // the first one stops as it goes
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(sessions_running(), 0);
	EXPECT_TRUE(folder().empty());
}

TEST_F(SnapshotTest, OptionsAndFilesThatCannotWorkAreRefusedBeforeAnySession)
{
	auto o = options(0);
	EXPECT_EQ(failed_take(p1_, o).code, errc::usage);
	o = options(65);
	EXPECT_EQ(failed_take(p1_, o).code, errc::usage);
	o = options(1);
	o.staging_buffer = 1000;
	EXPECT_EQ(failed_take(p1_, o).code, errc::usage);

	o = options(1);
	o.folder = path("missing");
	zep::error e = failed_take(p1_, o);
	EXPECT_EQ(e.code, errc::not_found);
	EXPECT_NE(e.message.find(path("missing")), std::string::npos) << e.message;

	// A file of that name exists: it may be another snapshot's, so it is not touched.
	std::filesystem::create_directory(path("taken.cow"));
	e = failed_take(p1_, options(1, "taken"));
	EXPECT_EQ(e.code, errc::usage);
	EXPECT_NE(e.message.find("exists already"), std::string::npos) << e.message;
	EXPECT_EQ(folder(), std::vector<std::string>{"taken.cow"});
	EXPECT_EQ(sessions_running(), 0);
}

TEST_F(SnapshotRealTimeTest, AnIoThreadThatCannotOpenItsFileFailsTheTakeAtOnce)
{
	// Thread 1's backing file cannot be made: a directory holds its name.
	std::filesystem::create_directory(path("t-io1.cow"));
	auto t0 = std::chrono::steady_clock::now();
	zep::error e = failed_take(p1_, options(3, "t"));
	double seconds =
	    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	EXPECT_EQ(e.code, errc::io);
	EXPECT_NE(e.message.find("IO thread 1"), std::string::npos) << e.message;
	EXPECT_NE(e.message.find("cannot create its backing file " + path("t-io1.cow")),
	          std::string::npos)
	    << e.message;
	EXPECT_LT(seconds, 10.0) << "the failure was found by a timeout";
	// The two threads that came were waited for, and the session stopped with them.
	EXPECT_TRUE(dmesg_has("zep: INFO: zep session zep1 stopped."));
	EXPECT_EQ(sessions_running(), 0);
	EXPECT_EQ(folder(), std::vector<std::string>{"t-io1.cow"});

	// No thread at all reaches the driver: the no-thread shutdown ends the session.
	std::filesystem::create_directory(path("u-io0.cow"));
	t0 = std::chrono::steady_clock::now();
	e = failed_take(p1_, options(1, "u"));
	seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	EXPECT_EQ(e.code, errc::io);
	EXPECT_NE(e.message.find("IO thread 0"), std::string::npos) << e.message;
	EXPECT_LT(seconds, 10.0);
	EXPECT_TRUE(
	    dmesg_has("zep: ERROR: corvane session zep1 had no threads running, shutting down!"));
	EXPECT_EQ(sessions_running(), 0);
	auto left = folder();
	std::sort(left.begin(), left.end());
	EXPECT_EQ(left, (std::vector<std::string>{"t-io1.cow", "u-io0.cow"}));
}

TEST_F(SnapshotTest, AStopRefusedWhileAnOrdinaryProcessHoldsTheImageCanBeRetried)
{
	int rc = in_process("cdpagent", [&] {
		auto s = zep::snapshot::take(p1_, options(2));
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (!s)
			return 1;
		{
			NodeHolder holder("zep1", "reader");
			EXPECT_GE(holder.fd(), 0);
			auto r = s->stop();
			EXPECT_EQ(r.err().code, errc::refused);
			EXPECT_NE(r.err().message.find(
			              "zep: ERROR: Can not stop mounted zep session zep1"),
			          std::string::npos)
			    << r.err().message;
			EXPECT_NE(r.err().message.find("unmount"), std::string::npos)
			    << r.err().message;
			// Still running, with its threads and files.
			EXPECT_FALSE(s->stopped());
			EXPECT_TRUE(s->info().ok());
			EXPECT_TRUE(std::filesystem::exists(s->backing_files()[2]));
		}
		auto r = s->stop();
		EXPECT_TRUE(r.ok()) << r.err().message;
		EXPECT_EQ(s->io_thread_exits(), std::vector<int>(2, 0));
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(folder().empty());
	EXPECT_EQ(sessions_running(), 0);
}

TEST_F(SnapshotTest, ASessionInvalidatedWhileInUseReportsTheDriversReason)
{
	int rc = in_process("cdpagent", [&] {
		auto s = zep::snapshot::take(p1_, options(1, "inv"));
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (!s)
			return 1;
		// The IO thread's backing file refuses writes: the first chunk copied out of the
		// live device cannot be kept.
		kern::fault_inject("file_write:" + path("inv-io0.cow"));
		EXPECT_EQ(write_node("ard1", 2 * CHUNK, pattern(4096, 5)), 0);
		EXPECT_TRUE(wait_until([&] { return !s->error_text()->empty(); }));
		kern::fault_clear_all();
		EXPECT_EQ(s->error_text().value(), "FILE IO ERROR");
		auto c = s->check();
		EXPECT_EQ(c.err().code, errc::invalidated);
		EXPECT_NE(c.err().message.find("FILE IO ERROR"), std::string::npos)
		    << c.err().message;
		EXPECT_TRUE(s->info()->invalidated());

		auto r = s->stop();
		EXPECT_EQ(r.err().code, errc::invalidated);
		EXPECT_NE(r.err().message.find("FILE IO ERROR"), std::string::npos)
		    << r.err().message;
		EXPECT_TRUE(s->stopped());
		EXPECT_EQ(s->io_thread_exits(), std::vector<int>{0});
		EXPECT_EQ(s->stop().err().code, errc::invalidated) << "a second stop says the same";
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(folder().empty());
	EXPECT_EQ(sessions_running(), 0);
}

TEST_F(SnapshotTest, ChangedRecordsOfTheLiveDeviceComeTyped)
{
	int rc = in_process("cdpagent", [&] {
		auto s = zep::snapshot::take(p1_, options(1));
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (!s)
			return 1;
		EXPECT_EQ(write_node("ard1", CHUNK + 4096, pattern(8192, 6)), 0);
		auto b = s->ctl().changed_records(1);
		EXPECT_TRUE(b.ok()) << b.err().message;
		EXPECT_EQ(b->records.size(), 1u);
		EXPECT_TRUE(b->tracking_complete);
		if (!b->records.empty()) {
			EXPECT_EQ(b->records[0].device(), p1_);
			EXPECT_EQ(b->records[0].start_sector, (CHUNK + 4096) / 512);
			EXPECT_EQ(b->records[0].sector_count, 16u);
		}
		EXPECT_TRUE(s->ctl().fail_change_tracking().ok());
		EXPECT_TRUE(s->ctl().unblock_changes().ok());
		EXPECT_FALSE(s->ctl().changed_records(1)->tracking_complete);
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(folder().empty());
}

TEST_F(SnapshotTest, TheDestructorStopsAndReaps)
{
	int rc = in_process("cdpagent", [&] {
		auto s = zep::snapshot::take(p1_, options(3));
		EXPECT_TRUE(s.ok()) << s.err().message;
		zep::snapshot moved = std::move(*s);
		EXPECT_TRUE(s->stopped()) << "a moved-from snapshot has nothing to stop";
		EXPECT_EQ(moved.id(), 1);
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(sessions_running(), 0);
	EXPECT_TRUE(folder().empty());
	EXPECT_TRUE(dmesg_has("zep: INFO: zep session zep1 stopped."));
}
