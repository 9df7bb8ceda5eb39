// The sampler's configuration through IKorvoSampler against the virtual samplers:
// opening each profile, the bytes on the wire, modes, rates, capabilities, channels.
#include <gtest/gtest.h>

#include "SamplerRig.h"
#include "messages/SMessages.h"
#include "sim/SimProfiles.h"

using samplertest::ErrorText;
using samplertest::Sampler;

namespace {

std::vector<LONG> ItemValues(IEnumSamplerItems* items, std::vector<std::string>* names = nullptr,
                             std::vector<LONG>* flags = nullptr) {
  std::vector<LONG> values;
  SAMPLERCAPABILITYINFO item{};
  ULONG fetched = 0;
  while (items->Next(1, &item, &fetched) == S_OK && fetched == 1) {
    values.push_back(item.Value);
    if (names) names->push_back(samplertest::Take(item.Name));
    else SysFreeString(item.Name);
    if (flags) flags->push_back(item.Flags);
  }
  items->Release();
  return values;
}

}  // namespace

TEST(SamplerWithoutHardware, AnswersAsEmptyAndRefusesToConfigure) {
  Sampler s;
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), "Inactive");
  EXPECT_EQ(code, SST_INACTIVE);
  EXPECT_EQ(s.ChannelCount(), 0);
  LONG mode = -5, rate = -5, version = 0;
  EXPECT_EQ(s->GetMode(&mode), S_OK);
  EXPECT_EQ(s->GetRate(&rate), S_OK);
  EXPECT_EQ(s->GetVersion(&version), S_OK);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(rate, -1);
  EXPECT_EQ(version, 1);

  // Without an adapter the setters fail with a readable text instead of touching nothing.
  EXPECT_TRUE(FAILED(s->SetMode(1)));
  EXPECT_NE(ErrorText().find("open a port"), std::string::npos);
  EXPECT_TRUE(FAILED(s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE)));
  EXPECT_NE(ErrorText().find("open a port"), std::string::npos);
  EXPECT_TRUE(FAILED(s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 5)));
  EXPECT_NE(ErrorText().find("open a port"), std::string::npos);
  EXPECT_TRUE(FAILED(s->SetRate(1000)));
  EXPECT_EQ(ErrorText(), "E10 - Invalid Sampler State");

  // The getters leave the caller's value and check no id.
  VARIANT_BOOL b = 7;
  LONG l = 42;
  EXPECT_EQ(s->GetCapabilityBool(99, &b), S_OK);
  EXPECT_EQ(s->GetCapabilityLong(99, &l), S_OK);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(l, 42);
  VARIANT_BOOL avail = VARIANT_TRUE;
  EXPECT_EQ(s->IsCapabilityAvailable(SCAP_CUSTOM_COMMAND, &avail), S_OK);
  EXPECT_EQ(avail, VARIANT_FALSE);

  BSTR report = nullptr;
  LONG result = 0;
  EXPECT_EQ(s->RunDiagnotor(SDIAG_RS232_RECEIVER, &report, &result), S_OK);
  EXPECT_EQ(samplertest::Take(report), "");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(s->Stop(), S_OK);
  EXPECT_EQ(s->Close(), S_OK);
  EXPECT_EQ(s->GetStatus(nullptr, &code), E_POINTER);
}

TEST(SamplerOpen, EachProfileGivesItsState) {
  struct Case {
    const char* port;
    LONG state;
    const char* text;
  };
  const Case cases[] = {
      {"SIM-SILENT", SST_NO_HARDWARE, "No hardware detected"},
      {"SIM-UNKNOWN", SST_UNKNOWN_HARDWARE, "Unknown hardware detected"},
      {"SIM-COMPAT", SST_UNKNOWN_HARDWARE, "Unknown hardware detected"},
      {"SIM", SST_NO_MODE, "Operating mode is not specified"},
      {"SIM-QUELM", SST_NO_MODE, "Operating mode is not specified"},
      {"SIM-VOKTAR", SST_NO_MODE, "Operating mode is not specified"},
      {"SIM-DELMORA", SST_NO_MODE, "Operating mode is not specified"},
      {"SIM-MIRSOL", SST_NO_MODE, "Operating mode is not specified"},
      // Its answer comes after the reply window: nothing recognisable answered.
      {"SIM-SLOW", SST_NO_HARDWARE, "No hardware detected"},
  };
  Sampler s;
  for (const Case& c : cases) {
    ASSERT_EQ(s.Open(c.port), S_OK) << c.port << ": " << ErrorText();
    LONG code = 0;
    EXPECT_EQ(s.StatusText(&code), c.text) << c.port;
    EXPECT_EQ(code, c.state) << c.port;
    VARIANT_BOOL open = VARIANT_FALSE;
    EXPECT_EQ(s->IsOpen(&open), S_OK);
    EXPECT_EQ(open, VARIANT_TRUE) << c.port;
    BSTR id = nullptr;
    ASSERT_EQ(s->GetHardwareId(&id), S_OK);
    const sim::SimProfile& p = samplertest::Profile(c.port);
    // The identity is the first line of 9 or more characters.
    const std::string identity = c.state == SST_NO_HARDWARE ? std::string()
                                 : p.banner.empty()         ? p.capabilityTag + ":" + sim::CapabilityText(p)
                                                            : p.banner;
    EXPECT_EQ(samplertest::Take(id), identity) << c.port;
  }
  LONG mode = -5, rate = -5;
  s->GetMode(&mode);
  s->GetRate(&rate);
  EXPECT_EQ(mode, 0);  // SIM-SLOW: no adapter
  EXPECT_EQ(rate, -1);
}

