// The consistency oracle: writers whose every 512-byte sector says which write put it
// there, a log of when each write was submitted and completed, and a checker that tells
// whether a snapshot image is a state the device really passed through while it was frozen.
//
// Stamps. Every sector a writer puts down carries the sector number it was meant for, the
// writer, the writer's write sequence number (from 1; 0 is the initial fill) and an
// XXH3-64 checksum of all of that and the payload. A sector therefore shows by itself
// whether it is intact (a torn or overwritten byte breaks the checksum), whether it sits
// where it was meant to (a misdirected sector names another sector) and which write it
// came from.
//
// Clock. Writers and the agent read one clock, `now()`: the machine's wall clock
// (kern::current_kernel_time) in nanoseconds. The driver measures the freeze on that same
// clock, so the durations in the start record are differences of readings of it. It is
// read through the host's monotonic clock, so a reading taken after another (in real time,
// in any thread) is never smaller; at clock speed 100 it advances 100 ns per real ns.
// Jiffies would do too, but a 1 ms tick is coarser than a whole freeze in tests.
//
// What the checker accepts. For a sector s, its history H(s) is the initial fill (submitted
// and completed at time 0) and every logged write covering s. A write v comes after w in
// s's order when v was submitted after w completed: submitted(v) > completed(w). Writes
// whose [submitted, completed] intervals touch or overlap are concurrent: the device may
// have applied either last, so neither supersedes the other. A write that never completed
// (still in flight, failed, or its writer was killed) has no completion: nothing comes
// after it and it never counts as completed before the freeze.
// Given a window [frozen_from, thawed_by], the image's sector s, holding an intact stamp
// of write w, is allowed when w is in H(s) and
//   not too new:  submitted(w) <= thawed_by, and
//   not too old:  no v in H(s) after w has completed(v) < frozen_from.
// So it may show the last write completed before the freeze (or any write concurrent with
// it), or any later write submitted before the thaw ended.
// With the freeze's length known (window.frozen_for), the checker also asks for one
// freeze instant that explains every sector at once: sector s showing w allows the device
// to have frozen at any A with submitted(w) - frozen_for <= A <= completed(v) for every v
// after w; the image passes when some A in [frozen_from, thawed_by - frozen_for] lies in
// all of these. This catches an image that mixes an early state of one sector with a late
// state of another, which the per-sector rule alone lets through.
//
// Why that is sound. Submission times are read before the write call and completion
// times after it returns, so a logged interval contains the real one. The device is
// frozen at some instant A (every write completed before A is on the medium, and the
// snapshot is cut while it stays frozen, before the thaw ends at A + frozen_for). When
// completed(v) < frozen_from <= A, v had replaced w on the medium before the cut; when
// submitted(w) > thawed_by, w was issued after the cut. The clock never runs backwards,
// so these comparisons of logged times only ever err towards accepting.
// What it cannot see: which of two concurrent writes the device applied last (both are
// accepted), and whether a write of many sectors landed whole: each sector is judged on
// its own, as block devices promise no more than sector atomicity.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "agent/control.h"
#include "agent/result.h"
#include "backupdriver/zepdriver.h"

