// The kernel log as the agent reads it: what was logged since a moment. The driver gives its
// reasons only there, and some of what it does (disabling change tracking) shows nowhere
// else.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zep
{

// A moment in the kernel log. The log keeps a bounded number of lines, so a full log moves
// its old lines towards the front: the last lines seen at the mark are what find the moment
// again. A log that shifted under a long run of identical lines can hide new ones (the
// shift cannot be told from no shift).
class log_mark {
public:
	log_mark(); // now

	// Lines logged since the mark, "<level>text", oldest first.
	std::vector<std::string> since() const;
	// The same, and the mark moves past the lines returned. *turned_over (when asked for)
	// tells that the log no longer holds the mark's lines: lines logged in between are gone.
	std::vector<std::string> advance(bool *turned_over = nullptr);
	// The driver's error lines ("zep: ERROR: ...", without the level) logged since the mark.
	std::vector<std::string> driver_errors() const;

private:
	// Index in `now` of the first line logged since the mark.
	size_t first_new(const std::vector<std::string> &now) const;
	void set(const std::vector<std::string> &now);

	size_t size_ = 0;               // lines the log held at the mark
	std::vector<std::string> tail_; // its last lines
};

} // namespace zep
