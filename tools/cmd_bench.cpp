// `zep bench`: the lines of tools/bench.h measured one after the other and printed as one
// table, or as one JSON document. A line that cannot be measured is shown as failed, with
// why, and the others still run; goals that are not met are results, not errors.
#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fmt/format.h>

#include "tools/bench.h"
#include "tools/commands.h"
#include "tools/interrupt.h"

namespace zep
{

namespace bench
{

bool wanted(const options &o, const std::string &id)
{
	return o.only.empty() || std::find(o.only.begin(), o.only.end(), id) != o.only.end();
}

} // namespace bench

namespace
{

namespace fs = std::filesystem;
using bench::line;

constexpr int LINES = 11; // P0 .. P10

std::string value_text(const line &l)
{
	if (!l.error.empty())
		return "failed";
	if (l.unit == "x")
		return fmt::format("{:.3g}x", l.value);
	if (l.unit == "ms")
		return fmt::format("{:.3g} ms", l.value);
	if (l.unit == "bytes")
		return fmt::format("{:.0f} bytes", l.value);
	return fmt::format("{:g} {}", l.value, l.unit);
}

std::string table(const std::vector<line> &lines)
{
	std::vector<std::array<std::string, 6>> rows = {
	    {"id", "what", "disk", "value", "goal", "met"}};
	for (const line &l : lines)
		rows.push_back({l.id, l.what, l.disk.empty() ? "-" : l.disk, value_text(l),
		                l.goal.empty() ? "-" : l.goal,
		                l.met ? (*l.met ? "yes" : "no") : "-"});
	std::array<size_t, 6> width{};
	for (const auto &r : rows)
		for (size_t c = 0; c < r.size(); c++)
			width[c] = std::max(width[c], r[c].size());
	std::string out;
	for (const auto &r : rows)
		out += fmt::format("{:<{}}  {:<{}}  {:<{}}  {:>{}}  {:<{}}  {}\n", r[0], width[0],
		                   r[1], width[1], r[2], width[2], r[3], width[3], r[4], width[4],
		                   r[5]);
	for (const line &l : lines)
		if (!l.error.empty())
			out += fmt::format("{} ({}) failed: {}\n", l.id, l.disk, l.error);
	return out;
}

nlohmann::ordered_json line_json(const line &l)
{
	nlohmann::ordered_json j = {{"id", l.id}, {"what", l.what}, {"disk", l.disk}};
	j["value"] = l.error.empty() ? nlohmann::ordered_json(l.value) : nlohmann::ordered_json();
	j["unit"] = l.unit;
	j["goal"] = l.goal;
	j["met"] = l.met ? nlohmann::ordered_json(*l.met) : nlohmann::ordered_json();
	j["detail"] = l.error.empty() ? nlohmann::ordered_json(l.detail)
	                              : nlohmann::ordered_json{{"error", l.error}};
	return j;
}

// What the numbers were taken on: they move with the host and its load.
nlohmann::ordered_json host_json(const bench::options &o)
{
	nlohmann::ordered_json h = {{"cores", std::thread::hardware_concurrency()}};
	std::ifstream cpu("/proc/cpuinfo");
	for (std::string l; std::getline(cpu, l);)
		if (l.starts_with("model name") && l.find(':') != std::string::npos) {
			h["cpu"] = l.substr(l.find(':') + 2);
			break;
		}
	struct utsname u {
	};
	if (::uname(&u) == 0)
		h["kernel"] = fmt::format("{} {}", u.sysname, u.release);
	double load[3];
	if (::getloadavg(load, 3) == 3)
		h["load"] = {load[0], load[1], load[2]};
	h["tmpdir"] = o.tmpdir;
	h["seconds_per_line"] = o.seconds;
	return h;
}

// Checks the arguments: usage when one is out of range or names nothing there.
result<bench::options> options_of(const bench_args &a)
{
	bench::options o;
	if (!(a.seconds > 0 && a.seconds <= 600))
		return make_error(errc::usage,
		                  fmt::format("--seconds {}: give a time per line from more "
		                              "than 0 to 600 seconds, such as 0.5",
		                              a.seconds));
	o.seconds = a.seconds;
	for (std::string id : a.only) {
		std::transform(id.begin(), id.end(), id.begin(),
		               [](unsigned char c) { return std::toupper(c); });
		int n = -1;
		if (id.size() >= 2 && id[0] == 'P' &&
		    std::all_of(id.begin() + 1, id.end(), ::isdigit) && id.size() <= 3)
			n = std::stoi(id.substr(1));
		if (n < 0 || n >= LINES || id != fmt::format("P{}", n))
			return make_error(errc::usage,
			                  fmt::format("--only {}: there is no such line; the "
			                              "lines are P0 to P{}, e.g. --only P0,P7",
			                              id, LINES - 1));
		o.only.push_back(id);
	}
	std::error_code ec;
	o.tmpdir = a.tmpdir.empty() ? fs::temp_directory_path(ec).string()
	                            : fs::absolute(a.tmpdir, ec).string();
	if (!fs::is_directory(o.tmpdir, ec))
		return make_error(errc::usage,
		                  fmt::format("--tmpdir {}: there is no such folder: give an "
		                              "existing folder for the file disks",
		                              a.tmpdir.empty() ? o.tmpdir : a.tmpdir));
	if (a.readers < 0 || a.readers > 64)
		return make_error(errc::usage,
		                  fmt::format("--readers {}: choose a whole number from 0 "
		                              "(the backup's default) to 64",
		                              a.readers));
	o.readers = a.readers;
	return o;
}

} // namespace

int run_bench(const bench_args &a, cli_io &io)
{
	reporter rep(io, "bench", a.json);
	auto o = options_of(a);
	if (!o)
		return rep.failure(o.err());
	interrupt_guard interrupted("bench", "its disks and backing files were removed", io.err);
	std::string folder_error;
	run_folder folder = run_folder::make(o->tmpdir, &folder_error);
	if (folder.path().empty())
		return rep.failure(make_error(errc::io, folder_error));
	bench::options run = *o;
	run.tmpdir = folder.path();
	run.verbose = a.verbose;
	bool shown = false;
	bench::progress_fn progress;
	if (io.err_is_tty)
		progress = [&](const std::string &id, const std::string &what) {
			fmt::print(io.err, "\r\x1b[Kzep bench: {} {}...", id, what);
			std::fflush(io.err);
			shown = true;
		};
	std::vector<line> lines = bench::machine_lines(run, progress);
	for (line &l : bench::backup_lines(run, progress))
		lines.push_back(std::move(l));
	if (shown) {
		fmt::print(io.err, "\r\x1b[K");
		std::fflush(io.err);
	}
	if (lines.empty())
		return rep.failure(make_error(errc::other,
		                              "none of the lines asked for is measured by this "
		                              "zep: leave out --only to see the lines it has"));

	nlohmann::ordered_json doc;
	doc["lines"] = nlohmann::ordered_json::array();
	for (const line &l : lines)
		doc["lines"].push_back(line_json(l));
	doc["host"] = host_json(*o);
	std::string failed;
	for (const line &l : lines)
		if (!l.error.empty())
			failed +=
			    fmt::format("{}{} ({})", failed.empty() ? "" : ", ", l.id, l.disk);
	if (failed.empty())
		return rep.success(doc, table(lines));
	// The lines that were measured are shown all the same.
	error e =
	    make_error(errc::other, fmt::format("could not measure {}: see why in {}", failed,
	                                        a.json ? "each line's detail" : "the lines above"));
	if (a.json) {
		doc["error"] = {{"kind", errc_name(e.code)},
		                {"exit_code", exit_code(e.code)},
		                {"message", e.message}};
		nlohmann::ordered_json full = {{"command", "bench"}, {"ok", false}};
		full.update(doc);
		fmt::print(io.out, "{}\n", full.dump(2));
		std::fflush(io.out);
		return exit_code(e.code);
	}
	fmt::print(io.out, "{}", table(lines));
	std::fflush(io.out);
	return rep.failure(e);
}

} // namespace zep
