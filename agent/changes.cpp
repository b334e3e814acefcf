#include "agent/changes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "agent/control.h"
#include "agent/kernel_log.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zep
{
namespace
{

// How long the owner waits for the drainer to open the control device or finish a flush.
constexpr auto WAIT_TIME = std::chrono::seconds(30);
// Deliveries failing in a row before the drainer gives up: the driver keeps refusing room
// for the array, or every delivery loses its records.
constexpr int MAX_FAILURES = 8;
constexpr int MAX_BATCH = 1 << 20; // the driver refuses larger requests
constexpr size_t MIN_EXTENTS = 16;
// Distinct loss reasons kept; more are counted under one.
constexpr size_t MAX_REASONS = 32;
// The driver logs this each time it marks a change-tracking session as having lost writes.
constexpr const char *CTS_DISABLED = "zep: INFO: CTS has been disabled";

constexpr const char *TRACKING_LOST =
    "the driver reported that change tracking missed writes (a record it could not queue, "
    "the error command, or a last close of the control device)";
constexpr const char *ERROR_COMMAND =
    "the error command was issued: every change-tracking session lost its changes";

std::atomic<uint64_t> drainers_started{0};

// Records carry the minor's low 16 bits only.
kern::dev_t device_key(kern::dev_t dev)
{
	return kern::MKDEV(kern::MAJOR(dev), kern::MINOR(dev) & 0xffff);
}

// A record's sectors as bytes, saturated: they are the driver's word, not checked.
uint64_t end_byte(uint64_t sector, uint64_t count)
{
	uint64_t end = sector > UINT64_MAX - count ? UINT64_MAX : sector + count;
	return end > UINT64_MAX / SECTOR_BYTES ? UINT64_MAX : end * SECTOR_BYTES;
}

// The changed bytes of one device in one interval, merged as they are added, in whole
// grains that grow when the ranges get too many (a coarser range still covers the change).
class extent_map {
public:
	void add(uint64_t start, uint64_t end)
	{
		start -= start % grain_;
		if (end % grain_)
			end = end > UINT64_MAX - grain_ ? UINT64_MAX : end + (grain_ - end % grain_);
		if (end <= start)
			return;
		auto it = r_.upper_bound(start);
		if (it != r_.begin()) {
			auto prev = std::prev(it);
			if (prev->second >= start) {
				start = prev->first;
				end = std::max(end, prev->second);
				r_.erase(prev);
			}
		}
		while (it != r_.end() && it->first <= end) {
			end = std::max(end, it->second);
			it = r_.erase(it);
		}
		r_.emplace_hint(it, start, end);
	}

	// More than max ranges: coarser grains until half as many remain, so that the next
	// additions do not widen again at once.
	void bound(size_t max)
	{
		if (r_.size() <= max)
			return;
		while (r_.size() > max / 2 && grain_ < (uint64_t{1} << 62))
			regrain(grain_ * 2);
	}

	void join(const extent_map &o, size_t max)
	{
		if (o.grain_ > grain_)
			regrain(o.grain_);
		for (auto [s, e] : o.r_)
			add(s, e);
		bound(max);
	}

	void append_to(std::vector<extent> &out) const
	{
		for (auto [s, e] : r_)
			out.push_back({s, e - s});
	}

private:
	void regrain(uint64_t g)
	{
		std::map<uint64_t, uint64_t> old;
		old.swap(r_);
		grain_ = g;
		for (auto [s, e] : old)
			add(s, e);
	}

	std::map<uint64_t, uint64_t> r_; // start -> end: disjoint, not touching
	uint64_t grain_ = SECTOR_BYTES;
};

// The records collected between two marks.
struct interval {
	uint64_t first = 0; // the mark that opened it (0: the drainer's start)
	std::map<kern::dev_t, extent_map> devices;
};

// What the drainer process and its owner share: they are host threads of one program.
struct shared {
	explicit shared(const drainer_options &o) : opts(o) { intervals.emplace_back(); }

	const drainer_options opts;

	kern::machine_mutex m;
	kern::machine_cond cv;
	// The drainer process.
	bool opened = false;   // it holds its control device
	bool ended = false;    // its body is over
	bool stopping = false; // the owner asked it to end
	std::string end_reason; // why it ended without being asked
	// Flushes, numbered. `target` is the newest one a delivery has begun after; `owed` the
	// records still to take for it: those the driver had queued behind that delivery.
	uint64_t flush_asked = 0, flushed = 0, target = 0, owed = 0;
	// Collection.
	uint64_t seq = 0; // the newest mark
	std::deque<interval> intervals;
	std::map<std::string, uint64_t> losses; // reason -> the newest mark it came after
	uint64_t records = 0;

	// Tracking may have missed writes since the newest mark: every mark so far is untrusted.
	void lose(const std::string &why)
	{
		auto it = losses.find(why);
		if (it == losses.end()) {
			const std::string &key =
			    losses.size() < MAX_REASONS ? why : "further losses (see the kernel log)";
			it = losses.emplace(key, seq).first;
		}
		it->second = std::max(it->second, seq);
	}

	// A delivery of the call begun when `asked` flushes had been asked for.
	void absorb(const change_batch &b, uint64_t asked)
	{
		interval &now = intervals.back();
		for (const changed_range &r : b.records) {
			extent_map &e = now.devices[device_key(r.device())];
			e.add(end_byte(r.start_sector, 0), end_byte(r.start_sector, r.sector_count));
			e.bound(opts.max_extents);
		}
		records += b.records.size();
		if (!b.tracking_complete)
			lose(TRACKING_LOST);
		// Every record queued when flush `asked` began is, after this delivery, delivered
		// or among the first `queued` still queued: the queue is first in, first out.
		if (asked > flushed) {
			uint64_t queued = static_cast<uint64_t>(std::max(b.queued, 0));
			uint64_t n = b.records.size();
			if (asked > target) {
				target = asked;
				owed = queued;
			} else {
				owed = owed > n ? owed - n : 0;
			}
			if (queued == 0 || owed == 0)
				flushed = target;
		}
		cv.notify_all();
	}

	// A new interval for the mark being taken; past the limit the two oldest become one.
	uint64_t open_interval()
	{
		intervals.push_back(interval{++seq, {}});
		while (intervals.size() > opts.max_intervals) {
			interval &older = intervals[0], &newer = intervals[1];
			for (auto &[dev, e] : older.devices)
				newer.devices[dev].join(e, opts.max_extents);
			newer.first = older.first;
			intervals.pop_front();
		}
		return seq;
	}

	// The device's extents from the interval holding mark `from` on.
	std::vector<extent> extents_since(kern::dev_t dev, uint64_t from) const
	{
		auto it = std::upper_bound(intervals.begin(), intervals.end(), from,
		                           [](uint64_t v, const interval &i) { return v < i.first; });
		if (it != intervals.begin())
			--it;
		std::vector<extent> v;
		for (; it != intervals.end(); ++it)
			if (auto d = it->devices.find(dev); d != it->devices.end())
				d->second.append_to(v);
		return merge_extents(std::move(v));
	}

	// Waits in the calling process until done() (checked under m) or the deadline; the
	// process gets its signals meanwhile (a getpid every few milliseconds), so a kill still
	// ends it.
	bool wait_until(kern::machine_cond::guard &g, const std::function<bool()> &done)
	{
		return cv.wait_until_ready(g, WAIT_TIME, std::chrono::milliseconds(5), done,
					   [] { kern::sys_getpid(); });
	}
};

// The drainer process: its own control device, then the blocking call in a loop.
int drain(const std::shared_ptr<shared> &sh)
{
	// However the body ends (a failure, or a kill unwinding it), the owner learns it here.
	struct on_end {
		shared &sh;
		std::string why = "it was killed";
		~on_end()
		{
			std::lock_guard<kern::machine_mutex> g(sh.m);
			sh.ended = true;
			if (!sh.stopping)
				sh.end_reason = why;
			sh.cv.notify_all();
		}
	} end{*sh};

	auto c = control::open();
	if (!c) {
		end.why = c.err().message;
		return 1;
	}
	{
		std::lock_guard<kern::machine_mutex> g(sh->m);
		sh->opened = true;
		sh->cv.notify_all();
	}
	int failures = 0, capacity = sh->opts.batch;
	for (;;) {
		uint64_t asked;
		bool flushing;
		{
			std::lock_guard<kern::machine_mutex> g(sh->m);
			if (sh->stopping)
				break;
			asked = sh->flush_asked;
			flushing = asked > sh->flushed;
		}
		// A flush is waiting: take what is queued without waiting for a whole batch.
		if (flushing)
			(void)c->unblock_changes();
		auto b = c->changed_records(capacity);
		std::lock_guard<kern::machine_mutex> g(sh->m);
		if (b) {
			failures = 0;
			capacity = sh->opts.batch;
			sh->absorb(*b, asked);
			continue;
		}
		if (++failures == MAX_FAILURES) {
			end.why = fmt::format("{} deliveries of change records failed in a row, the "
			                      "last: {}",
			                      MAX_FAILURES, b.err().message);
			return 2;
		}
		if (b.err().code == errc::refused)
			capacity = std::max(1, capacity / 2); // no room for the array: queue untouched
		else
			sh->lose("change records taken off the driver's queue were lost: " +
			         b.err().message);
	}
	end.why.clear();
	return 0;
}

} // namespace

struct change_drainer::state {
	std::optional<control> ctl; // the owner's, for the unblock and error commands
	std::shared_ptr<shared> sh;
	uint64_t id = 0;
	kern::pid_t owner = 0, pid = -1;
	log_mark log; // where the last look at the kernel log ended
	bool stopped = false;
	std::optional<error> final_error;

	result<void> usable(const char *what)
	{
		if (stopped)
			return make_error(errc::usage,
			                  fmt::format("{}: the change drainer was stopped; changes "
			                              "since are not collected",
			                              what));
		if (kern::sys_getpid() != owner)
			return make_error(
			    errc::usage,
			    fmt::format("{}: a change drainer is used from the process that started "
			                "it (process {})",
			                what, owner));
		return {};
	}

	// The drainer ended without being asked; sh->m held.
	error gone() const
	{
		return make_error(errc::other,
		                  fmt::format("the change drainer (process {}) ended: {}; changes "
		                              "since are not collected",
		                              pid, sh->end_reason));
	}

	result<void> flush()
	{
		if (auto u = usable("flush of change records"); !u)
			return u.err();
		uint64_t asked;
		{
			std::lock_guard<kern::machine_mutex> g(sh->m);
			if (sh->ended)
				return gone();
			asked = ++sh->flush_asked;
		}
		// Wakes the drainer's call if it is blocked now; one begun later sees the flush.
		if (auto u = ctl->unblock_changes(); !u)
			return u.err();
		{
			kern::machine_cond::guard g(sh->m);
			bool in_time =
			    sh->wait_until(g, [&] { return sh->flushed >= asked || sh->ended; });
			if (sh->flushed < asked) {
				if (sh->ended)
					return gone();
				if (!in_time) {
					std::string why = fmt::format(
					    "a flush of change records did not finish within {} s: the "
					    "drainer (process {}) is stuck",
					    WAIT_TIME.count(), pid);
					sh->lose(why);
					return make_error(errc::timeout, why);
				}
			}
		}
		scan_log();
		return {};
	}

	// The driver logs each change-tracking session it disables. A delivery made while one
	// is disabled says so, but the next start of its device re-enables it: a loss between
	// two deliveries shows only here, or nowhere when the log turned over meanwhile.
	void scan_log()
	{
		bool turned_over = false;
		std::vector<std::string> lines = log.advance(&turned_over);
		std::lock_guard<kern::machine_mutex> g(sh->m);
		if (turned_over)
			sh->lose("the kernel log turned over between two flushes: tracking the driver "
			         "disabled meanwhile would not show");
		for (const std::string &l : lines)
			if (auto at = l.find(CTS_DISABLED); at != std::string::npos)
				sh->lose(fmt::format("the driver disabled change tracking ({})",
				                     l.substr(at)));
	}

	// Ends the drainer process: unblocked from the owner's control device when `polite`,
	// else killed (from another process, or when the unblock fails).
	void end(bool polite)
	{
		bool had_ended;
		std::string why;
		{
			std::lock_guard<kern::machine_mutex> g(sh->m);
			sh->stopping = true;
			had_ended = sh->ended;
			why = sh->end_reason;
		}
		if (!had_ended && !(polite && ctl->unblock_changes()))
			kern::kill(pid, SIGKILL);
		kern::waitpid(pid);
		ctl.reset();
		stopped = true;
		if (had_ended)
			final_error = make_error(
			    errc::other,
			    fmt::format("the change drainer (process {}) had ended before its stop: {}",
			                pid, why));
	}
};

change_drainer::change_drainer(std::unique_ptr<state> s) : s_(std::move(s)) {}
change_drainer::change_drainer(change_drainer &&) noexcept = default;

change_drainer &change_drainer::operator=(change_drainer &&o) noexcept
{
	if (this != &o) {
		if (s_ && !s_->stopped)
			(void)stop();
		s_ = std::move(o.s_);
	}
	return *this;
}

change_drainer::~change_drainer()
{
	if (!s_ || s_->stopped)
		return;
	// A process killed while it stops the drainer politely kills it instead.
	try {
		(void)stop();
	} catch (const kern::task_killed &) {
		if (!s_->stopped)
			s_->end(false);
	}
}

result<change_drainer> change_drainer::start(const drainer_options &o)
{
	if (o.batch < 1 || o.batch > MAX_BATCH || o.max_extents < MIN_EXTENTS ||
	    o.max_intervals < 2)
		return make_error(
		    errc::usage,
		    fmt::format("change drainer: a batch of {} records (1 to {}), {} extents (at "
		                "least {}), {} intervals (at least 2)",
		                o.batch, MAX_BATCH, o.max_extents, MIN_EXTENTS, o.max_intervals));
	auto c = control::open();
	if (!c)
		return c.err();
	auto s = std::make_unique<state>();
	s->ctl.emplace(std::move(*c));
	s->sh = std::make_shared<shared>(o);
	s->id = ++drainers_started;
	s->owner = kern::sys_getpid();
	s->pid = kern::spawn(PROCESS_NAME, [sh = s->sh] { return drain(sh); });
	if (s->pid < 0)
		return make_error(errc::other,
		                  fmt::format("change drainer: its process could not be started: {}",
		                              std::strerror(-s->pid)),
		                  s->pid);

	kern::machine_cond::guard g(s->sh->m);
	bool in_time = s->sh->wait_until(g, [&] { return s->sh->opened || s->sh->ended; });
	if (s->sh->opened && !s->sh->ended) {
		g.unlock();
		return change_drainer(std::move(s));
	}
	std::string why = s->sh->ended ? s->sh->end_reason
	                               : fmt::format("it did not open the control device within "
	                                             "{} s",
	                                             WAIT_TIME.count());
	bool ended = s->sh->ended;
	g.unlock();
	if (!ended)
		kern::kill(s->pid, SIGKILL);
	kern::waitpid(s->pid);
	return make_error(in_time ? errc::other : errc::timeout, "change drainer: " + why);
}

change_mark change_drainer::mark()
{
	if (!s_)
		return {};
	auto f = s_->flush();
	std::lock_guard<kern::machine_mutex> g(s_->sh->m);
	if (!f)
		s_->sh->lose("a flush before a mark failed: " + f.err().message);
	return change_mark(s_->id, s_->sh->open_interval());
}

result<void> change_drainer::flush()
{
	if (!s_)
		return make_error(errc::usage, "flush of a change drainer that was moved away");
	return s_->flush();
}

collected_changes change_drainer::changes_since(kern::dev_t device, const change_mark &m)
{
	collected_changes out;
	std::vector<std::string> why;
	if (!s_)
		why.push_back("the change drainer was moved away");
	else if (!m.valid())
		why.push_back("no mark was taken");
	else if (m.drainer_ != s_->id)
		why.push_back(fmt::format(
		    "the mark was taken by change drainer {}, not by this one ({}): records between "
		    "the two were collected by neither, and a last close of the control device "
		    "between them lets the driver drop its queue",
		    m.drainer_, s_->id));
	else if (auto f = s_->flush(); !f)
		why.push_back(f.err().message);
	if (s_) {
		bool mine = m.valid() && m.drainer_ == s_->id;
		std::lock_guard<kern::machine_mutex> g(s_->sh->m);
		out.changes.extents = s_->sh->extents_since(device_key(device), mine ? m.seq_ : 0);
		if (mine)
			for (const auto &[reason, at] : s_->sh->losses)
				if (at >= m.seq_)
					why.push_back(reason);
	}
	out.changes.complete = why.empty();
	for (const std::string &w : why)
		out.reason += (out.reason.empty() ? "" : "; ") + w;
	return out;
}

result<void> change_drainer::fail_tracking()
{
	if (!s_)
		return make_error(errc::usage, "error command of a change drainer that was moved away");
	{
		std::lock_guard<kern::machine_mutex> g(s_->sh->m);
		s_->sh->lose(ERROR_COMMAND);
	}
	if (auto u = s_->usable("error command"); !u)
		return u.err();
	return s_->ctl->fail_change_tracking();
}

result<void> change_drainer::stop()
{
	if (!s_)
		return make_error(errc::usage, "stop of a change drainer that was moved away");
	if (!s_->stopped)
		s_->end(kern::sys_getpid() == s_->owner);
	if (s_->final_error)
		return *s_->final_error;
	return {};
}

bool change_drainer::running() const
{
	if (!s_ || s_->stopped)
		return false;
	std::lock_guard<kern::machine_mutex> g(s_->sh->m);
	return !s_->sh->ended;
}

kern::pid_t change_drainer::pid() const
{
	return s_ ? s_->pid : -1;
}

uint64_t change_drainer::records() const
{
	if (!s_)
		return 0;
	std::lock_guard<kern::machine_mutex> g(s_->sh->m);
	return s_->sh->records;
}

} // namespace zep
