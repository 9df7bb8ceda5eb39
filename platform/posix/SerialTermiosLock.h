// UUCP lock files: LCK..<device name> in /var/lock (or $QUELM_LOCKDIR), the
// convention by which serial programs tell each other that a port is taken.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The process a lock file's contents name: ten ASCII digits and a newline, or
// 4 binary bytes in the oldest format. 0 when they name none.
long LockFilePid(const char* data, std::size_t size);

class DeviceLockFiles {
 public:
  // The lock files for a device path: its own base name and, for a link such as
  // /dev/serial/by-id/..., the base name of the device it leads to.
  explicit DeviceLockFiles(const std::string& devicePath);
  ~DeviceLockFiles() { Release(); }
  DeviceLockFiles(const DeviceLockFiles&) = delete;
  DeviceLockFiles& operator=(const DeviceLockFiles&) = delete;

  // EBUSY when a live process other than this one has a lock file for the
  // device, else 0. A lock whose process is gone is stale and does not count.
  int CheckFree() const;
  // Writes this process's lock file, replacing a stale one. 0 also when the
  // directory is missing or not writable: the lock file is a courtesy to
  // programs that only look there, the port is guarded by flock and TIOCEXCL.
  // EBUSY when another process took the device in the meantime.
  int Take();
  // Removes the lock file Take wrote, if it still names this process.
  void Release();

 private:
  std::vector<std::string> paths_;
  std::string taken_;
};

}  // namespace platform
