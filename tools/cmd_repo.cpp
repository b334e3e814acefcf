// `zep restore`, `zep verify` and `zep version`: a machine booted for an agent process that
// reads the repository (and, for verify --against, an image attached as a disk), or asks
// the driver its version.
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "agent/backup_io.h"
#include "agent/backup_restore.h"
#include "agent/backup_verify.h"
#include "agent/control.h"
#include "tools/commands.h"
#include "tools/interrupt.h"

namespace zep {

namespace fs = std::filesystem;

namespace {

// The file a restore writes, as an absolute path: usage when it exists (unless force), is
// in the repository, or its folder does not exist.
result<std::string> output_path(const std::string &file, const std::string &repo, bool force)
{
	std::error_code ec;
	fs::path abs = fs::absolute(file, ec).lexically_normal();
	fs::file_status st = fs::status(abs, ec);
	std::string why;
	if (file.empty() || abs.filename().empty() || abs.string().starts_with("/dev/"))
		why = "give the path of a host file to write the image to";
	else if (fs::is_directory(st))
		why = "it is a folder: give the path of a file";
	else if (fs::exists(st) && !force)
		why = "it exists: remove it, or give --force to overwrite it";
	else if (!fs::is_directory(abs.parent_path(), ec))
		why = fmt::format("there is no folder {}", abs.parent_path().string());
	else if (abs.parent_path() == fs::path(repo))
		why = "it is inside the repository: write the image somewhere else";
	if (!why.empty())
		return make_error(errc::usage, fmt::format("--output {}: {}", file, why));
	return abs.string();
}

// The agent names the disk a file was attached as; people know the file.
error naming_file(error e, const std::string &node, const std::string &file)
{
	for (size_t at; (at = e.message.find(node)) != std::string::npos;)
		e.message.replace(at, node.size(), file);
	return e;
}

// What to do about a damaged repository, after what is damaged.
error with_repair_hint(error e)
{
	if (e.code == errc::corrupt)
		e.message += "; backups whose chain does not hold it still restore (zep verify "
			     "--backup N tells), and zep backup --full starts a new chain";
	return e;
}

} // namespace

int run_restore(const restore_args &a, cli_io &io)
{
	reporter rep(io, "restore", a.json);
	auto repo = repository_path(a.repo, false);
	if (!repo)
		return rep.failure(repo.err());
	auto out = output_path(a.output, *repo, a.force);
	if (!out)
		return rep.failure(out.err());
	interrupt_guard interrupted("restore", "the unfinished image file was removed", io.err);
	progress_printer progress(a.progress, io.err, io.err_is_tty, "restore");
	restore_options ro{.sequence = a.backup, .progress = progress.callback()};
	auto s = on_machine<restore_summary>(machine_for(a, io), [&](machine_run &m) {
		return m.in_process<restore_summary>(
			"cdprestore", [&] { return restore_backup(*repo, *out, ro); });
	});
	progress.finish();
	if (!s && s.err().code == errc::no_space &&
	    s.err().message.find("file system of " + *out) != std::string::npos)
		return rep.failure(make_error(errc::no_space,
					      s.err().message +
						      ": free space on it, or give --output a file "
						      "on another file system, and run the restore "
						      "again"));
	if (!s)
		return rep.failure(with_repair_hint(s.err()));
	nlohmann::ordered_json j = {{"repository", *repo}};
	j.update(nlohmann::ordered_json(*s));
	j["throughput_mib_per_s"] = mib_per_second(s->size, s->seconds);
	return rep.success(j, fmt::format("{}{} restored at {:.1f} MiB/s\n", to_text(*s),
					  mib(static_cast<double>(s->size)),
					  mib_per_second(s->size, s->seconds)));
}

int run_verify(const verify_args &a, cli_io &io)
{
	reporter rep(io, "verify", a.json);
	auto repo = repository_path(a.repo, false);
	if (!repo)
		return rep.failure(repo.err());
	std::optional<host_image> against;
	std::optional<partition_spec> part;
	if (!a.against.empty()) {
		auto img = inspect_image(a.against, "image");
		if (!img)
			return rep.failure(img.err());
		against = *img;
		if (!a.partition.empty()) {
			auto p = parse_partition(a.partition, img->size);
			if (!p)
				return rep.failure(p.err());
			part = *p;
		}
	}
	const std::string node = part ? "/dev/vdb1" : "/dev/vdb";
	progress_printer progress(a.progress, io.err, io.err_is_tty, "verify");
	verify_options vo{.sequence = a.backup,
			  .device = against ? node : "",
			  .progress = progress.callback()};
	auto s = on_machine<verify_summary>(machine_for(a, io), [&](machine_run &m)
						    -> result<verify_summary> {
		if (against) {
			auto d = m.attach_image("vdb", *against);
			if (!d)
				return d.err();
			if (part)
				if (auto p = m.add_partition(*d, *part); !p)
					return p.err();
		}
		return m.in_process<verify_summary>("cdpverify",
						    [&] { return verify_backups(*repo, vo); });
	});
	progress.finish();
	if (!s)
		return rep.failure(against ? naming_file(s.err(), node, against->path)
					   : with_repair_hint(s.err()));
	if (against)
		s->device = against->path + (part ? fmt::format(" partition {}:{}", part->start,
								part->sectors)
						  : "");
	nlohmann::ordered_json j = {{"repository", *repo}};
	j.update(nlohmann::ordered_json(*s));
	return rep.success(j, to_text(*s));
}

int run_version(const common_args &a, cli_io &io)
{
	reporter rep(io, "version", a.json);
	auto v = on_machine<driver_version>(machine_for(a, io), [&](machine_run &m)
						    -> result<driver_version> {
		BACKUP_TRY(m.load_driver());
		return m.in_process<driver_version>("cdpversion", [] {
			auto c = control::open();
			return c ? c->version() : result<driver_version>(c.err());
		});
	});
	if (!v)
		return rep.failure(v.err());
	nlohmann::ordered_json j = {{"zep", tool_version()},
				    {"driver",
				     {{"version", v->text()},
				      {"major", v->major},
				      {"minor", v->minor},
				      {"maint", v->maint},
				      {"build", v->build}}}};
	return rep.success(j, fmt::format("zep {}\ndriver {}\n", tool_version(), v->text()));
}

} // namespace zep
