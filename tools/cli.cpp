#include "tools/cli.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <sstream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "agent/compression.h"
#include "tools/commands.h"
#include "tools/demo.h"

namespace zep {

namespace {

constexpr const char *EXIT_CODES =
	"Exit codes of backup, restore, verify, list, info, prune and version:\n"
	"  0  ok\n"
	"  1  verification failed: a checksum, a byte or a backup chain does not hold\n"
	"  2  usage: bad arguments, or a file, repository or backup that is not there\n"
	"  3  the snapshot could not be taken, or became unusable while it was read\n"
	"  4  IO error: reading or writing failed, or a file system is full\n"
	"  5  anything else (a fault of zep, such as something left over at the halt)\n"
	"  6  the repository is in use by another zep (named in the message): wait for it\n"
	"zep demo: 0 passed, 1 a check failed, 2 usage, 3 a step could not be carried out.\n"
	"zep bench: 0 measured (goals not met included), 2 usage, 5 a line could not be "
	"measured.";

// A bad value's message, "VALUE: what to take"; CLI11 puts the option's name and a colon
// before it, which usage_error turns into "--option VALUE: what to take".
constexpr const char *BAD_VALUE = "\x1f";

// CLI11 reads "0010" as octal and "0x10" as hex; backup numbers are printed "0010" and
// mean ten, so numbers here are decimal digits, leading zeros dropped; at most max.
CLI::Validator decimal_up_to(uint64_t min, uint64_t max, std::string what)
{
	return CLI::Validator(
		[=](std::string &s) {
			uint64_t v = 0;
			auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
			bool digits = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
				return std::isdigit(c);
			});
			if (!digits || ec != std::errc{} || end != s.data() + s.size() || v < min ||
			    v > max)
				return fmt::format("{}{}: {}", BAD_VALUE, s, what);
			s = std::to_string(v);
			return std::string();
		},
		"", "decimal");
}

const CLI::Validator decimal = decimal_up_to(0, std::numeric_limits<unsigned>::max(),
					     "give a whole decimal number, such as 3 or 0003");

// A count of processes or threads, 1 to 64.
CLI::Validator one_to_64()
{
	return decimal_up_to(1, 64, "choose a whole number from 1 to 64");
}

const std::map<std::string, progress_mode> PROGRESS_MODES = {
	{"auto", progress_mode::automatic},
	{"bar", progress_mode::bar},
	{"json", progress_mode::json},
	{"none", progress_mode::none}};

// One of PROGRESS_MODES (any case), given to CLI11 as its number.
const CLI::Validator progress_modes(
	[](std::string &s) {
		std::string lower = s;
		std::transform(lower.begin(), lower.end(), lower.begin(),
			       [](unsigned char c) { return std::tolower(c); });
		auto m = PROGRESS_MODES.find(lower);
		if (m == PROGRESS_MODES.end())
			return fmt::format("{}{}: choose auto, bar, json or none", BAD_VALUE, s);
		s = std::to_string(static_cast<int>(m->second));
		return std::string();
	},
	"", "progress");

void add_common(CLI::App *cmd, common_args &a, bool progress)
{
	cmd->add_flag("--json", a.json,
		      "Print the result, or the error, as one JSON document on standard output "
		      "and nothing else there");
	if (progress)
		cmd->add_option("--progress", a.progress,
				"Progress on standard error: auto (a bar on a terminal, else "
				"nothing), bar, json (one JSON object per line) or none")
			->transform(progress_modes)
			->type_name("auto|bar|json|none")
			->default_str("auto");
	cmd->add_flag("--verbose", a.verbose,
		      "Mirror the emulated machine's kernel log to standard error");
}

CLI::Option *add_repo(CLI::App *cmd, std::string &repo)
{
	return cmd->add_option("--repo", repo, "The repository folder")->required()->type_name("DIR");
}

CLI::Option *add_backup_number(CLI::App *cmd, unsigned &n, const std::string &what)
{
	return cmd->add_option("--backup", n, what)->type_name("N")->transform(decimal);
}

struct parsed {
	backup_args backup;
	restore_args restore;
	verify_args verify;
	common_args version;
	repo_args list, info;
	prune_args prune;
	demo_options demo;
	common_args demo_common;
	unsigned restore_n = 0, verify_n = 0;
	serve_args serve;
	bench_args bench;
	std::map<std::string, client_args> clients;
};

