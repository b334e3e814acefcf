// `zep demo`, step by step: a file-backed disk with a mounted partition and the driver
// loaded; writers put generation 1 of their blocks on the partition; the agent snapshots
// it; the writers put generation 2 while a cdp process reads the snapshot device, which
// must still hold what the partition held at the snapshot, byte for byte; the agent checks
// the session and stops it; the machine halts with nothing left over.
#include "tools/demo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/control.h"
#include "agent/session.h"
#include "backupdriver/zepdriver.h"
#include "kernel/fs.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zep {
namespace {

constexpr int WRITERS = 4;
constexpr size_t BLOCK = 4096;
constexpr int BLOCKS_PER_WRITER = 256;
// The writers' blocks interleave over the first 4 MiB of the partition.
constexpr size_t WRITTEN_BYTES = WRITERS * BLOCKS_PER_WRITER * BLOCK;
constexpr kern::u64 DISK_BYTES = 64ull << 20;
constexpr kern::sector_t PART_START = 2048;
constexpr kern::sector_t PART_SECTORS = DISK_BYTES / 512 - PART_START;
constexpr size_t PART_BYTES = PART_SECTORS * 512;
constexpr size_t READ_PIECE = 1 << 20;
const std::string PART_NAME = "vda1";

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
	char buf[512];
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(buf, sizeof(buf), fmt, ap);
	va_end(ap);
	return buf;
}

size_t block_offset(int w, int b) { return (static_cast<size_t>(b) * WRITERS + static_cast<size_t>(w)) * BLOCK; }

// Deterministic content of block b of writer w in generation gen.
void fill_block(unsigned char *buf, int gen, int w, int b)
{
	uint32_t x = 0x9e3779b9u * static_cast<uint32_t>(gen * 1000003 + w * 100003 + b + 1);
	for (size_t i = 0; i < BLOCK; i++) {
		x ^= x << 13;
		x ^= x >> 17;
		x ^= x << 5;
		buf[i] = static_cast<unsigned char>(x);
	}
}

// `base` with every writer's blocks of generation gen written over it.
std::vector<unsigned char> with_generation(std::vector<unsigned char> base, int gen)
{
	for (int w = 0; w < WRITERS; w++)
		for (int b = 0; b < BLOCKS_PER_WRITER; b++)
			if (block_offset(w, b) + BLOCK <= base.size())
				fill_block(base.data() + block_offset(w, b), gen, w, b);
	return base;
}

// "" when got holds want byte for byte, else how it differs, for a message.
std::string difference(const std::vector<unsigned char> &got, const std::vector<unsigned char> &want)
{
	if (got.size() != want.size())
		return format("read %zu bytes where %zu were expected", got.size(), want.size());
	size_t first = 0, count = 0;
	for (size_t i = 0; i < got.size(); i++)
		if (got[i] != want[i] && count++ == 0)
			first = i;
	if (!count)
		return "";
	size_t blk = first / BLOCK;
	std::string where = first >= WRITTEN_BYTES ? "outside the writers' blocks"
						   : format("in block %zu of writer %zu", blk / WRITERS, blk % WRITERS);
	return format("%zu bytes differ, the first at byte %zu (0x%02x where 0x%02x was expected), %s", count, first,
		      got[first], want[first], where.c_str());
}

// Runs body in a new process named comm and waits for it: its exit code, or -errno when
// it could not be started.
int run_process(const std::string &comm, std::function<int()> body)
{
	kern::pid_t pid = kern::spawn(comm, std::move(body));
	return pid < 0 ? pid : kern::waitpid(pid);
}

// A process that runs the jobs the demo hands it, one at a time, until it is closed: the
// agent, which holds its control device and its snapshot from one step to the next.
class agent_process {
public:
	explicit agent_process(const std::string &comm)
	{
		pid_ = kern::spawn(comm, [this] { return serve(); });
	}
	agent_process(const agent_process &) = delete;
	agent_process &operator=(const agent_process &) = delete;
	~agent_process() { close(); }

