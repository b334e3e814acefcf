#include "tools/output.h"

#include <fmt/format.h>

namespace zep {

int exit_code(errc code)
{
	switch (code) {
	case errc::corrupt:
		return EXIT_VERIFY_FAILED;
	case errc::usage:
	case errc::not_found:	// a file, repository or backup named that is not there
		return EXIT_USAGE;
	case errc::refused:	// the driver's refusals and failures all concern the snapshot
	case errc::invalidated:
	case errc::timeout:
		return EXIT_SNAPSHOT;
	case errc::io:
	case errc::no_space:
		return EXIT_IO;
	case errc::busy:
		return EXIT_BUSY;
	case errc::other:
		break;
	}
	return EXIT_OTHER;
}

int reporter::success(nlohmann::ordered_json fields, const std::string &text)
{
	if (json_) {
		nlohmann::ordered_json doc = {{"command", command_}, {"ok", true}};
		doc.update(fields);
		fmt::print(io_.out, "{}\n", doc.dump(2));
	} else {
		fmt::print(io_.out, "{}", text);
	}
	std::fflush(io_.out);
	return EXIT_OK;
}

int reporter::failure(const error &given)
{
	error e = given;
	// A full file system always says what to do, whichever file of the command found it.
	if (e.code == errc::no_space && e.message.find("free space") == std::string::npos)
		e.message += fmt::format(": free space on it and run zep{}{} again",
					 command_.empty() ? "" : " ", command_);
	int code = exit_code(e.code);
	if (json_) {
		nlohmann::ordered_json doc = {
			{"command", command_.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(command_)},
			{"ok", false},
			{"error",
			 {{"kind", errc_name(e.code)}, {"exit_code", code}, {"message", e.message}}}};
		fmt::print(io_.out, "{}\n", doc.dump(2));
		std::fflush(io_.out);
	} else {
		fmt::print(io_.err, "zep{}{}: {}\n", command_.empty() ? "" : " ", command_, e.message);
		std::fflush(io_.err);
	}
	return code;
}

std::string mib(double bytes)
{
	return fmt::format("{:.1f} MiB", bytes / (1 << 20));
}

double mib_per_second(uint64_t bytes, double seconds)
{
	return seconds > 0 ? static_cast<double>(bytes) / (1 << 20) / seconds : 0;
}

std::string read_stream(std::FILE *f)
{
	std::string s;
	std::rewind(f);
	char buf[4096];
	for (size_t n; (n = std::fread(buf, 1, sizeof(buf), f)) > 0;)
		s.append(buf, n);
	std::fclose(f);
	return s;
}

} // namespace zep
