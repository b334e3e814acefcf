// Change records drained while sessions run. A process of its own (named cdpchanges) keeps
// the control device open and takes the driver's change records as they come; they are
// merged into byte extents per device and cut at marks, so that an incremental backup
// reads only what changed since its parent's snapshot, and knows when it cannot trust that.
//
// The cut. Records carry no time, only their order, so the cut is a place in the order of
// collection. The agent's cycle:
//
//   m1 = d.mark();   s1 = snapshot::take(dev);   ... full backup of s1 ...
//   m2 = d.mark();   s2 = snapshot::take(dev);
//   d.changes_since(dev, m1)   -> what an incremental of s2 over s1 reads; keep m2 for s3
//
// mark() first collects every record the driver has queued, then opens a new interval;
// changes_since() collects every record queued before it was called, then merges the
// intervals from the mark's on. The driver queues a write's record when the write enters
// the device, before it completes. A write missing from s1 reached the device after s1's
// freeze, so after s1's start command, so after m1: its record is in the set. A write that
// completed before m1 was called was queued and collected before the mark, and is in s1.
// A write in flight at the mark (the freeze waits for it, so it is in s1) may land on
// either side, and writes between the mark and the freeze land in both neighbouring sets:
// a few bytes read twice, never a change lost. The first snapshot of a device starts its
// tracking; marks are only useful from then on.
//
// A set is incomplete (complete false, with a reason) when tracking may have missed writes
// since its mark:
//   - a delivery said tracking was incomplete, or the kernel log shows that the driver
//     disabled tracking (a record it could not allocate, the error command from any
//     program): the next start clears the driver's flag, the gap stays, so it is latched;
//   - records taken off the driver's queue could not be delivered;
//   - fail_tracking() was called;
//   - the drainer's process ended, it was stopped, or a flush did not finish: records
//     since are not collected. A mark of another drainer is never trusted: a last close of
//     the control device between the two lets the driver drop queued records unseen.
// The driver reports losses for all tracked devices together, so a loss on one device makes
// every device's set incomplete. Combine the set with the snapshot's own error.
//
// The drainer must be the only reader of change records on the machine: records another
// reader takes are lost to it, and nothing shows that.
//
// Memory. Records are merged as they come, per interval and device, so a hot spot costs one
// extent however often it is written. Past `max_extents` ranges in one interval of one
// device, that device's ranges are widened to a coarser grain (1 KiB, 2 KiB, ...) until half
// as many remain; past `max_intervals` intervals the two oldest are joined, so marks in
// the older one see the newer one's records too. Both make sets larger, never incomplete.
//
// A drainer belongs to the emulated process that started it, which also holds a control
// device of its own for the unblock and error commands: call it from that process.
// Stopped elsewhere, the drainer is killed instead.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "agent/backup.h"
#include "agent/result.h"
#include "kernel/lib/types.h"

namespace zep
{

struct drainer_options {
	int batch = 1024;             // records per delivery: the blocking call waits for this many
	size_t max_extents = 1 << 14; // ranges per device and interval before they are widened
	size_t max_intervals = 16;    // intervals kept before the oldest are joined
};

// A place in a drainer's order of collection. A default mark is no mark: nothing since it
// is complete.
class change_mark {
public:
	change_mark() = default;
	bool valid() const { return drainer_ != 0; }
	bool operator==(const change_mark &) const = default;

private:
	friend class change_drainer;
	change_mark(uint64_t drainer, uint64_t seq) : drainer_(drainer), seq_(seq) {}
	uint64_t drainer_ = 0; // which drainer took it
	uint64_t seq_ = 0;     // the interval it opened
};

struct collected_changes {
	change_set changes; // the device's changed bytes, merged; complete as said above
	std::string reason; // why changes.complete is false; "" when it is complete
};

class change_drainer {
public:
	static constexpr const char *PROCESS_NAME = "cdpchanges";

	// Opens the caller's control device and starts the drainer process; returns once the
	// drainer holds the control device. Errors: usage (bad options), not_found (no
	// control device), other (the process could not start or open the device), timeout.
	static result<change_drainer> start(const drainer_options &o = {});

	change_drainer(change_drainer &&) noexcept;
	change_drainer &operator=(change_drainer &&) noexcept;
	change_drainer(const change_drainer &) = delete;
	change_drainer &operator=(const change_drainer &) = delete;
	~change_drainer(); // stops

	// Collects what the driver has queued, then opens a new interval: take it right before
	// issuing a snapshot's start command. A flush that fails makes the sets of earlier
	// marks incomplete; the mark itself is still usable.
	change_mark mark();
	// Collects every record the driver had queued when the call began. Errors: the drainer
	// ended or was stopped (other, usage), timeout (30 s without it), usage (called from
	// another process).
	result<void> flush();
	// Flushes, then the device's changed bytes since m: records of a partition are
	// partition-relative, of /dev/zep<N> (major 121) relative to that device; minors are
	// compared in their low 16 bits, as records carry them.
	collected_changes changes_since(kern::dev_t device, const change_mark &m);
	// Issues the error command (every change-tracking session of the driver loses its
	// changes until its device's next start) and makes the sets of all marks so far
	// incomplete, even when the command fails.
	result<void> fail_tracking();
	// Ends the drainer: unblocks its call, reaps its process, closes the caller's control
	// device (the last close of the control device makes the driver drop its queue and
	// mark running sessions' tracking incomplete). Idempotent. other when the drainer had
	// ended on its own before (its reason in the message).
	result<void> stop();

	bool running() const;
	kern::pid_t pid() const;  // the drainer process
	uint64_t records() const; // change records collected so far

	struct state;

private:
	explicit change_drainer(std::unique_ptr<state> s);
	std::unique_ptr<state> s_;
};

} // namespace zep
