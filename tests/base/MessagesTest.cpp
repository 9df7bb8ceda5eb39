// The catalogue's wording is what hosts match on; these pin the texts that are easy to "fix" by mistake.
#include <cctype>
#include <set>

#include <gtest/gtest.h>

#include "messages/SMessages.h"

using messages::FormatMsg;
using messages::Msg;

TEST(Catalogue, KeepsTheSystemsOwnMisspellings) {
  EXPECT_EQ(FormatMsg(Msg::CapabilityAccess, 111, "BOOL"), "E08 - Capability 111 can non be accessed as BOOL");
  EXPECT_EQ(messages::LoadStr(Msg::LblStopOnCount), "Stop after number of samples recieved");
  EXPECT_EQ(messages::LoadStr(Msg::LblSampleCount), "Samples to recieve:");
  EXPECT_EQ(messages::LoadStr(Msg::LblTestReceiver), "Test RS232 reciever");
  EXPECT_EQ(messages::LoadStr(Msg::LblStartImmediately), "Start sampling immediatelly");
  EXPECT_EQ(messages::LoadStr(Msg::LblCustomCommand), "Excecute custom command");
  EXPECT_EQ(messages::LoadStr(Msg::UnbindWhileSampling), "E12 - Can not unbound channel - sampling in progress");
  EXPECT_EQ(FormatMsg(Msg::DiagnotorNotValid, 201), "E21 - Diagnotor 201 is not valid");
}

TEST(Catalogue, HardwareTextsGoOnASecondLine) {
  EXPECT_EQ(FormatMsg(Msg::HardwareFatal, "N1"), "E13 - Hardware has reported unrecoverable error:\r\nN1");
  EXPECT_EQ(FormatMsg(Msg::CommandFailed, "Q3 bad"), "E14 - Command has failed with error:\r\nQ3 bad");
}

TEST(Catalogue, ErrorCodesRunFromE01ToE24WithoutE19) {
  std::set<int> codes;
  for (int i = 0; i < static_cast<int>(Msg::Count_); ++i) {
    std::string t = messages::DefaultText(static_cast<Msg>(i));
    if (t.size() > 6 && t[0] == 'E' && isdigit(t[1]) && isdigit(t[2]) && t.compare(3, 3, " - ") == 0)
      codes.insert(std::stoi(t.substr(1, 2)));
  }
  std::set<int> expected;
  for (int c = 1; c <= 24; ++c)
    if (c != 19) expected.insert(c);
  for (int c : expected) EXPECT_TRUE(codes.count(c)) << "E" << c;
  EXPECT_FALSE(codes.count(19));
}

TEST(Catalogue, FormatsWithExactlyTheListedArguments) {
  EXPECT_EQ(FormatMsg(Msg::IndexOutOfBounds, 0, 0, -1), "E11 - Index (0) out of bounds [0..-1]");
  EXPECT_EQ(FormatMsg(Msg::StOpen, 115200), "Open (max baud rate is 115200)");
  EXPECT_EQ(FormatMsg(Msg::StLastCommandFailed, "E23 - Hardware did not respond"),
            "Last command failed. E23 - Hardware did not respond");
  EXPECT_EQ(FormatMsg(Msg::LblModeBuffering, 2048), "&Buffering 2048 samples");
}
