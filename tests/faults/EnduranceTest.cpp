// Many cycles in one process: open/identify/close and complete runs, each run
// byte-exact, with descriptors, threads and memory back where they were.
// The loops are split into slices so that each stays well inside the per-test time-out.
#include <gtest/gtest.h>

#include "FaultRig.h"

using namespace faulttest;

namespace {

class OpenCloseCycles : public FaultCase, public testing::WithParamInterface<int> {};

TEST_P(OpenCloseCycles, IdentifyEveryTime) {
  const std::string port = samplertest::FastPort("FAULT-CYCLES", samplertest::Profile("SIM"));
  const std::string banner = samplertest::Profile("SIM").banner;
  Sampler s;
  const int cycles = 250 / kScale;
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ(Timed(kWaits, "Open", [&] { return s.Open(port); }), S_OK) << "cycle " << i << ": " << ErrorText();
    ASSERT_EQ(s.Code(), SST_NO_MODE) << "cycle " << i;
    BSTR id = nullptr;
    ASSERT_EQ(s->GetHardwareId(&id), S_OK);
    ASSERT_EQ(samplertest::Take(id), banner) << "cycle " << i;
    ASSERT_EQ(Timed(kWaits, "Close", [&] { return s->Close(); }), S_OK) << "cycle " << i << ": " << ErrorText();
    ASSERT_EQ(s.Code(), SST_INACTIVE);
  }
}

// Four slices of 250: 1000 cycles in all.
INSTANTIATE_TEST_SUITE_P(Slices, OpenCloseCycles, testing::Range(0, 4));

class CompleteRuns : public FaultCase, public testing::WithParamInterface<int> {};

TEST_P(CompleteRuns, EachDeliversExactlyItsCount) {
  const std::string port = samplertest::FastPort("FAULT-RUNS", samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  const int runs = 25 / kScale;
  for (int i = 0; i < runs; ++i) {
    const size_t bytes = 100 + 37 * static_cast<size_t>(i);  // varied counts, some not a chunk multiple
    s.Configure(1, 50000, static_cast<LONG>(8 * bytes));
    Pipe p;
    s.Bind(0, p.GiveWriteEnd());
    ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << "run " << i << ": " << ErrorText();
    const std::vector<BYTE> got = p.ReadAll();
    ASSERT_EQ(s.WaitFor(Over), SST_READY) << "run " << i << ": " << s.StatusText();
    ASSERT_EQ(got, SoleStream(bytes)) << "run " << i;
  }
  EXPECT_EQ(Timed(kWaits, "Close", [&] { return s->Close(); }), S_OK) << ErrorText();
}

// Four slices of 25: 100 runs in all.
INSTANTIATE_TEST_SUITE_P(Slices, CompleteRuns, testing::Range(0, 4));

}  // namespace
