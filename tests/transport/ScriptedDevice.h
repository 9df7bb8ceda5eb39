// A scripted far end for virtual ports: it records what the host does to the
// line and answers the way a test tells it to.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/VirtualPort.h"

namespace transport::testing {

// What the device saw, and the script it follows. Shared between the test and
// the device object the port creates; guarded by `mutex`.
struct DeviceScript {
  std::mutex mutex;
  platform::IVirtualLine* line = nullptr;
  std::string received;                       // every byte the host wrote
  std::vector<std::string> events;            // "break:on", "rts:1", "dtr:0", "rx:<bytes>", "settings:<baud>"
  std::vector<platform::LineSettings> settings;
  std::vector<bool> rtsAtReceive;             // RTS as each write arrived
  int lineChanges = 0;
  std::atomic<long> polls{0};  // how often the host looked at the input side
  // Sent once when the host next raises RTS (the message of the end-of-run handshake).
  std::string messageOnRts;
  bool answerRts = false;
  // Called (with the line locked) whenever the host changes its line settings.
  std::function<void(platform::IVirtualLine&, const platform::LineSettings&)> onSettings;

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::string Received() {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }
  // Runs `f` with the line, under the line's own lock (the device's view of the line).
  template <typename F>
  void WithLine(F f) {
    platform::IVirtualLine* l;
    {
      std::lock_guard<std::mutex> lock(mutex);
      l = line;
    }
    std::lock_guard<std::recursive_mutex> lineLock(l->Mutex());
    f(*l);
  }
  // Queue bytes towards the host at the host's current settings.
  void Send(const std::string& bytes) {
    WithLine([&](platform::IVirtualLine& l) {
      l.Send(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), l.HostSettings(), l.Now());
    });
  }
};

class ScriptedDevice : public platform::IVirtualDevice {
 public:
  explicit ScriptedDevice(std::shared_ptr<DeviceScript> script) : script_(std::move(script)) {}

  void Attach(platform::IVirtualLine& line) override {
    line_ = &line;
    std::lock_guard<std::mutex> lock(script_->mutex);
    script_->line = &line;
  }
  void OnReceive(const BYTE* data, size_t count, platform::Micros) override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    std::string bytes(reinterpret_cast<const char*>(data), count);
    script_->received += bytes;
    script_->events.push_back("rx:" + bytes);
    script_->rtsAtReceive.push_back(line_->HostRts());
  }
  void OnHostSettings(const platform::LineSettings& settings, platform::Micros) override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    script_->settings.push_back(settings);
    script_->events.push_back("settings:" + std::to_string(settings.baudRate));
    if (script_->onSettings) script_->onSettings(*line_, settings);
  }
  void OnModemLines(bool dtr, bool rts, platform::Micros at) override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    ++script_->lineChanges;
    if (dtr != dtr_) script_->events.push_back(dtr ? "dtr:1" : "dtr:0");
    if (rts != rts_) script_->events.push_back(rts ? "rts:1" : "rts:0");
    const bool rtsRose = rts && !rts_;
    dtr_ = dtr;
    rts_ = rts;
    if (rtsRose && script_->answerRts) {
      script_->answerRts = false;
      const std::string& m = script_->messageOnRts;
      line_->Send(reinterpret_cast<const BYTE*>(m.data()), m.size(), line_->HostSettings(), at);
    }
  }
  void OnHostBreak(bool on, platform::Micros) override {
    std::lock_guard<std::mutex> lock(script_->mutex);
    script_->events.push_back(on ? "break:on" : "break:off");
  }
  void Advance(platform::Micros) override { ++script_->polls; }

 private:
  std::shared_ptr<DeviceScript> script_;
  platform::IVirtualLine* line_ = nullptr;
  bool dtr_ = false;
  bool rts_ = false;
};

// Registers a fresh port name whose devices follow `script`; unregisters it at the end.
class ScriptedPort {
 public:
  explicit ScriptedPort(platform::VirtualPortOptions options = {4096, false})
      : script_(std::make_shared<DeviceScript>()), name_(NextName()) {
    auto script = script_;
    platform::RegisterVirtualPort(
        name_, [script] { return std::make_unique<ScriptedDevice>(script); }, options);
  }
  ~ScriptedPort() { platform::UnregisterVirtualPort(name_); }
  ScriptedPort(const ScriptedPort&) = delete;
  ScriptedPort& operator=(const ScriptedPort&) = delete;

  const std::string& Name() const { return name_; }
  DeviceScript& Script() { return *script_; }

 private:
  static std::string NextName() {
    static std::atomic<int> counter{0};
    return "TXSCRIPT" + std::to_string(++counter);
  }
  std::shared_ptr<DeviceScript> script_;
  std::string name_;
};

}  // namespace transport::testing
