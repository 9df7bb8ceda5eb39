// The tool's argument rules: option prefixes in any case, values after one
// separator character, non-integers as 0, the last one winning, negatives refused.
#include <gtest/gtest.h>

#include "tools/ComTest.h"

namespace {

using tools::TCommandLine;

TEST(CommandLine, DefaultsWithoutOptions) {
  const TCommandLine c({"H\r"});
  EXPECT_EQ(c.FCommand, "H\r");
  EXPECT_EQ(c.FPortName, "");
  EXPECT_EQ(c.FSampleCount, 0);
  EXPECT_EQ(c.FRunTime, 0);
  EXPECT_EQ(c.FCommandWait, 50);
  EXPECT_EQ(c.InvalidValueMessage(), "");
}

TEST(CommandLine, OptionNamesIgnoreCaseAndOrder) {
  const TCommandLine c({"/waitcmd=7", "S0\r", "/Time=300", "/port=com1", "/cOuNt=100"});
  EXPECT_EQ(c.FPortName, "com1");
  EXPECT_EQ(c.FCommand, "S0\r");
  EXPECT_EQ(c.FSampleCount, 100);
  EXPECT_EQ(c.FRunTime, 300);
  EXPECT_EQ(c.FCommandWait, 7);
}

TEST(CommandLine, ParseOptionNumbersAndValues) {
  std::string v;
  EXPECT_EQ(TCommandLine::ParseOption("/PORT=SIM-QUELM", v), 1);
  EXPECT_EQ(v, "SIM-QUELM");
  EXPECT_EQ(TCommandLine::ParseOption("/count=12", v), 2);
  EXPECT_EQ(v, "12");
  EXPECT_EQ(TCommandLine::ParseOption("/TIME=", v), 3);
  EXPECT_EQ(v, "");
  EXPECT_EQ(TCommandLine::ParseOption("/WAITCMD", v), 4);
  EXPECT_EQ(v, "");
  // Any one character separates name and value; the name is only a prefix.
  EXPECT_EQ(TCommandLine::ParseOption("/PORT:COM3 baud=9600", v), 1);
  EXPECT_EQ(v, "COM3 baud=9600");
  EXPECT_EQ(TCommandLine::ParseOption("/COUNTS=5", v), 2);
  EXPECT_EQ(v, "=5");
  // Too short to be an option, or no option at all: the command.
  EXPECT_EQ(TCommandLine::ParseOption("/POR=x", v), 0);
  EXPECT_EQ(TCommandLine::ParseOption("?\rH\r", v), 0);
  EXPECT_EQ(TCommandLine::ParseOption("", v), 0);
}

TEST(CommandLine, NonIntegersReadAsZero) {
  const TCommandLine c({"/COUNT=ten", "/TIME=12x", "/WAITCMD=", "x"});
  EXPECT_EQ(c.FSampleCount, 0);  // no limit
  EXPECT_EQ(c.FRunTime, 0);
  EXPECT_EQ(c.FCommandWait, 0);  // no wait at all, not the default
}

TEST(CommandLine, LastOptionAndLastCommandWin) {
  const TCommandLine c({"first", "/PORT=A", "/COUNT=5", "second", "/PORT=B", "/COUNT=9"});
  EXPECT_EQ(c.FPortName, "B");
  EXPECT_EQ(c.FCommand, "second");
  EXPECT_EQ(c.FSampleCount, 9);
}

TEST(CommandLine, NegativeValuesAreRefusedByName) {
  EXPECT_EQ(TCommandLine({"/COUNT=-5", "x"}).InvalidValueMessage(), "/COUNT needs a value of 0 or more, not -5");
  EXPECT_EQ(TCommandLine({"/TIME=-1"}).InvalidValueMessage(), "/TIME needs a value of 0 or more, not -1");
  EXPECT_EQ(TCommandLine({"/WAITCMD=-50"}).InvalidValueMessage(), "/WAITCMD needs a value of 0 or more, not -50");
  // The last value counts: a repeated option can put it right.
  EXPECT_EQ(TCommandLine({"/COUNT=-5", "/COUNT=5"}).InvalidValueMessage(), "");
}

}  // namespace
