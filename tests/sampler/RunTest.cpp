// Sampling runs end to end on the virtual samplers: delivery to files and pipes,
// the run's states, its end by limit, timer, Stop or the hardware, and start failures.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SamplerRig.h"
#include "sim/SimProfiles.h"
#include "sim/SimSignal.h"

using samplertest::ErrorText;
using samplertest::Pipe;
using samplertest::Sampler;

namespace {

bool Ended(LONG code) { return code != SST_WAITING && code != SST_SAMPLING && code != SST_STARTING; }

// The stream a SIM run sends at the divisor of `rate` (20 MHz oscillator).
std::vector<BYTE> Expected(sim::StreamMode mode, LONG rate, bool onActivity, size_t count) {
  sim::StreamSpec spec;
  spec.mode = mode;
  spec.divisor = mode == sim::StreamMode::Timing ? 0 : static_cast<unsigned>(5000000 / rate - 1);
  spec.onActivity = onActivity;
  return sim::ExpectedStream(sim::DefaultSignal(), spec, count);
}

std::vector<BYTE> Every(const std::vector<BYTE>& bytes, size_t first, size_t step) {
  std::vector<BYTE> out;
  for (size_t i = first; i < bytes.size(); i += step) out.push_back(bytes[i]);
  return out;
}

}  // namespace

TEST(SamplerRun, SoleChannelToAFileStopsOnCountWithTheDevicesBytes) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);
  s.Configure(1, 50000, 8 * 3000);  // 3000 bytes
  EXPECT_EQ(s.Code(), SST_READY);
  samplertest::TempFile file;
  s.Bind(0, file.OpenForWriting());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  std::vector<LONG> seen;
  std::vector<std::string> texts;
  bool sawSampling = false;
  for (int i = 0; i < 2000; ++i) {
    LONG code = 0;
    std::string text = s.StatusText(&code);
    if (seen.empty() || seen.back() != code) {
      seen.push_back(code);
      texts.push_back(text);
    }
    if (code == SST_SAMPLING) {
      sawSampling = true;
      EXPECT_TRUE(s.Sampling());
      EXPECT_EQ(text.rfind("Sampling ", 0), 0u);
    }
    if (Ended(code)) break;
    Sleep(5);
  }
  ASSERT_FALSE(seen.empty());
  // The first bytes may be in before the first query: waiting is seen only when they are not.
  if (seen.front() == SST_WAITING)
    EXPECT_EQ(texts.front(), "Waiting pulses to come");
  else
    EXPECT_EQ(seen.front(), SST_SAMPLING) << texts.front();
  EXPECT_TRUE(sawSampling);
  EXPECT_EQ(seen.back(), SST_READY);
  EXPECT_EQ(texts.back(), "Ready to start sampling");
  EXPECT_FALSE(s.Sampling());
  EXPECT_EQ(file.Read(), Expected(sim::StreamMode::Sole, 50000, false, 3000));
  EXPECT_EQ(s.ResetText(), "");
}

TEST(SamplerRun, DualChannelDealsBytesOutToTwoPipes) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-DUAL", samplertest::Profile("SIM"))), S_OK);
  s.Configure(2, 40000, 8 * 500);  // limit 2 x 4000 samples: 1000 bytes
  Pipe a, b;
  s.Bind(0, a.GiveWriteEnd());
  s.Bind(1, b.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  // The run closes both write ends when it ends.
  const std::vector<BYTE> first = a.ReadAll(), second = b.ReadAll();
  EXPECT_EQ(s.WaitFor(Ended), SST_READY);
  // The chunk that reaches the limit is dealt out whole: up to 32 bytes more.
  const size_t total = first.size() + second.size();
  EXPECT_GE(total, 1000u);
  EXPECT_LE(total, 1032u);
  const std::vector<BYTE> all = Expected(sim::StreamMode::Dual, 40000, false, total);
  EXPECT_EQ(first, Every(all, 0, 2));
  EXPECT_EQ(second, Every(all, 1, 2));
}

