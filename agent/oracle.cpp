#include "agent/oracle.h"
#include "agent/backup_io.h"

#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <random>
#include <system_error>

#include <fmt/format.h>

#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "kernel/core/time.h"

namespace zep::oracle {

nanos now()
{
	kern::timespec t = kern::current_kernel_time();
	return static_cast<nanos>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

namespace {

std::string format_time(nanos t)
{
	if (t == not_completed)
		return "never";
	return fmt::format("{}.{:09}", t / 1000000000, t % 1000000000);
}

// ---- stamp layout: magic, sector, seq, writer, zero, payload, checksum of all before it ----

constexpr std::uint64_t stamp_magic = 0x4c4341524f50455aull;	// "ZEPORACL"
constexpr std::size_t at_sector = 8, at_seq = 16, at_writer = 24, header_bytes = 32;
constexpr std::size_t at_checksum = sector_bytes - 8;

template <typename T> void put(unsigned char *p, T v) { std::memcpy(p, &v, sizeof(T)); }
template <typename T> T get(const unsigned char *p)
{
	T v;
	std::memcpy(&v, p, sizeof(T));
	return v;
}

void stamp_sector(unsigned char *p, std::uint64_t sector, stamp_id id)
{
	std::memset(p, 0, header_bytes);
	put(p, stamp_magic);
	put(p + at_sector, sector);
	put(p + at_seq, id.seq);
	put(p + at_writer, id.writer);
	// A payload that differs per sector and write, so that content from elsewhere shows.
	const XXH64_hash_t seed = XXH3_64bits(p, header_bytes);
	for (std::size_t at = header_bytes; at < at_checksum; at += 8)
		put(p + at, static_cast<std::uint64_t>(XXH3_64bits_withSeed(&at, sizeof(at), seed)));
	put(p + at_checksum, static_cast<std::uint64_t>(XXH3_64bits(p, at_checksum)));
}

std::string errno_text(long err)
{
	return std::error_code(static_cast<int>(-err), std::generic_category()).message();
}

// A device node opened in the calling process with a staging buffer of `piece` bytes.
class device_io {
public:
	device_io(const std::string &device, open_mode mode, std::size_t piece)
	{
		auto f = sys_file::open(device, mode);
		if (!f) {
			problem_ = in_context(f.err(), "cannot open " + device);
			return;
		}
		auto b = user_buffer::map(piece);
		if (!b) {
			problem_ = in_context(b.err(), "staging buffer for " + device);
			return;
		}
		file_.emplace(std::move(*f));
		buf_.emplace(std::move(*b));
	}

	// Whether the node opened and the buffer is mapped.
	result<void> ready() const
	{
		if (problem_)
			return *problem_;
		return {};
	}

	result<void> write(const unsigned char *src, std::size_t n, std::uint64_t sector)
	{
		BACKUP_TRY(buf_->put(0, src, n));
		return what(file_->write(*buf_, 0, n, offset(sector)), "write", n, sector);
	}

	result<void> read(unsigned char *dst, std::size_t n, std::uint64_t sector)
	{
		BACKUP_TRY(what(file_->read(*buf_, 0, n, offset(sector)), "read", n, sector));
		return buf_->get(0, dst, n);
	}

private:
	static std::uint64_t offset(std::uint64_t sector) { return sector * sector_bytes; }

	static result<void> what(result<void> r, const char *op, std::size_t n, std::uint64_t sector)
	{
		if (r)
			return r;
		return in_context(r.err(), fmt::format("{} of {} bytes at sector {}", op, n, sector));
	}

	std::optional<error> problem_;
	std::optional<sys_file> file_;
	std::optional<user_buffer> buf_;
};

} // namespace

std::string to_string(stamp_id id)
{
	if (id.initial())
		return "the initial fill";
	return fmt::format("writer {} write {}", id.writer, id.seq);
}

void stamp(std::span<unsigned char> out, std::uint64_t first_sector, stamp_id id)
{
	for (std::size_t i = 0; i + sector_bytes <= out.size(); i += sector_bytes)
		stamp_sector(out.data() + i, first_sector + i / sector_bytes, id);
}

reading verify(std::span<const unsigned char> in, std::uint64_t sector)
{
	reading r;
	const unsigned char *p = in.data();
	if (in.size() != sector_bytes || get<std::uint64_t>(p) != stamp_magic) {
		r.fault = fault::no_stamp;
		return r;
	}
	r.meant_for = get<std::uint64_t>(p + at_sector);
	r.id = {get<std::uint32_t>(p + at_writer), get<std::uint64_t>(p + at_seq)};
	if (get<std::uint64_t>(p + at_checksum) != XXH3_64bits(p, at_checksum))
		r.fault = fault::checksum;
	else if (r.meant_for != sector)
		r.fault = fault::misplaced;
	return r;
}

std::string reading::describe() const
{
	switch (fault) {
	case fault::none:
		return to_string(id);
	case fault::no_stamp:
		return "no stamp";
	case fault::checksum:
		return fmt::format("a torn or corrupt stamp (claims {} for sector {})", to_string(id), meant_for);
	case fault::misplaced:
		return fmt::format("{} meant for sector {}", to_string(id), meant_for);
	}
	return "?";
}

std::string write_record::describe() const
{
	return fmt::format("{} of sectors [{}, {}) submitted at {}, completed at {}", to_string(id), first,
			   first + count, format_time(submitted), format_time(completed));
}

// ---- device helpers ----

namespace {

constexpr std::size_t io_piece = 1 << 20;

result<void> check_range(sector_range range)
{
	if (range.count == 0)
		return make_error(errc::usage, "the sector range is empty");
	if (range.end() < range.first || range.end() > (std::uint64_t{1} << 54))
		return make_error(errc::usage, fmt::format("sector range [{}, +{}) is beyond any device", range.first,
							  range.count));
	return {};
}

} // namespace

result<void> prefill(const std::string &device, sector_range range)
{
	if (auto r = check_range(range); !r)
		return r;
	device_io io(device, open_mode::write, io_piece);
	if (auto r = io.ready(); !r)
		return r;
	std::vector<unsigned char> piece(io_piece);
	for (std::uint64_t s = range.first; s < range.end();) {
		std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(range.end() - s, io_piece / sector_bytes));
		stamp(std::span(piece).first(n * sector_bytes), s, stamp_id{});
		if (auto r = io.write(piece.data(), n * sector_bytes, s); !r)
			return r;
		s += n;
	}
	return {};
}

result<write_record> write_stamped(const std::string &device, std::uint64_t first, std::uint32_t count, stamp_id id)
{
	if (count == 0)
		return make_error(errc::usage, "a write covers at least one sector");
	device_io io(device, open_mode::write, count * sector_bytes);
	if (auto r = io.ready(); !r)
		return r.err();
	std::vector<unsigned char> data(count * sector_bytes);
	stamp(data, first, id);
	write_record rec{id, first, count, 0, not_completed};
	rec.submitted = now();
	auto r = io.write(data.data(), data.size(), first);
	rec.completed = now();
	if (!r)
		return make_error(r.err().code, r.err().message + " (it may have reached the device in part)",
				  r.err().detail);
	return rec;
}

// ---- writers ----

struct writer_set::state {
	writer_options opt;
	std::atomic<bool> stopping{false};

