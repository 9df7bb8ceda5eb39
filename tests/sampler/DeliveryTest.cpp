// Every byte of a run reaches the right descriptor: the end of a run right
// behind its data, line errors, readers that stall, handles the run closes,
// and the line left in command state afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "SamplerRig.h"
#include "platform/Trace.h"
#include "sim/SimProfiles.h"
#include "sim/SimSignal.h"

using samplertest::ErrorText;
using samplertest::Pipe;
using samplertest::Sampler;

namespace {

constexpr LONG kRate = 50000;  // divisor 99: 6250 bytes/s, well inside 115200 baud

std::vector<BYTE> SoleStream(size_t count) {
  sim::StreamSpec spec;
  spec.mode = sim::StreamMode::Sole;
  spec.divisor = static_cast<unsigned>(5000000 / kRate - 1);
  return sim::ExpectedStream(sim::DefaultSignal(), spec, count);
}

std::vector<BYTE> Head(const std::vector<BYTE>& bytes, size_t n) {
  return std::vector<BYTE>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
}

bool Failed(LONG code) { return code >= SST_RUN_FAILED; }
bool Over(LONG code) { return code == SST_READY || Failed(code); }

// A registered copy of SIM that ends every run itself after `length` bytes,
// with its closing break `quietMicros` behind the last one.
std::string EndingPort(const std::string& name, size_t length, platform::Micros quietMicros) {
  sim::SimProfile p = samplertest::Profile("SIM");
  p.runLength = length;
  p.closingQuiet = quietMicros;
  EXPECT_TRUE(sim::RegisterSimPort(name, p));
  return name;
}

// A pipe whose buffer is one page, so that a reader that stops reading stalls the writer at once.
void ShrinkPipe(int fd) { ASSERT_GE(::fcntl(fd, F_SETPIPE_SZ, 4096), 0); }

// The status's byte count once it reaches `bytes` (or after a generous deadline).
long WaitForBytes(Sampler& s, long bytes) {
  long seen = 0;
  s.WaitFor([&](LONG code) {
    if (code != SST_SAMPLING) return Failed(code);
    seen = std::stol(s.StatusText().substr(std::string("Sampling ").size()));
    return seen > bytes;
  }, 20000);
  return seen;
}

template <class F>
double SecondsOf(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// The device's closing break right behind its data (or after a pause): every
// byte before it arrives, and the run ends with the device's message.
TEST(Delivery, BreakAtAnyDistanceBehindTheLastByteLosesNothing) {
  for (platform::Micros quietMs : {0, 1, 50, 100, 600}) {
    for (size_t length : {500u, 3000u}) {
      SCOPED_TRACE(testing::Message() << "break " << quietMs << " ms after " << length << " bytes");
      const std::string port = EndingPort("TEST-BREAK-" + std::to_string(quietMs) + "-" + std::to_string(length),
                                          length, quietMs * 1000);
      Sampler s;
      ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
      s.Configure(1, kRate, 0);
      Pipe p;
      s.Bind(0, p.GiveWriteEnd());
      ASSERT_EQ(s->Start(), S_OK) << ErrorText();
      EXPECT_EQ(p.ReadAll(), SoleStream(length));
      EXPECT_EQ(s.WaitFor(Failed), SST_HARDWARE_STOPPED);
      EXPECT_EQ(s.StatusText(), "Sampling failed. Run complete.");
    }
  }
}

TEST(Delivery, AbruptProfileDeliversItsWholeRun) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM-ABRUPT"), S_OK) << ErrorText();
  s.Configure(1, kRate, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(p.ReadAll(), SoleStream(512));
  EXPECT_EQ(s.WaitFor(Failed), SST_HARDWARE_STOPPED);
}

// A framing error: everything that arrived before the misframed byte is
// delivered in order, then the run fails with the error's text.
TEST(Delivery, LineErrorDeliversEveryByteAheadOfIt) {
  for (size_t after : {1u, 33u, 100u, 3000u}) {
    SCOPED_TRACE(testing::Message() << "misframed byte after " << after);
    const std::string port = "TEST-MISFRAME-" + std::to_string(after);
    ASSERT_TRUE(sim::RegisterSimPort(port, samplertest::Profile("SIM")));
    Sampler s;
    ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
    s.Configure(1, kRate, 0);
    sim::LiveDevice(port)->InjectStreamMisframe(after);
    Pipe p;
    s.Bind(0, p.GiveWriteEnd());
    ASSERT_EQ(s->Start(), S_OK) << ErrorText();
    const std::vector<BYTE> got = p.ReadAll();
    ASSERT_GE(got.size(), after);
    EXPECT_EQ(Head(got, after), SoleStream(after));
    EXPECT_EQ(s.WaitFor(Failed), SST_RUN_FAILED);
    EXPECT_EQ(s.StatusText(), "Sampling failed. C02-The hardware detected a framing error.");
  }
}

TEST(Delivery, NoisyProfileDeliversItsGoodBytesThenFails) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM-NOISY"), S_OK) << ErrorText();
  s.Configure(1, kRate, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  const std::vector<BYTE> got = p.ReadAll();
  ASSERT_GE(got.size(), 1000u);
  EXPECT_EQ(Head(got, 1000), SoleStream(1000));
  EXPECT_EQ(s.WaitFor(Failed), SST_RUN_FAILED);
}

// A run closes the handle it was given with the close flag; the number may
// then name another file of the host, which a later run must not touch.
TEST(Delivery, AClosedHandleIsNeverUsedAgain) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("TEST-REUSED-FD", samplertest::Profile("SIM"))), S_OK);
  s.Configure(1, kRate, 8 * 100);
  samplertest::TempFile first;
  const LONG fd = first.OpenForWriting();
  ASSERT_GT(fd, 0);
  s.Bind(0, fd, true);
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  ASSERT_EQ(s.WaitFor(Over), SST_READY);
  EXPECT_EQ(first.Read().size(), 100u);

  samplertest::TempFile hostFile;
  const int reused = hostFile.OpenForWriting();
  ASSERT_EQ(reused, fd) << "the host's next open should get the freed number";
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  s.WaitFor(Over);
  EXPECT_TRUE(hostFile.Read().empty());
  EXPECT_NE(::fcntl(reused, F_GETFD), -1) << "the host's file was closed";
  ::close(reused);
}

