// The exported Win32 serial functions: argument checks, the table of open port
// handles, and dispatch to the port's backend or to a host file descriptor.
#include "platform/WinSerial.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/FileHandles.h"
#include "platform/SerialBackend.h"
#include "platform/SysUtils.h"
#include "platform/Trace.h"
#include "platform/VirtualPort.h"

#define QUELM_EXPORT extern "C" __attribute__((visibility("default")))

namespace platform {

namespace {

// Port handles carry a high tag so that they never collide with the small
// numbers of host file descriptors; indices are never reused, so a stale handle
// stays unknown instead of reaching a newer port.
constexpr std::uintptr_t kPortHandleTag = 0x40000000u;

class PortTable {
 public:
  static PortTable& Instance() {
    static PortTable* table = new PortTable;  // never destroyed: hosts may close ports during exit
    return *table;
  }
  HANDLE Add(std::shared_ptr<ISerialBackend> port) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uintptr_t h = kPortHandleTag + (next_++);
    ports_[h] = std::move(port);
    return reinterpret_cast<HANDLE>(h);
  }
  std::shared_ptr<ISerialBackend> Find(HANDLE h) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ports_.find(reinterpret_cast<std::uintptr_t>(h));
    return it == ports_.end() ? nullptr : it->second;
  }
  std::shared_ptr<ISerialBackend> Take(HANDLE h) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ports_.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == ports_.end()) return nullptr;
    auto port = std::move(it->second);
    ports_.erase(it);
    return port;
  }
  static bool IsPortHandle(HANDLE h) {
    auto v = reinterpret_cast<std::uintptr_t>(h);
    return v >= kPortHandleTag && v < 2 * kPortHandleTag;
  }

 private:
  std::mutex mutex_;
  std::uintptr_t next_ = 1;
  std::map<std::uintptr_t, std::shared_ptr<ISerialBackend>> ports_;
};

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// The port behind a handle, or nullptr with EBADF.
std::shared_ptr<ISerialBackend> PortOf(HANDLE h) {
  auto port = PortTable::Instance().Find(h);
  if (!port) SetLastError(EBADF);
  return port;
}

// A handle that is no port handle names a host file descriptor, or -1.
int HostFdOf(HANDLE h) {
  auto v = reinterpret_cast<std::intptr_t>(h);
  if (v < 0 || v > INT_MAX || PortTable::IsPortHandle(h)) return -1;
  return static_cast<int>(v);
}

// Runs a backend call; nothing thrown inside a backend reaches the caller.
template <typename F>
BOOL Guarded(F&& f) {
  try {
    return f();
  } catch (...) {
    return Fail(EIO);
  }
}

template <typename F>
BOOL OnPort(HANDLE h, F&& f) {
  return Guarded([&] {
    auto port = PortOf(h);
    return port ? f(*port) : FALSE;
  });
}

// One trace line for a call on a port: what was asked, and the outcome.
void TraceCall(HANDLE h, const char* call, const std::string& detail, BOOL ok) {
  if (!TraceEnabled()) return;
  std::string line = Format("%s(%s)", call, Format("0x%X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(h))));
  if (!detail.empty()) line += " " + detail;
  line += ok ? " ok" : Format(" failed: %s", SysErrorMessage(GetLastError()));
  TraceLine(line);
}

const char* EscapeName(DWORD func) {
  switch (func) {
    case SETXOFF: return "SETXOFF";
    case SETXON: return "SETXON";
    case SETRTS: return "SETRTS";
    case CLRRTS: return "CLRRTS";
    case SETDTR: return "SETDTR";
    case CLRDTR: return "CLRDTR";
    case SETBREAK: return "SETBREAK";
    case CLRBREAK: return "CLRBREAK";
    default: return "?";
  }
}

}  // namespace

bool ValidateDcb(const DCB& dcb) {
  bool ok = dcb.BaudRate > 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
            dcb.StopBits <= TWOSTOPBITS;
  if (!ok) SetLastError(EINVAL);
  return ok;
}

unsigned BitsPerCharacter(BYTE byteSize, BYTE parity, BYTE stopBits) {
  return 1u + byteSize + (parity == NOPARITY ? 0u : 1u) + (stopBits == ONESTOPBIT ? 1u : 2u);
}

}  // namespace platform

