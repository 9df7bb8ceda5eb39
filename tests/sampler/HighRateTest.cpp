// Runs at the fastest virtual line, 3,000,000 baud, sole and dual channel, on
// the virtual port and on a pseudo-terminal: every byte arrives, in order, on
// the right output. No timing is asserted; a late wake-up of the reading
// thread must cost nothing, which is the point on a busy machine.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "SamplerRig.h"
#include "sim/SimSignal.h"
#include "tests/support/SimPtyChild.h"

using samplertest::ErrorText;
using samplertest::Pipe;
using samplertest::Sampler;

namespace {

constexpr LONG kFastestRate = 5000000;  // divisor 0: the device outpaces the line, which sets the pace
#if QUELM_SAMPLER_SANITIZED
// Sanitizers slow the thread and the line model five to fifteen times over, and
// the suite runs other instrumented programs beside it: a sixth of the rate
// leaves the reading thread the margin 3 Mbaud has without them.
const char* const kProfile = "SIM-460K";
constexpr size_t kBytes = 45000;
#else
const char* const kProfile = "SIM-3M";
constexpr size_t kBytes = 240000;  // 0.8 s of the line
#endif

struct Case {
  const char* name;
  bool pty;
  bool dual;
};

class HighRate : public testing::TestWithParam<Case> {};

// Runs to the count and returns what each output received.
std::vector<std::vector<BYTE>> RunToCount(Sampler& s, bool dual) {
  const LONG samples = static_cast<LONG>(kBytes * 8);
  s.Configure(dual ? 2 : 1, kFastestRate, dual ? samples / 2 : samples);
  Pipe a, b;
  s.Bind(0, a.GiveWriteEnd());
  if (dual) s.Bind(1, b.GiveWriteEnd());
  EXPECT_EQ(s->Start(), S_OK) << ErrorText();
  // Both outputs are read at once, as a host would: neither may wait for the other.
  auto second = std::async(std::launch::async, [&] { return dual ? b.ReadAll() : std::vector<BYTE>{}; });
  std::vector<std::vector<BYTE>> out{a.ReadAll()};
  if (dual) out.push_back(second.get());
  return out;
}

}  // namespace

TEST_P(HighRate, EveryByteArrivesInOrderOnItsOutput) {
  const Case c = GetParam();
  std::unique_ptr<testsupport::SimPtyChild> frontEnd;
  std::string port = kProfile;
  if (c.pty) {
    frontEnd = std::make_unique<testsupport::SimPtyChild>(kProfile);
    port = frontEnd->Path();
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;
  }
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  for (int run = 0; run < 2; ++run) {
    const auto outputs = RunToCount(s, c.dual);
    EXPECT_EQ(s.WaitFor([](LONG code) { return code == SST_READY || code >= SST_RUN_FAILED; }), SST_READY)
        << "run " << run << ": " << s.StatusText();
    sim::StreamSpec spec;
    spec.mode = c.dual ? sim::StreamMode::Dual : sim::StreamMode::Sole;
    spec.divisor = 0;
    size_t total = 0;
    for (const auto& o : outputs) total += o.size();
    // A dual run deals out the chunk that reaches its count whole.
    EXPECT_GE(total, kBytes) << "run " << run;
    EXPECT_LE(total, kBytes + 32) << "run " << run;
    const std::vector<BYTE> stream = sim::ExpectedStream(sim::DefaultSignal(), spec, total);
    for (size_t k = 0; k < outputs.size(); ++k) {
      std::vector<BYTE> mine;
      for (size_t i = k; i < stream.size(); i += outputs.size()) mine.push_back(stream[i]);
      EXPECT_TRUE(outputs[k] == mine) << "run " << run << ", output " << k << ": " << outputs[k].size()
                                      << " bytes, the first difference decides";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, HighRate,
                         testing::Values(Case{"VirtualSole", false, false}, Case{"VirtualDual", false, true},
                                         Case{"PtySole", true, false}, Case{"PtyDual", true, true}),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
