// Only kernel/host/ may touch the host: no other file of the kernel or the driver may
// include a threading, clock or POSIX/Linux header, nor wait on atomics.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef ZEP_SOURCE_DIR
#error "ZEP_SOURCE_DIR must name the source tree"
#endif

namespace fs = std::filesystem;

namespace {

struct violation {
	int line;
	std::string what;
};

const char *const forbidden_headers[] = {
	"thread", "mutex", "condition_variable", "chrono", "shared_mutex", "semaphore", "future",
	"stop_token", "barrier", "latch", "unistd.h", "pthread.h", "fcntl.h", "sched.h", "signal.h",
	"time.h", "poll.h", "csignal", "ctime", "dirent.h", "dlfcn.h", "semaphore.h",
};
const char *const forbidden_prefixes[] = {"sys/", "linux/", "asm/"};
// Waiting on an atomic is a host wait in disguise.
const char *const forbidden_calls[] = {".notify_one(", ".notify_all(", "atomic_wait", "atomic_notify"};

bool is_forbidden_header(const std::string &h)
{
	for (const char *f : forbidden_headers)
		if (h == f)
			return true;
	for (const char *p : forbidden_prefixes)
		if (h.rfind(p, 0) == 0)
			return true;
	return false;
}

// Scans C++ source text; comments are skipped (a commented-out include is harmless).
std::vector<violation> scan_source(const std::string &text)
{
	std::vector<violation> out;
	std::istringstream in(text);
	std::string raw;
	bool in_block = false;
	for (int lineno = 1; std::getline(in, raw); lineno++) {
		// Strip comments, keeping the code around them.
		std::string code;
		for (size_t i = 0; i < raw.size(); i++) {
			if (in_block) {
				if (raw.compare(i, 2, "*/") == 0) {
					in_block = false;
					i++;
				}
				continue;
			}
			if (raw.compare(i, 2, "/*") == 0) {
				in_block = true;
				i++;
				continue;
			}
			if (raw.compare(i, 2, "//") == 0)
				break;
			code += raw[i];
		}
		size_t p = code.find_first_not_of(" \t");
		if (p != std::string::npos && code[p] == '#') {
			p = code.find_first_not_of(" \t", p + 1);
			if (p != std::string::npos && code.compare(p, 7, "include") == 0) {
				size_t open = code.find('<', p + 7);
				size_t close = open == std::string::npos ? open : code.find('>', open);
				if (close != std::string::npos) {
					std::string h = code.substr(open + 1, close - open - 1);
					if (is_forbidden_header(h))
						out.push_back({lineno, "#include <" + h + ">"});
				}
				continue;
			}
		}
		for (const char *c : forbidden_calls)
			if (code.find(c) != std::string::npos)
				out.push_back({lineno, std::string("uses ") + c});
	}
	return out;
}

bool is_source(const fs::path &p)
{
	auto e = p.extension().string();
	return e == ".h" || e == ".hpp" || e == ".cpp" || e == ".cc" || e == ".inc";
}

} // namespace

TEST(HostBoundary, ScannerFindsForbiddenIncludesAndCalls)
{
	const std::string text = "#include <cstdio>\n"			// 1 fine
				 "#include \"kernel/sched.h\"\n"		// 2 ours
				 "#include <thread>\n"			// 3
				 "  #  include <sys/stat.h>\n"		// 4
				 "// #include <mutex>\n"			// 5 commented out
				 "/* #include <chrono>\n"		// 6 block comment
				 "   #include <pthread.h> */\n"		// 7 still inside it
				 "#include <atomic> /* counters */\n"	// 8 fine
				 "#include <linux/fs.h>\n"		// 9
				 "#include <sched.h>\n"			// 10 the host's, not ours
				 "void f() { flag.notify_all(); }\n"	// 11
				 "#include <time.h> // clock\n"		// 12
				 "#include <string_view>\n";		// 13 fine
	auto v = scan_source(text);
	std::vector<int> lines;
	for (auto &x : v)
		lines.push_back(x.line);
	EXPECT_EQ(lines, (std::vector<int>{3, 4, 9, 10, 11, 12}));
	ASSERT_EQ(v.size(), 6u);
	EXPECT_EQ(v[0].what, "#include <thread>");
	EXPECT_EQ(v[1].what, "#include <sys/stat.h>");
	EXPECT_EQ(v[4].what, "uses .notify_all(");
}

TEST(HostBoundary, KernelAndDriverStayBehindTheHostOperations)
{
	const fs::path root = ZEP_SOURCE_DIR;
	ASSERT_TRUE(fs::exists(root / "kernel" / "host" / "hostops.h")) << root;
	int files = 0;
	for (const char *dir : {"kernel", "backupdriver"}) {
		if (!fs::exists(root / dir))
			continue;
		for (auto &entry : fs::recursive_directory_iterator(root / dir)) {
			if (!entry.is_regular_file() || !is_source(entry.path()))
				continue;
			fs::path rel = fs::relative(entry.path(), root);
			if (rel.string().rfind("kernel/host/", 0) == 0)
				continue;	// the one place allowed to touch the host
			std::ifstream f(entry.path());
			std::stringstream ss;
			ss << f.rdbuf();
			files++;
			for (auto &v : scan_source(ss.str()))
				ADD_FAILURE() << rel.string() << ":" << v.line << ": " << v.what
					      << " outside kernel/host/";
		}
	}
	EXPECT_GT(files, 10) << "did not find the kernel sources under " << root;
}

TEST(HostBoundary, TheHostImplementationIsWhereTheHostIsUsed)
{
	// The scanner would flag the POSIX implementation: that is what makes the check mean
	// something for the rest.
	std::ifstream f(fs::path(ZEP_SOURCE_DIR) / "kernel" / "host" / "posix.cpp");
	std::stringstream ss;
	ss << f.rdbuf();
	EXPECT_FALSE(scan_source(ss.str()).empty());
}
