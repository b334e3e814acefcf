// Results of the agent's calls: a value, or an error that says what failed and what to do.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace zep {

// What kind of failure, for callers that react to it (and for the `zep` exit codes).
enum class errc {
	refused,	// the driver refused the command (its log line is in the message)
	not_found,	// no such session, device, file or backup
	invalidated,	// the snapshot became unusable (the session's reason is in the message)
	io,		// reading or writing a device or a file failed
	no_space,	// a file system is full
	timeout,	// something did not happen in time (an IO thread did not start)
	corrupt,	// data does not match its checksum or its manifest
	usage,		// the caller asked for something impossible
	busy,		// another program holds the repository
	other,
};

// The code's name, as JSON documents and the control socket give it.
inline const char *errc_name(errc code)
{
	switch (code) {
	case errc::refused:
		return "refused";
	case errc::not_found:
		return "not_found";
	case errc::invalidated:
		return "invalidated";
	case errc::io:
		return "io";
	case errc::no_space:
		return "no_space";
	case errc::timeout:
		return "timeout";
	case errc::corrupt:
		return "corrupt";
	case errc::usage:
		return "usage";
	case errc::busy:
		return "busy";
	case errc::other:
		break;
	}
	return "other";
}

struct error {
	errc code = errc::other;
	std::string message;	// one line: what failed, and what to do when there is something to do
	long detail = 0;	// the driver command's result or the negative errno, when there is one
};

template <typename T> class [[nodiscard]] result {
public:
	result(T value) : v_(std::move(value)) {}
	result(error e) : v_(std::move(e)) {}
	bool ok() const { return v_.index() == 0; }
	explicit operator bool() const { return ok(); }
	T &value() & { return std::get<0>(v_); }
	const T &value() const & { return std::get<0>(v_); }
	T &&value() && { return std::get<0>(std::move(v_)); }
	T *operator->() { return &value(); }
	const T *operator->() const { return &value(); }
	T &operator*() & { return value(); }
	const error &err() const { return std::get<1>(v_); }

private:
	std::variant<T, error> v_;
};

template <> class [[nodiscard]] result<void> {
public:
	result() = default;
	result(error e) : e_(std::move(e)), ok_(false) {}
	bool ok() const { return ok_; }
	explicit operator bool() const { return ok_; }
	const error &err() const { return e_; }

private:
	error e_;
	bool ok_ = true;
};

inline error make_error(errc code, std::string message, long detail = 0)
{
	return error{code, std::move(message), detail};
}

} // namespace zep
