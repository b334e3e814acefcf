#include "kernel/core/sched.h"
#include "tests/support/machine_fixture.h"

using namespace kern;

class Smoke : public zeptest::MachineTest {};

TEST_F(Smoke, ProcessRunsAndReturnsItsExitCode)
{
	pid_t pid = spawn("worker", [] { return get_current()->pid > 1 ? 7 : 0; });
	ASSERT_GT(pid, 1);
	EXPECT_EQ(waitpid(pid), 7);
}
