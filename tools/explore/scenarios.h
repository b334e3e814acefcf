// The scenarios zep-explore runs under seeded schedules.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zep::explore {

struct scenario {
	const char *name;
	const char *what;
	// Runs on a booted machine with the driver loaded; "" when every check held, else
	// what failed. dir is a host folder for backing files, emptied by the caller.
	std::string (*run)(uint64_t seed, const std::filesystem::path &dir);
};

const std::vector<scenario> &scenarios();

} // namespace zep::explore
