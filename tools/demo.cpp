// `zep demo`, step by step. A temporary folder holds a sparse 256 MiB disk image, the
// snapshots' backing files, the backup repository and the restored image. On the machine: the
// disk with two partitions, both mounted and prefilled with the oracle's stamps, the driver
// loaded, and stamped writers rewriting random ranges of both partitions until the end. An
// agent process keeps the change drainer, and in turn:
//   1. marks, snapshots partition 1, backs it up in full (the oracle judges the image, the
//      backup's checksums are verified and it is compared with the image), stops;
//   2. after more writes marks again, snapshots partition 1, backs up incrementally the change
//      records since the first mark, restores the chain into a file and compares it with the
//      snapshot byte for byte (the oracle judges that image too), stops;
//   3. snapshots both partitions at once and has the oracle judge both images, stops them.
// Then everything is let go and the machine must halt with nothing left over. Last, on the
// host, the real ext4 act (demo_ext4.cpp).
#include "tools/demo.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include <fmt/format.h>

#include "agent/backup.h"
#include "agent/backup_restore.h"
#include "agent/backup_verify.h"
#include "agent/changes.h"
#include "agent/control.h"
#include "agent/oracle.h"
#include "agent/session.h"
#include "backupdriver/zepdriver.h"
#include "kernel/fs/fs.h"
#include "kernel/machine.h"
#include "tools/demo_parts.h"

namespace zep {
namespace {

namespace fs = std::filesystem;
using namespace demo_parts;

// Sized so that `make run` passes in seconds on two cores: the disk is the embedded default,
// the partitions hold what each snapshot, backup, restore and oracle check reads whole.
constexpr kern::u64 DISK_BYTES = 256ull << 20;
constexpr uint64_t PART_START = 2048;
constexpr uint64_t PART_SECTORS = (48ull << 20) / oracle::sector_bytes;
constexpr int DISK_MAJOR = 253;
constexpr unsigned WRITERS = 2;	// per partition
// Each writer's rest between writes: some 150 writes a second on each partition, so that the
// second backup has changes to pick out rather than a partition rewritten whole.
constexpr std::chrono::microseconds WRITER_PAUSE{10000};
// Writes between the two backups of partition 1, so that the incremental has work to do.
constexpr uint64_t WRITES_BETWEEN = 100;

const char *const PART_NAMES[2] = {"vda1", "vda2"};

// Removes the demo's temporary folder however the demo ends.
struct temp_folder {
	std::string path;
	~temp_folder()
	{
		if (!path.empty()) {
			std::error_code ec;
			fs::remove_all(path, ec);
		}
	}
};

class demo {
public:
	demo(const demo_options &opts, cli_io &io)
	    : opts_(opts), io_(io), progress_(opts.progress, io.err, io.err_is_tty, "demo")
	{}
	int run();

private:
	bool make_folder();
	bool setup();
	bool start_writers();
	bool full_backup_step();
	bool incremental_step();
	bool both_partitions_step();
	void end_all();
	void teardown();
	void real_ext4();

	// Takes a snapshot of partition p in the agent process, timing its start for the oracle.
	std::unique_ptr<snapshot> take(int p, snapshot_facts &facts);
	// The oracle's verdict on a snapshot's image against partition p's writes so far.
	void judge(int p, snapshot &s, snapshot_facts &facts);
	// Lists, then stops a snapshot in the agent process; whether it ended well.
	bool stop(std::unique_ptr<snapshot> &s, snapshot_facts &facts);
	bool in_agent(const std::function<void()> &job);

	// A step the demo cannot go on without, or a check of what it found: records (and in
	// text mode prints) the line and passes ok on.
	bool step(bool ok, const std::string &what) { return report(ok, what, &step_failed_); }
	bool check(bool ok, const std::string &what) { return report(ok, what, &check_failed_); }
	bool report(bool ok, const std::string &what, bool *failed);
	void note(const std::string &text);
	// A failed agent call: a checksum that does not hold is a failed check, else a step.
	bool call(const error *e, const std::string &what);

	demo_options opts_;
	cli_io &io_;
	progress_printer progress_;
	findings f_;
	bool step_failed_ = false, check_failed_ = false;