using platform::Fail;
using platform::ISerialBackend;
using platform::OnPort;
using platform::TraceCall;
using platform::TraceEnabled;

QUELM_EXPORT HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES*,
                                DWORD creation, DWORD flags, HANDLE) {
  try {
    if (name == nullptr || *name == '\0' || creation != OPEN_EXISTING ||
        (access & (GENERIC_READ | GENERIC_WRITE)) == 0) {
      SetLastError(EINVAL);
      return INVALID_HANDLE_VALUE;
    }
    // Serial devices are exclusive on Win32 and only synchronous I/O is offered here.
    if (shareMode != 0 || (flags & FILE_FLAG_OVERLAPPED) != 0) {
      SetLastError(EINVAL);
      return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<ISerialBackend> port = platform::IsVirtualPortName(name)
                                               ? platform::OpenVirtualPort(name)
                                               : platform::OpenTerminalPort(name, access);
    if (!port) {
      if (TraceEnabled()) TraceCall(INVALID_HANDLE_VALUE, "CreateFileA", platform::EscapeBytes(name, strlen(name)), FALSE);
      return INVALID_HANDLE_VALUE;
    }
    HANDLE h = platform::PortTable::Instance().Add(std::move(port));
    if (TraceEnabled()) TraceCall(h, "CreateFileA", platform::EscapeBytes(name, strlen(name)), TRUE);
    return h;
  } catch (...) {
    SetLastError(ENOMEM);
    return INVALID_HANDLE_VALUE;
  }
}

QUELM_EXPORT BOOL CloseHandle(HANDLE h) {
  return platform::Guarded([&] {
    if (auto port = platform::PortTable::Instance().Take(h)) {
      port->Close();
      TraceCall(h, "CloseHandle", "", TRUE);
      return TRUE;
    }
    int fd = platform::HostFdOf(h);
    return fd < 0 ? Fail(EBADF) : platform::CloseHostFile(fd);
  });
}

QUELM_EXPORT BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
  if (read) *read = 0;
  if ((buffer == nullptr && toRead > 0) || read == nullptr || overlapped != nullptr) return Fail(EINVAL);
  if (platform::PortTable::IsPortHandle(h)) {
    BOOL ok = OnPort(h, [&](ISerialBackend& p) { return toRead == 0 ? TRUE : p.Read(buffer, toRead, read); });
    if (TraceEnabled() && (!ok || *read > 0))
      TraceCall(h, "ReadFile", platform::Format("%u of %u ", *read, toRead) + platform::EscapeBytes(buffer, *read), ok);
    return ok;
  }
  int fd = platform::HostFdOf(h);
  return fd < 0 ? Fail(EBADF) : platform::ReadHostFile(fd, buffer, toRead, read);
}

QUELM_EXPORT BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
  if (written) *written = 0;
  if ((buffer == nullptr && toWrite > 0) || written == nullptr || overlapped != nullptr) return Fail(EINVAL);
  if (platform::PortTable::IsPortHandle(h)) {
    BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.Write(buffer, toWrite, written); });
    if (TraceEnabled())
      TraceCall(h, "WriteFile", platform::Format("%u of %u ", *written, toWrite) + platform::EscapeBytes(buffer, toWrite), ok);
    return ok;
  }
  int fd = platform::HostFdOf(h);
  if (fd < 0) return Fail(EBADF);
  return platform::Guarded([&] { return platform::WriteHostFile(fd, buffer, toWrite, written); });
}