TEST(SamplerRun, MeasuringRunEndsOnItsTimer) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-TIMING", samplertest::Profile("SIM"))), S_OK);
  ASSERT_EQ(s->SetMode(5), S_OK);
  ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_TIMER, VARIANT_TRUE), S_OK) << ErrorText();
  ASSERT_EQ(s->SetCapabilityLong(SCAP_SAMPLING_TIMER, 100), S_OK);
  ASSERT_EQ(s->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_READY);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  const std::vector<BYTE> data = p.ReadAll();  // until the run ends by its timer
  EXPECT_EQ(s.WaitFor(Ended), SST_READY);
  ASSERT_FALSE(data.empty());
  EXPECT_EQ(data, Expected(sim::StreamMode::Timing, 0, false, data.size()));
}

TEST(SamplerRun, StopEndsARunAndLeavesReady) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);
  s.Configure(1, 50000, 0);  // no stop condition: only Stop ends it
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(s.WaitFor([](LONG c) { return c == SST_SAMPLING; }), SST_SAMPLING);
  EXPECT_TRUE(s.Sampling());
  ASSERT_EQ(s->Stop(), S_OK) << ErrorText();
  EXPECT_FALSE(s.Sampling());
  EXPECT_EQ(s.Code(), SST_READY);
  const std::vector<BYTE> data = p.ReadAll();  // closed by the run's end
  ASSERT_FALSE(data.empty());
  EXPECT_EQ(data, Expected(sim::StreamMode::Sole, 50000, false, data.size()));
  // The line is back in command state: the device answers again.
  ASSERT_EQ(s->SetRate(25000), S_OK) << ErrorText();
}

TEST(SamplerRun, HardwareEndedRunKeepsItsMessageUntilReset) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM-SHORT"), S_OK);  // ends every run after 512 bytes
  s.Configure(1, 50000, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(p.ReadAll().size(), 512u);
  LONG code = s.WaitFor([](LONG c) { return c >= SST_RUN_FAILED; });
  EXPECT_EQ(code, SST_HARDWARE_STOPPED);
  EXPECT_EQ(s.StatusText(), "Sampling failed. Run complete.");
  EXPECT_EQ(s.StatusText(), "Sampling failed. Run complete.");  // told the same way each time
  ASSERT_EQ(s->Stop(), S_OK);
  EXPECT_EQ(s.Code(), SST_HARDWARE_STOPPED);
  EXPECT_EQ(s.ResetText(), "Run complete.");
  EXPECT_EQ(s.Code(), SST_NO_STOP_MODE);
}

TEST(SamplerRun, LineErrorMidRunFailsWithItsText) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-LINE-ERROR", samplertest::Profile("SIM"))), S_OK);
  s.Configure(1, 50000, 0);
  sim::LiveDevice("TEST-LINE-ERROR")->InjectStreamErrors(200, CE_FRAME);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  p.ReadAll();
  EXPECT_EQ(s.WaitFor([](LONG c) { return c >= SST_RUN_FAILED; }), SST_RUN_FAILED);
  EXPECT_FALSE(s.Sampling());
  EXPECT_EQ(s.StatusText(), "Sampling failed. C02-The hardware detected a framing error.");
  EXPECT_EQ(s.ResetText(), "C02-The hardware detected a framing error.");
  EXPECT_EQ(s.Code(), SST_NO_STOP_MODE);
}

TEST(SamplerRun, ReaderThatWentAwayFailsTheRunNotTheHost) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-NO-READER", samplertest::Profile("SIM"))), S_OK);
  s.Configure(1, 50000, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  p.CloseRead();
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(s.WaitFor([](LONG c) { return c >= SST_RUN_FAILED; }), SST_RUN_FAILED);
  const std::string text = s.StatusText();
  EXPECT_EQ(text.rfind("Sampling failed. System Error.  Code: ", 0), 0u) << text;
  const std::string last = s.ResetText();
  EXPECT_EQ(last.rfind("System Error.  Code: ", 0), 0u) << last;
}