	// Runs job inside the process and waits for it: its result, or -1 when the process
	// is gone.
	int run(std::function<int()> job)
	{
		std::unique_lock<std::mutex> g(m_);
		if (pid_ < 0 || ended_)
			return -1;
		job_ = std::move(job);
		cv_.notify_all();
		cv_.wait(g, [this] { return !job_ || ended_; });
		return job_ ? -1 : result_;
	}

	// Ends the process and waits for it: its exit code.
	int close()
	{
		{
			std::lock_guard<std::mutex> g(m_);
			closing_ = true;
			cv_.notify_all();
		}
		int rc = pid_ < 0 ? pid_ : kern::waitpid(pid_);
		pid_ = -1;
		return rc;
	}

private:
	int serve()
	{
		// However the process ends (a kill unwinds it), whoever waits is let go.
		struct ending {
			agent_process *a;
			~ending()
			{
				std::lock_guard<std::mutex> g(a->m_);
				a->ended_ = true;
				a->cv_.notify_all();
			}
		} guard{this};
		std::unique_lock<std::mutex> g(m_);
		while (!closing_) {
			if (!job_) {
				// A short wait, then a system call that delivers the process's signals.
				cv_.wait_for(g, std::chrono::milliseconds(10));
				g.unlock();
				kern::sys_getpid();
				g.lock();
				continue;
			}
			std::function<int()> job = job_;
			g.unlock();
			int r = job();
			g.lock();
			result_ = r;
			job_ = nullptr;
			cv_.notify_all();
		}
		return 0;
	}

	std::mutex m_;
	std::condition_variable cv_;
	std::function<int()> job_;
	int result_ = 0;
	bool closing_ = false, ended_ = false;
	kern::pid_t pid_ = -1;
};

// A device node opened by the calling process, with a buffer mapped in its memory for
// the IO; closed when it goes.
struct node_io {
	int fd = -1;
	unsigned long mem = 0;

	bool open(const std::string &node, int flags, size_t bytes)
	{
		fd = kern::sys_open(("/dev/" + node).c_str(), flags, 0);
		long addr = fd < 0 ? -1 : kern::sys_mmap(bytes);
		mem = addr < 0 ? 0 : static_cast<unsigned long>(addr);
		return mem != 0;
	}
	~node_io()
	{
		if (fd >= 0)
			kern::sys_close(static_cast<unsigned>(fd));
	}
};

// A writer process: writes its blocks of generation gen through /dev/<node>, counting each.
int writer(const std::string &node, int gen, int w, std::atomic<int> *written)
{
	node_io io;
	if (!io.open(node, O_RDWR, BLOCK))
		return 10;
	unsigned char buf[BLOCK];
	for (int b = 0; b < BLOCKS_PER_WRITER; b++) {
		fill_block(buf, gen, w, b);
		kern::user_write(io.mem, buf, BLOCK);
		kern::loff_t off = static_cast<kern::loff_t>(block_offset(w, b));
		if (kern::sys_pwrite64(static_cast<unsigned>(io.fd), io.mem, BLOCK, off) != static_cast<long>(BLOCK))
			return 11;
		(*written)++;
	}
	return kern::sys_fsync(static_cast<unsigned>(io.fd)) == 0 ? 0 : 12;
}

struct device_image {
	int rc = -1;	// the reading process's exit code
	std::vector<unsigned char> bytes;
	double seconds = 0;
};

// Reads /dev/<node> from its start to its end in 1 MiB reads, from a new process named comm.
device_image read_device(const std::string &node, const char *comm)
{
	device_image img;
	img.rc = run_process(comm, [&] {
		auto t0 = std::chrono::steady_clock::now();
		node_io io;
		if (!io.open(node, O_RDONLY, READ_PIECE))
			return 20;
		ssize_t n;
		while ((n = kern::sys_read(static_cast<unsigned>(io.fd), io.mem, READ_PIECE)) > 0) {
			size_t done = img.bytes.size();
			img.bytes.resize(done + static_cast<size_t>(n));
			kern::user_read(io.mem, img.bytes.data() + done, static_cast<size_t>(n));
		}
		img.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
		return n == 0 ? 0 : 21;
	});
	return img;
}

