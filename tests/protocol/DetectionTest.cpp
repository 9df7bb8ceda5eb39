// Hardware detection from the identification reply, and the behaviour of the
// base adapter that unknown hardware gets.
#include <gtest/gtest.h>

#include "Devices.h"

namespace protocol {
namespace {

using test::Detect;
using test::ErrorOf;
using test::Reply;

TEST(ProtocolDetection, EachBannerSelectsItsKind) {
  const struct {
    const char* banner;
    uint8_t kind;
  } cases[] = {{"QUELM 2.0", hkQUELM}, {"VOKTAR x", hkVOKTAR}, {"DELMORA", hkDELMORA}, {"MIRSOL", hkMIRSOL}};
  for (const auto& c : cases) {
    auto a = TSampler::CreateAdapter(std::string(c.banner) + "\r\nY2:S\r\n");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetHardwareKind(), c.kind) << c.banner;
    EXPECT_NE(dynamic_cast<TCompatibleSampler*>(a.get()), nullptr) << c.banner;
  }
  EXPECT_NE(dynamic_cast<TQUELMSampler*>(TSampler::CreateAdapter("QUELM\r\n").get()), nullptr);
  EXPECT_NE(dynamic_cast<TMIRSOLSampler*>(TSampler::CreateAdapter("MIRSOL\r\n").get()), nullptr);
}

TEST(ProtocolDetection, TheFirstMatchingLineDecides) {
  auto compatibleFirst = TSampler::CreateAdapter("hello\r\nY2-C\r\nQUELM sampler\r\nY2:S\r\n");
  ASSERT_NE(dynamic_cast<TCompatibleSampler*>(compatibleFirst.get()), nullptr);
  EXPECT_EQ(dynamic_cast<TQUELMSampler*>(compatibleFirst.get()), nullptr);
  EXPECT_EQ(compatibleFirst->GetHardwareKind(), hkUnknown);

  auto bannerFirst = TSampler::CreateAdapter("VOKTAR sampler\r\nY2-C\r\nY2:S\r\n");
  EXPECT_EQ(bannerFirst->GetHardwareKind(), hkVOKTAR);
}

TEST(ProtocolDetection, NoMatchGivesTheBaseAdapter) {
  for (const char* reply : {".QUELM sampler\r\nY2:S1\r\n", "quelm\r\n", "\r\n\r\n", "Y2:S1X1\r\n"}) {
    auto a = TSampler::CreateAdapter(reply);
    ASSERT_NE(a, nullptr) << reply;
    EXPECT_EQ(dynamic_cast<TCompatibleSampler*>(a.get()), nullptr) << reply;
    EXPECT_EQ(a->GetHardwareKind(), hkUnknown);
  }
  EXPECT_EQ(TSampler::CreateAdapter("\r\n\r\n")->Identity, "");
  EXPECT_EQ(TSampler::CreateAdapter(""), nullptr);
}

TEST(ProtocolDetection, IdentityIsTheFirstLineOfNineCharacters) {
  EXPECT_EQ(TSampler::CreateAdapter("QUELM\r\nY1:4321\r\nPIC16 v2.1\r\nanother line\r\n")->Identity, "PIC16 v2.1");
  EXPECT_EQ(TSampler::CreateAdapter("QUELM\r\nY1:4321\r\nY2:S1X1\r\n")->Identity, "");
  EXPECT_EQ(TSampler::CreateAdapter("123456789")->Identity, "123456789");
}

TEST(ProtocolDetection, AnNLineRaisesExactlyThatLine) {
  EXPECT_EQ(ErrorOf([] { TSampler::CreateAdapter("QUELM\r\nY1:4321\r\nN1\r\nY2:S\r\n"); }), "N1");
  EXPECT_EQ(ErrorOf([] { TSampler::CreateAdapter("Y2-C\r\n.N7 oscillator failed \r\n"); }),
            ".N7 oscillator failed ");
  EXPECT_EQ(ErrorOf([] { TSampler::CreateAdapter("QUELM\r\nN-\r\n"); }), "N-");
  // A lone N, or N followed by something above '9', is no error line.
  EXPECT_EQ(ErrorOf([] { TSampler::CreateAdapter("QUELM\r\nN\r\nNo:\r\n"); }), "<no error>");
  // Unknown hardware is not asked about its lines.
  EXPECT_EQ(ErrorOf([] { TSampler::CreateAdapter("hello\r\nN1\r\n"); }), "<no error>");
}

TEST(ProtocolDetection, QLinesAreTolerated) {
  test::Detected d = Detect("QUELM\r\nQ3 unknown command\r\nY2:S1\r\nQ\r\n");
  EXPECT_TRUE(d->IsPresent('S'));
}

TEST(ProtocolDetection, RepliesFillByteOrderCapabilitiesAndFrequency) {
  test::Detected d = Detect("DELMORA\r\nY1:2143\r\nY2:X\r\nY3:4 MHz\r\nY2:S1o3(0B)\r\n");
  EXPECT_EQ(d->ByteOrder, 2143);
  EXPECT_EQ(d->Frequency, 4000000u);
  EXPECT_FALSE(d->IsPresent('X'));  // a later Y2 replaces an earlier one
  ASSERT_EQ(d->Capabilities.size(), 2u);
  EXPECT_EQ(d->PinLetter, 'o');
  EXPECT_EQ(d->GetCapabilityInfo('o'), (TCapabilityInfo{'o', 1, 3, 0x0B}));
  EXPECT_EQ(d->GetCapabilityInfo('Z'), (TCapabilityInfo{'Z', 0, 0, 0}));

  test::Detected defaults = Detect("Y2-C\r\n");
  EXPECT_EQ(defaults->ByteOrder, 1234);
  EXPECT_EQ(defaults->Frequency, 10000000u);
  EXPECT_TRUE(defaults->Capabilities.empty());
  EXPECT_EQ(defaults->PinLetter, 0);
  EXPECT_EQ(defaults->GetReadiness(), SST_NO_MODE);
  EXPECT_EQ(defaults->ModeClass, &TSamplerMode::Instance());
}

TEST(ProtocolDetection, AByteOrderAfterTheCapabilitiesGovernsTheirDigits) {
  EXPECT_EQ(Detect("QUELM\r\nY2:J(10)\r\nY1:4321\r\n")->GetBufferSize(), 2048);
  EXPECT_EQ(Detect("QUELM\r\nY2:J(10)\r\n")->GetBufferSize(), 128);
  EXPECT_EQ(Detect("QUELM\r\nY2:S\r\n")->GetBufferSize(), 0);
}

TEST(ProtocolDetection, PinLetterPrefersLowerCase) {
  EXPECT_EQ(Detect(Reply("O3 o1"))->PinLetter, 'o');
  EXPECT_EQ(Detect(Reply("S O3"))->PinLetter, 'O');
}

TEST(ProtocolDetection, BaseAdapterKeepsSettingsWithoutChecks) {
  auto a = TSampler::CreateAdapter("some device 1.0\r\n");
  a->SetMode(77);
  a->SetRate(123);
  EXPECT_EQ(a->Mode, 77);
  EXPECT_EQ(a->Rate, 123u);
  EXPECT_EQ(a->GetReadiness(), SST_READY);
  EXPECT_EQ(a->GetRateCommand(false), "");
  EXPECT_FALSE(a->IsResponseOk(""));
  EXPECT_EQ(a->GetBufferSize(), 0);
  EXPECT_EQ(a->GetCapabilityInfo('S'), (TCapabilityInfo{'S', 0, 0, 0}));
  EXPECT_EQ(a->GetCapabilityText(SCAP_COMMAND), "");
  EXPECT_TRUE(a->SupportsCapability(12345));

  const std::string e18 = "E18 - Capability not implemented";
  EXPECT_EQ(ErrorOf([&] { a->BuildStartCommand(skCarriageReturn); }), e18);
  EXPECT_EQ(ErrorOf([&] { a->BuildDiagnotorCommand(0, 1); }), e18);
  EXPECT_EQ(ErrorOf([&] { a->ParseCommandResponse("Y4:x"); }), e18);

  int calls = 0;
  a->EnumModeItems([&](void*, const std::string&, int32_t) { ++calls; }, nullptr);
  a->EnumRateItems([&](void*, const std::string&, int32_t) { ++calls; }, nullptr);
  a->EnumPinCapabilities([&](void*, const std::string&, const SAMPLERCAPABILITYINFO&, int32_t) { ++calls; }, nullptr);
  a->EnumDiagnotorItems([&](void*, const std::string&, const std::string&, bool, int32_t) { ++calls; }, nullptr);
  EXPECT_EQ(calls, 0);
}

TEST(ProtocolDetection, BaseAdapterSwitchesTheStartAndStopGroups) {
  TSampler a(AStrings{});
  EXPECT_TRUE(a.GetCapabilityBool(SCAP_START_IMMEDIATELY));
  a.SetCapabilityBool(SCAP_START_IMMEDIATELY, false);
  EXPECT_EQ(a.Settings.StartMode, 1);
  EXPECT_TRUE(a.GetCapabilityBool(SCAP_START_ON_ACTIVITY));
  a.SetCapabilityBool(SCAP_START_ON_ACTIVITY, false);
  EXPECT_EQ(a.Settings.StartMode, 0);

  a.SetCapabilityBool(SCAP_STOP_ON_TIMER, true);
  EXPECT_EQ(a.Settings.StopMode, 3);
  EXPECT_TRUE(a.GetCapabilityBool(SCAP_STOP_ON_TIMER));
  EXPECT_FALSE(a.GetCapabilityBool(SCAP_STOP_ON_COUNT));
  a.SetCapabilityBool(SCAP_STOP_ON_COUNT, false);  // clearing any stop option clears the stop mode
  EXPECT_EQ(a.Settings.StopMode, 0);
  a.SetCapabilityBool(SCAP_STOP_ON_IDLE, true);
  EXPECT_EQ(a.Settings.StopMode, 1);

  a.SetCapabilityBool(SCAP_CUSTOM_COMMAND, true);
  EXPECT_TRUE(a.Settings.UseCustomCommand);
  a.SetCapabilityBool(SCAP_IDLE_PERIOD, true);  // no on/off state: ignored
  a.SetCapabilityBool(SCAP_ACTUATE_PIN, true);
  EXPECT_FALSE(a.GetCapabilityBool(SCAP_IDLE_PERIOD));
  EXPECT_FALSE(a.GetCapabilityBool(SCAP_ACTUATE_PIN));
  EXPECT_EQ(a.Settings.StopMode, 1);
}

TEST(ProtocolDetection, BaseAdapterAnswersAvailabilityAsWithoutMode) {
  TSampler a(AStrings{});
  for (LONG id : {100, 101, 110, 112, 114, 200}) EXPECT_TRUE(a.IsCapabilityAvailable(id)) << id;
  for (LONG id : {80, 87, 111, 113, 115, 201, 99, 0}) EXPECT_FALSE(a.IsCapabilityAvailable(id)) << id;
  a.Settings.UseCustomCommand = true;
  EXPECT_TRUE(a.IsCapabilityAvailable(SCAP_COMMAND));
}

}  // namespace
}  // namespace protocol
