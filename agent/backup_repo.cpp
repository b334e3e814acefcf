#include "agent/backup_repo.h"

#include <algorithm>

#include <fmt/format.h>

#include "agent/backup_io.h"

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
	if (next_sequence == 0)
		return std::nullopt;
	return next_sequence - 1;
}

std::string repository_file(const std::string &repo, const std::string &name)
{
	std::string dir = repo;
	while (dir.size() > 1 && dir.back() == '/')
		dir.pop_back();
	return dir + "/" + name;
}

result<repository_scan> scan_repository(const std::string &repo)
{
	auto buf = user_buffer::map(1 << 20);
	if (!buf)
		return buf.err();
	repository_scan scan;
	for (unsigned seq = 0;; seq++) {
		std::string name = manifest_name(seq);
		auto text = read_whole_file(repository_file(repo, name), *buf);
		if (!text && text.err().code == errc::not_found) {
			// The end of the repository, or a backup interrupted before its manifest.
			if (file_exists(repository_file(repo,
							data_file_name(seq, backup_kind::full))) ||
			    file_exists(repository_file(
				    repo, data_file_name(seq, backup_kind::incremental))))
				scan.incomplete.push_back(seq);
			break;
		}
		if (!text)
			return in_context(text.err(), "cannot read the repository " + repo);
		auto j = parse_manifest_json(*text);
		if (!j) {
			scan.incomplete.push_back(seq);
			continue;
		}
		scan.next_sequence = seq + 1;
		auto m = manifest_from_json(*j, name, seq);
		if (m)
			scan.backups.push_back(std::move(m).value());
		else
			scan.damaged.push_back({seq, m.err()});
	}
	if (scan.next_sequence == 0 && !file_exists(repo))
		return make_error(errc::not_found, fmt::format("no repository at {}", repo));
	return scan;
}

namespace {

// What keeps `parent` from being the backup `child` was made after, or "".
std::string broken_link(const manifest &child, const manifest &parent)
{
	if (child.parent_checksum != parent.self_checksum)
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

} // namespace zep
