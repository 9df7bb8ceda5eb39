// Faults in the middle of a run: the device's break with and without its
// message, a line error, a device that vanishes, a reader that goes away, and a
// Stop that meets the device's own end-of-run handshake; on the virtual port
// and, where a pseudo-terminal carries the fault, on the terminal backend.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "FaultRig.h"
#include "sim/SimProfiles.h"
#include "tests/support/SimPtyChild.h"

using namespace faulttest;

namespace {

std::vector<BYTE> Head(const std::vector<BYTE>& bytes, size_t n) {
  return std::vector<BYTE>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
}

// ---- the device ends the run: break with and without a message, line errors -----------------

struct MidRunFault {
  const char* name;
  const char* port;                               // a named profile, or empty for a fast copy of SIM
  std::function<void(sim::SimDevice&)> inject;    // applied after Open, before Start
  size_t intact;                                  // the stream's first bytes arrive unchanged
  bool exact;                                     // and nothing else arrives
  LONG code;
  const char* text;                               // as Reset gives it; the status adds "Sampling failed. "
};

class MidRunDeviceFault : public FaultCase, public testing::WithParamInterface<MidRunFault> {};

TEST_P(MidRunDeviceFault, DeliversWhatCameBeforeAndEndsWithItsText) {
  const MidRunFault& f = GetParam();
  const std::string port = *f.port ? std::string(f.port)
                                   : samplertest::FastPort(std::string("FAULT-RUN-") + f.name,
                                                           samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  s.Configure(1, 50000, 0);  // no stop condition: only the fault ends the run
  if (f.inject) f.inject(*sim::LiveDevice(port));
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
  const std::vector<BYTE> got = p.ReadAll();  // end of file once the run has ended
  ASSERT_GE(got.size(), f.intact);
  EXPECT_EQ(Head(got, f.intact), SoleStream(f.intact));
  if (f.exact) {
    EXPECT_EQ(got.size(), f.intact);
  }
  EXPECT_EQ(s.WaitFor(Failed), f.code);
  EXPECT_FALSE(Timed(kQuick, "IsSampling", [&] { return s.Sampling(); }));
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), std::string("Sampling failed. ") + f.text);
  EXPECT_EQ(code, f.code);
  // Stop after the end changes nothing; Reset hands the text over once.
  EXPECT_EQ(Timed(kWaits, "Stop", [&] { return s->Stop(); }), S_OK) << ErrorText();
  EXPECT_EQ(s.Code(), f.code);
  EXPECT_EQ(Timed(kWaits, "Reset", [&] { return s.ResetText(); }), f.text);
  EXPECT_EQ(s.Code(), SST_NO_STOP_MODE);
  EXPECT_EQ(s.ResetText(), "");
  // The line is back in command state: the device answers the next command.
  EXPECT_EQ(Timed(kWaits, "SetRate", [&] { return s->SetRate(25000); }), S_OK) << ErrorText();
}

const MidRunFault kMidRunFaults[] = {
    {"SHORT", "SIM-SHORT", nullptr, 512, true, SST_HARDWARE_STOPPED, "Run complete."},
    {"ABRUPT", "SIM-ABRUPT", nullptr, 512, true, SST_HARDWARE_STOPPED, "Run complete."},
    {"BARE_BREAK", "", [](sim::SimDevice& d) { d.InjectStreamBreak(700, 2000); }, 700, false, SST_RUN_FAILED,
     "C01-The hardware detected a break condition."},
    {"NOISY", "SIM-NOISY", nullptr, 1000, false, SST_RUN_FAILED, "C02-The hardware detected a framing error."},
    {"OVERRUN", "", [](sim::SimDevice& d) { d.InjectStreamErrors(400, CE_OVERRUN); }, 0, false, SST_RUN_FAILED,
     "C05-A character-buffer overrun has occurred. The next character is lost."},
};

INSTANTIATE_TEST_SUITE_P(Faults, MidRunDeviceFault, testing::ValuesIn(kMidRunFaults),
                         [](const testing::TestParamInfo<MidRunFault>& i) { return std::string(i.param.name); });

// ---- the device vanishes; the reader vanishes ----------------------------------------------------