class demo {
public:
	demo(const demo_options &opts, std::FILE *out) : opts_(opts), out_(out) {}
	int run();

private:
	bool setup();
	bool write_generation_1();
	bool take_snapshot();
	bool rewrite_while_reading();
	void end_snapshot(bool rewritten);
	void end_agent();
	void teardown();

	bool write_generation(int gen, const std::function<void(const std::atomic<int> &)> &meanwhile);
	bool check_image(const device_image &img, const std::vector<unsigned char> &want, const std::string &what);
	// A step the demo cannot go on without, or a check of what it found: prints the line
	// and passes ok on.
	bool step(bool ok, const std::string &what) { return report(ok, what, &step_failed_); }
	bool verify(bool ok, const std::string &what) { return report(ok, what, &verify_failed_); }
	bool report(bool ok, const std::string &what, bool *failed);
	void note(const std::string &text);
	std::string host_file(const std::string &name);

	demo_options opts_;
	std::FILE *out_;
	bool step_failed_ = false, verify_failed_ = false;
	std::string first_failure_;
	std::vector<std::string> files_;	// host files the demo made
	kern::dev_t disk_ = 0, part_ = 0;
	bool mounted_ = false, loaded_ = false;
	std::vector<unsigned char> at_snapshot_;	// the partition when the snapshot was taken
	int session_ = 0;
	// The agent process and the snapshot it holds: made, used and let go only in there.
	std::unique_ptr<agent_process> agent_;
	std::unique_ptr<snapshot> snap_;
};

bool demo::report(bool ok, const std::string &what, bool *failed)
{
	std::fprintf(out_, "%-60s %s\n", what.c_str(), ok ? "ok" : "FAILED");
	std::fflush(out_);
	if (!ok) {
		*failed = true;
		if (first_failure_.empty())
			first_failure_ = what;
	}
	return ok;
}

void demo::note(const std::string &text)
{
	std::fprintf(out_, "  %s\n", text.c_str());
	std::fflush(out_);
}

std::string demo::host_file(const std::string &name)
{
	files_.push_back(opts_.dir + "/" + name);
	return files_.back();
}

int demo::run()
{
	kern::boot_params p;
	p.clock_speed = 10;
	p.printk_mirror = opts_.verbose;
	kern::boot(p);
	bool rewritten = false;
	if (setup() && write_generation_1() && take_snapshot())
		rewritten = rewrite_while_reading();
	if (session_ > 0)
		end_snapshot(rewritten);
	end_agent();
	teardown();
	if (!step_failed_ && !verify_failed_) {
		std::fprintf(out_, "demo passed\n");
		return DEMO_PASSED;
	}
	std::fprintf(out_, "demo FAILED: %s\n", first_failure_.c_str());
	return step_failed_ ? DEMO_STEP_FAILED : DEMO_VERIFY_FAILED;
}

bool demo::setup()
{
	kern::disk_options o;
	o.size_bytes = DISK_BYTES;
	disk_ = kern::add_filedisk("vda", 253, host_file("zep-demo-disk.img"), o);
	if (!step(disk_ != 0, "file-backed disk vda (64 MiB) in " + opts_.dir))
		return false;
	part_ = kern::add_partition(disk_, 1, PART_START, PART_SECTORS);
	if (!step(part_ != 0, "partition vda1 (63 MiB)"))
		return false;
	mounted_ = kern::mount(part_) == 0;
	if (!step(mounted_, "file system mounted on vda1"))
		return false;
	if (!step(kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)) == 0,
		  "control node /dev/" ZEP_CONTROL_NAME))
		return false;
	loaded_ = kern::insmod("zepdriver") == 0;
	if (!step(loaded_, "driver loaded"))
		return false;
	std::string version, failed;
	int rc = run_process("cdpagent", [&] {
		auto c = control::open();
		auto v = c ? c->version() : result<driver_version>(c.err());
		if (!v) {
			failed = v.err().message;
			return 1;
		}
		version = v->text();
		return 0;
	});
	if (!step(rc == 0, "agent read the driver version")) {
		note(failed.empty() ? format("the agent process exited with %d", rc) : failed);
		return false;
	}
	note("driver version " + version);
	return true;
}

