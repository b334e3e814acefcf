// P9 and P10 of `zep bench`: a full backup through `zep backup`'s own code against reading the
// image from the page cache, and NBD reads through `zep serve` against nbdkit's file plugin
// serving the same image to the same clients. Each line that cannot be measured says why in
// its detail instead of ending the command.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "agent/manifest.h"
#include "tools/bench.h"
#include "tools/bench_rig.h"
#include "tools/commands.h"
#include "tools/output.h"
#include "tools/host_block.h"

namespace zep::bench {

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using json = nlohmann::json;

constexpr uint64_t MiB = 1 << 20;

// A failed measurement: the line stays, saying why.
struct line_failed {
	std::string why;
};

// The folder the lines work in, removed with everything in it at the end.
struct work_folder {
	fs::path path;
	explicit work_folder(const std::string &tmpdir)
	{
		std::error_code ec;
		fs::path parent = tmpdir.empty() ? fs::temp_directory_path(ec) : fs::path(tmpdir);
		path = parent / fmt::format("zep-bench-backup-{}", ::getpid());
		fs::remove_all(path, ec);
		if (!fs::create_directories(path, ec))
			throw line_failed{fmt::format("cannot make {}: {}", path.string(), ec.message())};
	}
	~work_folder()
	{
		std::error_code ec;
		fs::remove_all(path, ec);
	}
};

// The image: dense (no chunk is zero), its chunks by turns random and text-like, so that
// compression has both kinds of work. 256 MiB, less for a short run.
uint64_t image_bytes(const options &o)
{
	if (o.seconds >= 2)
		return 256 * MiB;
	return std::max<uint64_t>(16, static_cast<uint64_t>(o.seconds * 128)) * MiB;
}

void make_image(const std::string &path, uint64_t size)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	std::mt19937_64 rng(9);
	const char *words[] = {"snapshot ", "chunk ", "backing ", "store ", "copy ", "write ",
			       "device ", "zep ", "record ", "session "};
	std::vector<char> chunk(CHUNK_BYTES);
	for (uint64_t c = 0; c * chunk.size() < size; c++) {
		if (c % 2 == 0) {
			for (size_t i = 0; i < chunk.size(); i += 8) {
				uint64_t v = rng();
				std::memcpy(chunk.data() + i, &v, 8);
			}
		} else {
			for (size_t i = 0; i < chunk.size();) {
				std::string_view w = words[rng() % std::size(words)];
				size_t n = std::min(w.size(), chunk.size() - i);
				std::memcpy(chunk.data() + i, w.data(), n);
				i += n;
			}
		}
		out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
	}
	if (!out.flush())
		throw line_failed{fmt::format("cannot write the image {}", path)};
}

// Reads a file through like cat, in 128 KiB reads: MiB/s.
double read_through(const std::string &path, uint64_t size)
{
	int fd = ::open(path.c_str(), O_RDONLY);
	if (fd < 0)
		throw line_failed{fmt::format("cannot open {}", path)};
	std::vector<char> buf(128 << 10);
	auto t0 = clock_type::now();
	uint64_t done = 0;
	for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) > 0;)
		done += static_cast<uint64_t>(n);
	double s = seconds_since(t0);
	::close(fd);
	if (done != size)
		throw line_failed{fmt::format("read {} of the {} bytes of {}", done, size, path)};
	return mib_per_second(done, s);
}

// `zep backup --full --json` of the image into a fresh repository, run as the command runs
// it: its JSON document.
json backup_of(const std::string &image, const fs::path &dir, int readers)
{
	backup_args a;
	a.json = true;
	a.progress = progress_mode::none;
	a.image = image;
	a.repo = (dir / "repo").string();
	a.tmpdir = dir.string();
	a.full = true;
	if (readers > 0)
		a.readers = readers;
	cli_io io;
	io.out = std::tmpfile();
	io.err = std::tmpfile();
	if (!io.out || !io.err)
		throw line_failed{"cannot make temporary files for the backup's output"};
	int rc = run_backup(a, io);
	std::string out = read_stream(io.out), err = read_stream(io.err);
	json doc = json::parse(out, nullptr, false);
	if (rc != 0 || doc.is_discarded())
		throw line_failed{fmt::format("zep backup failed (exit {}): {}", rc,
					      doc.is_discarded() ? err + out
								 : doc.value("error", json()).dump())};
	std::error_code ec;
	fs::remove_all(dir / "repo", ec);
	return doc;
}

