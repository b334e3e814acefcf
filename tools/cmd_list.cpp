// `zep list`, `zep info` and `zep prune`: a machine booted for an agent process that reads
// the repository under a shared lock (list, info), or prunes it under the writer's lock.
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "agent/backup_io.h"
#include "agent/backup_prune.h"
#include "agent/backup_repo.h"
#include "tools/commands.h"
#include "tools/interrupt.h"

namespace zep {

namespace {

using ojson = nlohmann::ordered_json;

// The repository as its readers see it, with the size of each file.
struct repository_view {
	repository_scan scan;
	std::map<std::string, uint64_t> file_bytes;	// every file but the lock
	bool restores(unsigned seq) const { return restorable.count(seq) > 0; }
	std::set<unsigned> restorable;	// chains whole, data files there
};

result<repository_view> read_view(const std::string &repo)
{
	std::optional<repository_lock> lock;
	auto scan = open_for_reading(repo, lock);
	if (!scan)
		return scan.err();
	repository_view v{std::move(*scan), {}, {}};
	auto names = list_folder(repo);
	if (!names)
		return names.err();
	for (const std::string &n : *names) {
		if (n == LOCK_FILE)
			continue;
		auto f = sys_file::open(repository_file(repo, n), open_mode::read);
		auto size = f ? f->size() : result<uint64_t>(f.err());
		if (size)
			v.file_bytes[n] = *size;
	}
	v.restorable = restorable_backups(repo, v.scan);
	return v;
}

// The repository of a list or info, read on a machine of its own.
result<std::pair<std::string, repository_view>> view_on_machine(const repo_args &a, cli_io &io)
{
	auto repo = repository_path(a.repo, false);
	if (!repo)
		return repo.err();
	auto v = on_machine<repository_view>(machine_for(a, io), [&](machine_run &m) {
		return m.in_process<repository_view>("cdplist", [&] { return read_view(*repo); });
	});
	if (!v)
		return v.err();
	return std::pair{*repo, std::move(*v)};
}

uint64_t stored_bytes(const repository_view &v, const manifest &m)
{
	auto at = [&](const std::string &n) {
		auto it = v.file_bytes.find(n);
		return it == v.file_bytes.end() ? uint64_t{0} : it->second;
	};
	return at(m.data_file) + at(manifest_name(m.sequence));
}

std::string when(const manifest &m)
{
	// "2026-12-09T22:00:01.123Z" -> "2026-12-09 22:00:01"
	std::string t = m.finished.substr(0, 19);
	if (t.size() > 10)
		t[10] = ' ';
	return t;
}

ojson damage_json(const repository_view &v)
{
	ojson d = ojson::array();
	for (const damaged_backup &b : v.scan.damaged)
		d.push_back({{"sequence", b.sequence}, {"problem", b.problem.message}});
	return d;
}

std::string damage_text(const repository_view &v)
{
	std::string t;
	for (const damaged_backup &b : v.scan.damaged)
		t += fmt::format("damaged  {:04}: {}\n", b.sequence, b.problem.message);
	if (!v.scan.leftovers.empty())
		t += fmt::format("leftovers of interrupted runs (the next backup or prune removes "
				 "them): {}\n",
				 fmt::join(v.scan.leftovers, ", "));
	return t;
}

std::string method_text(const manifest &m)
{
	return m.replaces.empty() ? method_name(m.method) : "merged by prune";
}

} // namespace

int run_list(const repo_args &a, cli_io &io)
{
	reporter rep(io, "list", a.json);
	auto got = view_on_machine(a, io);
	if (!got)
		return rep.failure(got.err());
	const std::string *repo = &got->first;
	const repository_view *v = &got->second;
	ojson backups = ojson::array();
	std::string text = fmt::format("{:<6}  {:<11}  {:<6}  {:<16}  {:<19}  {:>10}  {:>10}  {}\n",
				       "backup", "kind", "parent", "method", "made (UTC)", "image",
				       "stored", "of");
	for (const manifest &m : v->scan.backups) {
		uint64_t stored = stored_bytes(*v, m);
		backups.push_back(
			{{"sequence", m.sequence},
			 {"kind", m.kind},
			 {"parent", m.parent ? ojson(*m.parent) : ojson(nullptr)},
			 {"method", m.method},
			 {"merged", !m.replaces.empty()},
			 {"device", m.device},
			 {"source", m.source ? ojson(*m.source) : ojson(nullptr)},
			 {"started", m.started},
			 {"finished", m.finished},
			 {"size", m.size},
			 {"stored_bytes", stored},
			 {"restores", v->restores(m.sequence)}});
		text += fmt::format("{:04}    {:<11}  {:<6}  {:<16}  {:<19}  {:>10}  {:>10}  {}{}\n",
				    m.sequence, kind_name(m.kind),
				    m.parent ? fmt::format("{:04}", *m.parent) : "-",
				    method_text(m), when(m), mib(static_cast<double>(m.size)),
				    mib(static_cast<double>(stored)),
				    m.source ? m.source->describe() : m.device,
				    v->restores(m.sequence) ? "" : "  (does not restore: zep verify tells why)");
	}
	if (v->scan.backups.empty())
		text = fmt::format("the repository {} holds no backup\n", *repo);
	text += damage_text(*v);
	return rep.success({{"repository", *repo},
			    {"backups", backups},
			    {"damaged", damage_json(*v)},
			    {"leftovers", v->scan.leftovers}},
			   text);
}

int run_info(const repo_args &a, cli_io &io)
{
	reporter rep(io, "info", a.json);
	auto got = view_on_machine(a, io);
	if (!got)
		return rep.failure(got.err());
	const std::string *repo = &got->first;
	const repository_view *v = &got->second;
	const repository_scan &scan = v->scan;
	uint64_t used = 0, images = 0;
	for (const auto &[name, bytes] : v->file_bytes)
		used += bytes;
	// Chains by their full backup; each backup of the chain in order.
	std::map<unsigned, std::vector<unsigned>> chains;
	std::vector<std::string> sources;
	unsigned fulls = 0;
	for (const manifest &m : scan.backups) {
		images += m.size;
		fulls += m.kind == backup_kind::full;
		if (auto chain = backup_chain(scan, m.sequence))
			chains[chain->front().sequence].push_back(m.sequence);
		std::string src = m.source ? m.source->describe() : m.device;
		if (std::find(sources.begin(), sources.end(), src) == sources.end())
			sources.push_back(src);
	}
	uint64_t saved = images > used ? images - used : 0;
	ojson chain_json = ojson::array();
	std::string chain_text;
	for (const auto &[full, members] : chains) {
		chain_json.push_back(members);
		std::vector<std::string> names;
		for (unsigned s : members)
			names.push_back(fmt::format("{:04}", s));
		chain_text += fmt::format("{}{}", chain_text.empty() ? "" : "\n            ",
					  fmt::join(names, " < "));
	}
	std::string text = fmt::format(
		"repository  {}\n"
		"source      {}\n"
		"backups     {} ({} full, {} incremental){}\n"
		"chains      {}\n"
		"space       {} in {} files; the images they restore hold {}: {} saved ({:.0f}%)\n",
		*repo, sources.empty() ? "none yet" : fmt::format("{}", fmt::join(sources, "; ")),
		scan.backups.size(), fulls, scan.backups.size() - fulls,
		scan.backups.empty() ? ""
				     : fmt::format(", newest {:04} made {} UTC",
						   scan.backups.back().sequence,
						   when(scan.backups.back())),
		chain_text.empty() ? "none" : chain_text, mib(static_cast<double>(used)),
		v->file_bytes.size(), mib(static_cast<double>(images)),
		mib(static_cast<double>(saved)),
		images ? 100.0 * static_cast<double>(saved) / static_cast<double>(images) : 0.0);
	text += damage_text(*v);
	return rep.success({{"repository", *repo},
			    {"sources", sources},
			    {"backups", scan.backups.size()},
			    {"full", fulls},
			    {"incremental", scan.backups.size() - fulls},
			    {"chains", chain_json},
			    {"bytes_used", used},
			    {"bytes_of_images", images},
			    {"bytes_saved", saved},
			    {"damaged", damage_json(*v)},
			    {"leftovers", scan.leftovers}},
			   text);
}

int run_prune(const prune_args &a, cli_io &io)
{
	reporter rep(io, "prune", a.json);
	auto repo = repository_path(a.repo, false);
	if (!repo)
		return rep.failure(repo.err());
	interrupt_guard interrupted("prune",
				    "the unfinished merge was removed; every backup is as before it",
				    io.err);
	progress_printer progress(a.progress, io.err, io.err_is_tty, "prune");
	std::string holder = fmt::format("zep prune, pid {}", ::getpid());
	auto s = on_machine<prune_summary>(machine_for(a, io), [&](machine_run &m) {
		return m.in_process<prune_summary>("cdpprune", [&] {
			return prune_backups(*repo, a.keep_last, holder, progress.callback());
		});
	});
	progress.finish();
	if (!s)
		return rep.failure(s.err());
	ojson j = {{"repository", *repo}};
	j.update(ojson(*s));
	return rep.success(j, to_text(*s));
}

} // namespace zep
