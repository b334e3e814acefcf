#include "kernel/core/printk.h"

#include <atomic>
#include <cstdio>
#include <deque>

#include "kernel/host/hostops.h"

namespace kern {

namespace {

// The log is written from any context, including interrupt context, so it is guarded by
// a host lock of its own and never sleeps for long.
struct log_state {
	host::host_lock *lock = nullptr;
	host::host_cond *cond = nullptr;
	std::deque<log_line> lines;
	std::string partial;	// text of a line not ended by a newline yet
	int partial_level = DEFAULT_MESSAGE_LOGLEVEL;
	bool partial_has_level = false;
	u64 next_seq = 0;
	std::atomic<bool> mirror{false};
};

log_state &logs()
{
	static log_state *s = [] {
		auto *st = new log_state;
		st->lock = host::ops().lock_create();
		st->cond = host::ops().cond_create();
		return st;
	}();
	return *s;
}

void emit_line(log_state &s, std::string text, int level)
{
	if (s.mirror) {
		std::string out = "<" + std::to_string(level) + ">" + text + "\n";
		host::ops().console_write(out.data(), out.size());
	}
	s.lines.push_back({s.next_seq++, level, std::move(text)});
	while (s.lines.size() > LOG_LINES)
		s.lines.pop_front();
}

} // namespace

int vprintk(const char *fmt, va_list args)
{
	char buf[1024];
	va_list copy;
	va_copy(copy, args);
	int n = ::vsnprintf(buf, sizeof(buf), fmt, copy);
	va_end(copy);
	std::string text;
	if (n < static_cast<int>(sizeof(buf))) {
		text.assign(buf, n > 0 ? n : 0);
	} else {
		// Longer than the stack buffer: format it whole, or the cut would drop the
		// newline and glue the next message onto this line.
		text.resize(static_cast<size_t>(n) + 1);
		va_copy(copy, args);
		::vsnprintf(text.data(), text.size(), fmt, copy);
		va_end(copy);
		text.resize(static_cast<size_t>(n));
	}
	auto &s = logs();
	host::ops().lock_acquire(s.lock);
	size_t pos = 0;
	while (pos < text.size()) {
		// A level prefix counts only at the start of a line.
		if (s.partial.empty() && text.size() - pos >= 3 && text[pos] == '<' &&
		    text[pos + 1] >= '0' && text[pos + 1] <= '7' && text[pos + 2] == '>') {
			s.partial_level = text[pos + 1] - '0';
			s.partial_has_level = true;
			pos += 3;
		}
		size_t nl = text.find('\n', pos);
		if (nl == std::string::npos) {
			s.partial += text.substr(pos);
			break;
		}
		s.partial += text.substr(pos, nl - pos);
		emit_line(s, std::move(s.partial), s.partial_has_level ? s.partial_level
									: DEFAULT_MESSAGE_LOGLEVEL);
		s.partial.clear();
		s.partial_has_level = false;
		pos = nl + 1;
	}
	host::ops().cond_broadcast(s.cond);
	host::ops().lock_release(s.lock);
	return static_cast<int>(text.size());
}

int printk(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int r = vprintk(fmt, ap);
	va_end(ap);
	return r;
}

std::vector<log_line> dmesg_lines()
{
	auto &s = logs();
	host::ops().lock_acquire(s.lock);
	std::vector<log_line> out(s.lines.begin(), s.lines.end());
	host::ops().lock_release(s.lock);
	return out;
}

std::vector<std::string> dmesg()
{
	std::vector<std::string> out;
	for (auto &l : dmesg_lines())
		out.push_back("<" + std::to_string(l.level) + ">" + l.text);
	return out;
}

u64 printk_seq()
{
	auto &s = logs();
	host::ops().lock_acquire(s.lock);
	u64 n = s.next_seq;
	host::ops().lock_release(s.lock);
	return n;
}

void dmesg_clear()
{
	auto &s = logs();
	host::ops().lock_acquire(s.lock);
	s.lines.clear();
	s.partial.clear();
	s.partial_has_level = false;
	host::ops().lock_release(s.lock);
}

bool printk_wait_for(const std::string &needle, unsigned timeout_ms, u64 from_seq)
{
	auto &s = logs();
	u64 deadline = host::ops().monotonic_ns() + static_cast<u64>(timeout_ms) * 1000000ull;
	host::ops().lock_acquire(s.lock);
	for (;;) {
		for (auto &l : s.lines) {
			if (l.seq >= from_seq && l.text.find(needle) != std::string::npos) {
				host::ops().lock_release(s.lock);
				return true;
			}
		}
		if (!host::ops().cond_wait_until(s.cond, s.lock, deadline) &&
		    host::ops().monotonic_ns() >= deadline)
			break;
	}
	host::ops().lock_release(s.lock);
	return false;
}

void printk_set_mirror(bool on) { logs().mirror = on; }

int vsnprintf(char *buf, size_t size, const char *fmt, va_list args)
{
	return ::vsnprintf(buf, size, fmt, args);
}

int snprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int r = ::vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	return r;
}

int sprintf(char *buf, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int r = ::vsprintf(buf, fmt, ap);
	va_end(ap);
	return r;
}

} // namespace kern
