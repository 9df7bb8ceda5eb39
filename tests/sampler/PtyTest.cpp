// The sampler on the terminal backend: the virtual sampler served on a
// pseudo-terminal by quelm-sim-pty, opened by its slave path like a real port.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "SamplerRig.h"
#include "sim/SimProfiles.h"
#include "sim/SimSignal.h"
#include "tests/support/SimPtyChild.h"

using samplertest::ErrorText;
using samplertest::Sampler;

namespace {

using FrontEnd = testsupport::SimPtyChild;

}  // namespace

TEST(SamplerOnPty, IdentifiesAndRunsToThePredictedBytes) {
  FrontEnd fe("SIM");
  ASSERT_EQ(fe.Path().rfind("/dev/", 0), 0u) << fe.Path();
  Sampler s;
  ASSERT_EQ(s.Open(fe.Path()), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_NO_MODE);
  BSTR id = nullptr;
  ASSERT_EQ(s->GetHardwareId(&id), S_OK);
  EXPECT_EQ(samplertest::Take(id), samplertest::Profile("SIM").banner);

  s.Configure(1, 50000, 8 * 1500);
  samplertest::Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  const std::vector<BYTE> data = p.ReadAll();
  EXPECT_EQ(s.WaitFor([](LONG c) { return c == SST_READY || c >= SST_RUN_FAILED; }), SST_READY);
  sim::StreamSpec spec;
  spec.divisor = 99;
  EXPECT_EQ(data, sim::ExpectedStream(sim::DefaultSignal(), spec, 1500));

  // Stopping a run that has no stop condition returns the line to command state.
  s.Configure(1, 25000, 0);
  samplertest::Pipe q;
  s.Bind(0, q.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(s.WaitFor([](LONG c) { return c == SST_SAMPLING; }), SST_SAMPLING);
  ASSERT_EQ(s->Stop(), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_READY);
  EXPECT_FALSE(q.ReadAll().empty());
  ASSERT_EQ(s->SetRate(50000), S_OK) << ErrorText();
}

TEST(SamplerOnPty, ReceiverTestReportsDamagedStepsAsMismatches) {
  FrontEnd fe("SIM");  // steps 0-3, reliable up to step 2
  Sampler s;
  ASSERT_EQ(s.Open(fe.Path()), S_OK) << ErrorText();
  BSTR report = nullptr;
  LONG result = 0;
  ASSERT_EQ(s->RunDiagnotor(SDIAG_RS232_RECEIVER, &report, &result), S_OK);
  const std::string text = samplertest::Take(report);
  // No line errors on a pseudo-terminal: step 3 arrives altered, which is reported,
  // and as the test goes on, step 3's rate is the last one completed.
  const size_t step3 = text.find("Performing \"U03\"");
  ASSERT_NE(step3, std::string::npos) << text;
  EXPECT_EQ(text.find("E22 - Test data mismatch"), text.find("E22", step3)) << text;
  EXPECT_NE(text.find("E22 - Test data mismatch", step3), std::string::npos) << text;
  EXPECT_EQ(result, static_cast<LONG>(sim::ReceiverStepBaud(3)));
  EXPECT_EQ(s.Impl().CurrentAdapter()->BaudIndex, 3);
  EXPECT_EQ(s.Code(), SST_NO_MODE);
}
