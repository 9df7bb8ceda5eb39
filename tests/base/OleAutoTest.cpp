// BSTR layout and the Latin-1 conversions at the COM boundary.
#include <cstring>

#include <gtest/gtest.h>

#include "platform/OleAuto.h"

TEST(Bstr, HasByteLengthPrefixAndTerminator) {
  BSTR s = SysAllocString(OLESTR("abc"));
  ASSERT_NE(s, nullptr);
  DWORD prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 6u);
  EXPECT_EQ(s[3], 0);
  SysFreeString(s);
}

TEST(Bstr, EmbeddedNulsCountInTheLength) {
  const OLECHAR text[] = {u'a', 0, u'b'};
  BSTR s = SysAllocStringLen(text, 3);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(platform::StringFromBstr(s), std::string("a\0b", 3));
  SysFreeString(s);
  BSTR z = SysAllocStringLen(nullptr, 2);
  EXPECT_EQ(z[0], 0);
  EXPECT_EQ(z[2], 0);
  SysFreeString(z);
}

TEST(Bstr, NullReadsAsEmptyAndFreesSafely) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(platform::StringFromBstr(nullptr), "");
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
}

TEST(Bstr, EveryByteSurvivesARoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  platform::BStr b(all);
  EXPECT_EQ(SysStringLen(b.Get()), 256u);
  EXPECT_EQ(b.Str(), all);
}

TEST(Bstr, WideCharactersBecomeQuestionMarks) {
  BSTR s = SysAllocString(OLESTR("a\u20ACb\u00FF"));
  EXPECT_EQ(platform::StringFromBstr(s), "a?b\xFF");
  SysFreeString(s);
}

TEST(Bstr, OwnerReleasesOnReassignment) {
  platform::BStr b("first");
  *b.Out() = platform::BstrFromString("second");  // Out() frees "first" (leak checkers would see it otherwise)
  EXPECT_EQ(b.Str(), "second");
  platform::BStr moved(std::move(b));
  EXPECT_EQ(b.Get(), nullptr);
  EXPECT_EQ(moved.Str(), "second");
}