TEST(SamplerOpen, FailuresLeaveTheErrorStateAndAReason) {
  Sampler s;
  EXPECT_TRUE(FAILED(s.Open("NO-SUCH-PORT")));
  EXPECT_NE(ErrorText().find("System Error."), std::string::npos);
  LONG code = 0;
  EXPECT_EQ(s.StatusText(&code), "Error accessing hardware");
  EXPECT_EQ(code, SST_HARDWARE_ERROR);
  VARIANT_BOOL open = VARIANT_TRUE;
  s->IsOpen(&open);
  EXPECT_EQ(open, VARIANT_FALSE);

  // The device's N line during identification fails Open with that line.
  EXPECT_TRUE(FAILED(s.Open("SIM-BROKEN")));
  EXPECT_NE(ErrorText().find("N1 Oscillator failure"), std::string::npos);
  EXPECT_EQ(s.Code(), SST_HARDWARE_ERROR);
  // The next Open discards what the failed one left.
  EXPECT_EQ(s.Open("SIM"), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), SST_NO_MODE);
}

TEST(SamplerOpen, OpeningAgainClosesWhatTheFirstOpenMade) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);
  ASSERT_EQ(s->SetMode(2), S_OK);
  EXPECT_EQ(s.ChannelCount(), 2);
  auto first = sim::LiveDevice("SIM");
  ASSERT_EQ(s.Open("SIM-VOKTAR"), S_OK) << ErrorText();
  EXPECT_EQ(first->State(), sim::SimState::Gone);  // its port was closed
  EXPECT_EQ(s.ChannelCount(), 0);
  LONG mode = -1;
  s->GetMode(&mode);
  EXPECT_EQ(mode, 0);
  ASSERT_EQ(s->Close(), S_OK);
  EXPECT_EQ(s.Code(), SST_INACTIVE);
}

TEST(SamplerWire, IdentificationAndRateCommandsAreSentExactly) {
  samplertest::WireRecorder wire("TEST-WIRE-1234", samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open("TEST-WIRE-1234"), S_OK) << ErrorText();
  EXPECT_EQ(wire.Bytes(), "?\rH\r");
  wire.Clear();
  ASSERT_EQ(s->SetMode(1), S_OK);
  // 20 MHz: 5000000 instruction cycles per second, 100000/s is divisor 49 = 0x31.
  ASSERT_EQ(s->SetRate(100000), S_OK) << ErrorText();
  EXPECT_EQ(wire.Bytes(), "r13\r");  // byte order 1234: low nibble first
  LONG rate = 0;
  s->GetRate(&rate);
  EXPECT_EQ(rate, 100000);

  samplertest::WireRecorder swapped("TEST-WIRE-4321", samplertest::Profile("SIM-QUELM"));
  ASSERT_EQ(s.Open("TEST-WIRE-4321"), S_OK) << ErrorText();
  swapped.Clear();
  ASSERT_EQ(s->SetMode(1), S_OK);
  ASSERT_EQ(s->SetRate(100000), S_OK) << ErrorText();
  EXPECT_EQ(swapped.Bytes(), "r31\r");
}

