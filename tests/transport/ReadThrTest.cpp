// The reading threads against scripted virtual far ends: limits, the deal-out
// over channels, the end-of-run handshakes, the stop timer and failing outputs.
#include "transport/ReadThr.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>

#include "platform/Clock.h"
#include "tests/support/Pipe.h"
#include "tests/support/RecordSocket.h"
#include "tests/transport/ScriptedDevice.h"

namespace transport {
namespace {

using testing::ScriptedPort;

using testsupport::Pipe;

bool WaitUntil(const std::function<bool()>& done, DWORD limitMs = 10000) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > limitMs) return false;
    Sleep(1);
  }
  return true;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

std::string Counting(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + i % 40);
  return s;
}

// A port on a scripted far end with a small input queue, so that the threads poll often.
class ReadingThreads : public ::testing::Test {
 protected:
  ReadingThreads() : far({256, false}), port(far.Name(), {paRead, paWrite}) { port.SetRaiseOnError(true); }
  testing::DeviceScript& Script() { return far.Script(); }
  bool Saw(const std::string& event) {
    const auto e = Script().Events();
    return std::find(e.begin(), e.end(), event) != e.end();
  }
  // The events since (and including) the first `first`.
  std::vector<std::string> EventsFrom(const std::string& first) {
    const auto e = Script().Events();
    return {std::find(e.begin(), e.end(), first), e.end()};
  }
  ScriptedPort far;
  TComPort port;
};

TEST_F(ReadingThreads, SampleLimitCutsTheChunk) {
  Pipe out;
  port.SetDTR(true);
  Script().Send("ABCDEFGHIJ");
  TSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(out.GiveWriteEnd(), true);
  t.SetSampleLimit(20);  // eight samples to a byte: 3 bytes
  t.Resume();
  t.WaitFor();  // the run ends by itself
  EXPECT_EQ(out.ReadText(), "ABC");
  EXPECT_EQ(t.Total(), 3u);
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  // Data arrived: the line goes back by DTR alone, without a break.
  EXPECT_TRUE(Saw("dtr:0"));
  EXPECT_FALSE(Saw("break:on"));
  EXPECT_FALSE(port.OnError());
}

TEST_F(ReadingThreads, TestThreadCountsBytesAndRestoresTheBaudRate) {
  Pipe out;
  // The data phase runs at 9600 baud; the device answers the switch with its stream.
  const std::string stream = Counting(50);
  Script().onSettings = [&](platform::IVirtualLine& line, const platform::LineSettings& s) {
    if (s.baudRate == 9600) line.Send(reinterpret_cast<const BYTE*>(stream.data()), stream.size(), s, line.Now());
  };
  TTestThread t;
  t.SetPort(&port);
  t.AddOutput(out.GiveWriteEnd(), true);
  t.SetSampleLimit(20);
  t.SetSettings("baud=9600 parity=N data=8 stop=1");
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(out.ReadText(), stream.substr(0, 20));
  EXPECT_EQ(t.Total(), 20u);
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  EXPECT_EQ(EventsFrom("settings:9600").back(), "settings:115200");
  EXPECT_EQ(port.BaudRate(), 115200);
}

TEST_F(ReadingThreads, MultichannelDealsBytesOutAcrossChunks) {
  Pipe a, b, c;
  const std::string stream = Counting(40);  // chunks of 33 and 7
  Script().Send(stream);
  TMultichannelSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(a.GiveWriteEnd(), true);
  t.AddOutput(0, false);  // discarded, but counted
  t.AddOutput(b.GiveWriteEnd(), true);
  t.AddOutput(c.GiveWriteEnd(), true);
  t.Resume();
  ASSERT_TRUE(WaitUntil([&] { return t.Total() == 40; }));
  t.Terminate();
  t.WaitFor();
  std::string wantA, wantB, wantC;
  for (size_t k = 0; k < stream.size(); ++k) {
    if (k % 4 == 0) wantA += stream[k];
    if (k % 4 == 2) wantB += stream[k];
    if (k % 4 == 3) wantC += stream[k];
  }
  EXPECT_EQ(a.ReadText(), wantA);
  EXPECT_EQ(b.ReadText(), wantB);
  EXPECT_EQ(c.ReadText(), wantC);
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
}

TEST_F(ReadingThreads, MultichannelLimitWritesTheLastChunkWhole) {
  Pipe a, b;
  Script().Send(Counting(40));
  TMultichannelSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(a.GiveWriteEnd(), true);
  t.AddOutput(b.GiveWriteEnd(), true);
  t.SetSampleLimit(16);  // 2 bytes, but the first chunk holds 33
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(t.Total(), 33u);
  EXPECT_EQ(a.ReadText().size(), 17u);
  EXPECT_EQ(b.ReadText().size(), 16u);
}

