// `zep serve` and its client commands. serve hands the process over to nbdkit with the zep
// plugin, which holds the machine; status, snapshot, release, changes, quit and backup
// --connect send one request to the server's control socket in its run folder and print
// the answer.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "serve/control_socket.h"
#include "serve/listeners.h"
#include "tools/commands.h"

namespace zep {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

errc errc_of(const std::string &name)
{
	for (errc c : {errc::refused, errc::not_found, errc::invalidated, errc::io, errc::no_space,
		       errc::timeout, errc::corrupt, errc::usage, errc::busy})
		if (name == errc_name(c))
			return c;
	return errc::other;
}

// The server's answer, or its error as ours.
result<json> ask(const std::string &dir, const json &request)
{
	auto a = control_request(dir, request);
	if (!a)
		return a.err();
	if (a->contains("error")) {
		const json &e = (*a)["error"];
		return make_error(errc_of(e.value("code", "other")), e.value("message", "?"));
	}
	return a;
}

std::string tracking_text(const json &t)
{
	if (t.is_null())
		return "not tracked yet (from the first snapshot on)";
	return t["complete"].get<bool>()
		       ? fmt::format("complete since {}", t["since"].get<std::string>())
		       : fmt::format("INCOMPLETE since {}: {}", t["since"].get<std::string>(),
				     t.value("reason", "?"));
}

std::string status_text(const json &s)
{
	std::string t = fmt::format("{:<8} {:>12}  {}\n", "EXPORT", "SIZE", "KIND");
	for (const json &d : s["devices"])
		t += fmt::format("{:<8} {:>12}  live, read-write{}{}\n", d["name"].get<std::string>(),
				 mib(d["size"].get<double>()),
				 d["nbd_clients"].get<int>() ? fmt::format(", {} NBD client(s)",
									   d["nbd_clients"].get<int>())
							     : "",
				 d.contains("tracking") ? "; tracking " + tracking_text(d["tracking"])
							: "");
	for (const json &d : s["snapshots"])
		t += fmt::format("{:<8} {:>12}  snapshot of {}, {}{}\n", d["name"].get<std::string>(),
				 "", d["device"].get<std::string>(),
				 d["writable"].get<bool>() ? "writable" : "read-only",
				 d["healthy"].get<bool>() ? "" : ", invalid: " + d.value("error", "?"));
	return t;
}

std::string changes_text(const json &c)
{
	std::string t = fmt::format("{} since {}: {} in {} extent(s), tracking {}\n",
				    c["device"].get<std::string>(), c["since"].get<std::string>(),
				    mib(c["bytes"].get<double>()), c["extents"].size(),
				    c["complete"].get<bool>() ? "complete"
							      : "INCOMPLETE: " + c.value("reason", "?"));
	for (const json &e : c["extents"])
		t += fmt::format("{:>14} {:>14}\n", e[0].get<uint64_t>(), e[1].get<uint64_t>());
	return t;
}

// What --listen, --tls-psk, --tls-certificates and --insecure make of TCP.
struct tcp_plan {
	std::optional<listen_address> address;
	std::vector<std::string> nbdkit_args;
	std::string notice;	// how clients connect, for standard error
	std::string new_psk;	// the PSK file to make in the run folder, "" none
};

result<tcp_plan> tcp_settings(const serve_args &a, const std::string &dir)
{
	tcp_plan t;
	if (a.listen.empty())
		return t;
	auto addr = parse_listen_address(a.listen);
	if (!addr)
		return addr.err();
	t.address = *addr;
	std::string host = addr->host.empty() ? "localhost"
			   : addr->host.find(':') != std::string::npos ? "[" + addr->host + "]"
								       : addr->host;
	std::string where = host + ":" + addr->port;
	std::error_code ec;
	std::string psk, user = PSK_USER;
	if (!a.tls_certificates.empty()) {
		fs::path certs = fs::absolute(a.tls_certificates, ec).lexically_normal();
		if (!fs::is_directory(certs, ec))
			return make_error(errc::usage, fmt::format("--tls-certificates {} is not a "
								   "folder: give the folder of "
								   "ca-cert.pem, server-cert.pem and "
								   "server-key.pem",
								   a.tls_certificates));
		t.nbdkit_args = {"--tls=on", "--tls-certificates=" + certs.string()};
		t.notice = fmt::format("NBD over TCP on {}, TLS with the certificates in {}: "
				       "nbds://{}/vda",
				       a.listen, certs.string(), where);
	} else if (!a.tls_psk.empty()) {
		psk = fs::absolute(a.tls_psk, ec).lexically_normal().string();
		std::ifstream in(psk);
		std::string line;
		if (!fs::is_regular_file(psk, ec) || !std::getline(in, line) ||
		    line.find(':') == std::string::npos)
			return make_error(errc::usage, fmt::format("--tls-psk {} is not a readable PSK "
								   "file of USER:HEXKEY lines: make one "
								   "with `psktool -u USER -p FILE`",
								   a.tls_psk));
		user = line.substr(0, line.find(':'));
	} else if (!a.insecure) {
		psk = t.new_psk = dir + "/tls.psk";
	}
	if (!psk.empty()) {
		t.nbdkit_args = {"--tls=on", "--tls-psk=" + psk};
		t.notice = fmt::format("NBD over TCP on {}, TLS with the PSK file {} (user {}): "
				       "nbds://{}@{}/vda?tls-psk-file={}",
				       a.listen, psk, user, user, where, psk);
	}
	if (a.insecure)
		t.notice = fmt::format("warning: NBD over TCP on {} {} (--insecure): whoever reaches "
				       "it reads and writes every export{}",
				       a.listen, t.nbdkit_args.empty() ? "without TLS" : "with TLS optional",
				       t.nbdkit_args.empty() ? ": nbd://" + where + "/vda"
							     : "; " + t.notice);
	return t;
}

} // namespace