// A client command of a running `zep serve`.
CLI::App *add_client(CLI::App &app, parsed &p, const std::string &name, const std::string &what)
{
	client_args &c = p.clients[name];
	c.command = name;
	CLI::App *cmd = app.add_subcommand(name, what);
	cmd->add_option("--connect", c.connect, "The run folder of the zep server")
		->required()
		->type_name("DIR");
	add_common(cmd, c, false);
	return cmd;
}

void define(CLI::App &app, parsed &p)
{
	app.description("Snapshots and backups of block devices, on an emulated machine "
			"running the zepdriver");
	app.footer(EXIT_CODES);
	app.require_subcommand(1);
	app.set_version_flag("-V,--version", fmt::format("zep {}", tool_version()), "Print the version of zep and exit");

	CLI::App *b = app.add_subcommand(
		"backup", "Snapshot a disk image (or a partition of it), or a device of a zep "
			  "server, and back it up into a repository: a full backup into an "
			  "empty repository, else an incremental one");
	CLI::Option *image = b->add_option("--image", p.backup.image,
		      "The raw disk image file to back up (read, never changed)")
		->type_name("FILE");
	CLI::Option *connect = b->add_option("--connect", p.backup.connect,
		      "Back up a device of the zep server in this run folder, live")
		->type_name("DIR")
		->excludes(image);
	b->add_option("--device", p.backup.device,
		      "With --connect: the device, e.g. vda1, backed up through a snapshot taken "
		      "for it")
		->type_name("DEVICE")
		->needs(connect);
	b->add_option("--snapshot", p.backup.snapshot,
		      "With --connect: a running snapshot, e.g. zep2, backed up and kept")
		->type_name("SNAPSHOT")
		->needs(connect);
	b->add_option("--partition", p.backup.partition,
		      "Back up only this partition of the image: its first sector and its "
		      "length, in 512-byte sectors")
		->type_name("START:SECTORS")
		->excludes(connect);
	b->add_option("--repo", p.backup.repo,
		      "The repository folder; made when missing")
		->required()
		->type_name("DIR");
	b->add_option("--threads", p.backup.threads,
		      "IO-thread processes that serve the snapshot's copy-outs (1 to 64)")
		->type_name("N")
		->transform(one_to_64())
		->default_str("2");
	b->add_option("--readers", p.backup.readers,
		      "Processes reading the snapshot at once, each also compressing what it "
		      "read (1 to 32); the repository is the same for any number")
		->type_name("N")
		->transform(decimal_up_to(1, MAX_READERS, "choose a whole number from 1 to 32"))
		->default_str(std::to_string(DEFAULT_READERS));
	b->add_option("--tmpdir", p.backup.tmpdir,
		      "Folder for the snapshot's backing files while it runs (default: the "
		      "host's temporary folder)")
		->type_name("DIR");
	b->add_flag("--full", p.backup.full,
		    "Make a full backup even when the repository holds backups");
	b->add_option("--compress", p.backup.compress,
		      "How stored data is compressed: zstd (level 3), zstd:LEVEL (1 fastest to "
		      "19 smallest), or none (raw; a full backup a sparse image)")
		->type_name("none|zstd[:LEVEL]")
		->check(CLI::Validator(
			[](std::string &s) {
				auto c = parse_compression(s);
				return c ? std::string() : c.err().message;
			},
			"", "compression"))
		->default_str("zstd");
	add_common(b, p.backup, true);

	CLI::App *r = app.add_subcommand(
		"restore", "Rebuild the image at a backup into a sparse file, checking every "
			   "chunk's checksum");
	add_repo(r, p.restore.repo);
	add_backup_number(r, p.restore_n, "The backup to restore (default: the newest)");
	r->add_option("--output", p.restore.output, "The image file to write")
		->required()
		->type_name("FILE");
	r->add_flag("--force", p.restore.force, "Overwrite the output file if it exists");
	add_common(r, p.restore, true);

	CLI::App *v = app.add_subcommand(
		"verify", "Check every checksum of the backups up to a backup; optionally "
			  "compare the image at it with an image file, byte for byte");
	add_repo(v, p.verify.repo);
	add_backup_number(v, p.verify_n,
			  "Verify the chain up to this backup (default: every backup)");
	CLI::Option *against = v->add_option("--against", p.verify.against,
		      "Also compare the image at the backup (default: the newest) with this "
		      "raw image file, byte for byte")
		->type_name("FILE");
	v->add_option("--partition", p.verify.partition,
		      "Compare with this partition of the --against image: its first sector and "
		      "its length, in 512-byte sectors")
		->type_name("START:SECTORS")
		->needs(against);
	add_common(v, p.verify, true);

	CLI::App *ls = app.add_subcommand(
		"list", "The backups of a repository: kind, parent, method, when made, size of "
			"the image and bytes stored, and what they are of");
	add_repo(ls, p.list.repo);
	add_common(ls, p.list, false);
	CLI::App *inf = app.add_subcommand(
		"info", "A repository at a glance: its sources, chains of backups, space used "
			"and saved");
	add_repo(inf, p.info.repo);
	add_common(inf, p.info, false);
	CLI::App *pr = app.add_subcommand(
		"prune", "Remove older backups, keeping the newest N that restore: one whose "
			 "chain reaches a removed backup is first merged into a full backup");
	add_repo(pr, p.prune.repo);
	pr->add_option("--keep-last", p.prune.keep_last, "How many of the newest backups to keep")
		->required()
		->type_name("N")
		->transform(decimal);
	add_common(pr, p.prune, true);

	CLI::App *ver = app.add_subcommand(
		"version", "Print the versions of zep and of the driver (loaded and asked "
			   "through its control device)");
	add_common(ver, p.version, false);

	CLI::App *bn = app.add_subcommand(
		"bench", "Measure what the driver costs, each cost as a ratio against the same work "
			 "without it in the same run (IO round trip, writes with a session, snapshot "
			 "reads, change tracking, memory per chunk, live reads per chunk, freeze "
			 "window, backup); prints one table: value, goal, whether it is met");
	bn->add_option("--seconds", p.bench.seconds, "Measuring time per line, roughly")
		->type_name("S")
		->default_str("2");
	bn->add_option("--only", p.bench.only, "Measure only these lines, e.g. P0,P3")
		->delimiter(',')
		->type_name("P0,P1,...");
	bn->add_option("--tmpdir", p.bench.tmpdir,
		       "Folder for the file disks and the snapshots' backing files (default: the "
		       "host's temporary folder); its file system is the file disks' speed")
		->type_name("DIR");
	bn->add_option("--readers", p.bench.readers,
		       "Readers of the backup's lines (0: the backup's default)")
		->type_name("N")
		->default_str("0");
	add_common(bn, p.bench, false);

	CLI::App *d = app.add_subcommand(
		"demo", "The whole flow on an emulated machine, in a temporary folder: writers "
			"rewrite two partitions of a sparse disk throughout; a snapshot with change "
			"tracking, a full backup judged by the consistency oracle and verified; a "
			"second snapshot, an incremental backup from the change records, the chain "
			"restored and compared with it byte for byte; snapshots of both partitions at "
			"once; then, where the machine allows it (root, /dev/fuse, a free loop "
			"device), a real ext4 on a device of `zep serve`, snapshot while written and "
			"checked by e2fsck; a summary");
	d->add_option("--dir", p.demo.dir,
		      "Where the demo's temporary folder goes (removed at the end)")
		->type_name("DIR")
		->default_str("the host's temporary folder");
	d->add_option("--io-threads", p.demo.io_threads,
		      "IO-thread processes per snapshot (1 to 64)")
		->type_name("N")
		->transform(one_to_64())
		->default_str("2");
	add_common(d, p.demo_common, true);

	CLI::App *sv = app.add_subcommand(
		"serve", "Keep a machine up with the images as disks vda, vdb, ... (their "
			 "partitions vda1, ...), and serve every device and snapshot over NBD on "
			 "DIR/nbd.sock (and with --listen over TCP) until `zep quit`, SIGTERM or "
			 "SIGINT");
	sv->add_option("images", p.serve.images, "Raw disk images or host block devices")
		->required()
		->type_name("IMAGE...");
	sv->add_option("--run-dir", p.serve.run_dir,
		       "The server's folder (made, mode 0700): nbd.sock, zep.sock and the "
		       "snapshots' backing files")
		->required()
		->type_name("DIR");
	sv->add_option("--threads", p.serve.threads, "nbdkit's threads per connection")
		->type_name("N")
		->transform(one_to_64())
		->default_str("16");
	sv->add_option("--freeze-hook", p.serve.freeze_hook,
		       "Run `CMD freeze DEVICE` right before each snapshot's freeze and `CMD thaw "
		       "DEVICE` right after its thaw (e.g. a script calling fsfreeze); a failing "
		       "freeze aborts the snapshot. Without it snapshots are crash-consistent")
		->type_name("CMD");
	CLI::Option *listen =
		sv->add_option("--listen", p.serve.listen,
			       "Also serve NBD over TCP on HOST:PORT (:PORT for every address, "
			       "[::1]:PORT for IPv6), with TLS only: by default with a PSK file made "
			       "in the run folder (tls.psk, user zep), whose path is printed")
			->type_name("HOST:PORT");
	sv->add_option("--tls-psk", p.serve.tls_psk,
		       "TLS over TCP with the users and keys of this PSK file (psktool's format, "
		       "USER:HEXKEY lines) instead of the one made in the run folder")
		->type_name("FILE")
		->needs(listen);
	sv->add_option("--tls-certificates", p.serve.tls_certificates,
		       "TLS over TCP with the X.509 certificates in this folder (ca-cert.pem, "
		       "server-cert.pem, server-key.pem) instead of a PSK")
		->type_name("DIR")
		->needs(listen)
		->excludes("--tls-psk");
	sv->add_flag("--insecure", p.serve.insecure,
		     "Let TCP clients in without TLS: anyone who reaches HOST:PORT reads and "
		     "writes every export. With --tls-psk or --tls-certificates TLS stays "
		     "possible, but is no longer required")
		->needs(listen);
	add_common(sv, p.serve, false);

	add_client(app, p, "status", "What a zep server serves: devices, snapshots, NBD clients");
	CLI::App *sn = add_client(app, p, "snapshot",
				  "Take a snapshot of a device of a zep server; its export is "
				  "named as the snapshot (zep1, ...)");
	sn->add_option("device", p.clients["snapshot"].target, "The device, e.g. vda1")->required();
	sn->add_option("--threads", p.clients["snapshot"].threads,
		       "IO-thread processes that serve the snapshot's copy-outs (1 to 64)")
		->type_name("N")
		->transform(one_to_64())
		->default_str("2");
	sn->add_flag("--writable", p.clients["snapshot"].writable,
		     "Export the snapshot read-write (its writes never reach the device)");
	CLI::App *rl = add_client(app, p, "release",
				  "Stop a snapshot of a zep server (refused while an NBD client "
				  "has it open)");
	rl->add_option("snapshot", p.clients["release"].target, "The snapshot, e.g. zep1")
		->required();
	CLI::App *ch = add_client(app, p, "changes",
				  "The bytes of a device of a zep server written since a snapshot "
				  "or a backup, merged, and whether every write was tracked");
	ch->add_option("device", p.clients["changes"].target, "The device, e.g. vda1")->required();
	ch->add_option("--since", p.clients["changes"].since,
		       "A mark (m1), a snapshot (zep1: since its freeze) or a backup number made "
		       "by the server (with --repo); default the device's newest snapshot")
		->type_name("MARK");
	ch->add_option("--repo", p.clients["changes"].repo,
		       "The repository of the backup --since names")
		->type_name("DIR");
	add_client(app, p, "quit", "Stop a zep server: its snapshots, the driver, the machine");
}

