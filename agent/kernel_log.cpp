#include "agent/kernel_log.h"

#include <algorithm>

#include "kernel/machine.h"

namespace zep
{
namespace
{

constexpr const char *ERROR_PREFIX = "<3>zep: ERROR: ";
// Lines kept to find the mark again: enough that a run of repeated lines (one per tracked
// device, say) rarely fills it.
constexpr size_t TAIL = 32;

} // namespace

log_mark::log_mark()
{
	set(kern::dmesg());
}

void log_mark::set(const std::vector<std::string> &now)
{
	size_ = now.size();
	tail_.assign(now.end() - static_cast<std::ptrdiff_t>(std::min(TAIL, now.size())), now.end());
}

size_t log_mark::first_new(const std::vector<std::string> &now) const
{
	const size_t n = size_;
	if (n == 0)
		return 0;
	// The smallest move first.
	for (size_t moved = 0; moved < n; moved++) {
		size_t last = n - 1 - moved; // where the mark's last line is now
		if (last >= now.size())
			continue;
		bool same = true;
		for (size_t j = 0; same && j < tail_.size() && j <= last; j++)
			same = now[last - j] == tail_[tail_.size() - 1 - j];
		if (same)
			return last + 1;
	}
	return 0;
}

std::vector<std::string> log_mark::since() const
{
	std::vector<std::string> now = kern::dmesg();
	return {now.begin() + static_cast<std::ptrdiff_t>(first_new(now)), now.end()};
}

std::vector<std::string> log_mark::advance(bool *turned_over)
{
	std::vector<std::string> now = kern::dmesg();
	size_t first = first_new(now);
	if (turned_over)
		*turned_over = size_ > 0 && first == 0;
	std::vector<std::string> out(now.begin() + static_cast<std::ptrdiff_t>(first), now.end());
	set(now);
	return out;
}

std::vector<std::string> log_mark::driver_errors() const
{
	std::vector<std::string> out;
	for (const std::string &l : since())
		if (l.starts_with(ERROR_PREFIX))
			out.push_back(l.substr(3));
	return out;
}

} // namespace zep
