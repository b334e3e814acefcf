// The control device as the agent uses it: open, fill records in the process's own
// memory, issue commands, read the records back.
#include <cstring>
#include <vector>

#include "backupdriver/cow.h"
#include "backupdriver/zepdriver.h"
#include "kernel/core/printk.h"
#include "kernel/syscalls.h"
#include "tests/support/driver_fixture.h"

using namespace zeptest;

namespace {

class ControlTest : public DriverTest {};

const char *NOT_FOUND = "<3>zep: ERROR: ioctl command not found.";

} // namespace

TEST_F(ControlTest, UnknownNumbersAndNumbersOffInSizeOrDirectionAreRefused)
{
	version_info vi{};
	const unsigned int wrong[] = {
		0x12345678u,
		ZEP_IOC_GET_VERSION ^ (0x10u << 16),	// size field off
		(ZEP_IOC_GET_VERSION & ~(3u << 30)) | (2u << 30),	// read direction
		zep_ioc(24, 4),	// an ordinal that is not defined
		zep_ioc(20, 4),
	};
	for (unsigned int cmd : wrong) {
		kern::u64 seq = kern::printk_seq();
		EXPECT_EQ(agent_command(cmd, &vi), -1) << std::hex << cmd;
		EXPECT_TRUE(kern::printk_wait_for("zep: ERROR: ioctl command not found.", 0, seq));
	}
	EXPECT_TRUE(dmesg_has(NOT_FOUND));
}

TEST_F(ControlTest, VersionReportsTheBuild)
{
	version_info vi;
	std::memset(&vi, 0x5a, sizeof(vi));
	EXPECT_EQ(agent_command(ZEP_IOC_GET_VERSION, &vi), 0);
	EXPECT_EQ(+vi.major, 4u);
	EXPECT_EQ(+vi.minor, 4u);
	EXPECT_EQ(+vi.maint, 0u);
	EXPECT_EQ(+vi.build, 18929u);
}

TEST_F(ControlTest, TextQueriesForAnUnknownSession)
{
	get_string gs;
	std::memset(&gs, 'x', sizeof(gs));
	gs.id = 7;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_SESSION_ERROR, &gs), 0);
	EXPECT_STREQ(gs.string, "NO ERROR");
	for (size_t i = std::strlen("NO ERROR"); i < sizeof(gs.string); i++)
		ASSERT_EQ(gs.string[i], 0) << i;

	std::memset(&gs, 'y', sizeof(gs));
	gs.id = 7;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_DEV_PATH, &gs), -1);
	EXPECT_EQ(gs.string[0], 'y');	// copied back as it came
	EXPECT_EQ(agent_command(ZEP_IOC_GET_BACKING_FILE, &gs), -1);
	EXPECT_EQ(gs.string[4095], 'y');
}

TEST_F(ControlTest, CountAndListsWithNoSession)
{
	int32_t count = 99;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST_COUNT, &count), 0);
	EXPECT_EQ(count, 0);

	// The first list leaves records past the number of sessions as they were sent.
	struct {
		session_list recs[ZEP_LIST_ENTRIES];
	} ls;
	std::memset(&ls, 0xab, sizeof(ls));
	EXPECT_EQ(agent_command(ZEP_IOC_GET_LIST, &ls), 0);
	const auto *bytes = reinterpret_cast<const unsigned char *>(&ls);
	for (size_t i = 0; i < sizeof(ls); i++)
		ASSERT_EQ(bytes[i], 0xab) << i;
}

TEST_F(ControlTest, SecondListZeroFillsAndRefusesBadSizes)
{
	struct {
		session_list_request req;
		session_list recs[4];
	} buf;
	long results[4] = {};
	std::vector<unsigned char> after[4];
	const int32_t sizes[] = {4, 0, -3, 1 << 30};
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		for (int i = 0; i < 4; i++) {
			std::memset(&buf, 0xab, sizeof(buf));
			buf.req.size = sizes[i];
			buf.req.sl = static_cast<uint32_t>(c.mem + sizeof(session_list_request));
			unsigned long addr = c.put(buf);
			results[i] = c.ioctl(ZEP_IOC_GET_LIST2, addr);
			c.get_bytes(&buf, sizeof(buf));
			after[i].assign(reinterpret_cast<unsigned char *>(buf.recs),
					reinterpret_cast<unsigned char *>(buf.recs) + sizeof(buf.recs));
		}
		c.close();
		return 0;
	});
	ASSERT_EQ(rc, 0);
	EXPECT_EQ(results[0], 0);
	for (unsigned char b : after[0])
		ASSERT_EQ(b, 0);
	for (int i = 1; i < 4; i++) {
		EXPECT_EQ(results[i], -1) << sizes[i];
		for (unsigned char b : after[i])
			ASSERT_EQ(b, 0xab) << sizes[i];	// nothing written
	}
}

