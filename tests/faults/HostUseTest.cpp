// Faults in the host's own use of the sampler: calls from several threads
// during a run, configuration while a run works, restarting as soon as a run is
// reported over, failed starts, and stop values a run cannot use.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <set>
#include <thread>

#include "FaultRig.h"
#include "sim/SimProfiles.h"

using namespace faulttest;

namespace {

bool RunState(LONG code) { return code == SST_WAITING || code == SST_SAMPLING; }

// A sampler on a fast copy of SIM, streaming into a pipe with no stop condition.
struct Streaming {
  explicit Streaming(const std::string& name) : port(samplertest::FastPort(name, samplertest::Profile("SIM"))) {
    EXPECT_EQ(s.Open(port), S_OK) << ErrorText();
    s.Configure(1, 50000, 0);
    s.Bind(0, out.GiveWriteEnd());
    EXPECT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
    EXPECT_EQ(s.WaitFor([](LONG c) { return c == SST_SAMPLING || Failed(c); }), SST_SAMPLING);
  }
  std::string port;
  Sampler s;
  Pipe out;
};

// ---- several threads --------------------------------------------------------------------------

TEST_F(FaultCase, StopFromTwoThreadsAtOnceEndsTheRunOnce) {
  Streaming run("FAULT-TWO-STOPS");
  std::atomic<int> ready{0};
  HRESULT results[2] = {E_FAIL, E_FAIL};
  std::vector<std::thread> stoppers;
  for (int i = 0; i < 2; ++i)
    stoppers.emplace_back([&, i] {
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      results[i] = Timed(kWaits, "Stop", [&] { return run.s->Stop(); });
    });
  for (std::thread& t : stoppers) t.join();
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_OK);
  LONG code = -1;
  EXPECT_EQ(run.s.StatusText(&code), "Ready to start sampling");
  EXPECT_EQ(code, SST_READY);
  const std::vector<BYTE> got = run.out.ReadAll();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got, SoleStream(got.size()));
  EXPECT_EQ(run.s.ResetText(), "");
  EXPECT_EQ(Timed(kWaits, "SetRate", [&] { return run.s->SetRate(25000); }), S_OK) << ErrorText();
}

TEST_F(FaultCase, CloseFromAnotherThreadDuringARunEndsItAndThePort) {
  Streaming run("FAULT-CLOSE-OTHER");
  HRESULT hr = E_FAIL;
  std::thread other([&] { hr = Timed(kWaits, "Close", [&] { return run.s->Close(); }); });
  other.join();
  EXPECT_EQ(hr, S_OK) << ErrorText();
  EXPECT_EQ(run.s.Code(), SST_INACTIVE);
  EXPECT_FALSE(run.s.Sampling());
  const std::vector<BYTE> got = run.out.ReadAll();  // the run closed its output
  EXPECT_EQ(got, SoleStream(got.size()));
  EXPECT_EQ(sim::LiveDevice(run.port)->State(), sim::SimState::Gone);
  // The sampler is usable again.
  EXPECT_EQ(run.s.Open(run.port), S_OK) << ErrorText();
  EXPECT_EQ(run.s.Code(), SST_NO_MODE);
}

TEST_F(FaultCase, LastReleaseFromAnotherThreadDuringARunEndsItAndThePort) {
  auto run = std::make_unique<Streaming>("FAULT-RELEASE-OTHER");
  std::thread other([&] { Timed(kWaits, "Release", [&] { run->s.Release(); }); });
  other.join();
  const std::vector<BYTE> got = run->out.ReadAll();
  EXPECT_FALSE(got.empty());
  EXPECT_EQ(got, SoleStream(got.size()));
  EXPECT_EQ(sim::LiveDevice(run->port)->State(), sim::SimState::Gone);
}

TEST_F(FaultCase, SecondStartDuringARunIsRefusedAndTheRunGoesOn) {
  Streaming run("FAULT-SECOND-START");
  Pipe other;
  run.s.Bind(0, other.GiveWriteEnd());  // a new handle for the next run: the current one is untouched
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(FAILED(Timed(kQuick, "Start", [&] { return run.s->Start(); })));
    EXPECT_EQ(ErrorText(), "A sampling run is already in progress; stop it before starting another");
  }
  EXPECT_TRUE(RunState(run.s.Code()));
  EXPECT_TRUE(run.s.Sampling());
  EXPECT_EQ(Timed(kWaits, "Stop", [&] { return run.s->Stop(); }), S_OK) << ErrorText();
  EXPECT_EQ(run.s.Code(), SST_READY);
  const std::vector<BYTE> got = run.out.ReadAll();
  EXPECT_EQ(got, SoleStream(got.size()));
  // The handle bound during the run serves the next one.
  ASSERT_EQ(run.s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), S_OK) << ErrorText();
  ASSERT_EQ(run.s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 8 * 50), S_OK) << ErrorText();
  ASSERT_EQ(run.s->Start(), S_OK) << ErrorText();
  EXPECT_EQ(other.ReadAll(), SoleStream(50));
}

