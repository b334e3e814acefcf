// The lines `zep bench` measures inside the machine, P0 to P8. Each boots a machine of its
// own (tools/bench_rig.h), so that a line that fails leaves nothing behind for the next;
// each ratio is taken against its baseline in the same machine, in alternating batches, so
// that load from elsewhere on the host falls on both sides alike.
#include "tools/bench.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "agent/changes.h"
#include "kernel/machine.h"
#include "kernel/mm/mm.h"
#include "kernel/syscalls.h"
#include "tools/bench_rig.h"

namespace zep::bench
{

namespace
{

namespace fs = std::filesystem;
using clock = std::chrono::steady_clock;
using json = nlohmann::json;

// A goal: the value compared with a bound.
struct goal {
	enum op { none, at_least, at_most, exactly } how = none;
	double bound = 0;
	std::string text() const
	{
		switch (how) {
		case at_least:
			return fmt::format(">= {:g}x", bound);
		case at_most:
			return fmt::format("<= {:g}x", bound);
		case exactly:
			return fmt::format("== {:g}", bound);
		default:
			return "";
		}
	}
	std::optional<bool> met(double v) const
	{
		switch (how) {
		case at_least:
			return v >= bound;
		case at_most:
			return v <= bound;
		case exactly:
			return v == bound;
		default:
			return std::nullopt;
		}
	}
};

// One measurement: what it says, and how it is taken (filling value and detail).
struct measurement {
	std::string id, what, disk, unit;
	goal g;
	std::function<void(const options &, line &)> measure;
};

std::string rig_dir(const options &o, const std::string &id)
{
	fs::path base = o.tmpdir.empty() ? fs::temp_directory_path() : fs::path(o.tmpdir);
	static unsigned made = 0;
	return (base / fmt::format("{}.{}", id, made++)).string();
}

rig_options rig_for(const options &o, const std::string &id, bool file,
                    uint64_t part_bytes = 64 << 20)
{
	rig_options r;
	r.file_disks = file;
	r.dir = rig_dir(o, id);
	r.part_bytes = part_bytes;
	r.verbose = o.verbose;
	return r;
}

// Stops a measurement's machine, failing the line when it did not end clean.
void end(rig &r)
{
	if (std::string left = r.finish(); !left.empty())
		throw rig_error("the machine did not end clean: " + left);
}

// Seconds per operation of the two sides of a ratio, taken in alternating batches.
struct sides {
	double a = 0, b = 0;     // total seconds
	uint64_t na = 0, nb = 0; // operations
	double a_each() const { return na ? a / static_cast<double>(na) : 0; }
	double b_each() const { return nb ? b / static_cast<double>(nb) : 0; }
	// Throughput of a over throughput of b.
	double ratio() const { return a_each() > 0 ? b_each() / a_each() : 0; }
};

json rates(const sides &s, uint64_t bytes, const char *a, const char *b)
{
	return {{fmt::format("{}_us", a), s.a_each() * 1e6},
	        {fmt::format("{}_us", b), s.b_each() * 1e6},
	        {fmt::format("{}_mib_s", a), s.a_each() > 0 ? bytes / s.a_each() / (1 << 20) : 0},
	        {fmt::format("{}_mib_s", b), s.b_each() > 0 ? bytes / s.b_each() / (1 << 20) : 0},
	        {"operations_each_side", s.na}};
}

// Writes of the plan, hooked then twin, in passes over the partition until `seconds` have
// gone by (at least one pass): each hooked pass in a session of its own, started before it and
// stopped after it (untimed), so that the twin writes while no IO thread works. check(writes)
// looks at the session before it stops.
sides first_write_passes(rig &r, const write_plan &plan, double seconds,
                         const std::function<void(uint64_t)> &check)
{
	sides s;
	auto t0 = clock::now();
	do {
		r.take(false);
		for (uint64_t i = 0; i < plan.count; i++)
			s.a += r.write(true, plan.offset(i), plan.bytes);
		s.na += plan.count;
		check(plan.count);
		r.stop();
		for (uint64_t i = 0; i < plan.count; i++)
			s.b += r.write(false, plan.offset(i), plan.bytes);
		s.nb += plan.count;
	} while (seconds_since(t0) < seconds);
	return s;
}

// Operations of two sides alternating in small groups until `seconds` have gone by (at least
// one group), so that load from elsewhere on the host falls on both alike. op(a, i) does the
// i-th operation of side a (or b) and returns its seconds; i walks 0 .. count - 1 over and over.
sides interleaved(uint64_t count, double seconds, const std::function<double(bool, uint64_t)> &op)
{
	constexpr uint64_t GROUP = 32;
	sides s;
	uint64_t next = 0;
	auto t0 = clock::now();
	do {
		for (bool a : {true, false}) {
			for (uint64_t i = 0; i < GROUP; i++)
				(a ? s.a : s.b) += op(a, (next + i) % count);
			(a ? s.na : s.nb) += GROUP;
		}
		next = (next + GROUP) % count;
	} while (seconds_since(t0) < seconds);
	return s;
}

// Preserves every chunk of the hooked partition in the newest session and waits until its IO
// threads have written them all out.
void preserve_all(rig &r)
{
	for (uint64_t off = 0; off < r.part_bytes(); off += MAX_IO)
		r.write(true, static_cast<int64_t>(off), MAX_IO);
	if (!r.drained())
		throw rig_error(
		    "the IO threads did not write the copied-out chunks out within a minute");
	if (r.preserved() != r.part_bytes() / CHUNK)
		throw rig_error(fmt::format("{} chunks preserved after writing all {}",
		                            r.preserved(), r.part_bytes() / CHUNK));
}

// ---- P0: a 4 KiB write and read as bios, against pwrite and pread on the host file.
void io_round_trip(const options &o, line &l, bool file)
{
	rig r(rig_for(o, "P0", file, 4 << 20));
	// The file disk's own host file; beside the RAM disk, one of the same size.
	std::string host_file =
	    file ? r.disk_file(false) : (fs::path(r.dir()) / "host.img").string();
	int hfd = ::open(host_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
	std::vector<unsigned char> buf(4096, 0x5a);
	// Written through once, as the disk's file was filled: no write below allocates.
	for (off_t at = 0; hfd >= 0 && !file && at < (4 << 20); at += 4096)
		if (::pwrite(hfd, buf.data(), buf.size(), at) != 4096) {
			::close(hfd);
			hfd = -1;
		}
	if (hfd < 0)
		throw rig_error(fmt::format("cannot make the host file {}", host_file));
	sides s;                        // a: emulated pairs, b: host pairs
	constexpr uint64_t ROUND = 128; // write+read pairs per batch
	uint64_t off = 0;
	auto t0 = clock::now();
	do {
		s.a += bio_round_trips(r.twin_disk(), 2 * ROUND);
		s.na += ROUND;
		auto h0 = clock::now();
		for (uint64_t i = 0; i < ROUND; i++, off = (off + 4096) % (4 << 20)) {
			if (::pwrite(hfd, buf.data(), buf.size(), static_cast<off_t>(off)) !=
			        4096 ||
			    ::pread(hfd, buf.data(), buf.size(), static_cast<off_t>(off)) != 4096) {
				::close(hfd);
				throw rig_error("a host pwrite or pread failed");
			}
		}
		s.b += seconds_since(h0);
		s.nb += ROUND;
	} while (seconds_since(t0) < o.seconds);
	::close(hfd);
	end(r);
	l.value = s.b_each() > 0 ? s.a_each() / s.b_each() : 0;
	l.detail = {{"emulated_pair_us", s.a_each() * 1e6},
	            {"host_pair_us", s.b_each() * 1e6},
	            {"pairs", s.na}};
}

// ---- P1: writes to chunks preserved and written out already.
void preserved_writes(const options &o, line &l, bool file)
{
	rig r(rig_for(o, "P1", file));
	r.take(false);
	preserve_all(r);
	double worst = 0;
	for (uint64_t bytes : {uint64_t{4096}, MAX_IO}) {
		write_plan plan(bytes, r.part_bytes());
		sides s = interleaved(plan.count, o.seconds / 2, [&](bool hooked, uint64_t i) {
			return r.write(hooked, plan.offset(i), plan.bytes);
		});
		if (r.preserved() != r.part_bytes() / CHUNK)
			throw rig_error("a write to a preserved chunk preserved another");
		l.detail[bytes == 4096 ? "4KiB" : "1MiB"] =
		    rates(s, bytes, "session", "no_session");
		l.detail[bytes == 4096 ? "4KiB" : "1MiB"]["ratio"] = s.ratio();
		worst = worst == 0 ? s.ratio() : std::min(worst, s.ratio());
	}
	end(r);
	l.value = worst;
}

// ---- P2, P3: first writes, each pass over the partition in a session of its own, so that
// every write waits for the copy-out of the chunks it touches. 1 MiB writes are sequential:
// each finds its first chunk preserved by the one before, which preserved the chunk after
// its end.
void first_writes(const options &o, line &l, bool file, uint64_t bytes)
{
	rig r(rig_for(o, l.id, file));
	write_plan plan(bytes, r.part_bytes());
	if (bytes >= CHUNK) {
		plan.stride = bytes;
		plan.count = r.part_bytes() / bytes;
	}
	uint64_t expected = std::min(plan.count * plan.stride / CHUNK + (bytes >= CHUNK ? 1 : 0),
	                             r.part_bytes() / CHUNK);
	uint64_t sessions = 0;
	sides s = first_write_passes(r, plan, o.seconds, [&](uint64_t writes) {
		if (r.preserved() != expected)
			throw rig_error(fmt::format("{} first writes preserved {} chunks, not {}",
			                            writes, r.preserved(), expected));
		sessions++;
	});
	end(r);
	l.value = s.ratio();
	l.detail = rates(s, bytes, "session", "no_session");
	l.detail["sessions"] = sessions;
	l.detail["chunks_copied_per_write"] =
	    static_cast<double>(expected) / static_cast<double>(plan.count);
}

// ---- P4: reads through the snapshot device against the same reads of the live device.
void snapshot_reads(const options &o, line &l, bool preserved)
{
	rig r(rig_for(o, "P4", false));
	snapshot &snap = r.take(false);
	if (preserved)
		preserve_all(r);
	int zfd = r.open_node(snap.node(), true);
	double worst = 0;
	for (uint64_t bytes : {uint64_t{4096}, CHUNK}) {
		// a: the snapshot, b: the live partition, at the start of every chunk.
		sides s =
		    interleaved(r.part_bytes() / CHUNK, o.seconds / 2, [&](bool snap, uint64_t i) {
			    return r.read(snap ? zfd : r.fd(true), static_cast<int64_t>(i * CHUNK),
			                  bytes);
		    });
		const char *key = bytes == 4096 ? "4KiB" : "64KiB";
		l.detail[key] = rates(s, bytes, "snapshot", "live");
		l.detail[key]["ratio"] = s.ratio();
		worst = worst == 0 ? s.ratio() : std::min(worst, s.ratio());
	}
	r.close_node(zfd);
	end(r);
	l.value = worst;
}

// ---- P5: 4 KiB writes on a tracked partition (its session over, tracking going on, the
// agent's drainer taking the records) against the untracked twin.
void tracking_writes(const options &o, line &l)
{
	rig r(rig_for(o, "P5", false));
	auto d = change_drainer::start();
	if (!d)
		throw rig_error("cannot start the change drainer: " + d.err().message);
	r.take(true);
	r.stop();
	// Every block in turn: tracking has nothing to preserve.
	sides s = interleaved(r.part_bytes() / 4096, o.seconds, [&](bool tracked, uint64_t i) {
		return r.write(tracked, static_cast<int64_t>(i * 4096), 4096);
	});
	if (auto f = d->flush(); !f)
		throw rig_error("cannot collect the change records: " + f.err().message);
	uint64_t records = d->records();
	if (auto st = d->stop(); !st)
		throw rig_error("the change drainer failed: " + st.err().message);
	end(r);
	l.value = s.ratio();
	l.detail = rates(s, 4096, "tracking", "no_tracking");
	l.detail["records"] = records;
}

// ---- P6: the driver's memory per preserved chunk, once the chunks are written out.
void memory_per_chunk(const options &o, line &l)
{
	rig r(rig_for(o, "P6", false));
	r.take(false);
	uint64_t chunks = r.part_bytes() / CHUNK;
	kern::mm_usage u0 = kern::mm_get_usage();
	long before = kernel_memory_bytes();
	for (uint64_t c = 0; c < chunks; c++)
		r.write(true, static_cast<int64_t>(c * CHUNK), 4096);
	if (!r.drained())
		throw rig_error(
		    "the IO threads did not write the copied-out chunks out within a minute");
	if (r.preserved() != chunks)
		throw rig_error(fmt::format("{} chunks preserved, not {}", r.preserved(), chunks));
	long after = kernel_memory_bytes();
	kern::mm_usage u1 = kern::mm_get_usage();
	r.stop();
	end(r);
	l.value = static_cast<double>(after - before) / static_cast<double>(chunks);
	l.detail = {{"chunks", chunks},
	            {"kmalloc_bytes", u1.kmalloc_bytes - u0.kmalloc_bytes},
	            {"kmalloc_objects", u1.kmalloc_objects - u0.kmalloc_objects},
	            {"vmalloc_bytes", u1.vmalloc_bytes - u0.vmalloc_bytes},
	            {"slab_bytes", u1.cache_bytes - u0.cache_bytes},
	            {"pages", u1.pages - u0.pages}};
}

// ---- P7: reads of the live disk per first-written chunk, with several sessions on it.
void reads_per_chunk(const options &o, line &l)
{
	rig_options ro = rig_for(o, "P7", false, 8 << 20);
	ro.io_threads = 1;
	rig r(ro);
	uint64_t chunks = r.part_bytes() / CHUNK;
	double worst = 1;
	for (int n : {1, 4, 16}) {
		for (int i = 0; i < n; i++)
			r.take(false);
		kern::disk_stats s0 = kern::get_disk_stats(r.hooked_disk());
		for (uint64_t c = 0; c < chunks; c++)
			r.write(true, static_cast<int64_t>(c * CHUNK), 4096);
		kern::disk_stats s1 = kern::get_disk_stats(r.hooked_disk());
		if (r.preserved() != chunks)
			throw rig_error(fmt::format("{} sessions: {} chunks preserved, not {}", n,
			                            r.preserved(), chunks));
		double reads =
		    static_cast<double>(s1.reads - s0.reads) / static_cast<double>(chunks);
		double chunk_reads = static_cast<double>(s1.sectors_read - s0.sectors_read) /
		                     static_cast<double>(chunks * (CHUNK / 512));
		l.detail[fmt::format("sessions_{}", n)] = {
		    {"reads_per_chunk", reads}, {"chunk_bytes_read_per_chunk", chunk_reads}};
		for (double v : {reads, chunk_reads})
			if (std::abs(v - 1) > std::abs(worst - 1))
				worst = v;
		while (r.sessions())
			r.stop();
	}
	end(r);
	l.value = worst;
	l.detail["chunks"] = chunks;
}

// ---- P8: how long a session's start holds the device frozen, with a writer at work.
void freeze_window(const options &o, line &l)
{
	rig r(rig_for(o, "P8", false));
	std::atomic<bool> stopping{false};
	std::atomic<uint64_t> written{0};
	double longest = 0; // the writer's longest write: read once it has ended
	uint64_t part = r.part_bytes();
	kern::pid_t writer = kern::spawn("writer", [&] {
		int fd = kern::sys_open("/dev/zbh1", O_RDWR, 0);
		long mem = kern::sys_mmap(4096);
		if (fd < 0 || mem < 0)
			return 1;
		std::mt19937_64 rng(7);
		while (!stopping) {
			auto off = static_cast<kern::loff_t>(rng() % (part / 4096) * 4096);
			auto t0 = clock::now();
			if (kern::sys_pwrite64(static_cast<unsigned>(fd),
			                       static_cast<unsigned long>(mem), 4096, off) != 4096)
				return 2;
			longest = std::max(longest, seconds_since(t0));
			written++;
		}
		kern::sys_close(static_cast<unsigned>(fd));
		return 0;
	});
	std::vector<double> frozen, to_freeze, command;
	std::string failure;
	try {
		if (writer < 0)
			throw rig_error("cannot start the writer process");
		for (int ms = 0; written < 100; ms++) {
			if (ms > 10000)
				throw rig_error("the writer process did not write");
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		}
		auto t0 = clock::now();
		do {
			const started_session &st = r.take(false).started();
			frozen.push_back(st.freeze.frozen_ms());
			to_freeze.push_back(st.freeze.get_freeze_ms());
			command.push_back(static_cast<double>(st.returned_ns - st.issued_ns) / 1e6);
			r.stop();
		} while (seconds_since(t0) < o.seconds || frozen.size() < 3);
	} catch (const std::exception &e) {
		failure = e.what();
	}
	stopping = true;
	int rc = writer >= 0 ? kern::waitpid(writer) : 0;
	if (!failure.empty())
		throw rig_error(failure);
	if (rc)
		throw rig_error(fmt::format("the writer process failed: code {}", rc));
	end(r);
	auto median = [](std::vector<double> v) {
		std::sort(v.begin(), v.end());
		return v[v.size() / 2];
	};
	l.value = median(frozen);
	l.detail = {{"starts", frozen.size()},
	            {"frozen_max_ms", *std::max_element(frozen.begin(), frozen.end())},
	            {"until_frozen_median_ms", median(to_freeze)},
	            {"start_command_median_ms", median(command)},
	            {"writes_meanwhile", written.load()},
	            {"longest_write_ms", longest * 1e3}};
}

const std::vector<measurement> &measurements()
{
	static const std::vector<measurement> all = {
	    {"P0",
	     "4 KiB IO round trip (bio write+read) / host pwrite+pread",
	     "file",
	     "x",
	     {goal::at_most, 5},
	     [](const options &o, line &l) { io_round_trip(o, l, true); }},
	    {"P0",
	     "4 KiB IO round trip (bio write+read), for reference / host pwrite+pread",
	     "ram",
	     "x",
	     {},
	     [](const options &o, line &l) { io_round_trip(o, l, false); }},
	    {"P1",
	     "writes to preserved chunks / no session, 4 KiB and 1 MiB (the worse)",
	     "ram",
	     "x",
	     {goal::at_least, 0.95},
	     [](const options &o, line &l) { preserved_writes(o, l, false); }},
	    {"P1",
	     "writes to preserved chunks / no session, 4 KiB and 1 MiB (the worse)",
	     "file",
	     "x",
	     {goal::at_least, 0.95},
	     [](const options &o, line &l) { preserved_writes(o, l, true); }},
	    {"P2",
	     "first writes 1 MiB sequential / no session",
	     "ram",
	     "x",
	     {goal::at_least, 0.40},
	     [](const options &o, line &l) { first_writes(o, l, false, MAX_IO); }},
	    {"P2",
	     "first writes 1 MiB sequential / no session",
	     "file",
	     "x",
	     {goal::at_least, 0.30},
	     [](const options &o, line &l) { first_writes(o, l, true, MAX_IO); }},
	    {"P3",
	     "first writes 4 KiB / no session",
	     "ram",
	     "x",
	     {goal::at_least, 0.05},
	     [](const options &o, line &l) { first_writes(o, l, false, 4096); }},
	    {"P3",
	     "first writes 4 KiB / no session",
	     "file",
	     "x",
	     {goal::at_least, 0.05},
	     [](const options &o, line &l) { first_writes(o, l, true, 4096); }},
	    {"P4",
	     "snapshot reads of unchanged chunks / live, 4 and 64 KiB (the worse)",
	     "ram",
	     "x",
	     {goal::at_least, 0.97},
	     [](const options &o, line &l) { snapshot_reads(o, l, false); }},
	    {"P4",
	     "snapshot reads of preserved chunks / live, 4 and 64 KiB (the worse)",
	     "ram",
	     "x",
	     {goal::at_least, 0.90},
	     [](const options &o, line &l) { snapshot_reads(o, l, true); }},
	    {"P5", "4 KiB writes with change tracking / without", "ram", "x", {}, tracking_writes},
	    {"P6", "driver memory per preserved chunk", "ram", "bytes", {}, memory_per_chunk},
	    {"P7",
	     "live-disk reads per first-written chunk, 1, 4 and 16 sessions (the worst)",
	     "ram",
	     "reads",
	     {goal::exactly, 1},
	     reads_per_chunk},
	    {"P8",
	     "freeze window at a session's start, a writer at work (median)",
	     "ram",
	     "ms",
	     {},
	     freeze_window},
	};
	return all;
}

} // namespace

std::vector<line> machine_lines(const options &o, const progress_fn &progress)
{
	std::vector<line> out;
	for (const measurement &u : measurements()) {
		if (!wanted(o, u.id))
			continue;
		if (progress)
			progress(u.id, fmt::format("{} ({})", u.what, u.disk));
		line l{
		    .id = u.id, .what = u.what, .disk = u.disk, .unit = u.unit, .goal = u.g.text()};
		try {
			u.measure(o, l);
			l.met = u.g.met(l.value);
		} catch (const std::exception &e) {
			l.value = 0;
			l.met.reset();
			l.error = e.what();
		}
		out.push_back(std::move(l));
	}
	return out;
}

} // namespace zep::bench
