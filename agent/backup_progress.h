// Progress of long backup work, for a progress bar: a phase, bytes done of bytes total.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace zep {

struct progress_event {
	std::string_view phase;	// "read", "compare", "restore", "verify", "compare-device"
	uint64_t done = 0;
	uint64_t total = 0;
};

using progress_fn = std::function<void(const progress_event &)>;

// Reports a phase to fn (which may be empty): at its start, about every 1/256 of it, and at
// its end, so that a bar moves smoothly without a call per chunk of a large device.
class progress_meter {
public:
	progress_meter(const progress_fn &fn, std::string_view phase, uint64_t total)
	    : fn_(fn), phase_(phase), total_(total), step_(total / 256 ? total / 256 : 1)
	{
		report();
	}
	void advance(uint64_t bytes)
	{
		done_ += bytes;
		if (done_ >= next_ || (done_ >= total_ && last_ < total_))
			report();
	}
	void finish()
	{
		if (last_ != total_) {
			done_ = total_;
			report();
		}
	}

private:
	void report()
	{
		next_ = done_ + step_;
		last_ = done_ < total_ ? done_ : total_;
		if (fn_)
			fn_({phase_, last_, total_});
	}
	const progress_fn &fn_;
	std::string_view phase_;
	uint64_t total_, step_, done_ = 0, next_ = 0, last_ = 0;
};

} // namespace zep
