// BuildCommDCBA: both text forms, the device prefix, and refusal that leaves
// the DCB untouched.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/WinSerial.h"

namespace {

BYTE Dtr(const DCB& d) { return static_cast<BYTE>((d.Flags & DCB_fDtrControl) >> 4); }
BYTE Rts(const DCB& d) { return static_cast<BYTE>((d.Flags & DCB_fRtsControl) >> 12); }

DCB Base() {
  DCB d{};
  d.BaudRate = 115200;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = TWOSTOPBITS;
  d.XonChar = 0x11;
  return d;
}

TEST(BuildCommDCB, KeywordFormSetsOnlyWhatItNames) {
  DCB d = Base();
  ASSERT_TRUE(BuildCommDCBA("baud=9600 parity=E data=7 stop=1.5", &d));
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.Parity, EVENPARITY);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
  EXPECT_EQ(d.XonChar, 0x11);
  EXPECT_TRUE(d.Flags & DCB_fBinary);
  EXPECT_EQ(d.DCBlength, sizeof(DCB));

  ASSERT_TRUE(BuildCommDCBA("COM3: PARITY=m dtr=hs rts=tg octs=on odsr=on idsr=on xon=on to=off", &d));
  EXPECT_EQ(d.Parity, MARKPARITY);
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(Dtr(d), DTR_CONTROL_HANDSHAKE);
  EXPECT_EQ(Rts(d), RTS_CONTROL_TOGGLE);
  EXPECT_TRUE(d.Flags & DCB_fOutxCtsFlow);
  EXPECT_TRUE(d.Flags & DCB_fOutxDsrFlow);
  EXPECT_TRUE(d.Flags & DCB_fDsrSensitivity);
  EXPECT_TRUE(d.Flags & DCB_fOutX);
  EXPECT_TRUE(d.Flags & DCB_fInX);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);  // no stop= : the default

  ASSERT_TRUE(BuildCommDCBA("dtr=on rts=off octs=off xon=off parity=s", &d));
  EXPECT_EQ(Dtr(d), DTR_CONTROL_ENABLE);
  EXPECT_EQ(Rts(d), RTS_CONTROL_DISABLE);
  EXPECT_FALSE(d.Flags & DCB_fOutxCtsFlow);
  EXPECT_FALSE(d.Flags & DCB_fOutX);
  EXPECT_EQ(d.Parity, SPACEPARITY);
  ASSERT_TRUE(BuildCommDCBA("baud=110", &d));
  EXPECT_EQ(d.StopBits, TWOSTOPBITS);
}

TEST(BuildCommDCB, ShortFormWithAbbreviationsAndFlowLetter) {
  struct {
    const char* text;
    DWORD baud;
  } rates[] = {{"11,n,8,1", 110},  {"15,n,8,1", 150},  {"30,n,8,1", 300},   {"60,n,8,1", 600},
               {"12,n,8,1", 1200}, {"24,n,8,1", 2400}, {"48,n,8,1", 4800},  {"96,n,8,1", 9600},
               {"19,n,8,1", 19200}, {"9600,n,8,1", 9600}, {"250000,n,8,1", 250000}};
  for (auto& r : rates) {
    DCB d = Base();
    ASSERT_TRUE(BuildCommDCBA(r.text, &d)) << r.text;
    EXPECT_EQ(d.BaudRate, r.baud) << r.text;
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(Dtr(d), DTR_CONTROL_ENABLE);
  }
  DCB d = Base();
  ASSERT_TRUE(BuildCommDCBA("COM1: 4800, o, 7, 2, p", &d));
  EXPECT_EQ(d.BaudRate, 4800u);
  EXPECT_EQ(d.Parity, ODDPARITY);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.StopBits, TWOSTOPBITS);
  EXPECT_EQ(Dtr(d), DTR_CONTROL_HANDSHAKE);
  EXPECT_EQ(Rts(d), RTS_CONTROL_HANDSHAKE);
  EXPECT_TRUE(d.Flags & DCB_fOutxCtsFlow);
  ASSERT_TRUE(BuildCommDCBA("9600,e,8,1.5,x", &d));
  EXPECT_TRUE(d.Flags & DCB_fOutX);
  EXPECT_FALSE(d.Flags & DCB_fOutxCtsFlow);
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
}

TEST(BuildCommDCB, RefusedTextsLeaveTheDcbAsItWas) {
  const char* bad[] = {"",           "   ",         "COM1:",          "9600",          "baud=",
                       "baud=fast",  "parity=q",    "data=9",         "data=4",        "stop=3",
                       "dtr=maybe",  "rts=hs2",     "bogus=1",        "baud=9600x",    "9600,n,8",
                       "9600,n,8,1,z", "9600,n,9,1", "96OO,n,8,1",    "baud=0",        "baud=99999999999",
                       "COMx: baud=9600", "9600,n,8,1 extra"};
  for (const char* text : bad) {
    DCB d = Base();
    DCB before = d;
    EXPECT_FALSE(BuildCommDCBA(text, &d)) << '"' << text << '"';
    EXPECT_EQ(std::memcmp(&d, &before, sizeof(DCB)), 0) << '"' << text << '"';
  }
  EXPECT_FALSE(BuildCommDCBA(nullptr, nullptr));
}

}  // namespace
