// The names of the virtual ports, their device factories, and which of them
// are open (a virtual port is exclusive like a Win32 serial device).
#include <cerrno>
#include <map>
#include <mutex>
#include <set>

#include "platform/SerialVirtual.h"
#include "platform/SysUtils.h"

namespace platform {

namespace {

struct Entry {
  VirtualDeviceFactory factory;
  VirtualPortOptions options;
};

class Registry {
 public:
  static Registry& Instance() {
    static Registry* registry = new Registry;  // never destroyed: ports may close during exit
    return *registry;
  }
  std::mutex mutex;
  std::map<std::string, Entry> entries;  // by upper-case name
  std::set<std::string> open;
};

// "\\.\SIM" and "SIM:" name the port "SIM", as the COM forms do.
std::string KeyOf(const std::string& name) {
  std::string key = name;
  if (key.rfind("\\\\.\\", 0) == 0) key.erase(0, 4);
  if (!key.empty() && key.back() == ':') key.pop_back();
  return UpperCase(key);
}

bool IsAcceptableName(const std::string& key) { return !key.empty() && key.rfind("COM", 0) != 0; }

}  // namespace

bool RegisterVirtualPort(const std::string& name, VirtualDeviceFactory factory, VirtualPortOptions options) {
  std::string key = KeyOf(name);
  if (!IsAcceptableName(key) || !factory || options.inputQueueSize == 0) return false;
  Registry& r = Registry::Instance();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.entries[key] = Entry{std::move(factory), options};
  return true;
}

void UnregisterVirtualPort(const std::string& name) {
  Registry& r = Registry::Instance();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.entries.erase(KeyOf(name));
}

bool IsVirtualPortName(const std::string& name) {
  Registry& r = Registry::Instance();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.entries.count(KeyOf(name)) != 0;
}

void ReleaseVirtualPortName(const std::string& key) {
  Registry& r = Registry::Instance();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.open.erase(key);
}

std::shared_ptr<ISerialBackend> OpenVirtualPort(const std::string& name) {
  std::string key = KeyOf(name);
  Entry entry;
  {
    Registry& r = Registry::Instance();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.entries.find(key);
    if (it == r.entries.end()) {
      SetLastError(ENOENT);
      return nullptr;
    }
    if (r.open.count(key) != 0) {
      SetLastError(EBUSY);
      return nullptr;
    }
    entry = it->second;
    r.open.insert(key);
  }
  // From here the port owns the name: its Close releases it, also on failure.
  auto port = std::make_shared<VirtualPort>(key, entry.options);
  std::unique_ptr<IVirtualDevice> device;
  try {
    device = entry.factory();
  } catch (...) {
  }
  if (!device) {
    port->Close();
    SetLastError(ENODEV);
    return nullptr;
  }
  port->Attach(std::move(device));
  return port;
}

}  // namespace platform
