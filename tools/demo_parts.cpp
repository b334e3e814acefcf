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

// ---- the summary ----

namespace {

using ojson = nlohmann::ordered_json;

ojson json_of(const oracle_check &o)
{
	if (!o.ran)
		return {{"verdict", "not checked"}, {"ok", false}, {"error", o.error}};
	const oracle::report &r = o.report;
	ojson j = {{"verdict", r.ok() ? "consistent" : "inconsistent"},
		   {"ok", r.ok()},
		   {"sectors", r.sectors},
		   {"allowed", r.allowed},
		   {"initial", r.initial},
		   {"corrupt", r.corrupt},
		   {"unknown", r.unknown},
		   {"too_old", r.too_old},
		   {"too_new", r.too_new},
		   {"single_freeze", r.fit ? ojson(!r.fit->empty()) : ojson()}};
	if (!r.ok())
		j["findings"] = r.summary();
	return j;
}

ojson json_of(const snapshot_facts &s)
{
	auto ns_to_ms = [](oracle::nanos ns) { return static_cast<double>(ns) / 1e6; };
	return {{"id", s.id},
		{"device", s.device},
		{"node", s.node},
		{"frozen_ms", s.freeze.frozen_ms()},
		{"get_freeze_ms", s.freeze.get_freeze_ms()},
		{"oracle_window_ms", ns_to_ms(s.window.thawed_by - s.window.frozen_from)},
		{"chunks_preserved", s.chunks_preserved},
		{"chunk_size", s.chunk_size},
		{"io_thread_exits", s.io_thread_exits},
		{"oracle", json_of(s.oracle)}};
}

template <typename T> ojson optional_json(const std::optional<T> &v)
{
	return v ? ojson(*v) : ojson();
}

ojson opt_snapshot(const std::optional<snapshot_facts> &s)
{
	return s ? json_of(*s) : ojson();
}

double throughput(const std::optional<backup_summary> &b)
{
	return b ? mib_per_second(b->bytes_read, b->seconds) : 0;
}

std::string oracle_word(const oracle_check &o)
{
	if (!o.ran)
		return "not checked";
	return o.report.ok() ? "consistent" : "INCONSISTENT";
}

std::string snapshot_line(const snapshot_facts &s)
{
	return fmt::format("{} of {}: frozen {:.3f} ms ({:.3f} ms to get the freeze), {} chunks "
			   "of {} KiB preserved",
			   s.node, s.device, s.freeze.frozen_ms(), s.freeze.get_freeze_ms(),
			   s.chunks_preserved, s.chunk_size / 1024);
}

} // namespace

nlohmann::ordered_json to_json(const findings &f)
{
	ojson parts = ojson::array();
	for (const auto &p : f.partitions)
		parts.push_back({{"name", p.name}, {"start", p.start}, {"sectors", p.sectors}});
	ojson j = {{"disk", {{"file", f.disk_file}, {"size", f.disk_bytes}, {"partitions", parts}}},
		   {"writers", {{"per_partition", f.writers_per_partition}, {"writes", f.writes}}},
		   {"io_threads", f.io_threads}};

	ojson full = {{"snapshot", opt_snapshot(f.full_snapshot)},
		      {"backup", optional_json(f.full_backup)},
		      {"throughput_mib_per_s", throughput(f.full_backup)},
		      {"verify", optional_json(f.verify)}};
	if (!f.verify_error.empty())
		full["verify_error"] = f.verify_error;
	j["full"] = full;

	ojson changes;
	if (f.changes)
		changes = {{"complete", f.changes->complete},
			   {"reason", f.changes->reason},
			   {"records", f.changes->records},
			   {"extents", f.changes->extents},
			   {"bytes", f.changes->bytes}};
	ojson compared;
	if (f.restored_vs_snapshot) {
		const comparison &c = *f.restored_vs_snapshot;
		compared = {{"same", c.same()},
			    {"bytes", c.bytes},
			    {"first_difference", c.first_difference ? ojson(*c.first_difference) : ojson()},
			    {"differing_bytes", c.differing_bytes}};
	}
	ojson inc = {{"snapshot", opt_snapshot(f.incremental_snapshot)},
		     {"changes", changes},
		     {"backup", optional_json(f.incremental_backup)},
		     {"throughput_mib_per_s", throughput(f.incremental_backup)},
		     {"restore", optional_json(f.restore)},
		     {"restored_vs_snapshot", compared}};
	if (!f.restore_error.empty())
		inc["restore_error"] = f.restore_error;
	j["incremental"] = inc;

	ojson both = ojson::array();
	for (const snapshot_facts &s : f.both)
		both.push_back(json_of(s));
	j["both_partitions"] = both;

	// The verdicts in one place, for whoever only wants to know whether it held.
	ojson oracle = ojson::array();
	auto add_oracle = [&](const snapshot_facts &s, const char *role) {
		oracle.push_back({{"image", s.node},
				  {"device", s.device},
				  {"role", role},
				  {"verdict", s.oracle.ran ? (s.oracle.report.ok() ? "consistent" : "inconsistent")
							   : "not checked"}});
	};
	if (f.full_snapshot)
		add_oracle(*f.full_snapshot, "full backup");
	if (f.incremental_snapshot)
		add_oracle(*f.incremental_snapshot, "incremental backup");
	for (const snapshot_facts &s : f.both)
		add_oracle(s, "both partitions");
	j["verification"] = {
		{"oracle", oracle},
		{"backup_verify", f.verify ? ojson("ok") : f.verify_error.empty() ? ojson() : ojson("failed")},
		{"incremental_method", f.incremental_backup ? ojson(f.incremental_backup->method) : ojson()},
		{"restored_vs_snapshot", f.restored_vs_snapshot
						 ? ojson(f.restored_vs_snapshot->same() ? "same" : "different")
						 : ojson()}};

	ojson steps = ojson::array();
	for (const auto &s : f.steps)
		steps.push_back({{"step", s.what}, {"ok", s.ok}, {"notes", s.notes}});
	j["steps"] = steps;
	j["seconds"] = f.seconds;
	return j;
}

