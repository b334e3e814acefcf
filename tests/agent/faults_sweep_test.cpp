// The full fault sweep of the snapshot path: every fault point each scenario reaches fails
// alone and from there on (label sweep: the sanitizer runs take it). ZEP_SWEEP_STEP=k fails
// every k-th point only, for a run on a fixed budget (the ThreadSanitizer run takes every 4th).
#include "tests/agent/fault_sweep.h"

namespace {

class FullSweep : public ::testing::TestWithParam<zeptest::sweep::scenario> {};

TEST_P(FullSweep, NothingIsLostLeakedOrHung)
{
	const char *step = std::getenv("ZEP_SWEEP_STEP");
	zeptest::sweep::sweep(GetParam(), step ? std::max(1L, std::atol(step)) : 1);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FullSweep, ::testing::ValuesIn(zeptest::sweep::scenarios()),
			 zeptest::sweep::test_name);

} // namespace
