// The explorer's scenarios: each runs on a booted machine with the driver loaded, under
// whatever schedule the seed gives, and returns what went wrong ("" when every check held).
#include "tools/explore/scenarios.h"

#include <random>

#include "agent/backup.h"
#include "agent/backup_restore.h"
#include "agent/changes.h"
#include "agent/oracle.h"
#include "agent/session.h"
#include "kernel/block/super.h"
#include "tests/driver/cow_util.h"

using namespace kern;
using namespace zeptest;

namespace zep::explore {
namespace {

constexpr size_t DISK_BYTES = 512 << 10;	// 8 chunks: writers and readers meet often
constexpr size_t BLOCK = 4096;

// Waits for the session's IO thread as the agent does, again when the wait times out: on
// a seeded machine, time may jump past the wait's deadline while the thread starts.
bool io_thread_started(int id)
{
	for (int tries = 0; tries < 50; tries++)
		if (thread_wait(id) == 0)
			return true;
	return false;
}

// A mounted RAM disk "erd" holding `content`; 0 when it cannot be made.
kern::dev_t patterned_disk(const std::vector<unsigned char> &content)
{
	kern::dev_t disk = add_ramdisk("erd", 8, content.size() / 512);
	if (!disk)
		return 0;
	disk_poke(disk, 0, content.data(), content.size());
	return mount(disk) ? 0 : disk;
}

// A process holding the control device open while in scope, as a running agent does:
// change tracking goes on meanwhile.
struct control_holder {
	control_holder()
	{
		sema_init(&opened, 0);
		sema_init(&release, 0);
		pid = spawn("cdpholder", [this] {
			Control c;
			bool ok = c.open();
			up(&opened);
			down(&release);
			c.close();
			return ok ? 0 : 1;
		});
		down(&opened);
	}
	~control_holder()
	{
		up(&release);
		waitpid(pid);
	}
	semaphore opened, release;
	kern::pid_t pid;
};

// A session on a disk and its IO threads, made and ended by the raw commands; `failure`
// keeps the first thing that went wrong.
struct session_rig {
	session_rig(kern::dev_t disk, const std::filesystem::path &dir, int threads = 1)
	{
		auto ssr = start_request(disk, (dir / "image").string());
		long r = start_snapshot(&ssr);
		if (r < 0) {
			fail("start: " + std::to_string(r));
			return;
		}
		id = static_cast<int>(r);
		for (int t = 0; t < threads; t++) {
			io.push_back(start_io_thread(id, (dir / ("io" + std::to_string(t))).string(), t));
			if (!io_thread_started(id))
				fail("an IO thread did not start");
		}
	}
	bool started() const { return id >= 0; }
	std::string node() const { return "zep" + std::to_string(id); }
	void fail(std::string why)
	{
		if (failure.empty())
			failure = std::move(why);
	}
	void stop()
	{
		if (stop_snapshot(id) != 0)
			fail("stop failed");
	}
	void reap()
	{
		for (kern::pid_t t : io)
			if (waitpid(t) != 0)
				fail("an IO thread failed");
		io.clear();
	}
	int id = -1;
	std::vector<kern::pid_t> io;
	std::string failure;
};

// The snapshot of a disk taken while writers rewrite it and a reader reads the snapshot:
// every read of the snapshot, during the writes and after, gives the disk as it was
// when the session started.
std::string cow_under_writers(uint64_t seed, const std::filesystem::path &dir)
{
	const std::vector<unsigned char> before = chunk_pattern(DISK_BYTES, 1);
	kern::dev_t disk = patterned_disk(before);
	if (!disk)
		return "no disk";
	control_holder holder;
	session_rig s(disk, dir);
	if (s.started()) {
		// Writers rewrite random blocks while the reader reads (a bounded number: a seed
		// that keeps the reader waiting would otherwise let them write for ever).
		auto stop = std::make_shared<std::atomic<bool>>(false);
		std::vector<kern::pid_t> writers;
		for (unsigned w = 0; w < 3; w++) {
			writers.push_back(spawn("writer", [w, stop, seed] {
				std::mt19937_64 rng(seed * 31 + w);
				for (int n = 0; n < 16 && !*stop; n++) {
					size_t b = rng() % (DISK_BYTES / BLOCK);
					if (write_in_process("erd", static_cast<kern::loff_t>(b * BLOCK),
							     chunk_pattern(BLOCK, 10 + w, b * BLOCK)))
						return 1;
				}
				return 0;
			}));
		}
		std::vector<unsigned char> during = read_device(s.node(), 0, DISK_BYTES, "cdpread", 4096);
		*stop = true;
		for (kern::pid_t w : writers)
			if (waitpid(w) != 0)
				s.fail("a writer failed");
		std::vector<unsigned char> after = read_device(s.node(), 0, DISK_BYTES, "cdpread", 65536);
		if (during != before)
			s.fail("a snapshot read during the writes differs from the frozen disk");
		if (after != before)
			s.fail("a snapshot read after the writes differs from the frozen disk");
		s.stop();
		s.reap();
	}
	umount(disk);
	return s.failure;
}

// A mounted RAM disk "erd" prefilled with stamps the oracle knows; "" or what failed.
std::string stamped_disk(kern::dev_t &disk)
{
	disk = add_ramdisk("erd", 8, DISK_BYTES / zep::oracle::sector_bytes);
	if (!disk)
		return "no disk";
	zep::result<void> filled = zep::make_error(zep::errc::other, "the process did not run");
	in_process("prefill", [&] {
		filled = zep::oracle::prefill("/dev/erd", {0, DISK_BYTES / zep::oracle::sector_bytes});
		return 0;
	});
	if (!filled)
		return "prefill: " + filled.err().message;
	return mount(disk) ? "mount failed" : "";
}

zep::result<zep::oracle::writer_set> stamped_writers(uint64_t seed, unsigned writers, unsigned writes_each)
{
	zep::oracle::writer_options wo;
	wo.device = "/dev/erd";
	wo.range = {0, DISK_BYTES / zep::oracle::sector_bytes};
	wo.writers = writers;
	wo.seed = seed;
	wo.max_bytes = 16 << 10;
	wo.writes_each = writes_each;
	return zep::oracle::writer_set::start(wo);
}

// The kernel's own freeze and thaw instants, not a start command's bounds around them: a
// write let through between the thaw and the session's registration is then too new.
zep::oracle::freeze_window kernel_window(kern::dev_t disk)
{
	kern::freeze_instants fi = kern::last_freeze(disk);
	return {fi.frozen, fi.thawed, fi.thawed - fi.frozen};
}

// "" when the image is a state the disk passed through while frozen in the window.
std::string judge(const zep::oracle::writer_set &ws, const std::vector<unsigned char> &image,
		  const zep::oracle::freeze_window &window, const std::string &what)
{
	if (!window.frozen_from || !window.thawed_by)
		return what + ": no freeze was recorded";
	auto h = zep::oracle::history::build({0, DISK_BYTES / zep::oracle::sector_bytes}, ws.log());
	if (!h)
		return "oracle: " + h.err().message;
	auto r = h->check({image, 0}, window);
	if (!r)
		return "check: " + r.err().message;
	return r->ok() ? "" : what + " is no state the frozen disk was in: " + r->summary();
}

// A snapshot started while writers write stamped, overlapping extents, read whole while
// they go on: the image must be a state the disk passed through while it was frozen.
std::string start_under_writers(uint64_t seed, const std::filesystem::path &dir)
{
	kern::dev_t disk;
	if (std::string why = stamped_disk(disk); !why.empty())
		return why;
	control_holder holder;
	auto ws = stamped_writers(seed, 3, 12);	// some held by the freeze, some pass the thaw
	if (!ws)
		return "writers: " + ws.err().message;
	session_rig s(disk, dir);
	if (s.started()) {
		zep::oracle::freeze_window window = kernel_window(disk);
		std::vector<unsigned char> image = read_device(s.node(), 0, DISK_BYTES, "cdpread", 8192);
		if (auto stopped = ws->stop(); !stopped)
			s.fail("writers: " + stopped.err().message);
		if (s.failure.empty())
			s.fail(judge(*ws, image, window, "the snapshot"));
		s.stop();
		s.reap();
	}
	(void)ws->stop();
	umount(disk);
	return s.failure;
}

// The agent's own flow under writers: its change drainer, a snapshot with two IO-thread
// processes, a full backup read by two readers, then a second snapshot backed up from the
// change records alone; each backup restored must be a state the disk was in while that
// snapshot's freeze held.
std::string agent_backup(uint64_t seed, const std::filesystem::path &dir)
{
	kern::dev_t disk;
	if (std::string why = stamped_disk(disk); !why.empty())
		return why;
	auto ws = stamped_writers(seed, 2, 24);
	if (!ws)
		return "writers: " + ws.err().message;
	struct taken {
		std::vector<unsigned char> image;
		zep::oracle::freeze_window window;
	};
	std::vector<taken> backups;
	std::string failure = "the agent's process did not run";
	in_process("cdpbackup", [&] {
		failure = [&]() -> std::string {
			auto drainer = zep::change_drainer::start();
			if (!drainer)
				return "change drainer: " + drainer.err().message;
			const std::string repo = (dir / "repo").string();
			std::filesystem::create_directories(repo);
			zep::snapshot_options so;
			so.io_threads = 2;
			so.folder = dir.string();
			zep::backup_options bo;
			bo.readers = 2;
			zep::change_mark since;
			for (int round = 0; round < 2; round++) {
				zep::change_mark next = drainer->mark();
				auto snap = zep::snapshot::take(disk, so);
				if (!snap)
					return "snapshot: " + snap.err().message;
				zep::oracle::freeze_window window = kernel_window(disk);
				auto src = zep::snapshot_source(*snap, "erd");
				auto done = round == 0 ? zep::full_backup(repo, src, bo)
						       : zep::incremental_backup(
								 repo, src, drainer->changes_since(disk, since).changes, bo);
				if (!done)
					return "backup: " + done.err().message;
				if (auto st = snap->stop(); !st)
					return "stop: " + st.err().message;
				since = next;
				const std::string target = (dir / "restored").string();
				if (auto r = zep::restore_backup(repo, target); !r)
					return "restore: " + r.err().message;
				backups.push_back({host_file_bytes(target, 0, DISK_BYTES), window});
			}
			auto st = drainer->stop();
			return st ? "" : "change drainer: " + st.err().message;
		}();
		return 0;
	});
	if (auto stopped = ws->stop(); !stopped && failure.empty())
		failure = "writers: " + stopped.err().message;
	for (size_t i = 0; i < backups.size() && failure.empty(); i++)
		failure = judge(*ws, backups[i].image, backups[i].window, "backup " + std::to_string(i));
	umount(disk);
	return failure;
}

// A stop while snapshot readers read: each read gives the frozen bytes or fails, nothing
// else; the stop ends the session and the halt finds nothing left.
std::string stop_while_reading(uint64_t seed, const std::filesystem::path &dir)
{
	const std::vector<unsigned char> before = chunk_pattern(DISK_BYTES, 1);
	kern::dev_t disk = patterned_disk(before);
	if (!disk)
		return "no disk";
	session_rig s(disk, dir);
	if (!s.started())
		return s.failure;
	// Some chunks preserved, so that reads go to the backing file as well as the disk.
	std::mt19937_64 rng(seed);
	for (int i = 0; i < 3; i++) {
		size_t b = rng() % (DISK_BYTES / BLOCK);
		write_node("erd", static_cast<kern::loff_t>(b * BLOCK), chunk_pattern(BLOCK, 20, b * BLOCK));
	}
	const std::string node = "/dev/" + s.node();
	auto wrong = std::make_shared<std::atomic<int>>(0);
	std::vector<kern::pid_t> readers;
	for (int r = 0; r < 2; r++) {
		readers.push_back(spawn("cdpread", [node, wrong, &before] {
			int fd = kern::sys_open(node.c_str(), O_RDONLY, 0);
			if (fd < 0)
				return 0;	// already gone
			long buf = kern::sys_mmap(BLOCK);
			std::vector<unsigned char> got(BLOCK);
			for (size_t off = 0; off < DISK_BYTES; off += BLOCK) {
				ssize_t n = kern::sys_pread64(static_cast<unsigned>(fd), static_cast<unsigned long>(buf),
							      BLOCK, static_cast<kern::loff_t>(off));
				if (n < 0)
					break;	// the session went away under the read
				kern::user_read(static_cast<unsigned long>(buf), got.data(), BLOCK);
				if (n != static_cast<ssize_t>(BLOCK) ||
				    !std::equal(got.begin(), got.end(), before.begin() + static_cast<long>(off)))
					(*wrong)++;
			}
			kern::sys_close(static_cast<unsigned>(fd));
			return 0;
		}));
	}
	s.stop();
	for (kern::pid_t r : readers)
		if (waitpid(r) != 0)
			s.fail("a reader failed");
	if (*wrong)
		s.fail(std::to_string(*wrong) + " snapshot read(s) returned bytes that are not the frozen disk's");
	s.reap();
	umount(disk);
	return s.failure;
}

// Writers that all write every chunk of a small disk, with an IO thread that writes out
// each copy as soon as it is queued: a writer that meets a chunk while another's copy-out
// of it comes and goes must neither copy it again nor pass it unpreserved.
std::string same_chunk_writers(uint64_t seed, const std::filesystem::path &dir)
{
	constexpr size_t bytes = 4 * COW_CHUNK_SIZE;
	const std::vector<unsigned char> before = chunk_pattern(bytes, 1);
	kern::dev_t disk = patterned_disk(before);
	if (!disk)
		return "no disk";
	unsigned long buffer = qz_max_chunk_buffer;
	qz_max_chunk_buffer = 1;	// the IO thread wakes for every queued copy
	session_rig s(disk, dir);
	if (s.started()) {
		std::vector<kern::pid_t> writers;
		for (unsigned w = 0; w < 3; w++) {
			writers.push_back(spawn("writer", [w, seed] {
				std::vector<size_t> order = {0, 1, 2, 3};
				std::shuffle(order.begin(), order.end(), std::mt19937_64(seed * 7 + w));
				for (size_t c : order) {
					size_t off = c * COW_CHUNK_SIZE + w * BLOCK;
					if (write_in_process("erd", static_cast<kern::loff_t>(off),
							     chunk_pattern(BLOCK, 10 + w, off)))
						return 1;
				}
				return 0;
			}));
		}
		for (kern::pid_t w : writers)
			if (waitpid(w) != 0)
				s.fail("a writer failed");
		if (s.failure.empty() && read_device(s.node(), 0, bytes, "cdpread", 65536) != before)
			s.fail("the snapshot differs from the frozen disk");
		s.stop();
		s.reap();
	}
	qz_max_chunk_buffer = buffer;
	umount(disk);
	return s.failure;
}

// A stop while writers still queue copy-outs to three IO threads: the threads leave only
// when nothing is queued to them, so every write ends, each lands on the disk as written,
// and the halt finds no copy, page or task left.
std::string io_threads_leaving(uint64_t seed, const std::filesystem::path &dir)
{
	const std::vector<unsigned char> before = chunk_pattern(DISK_BYTES, 1);
	kern::dev_t disk = patterned_disk(before);
	if (!disk)
		return "no disk";
	session_rig s(disk, dir, 3);
	if (!s.started())
		return s.failure;
	// Writer w owns every third block, and writes each of them once, in its own order.
	constexpr size_t blocks = DISK_BYTES / BLOCK;
	std::vector<kern::pid_t> writers;
	for (unsigned w = 0; w < 3; w++) {
		writers.push_back(spawn("writer", [w, seed] {
			std::vector<size_t> mine;
			for (size_t b = w; b < blocks; b += 3)
				mine.push_back(b);
			std::shuffle(mine.begin(), mine.end(), std::mt19937_64(seed * 13 + w));
			for (size_t b : mine)
				if (write_in_process("erd", static_cast<kern::loff_t>(b * BLOCK),
						     chunk_pattern(BLOCK, 10 + w, b * BLOCK)))
					return 1;
			return 0;
		}));
	}
	s.stop();
	for (kern::pid_t w : writers)
		if (waitpid(w) != 0)
			s.fail("a writer failed");
	s.reap();
	std::vector<unsigned char> want(DISK_BYTES), got(DISK_BYTES);
	for (size_t b = 0; b < blocks; b++) {
		auto p = chunk_pattern(BLOCK, 10 + b % 3, b * BLOCK);
		std::copy(p.begin(), p.end(), want.begin() + static_cast<long>(b * BLOCK));
	}
	disk_peek(disk, 0, got.data(), got.size());
	if (got != want)
		s.fail("the disk does not hold every write as written");
	umount(disk);
	return s.failure;
}

} // namespace

const std::vector<scenario> &scenarios()
{
	static const std::vector<scenario> all = {
		{"cow-under-writers", "copy-on-write under three writers and a snapshot reader", cow_under_writers},
		{"start-under-writers", "a snapshot started under stamped writers, judged by the oracle",
		 start_under_writers},
		{"stop-while-reading", "a stop while snapshot reads are in flight", stop_while_reading},
		{"same-chunk-writers", "writers meeting on every chunk, copies written out at once",
		 same_chunk_writers},
		{"io-threads-leaving", "a stop while writers queue copy-outs to three IO threads", io_threads_leaving},
		{"agent-backup", "the agent's full and change-record backups under writers, restored and judged",
		 agent_backup},
	};
	return all;
}

} // namespace zep::explore
