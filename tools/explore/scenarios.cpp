// The explorer's scenarios: each runs on a booted machine with the driver loaded, under
// whatever schedule the seed gives, and returns what went wrong ("" when every check held).
#include "tools/explore/scenarios.h"

#include <random>

#include "agent/oracle.h"
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

	std::string failure;
	auto ssr = start_request(disk, (dir / "image").string());
	long id = start_snapshot(&ssr);
	if (id < 0) {
		failure = "start: " + std::to_string(id);
	} else {
		kern::pid_t io = start_io_thread(static_cast<int>(id), (dir / "io0").string());
		if (!io_thread_started(static_cast<int>(id)))
			failure = "the IO thread did not start";
		const std::string zep = "zep" + std::to_string(id);

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
		std::vector<unsigned char> during = read_device(zep, 0, DISK_BYTES, "cdpread", 4096);
		*stop = true;
		for (kern::pid_t w : writers)
			if (waitpid(w) != 0 && failure.empty())
				failure = "a writer failed";
		std::vector<unsigned char> after = read_device(zep, 0, DISK_BYTES, "cdpread", 65536);
		if (failure.empty() && during != before)
			failure = "a snapshot read during the writes differs from the frozen disk";
		if (failure.empty() && after != before)
			failure = "a snapshot read after the writes differs from the frozen disk";
		if (stop_snapshot(static_cast<int>(id)) != 0 && failure.empty())
			failure = "stop failed";
		if (waitpid(io) != 0 && failure.empty())
			failure = "the IO thread failed";
	}
	umount(disk);
	return failure;
}

// A snapshot started while writers write stamped, overlapping extents, read whole while
// they go on: the image must be a state the disk passed through while it was frozen (the
// oracle's check against the writers' log and the start command's timings).
std::string start_under_writers(uint64_t seed, const std::filesystem::path &dir)
{
	using namespace zep::oracle;
	const uint64_t sectors = DISK_BYTES / sector_bytes;
	kern::dev_t disk = add_ramdisk("erd", 8, sectors);
	if (!disk)
		return "no disk";
	zep::result<void> filled = zep::make_error(zep::errc::other, "the process did not run");
	in_process("prefill", [&] {
		filled = prefill("/dev/erd", {0, sectors});
		return 0;
	});
	if (!filled)
		return "prefill: " + filled.err().message;
	if (mount(disk))
		return "mount failed";

	control_holder holder;

	writer_options wo;
	wo.device = "/dev/erd";
	wo.range = {0, sectors};
	wo.writers = 3;
	wo.seed = seed;
	wo.min_bytes = sector_bytes;
	wo.max_bytes = 16 << 10;
	wo.writes_each = 12;	// some are held by the freeze, some pass the thaw
	auto ws = writer_set::start(wo);
	std::string failure;
	if (!ws)
		return "writers: " + ws.err().message;
	auto ssr = start_request(disk, (dir / "image").string());
	nanos issued = now();
	long id = start_snapshot(&ssr);
	nanos returned = now();
	if (id < 0) {
		failure = "start: " + std::to_string(id);
	} else {
		// The kernel's own instants, not the start command's bounds around them: a write
		// let through between the thaw and the session's registration is then too new.
		auto window = safe_window(start_timing::of(issued, returned, ssr));
		kern::freeze_instants fi = kern::last_freeze(disk);
		if (window && fi.frozen && fi.thawed)
			*window = zep::oracle::freeze_window{fi.frozen, fi.thawed, fi.thawed - fi.frozen};
		kern::pid_t io = start_io_thread(static_cast<int>(id), (dir / "io0").string());
		if (!io_thread_started(static_cast<int>(id)))
			failure = "the IO thread did not start";
		std::vector<unsigned char> image =
			read_device("zep" + std::to_string(id), 0, DISK_BYTES, "cdpread", 8192);
		if (auto stopped = ws->stop(); !stopped && failure.empty())
			failure = "writers: " + stopped.err().message;
		auto h = history::build({0, sectors}, ws->log());
		if (failure.empty() && (!window || !h))
			failure = "oracle: " + (!window ? window.err().message : h.err().message);
		if (failure.empty()) {
			auto r = h->check({image, 0}, *window);
			if (!r)
				failure = "check: " + r.err().message;
			else if (!r->ok())
				failure = "the snapshot is no state the frozen disk was in: " + r->summary();
		}
		if (stop_snapshot(static_cast<int>(id)) != 0 && failure.empty())
			failure = "stop failed";
		if (waitpid(io) != 0 && failure.empty())
			failure = "the IO thread failed";
	}
	(void)ws->stop();
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
	auto ssr = start_request(disk, (dir / "image").string());
	long id = start_snapshot(&ssr);
	if (id < 0)
		return "start: " + std::to_string(id);
	std::string failure;
	kern::pid_t io = start_io_thread(static_cast<int>(id), (dir / "io0").string());
	if (!io_thread_started(static_cast<int>(id)))
		failure = "the IO thread did not start";
	// Some chunks preserved, so that reads go to the backing file as well as the disk.
	std::mt19937_64 rng(seed);
	for (int i = 0; i < 3; i++) {
		size_t b = rng() % (DISK_BYTES / BLOCK);
		write_node("erd", static_cast<kern::loff_t>(b * BLOCK), chunk_pattern(BLOCK, 20, b * BLOCK));
	}
	const std::string node = "/dev/zep" + std::to_string(id);
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
	if (stop_snapshot(static_cast<int>(id)) != 0 && failure.empty())
		failure = "stop failed";
	for (kern::pid_t r : readers)
		if (waitpid(r) != 0 && failure.empty())
			failure = "a reader failed";
	if (*wrong && failure.empty())
		failure = std::to_string(*wrong) + " snapshot read(s) returned bytes that are not the frozen disk's";
	if (waitpid(io) != 0 && failure.empty())
		failure = "the IO thread failed";
	umount(disk);
	return failure;
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
	auto ssr = start_request(disk, (dir / "image").string());
	long id = start_snapshot(&ssr);
	if (id < 0)
		return "start: " + std::to_string(id);
	std::string failure;
	unsigned long buffer = qz_max_chunk_buffer;
	qz_max_chunk_buffer = 1;	// the IO thread wakes for every queued copy
	kern::pid_t io = start_io_thread(static_cast<int>(id), (dir / "io0").string());
	if (!io_thread_started(static_cast<int>(id)))
		failure = "the IO thread did not start";
	std::vector<kern::pid_t> writers;
	for (unsigned w = 0; w < 3; w++) {
		writers.push_back(spawn("writer", [w, seed] {
			std::vector<size_t> order = {0, 1, 2, 3};
			std::shuffle(order.begin(), order.end(), std::mt19937_64(seed * 7 + w));
			for (size_t c : order) {
				size_t off = c * COW_CHUNK_SIZE + w * BLOCK;
				if (write_in_process("erd", static_cast<kern::loff_t>(off), chunk_pattern(BLOCK, 10 + w, off)))
					return 1;
			}
			return 0;
		}));
	}
	for (kern::pid_t w : writers)
		if (waitpid(w) != 0 && failure.empty())
			failure = "a writer failed";
	if (failure.empty() && read_device("zep" + std::to_string(id), 0, bytes, "cdpread", 65536) != before)
		failure = "the snapshot differs from the frozen disk";
	if (stop_snapshot(static_cast<int>(id)) != 0 && failure.empty())
		failure = "stop failed";
	if (waitpid(io) != 0 && failure.empty())
		failure = "the IO thread failed";
	qz_max_chunk_buffer = buffer;
	umount(disk);
	return failure;
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
	};
	return all;
}

} // namespace zep::explore
