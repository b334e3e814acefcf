// The full fault sweep of the snapshot path: every fault point each scenario reaches fails
// alone and from there on (label sweep: the sanitizer runs take it).
#include "tests/agent/fault_sweep.h"

namespace {

class FullSweep : public ::testing::TestWithParam<zeptest::sweep::scenario> {};

TEST_P(FullSweep, NothingIsLostLeakedOrHung) { zeptest::sweep::sweep(GetParam(), 1); }

INSTANTIATE_TEST_SUITE_P(Scenarios, FullSweep, ::testing::ValuesIn(zeptest::sweep::scenarios()),
			 zeptest::sweep::test_name);

} // namespace