namespace zep::oracle {

inline constexpr std::size_t sector_bytes = 512;

// Nanoseconds on the machine's wall clock.
using nanos = std::int64_t;
// The completion time of a write that has not completed (and never will, if it failed).
inline constexpr nanos not_completed = std::numeric_limits<nanos>::max();

// The clock writers and the agent share.
nanos now();

// [first, first + count) in sectors of the device node written.
struct sector_range {
	std::uint64_t first = 0;
	std::uint64_t count = 0;
	std::uint64_t end() const { return first + count; }
	bool contains(std::uint64_t sector) const { return sector >= first && sector < end(); }
};

// ---- stamps ----

// The writer number of the initial fill.
inline constexpr std::uint32_t initial_writer = 0xffffffff;

// Which write put a sector down.
struct stamp_id {
	std::uint32_t writer = initial_writer;
	std::uint64_t seq = 0;	// the writer's write sequence number, from 1; 0: the initial fill
	bool initial() const { return writer == initial_writer && seq == 0; }
	bool operator==(const stamp_id &) const = default;
};
std::string to_string(stamp_id id);

// Fills `out` as write id puts it down at first_sector (a trailing part of a sector is
// left as it is).
void stamp(std::span<unsigned char> out, std::uint64_t first_sector, stamp_id id);

enum class fault {
	none,
	no_stamp,	// not a stamp at all (zeros, foreign data)
	checksum,	// torn or corrupt: stamp and payload do not match the checksum
	misplaced,	// an intact stamp meant for another sector
};

// What one sector holds.
struct reading {
	enum fault fault = fault::none;
	stamp_id id;			// the write named by the stamp (unless no_stamp)
	std::uint64_t meant_for = 0;	// the sector the stamp names (unless no_stamp)
	bool intact() const { return fault == fault::none; }
	std::string describe() const;
};

// Reads the stamp of one sector found at `sector` (in.size() == sector_bytes).
reading verify(std::span<const unsigned char> in, std::uint64_t sector);

// ---- the log ----

struct write_record {
	stamp_id id;
	std::uint64_t first = 0;	// first sector
	std::uint32_t count = 0;	// sectors
	nanos submitted = 0;		// read before the write call
	nanos completed = not_completed;	// read after it returned; not_completed if it never did
	bool done() const { return completed != not_completed; }
	std::string describe() const;
};

// Inside a process: writes the initial fill's stamps over the range of the device node.
result<void> prefill(const std::string &device, sector_range range);

// Inside a process: writes one stamped write to the device node and logs its times.
result<write_record> write_stamped(const std::string &device, std::uint64_t first, std::uint32_t count,
				   stamp_id id);

// ---- writers ----

enum class overlap {
	shared,		// every writer writes anywhere in the range: writes overlap, concurrently too
	disjoint,	// writer i keeps to the i-th of `writers` equal slices of the range
};

struct writer_options {
	std::string device;		// the device node, e.g. "/dev/srd1"
	sector_range range;
	unsigned writers = 4;
	std::uint64_t seed = 1;
	std::size_t min_bytes = sector_bytes;	// write sizes, multiples of 512, drawn uniformly;
	std::size_t max_bytes = 128 << 10;	// clipped to the writer's part of the range
	std::size_t alignment = sector_bytes;	// write offsets are multiples of this (of 512)
	enum overlap overlap = overlap::shared;
	std::uint64_t writes_each = 0;		// a writer stops after this many; 0: when stopped
	// Each writer's rest between two writes, on the machine's clock: a busy disk beside other work
	// rather than a stream that takes every core (and whose log outgrows a long run).
	std::chrono::microseconds pause{0};
};

// Writer processes (named "owriter<i>") rewriting random stamped extents of a device node,
// each with its own mapped buffer and descriptor, logging every write. Stopped and waited
// for on destruction.
class writer_set {
public:
	// Starts the processes (from any thread of the host program while the machine runs).
	// A moved-from set may only be destroyed or assigned.
	static result<writer_set> start(const writer_options &opt);
	writer_set(writer_set &&) noexcept;
	writer_set &operator=(writer_set &&) noexcept;
	~writer_set();

	// Waits until n writes have completed in all (at most `timeout_ms` of real time); an
	// error when a writer failed, all ended before or the time ran out.
	result<void> wait_for_writes(std::uint64_t n, unsigned timeout_ms = 30000) const;
	// Lets each writer finish the write it is in and waits for them; an error naming the
	// first writer that failed.
	result<void> stop();
	std::uint64_t writes_completed() const;
	// Every write so far (those still in flight without completion), each writer's in
	// order.
	std::vector<write_record> log() const;

