// Operating modes with a 20 MHz oscillator: selection, activation defaults,
// rate arithmetic and its limits, rate lists, and availability per mode.
#include <gtest/gtest.h>

#include <vector>

#include "Devices.h"

namespace protocol {
namespace {

using test::Detect;
using test::ErrorOf;
using test::Reply;

struct Rate {
  std::string label;
  int32_t rate;
};

std::vector<Rate> RatesOf(const TSampler& a) {
  std::vector<Rate> rates;
  a.EnumRateItems([](void* user, const std::string& label, int32_t r) {
    static_cast<std::vector<Rate>*>(user)->push_back({label, r});
  }, &rates);
  return rates;
}

// Every mode, triggers on S only, pins 0 and 2, a 16 x 128 sample buffer.
const std::string kFull = Reply("S1 X M J(10) r o5");

TEST(ProtocolModes, SoleChannelRateArithmetic) {
  test::Detected d = Detect(kFull);
  d->SetMode(smSampleSole);
  d->SetRate(1000000);
  EXPECT_EQ(d->RateDivisor, 4);
  EXPECT_EQ(d->Rate, 1000000u);
  d->SetRate(300000);
  EXPECT_EQ(d->RateDivisor, 15);
  EXPECT_EQ(d->Rate, 20000000u / 64);

  EXPECT_EQ(ErrorOf([&] { d->SetRate(19000); }), "E02 - Sampling rate too low: 19000");
  EXPECT_EQ(ErrorOf([&] { d->SetRate(6000000); }), "E03 - Sampling rate too high: 6000000");
  EXPECT_EQ(d->RateDivisor, 15);  // refused rates change nothing
  EXPECT_EQ(d->Rate, 312500u);

  d->SetRate(19531);  // the lowest rate a divisor of 256 reaches
  EXPECT_EQ(d->RateDivisor, 255);
  EXPECT_EQ(d->Rate, 19531u);
  d->SetRate(19456);
  EXPECT_EQ(d->RateDivisor, 255);
  EXPECT_EQ(ErrorOf([&] { d->SetRate(19455); }), "E02 - Sampling rate too low: 19455");  // divisor 256
  d->SetRate(5000000);
  EXPECT_EQ(d->RateDivisor, 0);
  EXPECT_EQ(ErrorOf([&] { d->SetRate(5000001); }), "E03 - Sampling rate too high: 5000001");

  d->SetRate(0);
  EXPECT_EQ(d->Rate, 0u);
  EXPECT_EQ(d->RateDivisor, 0);  // untouched by rate 0
}

TEST(ProtocolModes, RateTimesFourBeyond32BitsIsTooHigh) {
  test::Detected d = Detect(kFull);
  d->SetMode(smSampleSole);
  d->SetRate(300000);
  EXPECT_EQ(ErrorOf([&] { d->SetRate(0x40000000u); }), "E03 - Sampling rate too high: 1073741824");
  EXPECT_EQ(ErrorOf([&] { d->SetRate(0xFFFFFFFFu); }), "E03 - Sampling rate too high: -1");  // a host's -1
  EXPECT_EQ(ErrorOf([&] { d->SetRate(0xC0000000u); }), "E03 - Sampling rate too high: -1073741824");
  EXPECT_EQ(d->Rate, 312500u);
  EXPECT_EQ(d->RateDivisor, 15);
}

TEST(ProtocolModes, FrequencyBelowFourHertzIsRefusedAndChangesNothing) {
  test::Detected d = Detect(Reply("S1 X M J(10) r", "4321", "3.6864MHz"));
  ASSERT_EQ(d->Frequency, 3u);
  for (int32_t mode : {smSampleSole, smSampleDual, smMeasure, smMeasureAlias, smSampleBuff}) {
    EXPECT_EQ(ErrorOf([&] { d->SetMode(mode); }), "Oscillator frequency 3 Hz is too low for sampling") << mode;
    EXPECT_EQ(d->Mode, smNone);
    EXPECT_EQ(d->ModeClass, &TSamplerMode::Instance());
    EXPECT_EQ(d->ModeLetter, 0);
    EXPECT_EQ(d->Rate, 0u);
  }
  EXPECT_EQ(ErrorOf([&] { d->SetMode(3); }), "E01 - Invalid sampler mode: 3");  // an unknown mode stays E01

  // A frequency lowered behind a selected mode's back is refused too, not divided by.
  test::Detected late = Detect(kFull);
  late->SetMode(smSampleSole);
  late->Frequency = 0;
  EXPECT_NE(ErrorOf([&] { late->SetRate(1000); }), "<no error>");
  late->Frequency = 3;
  late->BaudRate = 115200;
  EXPECT_TRUE(RatesOf(*late).empty());
  late->Mode = smNone;
  late->ModeClass = &TMeasure::Instance();
  EXPECT_TRUE(RatesOf(*late).empty());

  test::Detected slowest = Detect(Reply("M", "4321", "4"));
  slowest->SetMode(smMeasure);
  ASSERT_EQ(RatesOf(*slowest).size(), 1u);
  EXPECT_EQ(RatesOf(*slowest)[0].label, "1000000000 ns/bit");
}

TEST(ProtocolModes, TimingModeHasOneRate) {
  test::Detected d = Detect(kFull);
  d->SetMode(smMeasure);
  EXPECT_EQ(d->Rate, 5000000u);
  const std::vector<Rate> rates = RatesOf(*d);
  ASSERT_EQ(rates.size(), 1u);
  EXPECT_EQ(rates[0].label, "200 ns/bit");
  EXPECT_EQ(rates[0].rate, 5000000);
  EXPECT_EQ(ErrorOf([&] { d->SetRate(1000); }), "E05 - Rate 1000 is not supported in the selected mode");
  EXPECT_EQ(d->Rate, 5000000u);
  d->SetRate(5000000);
  EXPECT_EQ(d->Rate, 5000000u);
  EXPECT_FALSE(d->ModeClass->NeedsRateCommand());
}

TEST(ProtocolModes, ModeFourBehavesAsFive) {
  test::Detected d = Detect(kFull);
  d->SetMode(smSampleSole);
  d->SetRate(1000000);
  d->SetMode(smMeasureAlias);
  EXPECT_EQ(d->Mode, 4);
  EXPECT_EQ(d->ModeClass, &TMeasure::Instance());
  EXPECT_EQ(d->ModeLetter, 'M');
  EXPECT_EQ(d->Rate, 5000000u);
  EXPECT_EQ(d->RateDivisor, 0);  // set through the sole-channel class on the way
}

TEST(ProtocolModes, UnknownOrUnlistedModesRaiseE01AndChangeNothing) {
  test::Detected d = Detect(Reply("S r"));
  d->SetMode(smSampleSole);
  d->SetRate(1000000);
  for (int32_t mode : {3, 6, 0, -1, smSampleDual, smMeasure, smSampleBuff}) {
    EXPECT_EQ(ErrorOf([&] { d->SetMode(mode); }), "E01 - Invalid sampler mode: " + std::to_string(mode));
    EXPECT_EQ(d->Mode, smSampleSole);
    EXPECT_EQ(d->ModeClass, &TSampleSole::Instance());
    EXPECT_EQ(d->Rate, 1000000u);
  }
}

TEST(ProtocolModes, ModeListFollowsTheLettersInFixedOrder) {
  std::vector<std::pair<std::string, int32_t>> modes;
  Detect(Reply("J(10) M X S"))->EnumModeItems([](void* user, const std::string& label, int32_t mode) {
    static_cast<std::vector<std::pair<std::string, int32_t>>*>(user)->emplace_back(label, mode);
  }, &modes);
  const std::vector<std::pair<std::string, int32_t>> expected = {{"Sampling &sole channel", 1},
                                                                 {"Sampling &dual channel", 2},
                                                                 {"&Timing sole channel (16-bit)", 5},
                                                                 {"&Buffering 2048 samples", 32769}};
  EXPECT_EQ(modes, expected);
}

TEST(ProtocolModes, LimitedRateListsAt115200Baud) {
  test::Detected d = Detect(kFull);
  d->BaudRate = 115200;
  d->SetMode(smSampleSole);
  std::vector<Rate> sole = RatesOf(*d);
  ASSERT_EQ(sole.size(), 202u);
  EXPECT_EQ(sole.front().rate, 20000000 / 220);
  EXPECT_EQ(sole.front().label, "90909/s");
  EXPECT_EQ(sole.back().rate, 20000000 / 1024);

  d->SetMode(smSampleDual);
  std::vector<Rate> dual = RatesOf(*d);
  ASSERT_EQ(dual.size(), 148u);
  EXPECT_EQ(dual.front().rate, 45871);  // the first divisor rate below 46080
  for (size_t i = 1; i < dual.size(); ++i) EXPECT_LE(dual[i].rate, dual[i - 1].rate);

  d->BaudRate = 0;
  EXPECT_TRUE(RatesOf(*d).empty());
  d->SetMode(smSampleSole);
  EXPECT_TRUE(RatesOf(*d).empty());
}

TEST(ProtocolModes, LimitIsHalvedBelowAFifthOfTheInstructionClock) {
  test::Detected d = Detect(Reply("S", "4321", "1MHz"));  // Frequency div 20 = 50000
  d->BaudRate = 115200;                                   // 92160 -> 46080
  d->SetMode(smSampleSole);
  const std::vector<Rate> rates = RatesOf(*d);
  ASSERT_FALSE(rates.empty());
  EXPECT_EQ(rates.front().rate, 1000000 / 24);  // 41666, the first below 46080
}

TEST(ProtocolModes, BufferingListsAllDivisors) {
  test::Detected d = Detect(kFull);
  d->SetMode(smSampleBuff);
  const std::vector<Rate> rates = RatesOf(*d);
  ASSERT_EQ(rates.size(), 256u);
  EXPECT_EQ(rates.front().rate, 5000000);
  EXPECT_EQ(rates.back().rate, 19531);
}

TEST(ProtocolModes, ReadinessAfterEachActivation) {
  test::Detected d = Detect(kFull);
  EXPECT_EQ(d->GetReadiness(), SST_NO_MODE);
  d->SetMode(smSampleSole);
  EXPECT_EQ(d->GetReadiness(), SST_NO_RATE);
  d->SetRate(1000000);
  EXPECT_EQ(d->GetReadiness(), SST_NO_IDLE_TIME);
  d->Settings.IdleTime = 100;
  EXPECT_EQ(d->GetReadiness(), SST_READY);
  d->SetCapabilityBool(SCAP_STOP_ON_COUNT, true);
  EXPECT_EQ(d->GetReadiness(), SST_NO_SAMPLE_COUNT);
  d->SetCapabilityBool(SCAP_STOP_ON_COUNT, false);
  EXPECT_EQ(d->GetReadiness(), SST_NO_STOP_MODE);

  d->SetMode(smMeasure);
  EXPECT_EQ(d->GetReadiness(), SST_NO_SAMPLE_TIME);
  d->SetMode(smSampleBuff);
  EXPECT_EQ(d->GetReadiness(), SST_READY);

  test::Detected empty = Detect(Reply("J"));
  empty->SetMode(smSampleBuff);
  EXPECT_EQ(empty->Settings.SampleCount, 0);
  EXPECT_EQ(empty->GetReadiness(), SST_NO_SAMPLE_COUNT);
}

TEST(ProtocolModes, ActivationDefaults) {
  test::Detected d = Detect(kFull);
  d->Settings.IdleTime = 7;
  d->Settings.SampleTime = 9;
  d->SetMode(smSampleSole);  // S1: can start on activity
  EXPECT_EQ(d->Settings.StartMode, 1);
  EXPECT_EQ(d->Settings.StopMode, 1);
  EXPECT_EQ(d->Settings.IdleTime, 7);  // other settings unchanged
  d->SetRate(1000000);
  d->SetMode(smSampleDual);  // X: no trigger
  EXPECT_EQ(d->Settings.StartMode, 0);
  EXPECT_EQ(d->Rate, 0u);
  EXPECT_EQ(d->RateDivisor, 4);

  d->SetMode(smSampleBuff);
  EXPECT_EQ(d->Settings.StopMode, 2);
  EXPECT_EQ(d->Settings.SampleCount, 2048);
  EXPECT_EQ(d->Rate, 5000000u);
  EXPECT_EQ(d->RateDivisor, 0);
  d->SetRate(1000000);  // buffering accepts the divisor rates
  EXPECT_EQ(d->RateDivisor, 4);

  d->SetMode(smMeasure);
  EXPECT_EQ(d->Settings.StopMode, 3);
  EXPECT_EQ(d->Settings.IdleTime, 0);
  EXPECT_EQ(d->Settings.SampleCount, 0);
  EXPECT_EQ(d->Settings.SampleTime, 0);
  EXPECT_EQ(d->Rate, 5000000u);

  d->SetMode(smSampleSole);
  d->SetRate(1000000);
  d->Settings.StartMode = 0;
  d->SetMode(smSampleSole);  // selecting it again repeats the activation
  EXPECT_EQ(d->Settings.StartMode, 1);
  EXPECT_EQ(d->Rate, 0u);
}

// Availability per mode: pin 0 exists, pin 1 does not; S and M can start on activity, X and J cannot.
TEST(ProtocolModes, CapabilityAvailabilityPerMode) {
  const LONG ids[] = {80, 81, 100, 101, 110, 111, 112, 113, 114, 115, 200, 201, 99};
  struct Column {
    int32_t mode;
    uint8_t stopMode;
    const char* expected;  // one character per id: 1 available
  } columns[] = {
      {smNone, 0, "0011101010100"},      {smSampleSole, 1, "1011111010100"},
      {smSampleSole, 2, "1011101110100"}, {smSampleSole, 3, "1011101011100"},
      {smSampleDual, 1, "1010111010100"}, {smSampleBuff, 2, "1010000000100"},
      {smMeasure, 1, "1011110010100"},   {smMeasure, 3, "1011100011100"},
  };
  for (const Column& c : columns) {
    test::Detected d = Detect(Reply("S1 X M1 J(10) r o1"));
    if (c.mode != smNone) d->SetMode(c.mode);
    d->Settings.StopMode = c.stopMode;
    for (size_t i = 0; i < std::size(ids); ++i)
      EXPECT_EQ(d->IsCapabilityAvailable(ids[i]), c.expected[i] == '1')
          << "mode " << c.mode << " stop " << int(c.stopMode) << " id " << ids[i];
    d->Settings.UseCustomCommand = true;
    EXPECT_TRUE(d->IsCapabilityAvailable(SCAP_COMMAND));
  }
}

}  // namespace
}  // namespace protocol
