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

// Reads a temporary stream whole from its start, and closes it.
inline std::string read_stream(std::FILE *f)
{
	std::string s;
	std::rewind(f);
	char buf[4096];
	for (size_t n; (n = std::fread(buf, 1, sizeof(buf), f)) > 0;)
		s.append(buf, n);
	std::fclose(f);
	return s;
}

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
