// quelm-sim-pty [options] [profile]: the virtual sampler on the master side of
// a pseudo-terminal, for hosts that open the printed slave path as their port.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Console.h"
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
      if (n == 0) {
        full_ = false;
        return true;
      }
      long written = pty_.Write(chunk, n);
      if (written < 0) return false;
      queue_.erase(queue_.begin(), queue_.begin() + written);
      full_ = static_cast<size_t>(written) < n;
      if (full_) return true;  // the host is not reading: try again later
    }
  }
  // Milliseconds to poll for: until the next byte is due, or with none
  // queued until the device has something due (`deviceDue`), at most kMaxWaitMs
  // so that a control event is seen soon.
  int NextWaitMs(Micros now, Micros deviceDue) const {
    static constexpr Micros kBatchMs = 5, kMaxWaitMs = 100;
    if (queue_.empty()) {
      // Bytes are written in batches of a few milliseconds of the line, as before.
      const Micros ms = deviceDue <= now ? 0 : (deviceDue - now + 999) / 1000;
      return static_cast<int>(std::clamp(ms, kBatchMs, kMaxWaitMs));
    }
    // A host that is not reading has filled the terminal: give it a moment instead of spinning.
    if (queue_.front().due <= now) return full_ ? 1 : 0;
    return static_cast<int>(std::min<Micros>((queue_.front().due - now + 999) / 1000, kBatchMs));
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
  bool full_ = false;  // the last write found the terminal full
};

// Ends the serving loop from a console control event (SIGINT, SIGTERM, SIGHUP).
std::atomic<bool> gStop{false};

BOOL OnControlEvent(DWORD) {
  gStop = true;
  return TRUE;
}

struct ServeOptions {
  std::string profile = "SIM";
  std::string pathFile;  // gets the slave path, for scripts that start us in the background
  std::string link;      // a stable name for the slave path
  bool untilStdinCloses = false;
};

// The slave path written to `file` whole or not at all: a reader polling for
// the file never sees half a path.
bool WritePathFile(const std::string& file, const std::string& path) {
  const std::string temporary = file + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << path << '\n';
    if (!out.flush()) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, file, ec);
  return !ec;
}

// A symbolic link to the slave path; an older link in its place (from a run
// that was killed) is replaced, anything else is left alone.
bool MakeLink(const std::string& link, const std::string& path, std::string& why) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(link, ec);
  if (std::filesystem::exists(status)) {
    if (!std::filesystem::is_symlink(status)) {
      why = link + " exists and is not a symbolic link; remove it or choose another --link";
      return false;
    }
    std::filesystem::remove(link, ec);
  }
  std::filesystem::create_symlink(path, link, ec);
  if (ec) why = "cannot create " + link + ": " + ec.message();
  return !ec;
}

// Removes the link only while it is still ours: another front end may have taken the name.
void RemoveLink(const std::string& link, const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(link, ec)) &&
      std::filesystem::read_symlink(link, ec) == path)
    std::filesystem::remove(link, ec);
}

