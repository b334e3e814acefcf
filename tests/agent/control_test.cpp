// zep::control against the real driver: every typed call, the results it turns the
// driver's plain values into, and the driver's reasons carried in the error messages.
#include "kernel/block/blkdev.h"
#include "kernel/core/faults.h"
#include "kernel/fs/fs.h"
#include "kernel/core/printk.h"
#include "tests/agent/snapshot_fixture.h"

using namespace zeptest;
using zep::errc;

namespace
{

class ControlTest : public AgentTest {
protected:
	// A start request on dev whose backing file is named `name` in the folder.
	zep::start_options request(kern::dev_t dev, const std::string &name, bool track = true)
	{
		zep::start_options o;
		o.device = dev;
		o.backing_file = path(name);
		o.device_name = "ard" + std::to_string(kern::MINOR(dev));
		o.device_path = "/dev/" + o.device_name;
		o.track_changes = track;
		return o;
	}

	// Starts a session from an agent process: its id, or -1 with the error in *e.
	int start(const zep::start_options &o, zep::error *e = nullptr)
	{
		int id = -1;
		agent([&](zep::control &c) {
			auto r = c.start(o);
			if (r)
				id = r->id;
			else if (e)
				*e = r.err();
			return 0;
		});
		return id;
	}

	zep::error refused_start(const zep::start_options &o)
	{
		zep::error e;
		EXPECT_EQ(start(o, &e), -1) << "the start went through";
		EXPECT_EQ(e.code, errc::refused) << e.message;
		return e;
	}

	// An IO-thread process for session id: its own file and buffer, in the become-IO-thread
	// command until the session ends.
	kern::pid_t io_thread(int id, const std::string &file)
	{
		return kern::spawn("cdpio", [this, id, file] {
			int fd = kern::sys_open(path(file).c_str(), O_RDWR | O_CREAT, 0600);
			long buf = kern::sys_mmap(CHUNK);
			auto c = zep::control::open();
			if (fd < 0 || buf < 0 || !c)
				return 1;
			zep::io_thread_params p;
			p.session = id;
			p.fd = fd;
			p.buffer = static_cast<uint32_t>(buf);
			p.buffer_size = CHUNK;
			auto r = c->run_io_thread(p);
			kern::sys_close(static_cast<unsigned>(fd));
			return r ? 0 : 2;
		});
	}
};

} // namespace

TEST_F(ControlTest, OpenWithoutTheNodeSaysWhatToDo)
{
	ASSERT_EQ(in_process("cdpagent", [] { return kern::sys_unlink("/dev/" ZEP_CONTROL_NAME); }),
	          0);
	int rc = in_process("cdpagent", [] {
		auto c = zep::control::open();
		EXPECT_FALSE(c.ok());
		if (c)
			return 1;
		EXPECT_EQ(c.err().code, errc::not_found);
		EXPECT_NE(c.err().message.find("/dev/zepdriver"), std::string::npos)
		    << c.err().message;
		EXPECT_NE(c.err().message.find("insmod zepdriver"), std::string::npos)
		    << c.err().message;
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)),
	          0);
}

