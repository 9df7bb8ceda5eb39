// The reading threads' own cost, with the line out of the way: a virtual port
// whose queue holds a whole run when the timing starts, drained by each
// reading thread class (sole, dual, timing, test tool) into pipes that a
// reader drains, and by a minimal loop over the same port (input count, reads
// of at most 33 bytes, one blocking write per output). The bytes per second
// are the headroom of each path; CPU is the whole process's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/VirtualPort.h"
#include "platform/WinSerial.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"

namespace {

constexpr size_t kRunBytes = 1u << 20;
constexpr DWORD kFloodBaud = 1000000000;
const char* const kPortName = "BENCH-FLOOD";

// Queues a run's bytes at once when asked, a counting pattern at 1 Gbaud.
class FloodDevice final : public platform::IVirtualDevice {
 public:
  void Attach(platform::IVirtualLine& line) override { line_ = &line; }
  void OnReceive(const BYTE*, size_t, platform::Micros) override {}
  void OnHostSettings(const platform::LineSettings&, platform::Micros) override {}
  void OnModemLines(bool, bool, platform::Micros) override {}
  void OnHostBreak(bool, platform::Micros) override {}
  void Advance(platform::Micros) override {}
  void Queue(size_t bytes) {
    std::lock_guard<std::recursive_mutex> lock(line_->Mutex());
    platform::LineSettings s;
    s.baudRate = kFloodBaud;
    std::vector<BYTE> block(bytes);
    for (BYTE& b : block) b = next_++;
    line_->Send(block.data(), block.size(), s, line_->Now());
  }

 private:
  platform::IVirtualLine* line_ = nullptr;
  BYTE next_ = 0;
};

FloodDevice* gDevice = nullptr;  // the one open port's far end

void RegisterFlood() {
  static const bool registered = [] {
    platform::VirtualPortOptions options;
    options.inputQueueSize = 2 * kRunBytes;  // never the limit here
    return platform::RegisterVirtualPort(kPortName, [] {
      auto device = std::make_unique<FloodDevice>();
      gDevice = device.get();
      return device;
    }, options);
  }();
  (void)registered;
}

// Outside the timing: a run's bytes wait in the port's queue, so that only
// draining them is measured, not the line model that delivers them.
void Prefill(benchmark::State& state, transport::TComPort& port) {
  state.PauseTiming();
  gDevice->Queue(kRunBytes);
  while (port.HasInput() && port.InQueue() < kRunBytes) platform::WaitForInput(port.Handle(), 1);
  state.ResumeTiming();
}

// A pipe whose reader drains it on a thread of its own, as a host's reader would.
class Sink {
 public:
  Sink() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    read_ = fds[0];
    write_ = fds[1];
    drain_ = std::thread([this] {
      BYTE buffer[65536];
      while (::read(read_, buffer, sizeof buffer) > 0) {
      }
    });
  }
  ~Sink() {
    ::close(write_);
    drain_.join();
    ::close(read_);
  }
  int Fd() const { return write_; }

 private:
  int read_ = -1, write_ = -1;
  std::thread drain_;
};

void SetLine(transport::TComPort& port) {
  port.SetBaudRate(static_cast<LONG>(kFloodBaud));
  port.ApplyState();
  port.Purge({transport::puRxClear});
}

// How a thread class is told the run's length: a count of samples (eight a
// byte), of bytes (the test tool's thread), or none (a timing run, ended by its owner).
enum class Limit { Samples, Bytes, Owner };

void EndWhenAllRead(transport::TReadingThread& t) {
  while (t.Total() < kRunBytes && t.IsRunning()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  t.Terminate();
}

template <typename Thread, Limit limit = Limit::Samples>
void ThreadRun(benchmark::State& state, size_t outputs) {
  RegisterFlood();
  transport::TComPort port(kPortName, {transport::paRead, transport::paWrite});
  SetLine(port);
  std::vector<std::unique_ptr<Sink>> sinks;
  for (size_t i = 0; i < outputs; ++i) sinks.push_back(std::make_unique<Sink>());
  for (auto _ : state) {
    Prefill(state, port);
    Thread t;
    t.SetPort(&port);
    for (const auto& sink : sinks) t.AddOutput(sink->Fd(), false);
    if constexpr (limit == Limit::Samples) t.SetSampleLimit(static_cast<LONG>(kRunBytes * 8));
    if constexpr (limit == Limit::Bytes) t.SetSampleLimit(static_cast<LONG>(kRunBytes));
    t.Resume();
    if constexpr (limit == Limit::Owner) EndWhenAllRead(t);
    t.WaitFor();
    if (t.HasFatalException()) state.SkipWithError(t.FatalMessage().c_str());
    port.SetDTR(false);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRunBytes));
}

void BM_SoleChannelThread(benchmark::State& state) { ThreadRun<transport::TSamplingThread>(state, 1); }
void BM_DualChannelThread(benchmark::State& state) { ThreadRun<transport::TMultichannelSamplingThread>(state, 2); }
void BM_MeasuringThread(benchmark::State& state) { ThreadRun<transport::TMeasuringThread, Limit::Owner>(state, 1); }
void BM_TestThread(benchmark::State& state) { ThreadRun<transport::TTestThread, Limit::Bytes>(state, 1); }

// What the threads are measured against: the least a loop can do on this port.
void BM_MinimalLoop(benchmark::State& state) {
  RegisterFlood();
  const size_t outputs = static_cast<size_t>(state.range(0));
  transport::TComPort port(kPortName, {transport::paRead, transport::paWrite});
  SetLine(port);
  std::vector<std::unique_ptr<Sink>> sinks;
  for (size_t i = 0; i < outputs; ++i) sinks.push_back(std::make_unique<Sink>());
  const HANDLE h = port.Handle();
  for (auto _ : state) {
    Prefill(state, port);
    size_t total = 0;
    BYTE chunk[33], share[2][33];
    while (total < kRunBytes) {
      DWORD errors = 0;
      COMSTAT stat{};
      ClearCommError(h, &errors, &stat);
      if (stat.cbInQue == 0) {
        platform::WaitForInput(h, 20);
        continue;
      }
      DWORD n = 0;
      ReadFile(h, chunk, std::min<DWORD>(33, stat.cbInQue), &n, nullptr);
      if (outputs == 1) {
        benchmark::DoNotOptimize(::write(sinks[0]->Fd(), chunk, n));
      } else {
        size_t count[2] = {0, 0};
        for (DWORD i = 0; i < n; ++i) share[(total + i) % 2][count[(total + i) % 2]++] = chunk[i];
        for (size_t c = 0; c < 2; ++c) benchmark::DoNotOptimize(::write(sinks[c]->Fd(), share[c], count[c]));
      }
      total += n;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRunBytes));
}

BENCHMARK(BM_SoleChannelThread)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_DualChannelThread)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_MeasuringThread)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_TestThread)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_MinimalLoop)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace
