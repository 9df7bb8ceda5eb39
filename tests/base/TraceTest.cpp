// The opt-in serial trace: one line per port call, bytes escaped, nothing when off.
#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/Trace.h"
#include "platform/VirtualPort.h"
#include "platform/WinSerial.h"
#include "tests/support/TempDir.h"

namespace {

class SilentDevice : public platform::IVirtualDevice {
 public:
  void Attach(platform::IVirtualLine&) override {}
  void OnReceive(const BYTE*, size_t, platform::Micros) override {}
  void OnHostSettings(const platform::LineSettings&, platform::Micros) override {}
  void OnModemLines(bool, bool, platform::Micros) override {}
  void OnHostBreak(bool, platform::Micros) override {}
  void Advance(platform::Micros) override {}
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(Trace, EscapesBytes) {
  const char data[] = {'?', '\r', 'H', '\n', '"', '\\', '\x01', '\xFF'};
  EXPECT_EQ(platform::EscapeBytes(data, sizeof data), R"("?\rH\n\"\\\x01\xFF")");
  EXPECT_EQ(platform::EscapeBytes("abcdef", 6, 3), "\"abc\"...(3 more)");
}

TEST(Trace, WritesALinePerPortCallAndNothingWhenOff) {
  const std::string path = testsupport::ScratchFile("quelm_trace_test.log");
  std::remove(path.c_str());
  platform::RegisterVirtualPort("TRACE-TEST", [] { return std::make_unique<SilentDevice>(); });
  platform::SetTraceTarget(path);
  ASSERT_TRUE(platform::TraceEnabled());

  HANDLE h = CreateFileA("TRACE-TEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "?\rH\r", 4, &written, nullptr));
  ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CreateFileA("NO-SUCH-PORT-XYZ", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) !=
               INVALID_HANDLE_VALUE);
  DCB dcb{};
  EXPECT_FALSE(BuildCommDCBA("baud=fast", &dcb));
  EXPECT_TRUE(BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb));
  platform::SetTraceTarget("");
  EXPECT_FALSE(platform::TraceEnabled());
  h = CreateFileA("TRACE-TEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CloseHandle(h);
  platform::UnregisterVirtualPort("TRACE-TEST");

  const std::string log = ReadAll(path);
  EXPECT_NE(log.find("CreateFileA"), std::string::npos) << log;
  EXPECT_NE(log.find("\"TRACE-TEST\" ok"), std::string::npos) << log;
  EXPECT_NE(log.find(R"(WriteFile)"), std::string::npos) << log;
  EXPECT_NE(log.find(R"(4 of 4 "?\rH\r" ok)"), std::string::npos) << log;
  EXPECT_NE(log.find("EscapeCommFunction"), std::string::npos) << log;
  EXPECT_NE(log.find("SETRTS ok"), std::string::npos) << log;
  EXPECT_NE(log.find("\"NO-SUCH-PORT-XYZ\" failed: No such file or directory"), std::string::npos) << log;
  // A refused settings text is traced; an accepted one is not worth a line.
  EXPECT_NE(log.find(R"(BuildCommDCBA "baud=fast" failed)"), std::string::npos) << log;
  EXPECT_EQ(log.find("baud=9600"), std::string::npos) << log;
  // After switching off, the second open left no line.
  size_t opens = 0;
  for (size_t at = log.find("\"TRACE-TEST\""); at != std::string::npos; at = log.find("\"TRACE-TEST\"", at + 1)) ++opens;
  EXPECT_EQ(opens, 1u) << log;
  std::remove(path.c_str());
}
