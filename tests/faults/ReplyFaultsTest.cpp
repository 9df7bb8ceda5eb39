// Faulty answers to each command the library sends: none, late, garbage, and
// the device's N (hardware) and Q (command) error lines in place of a reply.
#include <gtest/gtest.h>

#include "FaultRig.h"
#include "sim/SimProfiles.h"

using namespace faulttest;

namespace {

sim::SimReplyRule Rule(const std::string& match, std::optional<std::vector<std::string>> reply,
                       std::optional<platform::Micros> delay = {}, std::string noise = {}, int uses = -1) {
  return sim::SimReplyRule{match, std::move(reply), delay, std::move(noise), uses};
}

// A copy of SIM whose device answers by `rules` from the first command on.
std::string PortWithRules(const std::string& name, std::vector<sim::SimReplyRule> rules) {
  sim::SimProfile p = samplertest::Profile("SIM");
  p.rules = std::move(rules);
  return samplertest::FastPort(name, std::move(p));
}

const std::string kBanner = "QUELM1 pulse sampler v2.1 (virtual)";

// ---- identification ---------------------------------------------------------------------------

struct OpenFault {
  const char* name;
  std::vector<sim::SimReplyRule> rules;
  bool opens;             // Open returns S_OK
  const char* errorPart;  // part of Open's error text when it fails
  LONG code;
  const char* status;
};

class IdentificationFault : public FaultCase, public testing::WithParamInterface<OpenFault> {};

TEST_P(IdentificationFault, EndsInItsStateWithItsText) {
  const OpenFault& f = GetParam();
  const std::string port = PortWithRules(std::string("FAULT-ID-") + f.name, f.rules);
  Sampler s;
  const HRESULT hr = Timed(kWaits, "Open", [&] { return s.Open(port); });
  if (f.opens) {
    EXPECT_EQ(hr, S_OK) << ErrorText();
  } else {
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(ErrorText().find(f.errorPart), std::string::npos);
  }
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), f.status);
  EXPECT_EQ(code, f.code);
  BSTR id = nullptr;
  ASSERT_EQ(s->GetHardwareId(&id), S_OK);
  const std::string identity = samplertest::Take(id);
  if (f.code != SST_NO_MODE) {
    EXPECT_NE(identity, kBanner) << "a faulty identification was taken as the device";
  }
  // Whatever identification gave, the sampler closes cleanly and opens the next port.
  EXPECT_EQ(Timed(kWaits, "Close", [&] { return s->Close(); }), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_INACTIVE);
}

const OpenFault kOpenFaults[] = {
    // An error line where the device's own lines were expected: a kind it names fails Open with it.
    {"Y2-AS-N",
     {Rule("H", std::vector<std::string>{kBanner, "Y1:1234", "N4 Capability table lost", "Y3:20MHz"})},
     false, "N4 Capability table lost", SST_HARDWARE_ERROR, "Error accessing hardware"},
    // A lone error line names no kind: the device is unknown, not taken for a QUELM1.
    {"ALL-N", {Rule("H", std::vector<std::string>{"N2 Self test failed"})}, true, "", SST_UNKNOWN_HARDWARE,
     "Unknown hardware detected"},
    {"ALL-Q", {Rule("H", std::vector<std::string>{"Q1 Unknown command: H"})}, true, "", SST_UNKNOWN_HARDWARE,
     "Unknown hardware detected"},
    // Q lines among the identification are tolerated.
    {"Y3-AS-Q",
     {Rule("H", std::vector<std::string>{kBanner, "Y1:1234", "Y2:S10 X10 M10 J10(21) r", "Q2 Bad parameter: H"})},
     true, "", SST_NO_MODE, "Operating mode is not specified"},
    {"ATTENTION-Q", {Rule("?", std::vector<std::string>{"Q1 Unknown command: ?"})}, true, "", SST_NO_MODE,
     "Operating mode is not specified"},
    {"NOTHING", {Rule("H", std::vector<std::string>{})}, true, "", SST_NO_HARDWARE, "No hardware detected"},
    {"LATE", {Rule("H", std::nullopt, 200000)}, true, "", SST_NO_HARDWARE, "No hardware detected"},
    {"GARBAGE-ONLY", {Rule("H", std::vector<std::string>{"\x7f\x01#%&", "zz"})}, true, "", SST_UNKNOWN_HARDWARE,
     "Unknown hardware detected"},
    // A short garbage line ahead of a sound answer is skipped: the banner still identifies the device.
    {"NOISE-LINE-AHEAD", {Rule("H", std::nullopt, std::nullopt, std::string("\xff\xfe\x01\r\n", 5))}, true, "",
     SST_NO_MODE, "Operating mode is not specified"},
    // Noise glued to the banner spoils it: what answered is not recognised.
    {"NOISE-GLUED", {Rule("H", std::nullopt, std::nullopt, std::string("\xff\xfe\x01", 3))}, true, "",
     SST_UNKNOWN_HARDWARE, "Unknown hardware detected"},
};

