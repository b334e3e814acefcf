// The `zep` command: see tools/cli.cpp for its subcommands, `zep --help` for their use.
#include <unistd.h>

#include "tools/cli.h"

int main(int argc, char **argv)
{
	zep::cli_io io;
	io.err_is_tty = ::isatty(STDERR_FILENO) == 1;
	return zep::run_cli(std::vector<std::string>(argv, argv + argc), io);
}