int Serve(const sim::SimProfile& profile, const ServeOptions& o) {
  platform::PseudoTerminal pty;
  if (!pty.Open()) {
    std::fprintf(stderr, "quelm-sim-pty: cannot create a pseudo-terminal (error %u)\n",
                 static_cast<unsigned>(GetLastError()));
    return 1;
  }
  SetConsoleCtrlHandler(OnControlEvent, TRUE);
  if (!o.link.empty()) {
    std::string why;
    if (!MakeLink(o.link, pty.SlavePath(), why)) {
      std::fprintf(stderr, "quelm-sim-pty: %s\n", why.c_str());
      return 1;
    }
  }
  if (!o.pathFile.empty() && !WritePathFile(o.pathFile, pty.SlavePath())) {
    std::fprintf(stderr, "quelm-sim-pty: cannot write %s\n", o.pathFile.c_str());
    if (!o.link.empty()) RemoveLink(o.link, pty.SlavePath());
    return 1;
  }
  std::printf("%s\n", pty.SlavePath().c_str());
  std::fflush(stdout);

  sim::SimOptions options;
  options.lineSignals = false;
  sim::SimDevice device(profile, options);
  PtyLine line(pty);
  {
    std::lock_guard<std::recursive_mutex> lock(line.Mutex());  // one thread: the device's lock is always ours
    device.Attach(line);
    BYTE buffer[512];
    while (!line.Gone() && !gStop) {
      const Micros before = line.Now();
      const unsigned r = pty.Wait(line.NextWaitMs(before, device.NextDue(before)), o.untilStdinCloses);
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
  }
  if (!o.link.empty()) RemoveLink(o.link, pty.SlavePath());
  if (!o.pathFile.empty()) {
    std::error_code ec;
    std::filesystem::remove(o.pathFile, ec);
  }
  return 0;
}

const char kSignalNames[] = "default, idle, uart, nec";

// The signals --signal offers, timed for the profile's oscillator.
std::optional<sim::SignalSource> NamedSignal(const std::string& name, DWORD frequency) {
  if (name == "default") return sim::DefaultSignal();
  if (name == "idle") return sim::IdleSignal();
  if (name == "uart") return sim::UartSignal(frequency / 4);
  if (name == "nec") return sim::NecSignal(frequency / 4);
  return std::nullopt;
}

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: quelm-sim-pty [--path-file=FILE] [--link=PATH] [--signal=NAME] [--until-stdin-closes]\n"
               "                     [PROFILE]\n"
               "Serves the virtual sampler PROFILE (default SIM) on a new pseudo-terminal and\n"
               "prints the slave's path, which a host opens as its serial port. Serves until\n"
               "interrupted or terminated (or, with --until-stdin-closes, until standard input ends).\n"
               "  --path-file=FILE  also write the path to FILE (removed at the end)\n"
               "  --link=PATH       make PATH a symbolic link to it (removed at the end)\n"
               "  --signal=NAME     what the inputs carry instead of the profile's signal:\n"
               "                    default  a pulse train on each input\n"
               "                    idle     nothing: the inputs never change\n"
               "                    uart     input 0: \"QUELM 9600 8N1\" CR LF at 9600 baud 8N1, idle high\n"
               "                    nec      input 0: infrared remote frames (NEC), address 0x59,\n"
               "                             command 0x16, idle high, one about every 110 ms\n"
               "profiles:");
  for (const auto& p : sim::Profiles()) std::fprintf(to, " %s", p.portName.c_str());
  std::fprintf(to, "\n");
}

bool Value(const char* arg, const char* name, std::string& value) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  value = arg + n + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ServeOptions o;
  bool profileGiven = false;
  std::optional<std::string> signalName;  // replaces the profile's signal
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      Usage(stdout);
      return 0;
    }
    if (std::strcmp(a, "--until-stdin-closes") == 0) {
      o.untilStdinCloses = true;
    } else if (Value(a, "--path-file", o.pathFile) || Value(a, "--link", o.link)) {
      if ((std::strncmp(a, "--path-file", 11) == 0 ? o.pathFile : o.link).empty()) {
        std::fprintf(stderr, "quelm-sim-pty: %s needs a path\n", a);
        return 2;
      }
    } else if (std::string name; Value(a, "--signal", name)) {
      signalName = name;
    } else if (a[0] != '-' && !profileGiven) {
      o.profile = a;
      profileGiven = true;
    } else {
      std::fprintf(stderr, "quelm-sim-pty: unknown argument %s\n", a);
      Usage(stderr);
      return 2;
    }
  }
  const sim::SimProfile* profile = sim::FindProfile(o.profile);
  if (profile == nullptr) {
    std::fprintf(stderr, "quelm-sim-pty: no profile named %s\n", o.profile.c_str());
    Usage(stderr);
    return 2;
  }
  sim::SimProfile served = *profile;
  if (signalName) {
    auto signal = NamedSignal(*signalName, served.frequency);
    if (!signal) {
      std::fprintf(stderr, "quelm-sim-pty: unknown signal \"%s\" (use one of: %s)\n", signalName->c_str(),
                   kSignalNames);
      return 2;
    }
    served.signal = *signal;
  }
  try {
    return Serve(served, o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quelm-sim-pty: %s\n", e.what());
    return 1;
  }
}