// A reader that stops reading cannot hold Stop, Close or the last Release.
TEST(Delivery, AStalledReaderCannotHoldUpTheHost) {
  enum class End { Stop, Close, Release };
  for (End how : {End::Stop, End::Close, End::Release}) {
    SCOPED_TRACE(static_cast<int>(how));
    Sampler s;
    ASSERT_EQ(s.Open("SIM"), S_OK) << ErrorText();
    s.Configure(1, 90909, 0);
    Pipe p;
    const LONG w = p.GiveWriteEnd();
    ShrinkPipe(w);
    s.Bind(0, w);
    ASSERT_EQ(s->Start(), S_OK) << ErrorText();
    // Well past what the pipe and the port's queue hold: the thread now keeps the rest itself.
    ASSERT_GT(WaitForBytes(s, 12000), 12000);
    const double seconds = SecondsOf([&] {
      switch (how) {
        case End::Stop: EXPECT_EQ(s->Stop(), S_OK) << ErrorText(); break;
        case End::Close: EXPECT_EQ(s->Close(), S_OK) << ErrorText(); break;
        case End::Release: s.Release(); break;
      }
    });
    // 200 ms settle plus a bounded delivery grace; the margin is for a loaded machine.
    EXPECT_LT(seconds, 5.0);
    if (how == End::Stop) {
      LONG code = 0;
      const std::string text = s.StatusText(&code);
      EXPECT_EQ(code, SST_RUN_FAILED);
      EXPECT_NE(text.find("received bytes could not be delivered"), std::string::npos) << text;
    }
  }
}