	struct state;

private:
	explicit writer_set(std::shared_ptr<state> s);
	std::shared_ptr<state> s_;
};

// ---- the window ----

// When the device was frozen, as far as the agent can tell, on the clock of now().
struct freeze_window {
	nanos frozen_from = 0;	// no later than the instant the device was frozen
	nanos thawed_by = 0;	// no earlier than the instant its thaw ended
	std::optional<nanos> frozen_for;	// how long it stayed frozen, when known
};

// What the agent saw of a start command: when it issued it, when it returned, and the
// driver's freeze durations from the start record.
struct start_timing {
	nanos issued = 0;
	nanos returned = 0;
	nanos to_freeze = 0;	// from the freeze's start until the device was frozen
	nanos frozen = 0;	// from the freeze's start until the thaw ended
	static start_timing of(nanos issued, nanos returned, const snap_shot_request &answer);
	// As the agent's control call reports a start.
	static start_timing of(const started_session &s);
};

// The tightest window the start command's timings allow: the freeze started after the
// command was issued, so the device was frozen no earlier than issued + to_freeze; the
// thaw ended before it returned; it stayed frozen for frozen - to_freeze. An error when
// the timings contradict each other (another clock, or a wrong record).
result<freeze_window> safe_window(const start_timing &t);

// ---- checking ----

enum class verdict {
	allowed,
	corrupt,	// not intact: no stamp, torn, or misplaced
	unknown,	// an intact stamp of a write that never covered this sector
	too_old,	// overwritten by a write completed before the freeze
	too_new,	// written by a write submitted after the thaw
};
std::string to_string(verdict v);

// One sector that is not allowed.
struct finding {
	std::uint64_t sector = 0;
	enum verdict verdict = verdict::allowed;
	reading held;				// what the sector held
	std::optional<write_record> shown;	// the write whose stamp it is, when logged
	std::optional<write_record> superseded_by;	// too_old: the later write that completed first
	std::string describe() const;
};

struct report {
	static constexpr std::size_t max_examples = 8;	// findings kept per verdict

	std::uint64_t sectors = 0;	// checked
	std::uint64_t intact = 0;
	std::uint64_t allowed = 0;
	std::uint64_t corrupt = 0;
	std::uint64_t unknown = 0;
	std::uint64_t too_old = 0;
	std::uint64_t too_new = 0;
	std::uint64_t initial = 0;	// allowed sectors still showing the initial fill
	std::vector<finding> findings;	// the first max_examples of each verdict, by sector

	// With the window's frozen_for: the freeze instants that explain every allowed sector
	// at once ([earliest, latest], empty when earliest > latest), and the sectors that
	// bound it.
	struct freeze_fit {
		nanos earliest = 0, latest = 0;
		std::optional<std::uint64_t> earliest_set_by, latest_set_by;
		bool empty() const { return earliest > latest; }
	};
	std::optional<freeze_fit> fit;

	bool ok() const;
	// One line of counts, then one per finding and for an empty fit.
	std::string summary() const;
};

// An image of the device from some sector on: whole sectors.
struct image_view {
	std::span<const unsigned char> bytes;
	std::uint64_t first = 0;	// the device sector of its first byte
};

// The writes that covered each sector of a range, in order of submission.
class history {
public:
	// From the log of the writes to the range (every record inside it, ids distinct,
	// completion not before submission), after the range was prefilled.
	static result<history> build(sector_range range, std::vector<write_record> log);

	sector_range range() const { return range_; }
	// The writes that covered the sector: the initial fill first, then by submission.
	std::vector<write_record> of(std::uint64_t sector) const;
	// The logged write with this id (the initial fill for its id).
	std::optional<write_record> find(stamp_id id) const;

	// Checks the image's sectors of the range against the window. An error when the image
	// does not cover the range or the window is impossible.
	result<report> check(image_view image, const freeze_window &window) const;
	// The same for the device node's current contents, read through the calling process.
	result<report> check_device(const std::string &device, const freeze_window &window) const;

private:
	struct entry {
		std::uint32_t write;		// index into writes_
		std::uint32_t earliest_after;	// index into writes_ of the write that completed
						// first among this one and those submitted later
	};
	history() = default;
	std::span<const entry> entries(std::uint64_t sector) const;
	std::optional<std::uint32_t> index_of(stamp_id id) const;

	sector_range range_;
	std::vector<write_record> writes_;	// the initial fill first, then by submission
	std::vector<std::uint64_t> start_;	// per sector of the range + 1: where its entries begin
	std::vector<entry> entries_;
	std::vector<std::pair<stamp_id, std::uint32_t>> by_id_;	// sorted for lookup
};

} // namespace zep::oracle