line p9(const options &o, const std::string &image, uint64_t size, const fs::path &dir)
{
	line l{.id = "P9",
	       .what = "full backup throughput / host sequential read of the image",
	       .disk = "file",
	       .unit = "x",
	       .goal = ">= 0.5x"};
	read_through(image, size);	// into the page cache
	double host = read_through(image, size);
	json b = backup_of(image, dir, o.readers);
	double backup = b.value("throughput_mib_per_s", 0.0);
	l.value = host > 0 ? backup / host : 0;
	l.met = l.value >= 0.5;
	l.detail = {{"image_mib", size / MiB},
		    {"backup_mib_per_s", backup},
		    {"host_read_mib_per_s", host},
		    {"readers", b.value("readers", 0)},
		    {"compression", b.value("compression", "")},
		    {"backup_seconds", b.value("seconds", 0.0)},
		    {"command_seconds", b.value("elapsed_seconds", 0.0)}};
	return l;
}

std::string zep_binary()
{
	std::error_code ec;
	fs::path self = fs::read_symlink("/proc/self/exe", ec);
	if (ec)
		throw line_failed{"cannot find the zep binary: " + ec.message()};
	return self.string();
}

// A server up on a unix socket for as long as this lives.
struct nbd_server {
	std::optional<host::server> zep;
	std::optional<host::child> nbdkit;
	std::string uri;
};

