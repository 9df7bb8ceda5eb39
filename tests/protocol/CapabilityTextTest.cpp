// Capability values as text, both ways, through the adapter and its mode:
// switches, stop values with their 64-bit products, pins, and E09.
#include <gtest/gtest.h>

#include "Devices.h"

namespace protocol {
namespace {

using test::Detect;
using test::ErrorOf;
using test::Reply;

const std::string kDevice = Reply("S1 X M J(10) r o3");

TEST(ProtocolCapabilityTexts, SwitchesReadAsOnAndAreSetIgnoringCase) {
  test::Detected d = Detect(kDevice);
  d->SetMode(smSampleSole);  // start on activity, stop on idle
  EXPECT_EQ(d->GetCapabilityText(SCAP_START_IMMEDIATELY), "");
  EXPECT_EQ(d->GetCapabilityText(SCAP_START_ON_ACTIVITY), "ON");
  EXPECT_EQ(d->GetCapabilityText(SCAP_STOP_ON_IDLE), "ON");
  EXPECT_EQ(d->GetCapabilityText(SCAP_STOP_ON_COUNT), "");

  d->SetCapabilityText(SCAP_START_IMMEDIATELY, "on");
  EXPECT_EQ(d->Settings.StartMode, 0);
  d->SetCapabilityText(SCAP_STOP_ON_TIMER, "On");
  EXPECT_EQ(d->Settings.StopMode, 3);
  EXPECT_EQ(d->GetCapabilityText(SCAP_STOP_ON_TIMER), "ON");
  d->SetCapabilityText(SCAP_STOP_ON_IDLE, "off");  // off clears whichever stop option
  EXPECT_EQ(d->Settings.StopMode, 0);
  d->SetCapabilityText(SCAP_START_IMMEDIATELY, " ON");  // not exactly ON: off
  EXPECT_EQ(d->Settings.StartMode, 1);
}

TEST(ProtocolCapabilityTexts, PinsReadAsOnAndAreSetFromText) {
  test::Detected d = Detect(kDevice);
  d->SetCapabilityText(81, "oN");
  EXPECT_EQ(d->PinMask, 0x02);
  EXPECT_EQ(d->GetCapabilityText(81), "ON");
  EXPECT_EQ(d->GetCapabilityText(80), "");
  EXPECT_TRUE(d->GetCapabilityBool(81));
  d->SetCapabilityText(81, "");
  EXPECT_EQ(d->PinMask, 0);
  d->SetCapabilityBool(87, true);
  EXPECT_EQ(d->PinMask, 0x80);
  d->SetCapabilityBool(88, true);  // not a pin
  EXPECT_EQ(d->PinMask, 0x80);
}

TEST(ProtocolCapabilityTexts, StopValuesOnlyForTheirStopMode) {
  test::Detected d = Detect(kDevice);
  d->SetMode(smSampleSole);
  d->SetCapabilityText(SCAP_IDLE_PERIOD, "250");
  d->SetCapabilityText(SCAP_SAMPLE_COUNT, "-3");
  d->SetCapabilityText(SCAP_SAMPLING_TIMER, "500");
  EXPECT_EQ(d->Settings.IdleTime, 250);
  EXPECT_EQ(d->Settings.SampleCount, -3);
  EXPECT_EQ(d->Settings.SampleTime, 500);
  EXPECT_EQ(d->GetCapabilityText(SCAP_IDLE_PERIOD), "250");
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLE_COUNT), "");  // no rate yet, stop mode 1
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLING_TIMER), "");
  d->Settings.StopMode = 0;
  EXPECT_EQ(d->GetCapabilityText(SCAP_IDLE_PERIOD), "");
}

TEST(ProtocolCapabilityTexts, CountAndTimerAreDerivedFromEachOther) {
  test::Detected d = Detect(Reply("S r", "4321", "1MHz"));
  d->SetMode(smSampleSole);
  d->SetRate(1000);
  ASSERT_EQ(d->Rate, 1000u);
  d->SetCapabilityBool(SCAP_STOP_ON_TIMER, true);
  d->SetCapabilityText(SCAP_SAMPLING_TIMER, "500");
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLE_COUNT), "500");
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLING_TIMER), "500");
  d->SetCapabilityBool(SCAP_STOP_ON_COUNT, true);
  d->SetCapabilityText(SCAP_SAMPLE_COUNT, "250");
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLING_TIMER), "250");
  d->SetRate(0);
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLING_TIMER), "");  // no rate: no time
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLE_COUNT), "250");
}

