#include "serve/control_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "serve/listeners.h"

namespace zep {

using json = nlohmann::json;

namespace {

// A request line longer than this is refused: no request needs more.
constexpr size_t MAX_LINE = 64 << 10;
constexpr int IDLE_MS = 5000;
constexpr size_t MAX_CLIENTS = 16;

bool make_address(const std::string &path, sockaddr_un *a)
{
	std::memset(a, 0, sizeof(*a));
	a->sun_family = AF_UNIX;
	if (path.size() >= sizeof(a->sun_path))
		return false;
	std::memcpy(a->sun_path, path.c_str(), path.size() + 1);
	return true;
}

bool write_all(int fd, const std::string &s)
{
	size_t done = 0;
	while (done < s.size()) {
		ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		done += static_cast<size_t>(n);
	}
	return true;
}

json error_answer(const std::string &code, const std::string &message)
{
	return {{"error", {{"code", code}, {"message", message}}}};
}

} // namespace

result<std::unique_ptr<control_socket>> control_socket::listen(const std::string &path,
								handler handle,
								std::function<void()> on_thread,
								std::function<void()> after_answer)
{
	std::unique_ptr<control_socket> c(new control_socket);
	c->path_ = path;
	c->handle_ = std::move(handle);
	c->on_thread_ = std::move(on_thread);
	c->after_answer_ = std::move(after_answer);
	auto fd = listen_unix(path);
	if (!fd)
		return fd.err();
	c->listen_fd_ = *fd;
	if (::pipe2(c->stop_pipe_, O_CLOEXEC) < 0)
		return make_error(errc::io, fmt::format("cannot listen on {}: {}", path,
							std::strerror(errno)));
	c->thread_ = std::thread([p = c.get()] { p->serve(); });
	return c;
}

void control_socket::stop_serving()
{
	if (stop_pipe_[1] >= 0)
		(void)!::write(stop_pipe_[1], "x", 1);
	if (thread_.joinable())
		thread_.join();
}

control_socket::~control_socket()
{
	stop_serving();
	for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]})
		if (fd >= 0)
			::close(fd);
	::unlink(path_.c_str());
}

void control_socket::serve()
{
	struct client {
		std::thread t;
		std::shared_ptr<std::atomic<bool>> done;
	};
	std::vector<client> clients;
	auto reap = [&clients](bool all) {
		std::erase_if(clients, [all](client &c) {
			if (!all && !c.done->load())
				return false;
			c.t.join();
			return true;
		});
	};
	for (;;) {
		pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
		if (::poll(p, 2, -1) < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		if (p[1].revents)
			break;
		int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			continue;
		reap(false);
		ucred cred{};
		socklen_t len = sizeof(cred);
		const char *refusal = nullptr;
		if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0 || cred.uid != ::getuid())
			refusal = "only the server's own user may control it";
		else if (clients.size() >= MAX_CLIENTS)
			refusal = "the server is busy with other clients: try again";
		if (refusal) {
			write_all(fd, error_answer("refused", refusal).dump() + "\n");
			::close(fd);
			continue;
		}
		// A client of its own thread: a long request (a backup) keeps no one else out.
		auto done = std::make_shared<std::atomic<bool>>(false);
		clients.push_back({std::thread([this, fd, done] {
					   if (on_thread_)
						   on_thread_();
					   serve_client(fd);
					   ::close(fd);
					   done->store(true);
				   }),
				   done});
	}
	reap(true);
}

void control_socket::serve_client(int fd)
{
	std::string buf;
	char chunk[4096];
	for (;;) {
		size_t nl;
		while ((nl = buf.find('\n')) == std::string::npos) {
			if (buf.size() > MAX_LINE) {
				write_all(fd, error_answer("usage", "request line too long").dump() + "\n");
				return;
			}
			// A client that goes quiet is let go, so that quiet ones cannot use up
			// the server's client threads.
			pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
			int ready = ::poll(p, 2, IDLE_MS);
			if (ready < 0 && errno != EINTR)
				return;
			if (ready == 0 || p[1].revents)
				return;
			if (!p[0].revents)
				continue;
			ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
			if (n <= 0)
				return;	// the client went away, mid-request or not
			buf.append(chunk, static_cast<size_t>(n));
		}
		std::string line = buf.substr(0, nl);
		buf.erase(0, nl + 1);
		json answer;
		json req = json::parse(line, nullptr, false);
		if (req.is_discarded())
			answer = error_answer("usage", "the request is not JSON: send one JSON object "
						       "a line, e.g. {\"command\": \"status\"}");
		else
			answer = handle_(req);
		bool sent = write_all(fd, answer.dump() + "\n");
		if (after_answer_)
			after_answer_();
		if (!sent)
			return;
	}
}

result<json> control_request(const std::string &dir, const json &request)
{
	std::string path = dir + "/zep.sock";
	sockaddr_un a;
	if (!make_address(path, &a))
		return make_error(errc::usage, fmt::format("the run folder {} is too long a path", dir));
	int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0) {
		int e = errno;
		if (fd >= 0)
			::close(fd);
		return make_error(errc::not_found,
				  fmt::format("no zep server answers at {} ({}): start one with `zep "
					      "serve IMAGE --run-dir {}`",
					      path, std::strerror(e), dir));
	}
	std::string out = request.dump() + "\n", in;
	char chunk[4096];
	bool ok = write_all(fd, out);
	while (ok && in.find('\n') == std::string::npos) {
		ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			ok = false;
		else
			in.append(chunk, static_cast<size_t>(n));
	}
	::close(fd);
	if (!ok)
		return make_error(errc::io, fmt::format("the zep server at {} closed the connection "
							"without an answer",
							path));
	json answer = json::parse(in.substr(0, in.find('\n')), nullptr, false);
	if (answer.is_discarded())
		return make_error(errc::io, "the zep server's answer is not JSON");
	return answer;
}

} // namespace zep
