// `zep backup`: the image attached as a disk, optionally a partition of it, mounted; an
// agent process snapshots it and backs the snapshot up into the repository, fully when the
// repository holds no backup, else incrementally by checksum comparison.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "agent/backup.h"
#include "agent/backup_io.h"
#include "agent/backup_repo.h"
#include "agent/session.h"
#include "serve/partitions.h"
#include "tools/interrupt.h"
#include "tools/commands.h"

namespace zep {

namespace fs = std::filesystem;

namespace {

struct backup_outcome {
	backup_summary summary;
	std::string why;	// why this kind and method
	std::string snapshot_node;
	uint32_t snapshot_time = 0;
	freeze_window freeze;
};

std::string why(const backup_summary &s, bool asked_full)
{
	if (s.kind == backup_kind::full)
		return asked_full ? "a full backup, as --full asked for one"
				  : "a full backup, as the repository held no backup yet";
	return fmt::format(
		"change records do not outlive a run of zep (the driver's control device was "
		"closed when backup {0:04} was made), so the changes since then were found by "
		"comparing each chunk's checksum with backup {0:04}'s manifest",
		*s.parent);
}

// Inside the agent process: snapshot, backup, stop.
result<backup_outcome> backup_in_agent(const backup_args &a, const host_image &img,
				       kern::dev_t dev, const source_identity &id,
				       const std::string &repo, const std::string &tmpdir,
				       const progress_fn &progress)
{
	auto scan = scan_repository(repo);
	if (!scan)
		return scan.err();
	bool full = a.full || !scan->latest();

	snapshot_options so;
	so.io_threads = a.threads;
	so.folder = tmpdir;
	so.device_name = id.name;
	so.device_path = "/dev/" + id.name;
	auto snap = snapshot::take(dev, so);
	if (!snap)
		return in_context(snap.err(), fmt::format("cannot take a snapshot of {}", id.name));
	const started_session &st = snap->started();
	backup_source src = snapshot_source(*snap, id.name);
	src.identity = id;
	// The snapshot freezes the machine's view, not the host file: a program writing the image
	// meanwhile tears it, which its size and times show before the backup is committed.
	src.session_error = [&img, valid = src.session_error]() -> result<std::string> {
		if (auto u = unchanged_since(img); !u)
			return u.err();
		return valid();
	};
	backup_options bo{.progress = progress,
			  .holder = fmt::format("zep backup, pid {}", ::getpid()),
			  .readers = a.readers};
	if (auto c = parse_compression(a.compress); c)
		bo.compression = *c;
	else
		return c.err();
	auto s = full ? full_backup(repo, src, bo) : incremental_backup(repo, src, std::nullopt, bo);
	auto stopped = snap->stop();
	if (!s)
		return s.err();
	if (!stopped)
		return in_context(stopped.err(),
				  fmt::format("backup {:04} was made, but snapshot {} could not be "
					      "stopped",
					      s->sequence, snap->node()));
	return backup_outcome{*s, why(*s, a.full), snap->node(), st.time, st.freeze};
}

// What the backup is of. A partition keeps the name the image's table gives it (vda2 is the
// table's second); one the table does not hold is vda1.
source_identity identify(const host_image &img, const std::optional<partition_spec> &part)
{
	std::error_code ec;
	source_identity id{.kind = fs::is_block_file(img.path, ec) ? "device" : "image",
			   .path = img.path,
			   .size = img.size,
			   .name = "vda"};
	if (!part)
		return id;
	id.partition_start = part->start;
	id.partition_sectors = part->sectors;
	int number = 1;
	if (auto table = read_partitions(img.path))
		for (const partition_entry &e : *table)
			if (e.start == part->start && e.sectors == part->sectors)
				number = e.number;
	id.name = fmt::format("vda{}", number);
	return id;
}

std::string text(const backup_outcome &o, int threads, double seconds)
{
	const backup_summary &s = o.summary;
	return fmt::format(
		"{}snapshot {} of {}, {} IO threads: frozen for {:.3f} ms ({:.3f} ms of it to get "
		"the freeze)\n"
		"why: {}\n"
		"throughput: {} read in {:.2f} s, {:.1f} MiB/s; {:.2f} s in all\n",
		to_text(s), o.snapshot_node, s.device, threads, o.freeze.frozen_ms(),
		o.freeze.get_freeze_ms(), o.why,
		mib(static_cast<double>(s.bytes_read)), s.seconds,
		mib_per_second(s.bytes_read, s.seconds), seconds);
}

nlohmann::ordered_json json(const backup_outcome &o, const backup_args &a,
			    const std::optional<partition_spec> &part, const std::string &image,
			    const std::string &repo, double seconds)
{
	const backup_summary &s = o.summary;
	nlohmann::ordered_json j = {{"image", image},
				    {"partition", nullptr},
				    {"repository", repo}};
	if (part)
		j["partition"] = {{"start", part->start}, {"sectors", part->sectors}};
	j.update(nlohmann::ordered_json(s));
	j["why"] = o.why;
	j["snapshot"] = {{"device", o.snapshot_node},
			 {"io_threads", a.threads},
			 {"time", o.snapshot_time},
			 {"frozen_ms", o.freeze.frozen_ms()},
			 {"get_freeze_ms", o.freeze.get_freeze_ms()}};
	j["throughput_mib_per_s"] = mib_per_second(s.bytes_read, s.seconds);
	j["elapsed_seconds"] = seconds;
	return j;
}

} // namespace

const char *tool_version()
{
	return ZEP_TOOL_VERSION;
}

machine_options machine_for(const common_args &a, const cli_io &io)
{
	return {.verbose = a.verbose, .after_boot = io.after_boot};
}

result<std::string> repository_path(const std::string &dir, bool create)
{
	std::error_code ec;
	std::string abs = fs::absolute(dir, ec).lexically_normal().string();
	while (abs.size() > 1 && abs.back() == '/')
		abs.pop_back();
	if (dir.empty() || abs.starts_with("/dev/"))
		return make_error(errc::usage,
				  fmt::format("--repo \"{}\": a repository is a folder of the host, "
					      "outside /dev",
					      dir));
	fs::file_status st = fs::status(abs, ec);
	if (fs::exists(st) && !fs::is_directory(st))
		return make_error(errc::usage,
				  fmt::format("repository {} is not a folder: give a folder{}", dir,
					      create ? " (it is made when missing)" : ""));
	if (create && !fs::exists(st) && !fs::create_directories(abs, ec) && ec)
		return make_error(
			ec == std::errc::no_space_on_device ? errc::no_space : errc::io,
			ec == std::errc::no_space_on_device
				? fmt::format("cannot make the repository folder {}: the file system "
					      "of {} is full: free space on it, or give --repo a "
					      "folder on another file system",
					      abs, abs)
				: fmt::format("cannot make the repository folder {}: {}", abs,
					      ec.message()));
	return abs;
}

int run_backup(const backup_args &a, cli_io &io)
{
	if (!a.connect.empty())
		return run_served_backup(a, io);
	auto t0 = std::chrono::steady_clock::now();
	reporter rep(io, "backup", a.json);
	if (a.image.empty())
		return rep.failure(make_error(errc::usage, "give --image FILE, or --connect DIR "
							   "--device DEVICE for a device of a zep "
							   "server: see zep backup --help"));
	auto img = inspect_image(a.image, "image");
	if (!img)
		return rep.failure(img.err());
	if (auto locked = not_write_locked(*img); !locked)
		return rep.failure(locked.err());
	std::optional<partition_spec> part;
	if (!a.partition.empty()) {
		auto p = parse_partition(a.partition, img->size);
		if (!p)
			return rep.failure(p.err());
		part = *p;
	}
	std::error_code ec;
	std::string tmpdir = a.tmpdir.empty() ? fs::temp_directory_path(ec).string()
					      : fs::absolute(a.tmpdir, ec).string();
	auto repo = repository_path(a.repo, true);
	if (!repo)
		return rep.failure(repo.err());

	const source_identity id = identify(*img, part);
	interrupt_guard interrupted("backup",
				    "the unfinished backup and the snapshot's backing files were "
				    "removed; earlier backups are intact",
				    io.err);
	std::string folder_error;
	run_folder backing = run_folder::make(tmpdir, &folder_error);
	if (backing.path().empty())
		return rep.failure(make_error(fs::is_directory(tmpdir, ec) ? errc::io : errc::usage,
					      folder_error));
	progress_printer progress(a.progress, io.err, io.err_is_tty, "backup");
	auto out = on_machine<backup_outcome>(machine_for(a, io), [&](machine_run &m)
						      -> result<backup_outcome> {
		auto disk = m.attach_image("vda", *img);
		if (!disk)
			return disk.err();
		kern::dev_t dev = *disk;
		if (part) {
			auto p = m.add_partition(dev, *part, std::stoi(id.name.substr(3)));
			if (!p)
				return p.err();
			dev = *p;
		}
		BACKUP_TRY(m.mount(dev));
		BACKUP_TRY(m.load_driver());
		return m.in_process<backup_outcome>("cdpbackup", [&] {
			return backup_in_agent(a, *img, dev, id, *repo, backing.path(),
					       progress.callback());
		});
	});
	progress.finish();
	if (!out)
		return rep.failure(out.err());
	double seconds =
		std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	return rep.success(json(*out, a, part, img->path, *repo, seconds),
			   text(*out, a.threads, seconds));
}

} // namespace zep