// Status queries from a second thread while the first starts, stops and closes:
// every answer is a known state, no call fails, nothing crashes (run under the sanitizers).
TEST_F(FaultCase, StatusPolledFromAnotherThreadWhileRunsStartStopAndClose) {
  const std::string port = samplertest::FastPort("FAULT-POLLED", samplertest::Profile("SIM"));
  Sampler s;
  std::atomic<bool> done{false};
  std::atomic<long> polls{0};
  std::set<LONG> seen;
  std::string bad;
  std::thread poller([&] {
    // Open reads as "Error accessing hardware" until the device has been identified.
    const std::set<LONG> known = {SST_INACTIVE, SST_HARDWARE_ERROR, SST_NO_MODE, SST_NO_RATE, SST_NO_IDLE_TIME, SST_NO_STOP_MODE, SST_READY,
                                  SST_SENDING_COMMAND, SST_STARTING, SST_WAITING,     SST_SAMPLING,
                                  SST_COMPLETED,  SST_STOPPING,     SST_RUN_FAILED,   SST_COMMAND_FAILED,
                                  SST_NO_SAMPLE_COUNT};
    while (!done.load()) {
      BSTR text = nullptr;
      LONG code = -1;
      const HRESULT hr = s->GetStatus(&text, &code);
      const std::string t = samplertest::Take(text);
      VARIANT_BOOL sampling = VARIANT_FALSE;
      const HRESULT hs = s->IsSampling(&sampling);
      if (FAILED(hr) || FAILED(hs) || !known.count(code) || t.empty())
        bad = "status " + std::to_string(code) + " \"" + t + "\"";
      seen.insert(code);
      ++polls;
    }
  });
  const int cycles = 30 / kScale;
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ(Timed(kWaits, "Open", [&] { return s.Open(port); }), S_OK) << ErrorText();
    s.Configure(1, 50000, i % 2 ? 8 * 100 : 0);  // odd cycles may end on their own first
    Pipe p;
    s.Bind(0, p.GiveWriteEnd());
    ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
    Sleep(i % 4);
    EXPECT_EQ(Timed(kWaits, "Stop", [&] { return s->Stop(); }), S_OK) << ErrorText();
    EXPECT_EQ(s.Code(), SST_READY) << "cycle " << i;
    const std::vector<BYTE> got = p.ReadAll();
    EXPECT_EQ(got, SoleStream(got.size()));
    EXPECT_EQ(Timed(kWaits, "Close", [&] { return s->Close(); }), S_OK) << ErrorText();
  }
  done = true;
  poller.join();
  EXPECT_EQ(bad, "");
  EXPECT_GT(polls.load(), cycles);
  EXPECT_TRUE(seen.count(SST_INACTIVE));
  EXPECT_TRUE(seen.count(SST_READY) || seen.count(SST_SAMPLING) || seen.count(SST_WAITING));
}

// ---- configuration during a run ---------------------------------------------------------------------

