// The `zep` command.
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/machine.h"
#include "kernel/printk.h"

namespace {

int usage()
{
	std::fprintf(stderr, "usage: zep demo\n");
	return 2;
}

int demo()
{
	kern::boot_params p;
	p.printk_mirror = true;
	kern::boot(p);
	kern::halt_report r = kern::halt();
	for (auto &line : r.problems)
		std::fprintf(stderr, "leak: %s\n", line.c_str());
	return r.clean() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage();
	std::string cmd = argv[1];
	if (cmd == "demo")
		return demo();
	return usage();
}
