// The names of the virtual ports, their device factories, and which of them
// are open (a virtual port is exclusive like a Win32 serial device).
#include <cerrno>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/SerialRules.h"
#include "platform/SerialVirtual.h"
#include "platform/SysUtils.h"

namespace platform {

namespace {

struct Entry {
  VirtualDeviceFactory factory;
  VirtualPortOptions options;
  const void* owner = nullptr;
};

class Registry {
 public:
  static Registry& Instance() {
    static Registry* registry = new Registry;  // never destroyed: ports may close during exit
    return *registry;
  }
  std::mutex mutex;
  // By upper-case name, every owner's registration; the last one serves. Never empty.
  std::map<std::string, std::vector<Entry>> entries;
  std::set<std::string> open;
};

// "\\.\SIM" and "SIM:" name the port "SIM", as the COM forms do.
std::string KeyOf(const std::string& name) { return UpperCase(ParsePortName(name).bare); }

bool IsAcceptableName(const std::string& key) { return !key.empty() && key.rfind("COM", 0) != 0; }

}  // namespace

bool RegisterVirtualPort(const std::string& name, VirtualDeviceFactory factory, VirtualPortOptions options,
                         const void* owner) {
  std::string key = KeyOf(name);
  if (!IsAcceptableName(key) || !factory || options.inputQueueSize == 0) return false;
  Entry entry{std::move(factory), options, owner};
  Registry& r = Registry::Instance();
  // The replaced factory is destroyed outside the lock (its code is the caller's).
  std::vector<Entry> replaced;
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<Entry>& stack = r.entries[key];
  for (auto it = stack.begin(); it != stack.end();) {
    if (it->owner == owner) {
      replaced.push_back(std::move(*it));
      it = stack.erase(it);
    } else {
      ++it;
    }
  }
  stack.push_back(std::move(entry));
  return true;
}

void UnregisterVirtualPort(const std::string& name) {
  Registry& r = Registry::Instance();
  std::vector<Entry> removed;
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.entries.find(KeyOf(name));
  if (it == r.entries.end()) return;
  removed = std::move(it->second);
  r.entries.erase(it);
}

void UnregisterVirtualPorts(const void* owner) {
  Registry& r = Registry::Instance();
  std::vector<Entry> removed;
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto name = r.entries.begin(); name != r.entries.end();) {
    std::vector<Entry>& stack = name->second;
    for (auto it = stack.begin(); it != stack.end();) {
      if (it->owner == owner) {
        removed.push_back(std::move(*it));
        it = stack.erase(it);
      } else {
        ++it;
      }
    }
    name = stack.empty() ? r.entries.erase(name) : std::next(name);
  }
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
    entry = it->second.back();
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
