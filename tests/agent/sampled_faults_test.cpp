// The fault sweep of the snapshot path, sampled: every 16th fault point of each scenario
// fails alone and from there on. The full sweep is faults_sweep_test.cpp.
#include "tests/agent/fault_sweep.h"

namespace {

class SampledSweep : public ::testing::TestWithParam<zeptest::sweep::scenario> {};

TEST_P(SampledSweep, NothingIsLostLeakedOrHung) { zeptest::sweep::sweep(GetParam(), 16); }

INSTANTIATE_TEST_SUITE_P(Scenarios, SampledSweep, ::testing::ValuesIn(zeptest::sweep::scenarios()),
			 zeptest::sweep::test_name);

} // namespace
