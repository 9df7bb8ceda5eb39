// The virtual samplers through real virtual ports, driven with the host's own
// port class, reply parser and reading thread: the exchanges a host really makes.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "protocol/SAdapters.h"
#include "sim/VirtualSamplers.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"
#include "tests/sim/HostSide.h"

using simtest::DataPhase;
using simtest::Host;

namespace {

std::string Unique(const char* stem) {
  static std::atomic<int> n{0};
  return std::string(stem) + "-" + std::to_string(++n);
}

class SimPorts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sim::InstallVirtualSamplers(); }
};

}  // namespace

TEST_F(SimPorts, TComPortOnSimIdentifiesTheDefaultDevice) {
  Host host("SIM");
  std::string reply = host.Send("?\rH\r");
  auto adapter = protocol::TSampler::CreateAdapter(reply);
  ASSERT_TRUE(adapter) << reply;
  EXPECT_EQ(adapter->GetHardwareKind(), protocol::hkQUELM);
  EXPECT_EQ(adapter->Identity, "QUELM1 pulse sampler v2.1 (virtual)");
  EXPECT_EQ(adapter->Frequency, 20000000u);
  auto* compatible = dynamic_cast<protocol::TCompatibleSampler*>(adapter.get());
  ASSERT_NE(compatible, nullptr);
  for (char letter : {'S', 'X', 'M', 'J', 'r', 'o', 'O', 'U'}) EXPECT_TRUE(compatible->IsPresent(letter)) << letter;
  EXPECT_EQ(compatible->PinLetter, 'o');
  EXPECT_EQ(compatible->GetBufferSize(), 0x12 * 128);
}

TEST_F(SimPorts, EveryNamedPortAnswersAsItsProfileSays) {
  for (const auto& p : sim::Profiles()) {
    SCOPED_TRACE(p.portName);
    Host host(p.portName);
    std::string reply = host.Send("?\rH\r");
    if (!p.attached || p.portName == "SIM-SLOW") {
      EXPECT_EQ(reply, "");
      continue;
    }
    if (p.portName == "SIM-BROKEN") {
      EXPECT_THROW(protocol::TSampler::CreateAdapter(reply), platform::Exception);
      continue;
    }
    EXPECT_EQ(reply, sim::IdentificationReply(p));
    auto adapter = protocol::TSampler::CreateAdapter(reply);
    ASSERT_TRUE(adapter);
    EXPECT_EQ(adapter->ByteOrder, p.byteOrder);
  }
}

// The fast profiles' ports queue at least 100 ms of their line, so that a stall
// of the reading thread of that length loses nothing; SIM keeps its 4096 bytes.
TEST_F(SimPorts, FastPortsQueueATenthOfASecondOfTheirLine) {
  EXPECT_EQ(Host("SIM").port.CurrentRxQueue(), 4096u);
  for (const char* name : {"SIM-460K", "SIM-921K", "SIM-2M", "SIM-3M"}) {
    SCOPED_TRACE(name);
    const sim::SimProfile* p = nullptr;
    for (const auto& q : sim::Profiles())
      if (q.portName == name) p = &q;
    ASSERT_NE(p, nullptr);
    // 10 bits a byte: the line carries baud / 100 bytes in 100 ms.
    EXPECT_GE(Host(name).port.CurrentRxQueue(), p->dataSettings.baudRate / 100);
  }
}

TEST_F(SimPorts, SampledRunStreamsThePredictedBytesAndEndsOnTheLimit) {
  Host host("SIM");
  EXPECT_EQ(host.Send("rF0\rS0\r"), "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n");
  DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 600);
  run.Go();
  EXPECT_FALSE(run.thread.HasFatalException()) << run.thread.FatalMessage();
  sim::StreamSpec spec;
  spec.divisor = 15;
  EXPECT_EQ(run.pipe.ReadAll(), sim::ExpectedStream(sim::DefaultSignal(), spec, 600));
  // DTR dropped at the end: the device listens again.
  EXPECT_EQ(sim::IdentificationReply(*sim::FindProfile("SIM")), host.Send("?\rH\r"));
}

TEST_F(SimPorts, DeviceEndsABufferedRunWithBreakAndMessage) {
  Host host("SIM");
  EXPECT_EQ(host.Send("r00\rJ0\r"), "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n");
  DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 0);
  run.Go();
  EXPECT_FALSE(run.thread.HasFatalException()) << run.thread.FatalMessage();
  EXPECT_TRUE(run.thread.HardwareStopped());
  EXPECT_EQ(run.thread.Message(), "Buffer full.");
  sim::StreamSpec spec;
  spec.mode = sim::StreamMode::Buffered;
  spec.bufferSamples = 0x12 * 128;
  EXPECT_EQ(run.pipe.ReadAll(), sim::ExpectedStream(sim::DefaultSignal(), spec, 1000));
  EXPECT_EQ(sim::LiveDevice("SIM")->State(), sim::SimState::Command);  // the CR was acknowledged
}