TEST(SamplerWire, AWriteThatTransfersNothingIsTheLastCommandFailing) {
  samplertest::WireRecorder wire("TEST-WIRE-NO-CTS", samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open("TEST-WIRE-NO-CTS"), S_OK) << ErrorText();
  ASSERT_EQ(s->SetMode(1), S_OK);
  wire.DropCts();
  wire.Clear();
  EXPECT_TRUE(FAILED(s->SetRate(100000)));
  EXPECT_EQ(ErrorText(), "E24 - Writing to COM port has been abandoned");
  LONG code = 0;
  EXPECT_EQ(s.StatusText(&code), "Last command failed. E24 - Writing to COM port has been abandoned");
  EXPECT_EQ(code, SST_COMMAND_FAILED);
  EXPECT_EQ(wire.Bytes(), "");
}

TEST(SamplerModes, ListsLabelsRatesAndRateErrors) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);
  IEnumSamplerItems* items = nullptr;
  ASSERT_EQ(s->GetModes(&items), S_OK);
  std::vector<std::string> names;
  EXPECT_EQ(ItemValues(items, &names), (std::vector<LONG>{1, 2, 5, 32769}));
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], "Sampling &sole channel");

  EXPECT_TRUE(FAILED(s->SetMode(3)));
  EXPECT_EQ(ErrorText(), "E01 - Invalid sampler mode: 3");
  ASSERT_EQ(s->SetMode(1), S_OK);
  EXPECT_EQ(s->SetMode(1), S_OK);  // the current mode: nothing happens

  ASSERT_EQ(s->GetRates(&items), S_OK);
  std::vector<LONG> flags;
  std::vector<LONG> rates = ItemValues(items, nullptr, &flags);
  ASSERT_FALSE(rates.empty());
  // Every listed rate stays below what 115200 baud carries for one channel.
  for (LONG r : rates) EXPECT_LT(r, 115200 / 5 * 4);
  EXPECT_NE(std::find(flags.begin(), flags.end(), 0x103), flags.end());  // some standard rates
  EXPECT_NE(std::find(flags.begin(), flags.end(), 0x203), flags.end());  // and secondary ones

  EXPECT_TRUE(FAILED(s->SetRate(10)));
  EXPECT_EQ(ErrorText(), "E02 - Sampling rate too low: 10");
  EXPECT_TRUE(FAILED(s->SetRate(100000000)));
  EXPECT_EQ(ErrorText(), "E03 - Sampling rate too high: 100000000");
  ASSERT_EQ(s->SetMode(5), S_OK);
  EXPECT_TRUE(FAILED(s->SetRate(1000)));
  EXPECT_EQ(ErrorText(), "E05 - Rate 1000 is not supported in the selected mode");
}

TEST(SamplerModes, RateRefusedByTheHardwareGivesE04) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-RATE-REFUSED", samplertest::Profile("SIM"))), S_OK);
  ASSERT_EQ(s->SetMode(1), S_OK);
  sim::LiveDevice("TEST-RATE-REFUSED")
      ->AddRule(sim::SimReplyRule{"r*", std::vector<std::string>{"  Q2 Bad parameter: r13  "}, {}, {}, -1});
  EXPECT_TRUE(FAILED(s->SetRate(100000)));
  EXPECT_EQ(ErrorText(), "E04 - Hardware reported error while setting rate : Q2 Bad parameter: r13");
  LONG rate = 0;
  s->GetRate(&rate);
  EXPECT_EQ(rate, 100000);  // the adapter keeps the new rate
}