// Starts the writers of generation gen, runs meanwhile (given their count of blocks
// written so far) and waits for them: whether every writer wrote all its blocks.
bool demo::write_generation(int gen, const std::function<void(const std::atomic<int> &)> &meanwhile)
{
	std::atomic<int> written{0};
	std::vector<kern::pid_t> pids;
	for (int w = 0; w < WRITERS; w++)
		pids.push_back(kern::spawn("writer", [w, gen, &written] { return writer(PART_NAME, gen, w, &written); }));
	if (meanwhile)
		meanwhile(written);
	bool ok = true;
	for (kern::pid_t pid : pids)
		ok = kern::waitpid(pid) == 0 && ok;
	return ok;
}

bool demo::write_generation_1()
{
	if (!step(write_generation(1, {}), "phase 1: 4 writers wrote generation 1 (4 MiB) on vda1"))
		return false;
	device_image live = read_device(PART_NAME, "verify");
	if (live.rc != 0) {
		step(false, "vda1 read back");
		note(format("the reading process exited with %d", live.rc));
		return false;
	}
	// With the writers done, this is what the snapshot must show.
	at_snapshot_ = std::move(live.bytes);
	std::string diff = at_snapshot_.size() == PART_BYTES
				   ? difference(at_snapshot_, with_generation(at_snapshot_, 1))
				   : format("read %zu bytes of the partition's %zu", at_snapshot_.size(), PART_BYTES);
	if (!verify(diff.empty(), "vda1 holds generation 1, byte-exact"))
		note(diff);
	return true;
}

bool demo::take_snapshot()
{
	if (opts_.io_threads < 1)
		return step(false, format("a snapshot with %d IO threads (it needs one at least)", opts_.io_threads));
	snapshot_options o;
	o.io_threads = opts_.io_threads;
	o.folder = opts_.dir;
	o.device_name = PART_NAME;
	o.device_path = "/dev/" + PART_NAME;
	std::string failed;	// what the agent could not do
	agent_ = std::make_unique<agent_process>("cdpagent");
	int rc = agent_->run([&] {
		auto s = snapshot::take(part_, o);
		if (!s) {
			failed = s.err().message;
			return 1;
		}
		snap_ = std::make_unique<snapshot>(std::move(*s));
		return 0;
	});
	if (rc != 0 && failed.empty())
		failed = format("the agent process exited with %d", rc);
	if (snap_) {
		session_ = snap_->id();
		// Removed by the agent when it stops the session; by the demo if it cannot.
		files_.insert(files_.end(), snap_->backing_files().begin(), snap_->backing_files().end());
	}
	if (!step(failed.empty(), format("agent took snapshot zep%d of vda1 with %d IO threads", session_,
					 opts_.io_threads))) {
		note(failed);
		return false;
	}
	const freeze_window &fw = snap_->started().freeze;
	note(format("freeze window %.3f ms, %.3f ms of it to get the freeze (machine clock)", fw.frozen_ms(),
		    fw.get_freeze_ms()));
	return true;
}

// Compares an image with what it should hold: a failed read stops the demo, a difference
// fails it.
bool demo::check_image(const device_image &img, const std::vector<unsigned char> &want, const std::string &what)
{
	if (img.rc != 0) {
		step(false, what);
		note(format("the reading process exited with %d", img.rc));
		return false;
	}
	std::string diff = difference(img.bytes, want);
	if (!verify(diff.empty(), what))
		note(diff);
	return true;
}

