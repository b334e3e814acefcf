#include "tools/demo_parts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

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

// ---- paced writers ----

struct paced_writers::state {
	writer_plan plan;
	std::atomic<bool> stopping{false};
	mutable std::mutex lock;	// guards what follows
	mutable std::condition_variable changed;
	std::vector<oracle::write_record> log;
	uint64_t completed = 0;
	std::string failure;	// the first writer's
	std::vector<kern::pid_t> pids;	// the owner's

	int run(unsigned w);
};

int paced_writers::state::run(unsigned w)
{
	std::mt19937_64 rng(plan.seed * 1000003 + w);
	const uint64_t align = plan.alignment / oracle::sector_bytes;
	const uint64_t slots = (plan.range.count - plan.max_bytes / oracle::sector_bytes) / align + 1;
	std::uniform_int_distribution<uint64_t> size(plan.min_bytes / oracle::sector_bytes,
						     plan.max_bytes / oracle::sector_bytes);
	std::uniform_int_distribution<uint64_t> slot(0, slots - 1);
	for (uint64_t seq = 1; !stopping; seq++) {
		uint64_t first = plan.range.first + slot(rng) * align;
		auto count = static_cast<uint32_t>(size(rng));
		oracle::write_record rec{{w, seq}, first, count, oracle::now(), oracle::not_completed};
		size_t at;
		{
			std::lock_guard g(lock);
			log.push_back(rec);
			at = log.size() - 1;
		}
		auto r = oracle::write_stamped(plan.device, first, count, rec.id);
		if (!r) {
			// Its record stays without completion: it may have landed in part, or not.
			std::lock_guard g(lock);
			if (failure.empty())
				failure = fmt::format("writer {}: {}", w, r.err().message);
			changed.notify_all();
			return 1;
		}
		{
			// Submitted when it was logged (a little earlier than the write call): a
			// wider interval only makes the oracle accept more, never wrongly refuse.
			std::lock_guard g(lock);
			log[at].completed = r->completed;
			completed++;
		}
		changed.notify_all();
		for (auto slept = std::chrono::microseconds(0); slept < plan.pause && !stopping;
		     slept += std::chrono::microseconds(1000))
			std::this_thread::sleep_for(std::min(plan.pause - slept, std::chrono::microseconds(1000)));
	}
	return 0;
}

result<paced_writers> paced_writers::start(const writer_plan &plan)
{
	if (plan.writers == 0 || plan.min_bytes == 0 || plan.min_bytes % oracle::sector_bytes ||
	    plan.max_bytes % oracle::sector_bytes || plan.min_bytes > plan.max_bytes || plan.alignment == 0 ||
	    plan.alignment % oracle::sector_bytes || plan.range.count * oracle::sector_bytes < plan.max_bytes)
		return make_error(errc::usage, "writers: impossible sizes, alignment or range");
	auto s = std::make_shared<state>();
	s->plan = plan;
	paced_writers set(s);
	for (unsigned w = 0; w < plan.writers; w++) {
		kern::pid_t pid = kern::spawn(fmt::format("dwriter{}", w), [s, w] { return s->run(w); });
		if (pid < 0) {
			(void)set.stop();
			return make_error(errc::other, fmt::format("cannot start writer {}: error {}", w, pid), pid);
		}
		s->pids.push_back(pid);
	}
	return set;
}

paced_writers::~paced_writers()
{
	// After a halt the processes are gone with the machine.
	if (s_ && kern::booted())
		(void)stop();
}

result<void> paced_writers::wait_for_writes(uint64_t n, unsigned timeout_ms) const
{
	std::unique_lock g(s_->lock);
	bool settled = s_->changed.wait_for(g, std::chrono::milliseconds(timeout_ms),
					    [&] { return s_->completed >= n || !s_->failure.empty(); });
	if (!s_->failure.empty())
		return make_error(errc::io, s_->failure);
	if (!settled)
		return make_error(errc::timeout,
				  fmt::format("{} of {} writes completed in {} ms", s_->completed, n, timeout_ms));
	return {};
}

result<void> paced_writers::stop()
{
	s_->stopping = true;
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

uint64_t paced_writers::writes_completed() const
{
	std::lock_guard g(s_->lock);
	return s_->completed;
}

std::vector<oracle::write_record> paced_writers::log() const
{
	std::lock_guard g(s_->lock);
	return s_->log;
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