TEST(SamplerCapabilities, ListChecksAndCustomCommand) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);
  IEnumSamplerItems* caps = nullptr;
  ASSERT_EQ(s->GetCapabilities(&caps), S_OK);
  IEnumSamplerItems* again = nullptr;
  ASSERT_EQ(s->GetCapabilities(&again), S_OK);
  EXPECT_EQ(caps, again);  // one object for every caller
  again->Release();
  ASSERT_EQ(s->SetMode(1), S_OK);
  caps->Reset();
  std::vector<std::string> names;
  std::vector<LONG> values = ItemValues(caps, &names);
  // SIM has pins 0-3 on "o" (port B) and pins 0-1 on "O"; the mode picks one port,
  // then the ten table entries follow.
  ASSERT_GE(values.size(), 10u);
  EXPECT_EQ(names.back(), "Command:");

  EXPECT_TRUE(FAILED(s->SetCapabilityBool(99, VARIANT_TRUE)));
  EXPECT_EQ(ErrorText(), "E06 - Capability 99 is not supported");
  VARIANT_BOOL b = VARIANT_FALSE;
  EXPECT_TRUE(FAILED(s->GetCapabilityBool(SCAP_IDLE_PERIOD, &b)));
  EXPECT_EQ(ErrorText(), "E08 - Capability 111 can non be accessed as BOOL");
  LONG l = 0;
  EXPECT_TRUE(FAILED(s->GetCapabilityLong(SCAP_STOP_ON_IDLE, &l)));
  EXPECT_EQ(ErrorText(), "E08 - Capability 110 can non be accessed as LONG");
  EXPECT_EQ(s->SetCapabilityLong(SCAP_STOP_ON_IDLE, 5), S_OK);  // accepted, changes nothing

  // The buffered mode stops by its buffer: no stop options there.
  ASSERT_EQ(s->SetMode(32769), S_OK);
  VARIANT_BOOL idle = VARIANT_TRUE;
  ASSERT_EQ(s->GetCapabilityBool(SCAP_STOP_ON_IDLE, &idle), S_OK);
  if (idle == VARIANT_FALSE) {
    EXPECT_TRUE(FAILED(s->SetCapabilityBool(SCAP_STOP_ON_IDLE, VARIANT_TRUE)));
    EXPECT_EQ(ErrorText(), "E07 - Capability 110 is not available in this mode");
  }
  EXPECT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_IDLE, idle), S_OK);  // its own value: no check

  ASSERT_EQ(s->SetMode(1), S_OK);
  ASSERT_EQ(s->SetRate(100000), S_OK);
  BSTR text = nullptr;
  ASSERT_EQ(s->GetCapabilityString(SCAP_COMMAND, &text), S_OK);
  EXPECT_EQ(samplertest::Take(text), "r13;S1;");  // the generated start command
  platform::BStr custom(std::string("rF0;S0"));
  ASSERT_EQ(s->SetCapabilityString(SCAP_COMMAND, custom.Get()), S_OK);
  for (LONG id : {80, 100, 101, 110, 112, 114, 200, 201}) {
    VARIANT_BOOL a = VARIANT_FALSE;
    ASSERT_EQ(s->IsCapabilityAvailable(id, &a), S_OK);
    EXPECT_EQ(a != VARIANT_FALSE, id == 200 || id == 201) << id;
  }
  ASSERT_EQ(s->GetCapabilityString(SCAP_COMMAND, &text), S_OK);
  EXPECT_EQ(samplertest::Take(text), "rF0;S0");
}

TEST(SamplerChannels, FollowTheModeAndKeepSurvivingChannels) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK);
  EXPECT_EQ(s.ChannelCount(), 0);
  ASSERT_EQ(s->SetMode(1), S_OK);
  EXPECT_EQ(s.ChannelCount(), 1);
  ISamplerChannels* c = nullptr;
  ASSERT_EQ(s->GetChannels(&c), S_OK);
  ISamplerChannel* zero = nullptr;
  ASSERT_EQ(c->Item(0, &zero), S_OK);
  ASSERT_EQ(s->SetMode(2), S_OK);
  EXPECT_EQ(s.ChannelCount(), 2);
  ISamplerChannel* same = nullptr;
  ASSERT_EQ(c->Item(0, &same), S_OK);
  EXPECT_EQ(same, zero);
  same->Release();
  ISamplerChannel* none = reinterpret_cast<ISamplerChannel*>(1);
  EXPECT_TRUE(FAILED(c->Item(2, &none)));
  EXPECT_EQ(ErrorText(), "E11 - Index (2) out of bounds [0..1]");
  EXPECT_EQ(none, nullptr);
  ASSERT_EQ(s->SetMode(1), S_OK);
  EXPECT_EQ(s.ChannelCount(), 1);
  // Expected size from the sampler's settings: 9 samples are 2 bytes.
  ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), S_OK);
  ASSERT_EQ(s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 9), S_OK);
  LONG size = 0;
  EXPECT_EQ(zero->GetExpectedSize(&size), S_OK);
  EXPECT_EQ(size, 2);
  zero->Release();
  c->Release();
  ASSERT_EQ(s->Close(), S_OK);
  EXPECT_EQ(s.ChannelCount(), 0);
}

TEST(SamplerReset, ReturnsAndClearsTheLastErrorAndResetsTheLine) {
  Sampler s;
  EXPECT_EQ(s.ResetText(), "");  // no port: nothing to do
  ASSERT_EQ(s.Open("SIM"), S_OK);
  s.Impl().SetLastErrorText("earlier trouble");
  EXPECT_EQ(s.ResetText(), "earlier trouble");
  EXPECT_EQ(s.ResetText(), "");
  EXPECT_EQ(s.Code(), SST_NO_MODE);
  // A failure state is replaced by the configuration state.
  s.Impl().SetState(SST_RUN_FAILED);
  s.ResetText();
  EXPECT_EQ(s.Code(), SST_NO_MODE);
}
