// Progress of a command's long phases on standard error: a bar on a terminal, JSON lines
// for programs, or nothing.
#pragma once

#include <cstdio>
#include <string>

#include "agent/backup_progress.h"

namespace zep {

enum class progress_mode {
	automatic,	// a bar when standard error is a terminal, else nothing
	bar,
	json,		// one JSON object per line: {"progress": phase, "done": n, "total": n}
	none,
};

// Draws the agent's progress events. The events come from the one agent process doing the
// work, so nothing here is shared between threads.
class progress_printer {
public:
	progress_printer(progress_mode mode, std::FILE *err, bool err_is_tty, std::string command);
	progress_printer(const progress_printer &) = delete;
	progress_printer &operator=(const progress_printer &) = delete;
	~progress_printer() { finish(); }

	// What the agent calls with each event; empty when nothing is shown.
	progress_fn callback();
	// Ends a bar's line, so that what follows starts on a line of its own.
	void finish();

private:
	void draw_bar(const progress_event &e);
	void json_line(const progress_event &e);

	progress_mode mode_;
	std::FILE *err_;
	std::string command_;
	std::string phase_;	// the phase on the bar's line
	int shown_ = -1;	// the tenth of a percent shown, to redraw only on a change
	bool open_line_ = false;
};

} // namespace zep
