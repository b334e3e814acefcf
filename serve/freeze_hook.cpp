#include "serve/freeze_hook.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fmt/format.h>

extern char **environ;

namespace zep {

result<void> run_freeze_hook(const std::string &cmd, const std::string &step,
			     const std::string &device)
{
	int err_pipe[2];
	if (::pipe2(err_pipe, O_CLOEXEC) < 0)
		return make_error(errc::other, fmt::format("cannot run the freeze hook: {}",
							   std::strerror(errno)));
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	std::string script = cmd + " \"$@\"";
	std::vector<const char *> argv = {"sh", "-c", script.c_str(), "zep-hook", step.c_str(),
					  device.c_str(), nullptr};
	pid_t pid;
	int rc = ::posix_spawn(&pid, "/bin/sh", &fa, nullptr, const_cast<char **>(argv.data()),
			       environ);
	posix_spawn_file_actions_destroy(&fa);
	::close(err_pipe[1]);
	std::string said;
	char buf[1024];
	for (ssize_t n; rc == 0 && (n = ::read(err_pipe[0], buf, sizeof(buf))) != 0;) {
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			break;
		if (said.size() < 4096)
			said.append(buf, static_cast<size_t>(n));
	}
	::close(err_pipe[0]);
	if (rc != 0)
		return make_error(errc::other, fmt::format("cannot run the freeze hook: {}",
							   std::strerror(rc)));
	int status = 0;
	while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	while (!said.empty() && (said.back() == '\n' || said.back() == '\r'))
		said.pop_back();
	if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
		return {};
	std::string how = WIFEXITED(status) ? fmt::format("exit {}", WEXITSTATUS(status))
					    : fmt::format("signal {}", WTERMSIG(status));
	return make_error(errc::refused, fmt::format("the freeze hook `{} {} {}` failed ({}){}{}",
						     cmd, step, device, how,
						     said.empty() ? "" : ": ", said));
}

} // namespace zep