TEST_F(FaultCase, DeviceVanishingMidRunFailsTheRunAndClosesCleanly) {
  const std::string port = samplertest::FastPort("FAULT-VANISH", samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  s.Configure(1, 50000, 0);
  sim::LiveDevice(port)->DisappearAfter(600);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
  // An unplugged port gives nothing more, not even what it had queued: what came is the stream's start.
  const std::vector<BYTE> got = p.ReadAll();
  EXPECT_LE(got.size(), 600u);
  EXPECT_EQ(got, SoleStream(got.size()));
  EXPECT_EQ(s.WaitFor(Failed), SST_RUN_FAILED);
  EXPECT_FALSE(s.Sampling());
  const std::string text = s.StatusText();
  EXPECT_EQ(text.rfind("Sampling failed. ", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("Sampling failed. ").size()) << "no reason given";
  // Nothing can be sent any more: commands fail with a text, never hang.
  EXPECT_TRUE(FAILED(Timed(kWaits, "SetRate", [&] { return s->SetRate(25000); })));
  EXPECT_FALSE(ErrorText().empty());
  Timed(kWaits, "Close", [&] { return s->Close(); });  // may report that the line could not be reset
  EXPECT_EQ(s.Code(), SST_INACTIVE);
}

TEST_F(FaultCase, ReaderGoingAwayMidRunFailsTheRunWithTheSystemError) {
  const std::string port = samplertest::FastPort("FAULT-READER-GONE", samplertest::Profile("SIM"));
  Sampler s;
  ASSERT_EQ(s.Open(port), S_OK) << ErrorText();
  s.Configure(1, 50000, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  ASSERT_EQ(s.WaitFor([](LONG c) { return c == SST_SAMPLING || Failed(c); }), SST_SAMPLING);
  p.CloseRead();
  EXPECT_EQ(s.WaitFor(Failed), SST_RUN_FAILED);
  const std::string text = s.StatusText();
  EXPECT_EQ(text.rfind("Sampling failed. System Error.  Code: 32.", 0), 0u) << text;  // EPIPE
  EXPECT_EQ(Timed(kWaits, "Stop", [&] { return s->Stop(); }), S_OK) << ErrorText();
  const std::string last = s.ResetText();
  EXPECT_EQ(last.rfind("System Error.  Code: 32.", 0), 0u) << last;
  EXPECT_EQ(s.Code(), SST_NO_STOP_MODE);
}

// ---- Stop meets the device's own end-of-run handshake --------------------------------------------

// A SIM device that holds the host inside the message handshake (when RTS rises
// to ask for the message) until the test lets it go on.
class HandshakeGate {
 public:
  HandshakeGate(const std::string& name, sim::SimProfile profile) : shared_(std::make_shared<Shared>()) {
    auto shared = shared_;
    platform::VirtualPortOptions port;
    port.realTiming = false;
    platform::RegisterVirtualPort(
        name,
        [shared, profile]() -> std::unique_ptr<platform::IVirtualDevice> {
          return std::make_unique<Device>(shared, profile);
        },
        port);
  }
  bool WaitHeld(DWORD ms) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    return shared_->changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return shared_->held; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->released = true;
    shared_->changed.notify_all();
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool released = false;
  };
  class Device final : public platform::IVirtualDevice {
   public:
    Device(std::shared_ptr<Shared> shared, const sim::SimProfile& profile)
        : shared_(std::move(shared)), device_(profile, sim::FastOptions()) {}
    void Attach(platform::IVirtualLine& line) override { device_.Attach(line); }
    void OnReceive(const BYTE* data, size_t count, platform::Micros at) override {
      device_.OnReceive(data, count, at);
    }
    void OnHostSettings(const platform::LineSettings& s, platform::Micros at) override {
      device_.OnHostSettings(s, at);
    }
    void OnModemLines(bool dtr, bool rts, platform::Micros at) override {
      if (rts && device_.State() == sim::SimState::AwaitRts) {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->held = true;
        shared_->changed.notify_all();
        shared_->changed.wait_for(lock, std::chrono::seconds(20), [&] { return shared_->released; });
      }
      device_.OnModemLines(dtr, rts, at);
    }
    void OnHostBreak(bool on, platform::Micros at) override { device_.OnHostBreak(on, at); }
    void Advance(platform::Micros now) override { device_.Advance(now); }
    void OnClose() override { device_.OnClose(); }

   private:
    std::shared_ptr<Shared> shared_;
    sim::SimDevice device_;
  };
  std::shared_ptr<Shared> shared_;
};

TEST_F(FaultCase, StopDuringTheDevicesEndHandshakeEndsReadyAndKeepsItsMessage) {
  sim::SimProfile profile = samplertest::Profile("SIM");
  profile.runLength = 300;
  HandshakeGate gate("FAULT-HANDSHAKE", profile);
  Sampler s;
  ASSERT_EQ(s.Open("FAULT-HANDSHAKE"), S_OK) << ErrorText();
  s.Configure(1, 50000, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(s->Start(), S_OK) << ErrorText();
  ASSERT_TRUE(gate.WaitHeld(10000)) << "the run never reached the device's handshake";
  // Stop is under way (its state is Stopping) before the handshake may finish.
  std::thread releaser([&] {
    const auto start = std::chrono::steady_clock::now();
    while (s.Impl().State() != SST_STOPPING && Seconds(start) < 5) Sleep(1);
    gate.Release();
  });
  EXPECT_EQ(Timed(kWaits, "Stop", [&] { return s->Stop(); }), S_OK) << ErrorText();
  releaser.join();
  EXPECT_EQ(p.ReadAll(), SoleStream(300));
  LONG code = -1;
  EXPECT_EQ(s.StatusText(&code), "Ready to start sampling");
  EXPECT_EQ(code, SST_READY);
  EXPECT_FALSE(s.Sampling());
  EXPECT_EQ(s.ResetText(), "Run complete.");
  EXPECT_EQ(s.ResetText(), "");
}

// ---- the same faults on the terminal backend ---------------------------------------------------

using PtyDevice = testsupport::SimPtyChild;

TEST_F(FaultCase, PtySilentDeviceIsNoHardware) {
  PtyDevice device("SIM-SLOW");  // answers after the reply window: a pty carries that
  ASSERT_EQ(device.Path().rfind("/dev/", 0), 0u) << device.Path();
  Sampler s;
  ASSERT_EQ(Timed(kWaits, "Open", [&] { return s.Open(device.Path()); }), S_OK) << ErrorText();
  EXPECT_EQ(s.StatusText(), "No hardware detected");
  EXPECT_EQ(Timed(kWaits, "Close", [&] { return s->Close(); }), S_OK) << ErrorText();
}

enum class PtyEnd { ReaderGone, StopFromAnotherThread, CloseFromAnotherThread, DeviceFallsSilent };

class PtyRunFault : public FaultCase, public testing::WithParamInterface<PtyEnd> {};

TEST_P(PtyRunFault, EndsInItsStateWithinBounds) {
  const PtyEnd how = GetParam();
  PtyDevice device(how == PtyEnd::DeviceFallsSilent ? "SIM-SHORT" : "SIM");
  ASSERT_EQ(device.Path().rfind("/dev/", 0), 0u) << device.Path();
  Sampler s;
  ASSERT_EQ(s.Open(device.Path()), S_OK) << ErrorText();
  s.Configure(1, 50000, 0);
  Pipe p;
  s.Bind(0, p.GiveWriteEnd());
  ASSERT_EQ(Timed(kWaits, "Start", [&] { return s->Start(); }), S_OK) << ErrorText();
  ASSERT_EQ(s.WaitFor([](LONG c) { return c == SST_SAMPLING || Failed(c); }), SST_SAMPLING);
  switch (how) {
    case PtyEnd::ReaderGone: {
      p.CloseRead();
      EXPECT_EQ(s.WaitFor(Failed), SST_RUN_FAILED);
      const std::string text = s.StatusText();
      EXPECT_EQ(text.rfind("Sampling failed. System Error.  Code: 32.", 0), 0u) << text;
      EXPECT_EQ(Timed(kWaits, "Stop", [&] { return s->Stop(); }), S_OK);
      EXPECT_EQ(s.ResetText().rfind("System Error.  Code: 32.", 0), 0u);
      break;
    }
    case PtyEnd::StopFromAnotherThread:
    case PtyEnd::DeviceFallsSilent: {
      // A pty carries no closing break: a device that ended its run just falls silent,
      // and the run stays on until the host stops it.
      if (how == PtyEnd::DeviceFallsSilent) {
        Sleep(300);
        EXPECT_TRUE(s.Sampling());
      }
      HRESULT hr = E_FAIL;
      std::thread other([&] { hr = Timed(kWaits, "Stop", [&] { return s->Stop(); }); });
      other.join();
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(s.Code(), SST_READY);
      const std::vector<BYTE> got = p.ReadAll();
      EXPECT_EQ(got, SoleStream(how == PtyEnd::DeviceFallsSilent ? 512 : got.size()));
      EXPECT_EQ(Timed(kWaits, "SetRate", [&] { return s->SetRate(25000); }), S_OK) << ErrorText();
      break;
    }
    case PtyEnd::CloseFromAnotherThread: {
      HRESULT hr = E_FAIL;
      std::thread other([&] { hr = Timed(kWaits, "Close", [&] { return s->Close(); }); });
      other.join();
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(s.Code(), SST_INACTIVE);
      const std::vector<BYTE> got = p.ReadAll();
      EXPECT_EQ(got, SoleStream(got.size()));
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, PtyRunFault,
                         testing::Values(PtyEnd::ReaderGone, PtyEnd::StopFromAnotherThread,
                                         PtyEnd::CloseFromAnotherThread, PtyEnd::DeviceFallsSilent));

}  // namespace