namespace platform {

__attribute__((visibility("default"))) BOOL WriteFileNoWait(HANDLE h, const void* buffer, DWORD toWrite,
                                                             DWORD* written, BOOL pollFirst) {
  if (written) *written = 0;
  if ((buffer == nullptr && toWrite > 0) || written == nullptr) return Fail(EINVAL);
  const int fd = HostFdOf(h);
  if (fd < 0) return Fail(EBADF);
  return Guarded([&] { return WriteHostFileNoWait(fd, buffer, toWrite, written, pollFirst != FALSE); });
}

__attribute__((visibility("default"))) NoWaitHandle BeginNoWaitOutput(HANDLE h) {
  NoWaitHandle out;
  out.handle = h;
  const int fd = HostFdOf(h);
  if (fd < 0) return out;  // the first write says what is wrong
  const NoWaitOutput o = BeginNoWaitOutput(fd);
  out.handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(o.fd));
  out.pollFirst = o.pollFirst ? TRUE : FALSE;
  out.own = o.ownFd ? TRUE : FALSE;
  return out;
}

__attribute__((visibility("default"))) void EndNoWaitOutput(const NoWaitHandle& output) {
  if (!output.own) return;
  NoWaitOutput o;
  o.fd = HostFdOf(output.handle);
  o.ownFd = o.fd >= 0;
  EndNoWaitOutput(o);
}

__attribute__((visibility("default"))) BOOL WaitForWritable(const HANDLE* handles, DWORD count, DWORD milliseconds) {
  if (handles == nullptr && count > 0) return Fail(EINVAL);
  return Guarded([&] {
    std::vector<int> fds(count);
    for (DWORD i = 0; i < count; ++i) fds[i] = HostFdOf(handles[i]);
    return WaitHostFilesWritable(fds.data(), count, milliseconds);
  });
}

}  // namespace platform

namespace {

// Queries are traced only when they fail: a poll would otherwise flood the trace.
BOOL TraceFailure(HANDLE h, const char* call, BOOL ok) {
  if (!ok && TraceEnabled()) TraceCall(h, call, "", ok);
  return ok;
}

}  // namespace

namespace platform {

__attribute__((visibility("default"))) BOOL WaitForInput(HANDLE port, DWORD milliseconds) {
  return ::TraceFailure(port, "WaitForInput", OnPort(port, [&](ISerialBackend& p) { return p.WaitInput(milliseconds); }));
}

__attribute__((visibility("default"))) BOOL WakeInputWait(HANDLE port) {
  return OnPort(port, [](ISerialBackend& p) {
    p.WakeInputWait();
    return TRUE;
  });
}

__attribute__((visibility("default"))) void KeepSigpipeBlocked() { KeepSigpipeBlockedOnThisThread(); }

}  // namespace platform

QUELM_EXPORT BOOL GetCommState(HANDLE h, DCB* dcb) {
  if (dcb == nullptr) return Fail(EINVAL);
  return TraceFailure(h, "GetCommState", OnPort(h, [&](ISerialBackend& p) { return p.GetState(dcb); }));
}

QUELM_EXPORT BOOL SetCommState(HANDLE h, DCB* dcb) {
  if (dcb == nullptr) return Fail(EINVAL);
  BOOL ok = OnPort(h, [&](ISerialBackend& p) { return platform::ValidateDcb(*dcb) ? p.SetState(*dcb) : FALSE; });
  if (TraceEnabled())
    TraceCall(h, "SetCommState",
              platform::Format("baud=%u data=%u parity=%u stop=%u flags=0x%04X", dcb->BaudRate, dcb->ByteSize,
                               dcb->Parity, dcb->StopBits, dcb->Flags),
              ok);
  return ok;
}

QUELM_EXPORT BOOL GetCommProperties(HANDLE h, COMMPROP* prop) {
  if (prop == nullptr) return Fail(EINVAL);
  return TraceFailure(h, "GetCommProperties", OnPort(h, [&](ISerialBackend& p) { return p.GetProperties(prop); }));
}

QUELM_EXPORT BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(EINVAL);
  return TraceFailure(h, "GetCommTimeouts", OnPort(h, [&](ISerialBackend& p) { return p.GetTimeouts(timeouts); }));
}

