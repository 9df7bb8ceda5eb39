// Formatting, trimming, integer conversion and OS error texts of the platform runtime.
#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "platform/SysUtils.h"

using platform::Format;

TEST(Format, NumbersAndTextInOrder) {
  EXPECT_EQ(Format("E11 - Index (%d) out of bounds [%d..%d]", 5, 0, -1), "E11 - Index (5) out of bounds [0..-1]");
  EXPECT_EQ(Format("Actuate pin %s%d on start", "GP5", 0), "Actuate pin GP50 on start");
  EXPECT_EQ(Format("GP%x", 10), "GPa");
  EXPECT_EQ(Format("%X|%02X|%-3d|%5s|%%", 255, 7, 4, "ab"), "FF|07|4  |   ab|%");
}

TEST(Format, MismatchedPlaceholdersStaySafe) {
  // A translated text may carry other placeholders than the code supplies.
  EXPECT_EQ(Format("%s and %d", 7, "x"), "7 and x");
  EXPECT_EQ(Format("%d %d %d", 1), "1  ");
  EXPECT_EQ(Format("100%"), "100%");
  EXPECT_EQ(Format("%q stays"), "%q stays");
}

TEST(Format, LongTextIsNotTruncated) {
  std::string big(10000, 'x');
  EXPECT_EQ(Format("<%s>", big).size(), big.size() + 2);
}

TEST(Trim, RemovesBlanksAndControlCharacters) {
  EXPECT_EQ(platform::Trim(" \r\n\tabc \x01"), "abc");
  EXPECT_EQ(platform::Trim("\r\n"), "");
  EXPECT_EQ(platform::TrimLeft("  a "), "a ");
  EXPECT_EQ(platform::TrimRight("  a "), "  a");
  // Bytes above 0x7F are text, not blanks.
  EXPECT_EQ(platform::Trim("\xE9"), "\xE9");
}

TEST(TryStrToInt, AcceptsOnlyStrictDecimalsInRange) {
  LONG v = 42;
  EXPECT_TRUE(platform::TryStrToInt("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(platform::TryStrToInt("+17", v));
  EXPECT_EQ(v, 17);
  v = 42;
  for (const char* bad : {"", "-", "12x", " 1", "2147483648", "99999999999999999999", "1.5"}) {
    EXPECT_FALSE(platform::TryStrToInt(bad, v)) << bad;
    EXPECT_EQ(v, 42) << bad;
  }
  EXPECT_EQ(platform::InvalidIntegerMessage("12x"), "'12x' is not a valid integer value");
}

TEST(OSError, CarriesCodeAndSystemText) {
  try {
    platform::RaiseLastOSError(ENOENT);
    FAIL();
  } catch (const platform::EOSError& e) {
    EXPECT_EQ(e.Code(), static_cast<DWORD>(ENOENT));
    EXPECT_EQ(e.Message(), "System Error.  Code: 2.\r\nNo such file or directory");
  }
  try {
    platform::RaiseLastOSError(0);
    FAIL();
  } catch (const platform::EOSError& e) {
    EXPECT_EQ(e.Message(), "A call to an OS function failed");
  }
}

TEST(LastError, IsPerThread) {
  SetLastError(77);
  DWORD seen = 1;
  std::thread([&] { seen = GetLastError(); }).join();
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(GetLastError(), 77u);
}
