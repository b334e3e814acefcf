// What `zep demo` found, as its summary: one JSON document, or lines for people.
#include <fmt/format.h>

#include "agent/manifest.h"
#include "tools/demo_parts.h"
#include "tools/output.h"

namespace zep::demo_parts {

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

	if (f.ext4) {
		const ext4_facts &e = *f.ext4;
		j["real_ext4"] = {{"status", e.status},
				  {"reason", e.reason},
				  {"files", e.files},
				  {"files_intact", e.files_intact},
				  {"freeze_ms", e.freeze_ms},
				  {"quiesced", e.quiesced},
				  {"fsck_exit", e.fsck_exit},
				  {"incremental_method", e.incremental_method},
				  {"incremental_read", e.incremental_read},
				  {"restore_equal", e.restore_equal},
				  {"restored_fsck_exit", e.restored_fsck_exit},
				  {"seconds", e.seconds}};
	}

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
						 : ojson()},
		{"real_ext4", f.ext4 ? ojson(f.ext4->status) : ojson()}};

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
		line("full backup", fmt::format("backup {:04}: {} read in {:.2f} s, {:.1f} MiB/s; {} copied "
						"into the repository",
						f.full_backup->sequence,
						mib(static_cast<double>(f.full_backup->bytes_read)),
						f.full_backup->seconds, throughput(f.full_backup),
						mib(static_cast<double>(f.full_backup->bytes_written))));
	if (f.incremental_snapshot)
		line("snapshot 2", snapshot_line(*f.incremental_snapshot));
	if (f.changes)
		line("change records",
		     fmt::format("{} records, {} extents of {} since the first snapshot{}", f.changes->records,
				 f.changes->extents, mib(static_cast<double>(f.changes->bytes)),
				 f.changes->complete ? "" : " (incomplete: " + f.changes->reason + ")"));
	if (f.incremental_backup)
		line("incremental",
		     fmt::format("backup {:04} by {}: {} read in {:.2f} s, {:.1f} MiB/s; {} copied into "
				 "the repository",
				 f.incremental_backup->sequence, method_name(f.incremental_backup->method),
				 mib(static_cast<double>(f.incremental_backup->bytes_read)),
				 f.incremental_backup->seconds, throughput(f.incremental_backup),
				 mib(static_cast<double>(f.incremental_backup->bytes_written))));
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
	if (f.ext4) {
		const ext4_facts &e = *f.ext4;
		if (e.status == "passed")
			line("real ext4", fmt::format("passed in {:.1f} s: zep1 of vda1 frozen {:.1f} ms{}, "
						      "e2fsck -fn clean, {} of {} files as at the freeze; "
						      "backed up, zep2 incrementally by {} ({} read), "
						      "restored byte for byte",
						      e.seconds, e.freeze_ms, e.quiesced ? " by fsfreeze" : "",
						      e.files_intact, e.files, e.incremental_method,
						      mib(static_cast<double>(e.incremental_read))));
		else if (e.status == "skipped")
			line("real ext4", "skipped: " + e.reason);
		else
			line("real ext4", "FAILED: " + e.reason);
	}
	line("elapsed", fmt::format("{:.1f} s", f.seconds));
	return t;
}

} // namespace zep::demo_parts
