// Files and memory of the calling emulated process, as the backup code uses them: every
// byte of a device or of the repository moves through the system calls, so the kernel's
// fault points reach it. Use inside a process (kern::spawn).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/result.h"

// Returns from the enclosing function with the error of a failed result.
#define BACKUP_TRY(expr)                                                                           \
	do {                                                                                       \
		if (auto backup_try_ = (expr); !backup_try_.ok())                                  \
			return backup_try_.err();                                                  \
	} while (0)

namespace zep {

// Memory mapped in the calling process's 32-bit address space; unmapped on destruction.
class user_buffer {
public:
	static result<user_buffer> map(size_t bytes);
	user_buffer(user_buffer &&o) noexcept;
	user_buffer &operator=(user_buffer &&o) noexcept;
	~user_buffer();

	unsigned long address(size_t off = 0) const { return addr_ + off; }
	size_t size() const { return size_; }
	// Copies between the buffer at off and memory of the host program.
	result<void> get(size_t off, void *dst, size_t n) const;
	result<void> put(size_t off, const void *src, size_t n);

private:
	user_buffer(unsigned long addr, size_t size) : addr_(addr), size_(size) {}
	void release();
	unsigned long addr_ = 0;
	size_t size_ = 0;
};

enum class open_mode {
	read,
	write,	// an existing file or a device node
	create,	// a host file made anew (emptied when it exists)
	update,	// a host file read and written, made when missing, never emptied
	folder,	// a host folder, to list or sync
};

// An open descriptor of the calling process; closed on destruction.
class sys_file {
public:
	// Opens a host path or a "/dev/<node>": not_found when it does not exist, else io.
	static result<sys_file> open(const std::string &path, open_mode mode);
	sys_file(sys_file &&o) noexcept;
	sys_file &operator=(sys_file &&o) noexcept;
	~sys_file();

	const std::string &path() const { return path_; }
	result<uint64_t> size() const;
	// n bytes at off into buf at boff; a file that ends first is short_code.
	result<void> read(user_buffer &buf, size_t boff, size_t n, uint64_t off,
			  errc short_code = errc::io) const;
	// n bytes of buf at boff to off: -ENOSPC is no_space, an error or short write io.
	result<void> write(const user_buffer &buf, size_t boff, size_t n, uint64_t off) const;
	result<void> sync() const;
	result<void> close();
	// flock(2): LOCK_SH or LOCK_EX, | LOCK_NB; busy when another holds it.
	result<void> lock(int op) const;
	// Empties the file (opened anew with O_TRUNC).
	result<void> truncate() const;

private:
	friend result<std::vector<std::string>> list_folder(const std::string &path);
	sys_file(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
	void release();
	int fd_ = -1;
	std::string path_;
};

// The names in a host folder, "." and ".." left out.
result<std::vector<std::string>> list_folder(const std::string &path);
// rename(2): replaces `to`.
result<void> rename_file(const std::string &from, const std::string &to);
// Makes a folder's entries durable (after a create or rename in it).
result<void> sync_folder(const std::string &path);
// Removes a host file; one that is not there is no error.
result<void> remove_file(const std::string &path);
// Whether a host path can be opened for reading.
bool file_exists(const std::string &path);

// The whole contents of a file, read through buf.
result<std::string> read_whole_file(const std::string &path, user_buffer &buf);
// Writes bytes at off of f through buf.
result<void> write_bytes(const sys_file &f, user_buffer &buf, std::string_view bytes,
			 uint64_t off = 0);

// The same error with `context: ` before its message.
error in_context(error e, std::string_view context);
// no_space: "the file system of PATH is full"; the caller says what to do, after a colon.
error file_system_full(const std::string &path, long detail);

} // namespace zep
