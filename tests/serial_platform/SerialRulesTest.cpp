// The shared serial rules as plain functions, for what no device shows well:
// exact microsecond deadlines, bytes older than the read, sums that overflow.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/SerialRules.h"

namespace {

using platform::Micros;
using platform::ParsePortName;
using platform::PlanRead;
using platform::ReadPlan;

constexpr Micros kStart = 1'000'000'000;  // any time well after the clock's origin
constexpr Micros kMs = 1000;

TEST(ReadPlan, TheTotalIsTheMultiplierPerByteAskedForPlusTheConstantToTheMicrosecond) {
  const ReadPlan plan = PlanRead({0, 30, 50, 0, 0}, 10, kStart);
  auto step = plan.Next(0, 0, kStart);
  EXPECT_FALSE(step.done);
  EXPECT_EQ(step.wakeBy, kStart + 350 * kMs);
  EXPECT_FALSE(plan.Next(4, kStart, kStart + 350 * kMs - 1).done);
  EXPECT_TRUE(plan.Next(4, kStart, kStart + 350 * kMs).done);
  EXPECT_TRUE(plan.Next(10, kStart, kStart).done);  // a full buffer ends any read
}

TEST(ReadPlan, TheIntervalStartsAtTheFirstByteAndCountsFromTheLastArrival) {
  const ReadPlan plan = PlanRead({100, 0, 0, 0, 0}, 10, kStart);
  auto quiet = plan.Next(0, 0, kStart + 60'000 * kMs);
  EXPECT_FALSE(quiet.done);  // no byte yet: no gap, and no deadline at all
  EXPECT_EQ(quiet.wakeBy, 0u);
  auto step = plan.Next(2, kStart + 500 * kMs, kStart + 520 * kMs);
  EXPECT_FALSE(step.done);
  EXPECT_EQ(step.wakeBy, kStart + 600 * kMs);
  EXPECT_TRUE(plan.Next(2, kStart + 500 * kMs, kStart + 600 * kMs).done);
  // Bytes that sat in the queue longer than the interval end the read at once.
  EXPECT_TRUE(plan.Next(3, kStart - 150 * kMs, kStart).done);
}

TEST(ReadPlan, TheEarlierOfIntervalAndTotalWakesTheRead) {
  const ReadPlan plan = PlanRead({100, 0, 250, 0, 0}, 10, kStart);
  EXPECT_EQ(plan.Next(1, kStart + 50 * kMs, kStart + 60 * kMs).wakeBy, kStart + 150 * kMs);
  EXPECT_EQ(plan.Next(1, kStart + 200 * kMs, kStart + 210 * kMs).wakeBy, kStart + 250 * kMs);
}

TEST(ReadPlan, ImmediateAndAnyByteReadsIgnoreTheInterval) {
  const ReadPlan immediate = PlanRead({MAXDWORD, 0, 0, 0, 0}, 10, kStart);
  EXPECT_TRUE(immediate.Next(0, 0, kStart).done);
  const ReadPlan anyByte = PlanRead({MAXDWORD, MAXDWORD, 300, 0, 0}, 10, kStart);
  auto waiting = anyByte.Next(0, 0, kStart);
  EXPECT_FALSE(waiting.done);
  EXPECT_EQ(waiting.wakeBy, kStart + 300 * kMs);  // the constant alone, no multiplier
  EXPECT_TRUE(anyByte.Next(1, kStart, kStart + 1).done);
  EXPECT_TRUE(anyByte.Next(0, 0, kStart + 300 * kMs).done);
}

// MAXDWORD times MAXDWORD milliseconds does not fit 64 bits of microseconds;
// wrapped, it would end a read or write long before it should.
TEST(ReadPlan, HugeTimeoutsSaturateInsteadOfWrapping) {
  const ReadPlan plan = PlanRead({MAXDWORD - 1, MAXDWORD, MAXDWORD - 1, 0, 0}, MAXDWORD, kStart);
  const Micros year = 365ull * 24 * 3600 * 1'000'000;
  EXPECT_FALSE(plan.Next(0, 0, kStart + year).done);
  EXPECT_FALSE(plan.Next(1, kStart, kStart + 30ull * 24 * 3600 * 1'000'000).done);
  EXPECT_GT(platform::WriteDeadline({0, 0, 0, MAXDWORD, MAXDWORD}, MAXDWORD, kStart), kStart + year);
}

TEST(WriteDeadline, ZeroAndZeroMeanNoLimitElseMultiplierPerBytePlusConstant) {
  EXPECT_EQ(platform::WriteDeadline({0, 0, 0, 0, 0}, 100, kStart), 0u);
  EXPECT_EQ(platform::WriteDeadline({0, 0, 0, 2, 0}, 5, kStart), kStart + 10 * kMs);
  EXPECT_EQ(platform::WriteDeadline({0, 0, 0, 0, 7}, 5, kStart), kStart + 7 * kMs);
  EXPECT_EQ(platform::WriteDeadline({9, 9, 9, 3, 7}, 5, kStart), kStart + 22 * kMs);  // read fields do not count
}

TEST(CheckTimeouts, OnlyAllThreeReadTimeoutsAtMaxAreRefused) {
  EXPECT_EQ(platform::CheckTimeouts({MAXDWORD, MAXDWORD, MAXDWORD, 0, 0}), EINVAL);
  EXPECT_EQ(platform::CheckTimeouts({MAXDWORD, MAXDWORD, MAXDWORD - 1, 0, 0}), 0);
  EXPECT_EQ(platform::CheckTimeouts({MAXDWORD - 1, MAXDWORD, MAXDWORD, 0, 0}), 0);
  EXPECT_EQ(platform::CheckTimeouts({0, 0, 0, MAXDWORD, MAXDWORD}), 0);
}

// Only the terminal backend acts on rtsByHandshake, and a pseudo-terminal
// cannot show it.
TEST(LineLevels, RtsHandshakeRaisesRtsAndHandsItToTheFlowControl) {
  DCB dcb{};
  dcb.Flags = DWORD{RTS_CONTROL_HANDSHAKE} << 12;
  platform::LineLevels levels = platform::LineLevelsOf(dcb);
  EXPECT_TRUE(levels.rts);
  EXPECT_TRUE(levels.rtsByHandshake);
  EXPECT_FALSE(levels.dtr);
  for (BYTE rts : {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_TOGGLE}) {
    dcb.Flags = DWORD{rts} << 12;
    EXPECT_FALSE(platform::LineLevelsOf(dcb).rtsByHandshake) << int(rts);
  }
}

TEST(ParsePortName, DecorationsGoAndComNamesCarryTheirNumber) {
  struct Case {
    const char* name;
    const char* bare;
    int com;
  };
  for (const Case& c : {Case{"COM3", "COM3", 3}, Case{"com3:", "com3", 3}, Case{"\\\\.\\COM12", "COM12", 12},
                        Case{"\\\\.\\cOm9:", "cOm9", 9}, Case{"COM999", "COM999", 999}, Case{"COM007", "COM007", 7},
                        Case{"COM0", "COM0", 0}, Case{"COM1000", "COM1000", 0},
                        Case{"COM99999999999999999999", "COM99999999999999999999", 0}, Case{"COM", "COM", -1},
                        Case{"COM3X", "COM3X", -1}, Case{"COM-3", "COM-3", -1}, Case{"COMX", "COMX", -1},
                        Case{"\\\\.\\Sim:", "Sim", -1}, Case{"/dev/ttyUSB0", "/dev/ttyUSB0", -1},
                        Case{"COM3::", "COM3:", -1}, Case{":", "", -1}, Case{"", "", -1}}) {
    const platform::PortName p = ParsePortName(c.name);
    EXPECT_EQ(p.bare, c.bare) << c.name;
    EXPECT_EQ(p.com, c.com) << c.name;
  }
}

}  // namespace
