#include "agent/source_readers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

#include "agent/backup_io.h"
#include "agent/manifest.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zep {

namespace {

// Waits on the host's condition end this often, for a system call that lets a fatal signal
// end the process: a process killed while it waits leaves as it would from a read.
constexpr auto SIGNAL_POLL = std::chrono::milliseconds(20);
// Readers wait on each other without a deadline: a year is none.
constexpr auto NO_LIMIT = std::chrono::hours(24 * 365);

void deliver_signals()
{
	(void)kern::sys_getpid();
}

} // namespace

prepared_piece prepare_piece(uint64_t start, std::span<const unsigned char> bytes,
			     piece_compressor *c)
{
	prepared_piece p{.start = start, .length = bytes.size()};
	if (all_zero(bytes)) {
		p.zero = true;
		return p;
	}
	if (c)
		if (auto frame = c->compress(bytes))
			p.frame.assign(frame->begin(), frame->end());
	return p;
}

// Shared by the backup's process and its readers, in host memory. Batch i is read into
// slot i % window; a reader takes it only once the backup has taken batch i - window, so at
// most `window` batches are held at a time.
struct source_readers::state {
	enum class slot_state { free, reading, done, failed };
	struct slot {
		slot_state st = slot_state::free;
		std::optional<read_batch> batch;
		std::optional<error> err;
	};

	explicit state(read_plan p) : plan(std::move(p)) {}

	read_plan plan;
	size_t window = 0;
	kern::machine_mutex lock;
	kern::machine_cond changed;
	std::vector<slot> slots;
	size_t next = 0;	// the next batch a reader takes
	size_t taken = 0;	// batches the backup took
	int live = 0;		// readers that have not ended
	bool stopping = false;
	std::vector<kern::pid_t> pids;

	slot &at(size_t i) { return slots[i % window]; }

	// Waits for `ready` (under g); a fatal signal meanwhile ends the calling process.
	template <typename F> void wait(kern::machine_cond::guard &g, F ready)
	{
		changed.wait_until_ready(g, NO_LIMIT, SIGNAL_POLL, ready, deliver_signals);
	}

	void finish(size_t i, result<read_batch> r)
	{
		std::lock_guard g(lock);
		slot &s = at(i);
		if (r) {
			s.batch = std::move(r).value();
			s.st = slot_state::done;
		} else {
			s.err = r.err();
			s.st = slot_state::failed;
		}
		changed.notify_all();
	}
};

namespace {

// One batch read into buf, copied out, checksummed and prepared.
result<read_batch> read_one(const read_plan &p, const sys_file &f, user_buffer &buf,
			    piece_compressor *c, const extent &range)
{
	read_batch b{.range = range};
	const size_t n = static_cast<size_t>(range.length);
	BACKUP_TRY(f.read(buf, 0, n, range.start));
	b.bytes.resize(n);
	BACKUP_TRY(buf.get(0, b.bytes.data(), n));
	for (size_t off = 0; off < n; off += p.chunk_size) {
		uint64_t ci = (range.start + off) / p.chunk_size;
		uint64_t cstart = ci * p.chunk_size;
		const extent chunk{cstart, std::min<uint64_t>(p.chunk_size, p.image_size - cstart)};
		std::span<const unsigned char> bytes(b.bytes.data() + off, chunk.length);
		chunk_result cr{.index = ci, .checksum = chunk_checksum(bytes)};
		bool differs = cr.checksum != p.parent_checksums[ci];
		for (const extent &piece : p.select(chunk, differs)) {
			size_t in = static_cast<size_t>(piece.start - chunk.start);
			cr.pieces.push_back(
				prepare_piece(piece.start, bytes.subspan(in, piece.length), c));
		}
		b.chunks.push_back(std::move(cr));
	}
	return b;
}

// A reader's way out, also when a fatal signal unwinds it: the batch it held fails, and the
// backup learns that one reader fewer runs.
struct reader_exit {
	source_readers::state &s;
	std::optional<size_t> holding;
	~reader_exit()
	{
		std::lock_guard g(s.lock);
		if (holding) {
			const extent &r = s.plan.batches[*holding];
			auto &sl = s.at(*holding);
			sl.err = make_error(errc::io,
					    fmt::format("a reader process of {} ended while it read "
							"bytes {}-{}",
							s.plan.node, r.start, r.end() - 1));
			sl.st = source_readers::state::slot_state::failed;
		}
		s.live--;
		s.changed.notify_all();
	}
};

int reader_main(const std::shared_ptr<source_readers::state> &sp)
{
	source_readers::state &s = *sp;
	reader_exit out{s, std::nullopt};
	const read_plan &p = s.plan;
	// A reader that cannot start fails the first batch it takes with the reason.
	std::optional<error> broken;
	std::optional<sys_file> f;
	std::optional<user_buffer> buf;
	if (auto opened = sys_file::open(p.node, open_mode::read); !opened)
		broken = in_context(opened.err(), "cannot read the source");
	else
		f = std::move(opened).value();
	uint64_t largest = 0;
	for (const extent &b : p.batches)
		largest = std::max(largest, b.length);
	if (!broken) {
		if (auto mapped = user_buffer::map(static_cast<size_t>(largest)); !mapped)
			broken = mapped.err();
		else
			buf = std::move(mapped).value();
	}
	std::optional<piece_compressor> compressor;
	if (p.compression.on())
		compressor.emplace(p.compression.level);

	for (;;) {
		size_t i;
		{
			std::unique_lock g(s.lock);
			s.wait(g, [&] {
				return s.stopping || s.next >= p.batches.size() ||
				       s.next < s.taken + s.window;
			});
			if (s.stopping || s.next >= p.batches.size())
				return 0;
			i = s.next++;
			s.at(i).st = source_readers::state::slot_state::reading;
			out.holding = i;
		}
		result<read_batch> r =
			broken ? result<read_batch>(*broken)
			       : read_one(p, *f, *buf, compressor ? &*compressor : nullptr,
					  p.batches[i]);
		bool ok = r.ok();
		s.finish(i, std::move(r));
		out.holding.reset();
		if (!ok)
			return 0;	// the backup fails when it comes to that batch
	}
}

} // namespace

