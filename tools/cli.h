// The `zep` command line: subcommands parsed with CLI11 and run. main() calls this with the
// real argv; tests call it with their own arguments and streams.
#pragma once

#include <string>
#include <vector>

#include "tools/output.h"

namespace zep {

// Runs `zep` with args (args[0] is the program's name): its exit code.
int run_cli(const std::vector<std::string> &args, cli_io &io);

} // namespace zep