	kern::machine_mutex lock;	// guards what follows
	kern::machine_cond changed;
	std::vector<std::vector<write_record>> logs;	// per writer
	std::uint64_t completed = 0;
	unsigned running = 0;
	std::string failure;	// the first writer's failure

	std::vector<kern::pid_t> pids;	// the owner's: started and not yet waited for

	void fail(std::string why)
	{
		{
			std::lock_guard g(lock);
			if (failure.empty())
				failure = std::move(why);
		}
		changed.notify_all();
	}

	// The part of the range writer w writes in.
	sector_range area(unsigned w) const
	{
		if (opt.overlap == overlap::shared)
			return opt.range;
		std::uint64_t a = opt.range.first + opt.range.count * w / opt.writers;
		std::uint64_t b = opt.range.first + opt.range.count * (w + 1) / opt.writers;
		return {a, b - a};
	}

	int run(unsigned w);
	void rest();
};

namespace {

std::uint64_t align_up(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }

// Tells the waiters when a writer's process ends, however it ends.
struct running_guard {
	writer_set::state &s;
	~running_guard()
	{
		{
			std::lock_guard g(s.lock);
			s.running--;
		}
		s.changed.notify_all();
	}
};

} // namespace

int writer_set::state::run(unsigned w)
{
	running_guard guard{*this};
	device_io io(opt.device, open_mode::write, opt.max_bytes);
	if (auto r = io.ready(); !r) {
		fail(fmt::format("writer {}: {}", w, r.err().message));
		return 1;
	}
	std::seed_seq seq{static_cast<std::uint32_t>(opt.seed), static_cast<std::uint32_t>(opt.seed >> 32), w};
	std::mt19937_64 rng(seq);
	const sector_range part = area(w);
	const std::uint64_t align = opt.alignment / sector_bytes;
	const std::uint64_t lo = align_up(part.first, align);
	std::uniform_int_distribution<std::uint64_t> size(opt.min_bytes / sector_bytes, opt.max_bytes / sector_bytes);
	std::vector<unsigned char> data(opt.max_bytes);

	for (std::uint64_t n = 1; !stopping && (opt.writes_each == 0 || n <= opt.writes_each); n++) {
		std::uint64_t len = std::min(size(rng), part.end() - lo);
		std::uint64_t first = lo + align * std::uniform_int_distribution<std::uint64_t>(
							   0, (part.end() - len - lo) / align)(rng);
		write_record rec{{w, n}, first, static_cast<std::uint32_t>(len), 0, not_completed};
		std::size_t bytes = len * sector_bytes;
		stamp(std::span(data).first(bytes), first, rec.id);
		std::size_t at;
		rec.submitted = now();
		{
			std::lock_guard g(lock);
			logs[w].push_back(rec);
			at = logs[w].size() - 1;
		}
		auto r = io.write(data.data(), bytes, first);
		nanos done = now();
		if (!r) {
			// Its record stays without completion: it may have landed in part, or not.
			fail(fmt::format("writer {}: {}", w, r.err().message));
			return 1;
		}
		{
			std::lock_guard g(lock);
			logs[w][at].completed = done;
			completed++;
		}
		changed.notify_all();
		rest();
	}
	return 0;
}

void writer_set::state::rest()
{
	// On the machine's clock and woken by a stop, so that a stop is not kept waiting.
	if (opt.pause.count() == 0)
		return;
	kern::machine_cond::guard g(lock);
	changed.wait_until_ready(g, opt.pause, opt.pause, [&] { return stopping.load(); }, [] {});
}

result<writer_set> writer_set::start(const writer_options &opt)
{
	if (opt.device.empty())
		return make_error(errc::usage, "writers need a device node");
	if (auto r = check_range(opt.range); !r)
		return r.err();
	if (opt.writers == 0 || opt.writers >= initial_writer)
		return make_error(errc::usage, fmt::format("{} writers: give at least one", opt.writers));
	if (opt.min_bytes == 0 || opt.min_bytes % sector_bytes || opt.max_bytes % sector_bytes ||
	    opt.min_bytes > opt.max_bytes)
		return make_error(errc::usage, fmt::format("write sizes {}..{}: give multiples of 512, smallest first",
							  opt.min_bytes, opt.max_bytes));
	if (opt.alignment == 0 || opt.alignment % sector_bytes)
		return make_error(errc::usage, fmt::format("alignment {}: give a multiple of 512", opt.alignment));
	auto s = std::make_shared<state>();
	s->opt = opt;
	for (unsigned w = 0; w < opt.writers; w++) {
		sector_range part = s->area(w);
		if (align_up(part.first, opt.alignment / sector_bytes) >= part.end())
			return make_error(errc::usage,
					  fmt::format("writer {}'s part of the range, [{}, {}), holds no offset aligned to {}",
						      w, part.first, part.end(), opt.alignment));
	}
	s->logs.resize(opt.writers);
	s->running = opt.writers;
	writer_set set(s);
	for (unsigned w = 0; w < opt.writers; w++) {
		kern::pid_t pid = kern::spawn(fmt::format("owriter{}", w), [s, w] { return s->run(w); });
		if (pid < 0) {
			{
				std::lock_guard g(s->lock);
				s->running -= opt.writers - w;
			}
			(void)set.stop();
			return make_error(errc::other, fmt::format("cannot start writer {}: {}", w, errno_text(pid)), pid);
		}
		s->pids.push_back(pid);
	}
	return set;
}

writer_set::writer_set(std::shared_ptr<state> s) : s_(std::move(s)) {}
writer_set::writer_set(writer_set &&) noexcept = default;

writer_set &writer_set::operator=(writer_set &&o) noexcept
{
	if (this != &o) {
		if (s_ && kern::booted())
			(void)stop();
		s_ = std::move(o.s_);
	}
	return *this;
}

writer_set::~writer_set()
{
	// After a halt the processes are gone with the machine.
	if (s_ && kern::booted())
		(void)stop();
}

result<void> writer_set::wait_for_writes(std::uint64_t n, unsigned timeout_ms) const
{
	std::unique_lock g(s_->lock);
	bool settled = s_->changed.wait_until_ready(
	    g, std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(timeout_ms),
	    [&] { return s_->completed >= n || !s_->failure.empty() || s_->running == 0; }, [] {});
	if (!s_->failure.empty())
		return make_error(errc::io, s_->failure);
	if (s_->completed >= n)
		return {};
	if (!settled)
		return make_error(errc::timeout, fmt::format("{} of {} writes completed in {} ms", s_->completed, n,
							    timeout_ms));
	return make_error(errc::usage, fmt::format("the writers ended after {} of {} writes", s_->completed, n));
}

result<void> writer_set::stop()
{
	{
		std::lock_guard g(s_->lock);
		s_->stopping = true;
	}
	s_->changed.notify_all();
	std::string ended;
	for (kern::pid_t pid : s_->pids) {
		int code = kern::waitpid(pid);
		if (code != 0 && ended.empty())
			ended = fmt::format("writer process {} ended with {}", pid, code);
	}
	s_->pids.clear();
	std::lock_guard g(s_->lock);
	if (!s_->failure.empty())
		return make_error(errc::io, s_->failure);
	if (!ended.empty())
		return make_error(errc::other, ended);
	return {};
}

std::uint64_t writer_set::writes_completed() const
{
	std::lock_guard g(s_->lock);
	return s_->completed;
}

std::vector<write_record> writer_set::log() const
{
	std::lock_guard g(s_->lock);
	std::vector<write_record> all;
	for (const auto &l : s_->logs)
		all.insert(all.end(), l.begin(), l.end());
	return all;
}

// ---- the window ----

start_timing start_timing::of(nanos issued, nanos returned, const snap_shot_request &answer)
{
	auto span = [](std::uint32_t sec, std::uint32_t nsec) {
		return static_cast<nanos>(sec) * 1000000000 + static_cast<nanos>(nsec);
	};
	return {issued, returned, span(answer.sec_get_freez, answer.nsec_get_freez),
		span(answer.sec_froze, answer.nsec_froze)};
}

start_timing start_timing::of(const started_session &s)
{
	return {s.issued_ns, s.returned_ns, static_cast<nanos>(s.freeze.get_freeze.ns()),
		static_cast<nanos>(s.freeze.frozen.ns())};
}

result<freeze_window> safe_window(const start_timing &t)
{
	if (t.returned < t.issued)
		return make_error(errc::usage, fmt::format("the start command returned at {}, before it was issued at {}",
							  format_time(t.returned), format_time(t.issued)));
	if (t.to_freeze < 0 || t.to_freeze > t.frozen)
		return make_error(errc::usage, fmt::format("getting the freeze took {} ns of a freeze of {} ns",
							  t.to_freeze, t.frozen));
	if (t.frozen > t.returned - t.issued)
		return make_error(errc::usage,
				  fmt::format("the freeze lasted {} ns but the start command only {} ns: are both "
					      "measured on the machine's clock?",
					      t.frozen, t.returned - t.issued));
	return freeze_window{t.issued + t.to_freeze, t.returned, t.frozen - t.to_freeze};
}

// ---- checking ----

std::string to_string(verdict v)
{
	switch (v) {
	case verdict::allowed:
		return "allowed";
	case verdict::corrupt:
		return "corrupt";
	case verdict::unknown:
		return "unknown";
	case verdict::too_old:
		return "too old";
	case verdict::too_new:
		return "too new";
	}
	return "?";
}

std::string finding::describe() const
{
	std::string s = fmt::format("sector {}: {}: holds {}", sector, to_string(verdict), held.describe());
	if (shown)
		s += fmt::format(", submitted at {}", format_time(shown->submitted));
	if (verdict == verdict::unknown)
		s += ", a write the log does not show covering it";
	if (superseded_by)
		s += fmt::format(", overwritten by {} completed at {}", to_string(superseded_by->id),
				 format_time(superseded_by->completed));
	return s;
}

bool report::ok() const { return sectors > 0 && allowed == sectors && !(fit && fit->empty()); }

std::string report::summary() const
{
	std::string s = fmt::format("{} sectors: {} intact, {} allowed ({} the initial fill), {} corrupt, {} unknown, "
				    "{} too old, {} too new",
				    sectors, intact, allowed, initial, corrupt, unknown, too_old, too_new);
	if (fit && !fit->empty())
		s += fmt::format("; frozen between {} and {}", format_time(fit->earliest), format_time(fit->latest));
	for (const finding &f : findings)
		s += "\n" + f.describe();
	if (fit && fit->empty()) {
		auto by = [](const std::optional<std::uint64_t> &sector) {
			return sector ? fmt::format("sector {}", *sector) : std::string("the window");
		};
		s += fmt::format("\nno single freeze explains the image: {} needs it frozen at {} or later, {} at {} or "
				 "earlier",
				 by(fit->earliest_set_by), format_time(fit->earliest), by(fit->latest_set_by),
				 format_time(fit->latest));
	}
	return s;
}

result<history> history::build(sector_range range, std::vector<write_record> log)
{
	if (auto r = check_range(range); !r)
		return r.err();
	if (range.count >= (std::uint64_t{1} << 32) || log.size() >= 0xffffffffu)
		return make_error(errc::usage, "too large a history: check the range in parts");
	for (const write_record &w : log) {
		if (w.id.initial())
			return make_error(errc::usage, "the log names the initial fill as a write");
		if (w.count == 0 || w.first < range.first || w.first + w.count > range.end())
			return make_error(errc::usage, fmt::format("{} is outside sectors [{}, {})", w.describe(),
								  range.first, range.end()));
		if (w.submitted <= 0)
			return make_error(errc::usage, fmt::format("{} is no later than the initial fill", w.describe()));
		if (w.completed < w.submitted)
			return make_error(errc::usage, fmt::format("{} completed before it was submitted", w.describe()));
	}
	std::stable_sort(log.begin(), log.end(),
			 [](const write_record &a, const write_record &b) { return a.submitted < b.submitted; });

	history h;
	h.range_ = range;
	h.writes_.reserve(log.size() + 1);
	h.writes_.push_back({stamp_id{}, range.first, static_cast<std::uint32_t>(range.count), 0, 0});
	h.writes_.insert(h.writes_.end(), log.begin(), log.end());

	h.by_id_.reserve(h.writes_.size());
	for (std::uint32_t i = 0; i < h.writes_.size(); i++)
		h.by_id_.emplace_back(h.writes_[i].id, i);
	auto id_less = [](const auto &a, const auto &b) {
		return a.first.writer != b.first.writer ? a.first.writer < b.first.writer : a.first.seq < b.first.seq;
	};
	std::sort(h.by_id_.begin(), h.by_id_.end(), id_less);
	auto twin = std::adjacent_find(h.by_id_.begin(), h.by_id_.end(),
				       [](const auto &a, const auto &b) { return a.first == b.first; });
	if (twin != h.by_id_.end())
		return make_error(errc::usage, fmt::format("the log holds {} twice", to_string(twin->first)));

	// Per sector, its writes in order of submission (the order of writes_).
	const std::size_t n = static_cast<std::size_t>(range.count);
	h.start_.assign(n + 1, 0);
	for (const write_record &w : h.writes_) {
		h.start_[w.first - range.first + 1]++;
		if (w.first + w.count - range.first + 1 <= n)
			h.start_[w.first + w.count - range.first + 1]--;
	}
	for (std::size_t s = 1; s <= n; s++)
		h.start_[s] += h.start_[s - 1];	// now the number of writes covering sector s - 1
	for (std::size_t s = 1; s <= n; s++)
		h.start_[s] += h.start_[s - 1];
	h.entries_.resize(h.start_[n]);
	std::vector<std::uint64_t> fill(h.start_.begin(), h.start_.end() - 1);
	for (std::uint32_t i = 0; i < h.writes_.size(); i++)
		for (std::uint64_t s = h.writes_[i].first; s < h.writes_[i].first + h.writes_[i].count; s++)
			h.entries_[fill[s - range.first]++] = {i, i};
	for (std::size_t s = 0; s < n; s++) {
		std::uint32_t best = h.entries_[h.start_[s + 1] - 1].write;
		for (std::uint64_t e = h.start_[s + 1]; e-- > h.start_[s];) {
			if (h.writes_[h.entries_[e].write].completed < h.writes_[best].completed)
				best = h.entries_[e].write;
			h.entries_[e].earliest_after = best;
		}
	}
	return h;
}

std::span<const history::entry> history::entries(std::uint64_t sector) const
{
	std::size_t s = static_cast<std::size_t>(sector - range_.first);
	return std::span(entries_).subspan(start_[s], start_[s + 1] - start_[s]);
}

std::optional<std::uint32_t> history::index_of(stamp_id id) const
{
	auto it = std::lower_bound(by_id_.begin(), by_id_.end(), id, [](const auto &a, stamp_id b) {
		return a.first.writer != b.writer ? a.first.writer < b.writer : a.first.seq < b.seq;
	});
	if (it == by_id_.end() || !(it->first == id))
		return std::nullopt;
	return it->second;
}

std::vector<write_record> history::of(std::uint64_t sector) const
{
	std::vector<write_record> out;
	if (range_.contains(sector))
		for (const entry &e : entries(sector))
			out.push_back(writes_[e.write]);
	return out;
}

std::optional<write_record> history::find(stamp_id id) const
{
	if (auto i = index_of(id))
		return writes_[*i];
	return std::nullopt;
}

result<report> history::check(image_view image, const freeze_window &window) const
{
	if (image.bytes.size() % sector_bytes)
		return make_error(errc::usage, fmt::format("an image of {} bytes is not whole sectors", image.bytes.size()));
	std::uint64_t image_end = image.first + image.bytes.size() / sector_bytes;
	if (image.first > range_.first || image_end < range_.end())
		return make_error(errc::usage, fmt::format("the image holds sectors [{}, {}), not all of [{}, {})",
							  image.first, image_end, range_.first, range_.end()));
	if (window.frozen_from > window.thawed_by ||
	    (window.frozen_for && (*window.frozen_for < 0 || *window.frozen_for > window.thawed_by - window.frozen_from)))
		return make_error(errc::usage, fmt::format("no freeze fits the window [{}, {}]", format_time(window.frozen_from),
							  format_time(window.thawed_by)));

	report rep;
	std::size_t examples[5] = {};
	auto note = [&](finding f) {
		if (examples[static_cast<int>(f.verdict)]++ < report::max_examples)
			rep.findings.push_back(std::move(f));
	};
	if (window.frozen_for)
		rep.fit = report::freeze_fit{window.frozen_from, window.thawed_by - *window.frozen_for, {}, {}};

	for (std::uint64_t s = range_.first; s < range_.end(); s++) {
		rep.sectors++;
		finding f{s, verdict::allowed, verify(image.bytes.subspan((s - image.first) * sector_bytes, sector_bytes), s),
			  {}, {}};
		if (!f.held.intact()) {
			rep.corrupt++;
			f.verdict = verdict::corrupt;
			note(std::move(f));
			continue;
		}
		rep.intact++;
		auto index = index_of(f.held.id);
		const write_record *w = index ? &writes_[*index] : nullptr;
		if (!w || s < w->first || s >= w->first + w->count) {
			rep.unknown++;
			f.verdict = verdict::unknown;
			if (w)
				f.shown = *w;
			note(std::move(f));
			continue;
		}
		f.shown = *w;
		// The writes submitted after w completed, and the first of them to complete.
		auto list = entries(s);
		auto later = std::upper_bound(list.begin(), list.end(), w->completed,
					      [&](nanos t, const entry &e) { return t < writes_[e.write].submitted; });
		const write_record *next = later == list.end() ? nullptr : &writes_[later->earliest_after];
		if (w->submitted > window.thawed_by) {
			rep.too_new++;
			f.verdict = verdict::too_new;
		} else if (next && next->completed < window.frozen_from) {
			rep.too_old++;
			f.verdict = verdict::too_old;
			f.superseded_by = *next;
		} else {
			rep.allowed++;
			rep.initial += w->id.initial();
			if (rep.fit) {
				if (w->submitted - *window.frozen_for > rep.fit->earliest) {
					rep.fit->earliest = w->submitted - *window.frozen_for;
					rep.fit->earliest_set_by = s;
				}
				if (next && next->completed < rep.fit->latest) {
					rep.fit->latest = next->completed;
					rep.fit->latest_set_by = s;
				}
			}
			continue;
		}
		note(std::move(f));
	}
	return rep;
}

result<report> history::check_device(const std::string &device, const freeze_window &window) const
{
	device_io io(device, open_mode::read, io_piece);
	if (auto r = io.ready(); !r)
		return r.err();
	std::vector<unsigned char> image(static_cast<std::size_t>(range_.count) * sector_bytes);
	for (std::uint64_t s = range_.first; s < range_.end();) {
		std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(range_.end() - s, io_piece / sector_bytes));
		if (auto r = io.read(image.data() + (s - range_.first) * sector_bytes, n * sector_bytes, s); !r)
			return r.err();
		s += n;
	}
	return check(image_view{image, range_.first}, window);
}

} // namespace zep::oracle