int run_served_backup(const backup_args &a, cli_io &io)
{
	reporter rep(io, "backup", a.json);
	if (a.device.empty() == a.snapshot.empty())
		return rep.failure(make_error(errc::usage, "--connect needs --device DEVICE (a "
							   "snapshot is taken for the backup) or "
							   "--snapshot SNAPSHOT (a running one): `zep "
							   "status --connect DIR` lists them"));
	auto repo = repository_path(a.repo, true);
	if (!repo)
		return rep.failure(repo.err());
	auto r = ask(a.connect, {{"command", "backup"},
				 {"device", a.device},
				 {"snapshot", a.snapshot},
				 {"repo", *repo},
				 {"threads", a.threads},
				 {"full", a.full},
				 {"compress", a.compress},
				 {"readers", a.readers}});
	if (!r)
		return rep.failure(r.err());
	const json &ans = *r;
	const json &sn = ans["snapshot"];
	std::string text = fmt::format(
		"backup {:04}: {} of {} ({} bytes), {}\n"
		"{} of {} chunks stored; {} bytes read in {:.2f} s\n"
		"{} bytes of data stored in {} ({})\n{}\n"
		"snapshot {} frozen {:.1f} ms, {}; change tracking {}\n",
		ans["sequence"].get<unsigned>(), ans["kind"].get<std::string>(),
		ans["device"].get<std::string>(), ans["size"].get<uint64_t>(),
		ans["method"].get<std::string>(), ans["chunks_stored"].get<uint64_t>(),
		ans["chunks"].get<uint64_t>(), ans["bytes_read"].get<uint64_t>(),
		ans["seconds"].get<double>(), ans["image_bytes_stored"].get<uint64_t>(),
		ans["data_bytes"].get<uint64_t>(), ans["compression"].get<std::string>(),
		ans["note"].get<std::string>(),
		sn["name"].get<std::string>(), sn["frozen_ms"].get<double>(),
		sn["quiesced"].get<bool>() ? "quiesced by the freeze hook" : "crash-consistent",
		ans["change_tracking"].get<std::string>());
	if (ans.contains("warning"))
		text += "warning: " + ans["warning"].get<std::string>() + "\n";
	return rep.success(nlohmann::ordered_json::parse(ans.dump()), text);
}

