#include "agent/backup_repo.h"

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>

#include "agent/backup_io.h"
#include "kernel/lib/types.h"

namespace zep {

const manifest *repository_scan::find(unsigned sequence) const
{
	for (const manifest &m : backups)
		if (m.sequence == sequence)
			return &m;
	return nullptr;
}

const damaged_backup *repository_scan::find_damaged(unsigned sequence) const
{
	for (const damaged_backup &d : damaged)
		if (d.sequence == sequence)
			return &d;
	return nullptr;
}

std::optional<unsigned> repository_scan::latest() const
{
	std::optional<unsigned> n;
	for (const manifest &m : backups)
		n = std::max(n.value_or(0), m.sequence);
	for (const damaged_backup &d : damaged)
		n = std::max(n.value_or(0), d.sequence);
	return n;
}

std::string repository_file(const std::string &repo, const std::string &name)
{
	std::string dir = repo;
	while (dir.size() > 1 && dir.back() == '/')
		dir.pop_back();
	return dir + "/" + name;
}

namespace {

// "0012.json" -> 12 and "json"; nullopt for a name that is no backup's file.
std::optional<std::pair<unsigned, std::string>> backup_file(const std::string &name)
{
	size_t dot = name.find('.');
	if (dot < 4 || dot > 9 || name.find_first_not_of("0123456789") != dot)
		return std::nullopt;
	return std::pair{static_cast<unsigned>(std::stoul(name.substr(0, dot))), name.substr(dot + 1)};
}

} // namespace

result<repository_scan> scan_repository(const std::string &repo)
{
	auto names = list_folder(repo);
	if (!names)
		return names.err().code == errc::not_found
			       ? make_error(errc::not_found, fmt::format("no repository at {}", repo))
			       : in_context(names.err(), "cannot read the repository " + repo);
	std::sort(names->begin(), names->end());
	auto buf = user_buffer::map(1 << 20);
	if (!buf)
		return buf.err();
	repository_scan scan;
	std::set<unsigned> manifests, data;
	for (const std::string &name : *names) {
		auto f = backup_file(name);
		if (!f)
			continue;
		auto [seq, ext] = *f;
		scan.next_sequence = std::max(scan.next_sequence, seq + 1);
		if (ext == "json")
			manifests.insert(seq);
		else if (ext == "img" || ext == "delta")
			data.insert(seq);
		else if (ext.ends_with(".tmp"))
			scan.leftovers.push_back(name);	// a commit that did not finish
	}
	for (unsigned seq : data)
		if (!manifests.count(seq)) {
			scan.incomplete.push_back(seq);
			for (backup_kind k : {backup_kind::full, backup_kind::incremental})
				if (std::binary_search(names->begin(), names->end(), data_file_name(seq, k)))
					scan.leftovers.push_back(data_file_name(seq, k));
		}
	std::sort(scan.leftovers.begin(), scan.leftovers.end());
	for (unsigned seq : manifests) {
		std::string name = manifest_name(seq);
		auto text = read_whole_file(repository_file(repo, name), *buf);
		if (!text)
			return in_context(text.err(), "cannot read the repository " + repo);
		// Manifests are committed whole, by rename: one that does not parse is damage.
		auto j = parse_manifest_json(*text);
		if (!j) {
			scan.damaged.push_back(
				{seq, make_error(errc::corrupt,
						 fmt::format("manifest {} is damaged: it is not a whole "
							     "JSON document",
							     name))});
			continue;
		}
		auto m = manifest_from_json(*j, name, seq);
		if (!m) {
			scan.damaged.push_back({seq, m.err()});
			continue;
		}
		// A data file of a backup that its manifest does not name: a prune's merge
		// interrupted before its commit, or the one it replaced after.
		for (backup_kind k : {backup_kind::full, backup_kind::incremental})
			if (std::string f = data_file_name(seq, k);
			    f != m->data_file && std::binary_search(names->begin(), names->end(), f))
				scan.leftovers.push_back(f);
		scan.backups.push_back(std::move(m).value());
	}
	std::sort(scan.leftovers.begin(), scan.leftovers.end());
	return scan;
}

result<void> remove_leftovers(const std::string &repo, const repository_scan &scan)
{
	for (const std::string &name : scan.leftovers)
		BACKUP_TRY(remove_file(repository_file(repo, name)));
	return {};
}

result<repository_lock> repository_lock::take(const std::string &repo, bool writer,
					      const std::string &holder)
{
	if (auto d = sys_file::open(repo, open_mode::folder); !d)
		return d.err().code == errc::not_found
			       ? make_error(errc::not_found, fmt::format("no repository at {}", repo))
			       : d.err();
	auto f = sys_file::open(repository_file(repo, LOCK_FILE), open_mode::update);
	if (!f)
		return in_context(f.err(), "cannot lock the repository");
	if (auto r = f->lock((writer ? LOCK_EX : LOCK_SH) | LOCK_NB); !r) {
		if (r.err().code != errc::busy)
			return r.err();
		auto buf = user_buffer::map(4096);
		std::string who;
		if (buf)
			if (auto t = read_whole_file(f->path(), *buf))
				who = *t;
		while (!who.empty() && (who.back() == '\n' || who.back() == '\0'))
			who.pop_back();
		return make_error(errc::busy,
				  fmt::format("the repository {} is in use by {}: wait for it to "
					      "end",
					      repo, who.empty() ? "another zep reading it" : who));
	}
	if (writer) {
		auto buf = user_buffer::map(4096);
		if (!buf)
			return buf.err();
		BACKUP_TRY(write_bytes(*f, *buf, holder + "\n"));
	}
	return repository_lock(std::move(*f), writer);
}

repository_lock::~repository_lock()
{
	// The holder's words go before the lock: a reader refused later names no one gone.
	if (writer_ && file_)
		(void)file_->truncate();
}

namespace {

// What keeps `parent` from being the backup `child` was made after, or "".
std::string broken_link(const manifest &child, const manifest &parent)
{
	bool linked = child.parent_checksum == parent.self_checksum ||
		      std::find(parent.replaces.begin(), parent.replaces.end(),
				child.parent_checksum) != parent.replaces.end();
	if (!linked)
		return fmt::format("backup {:04} was made after another backup {:04} than the one in "
				   "the repository now ({} was replaced)",
				   child.sequence, parent.sequence, manifest_name(parent.sequence));
	if (child.device != parent.device || child.size != parent.size)
		return fmt::format("backup {:04} is of {} ({} bytes) but its parent {:04} is of {} "
				   "({} bytes)",
				   child.sequence, child.device, child.size, parent.sequence,
				   parent.device, parent.size);
	return "";
}

} // namespace

result<std::vector<manifest>> backup_chain(const repository_scan &scan, unsigned sequence)
{
	std::vector<manifest> chain;
	for (std::optional<unsigned> seq = sequence; seq;) {
		const manifest *m = scan.find(*seq);
		if (!m) {
			if (const damaged_backup *d = scan.find_damaged(*seq))
				return d->problem;
			if (chain.empty())
				return make_error(
					errc::not_found,
					fmt::format("there is no backup {:04}", sequence));
			return make_error(errc::corrupt,
					  fmt::format("backup {:04} needs backup {:04}, which is "
						      "missing",
						      chain.back().sequence, *seq));
		}
		std::string problem = chain.empty() ? "" : broken_link(chain.back(), *m);
		if (!problem.empty())
			return make_error(errc::corrupt, problem);
		chain.push_back(*m);
		seq = m->parent;
	}
	std::reverse(chain.begin(), chain.end());
	return chain;
}

// What is wrong with a backup's data file ("" when it is there with its size).
static std::string data_file_problem(const std::string &repo, const manifest &m)
{
	auto f = sys_file::open(repository_file(repo, m.data_file), open_mode::read);
	auto size = f ? f->size() : result<uint64_t>(f.err());
	if (size && *size == m.data_bytes)
		return "";
	return fmt::format("{} of backup {:04} {}; make a full backup (--full)", m.data_file, m.sequence,
			   size ? fmt::format("holds {} bytes, not {}", *size, m.data_bytes) : "is missing");
}

result<std::vector<manifest>> whole_chain(const std::string &repo, const repository_scan &scan,
					  unsigned sequence)
{
	auto chain = backup_chain(scan, sequence);
	if (!chain)
		return chain.err();
	for (const manifest &m : *chain)
		if (std::string problem = data_file_problem(repo, m); !problem.empty())
			return make_error(errc::corrupt, problem);
	return chain;
}

std::set<unsigned> restorable_backups(const std::string &repo, const repository_scan &scan)
{
	std::map<unsigned, bool> file_ok;	// each data file looked at once, not once per chain
	std::set<unsigned> out;
	for (const manifest &b : scan.backups) {
		auto chain = backup_chain(scan, b.sequence);
		if (!chain)
			continue;
		bool ok = true;
		for (const manifest &m : *chain) {
			auto [it, fresh] = file_ok.try_emplace(m.sequence, false);
			if (fresh)
				it->second = data_file_problem(repo, m).empty();
			ok = ok && it->second;
		}
		if (ok)
			out.insert(b.sequence);
	}
	return out;
}

result<repository_scan> open_for_reading(const std::string &repo,
					 std::optional<repository_lock> &lock)
{
	auto l = repository_lock::take(repo, false);
	if (!l)
		return l.err();
	lock.emplace(std::move(*l));
	return scan_repository(repo);
}

result<repository_scan> open_for_writing(const std::string &repo, const std::string &holder,
					 std::optional<repository_lock> &lock)
{
	auto l = repository_lock::take(repo, true, holder);
	if (!l)
		return l.err();
	lock.emplace(std::move(*l));
	auto scan = scan_repository(repo);
	if (!scan)
		return scan.err();
	BACKUP_TRY(remove_leftovers(repo, *scan));
	scan->leftovers.clear();
	scan->incomplete.clear();
	return scan;
}

} // namespace zep