// A batch of queued bytes is dealt out whole, then each output gets its share
// in one write, not one per chunk: the readers wake once per batch.
TEST(ReadingThreadLine, MultichannelWritesEachOutputOncePerBatch) {
  ScriptedPort far({4096, false});
  TComPort port(far.Name(), {paRead, paWrite});
  const std::string stream = Counting(330);  // ten chunks
  far.Script().Send(stream);                 // queued before the run starts: one batch
  testsupport::RecordSocket a, b;
  TMultichannelSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(a.WriteEnd(), true);
  t.AddOutput(b.WriteEnd(), true);
  t.SetSampleLimit(static_cast<LONG>(stream.size() * 8));
  t.Resume();
  t.WaitFor();
  a.Join();
  b.Join();
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  std::string wantA, wantB;
  for (size_t k = 0; k < stream.size(); ++k) (k % 2 == 0 ? wantA : wantB) += stream[k];
  EXPECT_EQ(a.Bytes(), wantA);
  EXPECT_EQ(b.Bytes(), wantB);
  EXPECT_EQ(a.Records().size(), 1u);
  EXPECT_EQ(b.Records().size(), 1u);
}

TEST_F(ReadingThreads, WithoutOutputsBytesAreOnlyCounted) {
  Script().Send("12345");
  TMultichannelSamplingThread t;
  t.SetPort(&port);
  t.SetSampleLimit(24);
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(t.Total(), 5u);
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
}

TEST_F(ReadingThreads, TerminatedBeforeStartStillStopsTheHardware) {
  Pipe out;
  Script().messageOnRts = "Stopped by host  .";
  Script().answerRts = true;
  TSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(out.GiveWriteEnd(), true);
  bool handlerRan = false;
  t.OnTerminate = [&](platform::TThread* sender) { handlerRan = sender == &t; };
  t.Terminate();
  t.Resume();
  t.WaitFor();
  EXPECT_TRUE(handlerRan);
  EXPECT_EQ(EventsFrom("break:on"),
            (std::vector<std::string>{"break:on", "break:off", "rts:1", "rx:\r", "rts:0"}));
  EXPECT_EQ(t.Message(), "");  // the message of a stop the host asked for is discarded
  EXPECT_FALSE(t.HardwareStopped());
  EXPECT_EQ(out.ReadText(), "");  // the owned output was closed
}

TEST_F(ReadingThreads, HardwareBreakWithMessageEndsTheRunQuietly) {
  Pipe out;
  Script().messageOnRts = "Buffer full   .";
  Script().answerRts = true;
  Script().Send("12345");
  Script().WithLine([](platform::IVirtualLine& l) {
    l.SetBreak(true, l.Now() + 100000);
    l.SetBreak(false, l.Now() + 101000);
  });
  TSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(out.GiveWriteEnd(), true);
  t.Resume();
  // The owner may watch the results while the run goes on.
  ASSERT_TRUE(WaitUntil([&] { return (t.HardwareStopped() && !t.Message().empty() && t.Total() < 10) || t.Finished(); }));
  t.WaitFor();
  EXPECT_TRUE(t.HardwareStopped());
  EXPECT_EQ(t.Message(), "Buffer full.");
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  EXPECT_TRUE(Saw("rx:\r"));  // acknowledged
}

TEST_F(ReadingThreads, HardwareBreakWithoutMessageIsFatal) {
  Script().WithLine([](platform::IVirtualLine& l) {
    l.SetBreak(true, l.Now());
    l.SetBreak(false, l.Now() + 1000);
  });
  TSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(0, false);
  t.Resume();
  t.WaitFor();
  EXPECT_FALSE(t.HardwareStopped());
  ASSERT_TRUE(t.HasFatalException());
  EXPECT_EQ(t.FatalMessage(), "C01-The hardware detected a break condition.");
  try {
    std::rethrow_exception(t.FatalException());
  } catch (const ECommAbort& e) {
    EXPECT_EQ(e.Errors, TCommErrors{ceBreak});
  } catch (...) {
    ADD_FAILURE() << "the fatal exception is no ECommAbort";
  }
}

// Sends `first`, waits past the stop time-out, sends `second`; true when the run then ended by itself.
template <typename Thread>
bool EndsByTimer(ScriptedPort& far, TComPort& port, const std::string& first, const std::string& second) {
  Thread t;
  t.SetPort(&port);
  t.AddOutput(0, false);
  t.StartTimeoutOnActivity(30);
  t.Resume();
  far.Script().Send(first);
  if (!WaitUntil([&] { return t.Total() == first.size(); })) return false;
  Sleep(80);
  far.Script().Send(second);
  if (!WaitUntil([&] { return t.Total() == first.size() + second.size(); })) return false;
  t.WaitTimeout(1000);
  const bool ended = !t.IsRunning();
  t.Terminate();
  t.WaitFor();
  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  return ended;
}