bool demo::rewrite_while_reading()
{
	std::string zep = format("zep%d", session_);
	device_image during;
	int landed = 0;
	bool wrote = write_generation(2, [&](const std::atomic<int> &written) {
		// The image is read once the rewrites are under way (or the writers have failed).
		for (int waited = 0; written == 0 && waited < 10000; waited++)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		if (opts_.while_rewriting)
			opts_.while_rewriting(disk_);
		int before = written;
		during = read_device(zep, "cdpread");
		landed = written - before;
	});
	if (!step(wrote, "phase 2: 4 writers rewrote generation 2 on vda1"))
		return false;
	note(format("%d of %d rewrites landed while /dev/%s was read", landed, WRITERS * BLOCKS_PER_WRITER,
		    zep.c_str()));
	if (!check_image(during, at_snapshot_, "image read during the rewrites = vda1 at the snapshot"))
		return false;
	note(format("/dev/%s: %zu bytes (%.0f MiB) in %.2f s, %.1f MiB/s", zep.c_str(), during.bytes.size(),
		    during.bytes.size() / 1048576.0, during.seconds, during.bytes.size() / 1048576.0 / during.seconds));
	during = {};
	if (!check_image(read_device(zep, "cdpread"), at_snapshot_, "image read again after the rewrites = the same"))
		return false;
	return check_image(read_device(PART_NAME, "verify"), with_generation(at_snapshot_, 2),
			   "live vda1 holds generation 2, the rest unchanged");
}

void demo::end_snapshot(bool rewritten)
{
	session_info listed;
	bool found = false;
	std::string error, error_failed;
	result<void> stopped;
	int rc = agent_->run([&] {
		if (auto i = snap_->info())
			listed = *i, found = true;
		if (auto e = snap_->error_text())
			error = *e;
		else
			error_failed = e.err().message;
		stopped = snap_->stop();
		return 0;
	});
	if (rewritten) {
		// Each chunk the writers rewrote is preserved once; so is the one after the last,
		// as a write that ends on a chunk boundary preserves the chunk that follows it.
		uint64_t want = listed.block_size ? WRITTEN_BYTES / listed.block_size + 1 : 0;
		verify(found && listed.changed_blocks == want,
		       format("session listed: %llu chunks of %u KiB preserved",
			      static_cast<unsigned long long>(listed.changed_blocks), listed.block_size / 1024));
		if (listed.changed_blocks != want)
			note(format("expected %llu: the chunks the writers rewrote and the one after them",
				    static_cast<unsigned long long>(want)));
	}
	verify(error_failed.empty() && error.empty(), "session error text empty");
	if (!error.empty())
		note("session error: " + error);
	if (!error_failed.empty())
		note(error_failed);
	// An invalidated session is stopped all the same: its error was reported just above.
	bool ended = rc == 0 && (stopped || stopped.err().code == errc::invalidated);
	if (!step(ended, format("agent stopped snapshot zep%d", session_))) {
		if (rc == 0)
			note(stopped.err().message);
		return;	// the IO threads stay in the driver: the unload or the halt ends them
	}
	bool threads_ok = true;
	for (int code : snap_->io_thread_exits())
		threads_ok = code == 0 && threads_ok;
	step(threads_ok, format("%zu IO threads returned 0", snap_->io_thread_exits().size()));
	session_ = 0;
}

// Lets the agent go: the snapshot it holds is let go inside its process (stopping the
// session if it still runs), then the process ends.
void demo::end_agent()
{
	if (!agent_)
		return;
	if (agent_->run([this] {
		    snap_.reset();
		    return 0;
	    }) != 0)
		(void)snap_.release();	// its process is gone: its descriptors went with it
	agent_->close();
	agent_.reset();
}

void demo::teardown()
{
	if (disk_) {
		kern::disk_stats st = kern::get_disk_stats(disk_);
		note(format("vda: %llu reads, %llu writes, %llu errors", static_cast<unsigned long long>(st.reads),
			    static_cast<unsigned long long>(st.writes), static_cast<unsigned long long>(st.errors)));
	}
	if (loaded_)
		step(kern::rmmod("zepdriver") == 0, "driver unloaded");
	if (mounted_)
		step(kern::umount(part_) == 0, "file system unmounted");
	kern::halt_report r = kern::halt();
	for (const std::string &line : r.problems)
		note("leak: " + line);
	verify(r.clean(), "machine halted with nothing left over");
	for (const std::string &f : files_)
		std::remove(f.c_str());
}

} // namespace

int run_demo(const demo_options &opts, std::FILE *out) { return demo(opts, out).run(); }

} // namespace zep
