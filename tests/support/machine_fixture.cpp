#include "tests/support/machine_fixture.h"

#include "kernel/core/printk.h"

namespace zeptest {

void MachineTest::SetUp()
{
	kern::boot_params p;
	p.clock_speed = clock_speed();
	p.nr_cpus = nr_cpus();
	kern::boot(p);
}

kern::halt_report MachineTest::halt_now()
{
	halted_ = true;
	return kern::halt();
}

void MachineTest::TearDown()
{
	if (halted_)
		return;
	kern::halt_report r = kern::halt();
	for (auto &p : r.problems)
		ADD_FAILURE() << "halt: " << p;
}

bool dmesg_has(const std::string &needle) { return dmesg_find(needle) >= 0; }

int dmesg_find(const std::string &needle, int from)
{
	auto lines = kern::dmesg();
	for (int i = from; i < static_cast<int>(lines.size()); i++)
		if (lines[i].find(needle) != std::string::npos)
			return i;
	return -1;
}

} // namespace zeptest
