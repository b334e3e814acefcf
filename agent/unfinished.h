// The host files and folders a run is making that must not outlast it: should a signal end
// the run, the command's handler removes whatever is listed here (tools/interrupt.h). The
// list only names paths; the agent itself never touches the host.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace zep::unfinished {

void add(const std::string &path);
void drop(const std::string &path);
void drop(const std::string &path, const std::unique_lock<std::mutex> &held);
// Held across a commit (the rename that makes a backup exist, then dropping its files), so
// that a signal finds the backup either wholly unfinished or wholly made.
std::unique_lock<std::mutex> hold();
// The paths listed, newest first, under a lock already held (see hold).
std::vector<std::string> listed(const std::unique_lock<std::mutex> &held);

} // namespace zep::unfinished
