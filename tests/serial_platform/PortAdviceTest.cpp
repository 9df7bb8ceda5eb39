// What a user reads when a port does not open: the system's text first, then
// what the name stood for and what to do about it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <string>

#include "platform/SysUtils.h"
#include "platform/WinSerial.h"

namespace {

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(PortOpenAdvice, NamesTheDeviceBehindAComNameAndTheUsualCause) {
  unsetenv("QUELM_COM3");
  const std::string plain = platform::PortOpenAdvice("COM3", ENOENT);
  EXPECT_TRUE(Contains(plain, "COM3 is /dev/ttyS2; QUELM_COM3=/dev/ttyUSB0")) << plain;

  setenv("QUELM_COM3", "/dev/ttyUSB7", 1);
  const std::string mapped = platform::PortOpenAdvice("\\\\.\\COM3", EACCES);
  unsetenv("QUELM_COM3");
  EXPECT_TRUE(Contains(mapped, "is /dev/ttyUSB7 (QUELM_COM3).")) << mapped;
  EXPECT_TRUE(Contains(mapped, "may not open /dev/ttyUSB7")) << mapped;
  EXPECT_TRUE(Contains(mapped, "dialout group")) << mapped;

  EXPECT_TRUE(Contains(platform::PortOpenAdvice("/dev/ttyUSB9", ENOENT), "No device /dev/ttyUSB9: is it plugged in?"));
  EXPECT_TRUE(Contains(platform::PortOpenAdvice("SMI", ENOENT), "'SMI' is neither a virtual sampler"));
  EXPECT_TRUE(Contains(platform::PortOpenAdvice("/dev/ttyS0", EBUSY), "Another program holds /dev/ttyS0"));
  EXPECT_EQ(platform::PortOpenAdvice("/dev/ttyS0", EIO), "");  // nothing useful to add
}

TEST(PortOpenAdvice, FollowsTheSystemTextInTheRaisedError) {
  try {
    platform::RaiseLastOSError(ENOENT, "advice");
    FAIL() << "no exception";
  } catch (const platform::EOSError& e) {
    EXPECT_EQ(e.Message(), "System Error.  Code: 2.\r\nNo such file or directory\r\nadvice");
    EXPECT_EQ(e.Code(), static_cast<DWORD>(ENOENT));
  }
}

}  // namespace
