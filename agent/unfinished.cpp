#include "agent/unfinished.h"

#include <algorithm>

namespace zep::unfinished {

namespace {

std::mutex lock;
std::vector<std::string> paths;

} // namespace

void add(const std::string &path)
{
	std::lock_guard<std::mutex> g(lock);
	paths.push_back(path);
}

void drop(const std::string &path)
{
	drop(path, hold());
}

void drop(const std::string &path, const std::unique_lock<std::mutex> &)
{
	if (auto it = std::find(paths.rbegin(), paths.rend(), path); it != paths.rend())
		paths.erase(std::next(it).base());
}

std::unique_lock<std::mutex> hold()
{
	return std::unique_lock<std::mutex>(lock);
}

std::vector<std::string> listed(const std::unique_lock<std::mutex> &)
{
	return {paths.rbegin(), paths.rend()};
}

} // namespace zep::unfinished