QUELM_EXPORT BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return Fail(EINVAL);
  BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.SetTimeouts(*timeouts); });
  if (TraceEnabled())
    TraceCall(h, "SetCommTimeouts",
              platform::Format("interval=%u read=%u*n+%u write=%u*n+%u", timeouts->ReadIntervalTimeout,
                               timeouts->ReadTotalTimeoutMultiplier, timeouts->ReadTotalTimeoutConstant,
                               timeouts->WriteTotalTimeoutMultiplier, timeouts->WriteTotalTimeoutConstant),
              ok);
  return ok;
}

namespace platform {

__attribute__((visibility("default"))) BOOL QueryInput(HANDLE port, DWORD* errors, DWORD* inQueue) {
  if (errors == nullptr || inQueue == nullptr) return Fail(EINVAL);
  return OnPort(port, [&](ISerialBackend& p) {
    DWORD e = 0, in = 0;
    const BOOL ok = p.InputStatus(&e, &in);
    if (ok) *errors = e, *inQueue = in;
    if (TraceEnabled() && (!ok || e != 0)) TraceCall(port, "QueryInput", platform::Format("errors=0x%04X", e), ok);
    return ok;
  });
}

}  // namespace platform

QUELM_EXPORT BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
  return OnPort(h, [&](ISerialBackend& p) {
    DWORD e = 0;
    COMSTAT s{};
    BOOL ok = p.ClearError(&e, &s);
    if (ok && errors) *errors = e;
    if (ok && stat) *stat = s;
    if (TraceEnabled() && (!ok || e != 0)) TraceCall(h, "ClearCommError", platform::Format("errors=0x%04X", e), ok);
    return ok;
  });
}

QUELM_EXPORT BOOL PurgeComm(HANDLE h, DWORD flags) {
  constexpr DWORD all = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  if ((flags & ~all) != 0) return Fail(EINVAL);
  BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.Purge(flags); });
  if (TraceEnabled()) TraceCall(h, "PurgeComm", platform::Format("0x%X", flags), ok);
  return ok;
}

QUELM_EXPORT BOOL EscapeCommFunction(HANDLE h, DWORD func) {
  if (func < SETXOFF || func > CLRBREAK || func == 7) return Fail(EINVAL);
  BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.Escape(func); });
  if (TraceEnabled()) TraceCall(h, "EscapeCommFunction", platform::EscapeName(func), ok);
  return ok;
}

QUELM_EXPORT BOOL SetCommBreak(HANDLE h) {
  BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.Escape(SETBREAK); });
  if (TraceEnabled()) TraceCall(h, "SetCommBreak", "", ok);
  return ok;
}

QUELM_EXPORT BOOL ClearCommBreak(HANDLE h) {
  BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.Escape(CLRBREAK); });
  if (TraceEnabled()) TraceCall(h, "ClearCommBreak", "", ok);
  return ok;
}

QUELM_EXPORT BOOL GetCommMask(HANDLE h, DWORD* mask) {
  if (mask == nullptr) return Fail(EINVAL);
  return TraceFailure(h, "GetCommMask", OnPort(h, [&](ISerialBackend& p) { return p.GetMask(mask); }));
}

QUELM_EXPORT BOOL SetCommMask(HANDLE h, DWORD mask) {
  constexpr DWORD all = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
  if ((mask & ~all) != 0) return Fail(EINVAL);
  const BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.SetMask(mask); });
  if (TraceEnabled()) TraceCall(h, "SetCommMask", platform::Format("0x%X", mask), ok);
  return ok;
}

QUELM_EXPORT BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* overlapped) {
  if (mask) *mask = 0;
  if (mask == nullptr || overlapped != nullptr) return Fail(EINVAL);
  const BOOL ok = OnPort(h, [&](ISerialBackend& p) { return p.WaitEvent(mask); });
  if (TraceEnabled()) TraceCall(h, "WaitCommEvent", platform::Format("0x%X", *mask), ok);
  return ok;
}

QUELM_EXPORT BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
  if (status == nullptr) return Fail(EINVAL);
  return TraceFailure(h, "GetCommModemStatus", OnPort(h, [&](ISerialBackend& p) { return p.GetModemStatus(status); }));
}
