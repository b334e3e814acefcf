// The sockets `zep serve` listens on, made before nbdkit runs and handed to it by socket
// activation (LISTEN_FDS): nbdkit's own options listen on a unix socket or on TCP, never on
// both, and the run folder's unix socket must stay while TCP is served too.
#pragma once

#include <string>
#include <vector>

#include "agent/result.h"

namespace zep {

// HOST:PORT of --listen: HOST a name or address ([::1] for IPv6, empty for every address),
// PORT 1 to 65535.
struct listen_address {
	std::string host;
	std::string port;
	std::string text;	// as given
};

// usage when the text is not HOST:PORT.
result<listen_address> parse_listen_address(const std::string &text);

// A listening unix socket at path (a stale one there is replaced), mode 0600.
result<int> listen_unix(const std::string &path);

// Listening TCP sockets on every address HOST resolves to (usage when none).
result<std::vector<int>> listen_tcp(const listen_address &a);

// Moves fds to 3, 4, ... and sets LISTEN_PID and LISTEN_FDS, so that nbdkit exec'd in this
// process takes them as its listeners.
result<void> hand_to_nbdkit(const std::vector<int> &fds);

// The user name of the PSK files zep makes.
inline constexpr const char *PSK_USER = "zep";

// A PSK file for nbdkit's --tls-psk at path, mode 0600: kept when it holds a key for
// PSK_USER already (so that clients keep theirs across restarts), else made with a new
// random 256-bit key.
result<void> ensure_psk_file(const std::string &path);

} // namespace zep
