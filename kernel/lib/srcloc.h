// The call site of a kernel call, for BUG reports and fault points. std::source_location
// where the C++ library has it; otherwise the compiler builtins it is made of (clang 14
// with libstdc++ 12 lacks it).
#pragma once

#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
namespace kern {
using source_location = std::source_location;
}
#else
namespace kern {
struct source_location {
	static constexpr source_location current(const char *file = __builtin_FILE(),
						 unsigned line = __builtin_LINE()) noexcept
	{
		source_location l;
		l.file_ = file;
		l.line_ = line;
		return l;
	}
	constexpr const char *file_name() const noexcept { return file_; }
	constexpr unsigned line() const noexcept { return line_; }
	constexpr const char *function_name() const noexcept { return ""; }
	const char *file_ = "";
	unsigned line_ = 0;
};
} // namespace kern
#endif
