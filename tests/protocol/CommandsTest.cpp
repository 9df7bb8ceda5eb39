// Command texts composed by the compatible adapter and the judgement of the
// device's replies to them.
#include <gtest/gtest.h>

#include <vector>

#include "Devices.h"

namespace protocol {
namespace {

using test::Detect;
using test::ErrorOf;
using test::Reply;

// r present, divisor 4, pins 0 and 1 of pin letter O, sole channel starting on activity.
test::Detected StartExample(const std::string& byteOrder) {
  test::Detected d = Detect(Reply("S1 r O3", byteOrder));
  d->SetMode(smSampleSole);
  d->SetRate(1000000);
  d->SetCapabilityBool(80, true);
  d->SetCapabilityBool(81, true);
  return d;
}

TEST(ProtocolCommands, StartCommandInBothByteOrders) {
  EXPECT_EQ(StartExample("4321")->BuildStartCommand(skCarriageReturn), "r04\rO03\rS1\r");
  EXPECT_EQ(StartExample("1234")->BuildStartCommand(skCarriageReturn), "r40\rO30\rS1\r");
  EXPECT_EQ(StartExample("4321")->BuildStartCommand(skSemicolon), "r04;O03;S1;");
}

TEST(ProtocolCommands, StartCommandLeavesOutEmptyParts) {
  test::Detected noRate = Detect(Reply("S X"));
  noRate->SetMode(smSampleDual);
  noRate->SetCapabilityBool(80, true);  // no pin letter: the mask is not sent
  EXPECT_EQ(noRate->BuildStartCommand(skCarriageReturn), "X0\r");

  test::Detected none = Detect(Reply("S r"));
  EXPECT_EQ(none->BuildStartCommand(skSemicolon), "");  // no mode, no rate part

  test::Detected buffered = Detect(Reply("J1(10) r"));
  buffered->SetMode(smSampleBuff);
  EXPECT_EQ(buffered->BuildStartCommand(skCarriageReturn), "r00\rJ1\r");
}

TEST(ProtocolCommands, TimingCommandCarriesTheBaudIndexAndTheTrigger) {
  test::Detected d = Detect(Reply("M1 r"));
  d->SetMode(smMeasure);
  d->BaudIndex = 3;
  EXPECT_EQ(d->BuildStartCommand(skCarriageReturn), "M31\r");  // no rate command in timing mode
  d->SetCapabilityBool(SCAP_START_IMMEDIATELY, true);
  EXPECT_EQ(d->ModeClass->GetModeCommand(*d), "M30");
  d->ByteOrder = 1234;
  d->BaudIndex = 0x1F;  // only the low nibble fits
  EXPECT_EQ(d->ModeClass->GetModeCommand(*d), "M0F");
}

TEST(ProtocolCommands, RateCommand) {
  test::Detected withR = Detect(Reply("S r"));
  withR->SetMode(smSampleSole);
  withR->SetRate(300000);
  EXPECT_EQ(withR->GetRateCommand(false), "r0F\r");
  EXPECT_EQ(withR->GetRateCommand(true), "r0F");

  test::Detected withoutR = Detect(Reply("S"));
  EXPECT_EQ(withoutR->GetRateCommand(false), "\r");
  EXPECT_EQ(withoutR->GetRateCommand(true), "");
}

TEST(ProtocolCommands, PinsComeFromLowerCaseOWhenBothAreListed) {
  test::Detected d = Detect(Reply("S o9(0B) O3(0C)"));
  std::vector<std::pair<std::string, int32_t>> pins;
  d->EnumPinCapabilities([](void* user, const std::string& label, const SAMPLERCAPABILITYINFO& item, int32_t id) {
    EXPECT_EQ(item.Id, 80);
    EXPECT_EQ(item.Value, 0);
    EXPECT_EQ(item.Flags, 0x201);
    EXPECT_EQ(item.Group, 80);
    EXPECT_EQ(item.Name, nullptr);
    static_cast<std::vector<std::pair<std::string, int32_t>>*>(user)->emplace_back(label, id);
  }, &pins);
  const std::vector<std::pair<std::string, int32_t>> expected = {{"Actuate pin B0 on start", 80},
                                                                 {"Actuate pin B3 on start", 83}};
  EXPECT_EQ(pins, expected);
  EXPECT_TRUE(d->IsPinUsable(83));
  EXPECT_FALSE(d->IsPinUsable(81));
  EXPECT_FALSE(d->IsPinUsable(88));
  EXPECT_FALSE(d->IsPinUsable(79));

  d->SetMode(smSampleSole);
  d->SetCapabilityBool(83, true);
  EXPECT_EQ(d->BuildStartCommand(skSemicolon), "o08;S0;");
}

TEST(ProtocolCommands, PinPortNames) {
  EXPECT_EQ(Detect(Reply("o1"))->GetPinPortName(), "");
  EXPECT_EQ(Detect(Reply("o1(0A)"))->GetPinPortName(), "A");
  EXPECT_EQ(Detect(Reply("o1(0F)"))->GetPinPortName(), "F");
  EXPECT_EQ(Detect(Reply("o1(1F)"))->GetPinPortName(), "GP1f");
  EXPECT_EQ(Detect(Reply("S"))->GetPinPortName(), "");

  std::string label;
  Detect(Reply("o1(05)"))->EnumPinCapabilities(
      [&](void*, const std::string& l, const SAMPLERCAPABILITYINFO&, int32_t) { label = l; }, nullptr);
  EXPECT_EQ(label, "Actuate pin GP50 on start");
}

TEST(ProtocolCommands, CustomCommandShowsTheGeneratedCommandWhileOff) {
  test::Detected d = StartExample("4321");
  d->SetCapabilityBool(80, false);
  d->SetCapabilityBool(81, false);
  EXPECT_EQ(d->GetCapabilityText(SCAP_COMMAND), "r04;S1;");
  EXPECT_EQ(d->Settings.CustomCommand, "r04;S1;");
  EXPECT_EQ(d->GetCapabilityText(SCAP_CUSTOM_COMMAND), "");

  d->SetCapabilityText(SCAP_COMMAND, "S0\r");
  EXPECT_TRUE(d->Settings.UseCustomCommand);
  EXPECT_EQ(d->GetCapabilityText(SCAP_CUSTOM_COMMAND), "ON");
  d->SetRate(300000);
  EXPECT_EQ(d->GetCapabilityText(SCAP_COMMAND), "S0\r");  // no longer regenerated
  d->SetCapabilityText(SCAP_COMMAND, "");
  EXPECT_FALSE(d->Settings.UseCustomCommand);
  EXPECT_EQ(d->GetCapabilityText(SCAP_COMMAND), "r0F;S1;");

  d->SetCapabilityText(SCAP_CUSTOM_COMMAND, "on");
  EXPECT_TRUE(d->Settings.UseCustomCommand);
  d->SetCapabilityText(SCAP_CUSTOM_COMMAND, "yes");
  EXPECT_FALSE(d->Settings.UseCustomCommand);
}

TEST(ProtocolCommands, CommandResponseKeepsTheLastY4) {
  test::Detected d = Detect(Reply("S"));
  EXPECT_EQ(d->ParseCommandResponse("Y4:115200,n,8,1\r\n"), "115200,n,8,1");
  EXPECT_EQ(d->ParseCommandResponse(".Y4: a \r\nQUELM sampler\r\nY4:b\r\n"), "b");
  EXPECT_EQ(d->ParseCommandResponse(""), "");
  EXPECT_EQ(d->ParseCommandResponse("\r\n\n"), "");
}

TEST(ProtocolCommands, CommandResponseErrors) {
  test::Detected d = Detect(Reply("S"));
  EXPECT_EQ(ErrorOf([&] { d->ParseCommandResponse("Y4:x\r\nQ3 busy\r\n"); }),
            "E14 - Command has failed with error:\r\nQ3 busy");
  EXPECT_EQ(ErrorOf([&] { d->ParseCommandResponse("N2 broken\r\nY4:x"); }),
            "E13 - Hardware has reported unrecoverable error:\r\nN2 broken");
  EXPECT_EQ(ErrorOf([&] { d->ParseCommandResponse("Y4:x\r\nZ\r\n"); }), "E17 - Unexpected response: Y4:x\r\nZ\r\n");
  EXPECT_EQ(ErrorOf([&] { d->ParseCommandResponse("N\r\n"); }), "E17 - Unexpected response: N\r\n");
  EXPECT_EQ(ErrorOf([&] { d->ParseCommandResponse("Y1:4321"); }), "E17 - Unexpected response: Y1:4321");
}

TEST(ProtocolCommands, ResponseOkUnlessAnErrorLine) {
  test::Detected d = Detect(Reply("S"));
  for (const char* ok : {"", "  \r\n", "Y4:9600", "N", "Q", "OK", "NX", "Qa"}) EXPECT_TRUE(d->IsResponseOk(ok)) << ok;
  for (const char* bad : {"N1 x", "Q5", ".Q9", "  N0\r\n", "Q0 rate?\r\nY4:x"}) EXPECT_FALSE(d->IsResponseOk(bad)) << bad;
  EXPECT_FALSE(d->IsResponseOk(std::string("N\0x", 3)));
  EXPECT_FALSE(d->IsResponseOk(std::string("Q\0x", 3)));
}

TEST(ProtocolCommands, ReceiverTestItemAndCommand) {
  test::Detected d = Detect(Reply("S U0F(7)"));
  int calls = 0;
  d->EnumDiagnotorItems([&](void*, const std::string& name, const std::string& description, bool flag, int32_t id) {
    ++calls;
    EXPECT_EQ(name, "Test RS232 reciever");
    EXPECT_EQ(description,
              "PIC will send sequence of characters using various baudrates to determine maximal reliable baud rate");
    EXPECT_TRUE(flag);
    EXPECT_EQ(id, 200);
  }, nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(d->BuildDiagnotorCommand(0, 1), "U10\r");
  EXPECT_EQ(d->BuildDiagnotorCommand(0xFF, 2), "U2F\r");
  EXPECT_EQ(d->BuildDiagnotorCommand(0x03, 16), "U03\r");  // step 16 wraps to 0
  d->ByteOrder = 1234;
  EXPECT_EQ(d->BuildDiagnotorCommand(0, 1), "U01\r");

  calls = 0;
  Detect(Reply("S"))->EnumDiagnotorItems([&](void*, const std::string&, const std::string&, bool, int32_t) { ++calls; },
                                         nullptr);
  EXPECT_EQ(calls, 0);
}

TEST(ProtocolCommands, EmptyCallbacksAreIgnored) {
  test::Detected d = Detect(Reply("S1 X M J(10) U o1"));
  d->SetMode(smSampleSole);
  d->BaudRate = 115200;
  // An empty std::function would throw bad_function_call if it were called.
  EXPECT_NO_THROW(d->EnumRateItems(nullptr, nullptr));
  EXPECT_NO_THROW(d->EnumModeItems(nullptr, nullptr));
  EXPECT_NO_THROW(d->EnumPinCapabilities(nullptr, nullptr));
  EXPECT_NO_THROW(d->EnumDiagnotorItems(nullptr, nullptr));
}

}  // namespace
}  // namespace protocol