std::string summary_text(const findings &f)
{
	std::string t = "\nsummary\n";
	auto line = [&](const char *head, const std::string &text) {
		t += fmt::format("  {:<16}{}\n", head, text);
	};
	std::string parts;
	for (const auto &p : f.partitions)
		parts += fmt::format("{}{} ({})", parts.empty() ? "" : ", ", p.name,
				     mib(static_cast<double>(p.sectors * 512)));
	line("disk", fmt::format("{} sparse, partitions {}", mib(static_cast<double>(f.disk_bytes)), parts));
	line("writers", fmt::format("{} per partition, {} writes during the demo",
				    f.writers_per_partition, f.writes));
	if (f.full_snapshot)
		line("snapshot 1", snapshot_line(*f.full_snapshot));
	if (f.full_backup)
		line("full backup", fmt::format("backup {:04}: {} read in {:.2f} s, {:.1f} MiB/s; {} stored",
						f.full_backup->sequence,
						mib(static_cast<double>(f.full_backup->bytes_read)),
						f.full_backup->seconds, throughput(f.full_backup),
						mib(static_cast<double>(f.full_backup->data_bytes))));
	if (f.incremental_snapshot)
		line("snapshot 2", snapshot_line(*f.incremental_snapshot));
	if (f.changes)
		line("change records",
		     fmt::format("{} records, {} extents of {} since the first snapshot{}", f.changes->records,
				 f.changes->extents, mib(static_cast<double>(f.changes->bytes)),
				 f.changes->complete ? "" : " (incomplete: " + f.changes->reason + ")"));
	if (f.incremental_backup)
		line("incremental",
		     fmt::format("backup {:04} by {}: {} read in {:.2f} s, {:.1f} MiB/s; {} stored",
				 f.incremental_backup->sequence, method_name(f.incremental_backup->method),
				 mib(static_cast<double>(f.incremental_backup->bytes_read)),
				 f.incremental_backup->seconds, throughput(f.incremental_backup),
				 mib(static_cast<double>(f.incremental_backup->data_bytes))));
	if (f.restore)
		line("restore", fmt::format("chain of {} backups, {} in {:.2f} s, {:.1f} MiB/s",
					    f.restore->chain.size(), mib(static_cast<double>(f.restore->size)),
					    f.restore->seconds, mib_per_second(f.restore->size, f.restore->seconds)));
	for (size_t i = 0; i < f.both.size(); i++)
		line(i == 0 ? "both at once" : "", snapshot_line(f.both[i]));

	// Snapshot ids are reused once a session stops: the images are named by their role.
	std::string oracle;
	auto add = [&](const std::string &role, const snapshot_facts &s) {
		oracle += fmt::format("{}{} {}", oracle.empty() ? "" : ", ", role, oracle_word(s.oracle));
	};
	if (f.full_snapshot)
		add("snapshot 1", *f.full_snapshot);
	if (f.incremental_snapshot)
		add("snapshot 2", *f.incremental_snapshot);
	for (const snapshot_facts &s : f.both)
		add(s.device + " at once", s);
	if (!oracle.empty())
		line("verification", "oracle: " + oracle);
	if (f.verify)
		line("", fmt::format("backup checksums: ok, {} chunks; backup {:04} = {}, {}",
				     f.verify->chunks_checked, f.verify->device_sequence.value_or(0),
				     f.verify->device, mib(static_cast<double>(f.verify->device_bytes_compared))));
	else if (!f.verify_error.empty())
		line("", "backup checksums: FAILED");
	if (f.restored_vs_snapshot)
		line("", fmt::format("restored image {} {} byte for byte",
				     f.restored_vs_snapshot->same() ? "=" : "DIFFERS from",
				     f.incremental_snapshot ? f.incremental_snapshot->node : "the snapshot"));
	line("elapsed", fmt::format("{:.1f} s", f.seconds));
	return t;
}

} // namespace zep::demo_parts