// A parse error, with --json among the arguments as a JSON document, else as text.
int usage_error(const CLI::App &app, const CLI::ParseError &e,
		const std::vector<std::string> &args, cli_io &io)
{
	bool json = std::find(args.begin(), args.end(), "--json") != args.end();
	std::string command;
	for (const CLI::App *sub : app.get_subcommands())
		command = sub->get_name();
	std::string hint = command.empty() ? "zep --help" : "zep " + command + " --help";
	std::string what = e.what();
	// A bad value: "--option: <BAD_VALUE>VALUE: what to take" as "--option VALUE: what to take".
	if (size_t at = what.find(std::string(": ") + BAD_VALUE); at != std::string::npos)
		what.replace(at, 3, " ");
	// CLI11's "--threads: 1 required N missing": an option given without its value.
	const std::string required = ": 1 required ", missing = " missing";
	if (size_t at = what.find(required); at != std::string::npos && what.ends_with(missing))
		what = fmt::format("{0} needs a value: {0} {1}", what.substr(0, at),
				   what.substr(at + required.size(),
					       what.size() - at - required.size() - missing.size()));
	// CLI11's "--image: At Most 1 required but received 2": an option given twice.
	if (size_t at = what.find(": At Most 1 required but received "); at != std::string::npos)
		what = fmt::format("{} is given more than once: give it once", what.substr(0, at));
	if (command.empty() && args.size() > 1 && !args[1].starts_with('-')) {
		std::vector<std::string> names;
		for (const CLI::App *sub : app.get_subcommands({}))
			names.push_back(sub->get_name());
		what = fmt::format("there is no command {}; the commands are {}", args[1],
				   fmt::join(names, ", "));
	}
	reporter rep(io, command, json);
	return rep.failure(make_error(errc::usage, fmt::format("{}: see {}", what, hint)));
}