// A non-blocking output whose reader pauses for a second: the thread waits for
// it instead of failing the run, and keeps reading the port meanwhile.
TEST(Delivery, APausingReaderOfANonBlockingOutputLosesNothing) {
  Sampler s;
  ASSERT_EQ(s.Open("SIM"), S_OK) << ErrorText();
  s.Configure(1, kRate, 8 * 12000);  // about two seconds of data
  Pipe p;
  const LONG w = p.GiveWriteEnd();
  ShrinkPipe(w);
  ASSERT_EQ(::fcntl(w, F_SETFL, ::fcntl(w, F_GETFL) | O_NONBLOCK), 0);
  s.Bind(0, w);
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the pause under test, not a synchronisation
  EXPECT_EQ(p.ReadAll(), SoleStream(12000));
  EXPECT_EQ(s.WaitFor(Over), SST_READY) << s.StatusText();
}

// Whatever the data phase's settings text changed, the line ends in command
// state: 115200 8N1 and DTR low, after a run that ends by count, by the
// device, or by Stop.
TEST(Delivery, TheLineReturnsToCommandStateAfterEveryRun) {
  sim::SimProfile p = samplertest::Profile("SIM");
  p.dataSettings = platform::LineSettings{57600, 7, EVENPARITY, TWOSTOPBITS};
  samplertest::WireRecorder wire("TEST-Y4-LINE", p);
  sim::SimProfile ending = p;
  ending.runLength = 300;
  samplertest::WireRecorder endingWire("TEST-Y4-LINE-END", ending);
  const platform::LineSettings command{115200, 8, NOPARITY, ONESTOPBIT};
  enum class End { Count, Device, Stop };
  for (End how : {End::Count, End::Device, End::Stop}) {
    SCOPED_TRACE(static_cast<int>(how));
    samplertest::WireRecorder& line = how == End::Device ? endingWire : wire;
    Sampler s;
    ASSERT_EQ(s.Open(how == End::Device ? "TEST-Y4-LINE-END" : "TEST-Y4-LINE"), S_OK) << ErrorText();
    s.Configure(1, kRate, how == End::Count ? 8 * 200 : 0);
    Pipe out;
    s.Bind(0, out.GiveWriteEnd());
    ASSERT_EQ(s->Start(), S_OK) << ErrorText();
    if (how == End::Stop) {
      s.WaitFor([](LONG c) { return c == SST_SAMPLING; });
      ASSERT_EQ(s->Stop(), S_OK) << ErrorText();
    }
    const std::vector<BYTE> got = out.ReadAll();
    EXPECT_FALSE(got.empty());
    s.WaitFor(Over);
    const auto [settings, dtr] = line.HostLine();
    EXPECT_EQ(settings, command) << settings.baudRate << " " << int(settings.byteSize) << " "
                                 << int(settings.parity) << " " << int(settings.stopBits);
    EXPECT_FALSE(dtr);
  }
}

// One trace line per run end says why it ended and how much came.
TEST(Delivery, EachRunEndIsTracedWithItsReasonAndCount) {
  samplertest::TempFile trace;
  platform::SetTraceTarget(trace.Path());
  {
    Sampler counted;
    ASSERT_EQ(counted.Open(samplertest::FastPort("TEST-TRACED", samplertest::Profile("SIM"))), S_OK);
    counted.Configure(1, kRate, 8 * 100);
    Pipe p;
    counted.Bind(0, p.GiveWriteEnd());
    ASSERT_EQ(counted->Start(), S_OK) << ErrorText();
    EXPECT_EQ(counted.WaitFor(Over), SST_READY);

    Sampler ended;
    ASSERT_EQ(ended.Open("SIM-ABRUPT"), S_OK);
    ended.Configure(1, kRate, 0);
    Pipe q;
    ended.Bind(0, q.GiveWriteEnd());
    ASSERT_EQ(ended->Start(), S_OK) << ErrorText();
    EXPECT_EQ(ended.WaitFor(Failed), SST_HARDWARE_STOPPED);
  }
  platform::SetTraceTarget("");
  const std::vector<BYTE> bytes = trace.Read();
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("Run end: count reached, 100 bytes received, 0 undelivered\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Run end: hardware break, 512 bytes received, 0 undelivered\n"), std::string::npos) << text;
}
