// The control socket of `zep serve`: JSON lines on a Unix socket, one request and one answer
// each, served to the server's own user only (peer credentials), each client in a thread
// of its own.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "agent/result.h"

namespace zep {

class control_socket {
public:
	using handler = std::function<nlohmann::json(const nlohmann::json &)>;
	// Listens on path (mode 0600) and answers each line with handle's answer (called from
	// several threads at once); on_thread runs first in each client's thread, after_answer
	// after each answer is sent.
	static result<std::unique_ptr<control_socket>> listen(const std::string &path, handler handle,
							      std::function<void()> on_thread,
							      std::function<void()> after_answer);
	~control_socket();	// stops serving, removes the socket
	// Stops answering (the socket stays until destruction, so clients see the server up).
	void stop_serving();
	control_socket(const control_socket &) = delete;
	control_socket &operator=(const control_socket &) = delete;

private:
	control_socket() = default;
	void serve();
	void serve_client(int fd);

	std::string path_;
	int listen_fd_ = -1;
	int stop_pipe_[2] = {-1, -1};
	handler handle_;
	std::function<void()> on_thread_, after_answer_;
	std::thread thread_;
};

// The client side: sends one request to the server whose run folder is dir and returns its
// answer. not_found when no server listens there.
result<nlohmann::json> control_request(const std::string &dir, const nlohmann::json &request);

} // namespace zep