INSTANTIATE_TEST_SUITE_P(Faults, IdentificationFault, testing::ValuesIn(kOpenFaults),
                         [](const testing::TestParamInfo<OpenFault>& i) {
                           std::string n = i.param.name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST_F(FaultCase, SilentDeviceIsNoHardwareAndClosesPromptly) {
  Sampler s;
  ASSERT_EQ(Timed(kWaits, "Open", [&] { return s.Open("SIM-SILENT"); }), S_OK) << ErrorText();
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), "No hardware detected");
  EXPECT_EQ(code, SST_NO_HARDWARE);
  EXPECT_TRUE(FAILED(Timed(kWaits, "SetMode", [&] { return s->SetMode(1); })));
  EXPECT_NE(ErrorText().find("open a port"), std::string::npos);
  EXPECT_TRUE(FAILED(Timed(kWaits, "Start", [&] { return s->Start(); })));
  EXPECT_FALSE(ErrorText().empty());
  EXPECT_EQ(s.Code(), SST_NO_HARDWARE);
  EXPECT_EQ(Timed(kWaits, "Close", [&] { return s->Close(); }), S_OK);
}

TEST_F(FaultCase, SlowDeviceIsNoHardware) {
  Sampler s;
  ASSERT_EQ(Timed(kWaits, "Open", [&] { return s.Open("SIM-SLOW"); }), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_NO_HARDWARE);
  EXPECT_EQ(Timed(kWaits, "Close", [&] { return s->Close(); }), S_OK);
}

// ---- the rate command ---------------------------------------------------------------------------

struct RateFault {
  const char* name;
  sim::SimReplyRule rule;
  const char* error;  // Open's error text; empty: SetRate succeeds
};

class RateCommandFault : public FaultCase, public testing::WithParamInterface<RateFault> {};

TEST_P(RateCommandFault, FailsWithTheDevicesLineAndTheNextCommandWorks) {
  const RateFault& f = GetParam();
  const std::string port = PortWithRules(std::string("FAULT-RATE-") + f.name, {});
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  ASSERT_EQ(s->SetMode(1), S_OK) << ErrorText();
  auto device = sim::LiveDevice(port);
  device->AddRule(f.rule);
  const HRESULT hr = Timed(kWaits, "SetRate", [&] { return s->SetRate(100000); });
  if (*f.error == 0) {
    EXPECT_EQ(hr, S_OK) << ErrorText();
    EXPECT_EQ(s.Code(), SST_NO_IDLE_TIME);  // configured on: the default stop mode wants its time
  } else {
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(ErrorText(), f.error);
    // The refused rate is not in force: the state asks for one, and it is no run failure to reset.
    LONG code = -1;
    EXPECT_EQ(s.StatusText(&code), "Sampling rate is not specified");
    EXPECT_EQ(code, SST_NO_RATE);
    EXPECT_EQ(s.ResetText(), "");
  }
  // The fault was for one command: the line is sound again.
  ASSERT_EQ(Timed(kWaits, "SetRate", [&] { return s->SetRate(50000); }), S_OK) << ErrorText();
  EXPECT_EQ(device->Commands().back(), "r36");  // divisor 99, low nibble first
}