TEST_F(FaultCase, ConfigurationDuringARunIsRefusedAndTheRunUntouched) {
  Streaming run("FAULT-CONFIG-IN-RUN");
  const std::string capability = "A sampling run is in progress; stop it before changing a capability";
  platform::BStr command(std::string("S0"));
  struct Change {
    const char* what;
    std::function<HRESULT()> call;
    std::string text;
  };
  const Change changes[] = {
      {"SetCapabilityLong", [&] { return run.s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 8); }, capability},
      {"SetCapabilityLong timer", [&] { return run.s->SetCapabilityLong(SCAP_SAMPLING_TIMER, 1); }, capability},
      {"SetCapabilityBool", [&] { return run.s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE); }, capability},
      {"SetCapabilityBool same", [&] { return run.s->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE); },
       capability},
      {"SetCapabilityString", [&] { return run.s->SetCapabilityString(SCAP_COMMAND, command.Get()); }, capability},
      {"SetMode", [&] { return run.s->SetMode(2); }, "A sampling run is in progress; stop it before changing the mode"},
      {"SetMode same", [&] { return run.s->SetMode(1); },
       "A sampling run is in progress; stop it before changing the mode"},
  };
  for (const Change& c : changes) {
    EXPECT_TRUE(FAILED(Timed(kQuick, c.what, c.call))) << c.what;
    EXPECT_EQ(ErrorText(), c.text) << c.what;
    EXPECT_TRUE(RunState(run.s.Code())) << c.what;
    EXPECT_TRUE(run.s.Sampling()) << c.what;
  }
  LONG count = -1, mode = -1;
  EXPECT_EQ(run.s->GetCapabilityLong(SCAP_SAMPLE_COUNT, &count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(run.s->GetMode(&mode), S_OK);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(run.s.ChannelCount(), 1);
  EXPECT_EQ(Timed(kWaits, "Stop", [&] { return run.s->Stop(); }), S_OK) << ErrorText();
  EXPECT_EQ(run.s.Code(), SST_READY);
  const std::vector<BYTE> got = run.out.ReadAll();
  EXPECT_GT(got.size(), 0u);
  EXPECT_EQ(got, SoleStream(got.size()));
  // Once stopped, the same changes are taken.
  EXPECT_EQ(run.s->SetMode(2), S_OK) << ErrorText();
  EXPECT_EQ(run.s.ChannelCount(), 2);
}

// ---- restarting as soon as a run is reported over --------------------------------------------------

// True when every writer of the pipe read through `readFd` is closed (end of file
// after draining what is there), without blocking.
bool WritersClosed(int readFd) {
  ::fcntl(readFd, F_SETFL, ::fcntl(readFd, F_GETFL) | O_NONBLOCK);
  BYTE buf[512];
  for (;;) {
    const ssize_t n = ::read(readFd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) return false;
  }
}

TEST_F(FaultCase, OnceARunIsReportedOverTheNextStartIsAcceptedAndItsOutputClosed) {
  const std::string port = samplertest::FastPort("FAULT-RESTART", samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  s.Configure(1, 50000, 8 * 40);
  for (int i = 0; i < 20; ++i) {
    const bool failing = i % 3 == 2;  // every third run ends with a line error instead of its count
    if (failing) {
      ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_FALSE), S_OK) << ErrorText();
      sim::LiveDevice(port)->InjectStreamErrors(20, CE_FRAME);
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    s.Bind(0, fds[1]);
    ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << "run " << i << ": " << ErrorText();
    // Only queries tell the host that the run is over.
    const auto start = std::chrono::steady_clock::now();
    while (s.Sampling() && Seconds(start) < 10) Sleep(1);
    EXPECT_FALSE(s.Sampling());
    const LONG code = s.Code();
    EXPECT_EQ(code, failing ? SST_RUN_FAILED : SST_READY) << "run " << i;
    EXPECT_TRUE(WritersClosed(fds[0])) << "run " << i << ": reported over with its output still open";
    ::close(fds[0]);
    if (failing) {
      EXPECT_EQ(s.ResetText(), "C02-The hardware detected a framing error.");
      ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), S_OK) << ErrorText();
    }
  }
}

// ---- failed starts --------------------------------------------------------------------------------------

TEST_F(FaultCase, StartOnAVanishedDeviceLeavesTheFailureForReset) {
  const std::string port = samplertest::FastPort("FAULT-GONE-BEFORE", samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  s.Configure(1, 50000, 8 * 100);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  sim::LiveDevice(port)->Disappear();
  EXPECT_TRUE(FAILED(Timed(kWaits, "Start", [&] { return s->Start(); })));
  const std::string error = ErrorText();
  EXPECT_FALSE(error.empty());
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), "Last command failed. " + error);
  EXPECT_EQ(code, SST_COMMAND_FAILED);
  EXPECT_FALSE(s.Sampling());
  EXPECT_TRUE(p.ReadAll().empty());  // the handle the run took is closed
  // Reset hands over the start's failure and clears the failure state, though the line steps fail.
  BSTR text = nullptr;
  EXPECT_EQ(Timed(kWaits, "Reset", [&] { return s->Reset(&text); }), S_OK) << ErrorText();
  EXPECT_EQ(samplertest::Take(text), error);
  EXPECT_NE(s.Code(), SST_COMMAND_FAILED);
  Timed(kWaits, "Close", [&] { return s->Close(); });  // may report that the line could not be reset
  EXPECT_EQ(s.Code(), SST_INACTIVE);
}