// `zep -V --json` (or --version, either order): zep's version as a JSON document; without
// --json CLI11's version flag prints it as text.
bool asks_json_version(const std::vector<std::string> &args)
{
	bool version = false, json = false;
	for (size_t i = 1; i < args.size(); i++) {
		if (args[i] == "--json")
			json = true;
		else if (args[i] == "-V" || args[i] == "--version")
			version = true;
		else
			return false;
	}
	return version && json;
}

} // namespace

int run_cli(const std::vector<std::string> &args, cli_io &io)
{
	CLI::App app("zep", "zep");
	parsed p;
	define(app, p);
	app.add_subcommand("help", "Print the help of zep, or of a command: zep help COMMAND");
	if (asks_json_version(args)) {
		fmt::print(io.out, "{}\n", nlohmann::ordered_json{{"zep", tool_version()}}.dump(2));
		return EXIT_OK;
	}
	// `zep help [COMMAND]` is `zep [COMMAND] --help`; an unknown command stays an error.
	std::vector<std::string> line = args;
	if (line.size() > 1 && line[1] == "help") {
		line.erase(line.begin() + 1);
		auto commands = app.get_subcommands({});
		if (line.size() == 1 || std::any_of(commands.begin(), commands.end(),
						    [&](const CLI::App *c) { return c->get_name() == line[1]; }))
			line.push_back("--help");
	}
	std::vector<const char *> argv;
	for (const std::string &a : line)
		argv.push_back(a.c_str());
	try {
		app.parse(static_cast<int>(argv.size()), argv.data());
	} catch (const CLI::Success &e) {
		// --help or --version: printed on standard output.
		std::ostringstream out, err;
		int rc = app.exit(e, out, err);
		std::string text = out.str();
		fmt::print(io.out, "{}{}", text, text.ends_with('\n') ? "" : "\n");
		return rc;
	} catch (const CLI::ParseError &e) {
		return usage_error(app, e, line, io);
	}
	if (app.got_subcommand("help")) {	// rewritten above; never falls through to the demo
		fmt::print(io.out, "{}", app.help());
		return EXIT_OK;
	}

	if (app.got_subcommand("backup"))
		return run_backup(p.backup, io);
	if (app.got_subcommand("restore")) {
		if (app.get_subcommand("restore")->count("--backup"))
			p.restore.backup = p.restore_n;
		return run_restore(p.restore, io);
	}
	if (app.got_subcommand("verify")) {
		if (app.get_subcommand("verify")->count("--backup"))
			p.verify.backup = p.verify_n;
		return run_verify(p.verify, io);
	}
	if (app.got_subcommand("list"))
		return run_list(p.list, io);
	if (app.got_subcommand("info"))
		return run_info(p.info, io);
	if (app.got_subcommand("prune"))
		return run_prune(p.prune, io);
	if (app.got_subcommand("version"))
		return run_version(p.version, io);
	if (app.got_subcommand("serve"))
		return run_serve(p.serve, io);
	if (app.got_subcommand("bench"))
		return run_bench(p.bench, io);
	for (auto &[name, c] : p.clients)
		if (app.got_subcommand(name))
			return run_client(c, io);
	p.demo.json = p.demo_common.json;
	p.demo.verbose = p.demo_common.verbose;
	p.demo.progress = p.demo_common.progress;
	return run_demo(p.demo, io);
}

} // namespace zep
