#include "tools/demo_parts.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <fmt/format.h>

#include "agent/backup_io.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "tools/output.h"

namespace zep::demo_parts {

// ---- the agent process ----

agent_process::agent_process(const std::string &comm)
{
	pid_ = kern::spawn(comm, [this] { return serve(); });
}

bool agent_process::run(const std::function<void()> &job)
{
	std::unique_lock<std::mutex> g(m_);
	if (pid_ < 0 || ended_)
		return false;
	job_ = &job;
	cv_.notify_all();
	cv_.wait(g, [this] { return !job_ || ended_; });
	return !job_;
}

int agent_process::close()
{
	if (pid_ < 0)
		return pid_;
	{
		std::lock_guard<std::mutex> g(m_);
		closing_ = true;
		cv_.notify_all();
	}
	int rc = kern::waitpid(pid_);
	pid_ = -1;
	return rc;
}

int agent_process::serve()
{
	// However the process ends (a kill unwinds it), whoever waits is let go.
	struct ending {
		agent_process *a;
		~ending()
		{
			std::lock_guard<std::mutex> g(a->m_);
			a->ended_ = true;
			a->cv_.notify_all();
		}
	} guard{this};
	std::unique_lock<std::mutex> g(m_);
	while (!closing_) {
		if (!job_) {
			// A short wait, then a system call that delivers the process's signals.
			cv_.wait_for(g, std::chrono::milliseconds(10));
			g.unlock();
			kern::sys_getpid();
			g.lock();
			continue;
		}
		const std::function<void()> *job = job_;
		g.unlock();
		(*job)();
		g.lock();
		job_ = nullptr;
		cv_.notify_all();
	}
	return 0;
}

// ---- comparing ----

result<comparison> compare_file_with_device(const std::string &file, const std::string &node)
{
	constexpr size_t PIECE = 1 << 20;
	auto f = sys_file::open(file, open_mode::read);
	if (!f)
		return f.err();
	auto d = sys_file::open(node, open_mode::read);
	if (!d)
		return d.err();
	auto fsize = f->size();
	if (!fsize)
		return fsize.err();
	auto dsize = d->size();
	if (!dsize)
		return dsize.err();
	if (*fsize != *dsize)
		return make_error(errc::usage, fmt::format("{} holds {} bytes and {} {}: they cannot "
							   "be the same image",
							   file, *fsize, node, *dsize));
	auto buf = user_buffer::map(2 * PIECE);
	if (!buf)
		return buf.err();
	std::vector<unsigned char> a(PIECE), b(PIECE);
	comparison c;
	for (uint64_t off = 0; off < *fsize;) {
		size_t n = static_cast<size_t>(std::min<uint64_t>(PIECE, *fsize - off));
		BACKUP_TRY(f->read(*buf, 0, n, off));
		BACKUP_TRY(d->read(*buf, PIECE, n, off));
		BACKUP_TRY(buf->get(0, a.data(), n));
		BACKUP_TRY(buf->get(PIECE, b.data(), n));
		if (std::memcmp(a.data(), b.data(), n) != 0)
			for (size_t i = 0; i < n; i++)
				if (a[i] != b[i]) {
					if (!c.first_difference)
						c.first_difference = off + i;
					c.differing_bytes++;
				}
		off += n;
		c.bytes = off;
	}
	return c;
}

} // namespace zep::demo_parts