TEST_F(FaultCase, StartInAModeWithoutAThreadLeavesTheFailureForReset) {
  Sampler s;
  ASSERT_EQ(s.Open(samplertest::FastPort("FAULT-NO-THREAD", samplertest::Profile("SIM-UNKNOWN"))), S_OK);
  ASSERT_EQ(s->SetMode(6), S_OK) << ErrorText();  // the unknown kind keeps any mode; 6 has no run
  Pipe p;
  const LONG w = p.GiveWriteEnd();
  s.Bind(0, w, false);  // stays the host's
  const size_t sent = sim::LiveDevice("FAULT-NO-THREAD")->Commands().size();
  EXPECT_TRUE(FAILED(Timed(kQuick, "Start", [&] { return s->Start(); })));
  EXPECT_EQ(ErrorText(), "E18 - Capability not implemented");
  EXPECT_EQ(sim::LiveDevice("FAULT-NO-THREAD")->Commands().size(), sent);
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), "Last command failed. E18 - Capability not implemented");
  EXPECT_EQ(code, SST_COMMAND_FAILED);
  EXPECT_EQ(s.ResetText(), "E18 - Capability not implemented");
  EXPECT_NE(s.Code(), SST_COMMAND_FAILED);
  EXPECT_EQ(s.ResetText(), "");
  EXPECT_NE(::fcntl(w, F_GETFD), -1) << "the host's handle was closed";
  ::close(w);
}

// ---- stop values ---------------------------------------------------------------------------------------

struct StopValue {
  const char* name;
  LONG mode;
  LONG stopSwitch;  // the stop condition switched on
  LONG valueId;
  LONG value;
  const char* error;
};

class StopValueRefused : public FaultCase, public testing::WithParamInterface<StopValue> {};

TEST_P(StopValueRefused, AtStartWithNothingSent) {
  const StopValue& v = GetParam();
  const std::string port = samplertest::FastPort(std::string("FAULT-STOP-") + v.name, samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  ASSERT_EQ(s->SetMode(v.mode), S_OK) << ErrorText();
  ASSERT_EQ(s->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE), S_OK) << ErrorText();
  ASSERT_EQ(s->SetCapabilityBool(v.stopSwitch, VARIANT_TRUE), S_OK) << ErrorText();
  ASSERT_EQ(s->SetCapabilityLong(v.valueId, v.value), S_OK) << ErrorText();
  Pipe a, b;
  s.Bind(0, a.GiveWriteEnd());
  if (s.ChannelCount() > 1) s.Bind(1, b.GiveWriteEnd());
  auto device = sim::LiveDevice(port);
  const size_t sent = device->Commands().size();
  EXPECT_TRUE(FAILED(Timed(kQuick, "Start", [&] { return s->Start(); })));
  EXPECT_EQ(ErrorText(), v.error);
  EXPECT_EQ(device->Commands().size(), sent) << "a command went out";
  EXPECT_FALSE(s.Sampling());
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), std::string("Last command failed. ") + v.error);
  EXPECT_EQ(code, SST_COMMAND_FAILED);
  EXPECT_EQ(s.ResetText(), v.error);
  // The refused start took nothing: the handles stay bound, and a usable value runs into them.
  ASSERT_EQ(s->SetCapabilityLong(v.valueId, v.valueId == SCAP_SAMPLE_COUNT ? 8 * 40 : 50), S_OK) << ErrorText();
  ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
  if (v.mode == 5) {
    // A timing run's idle input streams zeros, so no idle or count limit ends it: Stop does.
    Sleep(100);
    EXPECT_EQ(Timed(kWaits, "Stop", [&] { return s->Stop(); }), S_OK) << ErrorText();
  }
  const std::vector<BYTE> first = a.ReadAll();  // end of file: the run closed the handle
  if (v.mode != 5) {
    EXPECT_FALSE(first.empty());
  }
  if (v.mode == 2) {
    EXPECT_FALSE(b.ReadAll().empty());
  }
  EXPECT_EQ(s.WaitFor(Over), SST_READY) << s.StatusText();
}