	temp_folder tmp_;
	std::string repo_;
	kern::dev_t disk_ = 0, parts_[2] = {0, 0};
	bool mounted_[2] = {false, false}, loaded_ = false;
	std::optional<oracle::writer_set> writers_[2];
	// The agent and what it holds: made, used and let go only inside its process.
	std::unique_ptr<agent_process> agent_;
	std::unique_ptr<change_drainer> drainer_;
	change_mark first_mark_;
	std::unique_ptr<snapshot> snaps_[2];
};

bool demo::report(bool ok, const std::string &what, bool *failed)
{
	f_.steps.push_back({what, ok, {}});
	if (!opts_.json) {
		progress_.finish();
		fmt::print(io_.out, "{:<64} {}\n", what, ok ? "ok" : "FAILED");
		std::fflush(io_.out);
	}
	if (!ok) {
		*failed = true;
		if (f_.failure.empty())
			f_.failure = what;
	}
	return ok;
}

void demo::note(const std::string &text)
{
	if (!f_.steps.empty())
		f_.steps.back().notes.push_back(text);
	if (!opts_.json) {
		fmt::print(io_.out, "  {}\n", text);
		std::fflush(io_.out);
	}
}

bool demo::call(const error *e, const std::string &what)
{
	bool ok = e == nullptr;
	if (ok || e->code != errc::corrupt)
		step(ok, what);
	else
		check(false, what);
	if (e)
		note(e->message);
	// The disk image's host file system filling up shows as an IO error, the log says why.
	bool full = e && e->code == errc::no_space;
	for (const std::string &line : e && !full ? kern::dmesg() : std::vector<std::string>{})
		full = full || line.find("filedisk: vda: write error: the file system") != std::string::npos;
	if (full)
		note("the file system of " + fs::path(tmp_.path).parent_path().string() +
		     " is full: free space on it, or give zep demo --dir a folder on another file "
		     "system");
	return ok;
}

bool demo::in_agent(const std::function<void()> &job)
{
	if (agent_ && agent_->run(job))
		return true;
	step(false, "the agent process is running");
	return false;
}

int demo::run()
{
	auto t0 = std::chrono::steady_clock::now();
	f_.io_threads = opts_.io_threads;
	f_.writers_per_partition = WRITERS;
	if (make_folder()) {
		kern::boot_params p;
		// Machine time runs faster, so the driver's waits of seconds pass in real
		// milliseconds; the oracle reads the same clock.
		p.clock_speed = 10;
		p.printk_mirror = opts_.verbose;
		kern::boot(p);
		if (setup() && start_writers() && full_backup_step() && incremental_step())
			both_partitions_step();
		end_all();
		teardown();
		if (opts_.real_ext4)
			real_ext4();
	}
	f_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	f_.exit_code = step_failed_ ? DEMO_STEP_FAILED : check_failed_ ? DEMO_VERIFY_FAILED : DEMO_PASSED;
	progress_.finish();
	if (opts_.json) {
		nlohmann::ordered_json doc = {{"command", "demo"}, {"ok", f_.exit_code == DEMO_PASSED}};
		if (f_.exit_code != DEMO_PASSED)
			doc["error"] = {{"kind", step_failed_ ? "step_failed" : "verify_failed"},
					{"exit_code", f_.exit_code},
					{"message", f_.failure}};
		doc.update(to_json(f_));
		fmt::print(io_.out, "{}\n", doc.dump(2));
	} else {
		fmt::print(io_.out, "{}", summary_text(f_));
		if (f_.exit_code == DEMO_PASSED)
			fmt::print(io_.out, "demo passed\n");
		else
			fmt::print(io_.out, "demo FAILED: {}\n", f_.failure);
	}
	std::fflush(io_.out);
	return f_.exit_code;
}

bool demo::make_folder()
{
	std::error_code ec;
	fs::path base = opts_.dir.empty() ? fs::temp_directory_path(ec) : fs::path(opts_.dir);
	std::string templ = (base / "zep-demo-XXXXXX").string();
	bool made = ::mkdtemp(templ.data()) != nullptr;
	int err = errno;	// before the step's line is printed
	if (!step(made, "temporary folder in " + base.string())) {
		note(err == ENOSPC ? fmt::format("the file system of {} is full: free space on it, or "
						 "give --dir a folder on another file system",
						 base.string())
				   : std::strerror(err));
		return false;
	}
	tmp_.path = templ;
	repo_ = tmp_.path + "/repo";
	note(tmp_.path + ", removed at the end");
	return step(fs::create_directory(repo_, ec), "backup repository folder " + repo_);
}

bool demo::setup()
{
	kern::disk_options o;
	o.size_bytes = DISK_BYTES;
	f_.disk_file = tmp_.path + "/disk.img";
	f_.disk_bytes = DISK_BYTES;
	disk_ = kern::add_filedisk("vda", DISK_MAJOR, f_.disk_file, o);
	if (!step(disk_ != 0, fmt::format("sparse file-backed disk vda ({})", mib(DISK_BYTES))))
		return false;
	for (int p = 0; p < 2; p++) {
		uint64_t start = PART_START + p * PART_SECTORS;
		parts_[p] = kern::add_partition(disk_, p + 1, start, PART_SECTORS);
		if (!step(parts_[p] != 0, fmt::format("partition {} ({}) at sector {}", PART_NAMES[p],
						      mib(PART_SECTORS * 512.0), start)))
			return false;
		f_.partitions.push_back({PART_NAMES[p], start, PART_SECTORS});
		mounted_[p] = kern::mount(parts_[p]) == 0;
		if (!step(mounted_[p], fmt::format("file system mounted on {}", PART_NAMES[p])))
			return false;
	}
	if (!step(kern::dev_node_add(ZEP_CONTROL_NAME, S_IFCHR, kern::MKDEV(ZEP_CONTROL_MAJOR, 0)) == 0,
		  "control node /dev/" ZEP_CONTROL_NAME))
		return false;
	loaded_ = kern::insmod("zepdriver") == 0;
	if (!step(loaded_, "driver loaded"))
		return false;
	agent_ = std::make_unique<agent_process>("cdpagent");
	std::optional<result<driver_version>> version;
	std::optional<result<change_drainer>> drainer;
	if (!in_agent([&] {
		    auto c = control::open();
		    version.emplace(c ? c->version() : result<driver_version>(c.err()));
		    drainer.emplace(change_drainer::start());
		    if (*drainer)
			    drainer_ = std::make_unique<change_drainer>(std::move(drainer->value()));
	    }))
		return false;
	if (!call(*version ? nullptr : &version->err(), "agent read the driver version"))
		return false;
	note("driver " + (*version)->text());
	return call(*drainer ? nullptr : &drainer->err(),
		    fmt::format("change drainer running (process {})", change_drainer::PROCESS_NAME));
}

bool demo::start_writers()
{
	for (int p = 0; p < 2; p++) {
		std::string node = std::string("/dev/") + PART_NAMES[p];
		std::optional<result<void>> filled;
		// The oracle knows every sector from here on: the stamps of the initial fill.
		in_agent([&] { filled.emplace(oracle::prefill(node, {0, PART_SECTORS})); });
		if (!filled || !call(*filled ? nullptr : &filled->err(),
				     fmt::format("{} filled with the oracle's stamps", PART_NAMES[p])))
			return false;
		oracle::writer_options w;
		w.device = node;
		w.range = {0, PART_SECTORS};
		w.writers = WRITERS;
		w.seed = 0x5eed + p;
		w.min_bytes = 4 << 10;
		w.max_bytes = 32 << 10;
		w.alignment = 4 << 10;
		w.pause = WRITER_PAUSE;
		auto ws = oracle::writer_set::start(w);
		if (!call(ws ? nullptr : &ws.err(), fmt::format("{} writers rewriting random ranges of {}",
								WRITERS, PART_NAMES[p])))
			return false;
		writers_[p].emplace(std::move(*ws));
	}
	for (int p = 0; p < 2; p++) {
		auto r = writers_[p]->wait_for_writes(WRITES_BETWEEN / 4);
		if (!call(r ? nullptr : &r.err(), fmt::format("writes under way on {}", PART_NAMES[p])))
			return false;
	}
	return true;
}

std::unique_ptr<snapshot> demo::take(int p, snapshot_facts &facts)
{
	snapshot_options o;
	o.io_threads = opts_.io_threads;
	o.folder = tmp_.path;
	o.device_name = PART_NAMES[p];
	o.device_path = std::string("/dev/") + PART_NAMES[p];
	std::unique_ptr<snapshot> s;
	std::optional<error> failed;
	in_agent([&] {
		auto r = snapshot::take(parts_[p], o);
		if (r)
			s = std::make_unique<snapshot>(std::move(*r));
		else
			failed = r.err();
	});
	facts.device = PART_NAMES[p];
	std::string what = fmt::format("snapshot of {} with {} IO threads", PART_NAMES[p], opts_.io_threads);
	if (!s) {
		if (!failed)
			return nullptr;	// the agent is gone: said so already
		call(&*failed, what);
		return nullptr;
	}
	facts.id = s->id();
	facts.node = s->node();
	facts.freeze = s->started().freeze;
	// The freeze began after the start command was issued and the thaw ended before it
	// returned: a window at least as wide as the real one, so the oracle errs towards
	// accepting, never against.
	auto w = oracle::safe_window(oracle::start_timing::of(s->started()));
	if (w)
		facts.window = *w;
	step(true, fmt::format("{}: {}", what, facts.node));
	note(fmt::format("frozen for {:.3f} ms, {:.3f} ms of it to get the freeze (machine clock)",
			 facts.freeze.frozen_ms(), facts.freeze.get_freeze_ms()));
	if (!check(w.ok(), fmt::format("{}'s freeze window agrees with the machine's clock", facts.node)))
		note(w.err().message);
	return s;
}

void demo::judge(int p, snapshot &s, snapshot_facts &facts)
{
	// The log as it is now holds every write the image can show: those submitted before
	// the thaw ended.
	auto h = oracle::history::build({0, PART_SECTORS}, writers_[p]->log());
	std::optional<result<oracle::report>> r;
	if (h)
		in_agent([&] { r.emplace(h->check_device(s.node(), facts.window)); });
	else
		r.emplace(h.err());
	std::string what = fmt::format("oracle: {} is a state {} passed through while frozen", facts.node,
				       facts.device);
	if (!r)
		return;
	facts.oracle.ran = r->ok();
	if (!*r) {
		facts.oracle.error = r->err().message;
		step(false, what);
		note(facts.oracle.error);
		return;
	}
	facts.oracle.report = r->value();
	check(facts.oracle.report.ok(), what);
	std::string text = facts.oracle.report.summary();
	for (size_t at = 0, end; at < text.size(); at = end + 1) {
		end = text.find('\n', at);
		if (end == std::string::npos)
			end = text.size();
		if (end > at)
			note(text.substr(at, end - at));
	}
}

bool demo::stop(std::unique_ptr<snapshot> &s, snapshot_facts &facts)
{
	if (!s)
		return true;
	std::optional<result<session_info>> info;
	std::optional<result<void>> stopped;
	in_agent([&] {
		info.emplace(s->info());
		stopped.emplace(s->stop());
	});
	if (!stopped)
		return false;
	if (*info) {
		facts.chunks_preserved = (*info)->changed_blocks;
		facts.chunk_size = (*info)->block_size;
	}
	facts.io_thread_exits = s->io_thread_exits();
	std::string what = fmt::format("{} stopped", facts.node);
	if (!call(*stopped ? nullptr : &stopped->err(), what))
		return false;
	note(fmt::format("{} chunks of {} KiB were preserved while it ran", facts.chunks_preserved,
			 facts.chunk_size / 1024));
	bool threads_ok = !facts.io_thread_exits.empty();
	for (int code : facts.io_thread_exits)
		threads_ok = threads_ok && code == 0;
	return step(threads_ok, fmt::format("{} IO threads of {} returned 0", facts.io_thread_exits.size(),
					    facts.node));
}

bool demo::full_backup_step()
{
	snapshot_facts facts;
	in_agent([&] { first_mark_ = drainer_->mark(); });
	snaps_[0] = take(0, facts);
	if (!snaps_[0])
		return false;
	if (opts_.while_rewriting)
		opts_.while_rewriting(disk_);
	snapshot &s = *snaps_[0];
	std::optional<result<backup_summary>> b;
	in_agent([&] {
		backup_source src = snapshot_source(s, PART_NAMES[0]);
		b.emplace(zep::full_backup(repo_, src, {.progress = progress_.callback()}));
	});
	if (!b || !call(*b ? nullptr : &b->err(), fmt::format("full backup of {} into the repository", facts.node))) {
		stop(snaps_[0], facts);
		f_.full_snapshot = facts;
		return false;
	}
	f_.full_backup = b->value();
	note(fmt::format("backup {:04}: {} read, {} stored, {:.1f} MiB/s", f_.full_backup->sequence,
			 mib(static_cast<double>(f_.full_backup->bytes_read)),
			 mib(static_cast<double>(f_.full_backup->data_bytes)),
			 mib_per_second(f_.full_backup->bytes_read, f_.full_backup->seconds)));
	judge(0, s, facts);

	// Every checksum of the backup, and the image it holds against the snapshot it was
	// made from, byte for byte: what the oracle judged is what was backed up.
	std::optional<result<verify_summary>> v;
	in_agent([&] {
		verify_options vo{.sequence = f_.full_backup->sequence, .device = s.node(),
				  .progress = progress_.callback()};
		v.emplace(verify_backups(repo_, vo));
	});
	if (v) {
		if (*v)
			f_.verify = v->value();
		else
			f_.verify_error = v->err().message;
		call(*v ? nullptr : &v->err(),
		     fmt::format("backup {:04}: checksums hold, and its image = {}", f_.full_backup->sequence, facts.node));
	}
	bool ok = stop(snaps_[0], facts);
	f_.full_snapshot = facts;
	in_agent([&] { snaps_[0].reset(); });
	return ok && v && *v;
}

bool demo::incremental_step()
{
	uint64_t target = writers_[0]->writes_completed() + WRITES_BETWEEN;
	auto more = writers_[0]->wait_for_writes(target);
	if (!call(more ? nullptr : &more.err(), fmt::format("{} more writes on {}", WRITES_BETWEEN, PART_NAMES[0])))
		return false;
	snapshot_facts facts;
	change_mark second;
	in_agent([&] { second = drainer_->mark(); });
	snaps_[0] = take(0, facts);
	f_.incremental_snapshot = facts;
	if (!snaps_[0])
		return false;
	snapshot &s = *snaps_[0];
	std::optional<collected_changes> changes;
	std::optional<result<backup_summary>> b;
	in_agent([&] {
		changes.emplace(drainer_->changes_since(parts_[0], first_mark_));
		backup_source src = snapshot_source(s, PART_NAMES[0]);
		b.emplace(zep::incremental_backup(repo_, src, changes->changes,
						  {.parent = f_.full_backup->sequence,
						   .progress = progress_.callback()}));
	});
	if (!changes || !b)
		return false;
	change_facts cf{changes->changes.complete, changes->reason, 0, changes->changes.extents.size(), 0};
	for (const extent &e : changes->changes.extents)
		cf.bytes += e.length;
	in_agent([&] { cf.records = drainer_->records(); });
	f_.changes = cf;
	bool complete = step(cf.complete && cf.extents > 0,
			     fmt::format("change records since the first snapshot: {} extents", cf.extents));
	note(fmt::format("{} of {} changed, from {} records", mib(static_cast<double>(cf.bytes)),
			 PART_NAMES[0], cf.records));
	if (!cf.complete)
		note("tracking was not complete: " + cf.reason);
	if (!call(*b ? nullptr : &b->err(), fmt::format("incremental backup of {}", facts.node)))
		return false;
	f_.incremental_backup = b->value();
	const backup_summary &inc = *f_.incremental_backup;
	note(fmt::format("backup {:04} by {}: {} read, {} stored", inc.sequence, method_name(inc.method),
			 mib(static_cast<double>(inc.bytes_read)), mib(static_cast<double>(inc.data_bytes))));
	// A backup that had to compare checksums did not show what the change records do.
	bool by_records = step(complete && inc.method == backup_method::change_records,
			       "the incremental read only the chunks the change records name");
	if (!inc.note.empty())
		note(inc.note);

	std::string restored = tmp_.path + "/restored.img";
	std::optional<result<restore_summary>> r;
	std::optional<result<comparison>> cmp;
	in_agent([&] {
		r.emplace(restore_backup(repo_, restored,
					 {.sequence = inc.sequence, .progress = progress_.callback()}));
		if (*r)
			cmp.emplace(compare_file_with_device(restored, s.node()));
	});
	if (!r)
		return false;
	if (*r)
		f_.restore = r->value();
	else
		f_.restore_error = r->err().message;
	bool ok = call(*r ? nullptr : &r->err(),
		       fmt::format("chain {:04}+{:04} restored into restored.img", f_.full_backup->sequence, inc.sequence));
	if (ok && cmp) {
		if (*cmp) {
			f_.restored_vs_snapshot = cmp->value();
			const comparison &c = **cmp;
			ok = check(c.same(), fmt::format("restored.img = {}, byte for byte", facts.node));
			if (!c.same())
				note(fmt::format("{} of {} bytes differ, the first at byte {}", c.differing_bytes,
						 c.bytes, *c.first_difference));
		} else {
			ok = call(&cmp->err(), fmt::format("restored.img compared with {}", facts.node));
		}
	}
	judge(0, s, facts);
	ok = stop(snaps_[0], facts) && ok;
	f_.incremental_snapshot = facts;
	in_agent([&] { snaps_[0].reset(); });
	return ok && by_records;
}

bool demo::both_partitions_step()
{
	snapshot_facts facts[2];
	for (int p = 0; p < 2; p++) {
		snaps_[p] = take(p, facts[p]);
		if (!snaps_[p])
			break;
	}
	if (snaps_[0] && snaps_[1]) {
		std::optional<result<std::vector<session_info>>> listed;
		in_agent([&] { listed.emplace(snaps_[0]->ctl().sessions()); });
		size_t running = listed && *listed ? (*listed)->size() : 0;
		step(running == 2, fmt::format("{} and {} run at the same time", facts[0].node, facts[1].node));
		for (int p = 0; p < 2; p++)
			judge(p, *snaps_[p], facts[p]);
	}
	bool ok = true;
	for (int p = 0; p < 2; p++) {
		ok = stop(snaps_[p], facts[p]) && ok;
		if (facts[p].id)
			f_.both.push_back(facts[p]);
	}
	in_agent([&] {
		snaps_[0].reset();
		snaps_[1].reset();
	});
	return ok;
}

// Lets the agent go (whatever it still holds is let go inside its process: a snapshot still
// running is stopped), then the writers.
void demo::end_all()
{
	if (agent_) {
		bool ran = agent_->run([&] {
			for (auto &s : snaps_)
				s.reset();
			if (drainer_) {
				auto r = drainer_->stop();
				if (!r)
					note("change drainer: " + r.err().message);
				drainer_.reset();
			}
		});
		if (!ran) {
			// Its process is gone, and its descriptors with it.
			for (auto &s : snaps_)
				(void)s.release();
			(void)drainer_.release();
		}
		int rc = agent_->close();
		agent_.reset();
		step(ran && rc == 0, "agent process ended");
	}
	for (int p = 0; p < 2; p++) {
		if (!writers_[p])
			continue;
		f_.writes += writers_[p]->writes_completed();
		auto r = writers_[p]->stop();
		call(r ? nullptr : &r.err(), fmt::format("writers of {} stopped", PART_NAMES[p]));
		writers_[p].reset();
	}
}

void demo::teardown()
{
	if (loaded_)
		step(kern::rmmod("zepdriver") == 0, "driver unloaded");
	for (int p = 0; p < 2; p++)
		if (mounted_[p])
			step(kern::umount(parts_[p]) == 0, fmt::format("file system on {} unmounted", PART_NAMES[p]));
	kern::halt_report r = kern::halt();
	check(r.clean(), "machine halted with nothing left over");
	for (const std::string &line : r.problems)
		note("left over: " + line);
}

void demo::real_ext4()
{
	std::string zep = opts_.zep_binary;
	if (zep.empty()) {
		const char *env = std::getenv("ZEP_BINARY");
		std::error_code ec;
		zep = env && *env ? std::string(env) : fs::read_symlink("/proc/self/exe", ec).string();
	}
	act_reporter r{[this](bool ok, const std::string &what) { return step(ok, what); },
		       [this](bool ok, const std::string &what) { return check(ok, what); },
		       [this](const std::string &text) { note(text); }};
	f_.ext4.emplace();
	real_ext4_act(zep, tmp_.path + "/ext4", r, *f_.ext4);
	if (f_.ext4->status == "skipped" && !opts_.json) {
		fmt::print(io_.out, "real ext4 act skipped: {}\n", f_.ext4->reason);
		std::fflush(io_.out);
	}
}

} // namespace

int run_demo(const demo_options &opts, cli_io &io)
{
	std::error_code ec;
	if (!opts.dir.empty() && !fs::is_directory(opts.dir, ec)) {
		reporter rep(io, "demo", opts.json);
		return rep.failure(make_error(
			errc::usage,
			fmt::format("--dir {}: {}: give a folder that exists, where the demo's "
				    "temporary folder is made and removed again",
				    opts.dir,
				    fs::exists(opts.dir, ec) ? "it is not a folder" : "there is no such folder")));
	}
	return demo(opts, io).run();
}

} // namespace zep
