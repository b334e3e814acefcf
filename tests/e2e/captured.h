// What a `zep` command run in a test printed: its streams are temporary files, read back
// once it has returned.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/output.h"

namespace zeptest
{

struct run_result {
	int rc = -1;
	std::string out, err;
	nlohmann::json doc() const { return nlohmann::json::parse(out); } // throws unless out is one document
};

using zep::read_stream;

// Runs fn with io's streams made temporary files; its exit code and what it printed.
inline run_result captured(zep::cli_io io, const std::function<int(zep::cli_io &)> &fn)
{
	io.out = std::tmpfile();
	io.err = std::tmpfile();
	run_result r;
	r.rc = fn(io);
	r.out = read_stream(io.out);
	r.err = read_stream(io.err);
	return r;
}

} // namespace zeptest
