// A booted machine per test: fast clock, and at the end a halt that fails the test on
// leaks (objects left in caches, memory or pages outstanding, tasks alive).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/machine.h"

namespace zeptest {

class MachineTest : public ::testing::Test {
protected:
	// Virtual time runs this many times real time.
	virtual double clock_speed() const { return 100.0; }
	virtual int nr_cpus() const { return 8; }
	void SetUp() override;
	void TearDown() override;
	// Halts now (the test then checks the report itself); TearDown does nothing more.
	kern::halt_report halt_now();
	bool halted_ = false;
};

// Whether any dmesg line contains `needle`.
bool dmesg_has(const std::string &needle);
// Index of the first line containing needle at or after `from`, or -1.
int dmesg_find(const std::string &needle, int from = 0);

} // namespace zeptest
