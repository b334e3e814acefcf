#include "agent/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>

#include <fmt/format.h>

#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zep
{
namespace
{

constexpr int MAX_IO_THREADS = 64;
constexpr size_t MIN_BUFFER = 4096, MAX_BUFFER = 256u << 20;
// How long the IO-thread processes have to say how far they got before the become-IO-thread
// command (open a file, map a buffer, open the control device: no waiting involved).
constexpr auto REPORT_TIME = std::chrono::seconds(30);

// Exit codes of the IO-thread processes.
constexpr int EXIT_FILE = 100, EXIT_BUFFER = 101, EXIT_CONTROL = 102, EXIT_COMMAND = 103;

std::string errno_text(long r)
{
	return std::strerror(static_cast<int>(-r));
}

std::string dev_text(kern::dev_t dev)
{
	return fmt::format("({},{})", kern::MAJOR(dev), kern::MINOR(dev));
}

// What the IO-thread processes tell the agent: they are host threads of this program, so
// they report through shared memory of the host, which needs no command of the driver and
// no waiting in it.
class thread_reports {
public:
	enum phase { starting, failed, entering, returned };

	explicit thread_reports(int n) : t_(static_cast<size_t>(n)) {}

	void set(int t, phase p, std::string why = {})
	{
		std::lock_guard g(m_);
		slot &s = t_[static_cast<size_t>(t)];
		s.p = p;
		if (!why.empty())
			s.why = std::move(why);
		cv_.notify_all();
	}
	void created(int t)
	{
		std::lock_guard g(m_);
		t_[static_cast<size_t>(t)].created = true;
	}

	// Waits until no thread is still starting. The waiting process gets its signals
	// delivered meanwhile (a getpid every few milliseconds), so a kill still ends it.
	bool wait_all_reported()
	{
		kern::machine_cond::guard g(m_);
		return cv_.wait_until_ready(
		    g, REPORT_TIME, std::chrono::milliseconds(5),
		    [&] { return std::none_of(t_.begin(), t_.end(), [](const slot &s) { return s.p == starting; }); },
		    [] { kern::sys_getpid(); });
	}

	phase at(int t)
	{
		std::lock_guard g(m_);
		return t_[static_cast<size_t>(t)].p;
	}
	std::string why(int t)
	{
		std::lock_guard g(m_);
		return t_[static_cast<size_t>(t)].why;
	}
	bool was_created(int t)
	{
		std::lock_guard g(m_);
		return t_[static_cast<size_t>(t)].created;
	}

private:
	struct slot {
		phase p = starting;
		std::string why;
		bool created = false; // its backing file was made by the thread
	};
	kern::machine_mutex m_;
	kern::machine_cond cv_;
	std::vector<slot> t_;
};

// The body of IO-thread process t: its own backing file, its own staging buffer, its own
// control device, then the become-IO-thread command until the session ends.
int io_thread_main(std::shared_ptr<thread_reports> rep, int t, int session, std::string path,
                   size_t buffer)
{
	int fd = kern::sys_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
	if (fd < 0) {
		rep->set(
		    t, thread_reports::failed,
		    fmt::format("cannot create its backing file {}: {}", path, errno_text(fd)));
		return EXIT_FILE;
	}
	rep->created(t);
	long buf = kern::sys_mmap(buffer);
	if (buf < 0) {
		kern::sys_close(static_cast<unsigned>(fd));
		rep->set(t, thread_reports::failed,
		         fmt::format("cannot map its {}-byte staging buffer: {}", buffer,
		                     errno_text(buf)));
		return EXIT_BUFFER;
	}
	auto c = control::open();
	if (!c) {
		kern::sys_close(static_cast<unsigned>(fd));
		rep->set(t, thread_reports::failed, c.err().message);
		return EXIT_CONTROL;
	}
	rep->set(t, thread_reports::entering);
	io_thread_params p;
	p.thread = t;
	p.session = session;
	p.fd = fd;
	p.buffer = static_cast<uint32_t>(buf);
	p.buffer_size = static_cast<int32_t>(buffer);
	auto r = c->run_io_thread(p);
	kern::sys_close(static_cast<unsigned>(fd));
	rep->set(t, thread_reports::returned, r ? "" : r.err().message);
	return r ? 0 : EXIT_COMMAND;
}

std::atomic<unsigned> snapshots_named{0};

// Tells this program's backing files from those of earlier runs, whose machines had the
// same process numbers.
unsigned run_tag()
{
	static const unsigned tag = std::random_device{}();
	return tag;
}

// The driver's reason names no errno ("FILE IO ERROR"), but its log says when a backing file
// found its file system full ("Out of space on file"); the quota is the agent's free-space floor.
// Then what to do is to make room where the backing files are.
std::string backing_space_hint(const std::string &reason, const std::string &backing_file)
{
	bool full = reason == "USER QUOTA REACHED";
	if (reason == "FILE IO ERROR")
		for (const std::string &line : kern::dmesg())
			full = full || line.find("Out of space on file") != std::string::npos;
	if (!full)
		return "";
	return fmt::format(": the file system of {} (the snapshot's backing files) is full: free "
			   "space on it, or keep the backing files on another file system",
			   backing_file.substr(0, backing_file.rfind('/')));
}

} // namespace

struct snapshot::state {
	control c;
	kern::dev_t device = 0;
	started_session info;
	std::vector<std::string> files; // the session's backing file, then each thread's
	bool session_file_created = false;
	std::shared_ptr<thread_reports> reports;
	std::vector<kern::pid_t> pids; // one per thread; -1 where the spawn failed
	bool running = false;          // the driver has the session
	bool done = false;             // stopped, reaped, cleaned up
	std::optional<error> final_error;
	std::vector<int> exits;

	explicit state(control &&ctl) : c(std::move(ctl)) {}

	// Reaps the IO-thread processes (they have left the driver) and removes the files
	// the agent and its threads made.
	void reap_and_clean()
	{
		for (kern::pid_t pid : pids)
			exits.push_back(pid < 0 ? pid : kern::waitpid(pid));
		pids.clear();
		if (session_file_created)
			kern::sys_unlink(files[0].c_str());
		for (size_t t = 1; t < files.size(); t++)
			if (reports && reports->was_created(static_cast<int>(t - 1)))
				kern::sys_unlink(files[t].c_str());
		session_file_created = false;
		reports.reset();
		done = true;
	}

	// A start that cannot be completed: the session goes again (with the no-thread
	// shutdown when no thread reached the driver), its processes are reaped and its files
	// removed. Returns e, with what became of the session when that went wrong too.
	error abandon(error e, bool any_thread)
	{
		if (running) {
			result<void> gone;
			if (!any_thread) {
				auto r = c.shutdown_without_threads(info.id);
				if (!r)
					gone = r.err();
				else if (*r == no_thread_outcome::has_threads)
					any_thread = true;
				else if (*r == no_thread_outcome::left_in_use)
					gone = make_error(errc::refused,
					                  "its snapshot device is open");
			}
			if (any_thread)
				if (auto r = c.stop(info.id); !r && r.err().code != errc::not_found)
					gone = r.err();
			if (!gone) {
				// The IO threads stay in the driver with the session: they cannot
				// be reaped.
				e.message +=
				    fmt::format("; snapshot zep{} could not be stopped again: {}",
				                info.id, gone.err().message);
				return e;
			}
			running = false;
		}
		reap_and_clean();
		return e;
	}
};

snapshot::snapshot(std::unique_ptr<state> s) : s_(std::move(s)) {}
snapshot::snapshot(snapshot &&) noexcept = default;

snapshot &snapshot::operator=(snapshot &&o) noexcept
{
	if (this != &o) {
		if (s_ && !s_->done)
			(void)stop();
		s_ = std::move(o.s_);
	}
	return *this;
}

snapshot::~snapshot()
{
	if (s_ && !s_->done)
		(void)stop();
}

result<snapshot> snapshot::take(kern::dev_t device, const snapshot_options &o)
{
	std::string what = "snapshot of device " + dev_text(device);
	if (o.io_threads < 1 || o.io_threads > MAX_IO_THREADS)
		return make_error(errc::usage,
		                  fmt::format("{}: {} IO threads asked for; 1 to {} are possible",
		                              what, o.io_threads, MAX_IO_THREADS));
	if (o.staging_buffer < MIN_BUFFER || o.staging_buffer > MAX_BUFFER ||
	    o.staging_buffer % 4096)
		return make_error(
		    errc::usage,
		    fmt::format("{}: a staging buffer of {} bytes; whole pages from 4 KiB "
		                "to 256 MiB are possible",
		                what, o.staging_buffer));
	if (o.folder.empty())
		return make_error(errc::usage, what + ": no folder given for the backing files");

	auto c = control::open();
	if (!c)
		return c.err();
	auto s = std::make_unique<state>(std::move(*c));
	s->device = device;
	std::string name = o.name;
	if (name.empty())
		name = fmt::format("zep{}.{}-{:08x}-{}", kern::MAJOR(device), kern::MINOR(device),
		                   run_tag(), snapshots_named++);
	std::string base = o.folder + "/" + name;
	s->files.push_back(base + ".cow");
	for (int t = 0; t < o.io_threads; t++)
		s->files.push_back(fmt::format("{}-io{}.cow", base, t));

	// The session's backing file first: a folder that is missing fails before any session.
	const std::string &file = s->files[0];
	int fd = kern::sys_open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
	if (fd < 0) {
		if (fd == -EEXIST)
			return make_error(
			    errc::usage,
			    fmt::format(
			        "{}: backing file {} exists already (another snapshot's, or left "
			        "over): remove it or choose another name",
			        what, file),
			    fd);
		if (fd == -ENOSPC)
			return make_error(
			    errc::no_space,
			    fmt::format("{}: the file system of {} is full: free space on it, or keep "
			                "the backing files on another file system",
			                what, o.folder),
			    fd);
		return make_error(
		    fd == -ENOENT ? errc::not_found : errc::io,
		    fmt::format("{}: cannot create the backing file {}: {}; check the folder {}",
		                what, file, errno_text(fd), o.folder),
		    fd);
	}
	s->session_file_created = true;

	start_options so;
	so.device = device;
	so.backing_file = file;
	so.device_name = o.device_name;
	so.device_path = o.device_path;
	so.track_changes = o.track_changes;
	so.bfree = o.bfree;
	auto started = s->c.start(so);
	if (!started) {
		kern::sys_close(static_cast<unsigned>(fd));
		return s->abandon(started.err(), false);
	}
	s->info = *started;
	s->running = true;
	const int id = s->info.id;
	if (!s->info.marked_started()) {
		kern::sys_close(static_cast<unsigned>(fd));
		return s->abandon(
		    make_error(errc::other,
		               fmt::format("{}: the driver answered the start of zep{} "
		                           "without marking it started (mode {:#x})",
		                           what, id, s->info.mode)),
		    false);
	}
	auto handed = s->c.set_backing_file(id, fd, file);
	kern::sys_close(static_cast<unsigned>(fd)); // the session keeps its own reference
	if (!handed)
		return s->abandon(handed.err(), false);

	s->reports = std::make_shared<thread_reports>(o.io_threads);
	for (int t = 0; t < o.io_threads; t++) {
		kern::pid_t pid = kern::spawn(
		    fmt::format("cdpio{}", t),
		    [rep = s->reports, t, id, path = s->files[static_cast<size_t>(t) + 1],
		     size = o.staging_buffer] { return io_thread_main(rep, t, id, path, size); });
		if (pid < 0)
			s->reports->set(
			    t, thread_reports::failed,
			    fmt::format("its process could not be started: {}", errno_text(pid)));
		s->pids.push_back(pid);
	}

	// Each thread says how far it got; only those that entered the driver are waited for.
	bool reported = s->reports->wait_all_reported();
	std::optional<error> failure;
	int entered = 0;
	for (int t = 0; t < o.io_threads; t++) {
		auto p = s->reports->at(t);
		if (p == thread_reports::entering || p == thread_reports::returned)
			entered++;
		else if (p == thread_reports::failed && !failure)
			failure = make_error(
			    errc::io, fmt::format("{}: IO thread {} of zep{} could not start: {}",
			                          what, t, id, s->reports->why(t)));
	}
	if (!reported && !failure)
		failure =
		    make_error(errc::timeout,
		               fmt::format("{}: an IO-thread process of zep{} did not get to the "
		                           "driver within {} s",
		                           what, id, REPORT_TIME.count()));
	for (int t = 0; t < entered; t++)
		if (auto w = s->c.wait_for_io_thread(id); !w) {
			if (!failure)
				failure = w.err();
			break;
		}
	for (int t = 0; t < o.io_threads && !failure; t++)
		if (s->reports->at(t) == thread_reports::returned)
			failure = make_error(
			    errc::refused,
			    fmt::format(
			        "{}: IO thread {} of zep{} was turned away by the driver{}: see "
			        "the kernel log",
			        what, t, id,
			        s->reports->why(t).empty() ? "" : " (" + s->reports->why(t) + ")"));
	if (failure)
		return s->abandon(*failure, entered > 0);

	// A thread that could not take its file invalidates the session but stays.
	auto text = s->c.session_error(id);
	if (!text)
		return s->abandon(text.err(), true);
	if (!text->empty())
		return s->abandon(
		    make_error(
		        errc::invalidated,
		        fmt::format("{}: zep{} was invalidated while its IO threads started: {}",
		                    what, id, *text)),
		    true);
	return snapshot(std::move(s));
}

int snapshot::id() const
{
	return s_->info.id;
}
kern::dev_t snapshot::device() const
{
	return s_->device;
}
std::string snapshot::node() const
{
	return fmt::format("/dev/zep{}", s_->info.id);
}
const started_session &snapshot::started() const
{
	return s_->info;
}
const std::vector<std::string> &snapshot::backing_files() const
{
	return s_->files;
}
bool snapshot::stopped() const
{
	return !s_ || s_->done;
}
control &snapshot::ctl()
{
	return s_->c;
}
const std::vector<int> &snapshot::io_thread_exits() const
{
	return s_->exits;
}

result<std::string> snapshot::error_text()
{
	if (stopped())
		return make_error(errc::not_found, "error text of a snapshot that was stopped");
	return s_->c.session_error(id());
}

result<void> snapshot::check()
{
	auto text = error_text();
	if (!text)
		return text.err();
	if (!text->empty())
		return make_error(
		    errc::invalidated,
		    fmt::format(
		        "snapshot zep{} of device {} was invalidated by the driver: {}{}; its image "
		        "is not usable, take a new snapshot",
		        id(), dev_text(device()), *text, backing_space_hint(*text, s_->files[0])));
	return {};
}

result<session_info> snapshot::info()
{
	if (stopped())
		return make_error(errc::not_found, "listing of a snapshot that was stopped");
	return s_->c.session(id());
}

result<void> snapshot::stop()
{
	if (!s_)
		return make_error(errc::usage, "stop of a snapshot that was moved away");
	if (s_->done) {
		if (s_->final_error)
			return *s_->final_error;
		return {};
	}
	// After the stop the driver no longer knows the session's error: read it first.
	auto text = s_->c.session_error(id());
	auto r = s_->c.stop(id());
	if (!r && r.err().code != errc::not_found)
		return r.err(); // still running: the caller may retry
	s_->running = false;
	s_->reap_and_clean();
	if (text && !text->empty())
		s_->final_error = make_error(
		    errc::invalidated,
		    fmt::format("snapshot zep{} of device {} was invalidated by the driver: {}{}; "
		                "its image was not usable (the session is stopped)",
		                id(), dev_text(device()), *text,
		                backing_space_hint(*text, s_->files[0])));
	if (s_->final_error)
		return *s_->final_error;
	return {};
}

} // namespace zep