TEST_F(ControlTest, CopyInFromAnUnmappedAddressFails)
{
	EXPECT_EQ(agent_command_at(ZEP_IOC_STOP, 0x1000), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not copy snapshot request from user space."));
	EXPECT_EQ(agent_command_at(ZEP_IOC_GET_SESSION_ERROR, 0x2000), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not copy string request from user space."));
	EXPECT_EQ(agent_command_at(ZEP_IOC_SET_COW_FILE, 0x3000), 1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not copy set file requset from user space."));
	EXPECT_EQ(agent_command_at(ZEP_IOC_RUN_IO_THREAD, 0x4000), 1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not get session ID from user space."));
	EXPECT_EQ(agent_command_at(ZEP_IOC_GET_LIST2, 0x5000), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not copy session list requset from user space."));
	// This message has no line end: the next message continues its line.
	EXPECT_EQ(agent_command_at(ZEP_IOC_GET_CHANGED_RECORDS, 0x6000), -1);
	EXPECT_EQ(agent_command_at(0x1234, 0), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not copy request from user space.<3>zep: ERROR: "
			      "ioctl command not found."));
	// A kernel address is outside the process's limit.
	EXPECT_EQ(agent_command_at(ZEP_IOC_GET_VERSION, 0xC0000000ul), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Could not copy version info to user space."));
}

TEST_F(ControlTest, SessionCommandsWithoutSessions)
{
	snap_shot_request *ssr = new snap_shot_request;
	std::memset(ssr, 0, sizeof(*ssr));
	ssr->id = 3;
	ssr->active_sessions = 77;
	// Stopping an unknown session succeeds and reports the session count.
	EXPECT_EQ(agent_command(ZEP_IOC_STOP, ssr), 0);
	EXPECT_EQ(ssr->active_sessions, 0);
	// Get device finds nothing and copies nothing back.
	ssr->active_sessions = 77;
	ssr->major = 8;
	EXPECT_EQ(agent_command(ZEP_IOC_GET_DEV, ssr), -1);
	EXPECT_EQ(ssr->active_sessions, 77);
	// No thread to wait for; nothing to shut down.
	EXPECT_EQ(agent_command(ZEP_IOC_THREAD_WAIT_TIMEOUT, ssr), -1);
	EXPECT_EQ(agent_command(ZEP_IOC_NO_THREAD_SHUTDOWN, ssr), 0);
	// The retired start.
	EXPECT_EQ(agent_command(ZEP_IOC_START_OLD, ssr), -255);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: The corvane or cdp-agent making this snapshot "
			      "request is out of date. Please update to the latest version."));
	// Starting on a snapshot device is refused whatever else the request holds.
	ssr->major = 121;
	ssr->id = 5;
	EXPECT_EQ(agent_command(ZEP_IOC_START, ssr), -1);
	EXPECT_EQ(ssr->id, 5);
	EXPECT_EQ(ssr->active_sessions, 0);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Can not take snapshot of Corvane Device!"));
	// Set backing file for an unknown session does nothing and succeeds.
	set_cow_file *scf = new set_cow_file;
	std::memset(scf, 0, sizeof(*scf));
	scf->id = 9;
	scf->fd = 1234;
	EXPECT_EQ(agent_command(ZEP_IOC_SET_COW_FILE, scf), 0);
	delete scf;
	delete ssr;
}

TEST_F(ControlTest, UnloadCommandRefusesNewSessionsAndKeepsQueries)
{
	int32_t dummy = 0;
	EXPECT_EQ(agent_command(ZEP_IOC_UNLOAD, &dummy), 0);
	EXPECT_EQ(kern::atomic_read(&kern::shutdown_requested), 1);
	EXPECT_TRUE(dmesg_has("<6>zep: INFO: zep driver has been shutdown."));

	snap_shot_request *ssr = new snap_shot_request;
	std::memset(ssr, 0, sizeof(*ssr));
	ssr->major = 8;
	EXPECT_EQ(agent_command(ZEP_IOC_START, ssr), -1);
	EXPECT_TRUE(dmesg_has("<3>zep: ERROR: Driver is currently not accepting new Corvane "
			      "sessions request."));
	delete ssr;

	version_info vi{};
	EXPECT_EQ(agent_command(ZEP_IOC_GET_VERSION, &vi), 0);
	EXPECT_EQ(+vi.build, 18929u);
}

TEST_F(ControlTest, DeviceReadWriteReturnNothing)
{
	long r = 0, w = 0;
	int rc = in_process("cdpagent", [&] {
		Control c;
		if (!c.open())
			return 1;
		r = kern::sys_read(static_cast<unsigned>(c.fd), c.mem, 16);
		w = kern::sys_write(static_cast<unsigned>(c.fd), c.mem, 16);
		c.close();
		return 0;
	});
	ASSERT_EQ(rc, 0);
	EXPECT_EQ(r, 0);
	EXPECT_EQ(w, 0);
}

TEST_F(ControlTest, ModuleCannotBeRemovedWhileTheDeviceIsOpen)
{
	kern::semaphore opened, release;
	sema_init(&opened, 0);
	sema_init(&release, 0);
	kern::pid_t pid = kern::spawn("cdpagent", [&] {
		Control c;
		bool ok = c.open();
		kern::up(&opened);
		kern::down(&release);
		c.close();
		return ok ? 0 : 1;
	});
	kern::down(&opened);
	EXPECT_EQ(kern::rmmod("zepdriver"), -EBUSY);
	kern::up(&release);
	EXPECT_EQ(kern::waitpid(pid), 0);
}
