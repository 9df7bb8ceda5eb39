// QUELMCHK as a user runs it: against the built-in virtual samplers, against
// the probe build whose device keeps a journal, through the pseudo-terminal
// front end, against a far end this test plays on a pty, and under signals.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TerminalBaud.h"
#include "platform/PseudoTerminal.h"
#include "sim/SimSignal.h"
#include "tools/ComTest.h"
#include "tests/support/TempDir.h"

namespace {

using tooltest::BinDir;
using tooltest::ChildOptions;
using tooltest::ChildResult;
using tooltest::RunChild;

const std::string kUsage = std::string(tools::UsageLine) + "\n";

ChildResult Tool(const std::vector<std::string>& args, const ChildOptions& options = {}) {
  return RunChild(BinDir() + "/QUELMCHK", args, options);
}

// The first n bytes of a sole-channel run of the default signal (what "S0" streams).
std::string SoleStream(size_t n) {
  sim::StreamSpec spec;
  spec.mode = sim::StreamMode::Sole;
  const auto bytes = sim::ExpectedStream(sim::DefaultSignal(), spec, n);
  return std::string(bytes.begin(), bytes.end());
}

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

void ExpectExit(const ChildResult& r, int code) {
  EXPECT_FALSE(r.killedAtLimit) << "still running at the limit; stderr: " << r.err;
  EXPECT_TRUE(r.exited) << "ended by signal " << r.termSignal;
  EXPECT_EQ(r.exitCode, code) << "stderr: " << r.err;
}

void ExpectEndedByItself(const ChildResult& r) { ExpectExit(r, tools::ecSuccess); }

// ---- the built-in virtual samplers ----------------------------------------------

TEST(ToolOnSim, NoArgumentsShowsTheUsageLine) {
  const ChildResult r = Tool({});
  ExpectExit(r, tools::ecBadArguments);
  EXPECT_EQ(r.err, kUsage);
  EXPECT_EQ(r.out, "");
}

TEST(ToolOnSim, HelpInEachSpellingGoesToStandardOutput) {
  for (const char* help : {"--help", "-h", "/?"}) {
    const ChildResult r = Tool({help});
    ExpectEndedByItself(r);
    EXPECT_TRUE(r.out.starts_with(kUsage)) << help << ": " << r.out;
    EXPECT_TRUE(Contains(r.out, "/WAITCMD=n")) << help;
    EXPECT_TRUE(Contains(r.out, "2 bad arguments")) << help;
    EXPECT_EQ(r.err, "") << help;
  }
  // Help that cannot be written is no success either.
  ChildOptions full;
  full.stdoutPath = "/dev/full";
  const ChildResult f = Tool({"--help"}, full);
  ExpectExit(f, tools::ecFailure);
  EXPECT_FALSE(f.err.empty());
}

TEST(ToolOnSim, IdentificationReplyGoesToStandardError) {
  const ChildResult r = Tool({"?\rH\r", "/time=300", "/port=sim"});
  ExpectEndedByItself(r);
  EXPECT_TRUE(Contains(r.err, "QUELM1 pulse sampler v2.1 (virtual)\r\nY1:1234\r\nY2:")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Y3:20MHz\r\n")) << r.err;
  EXPECT_EQ(r.out, "");  // no start command: no data
}

TEST(ToolOnSim, OptionsInAnyCaseAndOrderCopyExactlyTheCount) {
  const ChildResult r = Tool({"/CoUnT=100", "S0\r", "/Port=SIM"});
  ExpectEndedByItself(r);
  EXPECT_EQ(r.err, "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n\n");
  EXPECT_EQ(r.out, SoleStream(100));
}

TEST(ToolOnSim, ZeroWaitReadsTheReplyAtOnce) {
  // No wait at all: the reply has not arrived when it is read, so it reaches
  // standard output through the data phase instead of standard error.
  const ChildResult r = Tool({"/PORT=SIM", "/WAITCMD=0", "/TIME=400", "?\rH\r"});
  ExpectEndedByItself(r);
  // The reply's last line comes some 25 ms after the command: never in time for the read.
  EXPECT_FALSE(Contains(r.err, "Y3:20MHz")) << r.err;
  EXPECT_TRUE(Contains(r.out, "Y3:20MHz\r\n")) << r.out;
}

TEST(ToolOnSim, HardwareErrorCodeEndsTheRun) {
  const ChildResult r = Tool({"/PORT=SIM-BROKEN", "H\r", "/TIME=2000"});
  ExpectExit(r, tools::ecDeviceError);
  EXPECT_TRUE(Contains(r.err, "N1 Oscillator failure\r\n\n")) << r.err;  // the reply itself
  EXPECT_TRUE(r.err.ends_with("Hardware error: N1 Oscillator failure\n")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(ToolOnSim, CommandFailureAfterY4StartsNoDataPhase) {
  // "Z" cancels the armed start and is refused with a Q-code.
  const ChildResult r = Tool({"/PORT=SIM", "S0\rZ\r"});
  ExpectExit(r, tools::ecDeviceError);
  EXPECT_TRUE(Contains(r.err, "Y4:baud=115200")) << r.err;
  EXPECT_TRUE(r.err.ends_with("Command failed: Q1 Unknown command: Z\n")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(ToolOnSim, Y4SwitchesTheLineForTheDataPhase) {
  // SIM-QUELM streams at 230400; read at any other rate the bytes would come garbled.
  const ChildResult r = Tool({"/PORT=SIM-QUELM", "S0\r", "/COUNT=3000"});
  ExpectEndedByItself(r);
  EXPECT_TRUE(Contains(r.err, "Y4:baud=230400")) << r.err;
  EXPECT_EQ(r.out, SoleStream(3000));
}

TEST(ToolOnSim, HardwareBreakWithMessageEndsTheDataPhase) {
  // The J buffer holds 18 x 128 samples: 288 bytes, then the device's break and message.
  const ChildResult j = Tool({"/PORT=SIM", "J0\r"});
  ExpectEndedByItself(j);
  EXPECT_TRUE(j.err.ends_with("Hardware break: Buffer full.\n")) << j.err;
  EXPECT_EQ(j.out, SoleStream(288));

  const ChildResult s = Tool({"/PORT=SIM-SHORT", "S0\r"});
  ExpectEndedByItself(s);
  EXPECT_TRUE(s.err.ends_with("Hardware break: Run complete.\n")) << s.err;
  EXPECT_EQ(s.out, SoleStream(512));
}

// The device's break right behind its last byte, and a framing error in the
// middle of a stream: standard output holds every byte that came before.
TEST(ToolOnSim, NothingAheadOfABreakOrALineErrorIsLost) {
  const ChildResult abrupt = Tool({"/PORT=SIM-ABRUPT", "/TIME=3000", "S0\r"});
  ExpectEndedByItself(abrupt);
  EXPECT_TRUE(abrupt.err.ends_with("Hardware break: Run complete.\n")) << abrupt.err;
  EXPECT_EQ(abrupt.out, SoleStream(512));

  const ChildResult noisy = Tool({"/PORT=SIM-NOISY", "/TIME=3000", "S0\r"});
  ExpectExit(noisy, tools::ecDataPhaseFailed);
  EXPECT_TRUE(noisy.err.ends_with("\nC02-The hardware detected a framing error.\n")) << noisy.err;
  ASSERT_GE(noisy.out.size(), 1000u);
  EXPECT_EQ(noisy.out.substr(0, 1000), SoleStream(1000));
}

TEST(ToolOnSim, TimeEndsTheDataPhase) {
  const ChildResult r = Tool({"/PORT=SIM", "S0\r", "/TIME=300"});
  ExpectEndedByItself(r);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out, SoleStream(r.out.size()));  // nothing lost or changed up to the end
}

TEST(ToolOnSim, PortThatCannotBeOpened) {
  const ChildResult r = Tool({"/PORT=NO-SUCH-PORT", "H\r"});
  ExpectExit(r, tools::ecOpenFailed);
  EXPECT_TRUE(r.err.starts_with("Failed to open port 'NO-SUCH-PORT': System Error.  Code: ")) << r.err;
  EXPECT_EQ(r.out, "");
  // The message names the device without the settings text split off it.
  const ChildResult c = Tool({"/PORT=COM9 baud=9600", "H\r"}, {{"QUELM_COM9=/nonexistent/tty"}});
  ExpectExit(c, tools::ecOpenFailed);
  EXPECT_TRUE(c.err.starts_with("Failed to open port 'COM9': System Error.  Code: ")) << c.err;
}

TEST(ToolOnSim, SilentDeviceDoesNotHangTheTool) {
  // Nothing attached holds CTS low; the command write gives up instead of blocking.
  const ChildResult r = Tool({"/PORT=SIM-SILENT", "H\r"});
  ExpectExit(r, tools::ecFailure);
  EXPECT_TRUE(Contains(r.err, "Command not sent: the device took 0 of 2 bytes")) << r.err;
  EXPECT_EQ(r.out, "");
}

// ---- the probe build: the same program on a device that keeps a journal ------

struct ProbeRun {
  ChildResult result;
  std::vector<std::string> journal;
  // Index of the first journal line equal to `line` at or after `from`, or -1.
  long Find(const std::string& line, size_t from = 0) const {
    for (size_t i = from; i < journal.size(); ++i)
      if (journal[i] == line) return static_cast<long>(i);
    return -1;
  }
};

ProbeRun Probe(const std::vector<std::string>& args, std::vector<std::string> environment,
               const std::string& testName) {
  const std::string path = testsupport::ScratchFile("quelmchk-probe-" + testName + ".log");
  std::remove(path.c_str());
  environment.push_back("QUELM_PROBE_JOURNAL=" + path);
  ProbeRun run;
  run.result = RunChild(QUELMCHK_PROBE, args, {environment});
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) run.journal.push_back(line);
  return run;
}

TEST(ToolDeviceSide, CountDropsDtrAndSendsNoBreakAfterData) {
  const ProbeRun p = Probe({"/PORT=PROBE", "/COUNT=100", "S0\r"}, {}, "count");
  ExpectEndedByItself(p.result);
  EXPECT_EQ(p.result.out, SoleStream(100));
  const long command = p.Find("rx S0\\r");
  ASSERT_GE(command, 0);
  const long up = p.Find("dtr 1", command);  // the Y4 text's dtr=on, applied by the reading thread
  ASSERT_GT(up, command);
  const long down = p.Find("dtr 0", up);
  EXPECT_GT(down, up);
  EXPECT_EQ(p.Find("break 1", command), -1);  // data arrived: no break, no handshake
  EXPECT_GT(p.Find("close state 0", down), down);  // the device was back in command state
}

TEST(ToolDeviceSide, OtherBaudRateForTheDataPhaseThen115200Again) {
  const ProbeRun p = Probe({"/PORT=PROBE", "/COUNT=500", "S0\r"}, {"QUELM_PROBE_PROFILE=SIM-QUELM"}, "baud");
  ExpectEndedByItself(p.result);
  EXPECT_EQ(p.result.out, SoleStream(500));
  const long fast = p.Find("baud 230400", p.Find("rx S0\\r"));
  ASSERT_GT(fast, 0);
  const long down = p.Find("dtr 0", fast);
  ASSERT_GT(down, fast);
  EXPECT_GT(p.Find("baud 115200", down), down);
}

TEST(ToolDeviceSide, CommandFailureSendsCarriageReturnBeforeTheCleanup) {
  const ProbeRun p = Probe({"/PORT=PROBE", "S0\rZ\r"}, {}, "qcode");
  ExpectExit(p.result, tools::ecDeviceError);
  EXPECT_TRUE(p.result.err.ends_with("Command failed: Q1 Unknown command: Z\n")) << p.result.err;
  const long command = p.Find("rx S0\\rZ\\r");
  ASSERT_GE(command, 0);
  const long cr = p.Find("rx \\r", command);
  const long cleanupBreak = p.Find("break 1", command);
  ASSERT_GT(cr, command);
  ASSERT_GT(cleanupBreak, cr);  // the "\r" of the failed command, then the cleanup's break and handshake
  EXPECT_GT(p.Find("rx \\r", cleanupBreak), cleanupBreak);
  EXPECT_EQ(p.Find("dtr 1"), -1);  // the data phase never began
  EXPECT_EQ(p.result.out, "");
}

TEST(ToolDeviceSide, LineErrorInTheDataPhaseFailsTheRunOnStandardError) {
  const ProbeRun p = Probe({"/PORT=PROBE", "S0\r"}, {"QUELM_PROBE_MISFRAME=6000:0"}, "frame");
  ExpectExit(p.result, tools::ecDataPhaseFailed);
  EXPECT_TRUE(p.result.err.ends_with("\nC02-The hardware detected a framing error.\n")) << p.result.err;
  // Every byte that arrived before the misframed one, unchanged; what was
  // queued behind it may follow, but the run ends there.
  const std::string& data = p.result.out;
  ASSERT_GE(data.size(), 6000u);
  EXPECT_EQ(data.substr(0, 6000), SoleStream(6000));
  EXPECT_LT(data.size(), 6000u + 4096u);
}

TEST(ToolDeviceSide, BadOrMissingArgumentsOpenNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string notWhole = " needs a whole number from 0 to 2147483647, not ";
  const Case cases[] = {
      {{"/PORT=PROBE", "/COUNT=-5", "S0\r"}, "/COUNT needs a value of 0 or more, not -5\n"},
      {{"/PORT=PROBE", "/COUNT=1e3", "S0\r"}, "/COUNT" + notWhole + "'1e3'\n"},
      {{"/PORT=PROBE", "/TIME=1s", "S0\r"}, "/TIME" + notWhole + "'1s'\n"},
      {{"/PORT=PROBE", "/WAITCMD=12abc", "S0\r"}, "/WAITCMD" + notWhole + "'12abc'\n"},
      {{"/PORT=PROBE", "/TIME=", "S0\r"}, "/TIME" + notWhole + "''\n"},
      {{"/PORT=PROBE"}, "No command given: the text to send is needed\n"},
      {{"S0\r", "/COUNT=10"}, "No port given: /PORT=<name> is needed\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const ProbeRun p = Probe(c.args, {}, "bad" + std::to_string(n++));
    ExpectExit(p.result, tools::ecBadArguments);
    EXPECT_EQ(p.result.err, c.err + kUsage);
    EXPECT_EQ(p.result.out, "");
    EXPECT_TRUE(p.journal.empty()) << c.err;  // the port was never opened
  }
}

// ---- the pseudo-terminal front end of the virtual sampler ------------------------

TEST(ToolOnPty, FrontEndIdentifiesAndStreams) {
  tooltest::BackgroundChild front(BinDir() + "/quelm-sim-pty", {"SIM"});
  ASSERT_TRUE(front.Started());
  const std::string slave = front.ReadLine(5000);
  ASSERT_FALSE(slave.empty());

  const ChildResult id = Tool({"/PORT=" + slave, "/TIME=300", "?\rH\r"});
  ExpectEndedByItself(id);
  EXPECT_TRUE(Contains(id.err, "QUELM1 pulse sampler v2.1 (virtual)\r\nY1:1234\r\n")) << id.err;

  const ChildResult run = Tool({"/PORT=" + slave, "/COUNT=100", "S0\r"});
  ExpectEndedByItself(run);
  EXPECT_EQ(run.out, SoleStream(100));
}

// A device this test plays itself on a pty, to see the bytes and line settings the tool gives it.
class PtyFarEnd {
 public:
  explicit PtyFarEnd(std::function<void(PtyFarEnd&)> script) {
    opened_ = pty_.Open();
    // A descriptor of our own on the slave, opened before the tool takes it exclusively.
    if (opened_) watch_ = tooltest::OpenTerminalForSettings(pty_.SlavePath().c_str());
    opened_ = opened_ && watch_ >= 0;
    if (opened_) thread_ = std::thread([this, script] { Serve(script); });
  }
  ~PtyFarEnd() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    tooltest::CloseTerminal(watch_);
  }
  bool Opened() const { return opened_; }
  std::string Path() const { return pty_.SlavePath(); }
  std::string Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  DWORD Baud() const { return tooltest::TerminalBaud(watch_); }
  std::string Framing() const {
    char text[4];
    return tooltest::TerminalFraming(watch_, text);
  }

  // For the script: wait until the received bytes end with `tail` (or stop).
  bool AwaitTail(const std::string& tail, int limitMs = 5000) {
    return Until([&] { return Received().ends_with(tail); }, limitMs);
  }
  bool AwaitBaud(DWORD baud, int limitMs = 5000) {
    return Until([&] { return Baud() == baud; }, limitMs);
  }
  void Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && !stop_) {
      const long n = pty_.Write(reinterpret_cast<const BYTE*>(bytes.data()) + done, bytes.size() - done);
      if (n < 0) return;
      done += static_cast<size_t>(n);
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  bool Until(const std::function<bool()>& done, int limitMs) {
    for (int waited = 0; waited < limitMs && !stop_; ++waited) {
      Pump(1);
      if (done()) return true;
    }
    return false;
  }
  void Pump(int waitMs) {
    if (pty_.Wait(waitMs, false) & platform::PseudoTerminal::kMasterInput) {
      BYTE buffer[256];
      bool purged = false;
      const long n = pty_.Read(buffer, sizeof buffer, purged);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
      }
    }
  }
  void Serve(const std::function<void(PtyFarEnd&)>& script) {
    script(*this);
    while (!stop_) Pump(5);
  }

  platform::PseudoTerminal pty_;
  bool opened_ = false;
  int watch_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string received_;
};

std::string AllByteValues() {
  std::string s;
  for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
  return s;
}

TEST(ToolOnPty, CommandUnchangedStreamBinarySafeAndLineRestored) {
  const std::string data = AllByteValues() + AllByteValues();
  PtyFarEnd device([&](PtyFarEnd& d) {
    if (!d.AwaitTail("go!")) return;  // the command carries no CR: none is added
    d.Send("Y4:baud=57600 parity=N data=8 stop=1\r\n");
    if (!d.AwaitBaud(57600)) return;  // the reading thread has switched the line
    d.Send(data);
  });
  ASSERT_TRUE(device.Opened());
  const ChildResult r = Tool({"/PORT=" + device.Path(), "go!", "/COUNT=512"});
  ExpectEndedByItself(r);
  EXPECT_EQ(r.out, data);
  EXPECT_EQ(device.Received(), "go!");  // after data, the cleanup only drops DTR and the rate
  EXPECT_EQ(device.Baud(), 115200u);
}

TEST(ToolOnPty, CommandFailureSendsCarriageReturnHardwareErrorDoesNot) {
  PtyFarEnd failing([](PtyFarEnd& d) {
    if (d.AwaitTail("S0\r")) d.Send("Y4:baud=57600 parity=N data=8 stop=1\r\nQ3 Not supported: S0\r\n");
  });
  ASSERT_TRUE(failing.Opened());
  const ChildResult q = Tool({"/PORT=" + failing.Path(), "S0\r"});
  ExpectExit(q, tools::ecDeviceError);
  EXPECT_TRUE(q.err.ends_with("Command failed: Q3 Not supported: S0\n")) << q.err;
  EXPECT_EQ(q.out, "");
  // The command, the "\r" after the Q-code, the cleanup's acknowledgement.
  EXPECT_EQ(failing.Received(), "S0\r\r\r");
  EXPECT_EQ(failing.Baud(), 115200u);

  PtyFarEnd broken([](PtyFarEnd& d) {
    if (d.AwaitTail("H\r")) d.Send("N2 Oscillator stopped\r\n");
  });
  ASSERT_TRUE(broken.Opened());
  const ChildResult n = Tool({"/PORT=" + broken.Path(), "H\r"});
  ExpectExit(n, tools::ecDeviceError);
  EXPECT_TRUE(n.err.ends_with("Hardware error: N2 Oscillator stopped\n")) << n.err;
  EXPECT_EQ(broken.Received(), "H\r\r");  // only the cleanup's acknowledgement
}

// A Y4 text that changes every line setting: afterwards the terminal is back
// at the command line, 115200 8N1.
TEST(ToolOnPty, EveryLineSettingReturnsAfterTheDataPhase) {
  PtyFarEnd device([](PtyFarEnd& d) {
    if (!d.AwaitTail("S0\r")) return;
    d.Send("Y4:baud=57600 parity=E data=7 stop=2 dtr=on\r\n");
    if (d.AwaitBaud(57600)) d.Send(std::string(40, 'x'));
  });
  ASSERT_TRUE(device.Opened());
  // A long reply window: the far end answers from a thread that a loaded machine may delay.
  const ChildResult r = Tool({"/PORT=" + device.Path(), "/COUNT=40", "/WAITCMD=1000", "S0\r"});
  ExpectEndedByItself(r);
  EXPECT_EQ(r.out, std::string(40, 'x'));
  EXPECT_EQ(device.Baud(), 115200u);
  EXPECT_EQ(device.Framing(), "8N1");
}

// A settings text in /PORT is overridden by the tool's own line, and the
// clean-up after a failed command runs at that command rate too.
TEST(ToolOnPty, CleanupAfterAFailedCommandRunsAtTheCommandRate) {
  PtyFarEnd failing([](PtyFarEnd& d) {
    if (d.AwaitTail("S0\r")) d.Send("Q3 Not supported: S0\r\n");
  });
  ASSERT_TRUE(failing.Opened());
  ChildOptions options;
  options.environment = {"QUELM_COM7=" + failing.Path()};
  const ChildResult q = Tool({"/PORT=COM7 baud=9600 parity=N data=8 stop=1", "S0\r"}, options);
  ExpectExit(q, tools::ecDeviceError);
  EXPECT_EQ(failing.Received(), "S0\r\r\r");
  EXPECT_EQ(failing.Baud(), 115200u);
}

// ---- signals and a consumer that leaves --------------------------------------------

class ToolSignal : public ::testing::TestWithParam<int> {};

TEST_P(ToolSignal, EndsAStreamingDataPhaseByTheDefaultAction) {
  ChildOptions options;
  options.signal = GetParam();
  options.signalAfter = 200;
  options.limitMs = 15000;
  const ChildResult r = Tool({"/PORT=SIM", "S0\r"}, options);
  EXPECT_FALSE(r.killedAtLimit) << "the signal did not end the tool";
  EXPECT_EQ(r.termSignal, GetParam());
  EXPECT_GE(r.out.size(), 200u);
  EXPECT_EQ(r.out, SoleStream(r.out.size()));  // every byte before the end reached the pipe
}

INSTANTIATE_TEST_SUITE_P(InterruptTerminateHangup, ToolSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(ToolConsumer, ClosedPipeEndsTheToolCleanly) {
  ChildOptions options;
  options.closeStdoutAfter = 10;  // like `| head -c 10`
  const ChildResult r = Tool({"/PORT=SIM", "S0\r"}, options);
  ExpectEndedByItself(r);  // not SIGPIPE, and no failure: the consumer had what it wanted
  EXPECT_EQ(r.out, SoleStream(10));
  EXPECT_EQ(r.err, "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n\n");  // no broken-pipe message
}

TEST(ToolConsumer, FullStandardOutputFailsTheDataPhase) {
  ChildOptions options;
  options.stdoutPath = "/dev/full";
  const ChildResult r = Tool({"/PORT=SIM", "/COUNT=100", "r3F\rS0\r"}, options);
  ExpectExit(r, tools::ecDataPhaseFailed);
  EXPECT_TRUE(r.err.starts_with("Y4:baud=115200")) << r.err;
  EXPECT_TRUE(r.err.ends_with("No space left on device\n")) << r.err;
}

}  // namespace
