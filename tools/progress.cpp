#include "tools/progress.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tools/output.h"

namespace zep {

namespace {

constexpr int BAR_WIDTH = 30;

} // namespace

progress_printer::progress_printer(progress_mode mode, std::FILE *err, bool err_is_tty,
				   std::string command)
    : mode_(mode), err_(err), command_(std::move(command))
{
	if (mode_ == progress_mode::automatic)
		mode_ = err_is_tty ? progress_mode::bar : progress_mode::none;
}

progress_fn progress_printer::callback()
{
	switch (mode_) {
	case progress_mode::bar:
		return [this](const progress_event &e) { draw_bar(e); };
	case progress_mode::json:
		return [this](const progress_event &e) { json_line(e); };
	default:
		return {};
	}
}

void progress_printer::draw_bar(const progress_event &e)
{
	int permille = e.total ? static_cast<int>(e.done * 1000 / e.total) : 1000;
	if (e.phase != phase_) {
		finish();
		phase_ = e.phase;
	} else if (permille == shown_) {
		return;
	}
	shown_ = permille;
	int filled = permille * BAR_WIDTH / 1000;
	fmt::print(err_, "\r{:<14} [{}{}] {:5.1f}% {} of {}", phase_, std::string(filled, '#'),
		   std::string(BAR_WIDTH - filled, '.'), permille / 10.0,
		   mib(static_cast<double>(e.done)), mib(static_cast<double>(e.total)));
	std::fflush(err_);
	open_line_ = true;
}

void progress_printer::json_line(const progress_event &e)
{
	nlohmann::ordered_json j = {
		{"command", command_}, {"progress", e.phase}, {"done", e.done}, {"total", e.total}};
	fmt::print(err_, "{}\n", j.dump());
	std::fflush(err_);
}

void progress_printer::finish()
{
	if (open_line_) {
		fmt::print(err_, "\n");
		std::fflush(err_);
	}
	open_line_ = false;
	phase_.clear();
	shown_ = -1;
}

} // namespace zep