int run_serve(const serve_args &a, cli_io &io)
{
	reporter rep(io, "serve", a.json);
	std::error_code ec;
	std::string dir = fs::absolute(a.run_dir, ec).lexically_normal().string();
	auto tcp = tcp_settings(a, dir);
	if (!tcp)
		return rep.failure(tcp.err());
	std::string plugin = ZEP_NBDKIT_PLUGIN;
	if (const char *p = std::getenv("ZEP_NBDKIT_PLUGIN"))
		plugin = p;
	if (plugin.empty() || !fs::exists(plugin))
		return rep.failure(make_error(errc::other,
					      "this zep was built without its nbdkit plugin: install "
					      "nbdkit-plugin-dev (scripts/setup.sh) and build without "
					      "a sanitizer"));
	fs::create_directories(dir, ec);
	if (ec || !fs::is_directory(dir))
		return rep.failure(make_error(errc::usage, fmt::format("cannot make the run folder "
								       "{}: {}",
								       a.run_dir, ec.message())));
	::chmod(dir.c_str(), 0700);
	if (fs::exists(dir + "/zep.sock") && control_request(dir, {{"command", "status"}}))
		return rep.failure(make_error(errc::usage, fmt::format("a zep server runs in {} "
								       "already: `zep quit "
								       "--connect {}` ends it",
								       dir, dir)));
	// What a killed server left: its sockets and its snapshots' backing files. No server
	// answers, so none of it is in use.
	for (const char *f : {"/zep.sock", "/nbd.sock"})
		fs::remove(dir + f, ec);
	fs::remove_all(dir + "/cow", ec);
	std::vector<std::string> images;
	for (const std::string &img : a.images) {
		fs::path abs = fs::absolute(img, ec).lexically_normal();
		if (!fs::exists(abs))
			return rep.failure(make_error(errc::usage,
						      fmt::format("image {} does not exist", img)));
		images.push_back("image=" + abs.string());
	}
	if (!tcp->new_psk.empty())
		if (auto r = ensure_psk_file(tcp->new_psk); !r)
			return rep.failure(r.err());

	// nbdkit takes its sockets from us (serve/listeners.h). The blocksize filter turns
	// requests that are not whole sectors into whole ones.
	std::vector<std::string> args = {"nbdkit", "--foreground", "--threads",
					 std::to_string(a.threads)};
	args.insert(args.end(), tcp->nbdkit_args.begin(), tcp->nbdkit_args.end());
	args.insert(args.end(), {"--filter=blocksize", plugin, "minblock=512"});
	args.insert(args.end(), images.begin(), images.end());
	args.push_back("rundir=" + dir);
	if (!a.freeze_hook.empty())
		args.push_back("freezehook=" + a.freeze_hook);
	if (a.insecure)
		args.push_back("insecure=1");
	if (a.verbose)
		args.push_back("verbose=1");

	std::vector<int> fds;
	if (tcp->address) {
		auto t = listen_tcp(*tcp->address);
		if (!t)
			return rep.failure(t.err());
		fds = *t;
	}
	auto u = listen_unix(dir + "/nbd.sock");
	if (!u) {
		for (int fd : fds)
			::close(fd);
		return rep.failure(u.err());
	}
	fds.insert(fds.begin(), *u);
	if (auto h = hand_to_nbdkit(fds); !h)
		return rep.failure(h.err());
	if (!tcp->notice.empty())
		fmt::print(io.err, "zep serve: {}\n", tcp->notice);
	std::vector<char *> argv;
	for (std::string &s : args)
		argv.push_back(s.data());
	argv.push_back(nullptr);
	std::fflush(nullptr);
	::umask(077);	// what the server makes is its user's only
	::execvp("nbdkit", argv.data());
	int e = errno;
	::unlink((dir + "/nbd.sock").c_str());
	errno = e;
	return rep.failure(make_error(errc::other,
				      fmt::format("cannot run nbdkit ({}): install the nbdkit package "
						  "(scripts/setup.sh does)",
						  std::strerror(errno))));
}

int run_client(const client_args &a, cli_io &io)
{
	reporter rep(io, a.command, a.json);
	json req = {{"command", a.command}};
	if (a.command == "snapshot") {
		req["device"] = a.target;
		req["threads"] = a.threads;
		req["writable"] = a.writable;
	} else if (a.command == "release") {
		req["snapshot"] = a.target;
	} else if (a.command == "changes") {
		req["device"] = a.target;
		if (!a.since.empty())
			req["since"] = a.since;
		if (!a.repo.empty()) {
			auto repo = repository_path(a.repo, false);
			if (!repo)
				return rep.failure(repo.err());
			req["repo"] = *repo;
		}
	}
	auto r = ask(a.connect, req);
	if (!r)
		return rep.failure(r.err());
	const json &ans = *r;
	nlohmann::ordered_json fields = nlohmann::ordered_json::parse(ans.dump());
	if (a.command == "status")
		return rep.success(fields, status_text(ans));
	if (a.command == "snapshot")
		return rep.success(fields,
				   fmt::format("{}\t(snapshot of {}, frozen {:.1f} ms, {}){}\n",
					       ans["snapshot"].get<std::string>(), a.target,
					       ans["freeze_ms"].get<double>(),
					       ans.value("quiesced", false) ? "quiesced by the freeze hook"
									  : "crash-consistent",
					       ans.contains("thaw_error")
						   ? "\nwarning: " + ans["thaw_error"].get<std::string>()
						   : ""));
	if (a.command == "release")
		return rep.success(fields, fmt::format("{} released\n", a.target));
	if (a.command == "changes")
		return rep.success(fields, changes_text(ans));
	// quit: the server stops its snapshots, unloads the driver and halts, then its control
	// socket goes.
	auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
	while (fs::exists(a.connect + "/zep.sock")) {
		if (std::chrono::steady_clock::now() > until)
			return rep.failure(make_error(errc::timeout,
						      "the server did not end within 60 s"));
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return rep.success(fields, "server stopped\n");
}

} // namespace zep
