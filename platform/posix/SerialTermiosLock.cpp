// UUCP lock files for terminal devices: looking for another holder, writing
// and removing our own.
#include "platform/posix/SerialTermiosLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

std::string LockDirectory() {
  const char* dir = std::getenv("QUELM_LOCKDIR");
  return dir && *dir ? dir : "/var/lock";
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

enum class Holder { None, Us, Other };

// Who a lock file names. A file that cannot be read for another reason than
// its absence counts as another holder: nothing proves the port free.
Holder LockHolder(const std::string& lockPath) {
  int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? Holder::None : Holder::Other;
  char buf[64];
  ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n < 0) return Holder::Other;
  long pid = LockFilePid(buf, static_cast<size_t>(n));
  if (pid <= 0) return Holder::None;  // names no process: stale
  if (pid == static_cast<long>(getpid())) return Holder::Us;
  // EPERM: the process lives but belongs to another user.
  if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) return Holder::Other;
  return Holder::None;
}

}  // namespace

long LockFilePid(const char* data, std::size_t size) {
  if (size == 4) {
    bool text = true;
    for (size_t i = 0; i < 4; ++i)
      text = text && (std::isdigit(static_cast<unsigned char>(data[i])) || std::isspace(static_cast<unsigned char>(data[i])));
    if (!text) {
      int pid;
      std::memcpy(&pid, data, sizeof pid);
      return pid > 0 ? pid : 0;
    }
  }
  size_t i = 0;
  while (i < size && std::isspace(static_cast<unsigned char>(data[i]))) ++i;
  long pid = 0;
  size_t digits = 0;
  for (; i < size && std::isdigit(static_cast<unsigned char>(data[i])); ++i, ++digits) {
    if (digits == 10) return 0;  // longer than any process number
    pid = pid * 10 + (data[i] - '0');
  }
  return digits > 0 && pid <= INT_MAX ? pid : 0;
}

DeviceLockFiles::DeviceLockFiles(const std::string& devicePath) {
  const std::string dir = LockDirectory() + "/LCK..";
  std::string name = BaseName(devicePath);
  if (char* real = realpath(devicePath.c_str(), nullptr)) {
    std::string target = BaseName(real);
    std::free(real);
    if (!target.empty()) {
      paths_.push_back(dir + target);  // the name programs opening the device itself use: ours
      if (target == name) return;
    }
  }
  if (!name.empty()) paths_.push_back(dir + name);
}

int DeviceLockFiles::CheckFree() const {
  for (const std::string& p : paths_)
    if (LockHolder(p) == Holder::Other) return EBUSY;
  return 0;
}

int DeviceLockFiles::Take() {
  if (paths_.empty() || !taken_.empty()) return 0;
  const std::string& lock = paths_.front();
  // Written whole under another name and linked into place, so that nobody
  // ever reads a half-written lock file.
  const std::string tmp = lock + "." + std::to_string(getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return 0;  // no lock directory, or not ours to write
  char text[16];
  int len = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
  bool written = fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<size_t>(len)) == len;
  ::close(fd);
  int result = 0;
  for (int attempt = 0; written && attempt < 2; ++attempt) {
    if (::link(tmp.c_str(), lock.c_str()) == 0) {
      taken_ = lock;
      break;
    }
    if (errno != EEXIST) break;  // a file system without links: go without
    Holder h = LockHolder(lock);
    if (h == Holder::Other) {
      result = EBUSY;
      break;
    }
    if (h == Holder::Us) break;  // already there, and not ours to remove later
    ::unlink(lock.c_str());      // stale
  }
  ::unlink(tmp.c_str());
  return result;
}

void DeviceLockFiles::Release() {
  if (taken_.empty()) return;
  if (LockHolder(taken_) == Holder::Us) ::unlink(taken_.c_str());
  taken_.clear();
}

}  // namespace platform