TEST(SamplerRun, SilentStartIsReportedAsTheLastCommandFailing) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-SILENT-START", samplertest::Profile("SIM"))), S_OK);
  s.Configure(1, 50000, 800);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  sim::LiveDevice("TEST-SILENT-START")->AddRule(sim::SimReplyRule{"S*", std::vector<std::string>{}, {}, {}, 1});
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_FALSE(s.Sampling());
  LONG code = 0;
  EXPECT_EQ(s.StatusText(&code), "Last command failed. E23 - Hardware did not respond");
  EXPECT_EQ(code, SST_COMMAND_FAILED);
  EXPECT_TRUE(p.ReadAll().empty());  // the thread that never ran closed its output
  EXPECT_EQ(s.ResetText(), "E23 - Hardware did not respond");
  EXPECT_EQ(s.Code(), SST_READY);
  // The line is usable again: the next start runs.
  Pipe again;
  s.Bind(0, again.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(again.ReadAll().size(), 100u);
}

TEST(SamplerRun, RejectedStartsFailWithTheirTexts) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-REJECTED", samplertest::Profile("SIM"))), S_OK);
  auto device = sim::LiveDevice("TEST-REJECTED");
  EXPECT_TRUE(FAILED(s->Start()));  // no mode yet: no channels
  EXPECT_EQ(ErrorText(), "E15 - No channels available to start sampling");
  EXPECT_EQ(s.Code(), SST_NO_MODE);

  s.Configure(1, 50000, 800);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  const size_t before = device->Commands().size();
  device->AddRule(sim::SimReplyRule{"S*", std::vector<std::string>{"Q3 Not supported: S1"}, {}, {}, 1});
  EXPECT_TRUE(FAILED(s->Start()));
  EXPECT_EQ(ErrorText(), "E14 - Command has failed with error:\r\nQ3 Not supported: S1");
  EXPECT_EQ(s.Code(), SST_COMMAND_FAILED);
  EXPECT_GT(device->Commands().size(), before);
  EXPECT_EQ(s.ResetText(), "E14 - Command has failed with error:\r\nQ3 Not supported: S1");

  // Rate 0 in the timing mode with stop on timer: refused before anything is sent.
  ASSERT_EQ(s->SetMode(5), S_OK);
  ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_TIMER, VARIANT_TRUE), S_OK);
  ASSERT_EQ(s->SetCapabilityLong(SCAP_SAMPLING_TIMER, 100), S_OK);
  s.Impl().CurrentAdapter()->Rate = 0;
  const size_t sent = device->Commands().size();
  EXPECT_TRUE(FAILED(s->Start()));
  EXPECT_EQ(ErrorText(), "Sampling rate is not specified");
  EXPECT_EQ(device->Commands().size(), sent);
  EXPECT_FALSE(s.Sampling());
}

TEST(SamplerRun, ModeWithoutAThreadClassGivesE18) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM-UNKNOWN"), S_OK);
  ASSERT_EQ(s->SetMode(6), S_OK);  // the unknown kind keeps any mode; 6 has one channel
  ASSERT_EQ(s.ChannelCount(), 1);
  EXPECT_TRUE(FAILED(s->Start()));
  EXPECT_EQ(ErrorText(), "E18 - Capability not implemented");
}