TEST_F(ReadingThreads, IdleBytesNeverStartTheSamplingTimer) {
  EXPECT_FALSE(EndsByTimer<TSamplingThread>(far, port, Bytes({0x00, 0xFF, 0x00}), Bytes({0xFF})));
  EXPECT_TRUE(EndsByTimer<TSamplingThread>(far, port, Bytes({0x00, 0x55}), Bytes({0xFF})));
}

TEST_F(ReadingThreads, MeasuringCountsNonZeroBytesAsActivity) {
  EXPECT_TRUE(EndsByTimer<TMeasuringThread>(far, port, Bytes({0xFF, 0xFF}), Bytes({0x00})));
  EXPECT_FALSE(EndsByTimer<TMeasuringThread>(far, port, Bytes({0xFF, 0x00}), Bytes({0x00})));
}

TEST_F(ReadingThreads, ClosedOutputEndsTheRunWithItsSystemError) {
  Pipe out;
  out.CloseRead();
  Script().Send("data for nobody");
  TSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(out.GiveWriteEnd(), true);
  t.Resume();
  t.WaitFor();
  ASSERT_TRUE(t.HasFatalException());
  EXPECT_EQ(t.FatalMessage(), platform::Format("System Error.  Code: %d.\r\n%s", EPIPE, platform::SysErrorMessage(EPIPE)));
  EXPECT_EQ(t.Total(), 15u);
}

TEST_F(ReadingThreads, ConfigurationRefusesWhatCannotWork) {
  TTestThread t;
  EXPECT_THROW(t.AddOutput(-1, false), platform::Exception);
  EXPECT_THROW(t.SetSampleLimit(-8), platform::Exception);
  t.SetSampleLimit(0x7FFFFFFF);  // no overflow on the way to bytes
  EXPECT_EQ(t.Remaining(), 0x7FFFFFFF);
  TSamplingThread s;
  s.SetSampleLimit(0x7FFFFFFF);
  EXPECT_EQ(s.Remaining(), 0x10000000);

  // Neither a missing nor a closed port leaves a thread polling forever.
  t.Resume();
  t.WaitFor();
  EXPECT_EQ(t.FatalMessage(), "The reading thread has no port");
  port.Close();
  s.SetPort(&port);
  s.Resume();
  s.WaitFor();
  EXPECT_EQ(s.FatalMessage(), "Port is not open");
}

// A queue that fills in no measurable time (or a driver that reports none) must
// not make the thread spin: it still sleeps between polls.
TEST(ReadingThreadLine, PollsWithoutSpinningWhenTheQueueFillsAtOnce) {
  ScriptedPort far({1, false});
  TComPort port(far.Name(), {paRead, paWrite});
  EXPECT_EQ(port.TransferTime(port.CurrentRxQueue()), 0u);
  TSamplingThread t;
  t.SetPort(&port);
  t.AddOutput(0, false);
  t.Resume();
  ASSERT_TRUE(WaitUntil([&] { return far.Script().polls.load() > 0; }));
  const long before = far.Script().polls.load();
  Sleep(100);
  const long during = far.Script().polls.load() - before;
  t.Terminate();
  t.WaitFor();
  EXPECT_GT(during, 0);     // it keeps polling ...
  EXPECT_LT(during, 1000);  // ... at most about once a millisecond (a spinning loop polls far more often)
}

// A test thread that counts the chunks it is given, to compare with the writes they cause.
class ChunkCountingThread : public TTestThread {
 public:
  ~ChunkCountingThread() override { TerminateAndWait(); }
  int Chunks() const { return chunks_; }

 protected:
  bool ProcessChunk() override {
    if (FCount > 0) ++chunks_;
    return TTestThread::ProcessChunk();
  }

 private:
  int chunks_ = 0;
};

TEST(ReadingThreadLine, Delivers115200BaudStreamInOrderOneWritePerChunk) {
  ScriptedPort far({4096, true});
  TComPort port(far.Name(), {paRead, paWrite});
  port.SetRaiseOnError(true);  // a lost byte (input overflow) would end the run with C06
  std::string stream;
  for (size_t i = 0; i < 6000; ++i) stream += static_cast<char>((i * 7 + i / 256) & 0xFF);

  testsupport::RecordSocket out;

  ChunkCountingThread t;
  t.SetPort(&port);
  t.AddOutput(out.WriteEnd(), true);
  t.SetSampleLimit(static_cast<LONG>(stream.size()));
  far.Script().Send(stream);
  t.Resume();
  t.WaitFor();
  out.Join();

  EXPECT_FALSE(t.HasFatalException()) << t.FatalMessage();
  EXPECT_EQ(t.Total(), stream.size());
  EXPECT_TRUE(out.Bytes() == stream) << "received " << out.Bytes().size() << " of " << stream.size() << " bytes";
  const std::vector<size_t>& records = out.Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.size(), static_cast<size_t>(t.Chunks()));
  EXPECT_LE(*std::max_element(records.begin(), records.end()), 33u);
}

}  // namespace
}  // namespace transport