void wait_for_socket(const std::string &sock, host::child &c, const std::string &log)
{
	auto until = clock_type::now() + std::chrono::seconds(30);
	while (!fs::exists(sock)) {
		if (c.poll() || clock_type::now() > until) {
			std::ifstream in(log);
			throw line_failed{"nbdkit did not come up: " +
					  std::string(std::istreambuf_iterator<char>(in), {})};
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
}

struct nbd_rates {
	double seq_mib_s = 0;
	double rand_iops = 0;
	double rand_mib_s = 0;
};

// The same two clients against uri, each for about `seconds`: nbdcopy to null: in 1 MiB
// requests, then fio's nbd engine reading 4 KiB at random.
nbd_rates measure(const std::string &uri, uint64_t size, double seconds)
{
	nbd_rates r;
	// Whole passes over the image until about `seconds` have gone.
	uint64_t bytes = 0;
	auto t0 = clock_type::now();
	do {
		auto copy = host::shell("nbdcopy --request-size=1048576 " + host::sh_quote(uri) +
					" null:");
		if (!copy.ok())
			throw line_failed{"nbdcopy failed: " + copy.describe()};
		bytes += size;
	} while (seconds_since(t0) < seconds);
	r.seq_mib_s = mib_per_second(bytes, seconds_since(t0));
	int runtime = std::max(1, static_cast<int>(seconds + 0.5));
	auto fio = host::shell(fmt::format("fio --name=rand4k --ioengine=nbd --uri={} --rw=randread "
					   "--bs=4k --iodepth=16 --time_based --runtime={} "
					   "--output-format=json 2>/dev/null",
					   host::sh_quote(uri), runtime));
	// fio says it connected before its document.
	size_t brace = fio.output.find('{');
	json doc = json::parse(brace == std::string::npos ? "" : fio.output.substr(brace), nullptr,
			       false);
	if (!fio.ok() || doc.is_discarded() || !doc.contains("jobs") || doc["jobs"].empty())
		throw line_failed{"fio failed: " + fio.describe()};
	const json &rd = doc["jobs"][0]["read"];
	r.rand_iops = rd.value("iops", 0.0);
	r.rand_mib_s = rd.value("bw_bytes", 0.0) / MiB;
	return r;
}

line p10(const options &o, const std::string &image, uint64_t size, const fs::path &dir)
{
	line l{.id = "P10",
	       .what = "NBD reads through zep serve / nbdkit file plugin (1 MiB sequential; 4 KiB "
		       "random in detail)",
	       .disk = "file",
	       .unit = "x"};
	for (const char *tool : {"nbdkit", "nbdcopy", "fio"})
		if (!host::have_tool(tool))
			throw line_failed{std::string(tool) + " is not installed"};
	if (std::string(ZEP_NBDKIT_PLUGIN).empty())
		throw line_failed{"this build has no nbdkit plugin (a sanitizer build)"};
	const double each = std::max(1.0, o.seconds / 2);

	nbd_rates zep;
	{
		auto s = host::server::start(zep_binary(), {image}, (dir / "run").string(), "");
		if (!s)
			throw line_failed{"zep serve: " + s.err().message};
		zep = measure(s->uri("vda"), size, each);
		if (auto q = s->quit(); !q || *q != 0)
			throw line_failed{"zep serve did not quit cleanly"};
	}
	nbd_rates file;
	{
		const std::string sock = (dir / "nbdkit.sock").string(), log = (dir / "nbdkit.log").string();
		auto c = host::child::start({"nbdkit", "--foreground", "--unix", sock, "--readonly", "file",
					     image},
					    log);
		if (!c)
			throw line_failed{"nbdkit: " + c.err().message};
		wait_for_socket(sock, *c, log);
		file = measure("nbd+unix:///?socket=" + sock, size, each);
	}
	auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
	l.value = ratio(zep.seq_mib_s, file.seq_mib_s);
	l.detail = {{"image_mib", size / MiB},
		    {"export", "vda, the live disk of the image"},
		    {"sequential_1m", {{"client", "nbdcopy --request-size=1048576 to null:"},
				       {"zep_mib_per_s", zep.seq_mib_s},
				       {"file_plugin_mib_per_s", file.seq_mib_s},
				       {"ratio", l.value}}},
		    {"random_4k", {{"client", "fio, nbd engine, randread, iodepth 16"},
				   {"zep_iops", zep.rand_iops},
				   {"file_plugin_iops", file.rand_iops},
				   {"zep_mib_per_s", zep.rand_mib_s},
				   {"file_plugin_mib_per_s", file.rand_mib_s},
				   {"ratio", ratio(zep.rand_iops, file.rand_iops)}}}};
	return l;
}

// Runs one line; whatever goes wrong is its detail.
template <typename F> line guarded(const std::string &id, const std::string &what, F run)
{
	try {
		return run();
	} catch (const line_failed &f) {
		return line{.id = id, .what = what, .error = f.why};
	} catch (const std::exception &e) {
		return line{.id = id, .what = what, .error = e.what()};
	}
}

} // namespace

std::vector<line> backup_lines(const options &o, const progress_fn &progress)
{
	std::vector<line> lines;
	const bool want9 = wanted(o, "P9"), want10 = wanted(o, "P10");
	if (!want9 && !want10)
		return lines;
	const uint64_t size = image_bytes(o);
	std::optional<work_folder> dir;
	std::string image;
	std::string setup_error;
	try {
		dir.emplace(o.tmpdir);
		image = (dir->path / "dense.img").string();
		make_image(image, size);
	} catch (const line_failed &f) {
		setup_error = f.why;
	}
	auto run = [&](const std::string &id, const std::string &what, auto fn) {
		if (progress)
			progress(id, what);
		lines.push_back(guarded(id, what, [&] {
			if (!setup_error.empty())
				throw line_failed{setup_error};
			return fn();
		}));
	};
	if (want9)
		run("P9", "full backup throughput / host sequential read of the image",
		    [&] { return p9(o, image, size, dir->path); });
	if (want10)
		run("P10", "NBD reads through zep serve / nbdkit file plugin",
		    [&] { return p10(o, image, size, dir->path); });
	return lines;
}

} // namespace zep::bench
