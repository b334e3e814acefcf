// The `zep` commands that work on a repository: backup, restore, verify, and version. Each
// boots the machine for itself, does its work in agent processes and halts it again; each
// returns one of the exit codes of tools/output.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "agent/source_readers.h"
#include "tools/machine_run.h"
#include "tools/output.h"
#include "tools/progress.h"

namespace zep {

struct common_args {
	bool json = false;
	bool verbose = false;
	progress_mode progress = progress_mode::automatic;
};

struct backup_args : common_args {
	std::string image;
	std::string connect, device;	// or a device of the zep server in this run folder,
	std::string snapshot;		// or a running snapshot of it
	std::string partition;	// "START:SECTORS", or "" for the whole image
	std::string repo;
	std::string tmpdir;	// for the snapshot's backing files; "" the host's temporary folder
	int threads = 2;
	int readers = DEFAULT_READERS;	// processes reading the snapshot at once
	bool full = false;	// a full backup even when the repository holds backups
	std::string compress = "zstd";	// none, zstd or zstd:LEVEL (see parse_compression)
};

struct restore_args : common_args {
	std::string repo;
	std::optional<unsigned> backup;	// default the newest
	std::string output;
	bool force = false;	// overwrite an existing output file
};

struct verify_args : common_args {
	std::string repo;
	std::optional<unsigned> backup;	// default every backup
	std::string against;	// a host image to compare the restored image with
	std::string partition;	// "START:SECTORS" of it to compare, "" the whole image
};

// list, info
struct repo_args : common_args {
	std::string repo;
};

struct prune_args : common_args {
	std::string repo;
	unsigned keep_last = 0;
};

struct serve_args : common_args {
	std::vector<std::string> images;
	std::string run_dir;
	int threads = 16;	// nbdkit's threads per connection
	std::string freeze_hook;	// run as `CMD freeze|thaw DEVICE` around each snapshot's freeze
	std::string listen;	// HOST:PORT to serve NBD on over TCP too, "" none
	std::string tls_psk;	// the user's PSK file; "" makes one in the run folder
	std::string tls_certificates;	// a folder of X.509 certificates, instead of a PSK
	bool insecure = false;	// TCP without TLS
};

struct bench_args : common_args {
	double seconds = 2;	// measuring time per line
	std::vector<std::string> only;	// line ids; empty: all
	std::string tmpdir;	// for file disks and backing files; "" the host's temporary folder
	int readers = 0;	// the backup's readers; 0 its default
};

// status, snapshot, release, changes, quit: one request to the server in `connect`.
struct client_args : common_args {
	std::string command;
	std::string connect;	// the server's run folder
	std::string target;	// snapshot: the device; release: the snapshot
	int threads = 2;	// snapshot: IO-thread processes
	bool writable = false;	// snapshot: its export takes writes
	std::string since, repo;	// changes: since this mark, snapshot or backup (of repo)
};

int run_backup(const backup_args &a, cli_io &io);
// Runs nbdkit with the zep plugin in this process's place; returns only when it cannot.
int run_serve(const serve_args &a, cli_io &io);
int run_client(const client_args &a, cli_io &io);
// `zep backup --connect DIR --device DEV`: the server makes the backup.
int run_served_backup(const backup_args &a, cli_io &io);
int run_restore(const restore_args &a, cli_io &io);
int run_verify(const verify_args &a, cli_io &io);
int run_list(const repo_args &a, cli_io &io);
int run_info(const repo_args &a, cli_io &io);
int run_prune(const prune_args &a, cli_io &io);
int run_version(const common_args &a, cli_io &io);
int run_bench(const bench_args &a, cli_io &io);

// The version of the `zep` command.
const char *tool_version();

// A repository folder given on the command line, as an absolute path: usage when it names
// something else than a host folder; with create, made when missing (io when it cannot be).
result<std::string> repository_path(const std::string &dir, bool create);

// The machine a command boots: its kernel log mirrored with --verbose, the tests' hook.
machine_options machine_for(const common_args &a, const cli_io &io);

} // namespace zep
