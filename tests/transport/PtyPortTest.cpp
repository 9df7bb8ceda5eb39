// The port class and a reading thread over a real terminal device: a
// pseudo-terminal whose master side the test plays as the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/Clock.h"
#include "tests/support/RecordSocket.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"

namespace transport {
namespace {

class PtyDevice {
 public:
  PtyDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    const char* name = ::ptsname(master_);
    if (name != nullptr) path_ = name;
  }
  ~PtyDevice() {
    if (master_ >= 0) ::close(master_);
  }
  const std::string& Path() const { return path_; }
  void Send(const std::string& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  // What the host wrote, waiting up to a limit for `count` bytes.
  std::string Receive(size_t count) {
    std::string got;
    const DWORD start = GetTickCount();
    while (got.size() < count && GetTickCount() - start < 5000) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string path_;
};

bool WaitFor(const std::function<bool()>& done) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > 5000) return false;
    Sleep(1);
  }
  return true;
}

TEST(PtyPort, BytesPassBothWaysUnchangedAndLineControlIsHarmless) {
  PtyDevice device;
  ASSERT_FALSE(device.Path().empty());
  TComPort port(device.Path(), {paRead, paWrite});
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.Name(), device.Path());
  EXPECT_EQ(port.BaudRate(), 115200);
  EXPECT_GT(port.CurrentRxQueue(), 0u);

  EXPECT_EQ(port.WriteText("?\rH\r\n"), 5u);
  EXPECT_EQ(device.Receive(5), "?\rH\r\n");

  device.Send("Y1:1234\r\nY3:4000000\r\n");
  ASSERT_TRUE(WaitFor([&] { return port.HasInput() && port.InQueue() == 21; }));
  std::string reply;
  port.ReadText(MAXDWORD, reply);
  EXPECT_EQ(reply, "Y1:1234\r\nY3:4000000\r\n");

  // A pseudo-terminal has no modem lines: these succeed without effect.
  EXPECT_NO_THROW(port.SetDTR(true));
  EXPECT_NO_THROW(port.SetRTS(true));
  EXPECT_NO_THROW(port.SendBreak(2));
  EXPECT_NO_THROW(port.CheckErrors());
}

TEST(PtyPort, TestThreadCopiesTheStreamAndEndsTheRun) {
  PtyDevice device;
  ASSERT_FALSE(device.Path().empty());
  TComPort port(device.Path(), {paRead, paWrite});
  port.SetRaiseOnError(true);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string stream;
  for (int i = 0; i < 300; ++i) stream += static_cast<char>(i & 0xFF);  // CR, LF, XON and XOFF included

  TTestThread t;
  t.SetPort(&port);
  t.AddOutput(fds[1], true);
  t.SetSampleLimit(static_cast<LONG>(stream.size()));
  t.Resume();
  device.Send(stream);
  t.WaitFor();

  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  EXPECT_EQ(t.Total(), stream.size());
  EXPECT_TRUE(got == stream) << got.size() << " bytes";
}

// A slow line brings its bytes one at a time: the thread lets them gather and
// writes whole chunks, instead of waking (and waking the reader) for each byte.
TEST(PtyPort, SlowLineBytesGatherIntoChunks) {
  PtyDevice device;
  ASSERT_FALSE(device.Path().empty());
  TComPort port(device.Path(), {paRead, paWrite});
  port.SetRaiseOnError(true);
  testsupport::RecordSocket out;
  std::string stream;
  for (int i = 0; i < 2000; ++i) stream += static_cast<char>((i * 13) & 0xFF);

  TSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(out.WriteEnd(), true);
  t.SetSampleLimit(static_cast<LONG>(stream.size() * 8));
  t.Resume();
  for (char c : stream) {  // about 4 kB/s, a byte every quarter millisecond
    device.Send(std::string(1, c));
    ::usleep(250);
  }
  t.WaitFor();
  out.Join();
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  EXPECT_TRUE(out.Bytes() == stream) << out.Bytes().size() << " bytes";
  ASSERT_FALSE(out.Records().empty());
  EXPECT_LE(out.Records().size(), stream.size() / 8)
      << "writes of " << out.Bytes().size() / out.Records().size() << " bytes on average";
}

}  // namespace
}  // namespace transport
