// Per-thread error info and the VARIANT conversions the dispatch engine relies on.
#include <gtest/gtest.h>

#include <thread>

#include "ComTestSupport.h"
#include "platform/ComBase.h"
#include "platform/Guid.h"
#include "platform/OleAuto.h"

namespace {

void SetInfo(const platform::OleString& description) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(CreateErrorInfo(&create), S_OK);
  platform::OleString d = description;
  create->SetDescription(d.data());
  IErrorInfo* info = nullptr;
  ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
  EXPECT_EQ(SetErrorInfo(0, info), S_OK);
  info->Release();
  create->Release();
}

TEST(ErrorInfo, IsPerThreadAndTakenOnce) {
  SetInfo(OLESTR("main thread"));
  std::string other;
  std::thread t([&] {
    SetInfo(OLESTR("worker"));
    other = comtest::TakeErrorInfo().description;
  });
  t.join();
  EXPECT_EQ(other, "worker");
  auto mine = comtest::TakeErrorInfo();
  EXPECT_TRUE(mine.present);
  EXPECT_EQ(mine.description, "main thread");
  IErrorInfo* none = reinterpret_cast<IErrorInfo*>(1);
  EXPECT_EQ(GetErrorInfo(0, &none), S_FALSE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(GetErrorInfo(0, nullptr), E_POINTER);
}

TEST(ErrorInfo, SetNullClearsAndThreadExitReleases) {
  SetInfo(OLESTR("x"));
  EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
  EXPECT_FALSE(comtest::TakeErrorInfo().present);
  // An info left on a thread that ends is released with it (the leak checker would see it).
  std::thread([] { SetInfo(OLESTR("left behind")); }).join();
}

TEST(Variant, NumbersConvertWithRangeChecks) {
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_I4;
  src.lVal = 70000;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I2), DISP_E_OVERFLOW);
  EXPECT_EQ(dst.vt, VT_EMPTY) << "a failed change leaves the destination alone";
  src.lVal = -1;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_UI4), DISP_E_OVERFLOW);
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_BOOL), S_OK);
  EXPECT_EQ(dst.boolVal, VARIANT_TRUE);
  src.vt = VT_BOOL;
  src.boolVal = 5;  // any non-zero counts as true
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.lVal, -1);
  src.vt = VT_UI4;
  src.ulVal = 0x80000000u;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_OVERFLOW);
}

TEST(Variant, TextToNumberAndBack) {
  VARIANT src, dst;
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = platform::BstrFromString(" -42 ");
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.lVal, -42);
  SysFreeString(src.bstrVal);
  src.bstrVal = platform::BstrFromString("12x");
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
  SysFreeString(src.bstrVal);
  src.bstrVal = platform::BstrFromString("99999999999");
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), DISP_E_OVERFLOW);
  VariantClear(&src);

  src.vt = VT_I4;
  src.lVal = -7;
  ASSERT_EQ(VariantChangeType(&dst, &src, 0, VT_BSTR), S_OK);
  EXPECT_EQ(platform::StringFromBstr(dst.bstrVal), "-7");
  // In place: the source BSTR is replaced by its conversion without a leak or double free.
  ASSERT_EQ(VariantChangeType(&dst, &dst, 0, VT_I4), S_OK);
  EXPECT_EQ(dst.vt, VT_I4);
  EXPECT_EQ(dst.lVal, -7);
  src.vt = VT_BOOL;
  src.boolVal = VARIANT_TRUE;
  ASSERT_EQ(VariantChangeType(&dst, &src, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(platform::StringFromBstr(dst.bstrVal), "True");
  VariantClear(&dst);
}

TEST(Variant, ByReferenceSourcesAreRead) {
  LONG value = 17;
  VARIANT ref, dst;
  VariantInit(&dst);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &value;
  ASSERT_EQ(VariantChangeType(&dst, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(platform::StringFromBstr(dst.bstrVal), "17");
  VariantClear(&dst);
  ref.plVal = nullptr;
  EXPECT_EQ(VariantChangeType(&dst, &ref, 0, VT_I4), DISP_E_BADVARTYPE);
  VARIANT src;
  src.vt = VT_I4;
  src.lVal = 1;
  EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
}

TEST(Variant, CopyDuplicatesStrings) {
  VARIANT a, b;
  VariantInit(&b);
  a.vt = VT_BSTR;
  a.bstrVal = platform::BstrFromString("abc");
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(a.bstrVal, b.bstrVal);
  VariantClear(&a);
  EXPECT_EQ(platform::StringFromBstr(b.bstrVal), "abc");
  VariantClear(&b);
  VARIANT bad{};
  bad.vt = 0x0077;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
}

TEST(Guid, StringFormBothWays) {
  const GUID g = {0x0E20EB72, 0x9025, 0x420A, {0xAC, 0xF9, 0xC3, 0x0B, 0x65, 0x94, 0x89, 0xC6}};
  EXPECT_EQ(platform::GuidToString(g), "{0E20EB72-9025-420A-ACF9-C30B659489C6}");
  GUID back{};
  ASSERT_TRUE(platform::TryStringToGuid("{0e20eb72-9025-420a-acf9-c30b659489c6}", back));
  EXPECT_EQ(back, g);
  for (const char* bad : {"0E20EB72-9025-420A-ACF9-C30B659489C6", "{0E20EB72-9025-420A-ACF9-C30B659489C}",
                          "{0E20EB72-9025-420A-ACF9-C30B659489CG}", "{0E20EB72+9025-420A-ACF9-C30B659489C6}", ""})
    EXPECT_FALSE(platform::TryStringToGuid(bad, back)) << bad;
  OLECHAR buf[39];
  EXPECT_EQ(StringFromGUID2(g, buf, 38), 0);
  ASSERT_EQ(StringFromGUID2(g, buf, 39), 39);
  CLSID c;
  EXPECT_EQ(CLSIDFromString(buf, &c), S_OK);
  EXPECT_EQ(c, g);
  EXPECT_EQ(CLSIDFromString(OLESTR("nonsense"), &c), E_INVALIDARG);
  EXPECT_EQ(c, GUID_NULL);
}

}  // namespace
