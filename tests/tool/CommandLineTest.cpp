// The tool's argument rules: option prefixes in any case, values after one
// separator character, the last one winning, values that are not whole numbers
// of 0 or more refused, a missing port or command named, help anywhere.
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

TEST(CommandLine, ValuesThatAreNoWholeNumbersAreRefusedByNameAndText) {
  // Each of these once meant 0, "no limit": a disk-filling run.
  for (const std::string value : {"1e3", "1s", "x", "12abc", "", " 5", "0x10", "2147483648"})
    EXPECT_EQ(TCommandLine({"/COUNT=" + value, "S0\r"}).InvalidValueMessage(),
              "/COUNT needs a whole number from 0 to 2147483647, not '" + value + "'")
        << value;
  EXPECT_EQ(TCommandLine({"/TIME=1s"}).InvalidValueMessage(),
            "/TIME needs a whole number from 0 to 2147483647, not '1s'");
  EXPECT_EQ(TCommandLine({"/WAITCMD"}).InvalidValueMessage(),
            "/WAITCMD needs a whole number from 0 to 2147483647, not ''");
  // A bad value stays bad even when a later option is fine.
  EXPECT_NE(TCommandLine({"/TIME=soon", "/COUNT=5"}).InvalidValueMessage(), "");
  // Whole numbers, also with a sign and at the top of the range, pass.
  EXPECT_EQ(TCommandLine({"/COUNT=+7", "/TIME=2147483647", "/WAITCMD=0"}).InvalidValueMessage(), "");
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
  // The last value counts: a repeated option can put it right, or wrong.
  EXPECT_EQ(TCommandLine({"/COUNT=-5", "/COUNT=5"}).InvalidValueMessage(), "");
  EXPECT_EQ(TCommandLine({"/COUNT=x", "/COUNT=5"}).InvalidValueMessage(), "");
  EXPECT_NE(TCommandLine({"/COUNT=5", "/COUNT=x"}).InvalidValueMessage(), "");
}

TEST(CommandLine, MissingPortOrCommandIsNamed) {
  EXPECT_EQ(TCommandLine({"/PORT=SIM"}).MissingArgumentMessage(), "No command given: the text to send is needed");
  EXPECT_EQ(TCommandLine({"H\r"}).MissingArgumentMessage(), "No port given: /PORT=<name> is needed");
  EXPECT_EQ(TCommandLine({"/PORT=", "H\r"}).MissingArgumentMessage(), "No port given: /PORT=<name> is needed");
  EXPECT_EQ(TCommandLine({"/PORT=SIM", "H\r"}).MissingArgumentMessage(), "");
}

TEST(CommandLine, HelpInAnySpellingAndPlaceIsNoCommand) {
  for (const char* help : {"--help", "-h", "/?"}) {
    const TCommandLine c({"/PORT=SIM", help, "/COUNT=5"});
    EXPECT_TRUE(c.FHelp) << help;
    EXPECT_EQ(c.FCommand, "") << help;  // never sent to a device
  }
  EXPECT_FALSE(TCommandLine({"/PORT=SIM", "H\r"}).FHelp);
}

}  // namespace
