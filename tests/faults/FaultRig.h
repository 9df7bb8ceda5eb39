// What the fault suite shares: a fixture that holds every case to giving back
// the descriptors, threads and memory it took, and a clock on each host call.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "../sampler/SamplerRig.h"

namespace faulttest {

using samplertest::ErrorText;
using samplertest::Pipe;
using samplertest::Sampler;

// Loop counts are scaled down where the sanitizers make every call many times slower.
#ifdef QUELM_FAULTS_SANITIZED
constexpr int kScale = 4;
#else
constexpr int kScale = 1;
#endif

inline int CountEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n - (std::string(dir) == "/proc/self/fd" ? 1 : 0);  // the listing's own descriptor
}

inline int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
inline int Threads() { return CountEntries("/proc/self/task"); }

inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs one host call and holds it to a bound: wide, since the machine may be busy.
template <class F>
auto Timed(double boundSeconds, const char* what, F&& call) {
  const auto start = std::chrono::steady_clock::now();
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    EXPECT_LT(Seconds(start), boundSeconds) << what;
  } else {
    auto result = call();
    EXPECT_LT(Seconds(start), boundSeconds) << what;
    return result;
  }
}

// Bounds for host calls: one that only looks at state, and one whose design
// waits (Stop's settle time, a reply window, a delivery grace).
constexpr double kQuick = 2.0;
constexpr double kWaits = 5.0;

// Every case gives back what it took. The first case of the process warms up
// (port registry, type library, catalogue, thread pools) before the baseline.
class FaultCase : public testing::Test {
 protected:
  void SetUp() override {
    WarmUp();
    fds_ = OpenDescriptors();
    threads_ = Threads();
    rss_ = ResidentKiB();
  }
  void TearDown() override {
    // Run threads end on their own after Stop/Close; wait for them with a deadline.
    const auto start = std::chrono::steady_clock::now();
    while ((Threads() > threads_ || OpenDescriptors() > fds_) && Seconds(start) < 10)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Threads(), threads_) << "threads left behind";
    EXPECT_EQ(OpenDescriptors(), fds_) << "descriptors left open";
    // AddressSanitizer holds freed memory in its quarantine (LeakSanitizer checks leaks there instead).
    if (kScale == 1) {
      EXPECT_LT(ResidentKiB(), rss_ + kSlackKiB) << "resident memory grew";
    }
  }

  static constexpr long kSlackKiB = 8 * 1024;

 private:
  static void WarmUp() {
    static bool done = false;
    if (done) return;
    done = true;
    Sampler s;
    if (s.Open(samplertest::FastPort("FAULT-WARMUP", samplertest::Profile("SIM"))) != S_OK) return;
    s.Configure(1, 50000, 8 * 64);
    Pipe p;
    s.Bind(0, p.GiveWriteEnd());
    if (s->Start() == S_OK) p.ReadAll();
    s.WaitFor([](LONG c) { return c == SST_READY || c >= SST_RUN_FAILED; });
    s->Close();
  }

  int fds_ = 0;
  int threads_ = 0;
  long rss_ = 0;
};

inline bool Over(LONG code) { return code == SST_READY || code >= SST_RUN_FAILED; }
inline bool Failed(LONG code) { return code >= SST_RUN_FAILED; }

// The stream of a SIM run at divisor 99 (50000 samples/s on a 20 MHz oscillator).
inline std::vector<BYTE> SoleStream(size_t count) {
  sim::StreamSpec spec;
  spec.mode = sim::StreamMode::Sole;
  spec.divisor = 99;
  return sim::ExpectedStream(sim::DefaultSignal(), spec, count);
}

}  // namespace faulttest