TEST(SamplerRun, CustomCommandIsSentInsteadAndAnEmptyOneActsLikeSilence) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-CUSTOM", samplertest::Profile("SIM"))), S_OK);
  auto device = sim::LiveDevice("TEST-CUSTOM");
  s.Configure(1, 50000, 8 * 64);
  platform::BStr custom(std::string("rF0;S0;"));  // as the generated one is shown
  ASSERT_EQ(s->SetCapabilityString(SCAP_COMMAND, custom.Get()), S_OK);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(p.ReadAll(), Expected(sim::StreamMode::Sole, 5000000 / 16, false, 64));
  EXPECT_EQ(s.WaitFor(Ended), SST_READY);
  std::vector<std::string> commands = device->Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[commands.size() - 2], "rF0");
  EXPECT_EQ(commands.back(), "S0");

  // The custom command switched on with an empty text: nothing is sent, as if silent.
  platform::BStr empty(std::string(""));
  ASSERT_EQ(s->SetCapabilityString(SCAP_COMMAND, empty.Get()), S_OK);
  ASSERT_EQ(s->SetCapabilityBool(SCAP_CUSTOM_COMMAND, VARIANT_TRUE), S_OK) << ErrorText();
  Pipe q;
  s.Bind(0, q.GiveWriteEnd());
  const size_t sent = device->Commands().size();
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_COMMAND_FAILED);
  commands = device->Commands();
  // Only the CR of the end-of-run handshake reached the device.
  for (size_t i = sent; i < commands.size(); ++i) EXPECT_EQ(commands[i], "");
  EXPECT_EQ(s.ResetText(), "E23 - Hardware did not respond");
}

TEST(SamplerRun, SecondStartIsRefusedWhileTheFirstRuns) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);
  s.Configure(1, 50000, 8 * 2000);
  samplertest::TempFile file;
  s.Bind(0, file.OpenForWriting());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_TRUE(FAILED(s->Start()));
  EXPECT_NE(ErrorText().find("already in progress"), std::string::npos);
  EXPECT_TRUE(FAILED(s->SetRate(25000)));  // the run's thread keeps the port
  EXPECT_EQ(s.WaitFor(Ended), SST_READY);
  EXPECT_EQ(file.Read(), Expected(sim::StreamMode::Sole, 50000, false, 2000));
}

TEST(SamplerRun, StopRacingTheRunsOwnEndIsOrderly) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-RACE", samplertest::Profile("SIM"))), S_OK);
  s.Configure(1, 50000, 8 * 40);
  for (DWORD delay : {0, 1, 2, 4, 8, 15}) {
    Pipe p;
    s.Bind(0, p.GiveWriteEnd());
    ASSERT_EQ(s->Start(), S_OK) << ErrorText();
    Sleep(delay);
    ASSERT_EQ(s->Stop(), S_OK) << ErrorText();
    EXPECT_EQ(s.Code(), SST_READY) << delay;
    EXPECT_FALSE(s.Sampling());
    const std::vector<BYTE> data = p.ReadAll();
    EXPECT_LE(data.size(), 40u);
    EXPECT_EQ(data, Expected(sim::StreamMode::Sole, 50000, false, data.size()));
  }
}

TEST(SamplerRun, ReleasingTheLastReferenceDuringARunStopsItFromAnotherThread) {
  auto s = std::make_unique<Sampler>();
  ASSERT_EQ(s->Open("SIM"), S_OK);
  s->Configure(1, 50000, 0);
  Pipe p;
  s->Bind(0, p.GiveWriteEnd());
  ASSERT_EQ((*s)->Start(), S_OK) << ErrorText();
  ASSERT_EQ(s->WaitFor([](LONG c) { return c == SST_SAMPLING; }), SST_SAMPLING);
  std::thread other([&] { s->Release(); });
  other.join();
  EXPECT_FALSE(p.ReadAll().empty());  // the stopped run closed its output
  EXPECT_EQ(sim::LiveDevice("SIM")->State(), sim::SimState::Gone);  // and the port
}

TEST(SamplerRun, VanishedDeviceCannotKeepTheSamplerFromClosing) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-VANISH", samplertest::Profile("SIM"))), S_OK);
  s.Configure(1, 50000, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  sim::LiveDevice("TEST-VANISH")->DisappearAfter(300);
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  p.ReadAll();
  EXPECT_EQ(s.WaitFor([](LONG c) { return c >= SST_RUN_FAILED; }), SST_RUN_FAILED);
  s->Close();  // may report that the line could not be reset
  EXPECT_EQ(s.Code(), SST_INACTIVE);
  ASSERT_EQ(s.Open("SIM"), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_NO_MODE);
}