source_readers::source_readers(std::shared_ptr<state> s) : s_(std::move(s)) {}
source_readers::source_readers(source_readers &&o) noexcept = default;

source_readers::~source_readers()
{
	stop();
}

void source_readers::stop()
{
	if (!s_)
		return;
	{
		std::lock_guard g(s_->lock);
		s_->stopping = true;
		s_->changed.notify_all();
	}
	for (kern::pid_t pid : s_->pids)
		kern::waitpid(pid);
	s_->pids.clear();
	s_.reset();
}

int source_readers::readers() const
{
	return static_cast<int>(s_->pids.size());
}

result<source_readers> source_readers::start(read_plan plan)
{
	if (plan.readers < 1 || plan.readers > MAX_READERS)
		return make_error(errc::usage, fmt::format("{} readers: give 1 to {}", plan.readers,
							   MAX_READERS));
	auto s = std::make_shared<state>(std::move(plan));
	const size_t wanted =
		std::min<size_t>(static_cast<size_t>(s->plan.readers), s->plan.batches.size());
	// Two batches a reader: each has one to hand over while it reads the next.
	s->window = std::max<size_t>(2 * wanted, 1);
	s->slots.resize(s->window);
	source_readers r(s);
	long failed = 0;
	for (size_t t = 0; t < wanted; t++) {
		{
			std::lock_guard g(s->lock);
			s->live++;
		}
		kern::pid_t pid = kern::spawn(fmt::format("cdpread{}", t),
					      [s] { return reader_main(s); });
		if (pid < 0) {
			std::lock_guard g(s->lock);
			s->live--;
			failed = pid;
			break;
		}
		s->pids.push_back(pid);
	}
	// Fewer readers only read slower: the backup goes on with those that started.
	if (wanted && s->pids.empty())
		return make_error(errc::other,
				  fmt::format("cannot start a process to read {}: {} ({})",
					      s->plan.node, std::strerror(static_cast<int>(-failed)),
					      failed),
				  failed);
	return r;
}

result<std::optional<read_batch>> source_readers::next()
{
	state &s = *s_;
	if (s.taken == s.plan.batches.size())
		return std::optional<read_batch>{};
	std::unique_lock g(s.lock);
	state::slot &sl = s.at(s.taken);
	s.wait(g, [&] {
		return sl.st == state::slot_state::done || sl.st == state::slot_state::failed ||
		       (s.live == 0 && sl.st != state::slot_state::reading);
	});
	if (sl.st == state::slot_state::failed)
		return *sl.err;
	if (sl.st != state::slot_state::done) {
		const extent &r = s.plan.batches[s.taken];
		return make_error(errc::io,
				  fmt::format("the reader processes of {} ended before bytes {}-{} "
					      "were read",
					      s.plan.node, r.start, r.end() - 1));
	}
	std::optional<read_batch> b = std::move(sl.batch);
	sl.batch.reset();
	sl.st = state::slot_state::free;
	s.taken++;
	s.changed.notify_all();
	return b;
}

} // namespace zep
