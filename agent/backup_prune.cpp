#include "agent/backup_prune.h"

#include <algorithm>
#include <optional>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "agent/backup.h"
#include "agent/backup_io.h"
#include "agent/backup_repo.h"

namespace zep {

namespace {

// Removes a file, counting what it held.
result<void> remove_counted(const std::string &repo, const std::string &name, prune_summary &s)
{
	std::string path = repository_file(repo, name);
	if (auto f = sys_file::open(path, open_mode::read)) {
		if (auto size = f->size())
			s.bytes_freed += *size;
	} else if (f.err().code == errc::not_found) {
		return {};
	}
	BACKUP_TRY(remove_file(path));
	s.files_removed.push_back(name);
	return {};
}

} // namespace

result<prune_summary> prune_backups(const std::string &repo, unsigned keep_last,
				    const std::string &holder, const progress_fn &progress)
{
	if (keep_last == 0)
		return make_error(errc::usage, "--keep-last must keep at least one backup");
	std::optional<repository_lock> lock;
	auto scan = open_for_writing(repo, holder, lock);
	if (!scan)
		return scan.err();
	prune_summary s;

	std::set<unsigned> good = restorable_backups(repo, *scan);
	std::vector<unsigned> restorable(good.begin(), good.end());
	if (restorable.empty())
		return make_error(errc::corrupt,
				  fmt::format("the repository {} holds no backup that restores: "
					      "nothing to keep, so nothing was removed",
					      repo));
	std::sort(restorable.begin(), restorable.end());
	size_t first = restorable.size() > keep_last ? restorable.size() - keep_last : 0;
	s.kept.assign(restorable.begin() + static_cast<long>(first), restorable.end());
	auto kept = [&](unsigned seq) {
		return std::binary_search(s.kept.begin(), s.kept.end(), seq);
	};

	// Oldest first, each on a fresh scan: a merged parent is full before its child is looked at.
	for (unsigned seq : s.kept) {
		auto now = scan_repository(repo);
		if (!now)
			return now.err();
		auto chain = whole_chain(repo, *now, seq);
		if (!chain)
			return chain.err();
		bool needs_other = std::any_of(chain->begin(), chain->end(), [&](const manifest &m) {
			return !kept(m.sequence);
		});
		if (!needs_other)
			continue;
		auto written = merge_into_full(repo, *now, seq, progress);
		if (!written)
			return in_context(written.err(),
					  fmt::format("backup {:04} could not be merged into a full "
						      "backup; nothing was removed",
						      seq));
		s.bytes_written += *written;
		s.merged.push_back(seq);
	}

	auto now = scan_repository(repo);
	if (!now)
		return now.err();
	std::vector<unsigned> doomed;
	for (const manifest &m : now->backups)
		if (!kept(m.sequence) && m.sequence < s.kept.front())
			doomed.push_back(m.sequence);
	for (const damaged_backup &d : now->damaged)
		if (d.sequence < s.kept.front())
			doomed.push_back(d.sequence);
	std::sort(doomed.rbegin(), doomed.rend());
	for (unsigned seq : doomed) {
		// The manifest first: a crash between leaves data without one, a leftover.
		BACKUP_TRY(remove_counted(repo, manifest_name(seq), s));
		for (backup_kind k : {backup_kind::full, backup_kind::incremental})
			BACKUP_TRY(remove_counted(repo, data_file_name(seq, k), s));
		s.removed.push_back(seq);
	}
	for (const std::string &name : now->leftovers)
		BACKUP_TRY(remove_counted(repo, name, s));
	BACKUP_TRY(sync_folder(repo));
	std::reverse(s.removed.begin(), s.removed.end());
	return s;
}

void to_json(nlohmann::ordered_json &j, const prune_summary &s)
{
	j = {{"kept", s.kept},
	     {"merged", s.merged},
	     {"removed", s.removed},
	     {"files_removed", s.files_removed},
	     {"bytes_freed", s.bytes_freed},
	     {"bytes_written", s.bytes_written}};
}

std::string to_text(const prune_summary &s)
{
	auto numbers = [](const std::vector<unsigned> &v) {
		std::vector<std::string> out;
		for (unsigned n : v)
			out.push_back(fmt::format("{:04}", n));
		return out.empty() ? std::string("none") : fmt::format("{}", fmt::join(out, ", "));
	};
	std::string text = fmt::format("kept     {}\n", numbers(s.kept));
	if (!s.merged.empty())
		text += fmt::format("merged   {} into full backups, so that they need no older one\n",
				    numbers(s.merged));
	text += fmt::format("removed  {}: {} files, {:.1f} MiB freed\n", numbers(s.removed),
			    s.files_removed.size(), static_cast<double>(s.bytes_freed) / (1 << 20));
	return text;
}

} // namespace zep
