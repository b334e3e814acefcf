#include "serve/listeners.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fmt/format.h>

namespace zep {

namespace {

std::string errno_text() { return std::strerror(errno); }

bool is_hex(const std::string &s)
{
	return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
		return std::isxdigit(c);
	});
}

} // namespace

result<listen_address> parse_listen_address(const std::string &text)
{
	auto bad = [&](const std::string &why) {
		return make_error(errc::usage, fmt::format("--listen {}: {}; give HOST:PORT, e.g. "
							   "127.0.0.1:10809, [::1]:10809 or :10809 "
							   "for every address",
							   text, why));
	};
	size_t colon = text.rfind(':');
	if (colon == std::string::npos)
		return bad("there is no port");
	listen_address a{text.substr(0, colon), text.substr(colon + 1), text};
	if (a.host.starts_with('[')) {
		if (!a.host.ends_with(']') || a.host.size() < 3)
			return bad("an IPv6 address needs its closing bracket");
		a.host = a.host.substr(1, a.host.size() - 2);
	} else if (a.host.find(':') != std::string::npos) {
		return bad("an IPv6 address goes in brackets");
	}
	if (a.port.empty() || a.port.size() > 5 ||
	    !std::all_of(a.port.begin(), a.port.end(), [](unsigned char c) { return std::isdigit(c); }))
		return bad("the port is not a number");
	int port = std::atoi(a.port.c_str());
	if (port < 1 || port > 65535)
		return bad("the port is not 1 to 65535");
	a.port = std::to_string(port);
	return a;
}

result<int> listen_unix(const std::string &path)
{
	sockaddr_un a{};
	a.sun_family = AF_UNIX;
	if (path.size() >= sizeof(a.sun_path))
		return make_error(errc::usage, fmt::format("the socket path {} is too long: give a "
							   "shorter run folder",
							   path));
	std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
	::unlink(path.c_str());
	int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	mode_t old = ::umask(077);
	int rc = fd < 0 ? -1 : ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
	::umask(old);
	if (rc < 0 || ::listen(fd, SOMAXCONN) < 0) {
		std::string why = errno_text();
		if (fd >= 0)
			::close(fd);
		return make_error(errc::io, fmt::format("cannot listen on {}: {}", path, why));
	}
	::chmod(path.c_str(), 0600);
	return fd;
}

result<std::vector<int>> listen_tcp(const listen_address &la)
{
	addrinfo hints{};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
	addrinfo *res = nullptr;
	int rc = ::getaddrinfo(la.host.empty() ? nullptr : la.host.c_str(), la.port.c_str(),
			       &hints, &res);
	if (rc)
		return make_error(errc::usage, fmt::format("--listen {}: cannot resolve {}: {}",
							   la.text, la.host, ::gai_strerror(rc)));
	std::vector<int> fds;
	std::string why;
	for (addrinfo *ai = res; ai; ai = ai->ai_next) {
		int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
		if (fd < 0) {
			why = errno_text();
			continue;
		}
		int one = 1;
		::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
		// The IPv6 wildcard would take the IPv4 one's port too: each listens on its own.
		if (ai->ai_family == AF_INET6)
			::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
		if (::bind(fd, ai->ai_addr, ai->ai_addrlen) < 0 || ::listen(fd, SOMAXCONN) < 0) {
			int e = errno;
			why = std::strerror(e);
			::close(fd);
			// A host without IPv6 still serves IPv4; any other failure ends the start.
			if (ai->ai_family == AF_INET6 && e == EADDRNOTAVAIL)
				continue;
			for (int f : fds)
				::close(f);
			::freeaddrinfo(res);
			return make_error(errc::usage, fmt::format("cannot listen on {}: {}: choose "
								   "another HOST:PORT",
								   la.text, why));
		}
		fds.push_back(fd);
	}
	::freeaddrinfo(res);
	if (fds.empty())
		return make_error(errc::usage, fmt::format("cannot listen on {}: {}", la.text,
							   why.empty() ? "no address" : why));
	return fds;
}

result<void> hand_to_nbdkit(const std::vector<int> &fds)
{
	// Parked above 3 + n first: a socket may sit where another one is to go.
	std::vector<int> parked;
	for (int fd : fds) {
		int p = ::fcntl(fd, F_DUPFD_CLOEXEC, 3 + static_cast<int>(fds.size()));
		if (p < 0)
			return make_error(errc::other, fmt::format("cannot pass the listening sockets "
								   "to nbdkit: {}",
								   errno_text()));
		::close(fd);
		parked.push_back(p);
	}
	for (size_t i = 0; i < parked.size(); i++) {
		int to = 3 + static_cast<int>(i);
		if (::dup2(parked[i], to) < 0)	// the copy is kept across exec
			return make_error(errc::other, fmt::format("cannot pass the listening sockets "
								   "to nbdkit: {}",
								   errno_text()));
		::close(parked[i]);
	}
	::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
	::setenv("LISTEN_FDS", std::to_string(fds.size()).c_str(), 1);
	::unsetenv("LISTEN_FDNAMES");
	return {};
}

result<void> ensure_psk_file(const std::string &path)
{
	{
		std::ifstream in(path);
		std::string line;
		if (in && std::getline(in, line) && line.starts_with(std::string(PSK_USER) + ":") &&
		    is_hex(line.substr(std::strlen(PSK_USER) + 1))) {
			if (::chmod(path.c_str(), 0600) < 0)
				return make_error(errc::io, fmt::format("cannot make {} private: {}",
									path, errno_text()));
			return {};
		}
	}
	unsigned char key[32];
	if (::getrandom(key, sizeof(key), 0) != static_cast<ssize_t>(sizeof(key)))
		return make_error(errc::other, fmt::format("cannot draw a random key: {}",
							   errno_text()));
	std::string text = std::string(PSK_USER) + ":";
	for (unsigned char b : key)
		text += fmt::format("{:02x}", b);
	text += "\n";
	// Written aside and renamed: a reader never meets half a key.
	std::string tmp = path + ".new";
	::unlink(tmp.c_str());
	int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
	bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
	std::string why = errno_text();
	if (fd >= 0)
		ok = ::close(fd) == 0 && ok;
	if (ok && ::rename(tmp.c_str(), path.c_str()) < 0) {
		why = errno_text();
		ok = false;
	}
	if (!ok) {
		::unlink(tmp.c_str());
		return make_error(errc::io, fmt::format("cannot write the PSK file {}: {}", path, why));
	}
	return {};
}

} // namespace zep
