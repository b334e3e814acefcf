// Only kernel/host/ may touch the host: no other file of the kernel or the driver may
// include a threading, clock, stream, file-system or POSIX/Linux header, wait on atomics,
// or call the C library's process and environment functions. And the kernel's folders
// form layers: none includes a folder above it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
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
	"filesystem", "fstream", "iostream", "random",
};
const char *const forbidden_prefixes[] = {"sys/", "linux/", "asm/"};
// Waiting on an atomic is a host wait in disguise.
const char *const forbidden_calls[] = {".notify_one(", ".notify_all(", "atomic_wait", "atomic_notify"};
// The C library's environment and process calls (not members or kernel functions that
// end in the same word, such as m->exit() or do_exit()).
const std::regex forbidden_libc(R"((^|[^A-Za-z0-9_.>])(getenv|exit|system)\s*\()");

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
		std::smatch m;
		if (std::regex_search(code, m, forbidden_libc))
			out.push_back({lineno, "calls " + m[2].str() + "()"});
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
				 "#include <string_view>\n"		// 13 fine
				 "#include <fstream>\n"			// 14
				 "const char *d = std::getenv(\"D\");\n"	// 15
				 "if (bad) exit (1);\n"			// 16
				 "do_exit(0); m->exit(); mod.exit();\n"	// 17 kernel and members: fine
				 "int r = ::system(cmd);\n";		// 18
	auto v = scan_source(text);
	std::vector<int> lines;
	for (auto &x : v)
		lines.push_back(x.line);
	EXPECT_EQ(lines, (std::vector<int>{3, 4, 9, 10, 11, 12, 14, 15, 16, 18}));
	ASSERT_EQ(v.size(), 10u);
	EXPECT_EQ(v[0].what, "#include <thread>");
	EXPECT_EQ(v[1].what, "#include <sys/stat.h>");
	EXPECT_EQ(v[4].what, "uses .notify_all(");
	EXPECT_EQ(v[7].what, "calls getenv()");
	EXPECT_EQ(v[9].what, "calls system()");
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

namespace {

// The kernel's layers, lowest first. The headers at kernel/'s root (machine.h,
// syscalls.h) forward to the machine's.
const std::vector<std::string> kernel_layers = {"host", "lib", "core", "locking", "mm",
						"fs", "block", "drivers/block", "machine"};

int layer_of(const std::string &under_kernel)
{
	if (under_kernel.find('/') == std::string::npos)
		return static_cast<int>(kernel_layers.size()) - 1;
	for (int i = static_cast<int>(kernel_layers.size()) - 1; i >= 0; i--)
		if (under_kernel.rfind(kernel_layers[i] + "/", 0) == 0)
			return i;
	return -1;
}

std::string read_file(const fs::path &p)
{
	std::ifstream f(p);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

} // namespace

TEST(KernelLayers, NoFolderIncludesAFolderAboveIt)
{
	const fs::path kernel = fs::path(ZEP_SOURCE_DIR) / "kernel";
	const std::regex include_re(R"(^\s*#\s*include\s*"kernel/([^"]+)\")");
	int files = 0, root_files = 0;
	for (auto &entry : fs::recursive_directory_iterator(kernel)) {
		if (!entry.is_regular_file())
			continue;
		std::string rel = fs::relative(entry.path(), kernel).generic_string();
		if (rel.find('/') == std::string::npos)
			root_files++;
		if (!is_source(entry.path()))
			continue;
		files++;
		int mine = layer_of(rel);
		EXPECT_GE(mine, 0) << "kernel/" << rel << " is in no layer's folder";
		std::string text = read_file(entry.path());
		std::istringstream in(text);
		std::string line;
		int lineno = 0;
		while (std::getline(in, line)) {
			lineno++;
			std::smatch m;
			if (!std::regex_search(line, m, include_re))
				continue;
			int theirs = layer_of(m[1].str());
			if (theirs > mine)
				ADD_FAILURE() << "kernel/" << rel << ":" << lineno << " (" << kernel_layers[mine]
					      << ") includes kernel/" << m[1].str() << ", of a layer above ("
					      << kernel_layers[theirs] << ")";
		}
		// One concern a file, of a few hundred lines.
		EXPECT_LE(lineno, 600) << "kernel/" << rel << " has " << lineno << " lines";
	}
	EXPECT_GT(files, 40);
	EXPECT_LE(root_files, 6) << "kernel/ keeps its files in its layers' folders";
}
