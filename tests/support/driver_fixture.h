// A booted machine with the driver loaded and its control node in /dev, and helpers to
// act as the agent: processes that open the control device, fill records in their own
// memory and issue commands.
#pragma once

#include <functional>
#include <string>

#include "kernel/locking/semaphore.h"
#include "kernel/lib/types.h"
#include "tests/support/machine_fixture.h"

namespace zeptest {

class DriverTest : public MachineTest {
protected:
	void SetUp() override;
	void TearDown() override;
	// Unloads the driver now (TearDown then only halts).
	int unload();
	// Keeps a handle of the control device open in a process of its own until
	// release_holder() (or TearDown), as a running agent does: the last close resets
	// change tracking.
	void hold_open();
	void release_holder();
	bool loaded_ = false;
	kern::pid_t holder_ = -1;
	kern::semaphore holder_opened_, holder_release_;
};

// Runs fn in a new process named comm and returns its exit code.
int in_process(const std::string &comm, std::function<int()> fn);

// The agent's view of the control device, used inside a process.
struct Control {
	int fd = -1;
	unsigned long mem = 0;	// a mapped buffer of `len` bytes
	size_t len = 0;
	// Opens /dev/zepdriver and maps `len` bytes; false on failure.
	bool open(size_t bytes = 1 << 16);
	void close();
	// Writes a record at mem + off and returns its user address.
	unsigned long put_bytes(const void *rec, size_t n, size_t off = 0);
	void get_bytes(void *rec, size_t n, size_t off = 0);
	template <typename T> unsigned long put(const T &rec, size_t off = 0)
	{
		return put_bytes(&rec, sizeof(T), off);
	}
	template <typename T> T get(size_t off = 0)
	{
		T rec;
		get_bytes(&rec, sizeof(T), off);
		return rec;
	}
	long ioctl(unsigned int cmd, unsigned long arg);
};

// Runs one command from a new agent process with the n bytes at rec placed at the start
// of its buffer; returns the command's result and leaves at rec what the process read
// back afterwards.
long agent_command_raw(unsigned int cmd, void *rec, size_t n);
template <typename T> long agent_command(unsigned int cmd, T *rec)
{
	return agent_command_raw(cmd, rec, sizeof(T));
}
// Runs one command from a new agent process with a raw argument.
long agent_command_at(unsigned int cmd, unsigned long arg);

} // namespace zeptest