const StopValue kStopValues[] = {
    {"IDLE-MINUS-1", 1, SCAP_STOP_ON_IDLE, SCAP_IDLE_PERIOD, -1, "Idle period -1 ms is not valid: give 0 ms or more"},
    {"IDLE-MIN", 1, SCAP_STOP_ON_IDLE, SCAP_IDLE_PERIOD, INT_MIN,
     "Idle period -2147483648 ms is not valid: give 0 ms or more"},
    {"TIMING-IDLE-MINUS-1", 5, SCAP_STOP_ON_IDLE, SCAP_IDLE_PERIOD, -1,
     "Idle period -1 ms is not valid: give 0 ms or more"},
    {"COUNT-MINUS-1", 1, SCAP_STOP_ON_COUNT, SCAP_SAMPLE_COUNT, -1,
     "Sample count -1 is not valid: give 0 samples or more"},
    {"COUNT-MIN", 2, SCAP_STOP_ON_COUNT, SCAP_SAMPLE_COUNT, INT_MIN,
     "Sample count -2147483648 is not valid: give 0 samples or more"},
    {"DUAL-COUNT-MAX", 2, SCAP_STOP_ON_COUNT, SCAP_SAMPLE_COUNT, INT_MAX,
     "Sample count 2147483647 is too large for 2 channels"},
    {"TIMER-MINUS-1", 1, SCAP_STOP_ON_TIMER, SCAP_SAMPLING_TIMER, -1,
     "Sampling timer -1 ms is not valid: give 0 ms or more"},
    {"TIMER-MIN", 1, SCAP_STOP_ON_TIMER, SCAP_SAMPLING_TIMER, INT_MIN,
     "Sampling timer -2147483648 ms is not valid: give 0 ms or more"},
    {"TIMING-TIMER-MINUS-1", 5, SCAP_STOP_ON_TIMER, SCAP_SAMPLING_TIMER, -1,
     "Sampling timer -1 ms is not valid: give 0 ms or more"},
    {"TIMING-TIMER-MIN", 5, SCAP_STOP_ON_TIMER, SCAP_SAMPLING_TIMER, INT_MIN,
     "Sampling timer -2147483648 ms is not valid: give 0 ms or more"},
};

INSTANTIATE_TEST_SUITE_P(Faults, StopValueRefused, testing::ValuesIn(kStopValues),
                         [](const testing::TestParamInfo<StopValue>& i) {
                           std::string n = i.param.name;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

// The timing mode adds the longest count period to its timer: a timer at the top
// of the range must not wrap into a short one that ends the run at once.
TEST_F(FaultCase, TimingTimerAtTheTopOfTheRangeDoesNotWrap) {
  for (LONG timer : {LONG{INT_MAX}, LONG{INT_MAX - 1000}}) {
    SCOPED_TRACE(timer);
    const std::string port = samplertest::FastPort("FAULT-TIMER-TOP", samplertest::Profile("SIM"));
    Sampler s;
    ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
    ASSERT_EQ(s->SetMode(5), S_OK);
    ASSERT_EQ(s->SetCapabilityBool(SCAP_START_IMMEDIATELY, VARIANT_TRUE), S_OK) << ErrorText();
    ASSERT_EQ(s->SetCapabilityBool(SCAP_STOP_ON_TIMER, VARIANT_TRUE), S_OK) << ErrorText();
    ASSERT_EQ(s->SetCapabilityLong(SCAP_SAMPLING_TIMER, timer), S_OK);
    Pipe p;
    s.Bind(0, p.GiveWriteEnd());
    ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
    Sleep(300);
    EXPECT_TRUE(s.Sampling()) << s.StatusText();
    EXPECT_EQ(Timed(kWaits, "Stop", [&] { return s->Stop(); }), S_OK) << ErrorText();
    EXPECT_EQ(s.Code(), SST_READY);
    EXPECT_FALSE(p.ReadAll().empty());
  }
}

TEST_F(FaultCase, UnknownCapabilityIdWithoutAnAdapterIsE06) {
  Sampler s;
  EXPECT_TRUE(FAILED(s->SetCapabilityBool(99, VARIANT_TRUE)));
  EXPECT_EQ(ErrorText(), "E06 - Capability 99 is not supported");
  EXPECT_TRUE(FAILED(s->SetCapabilityLong(99, 5)));
  EXPECT_EQ(ErrorText(), "E06 - Capability 99 is not supported");
  platform::BStr text(std::string("x"));
  EXPECT_TRUE(FAILED(s->SetCapabilityString(99, text.Get())));
  EXPECT_EQ(ErrorText(), "E06 - Capability 99 is not supported");
  EXPECT_EQ(s.Code(), SST_INACTIVE);
}

}  // namespace