TEST_F(ControlTest, AnIdleDriverAnswersEveryQueryAndKnowsNoSession)
{
	int rc = agent([](zep::control &c) {
		auto v = c.version();
		EXPECT_TRUE(v.ok());
		if (v) {
			EXPECT_EQ(v->major, 4u);
			EXPECT_EQ(v->minor, 4u);
			EXPECT_EQ(v->maint, 0u);
			EXPECT_EQ(v->build, 18929u);
			EXPECT_EQ(v->text(), "4.4.0 build 18929");
		}
		EXPECT_EQ(c.session_count().value(), 0);
		EXPECT_TRUE(c.sessions()->empty());
		EXPECT_FALSE(c.exists(3).value());
		EXPECT_EQ(c.find_session(kern::MKDEV(8, 1)).err().code, errc::not_found);
		// The driver answers some of these with success for a session it does not have.
		EXPECT_EQ(c.stop(3).err().code, errc::not_found);
		EXPECT_NE(c.stop(3).err().message.find("zep3"), std::string::npos);
		EXPECT_EQ(c.set_backing_file(3, 0, "/tmp/x").err().code, errc::not_found);
		EXPECT_EQ(c.session_error(3).err().code, errc::not_found);
		EXPECT_EQ(c.device_path(3).err().code, errc::not_found);
		EXPECT_EQ(c.backing_file(3).err().code, errc::not_found);
		EXPECT_EQ(c.session(3).err().code, errc::not_found);
		EXPECT_EQ(c.wait_for_io_thread(3).err().code, errc::not_found);
		EXPECT_EQ(c.shutdown_without_threads(3).err().code, errc::not_found);
		EXPECT_TRUE(c.list_locks().ok());
		EXPECT_EQ(c.changed_records(-1).err().code, errc::usage);
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(ControlTest, StartReportsTheSessionAndTheQueriesFollowIt)
{
	int rc = agent([&](zep::control &c) {
		auto s = c.start(request(p1_, "a"));
		EXPECT_TRUE(s.ok()) << s.err().message;
		if (!s)
			return 1;
		EXPECT_EQ(s->id, 1);
		EXPECT_EQ(s->active_sessions, 1);
		EXPECT_TRUE(s->marked_started());
		EXPECT_TRUE(s->tracks_changes());
		EXPECT_EQ(s->mode, ZEP_MODE_CHANGE_TRACKING | USER_SPACE_FILE | ZEP_MODE_STARTED);
		EXPECT_GT(s->time, 0u);
		EXPECT_LT(s->freeze.frozen.nsec, 1000000000u);
		EXPECT_GE(s->freeze.frozen_ms(), s->freeze.get_freeze_ms());
		// The freeze lies between the clock readings taken around the command.
		EXPECT_GT(s->issued_ns, 0);
		EXPECT_GE(static_cast<double>(s->returned_ns - s->issued_ns) / 1e6,
		          s->freeze.frozen_ms());

		EXPECT_EQ(c.session_count().value(), 1);
		auto all = c.sessions();
		EXPECT_EQ(all->size(), 1u);
		auto info = c.session(1);
		EXPECT_TRUE(info.ok());
		EXPECT_EQ(info->id, 1);
		EXPECT_EQ(info->time, s->time);
		EXPECT_EQ(info->block_size, 65536u);
		EXPECT_EQ(info->changed_blocks, 0u);
		EXPECT_FALSE(info->invalidated());
		EXPECT_TRUE(info->tracks_changes());
		EXPECT_EQ(info->freeze.frozen.sec, s->freeze.frozen.sec);
		EXPECT_EQ(info->freeze.frozen.nsec, s->freeze.frozen.nsec);
		EXPECT_EQ(c.find_session(p1_).value(), 1);
		EXPECT_EQ(c.device_path(1).value(), "/dev/ard1");
		// Until a backing file is handed over, the driver names one after the request's.
		EXPECT_EQ(c.backing_file(1).value(), path("a") + ".cow_zep1");
		EXPECT_EQ(c.session_error(1).value(), "");

		int fd = kern::sys_open(path("a.cow").c_str(), O_RDWR | O_CREAT, 0600);
		EXPECT_TRUE(c.set_backing_file(1, fd, path("a.cow")).ok());
		EXPECT_EQ(c.backing_file(1).value(), path("a.cow"));
		auto again = c.set_backing_file(1, fd, path("b.cow"));
		EXPECT_EQ(again.err().code, errc::refused);
		EXPECT_NE(again.err().message.find(
		              "zep: ERROR: cow file already set on zep session with id: 1."),
		          std::string::npos)
		    << again.err().message;
		EXPECT_EQ(again.err().detail, 1);
		kern::sys_close(static_cast<unsigned>(fd));

		// A session without change tracking, on the same device.
		auto plain = c.start(request(p1_, "b", false));
		EXPECT_TRUE(plain.ok());
		EXPECT_FALSE(plain->tracks_changes());
		EXPECT_EQ(plain->active_sessions, 2);
		auto bad_fd = c.set_backing_file(plain->id, 250, path("b.cow"));
		EXPECT_EQ(bad_fd.err().code, errc::refused);
		EXPECT_NE(bad_fd.err().message.find("could not get file for fd: 250"),
		          std::string::npos);

		auto stopped = c.stop(1);
		EXPECT_TRUE(stopped.ok()) << stopped.err().message;
		EXPECT_EQ(stopped->backing_file, path("a.cow"));
		EXPECT_EQ(stopped->active_sessions, 1);
		EXPECT_EQ(c.stop(plain->id)->active_sessions, 0);
		EXPECT_EQ(c.stop(1).err().code, errc::not_found);
		return 0;
	});
	EXPECT_EQ(rc, 0);
}

TEST_F(ControlTest, EveryRefusedStartCarriesTheDriversReason)
{
	// No file system on the device.
	zep::error e = refused_start(request(p2_, "bare"));
	EXPECT_NE(e.message.find("zep: ERROR: please check that the device (8,2) is mounted!"),
	          std::string::npos)
	    << e.message;
	EXPECT_NE(e.message.find("mount a file system"), std::string::npos) << e.message;
	EXPECT_NE(e.message.find("(8,2)"), std::string::npos);

	// A hardware sector size that does not divide a chunk (set on the queue after the
	// mount: the machine's disks come in powers of two).
	kern::dev_t odd = kern::add_ramdisk("aodd", 9, 2048);
	ASSERT_EQ(kern::mount(odd), 0);
	kern::block_device *bdev = kern::bdget(odd);
	kern::blk_queue_hardsect_size(kern::bdev_get_queue(bdev), 1536);
	e = refused_start(request(odd, "odd"));
	EXPECT_NE(e.message.find("zep: ERROR: chunk size is not a multiple of device block size."),
	          std::string::npos)
	    << e.message;
	kern::blk_queue_hardsect_size(kern::bdev_get_queue(bdev), 512);
	kern::bdput(bdev);
	EXPECT_EQ(kern::umount(odd), 0);

	// Sixteen sessions at most.
	for (int i = 0; i < 16; i++)
		ASSERT_EQ(start(request(p1_, "s" + std::to_string(i))), i + 1);
	e = refused_start(request(p1_, "s16"));
	EXPECT_NE(
	    e.message.find(
	        "zep: ERROR: Reached max simultaneous snapshots. Can not create new snapshots!"),
	    std::string::npos)
	    << e.message;
	EXPECT_NE(e.message.find("stop one of"), std::string::npos) << e.message;
	EXPECT_EQ(agent([](zep::control &c) { return c.stop(16).ok() ? 0 : 1; }), 0);

	// A snapshot device cannot be snapshotted.
	e = refused_start(request(kern::MKDEV(ZEP_CLONE_MAJOR, 1), "zep"));
	EXPECT_NE(e.message.find("zep: ERROR: Can not take snapshot of Corvane Device!"),
	          std::string::npos)
	    << e.message;

	// A backing file in use by a running session.
	e = refused_start(request(p1_, "s1.cow_zep2"));
	EXPECT_EQ(e.detail, -2);
	EXPECT_NE(e.message.find("backing file already in use"), std::string::npos) << e.message;
	EXPECT_NE(e.message.find("zep: ERROR: Backing file `" + path("s1.cow_zep2") +
	                         "' is already in use by another active session."),
	          std::string::npos)
	    << e.message;

	// After the unload command nothing starts, even with nothing running.
	EXPECT_EQ(agent([](zep::control &c) { return c.unload().ok() ? 0 : 1; }), 0);
	EXPECT_EQ(sessions_running(), 0);
	e = refused_start(request(p1_, "late"));
	EXPECT_NE(
	    e.message.find(
	        "zep: ERROR: Driver is currently not accepting new Corvane sessions request."),
	    std::string::npos)
	    << e.message;
	EXPECT_NE(e.message.find("reload"), std::string::npos) << e.message;
	EXPECT_TRUE(folder().empty());
}

TEST_F(ControlTest, IoThreadCommands)
{
	hold_open();
	int id = start(request(p1_, "t"));
	ASSERT_EQ(id, 1);
	kern::pid_t thread = io_thread(id, "t-io0");
	int rc = agent([&](zep::control &c) {
		EXPECT_TRUE(c.wait_for_io_thread(id).ok());
		// A session with a thread is left alone by the no-thread shutdown.
		EXPECT_EQ(c.shutdown_without_threads(id).value(),
		          zep::no_thread_outcome::has_threads);
		EXPECT_EQ(c.session_error(id).value(), "");
		EXPECT_TRUE(c.stop(id).ok());
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(kern::waitpid(thread), 0);

	// Nobody comes: the wait times out after 30 s of machine time, and the no-thread
	// shutdown stops the session.
	id = start(request(p1_, "u"));
	ASSERT_EQ(id, 1);
	rc = agent([&](zep::control &c) {
		kern::u64 t0 = kern::get_jiffies_64();
		auto w = c.wait_for_io_thread(id);
		EXPECT_GE(kern::get_jiffies_64() - t0, 30000u);
		EXPECT_EQ(w.err().code, errc::timeout);
		EXPECT_NE(w.err().message.find("zep: ERROR: Backing thread for session 1 did not "
		                               "start after 30000 msecs!"),
		          std::string::npos)
		    << w.err().message;
		EXPECT_EQ(c.shutdown_without_threads(id).value(), zep::no_thread_outcome::stopped);
		EXPECT_FALSE(c.exists(id).value());
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_TRUE(
	    dmesg_has("zep: ERROR: corvane session zep1 had no threads running, shutting down!"));

	// With its snapshot device open by an ordinary process the session stays, invalidated.
	id = start(request(p1_, "v"));
	ASSERT_EQ(id, 1);
	{
		NodeHolder holder("zep1", "reader");
		ASSERT_GE(holder.fd(), 0);
		rc = agent([&](zep::control &c) {
			EXPECT_EQ(c.shutdown_without_threads(id).value(),
			          zep::no_thread_outcome::left_in_use);
			EXPECT_EQ(c.session_error(id).value(), "NO THREADS");
			EXPECT_TRUE(c.session(id)->invalidated());
			return 0;
		});
		EXPECT_EQ(rc, 0);
	}
	EXPECT_EQ(agent([&](zep::control &c) { return c.stop(id).ok() ? 0 : 1; }), 0);
	release_holder();
}

TEST_F(ControlTest, StopAndUnloadRefusedWhileAnOrdinaryProcessHoldsTheSnapshotDevice)
{
	int id = start(request(p1_, "h"));
	ASSERT_EQ(id, 1);
	{
		NodeHolder holder("zep1", "reader");
		int rc = agent([&](zep::control &c) {
			auto r = c.stop(id);
			EXPECT_EQ(r.err().code, errc::refused);
			EXPECT_NE(r.err().message.find(
			              "zep: ERROR: Can not stop mounted zep session zep1, please "
			              "unmount and try again."),
			          std::string::npos)
			    << r.err().message;
			EXPECT_NE(r.err().message.find("/dev/zep1"), std::string::npos)
			    << r.err().message;
			EXPECT_TRUE(c.exists(id).value());
			auto u = c.unload();
			EXPECT_EQ(u.err().code, errc::refused);
			EXPECT_NE(u.err().message.find("Can not stop mounted zep session zep1"),
			          std::string::npos)
			    << u.err().message;
			return 0;
		});
		EXPECT_EQ(rc, 0);
	}
	EXPECT_EQ(
	    agent([&](zep::control &c) { return c.stop(id).ok() && c.unload().ok() ? 0 : 1; }), 0);
}

TEST_F(ControlTest, ChangedRecordsComeAsTypedRangesWithTheTrackingState)
{
	hold_open(); // the last close of the control device would reset tracking
	int id = start(request(p1_, "c"));
	ASSERT_EQ(id, 1);
	kern::pid_t thread = io_thread(id, "c-io0");
	ASSERT_EQ(agent([&](zep::control &c) { return c.wait_for_io_thread(id).ok() ? 0 : 1; }), 0);

	ASSERT_EQ(write_node("ard1", 3 * CHUNK, pattern(4096, 2)), 0);
	ASSERT_EQ(write_node("ard1", 512, pattern(1024, 3)), 0);
	int rc = agent([&](zep::control &c) {
		auto b = c.changed_records(2);
		EXPECT_TRUE(b.ok()) << b.err().message;
		if (!b)
			return 1;
		EXPECT_EQ(b->records.size(), 2u);
		EXPECT_TRUE(b->tracking_complete);
		EXPECT_EQ(b->queued, 0);
		if (b->records.size() == 2) {
			EXPECT_EQ(b->records[0].major, 8u);
			EXPECT_EQ(b->records[0].minor, 1u);
			EXPECT_EQ(b->records[0].device(), p1_);
			EXPECT_EQ(b->records[0].start_sector, 3 * CHUNK / 512);
			EXPECT_EQ(b->records[0].sector_count, 8u);
			EXPECT_EQ(b->records[1].start_sector, 1u);
			EXPECT_EQ(b->records[1].sector_count, 2u);
		}
		// An unblock makes the next call return at once with what is queued.
		EXPECT_TRUE(c.unblock_changes().ok());
		auto none = c.changed_records(5);
		EXPECT_TRUE(none->records.empty());
		EXPECT_EQ(none->queued, 0);
		return 0;
	});
	EXPECT_EQ(rc, 0);

	// A reader blocked for more records than are queued is let go by another process.
	std::atomic<int> got{-1};
	kern::pid_t reader = kern::spawn("cdpchanges", [&] {
		auto c = zep::control::open();
		auto b = c ? c->changed_records(10) : zep::result<zep::change_batch>(c.err());
		got = b ? static_cast<int>(b->records.size()) : -2;
		return 0;
	});
	ASSERT_EQ(write_node("ard1", 5 * CHUNK, pattern(4096, 4)), 0);
	std::this_thread::sleep_for(std::chrono::milliseconds(20));
	EXPECT_EQ(got, -1) << "the reader did not wait";
	EXPECT_EQ(agent([](zep::control &c) { return c.unblock_changes().ok() ? 0 : 1; }), 0);
	EXPECT_EQ(kern::waitpid(reader), 0);
	EXPECT_EQ(got, 1);

	// Tracking put in error: every delivery says tracking is incomplete.
	rc = agent([&](zep::control &c) {
		EXPECT_TRUE(c.fail_change_tracking().ok());
		EXPECT_TRUE(c.unblock_changes().ok());
		auto b = c.changed_records(1);
		EXPECT_FALSE(b->tracking_complete);
		// The driver could not make room for the records: refused, with its reason.
		kern::fault_inject("vmalloc", {0, 1});
		auto r = c.changed_records(10);
		kern::fault_clear_all();
		EXPECT_EQ(r.err().code, errc::refused);
		EXPECT_NE(r.err().message.find("zep: ERROR: Could not allocate cru."),
		          std::string::npos)
		    << r.err().message;
		EXPECT_TRUE(c.stop(id).ok());
		return 0;
	});
	EXPECT_EQ(rc, 0);
	EXPECT_EQ(kern::waitpid(thread), 0);
	release_holder();
}
