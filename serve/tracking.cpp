// Change tracking in `zep serve`: one change drainer for the server's life, a mark taken
// right before each snapshot, and backups that read only what changed since their parent's
// snapshot when the records since its mark are complete.
#include <unistd.h>

#include <cstdlib>

#include <fmt/format.h>

#include "agent/backup.h"
#include "agent/backup_io.h"
#include "agent/backup_repo.h"
#include "serve/server.h"

namespace zep {

using json = nlohmann::json;

namespace {

// "m12" -> 12: marks are numbered in the order they were taken.
unsigned long mark_number(const std::string &mark)
{
	return std::strtoul(mark.c_str() + 1, nullptr, 10);
}

} // namespace

// In a thread of the server's process: the drainer belongs to the process that starts it.
result<void> server::start_tracking()
{
	auto d = change_drainer::start();
	if (!d)
		return in_context(d.err(), "cannot start the change drainer");
	std::lock_guard<std::mutex> g(track_m_);
	drainer_ = std::make_unique<change_drainer>(std::move(*d));
	return {};
}

void server::stop_tracking(std::vector<std::string> &problems)
{
	std::lock_guard<std::mutex> g(track_m_);
	if (!drainer_)
		return;
	if (auto r = drainer_->stop(); !r)
		problems.push_back("the change drainer: " + r.err().message);
	drainer_.reset();
}

std::string server::new_mark(const std::string &device)
{
	std::lock_guard<std::mutex> g(track_m_);
	std::string name = fmt::format("m{}", next_mark_++);
	marks_[name] = {device, drainer_ ? drainer_->mark() : change_mark{}};
	return name;
}

result<collected_changes> server::changes_since(const device &d, const std::string &mark)
{
	std::lock_guard<std::mutex> g(track_m_);
	auto it = marks_.find(mark);
	if (it == marks_.end() || it->second.device != d.name)
		return make_error(errc::not_found,
				  fmt::format("no mark {} of {}: marks are taken with each snapshot "
					      "of the device",
					      mark, d.name));
	if (!drainer_)
		return make_error(errc::other, "change tracking is not running");
	return drainer_->changes_since(d.dev, it->second.m);
}

// --since: a mark (m3), a snapshot (zep1: the mark before it), a backup made through this
// server (its number, with "repo"), or nothing: the device's newest snapshot.
result<std::string> server::resolve_since(const device &d, const json &req)
{
	std::string since = req.contains("since") ? req["since"].get<std::string>() : "";
	std::lock_guard<std::mutex> g(track_m_);
	if (since.empty()) {
		auto it = latest_mark_.find(d.name);
		if (it == latest_mark_.end())
			return make_error(errc::not_found,
					  fmt::format("{} has had no snapshot: its changes are tracked "
						      "from its first snapshot on",
						      d.name));
		return it->second;
	}
	if (since.starts_with("m"))
		return since;
	if (since.starts_with("zep")) {
		auto it = latest_mark_.find(since);
		if (it == latest_mark_.end())
			return make_error(errc::not_found,
					  fmt::format("no snapshot {} was taken by this server", since));
		return it->second;
	}
	std::string repo = req.value("repo", "");
	unsigned seq = 0;
	if (since.find_first_not_of("0123456789") != std::string::npos || since.size() > 6 ||
	    repo.empty())
		return make_error(errc::usage,
				  fmt::format("--since {}: give a mark (m1), a snapshot (zep1) or a "
					      "backup number with --repo",
					      since));
	seq = static_cast<unsigned>(std::stoul(since));
	for (auto &[key, mark] : backup_marks_)
		if (key.repo == repo && key.sequence == seq && key.device == d.name)
			return mark;
	return make_error(errc::not_found,
			  fmt::format("backup {:04} of {} in {} was not made by this server: its "
				      "changes since are not known",
				      seq, d.name, repo));
}

result<json> server::changes(const json &req)
{
	device *d = find_device(req.value("device", ""));
	if (!d)
		return make_error(errc::not_found, fmt::format("no device {}: `zep status` lists "
							       "them",
							       req.value("device", "")));
	auto mark = resolve_since(*d, req);
	if (!mark)
		return mark.err();
	auto c = changes_since(*d, *mark);
	if (!c)
		return c.err();
	json extents = json::array();
	uint64_t bytes = 0;
	for (const extent &e : c->changes.extents) {
		extents.push_back({e.start, e.length});
		bytes += e.length;
	}
	json answer = {{"device", d->name}, {"since", *mark},
		       {"complete", c->changes.complete}, {"bytes", bytes},
		       {"extents", extents}};
	if (!c->changes.complete)
		answer["reason"] = c->reason;
	return answer;
}

json server::tracking_status(const device &d)
{
	json since;
	{
		std::lock_guard<std::mutex> g(track_m_);
		auto it = latest_mark_.find(d.name);
		if (it == latest_mark_.end())
			return nullptr;	// tracked from its first snapshot on
		since = it->second;
	}
	auto c = changes_since(d, since);
	if (!c)
		return {{"since", since}, {"complete", false}, {"reason", c.err().message}};
	json j = {{"since", since}, {"complete", c->changes.complete}};
	if (!c->changes.complete)
		j["reason"] = c->reason;
	return j;
}

// A snapshot of the device, backed up into the repository and released (or a running
// snapshot, kept): full when the repository holds no backup (or when asked), else
// incremental after its newest backup, from the change records when this server made that
// backup from an earlier snapshot and tracked every write since, else by comparing
// checksums (the summary says which and why).
result<json> server::backup(const json &req)
{
	std::string repo = req.value("repo", "");
	if (repo.empty() || repo.front() != '/')
		return make_error(errc::usage, "a backup needs the repository's absolute path");
	auto compression = parse_compression(req.value("compress", "zstd"));
	if (!compression)
		return compression.err();
	// A running snapshot, kept running (and from being released) while it is read; or the
	// device, through a snapshot of its own taken now and stopped after.
	std::string snap_name = req.value("snapshot", "");
	device *d = nullptr;
	snapshot *sp = nullptr;
	std::string mark;
	{
		std::lock_guard<std::mutex> g(m_);
		if (!snap_name.empty()) {
			auto it = snaps_.find(snap_name);
			if (it == snaps_.end())
				return make_error(errc::not_found,
						  fmt::format("no snapshot {}: `zep status` lists them",
							      snap_name));
			d = find_device(it->second.device);
			sp = it->second.s.get();
			mark = it->second.mark;
		} else if (!(d = find_device(req.value("device", "")))) {
			return make_error(errc::not_found,
					  fmt::format("no device {}: `zep status` lists them",
						      req.value("device", "")));
		}
		if (sp)
			backing_up_[snap_name]++;
	}
	// A second backup into the repository is refused by its lock (busy, naming us).
	struct unbusy {
		server *s;
		std::string snap;
		~unbusy()
		{
			std::lock_guard<std::mutex> g(s->m_);
			if (!snap.empty() && --s->backing_up_[snap] <= 0)
				s->backing_up_.erase(snap);
		}
	} guard{this, snap_name};

	auto scan = scan_repository(repo);
	if (!scan)
		return scan.err();
	std::optional<unsigned> parent = req.value("full", false) ? std::nullopt : scan->latest();
	std::optional<taken> own;
	if (!sp) {
		auto t = take_snapshot(*d, req.value("threads", 2));
		if (!t)
			return in_context(t.err(), fmt::format("cannot take a snapshot of {}", d->name));
		own.emplace(std::move(*t));
		sp = own->s.get();
		snap_name = own->name;
		mark = own->mark;
	}
	backup_source src = snapshot_source(*sp, d->name);
	src.identity = d->id;
	std::optional<change_set> changes;
	std::string tracking = "none: a full backup";
	if (parent) {
		const manifest *pm = scan->find(*parent);
		std::string since;
		if (pm) {
			std::lock_guard<std::mutex> g(track_m_);
			auto it = backup_marks_.find({repo, *parent, d->name, pm->snapshot_time});
			if (it != backup_marks_.end())
				since = it->second;
		}
		if (since.empty()) {
			tracking = fmt::format("unknown: backup {:04} was not made by this server",
					       *parent);
		} else if (mark_number(since) > mark_number(mark)) {
			// Writes between this snapshot and the parent's are in the parent only: no
			// record since the parent names them.
			tracking = fmt::format("not usable: backup {:04} is of a later snapshot than {}",
					       *parent, snap_name);
		} else if (auto c = changes_since(*d, since); !c) {
			tracking = "lost: " + c.err().message;
		} else if (!c->changes.complete) {
			tracking = "incomplete: " + c->reason;
		} else {
			tracking = fmt::format("complete since backup {:04}", *parent);
			changes = c->changes;
		}
	}
	backup_options bo;
	bo.parent = parent;
	bo.compression = *compression;
	bo.readers = req.value("readers", DEFAULT_READERS);
	bo.holder = fmt::format("zep serve, pid {}", ::getpid());
	auto s = parent ? incremental_backup(repo, src, changes, bo) : full_backup(repo, src, bo);
	result<void> stopped;
	if (own)
		stopped = own->s->stop();
	if (!s)
		return s.err();
	{
		std::lock_guard<std::mutex> g(track_m_);
		backup_marks_[{repo, s->sequence, d->name, src.snapshot_time}] = mark;
	}
	json answer = *s;
	answer["repository"] = repo;
	answer["change_tracking"] = tracking;
	answer["snapshot"] = {{"name", snap_name},
			      {"mark", mark},
			      {"kept", !own},
			      {"frozen_ms", sp->started().freeze.frozen_ms()},
			      {"get_freeze_ms", sp->started().freeze.get_freeze_ms()},
			      {"quiesced", !cfg_.freeze_hook.empty()}};
	if (!stopped)
		answer["warning"] = fmt::format("snapshot {} could not be stopped: {}", snap_name,
						stopped.err().message);
	return answer;
}

} // namespace zep