TEST_F(SimPorts, HostBreakStopsADeviceFromWhichNothingArrived) {
  const std::string name = Unique("SIMT-IDLE");
  sim::SimProfile p = *sim::FindProfile("SIM");
  p.signal = sim::IdleSignal();
  ASSERT_TRUE(sim::RegisterSimPort(name, p));
  Host host(name);
  EXPECT_EQ(host.Send("S1\r"), "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n");
  auto device = sim::LiveDevice(name);
  ASSERT_TRUE(device);
  {
    DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 0);
    run.Go(150);  // waiting for activity that never comes: the owner stops the thread
    EXPECT_EQ(run.thread.Total(), 0u);
    EXPECT_FALSE(run.thread.HasFatalException()) << run.thread.FatalMessage();
  }
  EXPECT_EQ(device->State(), sim::SimState::Command);  // break, "Stopped ." and the CR acknowledgement
  EXPECT_NE(host.Send("?\rH\r"), "");
}

TEST_F(SimPorts, ReceiverTestFindsTheBestReliableStep) {
  Host host("SIM");
  const std::vector<BYTE>& sequence = sim::ReceiverTestSequence();
  LONG best = host.port.BaudRate();
  for (unsigned step = 0; step <= 3; ++step) {
    SCOPED_TRACE(step);
    std::string reply = host.Send("U" + sim::ByteToHex(static_cast<BYTE>(step << 4), 1234) + "\r");
    ASSERT_EQ(reply.rfind("Y4:", 0), 0u) << reply;
    host.port.SetSettings(reply.substr(3, reply.size() - 5));
    EXPECT_EQ(host.port.BaudRate(), static_cast<LONG>(sim::ReceiverStepBaud(step)));
    host.port.SetDTR(true);
    Sleep(30);
    std::string data;
    bool damaged = false;
    try {
      host.port.ReadText(256, data);
      damaged = data != std::string(sequence.begin(), sequence.end());
    } catch (const transport::ECommAbort&) {
      damaged = true;
    }
    host.port.SetDTR(false);
    if (!damaged) best = host.port.BaudRate();
    EXPECT_EQ(damaged, step > 2);
    host.ResetLine();
  }
  EXPECT_EQ(best, 460800);
}

TEST_F(SimPorts, LineErrorsInAStreamEndTheRunWithTheirMessage) {
  const std::string name = Unique("SIMT-ERR");
  ASSERT_TRUE(sim::RegisterSimPort(name, *sim::FindProfile("SIM")));
  Host host(name);
  sim::LiveDevice(name)->InjectStreamErrors(50, CE_FRAME);
  EXPECT_NE(host.Send("S0\r"), "");
  DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 0);
  run.Go(2000);
  ASSERT_TRUE(run.thread.HasFatalException());
  EXPECT_NE(run.thread.FatalMessage().find("C0"), std::string::npos) << run.thread.FatalMessage();
}

TEST_F(SimPorts, DisappearingDeviceFailsEveryLaterCall) {
  const std::string name = Unique("SIMT-GONE");
  ASSERT_TRUE(sim::RegisterSimPort(name, *sim::FindProfile("SIM")));
  Host host(name);
  sim::LiveDevice(name)->DisappearAfter(100);
  EXPECT_NE(host.Send("S0\r"), "");
  DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 0);
  run.Go(2000);
  EXPECT_LE(run.thread.Total(), 100u);  // what the driver held of a vanished adapter may be lost
  EXPECT_TRUE(run.thread.HasFatalException());
  EXPECT_TRUE(sim::LiveDevice(name)->State() == sim::SimState::Gone);
  EXPECT_THROW(host.Send("?\rH\r"), platform::Exception);
}

TEST_F(SimPorts, FastOptionsStillKeepTheExchangeIntact) {
  const std::string name = Unique("SIMT-FAST");
  platform::VirtualPortOptions fast;
  fast.realTiming = false;
  ASSERT_TRUE(sim::RegisterSimPort(name, *sim::FindProfile("SIM-VOKTAR"), sim::FastOptions(), fast));
  Host host(name);
  auto adapter = protocol::TSampler::CreateAdapter(host.Send("?\rH\r"));
  ASSERT_TRUE(adapter);
  EXPECT_EQ(adapter->GetHardwareKind(), protocol::hkVOKTAR);
  EXPECT_EQ(host.Send("r00\rZ\r"), "Q1 Unknown command: Z\r\n");
  EXPECT_EQ(sim::LiveDevice(name)->Divisor(), 0);
}

TEST_F(SimPorts, FaultApiIsSafeFromAnotherThreadWhileTheHostRunsAndCloses) {
  const std::string name = Unique("SIMT-RACE");
  ASSERT_TRUE(sim::RegisterSimPort(name, *sim::FindProfile("SIM")));
  std::shared_ptr<sim::SimDevice> device;
  std::atomic<bool> stop{false};
  std::atomic<size_t> looks{0};
  std::thread prober([&] {
    while (!stop) {
      if (auto d = sim::LiveDevice(name)) {
        d->AddRule({"?", std::nullopt, {}, {}, -1});
        d->StreamedBytes();
        d->State();
        d->ClearRules();
        ++looks;
      }
      std::this_thread::yield();
    }
  });
  for (int round = 0; round < 3; ++round) {
    Host host(name);
    EXPECT_NE(host.Send("S0\r"), "");
    DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 200);
    run.Go();
    EXPECT_FALSE(run.thread.HasFatalException()) << run.thread.FatalMessage();
  }
  stop = true;
  prober.join();
  EXPECT_GT(looks.load(), 0u);
  EXPECT_EQ(sim::LiveDevice(name)->State(), sim::SimState::Gone);  // closed with the last host
}
