// The diagnotor list and the RS232 receiver test on the virtual samplers: the
// report's lines, the best baud rate recorded and used, and the failure texts.
#include <gtest/gtest.h>

#include "SamplerRig.h"
#include "sim/SimProfiles.h"

using samplertest::ErrorText;
using samplertest::Sampler;

namespace {

struct Outcome {
  std::string report;
  LONG result = -2;
};

Outcome RunTest(Sampler& s, LONG id) {
  Outcome o;
  BSTR report = nullptr;
  EXPECT_EQ(s->RunDiagnotor(id, &report, &o.result), S_OK) << ErrorText();
  o.report = samplertest::Take(report);
  return o;
}

std::string Settings(DWORD baud) { return "baud=" + std::to_string(baud) + " parity=N data=8 stop=1"; }

// The report lines of one completed step.
std::string StepLines(unsigned step, const std::string& command, bool mismatch = false) {
  const DWORD baud = sim::ReceiverStepBaud(step);
  return "Setting mode \"" + Settings(baud) + "\"\r\nOK\r\nPerforming \"" + command + "\", baud rate " +
         std::to_string(baud) + (mismatch ? "\r\nE22 - Test data mismatch" : "") + "\r\nOK\r\n";
}

LONG RateCount(Sampler& s) {
  IEnumSamplerItems* rates = nullptr;
  EXPECT_EQ(s->GetRates(&rates), S_OK);
  LONG n = 0;
  rates->GetCount(&n);
  rates->Release();
  return n;
}

}  // namespace

TEST(ReceiverTest, StepsUpToTheBestReliableRateAndRecordsIt) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);  // U steps 0-3, reliable up to step 2
  ASSERT_EQ(s->SetMode(1), S_OK);
  const LONG before = s.Code();
  const LONG ratesBefore = RateCount(s);

  IEnumDiagnotors* list = nullptr;
  ASSERT_EQ(s->GetDiagnotors(&list), S_OK);
  SAMPLERDIAGNOTORINFO info[2] = {};
  ULONG fetched = 0;
  ASSERT_EQ(list->Next(2, info, &fetched), S_OK);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(info[0].Id, SDIAG_RS232_RECEIVER);
  EXPECT_EQ(samplertest::Take(info[0].Name), "Test RS232 reciever");
  SysFreeString(info[0].Description);
  list->Release();

  const Outcome o = RunTest(s, SDIAG_RS232_RECEIVER);
  // Byte order 1234: step n is "U" with the digits of n * 16 low nibble first.
  const std::string expected = StepLines(0, "U00") + StepLines(1, "U01") + StepLines(2, "U02") +
                               "Setting mode \"" + Settings(sim::ReceiverStepBaud(3)) + "\"\r\nOK\r\n" +
                               "Performing \"U03\", baud rate " + std::to_string(sim::ReceiverStepBaud(3)) + "\r\n";
  ASSERT_EQ(o.report.substr(0, expected.size()), expected) << o.report;
  // Step 3 arrives damaged: the line error ends the test with its text.
  EXPECT_NE(o.report.find("C02-The hardware detected a framing error.", expected.size()), std::string::npos)
      << o.report;
  EXPECT_EQ(o.result, static_cast<LONG>(sim::ReceiverStepBaud(2)));
  EXPECT_EQ(s.Code(), before);  // the state before the test is back

  // The best rate is the adapter's now: its baud limit lets more rates through, the
  // status of an open port would show it, and the timing mode's start uses the step.
  protocol::TSampler* adapter = s.Impl().CurrentAdapter();
  EXPECT_EQ(adapter->BaudRate, static_cast<int32_t>(sim::ReceiverStepBaud(2)));
  EXPECT_EQ(adapter->BaudIndex, 2);
  EXPECT_GT(RateCount(s), ratesBefore);

  ASSERT_EQ(s->SetMode(5), S_OK);
  ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_TIMER, VARIANT_TRUE), S_OK) << ErrorText();
  ASSERT_EQ(s->SetCapabilityLong(SCAP_SAMPLING_TIMER, 50), S_OK);
  samplertest::Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_FALSE(p.ReadAll().empty());  // the run streamed at the step's line rate
  std::string timing;
  for (const std::string& c : sim::LiveDevice("SIM")->Commands())
    if (!c.empty() && c[0] == 'M') timing = c;
  BYTE b = 0;
  ASSERT_TRUE(sim::HexToByte(timing.substr(1), 1234, b)) << timing;
  EXPECT_EQ(b >> 4, 2);
  ASSERT_EQ(s->Stop(), S_OK);
}

TEST(ReceiverTest, OtherIdsHardwareWithoutTheTestAndAClosedPort) {
  Sampler s;
  Outcome o = RunTest(s, SDIAG_RS232_RECEIVER);
  EXPECT_EQ(o.report, "");
  EXPECT_EQ(o.result, -1);

  ASSERT_EQ(s.Open("SIM"), S_OK);
  o = RunTest(s, 201);
  EXPECT_EQ(o.report, "E21 - Diagnotor 201 is not valid");
  EXPECT_EQ(o.result, 0);

  ASSERT_EQ(s.Open("SIM-VOKTAR"), S_OK);  // no "U" command
  IEnumDiagnotors* list = nullptr;
  ASSERT_EQ(s->GetDiagnotors(&list), S_OK);
  LONG count = -1;
  list->GetCount(&count);
  list->Release();
  EXPECT_EQ(count, 0);
  o = RunTest(s, SDIAG_RS232_RECEIVER);
  EXPECT_EQ(o.report, "E20 - Diagnotor 200 is not supported");
  EXPECT_EQ(o.result, 0);

  ASSERT_EQ(s->Close(), S_OK);
  o = RunTest(s, SDIAG_RS232_RECEIVER);
  EXPECT_EQ(o.report, "");
  EXPECT_EQ(o.result, -1);
}

TEST(ReceiverTest, RefusedStepEndsTheTestWithTheLastCompletedRate) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-U-REFUSED", samplertest::Profile("SIM-DELMORA"))), S_OK);
  sim::LiveDevice("TEST-U-REFUSED")
      ->AddRule(sim::SimReplyRule{"U01", std::vector<std::string>{"Q2 Bad parameter: U01"}, {}, {}, -1});
  const Outcome o = RunTest(s, SDIAG_RS232_RECEIVER);
  EXPECT_EQ(o.report, StepLines(0, "U00") + "\r\nE14 - Command has failed with error:\r\nQ2 Bad parameter: U01");
  EXPECT_EQ(o.result, 115200);
  EXPECT_EQ(s.Code(), SST_NO_MODE);
  // The line was reset: the device answers at the command rate.
  ASSERT_EQ(s->SetMode(1), S_OK);
  ASSERT_EQ(s->SetRate(10000), S_OK) << ErrorText();
}
