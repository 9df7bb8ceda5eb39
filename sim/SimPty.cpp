// quelm-sim-pty [profile]: the virtual sampler on the master side of a
// pseudo-terminal, for hosts that open the printed slave path as their port.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "platform/PseudoTerminal.h"
#include "sim/SimDevice.h"

namespace {

using platform::LineSettings;
using platform::Micros;

// The line as a pseudo-terminal offers it: bytes only, paced here at the
// device's baud rate; no breaks, no modem lines, no framing.
class PtyLine final : public platform::IVirtualLine {
 public:
  explicit PtyLine(platform::PseudoTerminal& pty) : pty_(pty) {}

  void Send(const BYTE* data, size_t count, const LineSettings& framing, Micros notBefore) override {
    for (size_t i = 0; i < count; ++i) queue_.push_back({data[i], pacer_.Next(notBefore, framing)});
  }
  void SetBreak(bool, Micros) override {}
  void InjectErrors(DWORD) override {}
  void SetCts(bool) override {}
  void SetDsr(bool) override {}
  void Disconnect() override { gone_ = true; }
  LineSettings HostSettings() const override {
    LineSettings s;
    pty_.SlaveSettings(s);
    return s;
  }
  bool HostDtr() const override { return false; }
  bool HostRts() const override { return false; }
  Micros Now() const override { return platform::MonotonicMicros(); }
  Micros LineFreeAt() const override { return std::max(pacer_.FreeAt(), Now()); }
  std::recursive_mutex& Mutex() override { return mutex_; }

  // Writes what is due by now; false when the terminal failed.
  bool Flush(Micros now) {
    BYTE chunk[256];
    for (;;) {
      size_t n = 0;
      while (n < queue_.size() && n < sizeof chunk && queue_[n].due <= now) chunk[n] = queue_[n].value, ++n;
      if (n == 0) return true;
      long written = pty_.Write(chunk, n);
      if (written < 0) return false;
      queue_.erase(queue_.begin(), queue_.begin() + written);
      if (static_cast<size_t>(written) < n) return true;  // the host is not reading: try again later
    }
  }
  // Milliseconds until the next byte is due (capped), for the poll.
  int NextWaitMs(Micros now) const {
    if (queue_.empty()) return 5;
    if (queue_.front().due <= now) return 0;
    return static_cast<int>(std::min<Micros>((queue_.front().due - now + 999) / 1000, 5));
  }
  bool Gone() const { return gone_; }
  void DropPending() {
    queue_.clear();
    pacer_.Reset(0);
  }

 private:
  struct Due {
    BYTE value;
    Micros due;
  };
  platform::PseudoTerminal& pty_;
  std::recursive_mutex mutex_;
  std::deque<Due> queue_;
  platform::LinePacer pacer_;
  bool gone_ = false;
};

int Serve(const sim::SimProfile& profile) {
  platform::PseudoTerminal pty;
  if (!pty.Open()) {
    std::fprintf(stderr, "quelm-sim-pty: cannot create a pseudo-terminal (error %u)\n",
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }
  std::printf("%s\n", pty.SlavePath().c_str());
  std::fflush(stdout);

  sim::SimOptions options;
  options.lineSignals = false;
  sim::SimDevice device(profile, options);
  PtyLine line(pty);
  std::lock_guard<std::recursive_mutex> lock(line.Mutex());  // one thread: the device's lock is always ours
  device.Attach(line);
  BYTE buffer[512];
  while (!line.Gone()) {
    unsigned r = pty.Wait(line.NextWaitMs(line.Now()), true);
    if (r & (platform::PseudoTerminal::kStdinClosed | platform::PseudoTerminal::kFailed)) break;
    Micros now = line.Now();
    device.Advance(now);
    if (r & platform::PseudoTerminal::kMasterInput) {
      bool purged = false;
      long n = pty.Read(buffer, sizeof buffer, purged);
      if (n < 0) break;
      if (purged) {
        line.DropPending();  // what the host discarded was never meant to reach it
        device.OnHostPurge(now);
      }
      if (n > 0) device.OnReceive(buffer, static_cast<size_t>(n), now);
    }
    device.Advance(line.Now());
    if (!line.Flush(line.Now())) break;
  }
  device.OnClose();
  return 0;
}

void Usage() {
  std::fprintf(stderr, "usage: quelm-sim-pty [profile]\nprofiles:");
  for (const auto& p : sim::Profiles()) std::fprintf(stderr, " %s", p.portName.c_str());
  std::fprintf(stderr, "\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    Usage();
    return 2;
  }
  const sim::SimProfile* profile = sim::FindProfile(argc == 2 ? argv[1] : "SIM");
  if (profile == nullptr) {
    Usage();
    return 2;
  }
  try {
    return Serve(*profile);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quelm-sim-pty: %s\n", e.what());
    return 1;
  }
}
