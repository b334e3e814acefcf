// The `zep` command.
//
// `zep demo` runs the machine end to end on an embedded default (tools/demo.cpp): a busy
// partition snapshotted while writers run, the image verified byte for byte against what
// the partition held at the snapshot.
#include <cstdio>
#include <string>

#include "tools/demo.h"

namespace {

int usage()
{
	std::fprintf(stderr,
		     "usage: zep demo [--dir DIR] [--verbose]\n"
		     "\n"
		     "  demo         snapshot a partition of an emulated machine while processes write it,\n"
		     "               and verify the image byte for byte\n"
		     "  --dir DIR    where the disk image and backing files go (default /tmp)\n"
		     "  --verbose    mirror the kernel log to standard error\n"
		     "\n"
		     "exit codes: 0 passed; 1 a verification failed (data, session or leak check);\n"
		     "            2 usage; 3 a step could not be carried out (disk, driver, command)\n");
	return 2;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage();
	std::string cmd = argv[1];
	zep::demo_options opts;
	for (int i = 2; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--dir" && i + 1 < argc)
			opts.dir = argv[++i];
		else if (a == "--verbose")
			opts.verbose = true;
		else
			return usage();
	}
	if (cmd == "demo")
		return zep::run_demo(opts, stdout);
	return usage();
}
