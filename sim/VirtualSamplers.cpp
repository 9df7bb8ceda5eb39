// Registration of the virtual samplers as named virtual ports, and the table
// of live devices that tests use to reach the device behind a port.
#include "sim/VirtualSamplers.h"

#include <atomic>
#include <map>
#include <mutex>

#include "platform/SysUtils.h"

namespace sim {

namespace {

std::mutex& TableMutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, std::shared_ptr<SimDevice>>& Table() {
  static std::map<std::string, std::shared_ptr<SimDevice>> t;
  return t;
}

// Tags the registrations of this copy of the code; when the code is part of a
// library loaded twice, each copy has its own.
const char gOwner = 0;

std::atomic<long> gOpenDevices{0};

// Counts from before the device is made until after it is destroyed.
struct CountedDevice {
  CountedDevice() { ++gOpenDevices; }
  ~CountedDevice() { --gOpenDevices; }
  CountedDevice(const CountedDevice&) = delete;
  CountedDevice& operator=(const CountedDevice&) = delete;
};

// The port owns what the factory returns; the device itself is shared with
// the table so that a test can still inspect it after the port has closed.
class SharedDevice final : public platform::IVirtualDevice {
 public:
  explicit SharedDevice(std::shared_ptr<SimDevice> device) : device_(std::move(device)) {}
  void Attach(platform::IVirtualLine& line) override { device_->Attach(line); }
  void OnReceive(const BYTE* data, size_t count, platform::Micros at) override {
    device_->OnReceive(data, count, at);
  }
  void OnHostSettings(const platform::LineSettings& s, platform::Micros at) override {
    device_->OnHostSettings(s, at);
  }
  void OnModemLines(bool dtr, bool rts, platform::Micros at) override { device_->OnModemLines(dtr, rts, at); }
  void OnHostBreak(bool on, platform::Micros at) override { device_->OnHostBreak(on, at); }
  void Advance(platform::Micros now) override { device_->Advance(now); }
  platform::Micros NextDue(platform::Micros now) const override { return device_->NextDue(now); }
  void OnClose() override { device_->OnClose(); }

 private:
  CountedDevice counted_;  // first in, last out
  std::shared_ptr<SimDevice> device_;
};

}  // namespace

bool RegisterSimPort(const std::string& portName, SimProfile profile, SimOptions options,
                     platform::VirtualPortOptions portOptions) {
  const std::string key = platform::UpperCase(portName);
  profile.portName = portName;
  auto factory = [key, profile, options]() -> std::unique_ptr<platform::IVirtualDevice> {
    auto device = std::make_shared<SimDevice>(profile, options);
    {
      std::lock_guard<std::mutex> lock(TableMutex());
      Table()[key] = device;
    }
    return std::make_unique<SharedDevice>(device);
  };
  return platform::RegisterVirtualPort(portName, factory, portOptions, &gOwner);
}

void InstallVirtualSamplers() {
  for (const auto& p : Profiles())
    RegisterSimPort(p.portName, p, {}, platform::VirtualPortOptions{.inputQueueSize = p.inputQueue});
}

void UninstallVirtualSamplers() { platform::UnregisterVirtualPorts(&gOwner); }

long OpenDeviceCount() { return gOpenDevices.load(); }

std::shared_ptr<SimDevice> LiveDevice(const std::string& portName) {
  std::lock_guard<std::mutex> lock(TableMutex());
  auto it = Table().find(platform::UpperCase(portName));
  return it == Table().end() ? nullptr : it->second;
}

}  // namespace sim