TEST(ProtocolCapabilityTexts, DerivedValuesAreComputedIn64Bits) {
  test::Detected d = Detect(kDevice);
  d->SetMode(smSampleSole);
  d->SetRate(5000000);
  d->Settings.StopMode = 3;
  d->Settings.SampleTime = 2000000;
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLE_COUNT), "10000000000");
  d->Settings.SampleTime = -1000;
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLE_COUNT), "-5000000");

  d->SetRate(19531);
  ASSERT_EQ(d->Rate, 19531u);
  d->Settings.StopMode = 2;
  d->Settings.SampleCount = 2147483647;
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLING_TIMER), "109952570");
}

TEST(ProtocolCapabilityTexts, TimingModeHasNoCountOption) {
  test::Detected d = Detect(kDevice);
  d->SetMode(smMeasure);
  d->Settings.StopMode = 2;
  d->Settings.SampleCount = 10000000;
  EXPECT_EQ(d->GetCapabilityText(SCAP_STOP_ON_COUNT), "");
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLE_COUNT), "");
  d->SetCapabilityText(SCAP_SAMPLE_COUNT, "9");
  d->SetCapabilityText(SCAP_STOP_ON_COUNT, "");
  EXPECT_EQ(d->Settings.SampleCount, 10000000);
  EXPECT_EQ(d->Settings.StopMode, 2);
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLING_TIMER), "2000");  // the count's time at 5000000/s

  d->SetCapabilityText(SCAP_STOP_ON_TIMER, "ON");
  d->SetCapabilityText(SCAP_SAMPLING_TIMER, "700");
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLING_TIMER), "700");
  EXPECT_EQ(d->GetCapabilityText(SCAP_SAMPLE_COUNT), "");
}

TEST(ProtocolCapabilityTexts, BadNumbersRaiseE09AndChangeNothing) {
  test::Detected d = Detect(kDevice);
  d->SetMode(smSampleSole);
  d->Settings.IdleTime = 42;
  EXPECT_EQ(ErrorOf([&] { d->SetCapabilityText(SCAP_IDLE_PERIOD, "12x"); }),
            "E09 - '12x' is not a valid integer value 12x");
  EXPECT_EQ(ErrorOf([&] { d->SetCapabilityText(SCAP_SAMPLE_COUNT, ""); }), "E09 - '' is not a valid integer value ");
  EXPECT_EQ(ErrorOf([&] { d->SetCapabilityText(SCAP_SAMPLING_TIMER, "99999999999"); }),
            "E09 - '99999999999' is not a valid integer value 99999999999");
  EXPECT_EQ(d->Settings.IdleTime, 42);
  EXPECT_EQ(d->Settings.SampleCount, 0);
  EXPECT_EQ(d->Settings.SampleTime, 0);
}

TEST(ProtocolCapabilityTexts, WithoutAModeOnlyPinsAndTheCustomCommandHaveText) {
  test::Detected d = Detect(kDevice);
  EXPECT_EQ(d->GetCapabilityText(SCAP_START_IMMEDIATELY), "");
  EXPECT_NO_THROW(d->SetCapabilityText(SCAP_IDLE_PERIOD, "bad"));
  d->SetCapabilityText(SCAP_STOP_ON_IDLE, "ON");
  EXPECT_EQ(d->Settings.StopMode, 0);
  d->SetCapabilityText(80, "ON");
  EXPECT_EQ(d->GetCapabilityText(80), "ON");

  d->SetMode(smSampleSole);
  EXPECT_EQ(d->GetCapabilityText(99), "");
  d->SetCapabilityText(99, "ON");
  EXPECT_EQ(d->GetCapabilityText(99), "");
}

}  // namespace
}  // namespace protocol
