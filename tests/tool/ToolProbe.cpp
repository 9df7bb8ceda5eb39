// The tool's own code (the same RunProgram that QUELMCHK's entry calls) on a
// virtual sampler port "PROBE" that journals what reached the device side.
//
// Environment: QUELM_PROBE_PROFILE  a profile to copy (default SIM)
//              QUELM_PROBE_JOURNAL  file that receives the journal at exit
//              QUELM_PROBE_ERRORS   "<after>:<CE bits>" line errors after that many stream bytes
//              QUELM_PROBE_BREAK    "<after>:<hold us>" a break in the stream after that many bytes
//              QUELM_PROBE_MISFRAME "<after>:0" one misframed byte after that many stream bytes
// Journal lines: "rx <bytes escaped>", "dtr 0|1", "rts 0|1", "baud <n>",
// "break 0|1", "close state <SimState>", and at the end "state <SimState>"
// and "streamed <n>".
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "platform/VirtualPort.h"
#include "sim/SimDevice.h"
#include "sim/SimProfiles.h"
#include "tools/ComTest.h"

namespace {

std::mutex gJournalLock;
std::string gJournal;
std::shared_ptr<sim::SimDevice> gDevice;

void Note(const std::string& line) {
  std::lock_guard<std::mutex> lock(gJournalLock);
  gJournal += line + "\n";
}

std::string Escaped(const BYTE* data, size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    const BYTE b = data[i];
    if (b == '\r') {
      s += "\\r";
    } else if (b >= 0x20 && b < 0x7F && b != '\\') {
      s += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      s += hex;
    }
  }
  return s;
}

class JournalDevice final : public platform::IVirtualDevice {
 public:
  explicit JournalDevice(std::shared_ptr<sim::SimDevice> device) : device_(std::move(device)) {}
  void Attach(platform::IVirtualLine& line) override {
    baud_ = line.HostSettings().baudRate;
    Note("baud " + std::to_string(baud_));
    device_->Attach(line);
  }
  void OnReceive(const BYTE* data, size_t count, platform::Micros at) override {
    Note("rx " + Escaped(data, count));
    device_->OnReceive(data, count, at);
  }
  void OnHostSettings(const platform::LineSettings& s, platform::Micros at) override {
    if (s.baudRate != baud_) Note("baud " + std::to_string(s.baudRate));
    baud_ = s.baudRate;
    device_->OnHostSettings(s, at);
  }
  void OnModemLines(bool dtr, bool rts, platform::Micros at) override {
    if (dtr != dtr_) Note(std::string("dtr ") + (dtr ? "1" : "0"));
    if (rts != rts_) Note(std::string("rts ") + (rts ? "1" : "0"));
    dtr_ = dtr;
    rts_ = rts;
    device_->OnModemLines(dtr, rts, at);
  }
  void OnHostBreak(bool on, platform::Micros at) override {
    Note(std::string("break ") + (on ? "1" : "0"));
    device_->OnHostBreak(on, at);
  }
  void Advance(platform::Micros now) override { device_->Advance(now); }
  void OnClose() override {
    Note("close state " + std::to_string(static_cast<int>(device_->State())));
    device_->OnClose();
  }

 private:
  std::shared_ptr<sim::SimDevice> device_;
  DWORD baud_ = 0;
  bool dtr_ = false, rts_ = false;
};

// "<a>:<b>" from the environment.
bool Pair(const char* name, unsigned long& a, unsigned long& b) {
  const char* v = std::getenv(name);
  return v != nullptr && std::sscanf(v, "%lu:%lu", &a, &b) == 2;
}

void RegisterProbe() {
  const char* name = std::getenv("QUELM_PROBE_PROFILE");
  const sim::SimProfile* found = sim::FindProfile(name ? name : "SIM");
  const sim::SimProfile profile = found ? *found : *sim::FindProfile("SIM");
  platform::RegisterVirtualPort("PROBE", [profile]() -> std::unique_ptr<platform::IVirtualDevice> {
    auto device = std::make_shared<sim::SimDevice>(profile);
    unsigned long a = 0, b = 0;
    if (Pair("QUELM_PROBE_ERRORS", a, b)) device->InjectStreamErrors(a, static_cast<DWORD>(b));
    if (Pair("QUELM_PROBE_BREAK", a, b)) device->InjectStreamBreak(a, b);
    if (Pair("QUELM_PROBE_MISFRAME", a, b)) device->InjectStreamMisframe(a);
    gDevice = device;
    return std::make_unique<JournalDevice>(device);
  });
}

void WriteJournal() {
  const char* path = std::getenv("QUELM_PROBE_JOURNAL");
  if (path == nullptr) return;
  if (gDevice) {
    Note("state " + std::to_string(static_cast<int>(gDevice->State())));
    Note("streamed " + std::to_string(gDevice->StreamedBytes()));
  }
  if (FILE* f = std::fopen(path, "wb")) {
    std::lock_guard<std::mutex> lock(gJournalLock);
    std::fwrite(gJournal.data(), 1, gJournal.size(), f);
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  platform::ReserveStandardHandles();
  RegisterProbe();
  const int rc = tools::RunProgram(std::vector<std::string>(argv + 1, argv + argc));
  WriteJournal();
  return rc;
}