const RateFault kRateFaults[] = {
    {"N", Rule("r*", std::vector<std::string>{"N5 Divider fault"}, {}, {}, 1),
     "E04 - Hardware reported error while setting rate : N5 Divider fault"},
    {"Q", Rule("r*", std::vector<std::string>{"Q2 Bad parameter: r13"}, {}, {}, 1),
     "E04 - Hardware reported error while setting rate : Q2 Bad parameter: r13"},
    // The rate command has no answer of its own: a line that is no error line does not refuse it.
    {"GARBAGE", Rule("r*", std::vector<std::string>{"#\x01zz"}, {}, {}, 1), ""},
    // A refusal that comes after the reply window is not the answer; the next command purges it.
    {"LATE-Q", Rule("r*", std::vector<std::string>{"Q2 Bad parameter: r13"}, 200000, {}, 1), ""},
};

INSTANTIATE_TEST_SUITE_P(Faults, RateCommandFault, testing::ValuesIn(kRateFaults),
                         [](const testing::TestParamInfo<RateFault>& i) {
                           std::string n = i.param.name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST_F(FaultCase, NoiseAheadOfACommandDoesNotSpoilItsReply) {
  const std::string port = PortWithRules("FAULT-NOISE-BEFORE", {});
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  ASSERT_EQ(s->SetMode(1), S_OK) << ErrorText();
  sim::LiveDevice(port)->SendNoise("Q1 stale\r\n\xff");
  Sleep(20);  // the noise is in the receive queue before the command goes out
  EXPECT_EQ(Timed(kWaits, "SetRate", [&] { return s->SetRate(100000); }), S_OK) << ErrorText();
  EXPECT_EQ(sim::LiveDevice(port)->Commands().back(), "r13");
  EXPECT_NE(s.Code(), SST_COMMAND_FAILED);
}

// ---- the start command ------------------------------------------------------------------------------

struct StartFault {
  const char* name;
  sim::SimReplyRule rule;
  bool startFails;    // Start returns a failure (else S_OK with the failure in the status)
  const char* error;  // the failure text, as GetErrorInfo and Reset give it
};

class StartCommandFault : public FaultCase, public testing::WithParamInterface<StartFault> {};

TEST_P(StartCommandFault, LeavesTheFailureStateNoRunAndAClosedOutput) {
  const StartFault& f = GetParam();
  const std::string port = PortWithRules(std::string("FAULT-START-") + f.name, {});
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  s.Configure(1, 50000, 8 * 100);
  auto device = sim::LiveDevice(port);
  device->AddRule(f.rule);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  const HRESULT hr = Timed(kWaits, "Start", [&] { return s->Start(); });
  if (f.startFails) {
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(ErrorText(), f.error);
  } else {
    EXPECT_EQ(hr, S_OK) << ErrorText();
  }
  EXPECT_FALSE(s.Sampling());
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), std::string("Last command failed. ") + f.error);
  EXPECT_EQ(code, SST_COMMAND_FAILED);
  EXPECT_TRUE(p.ReadAll().empty());  // end of file: the run that never ran closed it
  EXPECT_EQ(s.ResetText(), f.error);
  EXPECT_EQ(s.Code(), SST_READY);
  // The fault was for one start: the next one runs to its count.
  Pipe again;
  s.Bind(0, again.GiveWriteEnd());
  ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
  EXPECT_EQ(again.ReadAll(), SoleStream(100));
  EXPECT_EQ(s.WaitFor(Over), SST_READY);
}

const StartFault kStartFaults[] = {
    {"N", Rule("S*", std::vector<std::string>{"N3 Input stage fault"}, {}, {}, 1), true,
     "E13 - Hardware has reported unrecoverable error:\r\nN3 Input stage fault"},
    {"Q", Rule("S*", std::vector<std::string>{"Q3 Not supported: S1"}, {}, {}, 1), true,
     "E14 - Command has failed with error:\r\nQ3 Not supported: S1"},
    {"NOTHING", Rule("S*", std::vector<std::string>{}, {}, {}, 1), false, "E23 - Hardware did not respond"},
    {"LATE", Rule("S*", std::nullopt, 200000, {}, 1), false, "E23 - Hardware did not respond"},
    {"GARBAGE", Rule("S*", std::vector<std::string>{"\x01\x7fzz"}, {}, {}, 1), true,
     "E17 - Unexpected response: \x01\x7fzz\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Faults, StartCommandFault, testing::ValuesIn(kStartFaults),
                         [](const testing::TestParamInfo<StartFault>& i) { return std::string(i.param.name); });

}  // namespace
