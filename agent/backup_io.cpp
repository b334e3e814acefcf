#include "agent/backup_io.h"
#include "agent/quietly.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "kernel/machine.h"
#include "kernel/syscalls.h"

namespace zep {

namespace {

std::string errno_text(long r)
{
	return fmt::format("{} ({})", std::strerror(static_cast<int>(-r)), r);
}

} // namespace

result<user_buffer> user_buffer::map(size_t bytes)
{
	long addr = kern::sys_mmap(bytes);
	if (addr < 0)
		return make_error(
			errc::io,
			fmt::format("cannot map a buffer of {} bytes: {}", bytes, errno_text(addr)),
			addr);
	return user_buffer(static_cast<unsigned long>(addr), bytes);
}

user_buffer::user_buffer(user_buffer &&o) noexcept
    : addr_(std::exchange(o.addr_, 0)), size_(std::exchange(o.size_, 0))
{}

user_buffer &user_buffer::operator=(user_buffer &&o) noexcept
{
	if (this != &o) {
		release();
		addr_ = std::exchange(o.addr_, 0);
		size_ = std::exchange(o.size_, 0);
	}
	return *this;
}

user_buffer::~user_buffer()
{
	release();
}

void user_buffer::release()
{
	if (addr_)
		quietly([&] { kern::sys_munmap(addr_, size_); });
	addr_ = 0;
}

result<void> user_buffer::get(size_t off, void *dst, size_t n) const
{
	if (off > size_ || n > size_ - off || kern::user_read(addr_ + off, dst, n))
		return make_error(errc::other,
				  fmt::format("buffer read of {} bytes at {} faulted", n, off));
	return {};
}

result<void> user_buffer::put(size_t off, const void *src, size_t n)
{
	if (off > size_ || n > size_ - off || kern::user_write(addr_ + off, src, n))
		return make_error(errc::other,
				  fmt::format("buffer write of {} bytes at {} faulted", n, off));
	return {};
}

result<sys_file> sys_file::open(const std::string &path, open_mode mode)
{
	int flags = mode == open_mode::read     ? O_RDONLY
		    : mode == open_mode::write  ? O_WRONLY
		    : mode == open_mode::folder ? O_RDONLY | O_DIRECTORY
		    : mode == open_mode::update ? O_RDWR | O_CREAT
						: O_WRONLY | O_CREAT | O_TRUNC;
	int fd = kern::sys_open(path.c_str(), flags, 0644);
	if (fd == -ENOENT)
		return make_error(errc::not_found, fmt::format("{} does not exist", path), fd);
	if (fd == -ENOSPC)
		return file_system_full(path, fd);
	if (fd < 0)
		return make_error(errc::io, fmt::format("cannot open {}: {}", path, errno_text(fd)),
				  fd);
	return sys_file(fd, path);
}

sys_file::sys_file(sys_file &&o) noexcept : fd_(std::exchange(o.fd_, -1)), path_(std::move(o.path_))
{}

sys_file &sys_file::operator=(sys_file &&o) noexcept
{
	if (this != &o) {
		release();
		fd_ = std::exchange(o.fd_, -1);
		path_ = std::move(o.path_);
	}
	return *this;
}

sys_file::~sys_file()
{
	release();
}

void sys_file::release()
{
	if (fd_ >= 0)
		quietly([&] { kern::sys_close(static_cast<unsigned>(fd_)); });
	fd_ = -1;
}

result<uint64_t> sys_file::size() const
{
	kern::loff_t r = kern::sys_lseek(static_cast<unsigned>(fd_), 0, SEEK_END);
	if (r < 0)
		return make_error(
			errc::io,
			fmt::format("cannot find the size of {}: {}", path_, errno_text(r)), r);
	return static_cast<uint64_t>(r);
}

result<void> sys_file::read(user_buffer &buf, size_t boff, size_t n, uint64_t off,
			    errc short_code) const
{
	size_t done = 0;
	while (done < n) {
		ssize_t r = kern::sys_pread64(static_cast<unsigned>(fd_), buf.address(boff + done),
					      n - done, static_cast<kern::loff_t>(off + done));
		if (r < 0)
			return make_error(errc::io,
					  fmt::format("reading {} at byte {}: {}", path_,
						      off + done, errno_text(r)),
					  r);
		if (r == 0)
			return make_error(short_code,
					  fmt::format("{} ends at byte {}, before the {} bytes at "
						      "byte {} that were to be read",
						      path_, off + done, n, off));
		done += static_cast<size_t>(r);
	}
	return {};
}

result<void> sys_file::write(const user_buffer &buf, size_t boff, size_t n, uint64_t off) const
{
	// A short write is retried once: a file system that has just filled up fails that one
	// with ENOSPC.
	size_t done = 0;
	for (int attempt = 0; attempt < 2 && done < n; attempt++) {
		ssize_t r = kern::sys_pwrite64(static_cast<unsigned>(fd_), buf.address(boff + done),
					       n - done, static_cast<kern::loff_t>(off + done));
		if (r == -ENOSPC)
			return file_system_full(path_, r);
		if (r < 0)
			return make_error(errc::io,
					  fmt::format("writing {} at byte {}: {}", path_, off + done,
						      errno_text(r)),
					  r);
		done += static_cast<size_t>(r);
	}
	if (done != n)
		return make_error(errc::io,
				  fmt::format("short write to {} at byte {}: {} of {} bytes", path_,
					      off, done, n));
	return {};
}

result<void> sys_file::sync() const
{
	int r = kern::sys_fsync(static_cast<unsigned>(fd_));
	if (r == -ENOSPC)
		return file_system_full(path_, r);
	if (r < 0)
		return make_error(errc::io, fmt::format("cannot sync {}: {}", path_, errno_text(r)),
				  r);
	return {};
}

result<void> sys_file::close()
{
	int fd = std::exchange(fd_, -1);
	if (fd < 0)
		return {};
	int r = kern::sys_close(static_cast<unsigned>(fd));
	if (r < 0)
		return make_error(errc::io, fmt::format("closing {}: {}", path_, errno_text(r)), r);
	return {};
}

result<void> sys_file::lock(int op) const
{
	int r = kern::sys_flock(static_cast<unsigned>(fd_), op);
	if (r == -EWOULDBLOCK)
		return make_error(errc::busy, fmt::format("{} is locked", path_), r);
	if (r < 0)
		return make_error(errc::io, fmt::format("cannot lock {}: {}", path_, errno_text(r)), r);
	return {};
}

result<void> sys_file::truncate() const
{
	// Writes nothing: an empty file through a write of zero bytes at 0 is not a
	// truncation, so the file is opened anew with O_TRUNC.
	int fd = kern::sys_open(path_.c_str(), O_WRONLY | O_TRUNC);
	if (fd < 0)
		return make_error(errc::io, fmt::format("cannot empty {}: {}", path_, errno_text(fd)), fd);
	kern::sys_close(static_cast<unsigned>(fd));
	return {};
}

result<std::vector<std::string>> list_folder(const std::string &path)
{
	auto d = sys_file::open(path, open_mode::folder);
	if (!d)
		return d.err();
	auto buf = user_buffer::map(1 << 16);
	if (!buf)
		return buf.err();
	std::vector<std::string> names;
	std::vector<char> k(buf->size());
	for (;;) {
		long n = kern::sys_getdents64(static_cast<unsigned>(d->fd_), buf->address(), buf->size());
		if (n < 0)
			return make_error(errc::io, fmt::format("cannot list {}: {}", path,
								errno_text(n)), n);
		if (n == 0)
			break;
		BACKUP_TRY(buf->get(0, k.data(), static_cast<size_t>(n)));
		// linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
		for (long off = 0; off + 19 < n;) {
			uint16_t reclen;
			std::memcpy(&reclen, k.data() + off + 16, sizeof(reclen));
			if (reclen < 20 || off + reclen > n)
				break;
			std::string name(k.data() + off + 19,
					 strnlen(k.data() + off + 19, reclen - 19));
			if (name != "." && name != "..")
				names.push_back(std::move(name));
			off += reclen;
		}
	}
	return names;
}

result<void> rename_file(const std::string &from, const std::string &to)
{
	int r = kern::sys_rename(from.c_str(), to.c_str());
	if (r == -ENOSPC)
		return file_system_full(to, r);
	if (r < 0)
		return make_error(errc::io,
				  fmt::format("cannot rename {} to {}: {}", from, to, errno_text(r)),
				  r);
	return {};
}

result<void> sync_folder(const std::string &path)
{
	auto d = sys_file::open(path, open_mode::folder);
	if (!d)
		return d.err();
	return d->sync();
}

result<void> remove_file(const std::string &path)
{
	int r = 0;
	quietly([&] { r = kern::sys_unlink(path.c_str()); });
	if (r < 0 && r != -ENOENT)
		return make_error(errc::io,
				  fmt::format("cannot remove {}: {}", path, errno_text(r)), r);
	return {};
}

bool file_exists(const std::string &path)
{
	return sys_file::open(path, open_mode::read).ok();
}

result<std::string> read_whole_file(const std::string &path, user_buffer &buf)
{
	auto f = sys_file::open(path, open_mode::read);
	if (!f)
		return f.err();
	auto size = f->size();
	if (!size)
		return size.err();
	std::string text(*size, '\0');
	for (uint64_t off = 0; off < *size;) {
		size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), *size - off));
		BACKUP_TRY(f->read(buf, 0, n, off));
		BACKUP_TRY(buf.get(0, text.data() + off, n));
		off += n;
	}
	return text;
}

result<void> write_bytes(const sys_file &f, user_buffer &buf, std::string_view bytes, uint64_t off)
{
	for (size_t done = 0; done < bytes.size();) {
		size_t n = std::min(buf.size(), bytes.size() - done);
		BACKUP_TRY(buf.put(0, bytes.data() + done, n));
		BACKUP_TRY(f.write(buf, 0, n, off + done));
		done += n;
	}
	return {};
}

error in_context(error e, std::string_view context)
{
	e.message = fmt::format("{}: {}", context, e.message);
	return e;
}

error file_system_full(const std::string &path, long detail)
{
	return make_error(errc::no_space, fmt::format("the file system of {} is full", path),
			  detail);
}

} // namespace zep
