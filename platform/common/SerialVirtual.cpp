// The virtual serial port: a UART model with an input queue, line errors,
// breaks, modem lines and Win32 time-outs in front of an in-process device.
#include "platform/SerialVirtual.h"
#include "platform/SerialRules.h"
#include "platform/Trace.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>

namespace platform {

void ReleaseVirtualPortName(const std::string& name);  // VirtualRegistry.cpp

namespace {

// How long a blocked call sleeps at most before it lets the device catch up
// again: a device produces lazily, so nothing can announce its next byte.
constexpr Micros kPollStep = 2000;
// A line without input for this long is pumped every kQuietPollStep while a
// reader waits: at 3 Mbaud that step brings 2400 bytes, well inside the queue.
constexpr Micros kQuietAfter = 50000;
constexpr Micros kQuietPollStep = 8000;

constexpr DWORD kLineErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

LineSettings SettingsOf(const DCB& dcb) {
  return LineSettings{dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
}

// A character framed differently from the receiver's settings is misread.
BYTE Garble(BYTE b, BYTE byteSize) {
  return static_cast<BYTE>((b ^ 0x55) & ((1u << byteSize) - 1u));
}

}  // namespace

VirtualPort::VirtualPort(std::string name, VirtualPortOptions options)
    : name_(std::move(name)), options_(options) {
  LineSettings s;
  dcb_.DCBlength = sizeof(DCB);
  dcb_.BaudRate = s.baudRate;
  dcb_.ByteSize = s.byteSize;
  dcb_.Parity = s.parity;
  dcb_.StopBits = s.stopBits;
  dcb_.Flags = DCB_fBinary;
  dcb_.XonChar = 0x11;
  dcb_.XoffChar = 0x13;
  lastArrival_ = Now();
  rxLine_.Reset(lastArrival_);
  txLine_.Reset(lastArrival_);
}

VirtualPort::~VirtualPort() { Close(); }

void VirtualPort::Attach(std::unique_ptr<IVirtualDevice> device) {
  Lock lock(mutex_);
  assert(!device_);
  device_ = std::move(device);
  device_->Attach(*this);
}

bool VirtualPort::Usable() const {
  if (closed_) {
    SetLastError(EBADF);
    return false;
  }
  if (disconnected_) {
    SetLastError(EIO);
    return false;
  }
  return true;
}

// Characters cross the line at its rate, or at once where timing is not the subject.
Micros VirtualPort::Pace(LinePacer& line, Micros notBefore, const LineSettings& s, std::uint64_t count) const {
  if (options_.realTiming) return line.Next(notBefore, s, count);
  LineSettings instant = s;
  instant.baudRate = 0;
  return line.Next(notBefore, instant, count);
}

Micros LinePacer::Next(Micros notBefore, const LineSettings& s, std::uint64_t count) {
  if (notBefore > FreeAt()) Reset(notBefore);
  if (s.baudRate == 0) return FreeAt();
  if (s.baudRate != baud_) {  // another rate: the free time carries over, rounded up once
    Reset(FreeAt());
    baud_ = s.baudRate;
  }
  rest_ += static_cast<std::uint64_t>(BitsPerCharacter(s.byteSize, s.parity, s.stopBits)) * 1000000u * count;
  whole_ += rest_ / baud_;
  rest_ %= baud_;
  return FreeAt();
}

void VirtualPort::Record(DWORD events) {
  history_ |= events & mask_;
  changed_.notify_all();
}

void VirtualPort::Schedule(const InItem& item) {
  if (inFlight_.empty() || inFlight_.back().at <= item.at) {
    inFlight_.push_back(item);  // the usual case: a line delivers in order
  } else {
    auto pos = std::upper_bound(inFlight_.begin(), inFlight_.end(), item.at,
                                [](Micros at, const InItem& i) { return at < i.at; });
    inFlight_.insert(pos, item);
  }
  changed_.notify_all();
}

void VirtualPort::Arrive(const InItem& item) {
  switch (item.kind) {
    case ItemKind::BreakOn:
      if (!deviceBreak_) {
        deviceBreak_ = true;
        errors_ |= CE_BREAK;
        Record(EV_BREAK);
      }
      return;
    case ItemKind::BreakOff:
      deviceBreak_ = false;
      return;
    case ItemKind::Byte:
      break;
  }
  LineSettings host = SettingsOf(dcb_);
  BYTE b = item.byte;
  if (!(item.framing == host)) {
    b = Garble(b, host.byteSize);
    errors_ |= CE_FRAME;
    Record(EV_ERR);
  }
  lastArrival_ = item.at;
  if (input_.size() >= options_.inputQueueSize) {
    errors_ |= CE_RXOVER;
    Record(EV_ERR);
    return;
  }
  input_.push_back(b);
  Record(EV_RXCHAR);
}

void VirtualPort::Pump() {
  Micros now = Now();
  if (device_) device_->Advance(now);
  while (!inFlight_.empty() && inFlight_.front().at <= now) {
    InItem item = inFlight_.front();
    inFlight_.pop_front();
    Arrive(item);
  }
}

// When the line may next bring something without the host acting: the first
// item in flight or the device's own next event, whichever is sooner.
Micros VirtualPort::NextDue(Micros now) const {
  Micros due = device_ ? device_->NextDue(now) : kNoTimeDue;
  if (!inFlight_.empty()) due = std::min(due, inFlight_.front().at);
  return due;
}

void VirtualPort::WaitUntil(Lock& lock, Micros deadline) {
  Micros now = Now();
  Micros wake = now + kPollStep;
  if (!inFlight_.empty()) wake = std::min(wake, inFlight_.front().at);
  if (deadline != 0) wake = std::min(wake, deadline);
  if (wake <= now) return;
  changed_.wait_for(lock, std::chrono::microseconds(wake - now));
}

BOOL VirtualPort::Read(void* buffer, DWORD toRead, DWORD* read) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  const ReadPlan plan = PlanRead(timeouts_, toRead, Now());
  BYTE* out = static_cast<BYTE*>(buffer);
  DWORD got = 0;
  for (;;) {
    if (!Usable()) return FALSE;
    Pump();
    while (got < toRead && !input_.empty()) {
      out[got++] = input_.front();
      input_.pop_front();
    }
    *read = got;
    // The line's own arrival time, also of bytes queued before this read began.
    const ReadStep step = plan.Next(got, lastArrival_, Now());
    if (step.done) return TRUE;
    WaitUntil(lock, step.wakeBy);
  }
}

DWORD VirtualPort::OutQueue(Micros now) const {
  const LineSettings host = SettingsOf(dcb_);
  const Micros freeAt = txLine_.FreeAt();
  if (!options_.realTiming || host.baudRate == 0 || freeAt <= now) return 0;
  // Characters still on the way, the one under way counted whole.
  const std::uint64_t charBits = BitsPerCharacter(host.byteSize, host.parity, host.stopBits);
  return static_cast<DWORD>(((freeAt - now) * host.baudRate + charBits * 1000000u - 1) / (charBits * 1000000u));
}

BOOL VirtualPort::Write(const void* buffer, DWORD toWrite, DWORD* written) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  Pump();
  const Micros deadline = WriteDeadline(timeouts_, toWrite, Now());
  // Output flow control: nothing leaves while the device holds CTS low.
  while ((dcb_.Flags & DCB_fOutxCtsFlow) != 0 && !cts_) {
    if (deadline != 0 && Now() >= deadline) return TRUE;  // timed out: no byte written
    WaitUntil(lock, deadline);
    if (!Usable()) return FALSE;
    Pump();
  }
  if (toWrite == 0) return TRUE;
  const Micros arrived = Pace(txLine_, Now(), SettingsOf(dcb_), toWrite);
  if (device_) device_->OnReceive(static_cast<const BYTE*>(buffer), toWrite, arrived);
  *written = toWrite;
  Record(EV_TXEMPTY);
  return TRUE;
}

BOOL VirtualPort::GetState(DCB* dcb) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  *dcb = dcb_;
  return TRUE;
}

void VirtualPort::SetModemLines(bool dtr, bool rts) {
  if (dtr == dtr_ && rts == rts_) return;
  dtr_ = dtr;
  rts_ = rts;
  if (device_) device_->OnModemLines(dtr_, rts_, Now());
  changed_.notify_all();  // a waiter sleeping through a quiet line looks at the device again
}

BOOL VirtualPort::SetState(const DCB& dcb) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  Pump();  // bytes that arrived under the old settings are judged by them
  LineSettings before = SettingsOf(dcb_);
  dcb_ = dcb;
  dcb_.DCBlength = sizeof(DCB);
  LineSettings after = SettingsOf(dcb_);
  if (!(before == after) && device_) device_->OnHostSettings(after, Now());
  changed_.notify_all();
  const LineLevels levels = LineLevelsOf(dcb_);
  SetModemLines(levels.dtr, levels.rts);
  return TRUE;
}

BOOL VirtualPort::GetProperties(COMMPROP* prop) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  // Host output reaches the device as it is written: no transmit queue.
  *prop = SerialProperties(options_.inputQueueSize, 0);
  return TRUE;
}

BOOL VirtualPort::GetTimeouts(COMMTIMEOUTS* timeouts) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  *timeouts = timeouts_;
  return TRUE;
}

BOOL VirtualPort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  if (int e = CheckTimeouts(timeouts)) {
    SetLastError(static_cast<DWORD>(e));
    return FALSE;
  }
  timeouts_ = timeouts;
  return TRUE;
}

BOOL VirtualPort::ClearError(DWORD* errors, COMSTAT* stat) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  Pump();
  *errors = errors_;
  errors_ = 0;
  stat->Flags = ((dcb_.Flags & DCB_fOutxCtsFlow) != 0 && !cts_) ? 1u : 0u;  // fCtsHold
  stat->cbInQue = static_cast<DWORD>(input_.size());
  stat->cbOutQue = OutQueue(Now());
  return TRUE;
}

BOOL VirtualPort::Purge(DWORD flags) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  Pump();
  if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) input_.clear();
  // Host output reaches the device as it is written, so there is nothing to
  // drop on the transmit side.
  changed_.notify_all();
  return TRUE;
}

BOOL VirtualPort::Escape(DWORD func) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  Pump();
  switch (func) {
    case SETDTR: SetModemLines(true, rts_); break;
    case CLRDTR: SetModemLines(false, rts_); break;
    case SETRTS: SetModemLines(dtr_, true); break;
    case CLRRTS: SetModemLines(dtr_, false); break;
    case SETBREAK:
    case CLRBREAK: {
      bool on = func == SETBREAK;
      if (on != hostBreak_) {
        hostBreak_ = on;
        if (device_) device_->OnHostBreak(on, Now());
        changed_.notify_all();
      }
      break;
    }
    case SETXOFF:
    case SETXON:
      break;  // software flow control has no effect on the virtual line
    default:
      SetLastError(EINVAL);
      return FALSE;
  }
  return TRUE;
}

BOOL VirtualPort::GetMask(DWORD* mask) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  *mask = mask_;
  return TRUE;
}

// Events still in the new mask stay recorded, so a caller that adds bits to
// the mask before each wait loses nothing that happened in between.
BOOL VirtualPort::SetMask(DWORD mask) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  mask_ = mask;
  history_ &= mask;
  ++maskChanges_;
  changed_.notify_all();
  return TRUE;
}

BOOL VirtualPort::WaitEvent(DWORD* mask) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  if (mask_ == 0) {
    SetLastError(EINVAL);
    return FALSE;
  }
  const unsigned changes = maskChanges_;
  for (;;) {
    Pump();
    if ((history_ & mask_) != 0) {
      *mask = history_ & mask_;
      history_ = 0;
      return TRUE;
    }
    WaitUntil(lock, 0);
    if (!Usable()) return FALSE;
    if (maskChanges_ != changes) {
      *mask = 0;  // the mask changed under the wait, as Win32 reports it
      return TRUE;
    }
  }
}

BOOL VirtualPort::GetModemStatus(DWORD* status) {
  Lock lock(mutex_);
  if (!Usable()) return FALSE;
  Pump();
  *status = (cts_ ? MS_CTS_ON : 0u) | (dsr_ ? MS_DSR_ON : 0u);
  return TRUE;
}

// The device model makes its bytes when the port is pumped, so an empty queue
// is looked at again every step; what arrived meanwhile is read in one go.
BOOL VirtualPort::WaitInput(DWORD milliseconds) {
  Lock lock(mutex_);
  const Micros end = Now() + static_cast<Micros>(milliseconds) * 1000u;
  for (;;) {
    if (!Usable()) return FALSE;
    Pump();
    const Micros now = Now();
    if (!input_.empty() || errors_ != 0 || now >= end || wakeRequested_) {
      wakeRequested_ = false;  // this wait has ended, which is what a request asks
      return TRUE;
    }
    // Streaming lines are looked at often; a line quiet for a while less, to keep an idle run cheap;
    // and a line on which nothing is due (a device waiting for the host) not until it is.
    const Micros step = now - lastArrival_ < kQuietAfter ? kPollStep : kQuietPollStep;
    const Micros wake = std::min(end, std::max(now + step, NextDue(now)));
    changed_.wait_for(lock, std::chrono::microseconds(wake - now));
  }
}

void VirtualPort::WakeInputWait() {
  Lock lock(mutex_);
  wakeRequested_ = true;
  changed_.notify_all();
}

void VirtualPort::Close() {
  std::unique_ptr<IVirtualDevice> device;
  {
    Lock lock(mutex_);
    if (closed_) return;
    closed_ = true;
    if (device_) {
      try {
        device_->OnClose();
      } catch (...) {
        // A device that fails while closing cannot keep the port open.
        TraceDropped("closing a virtual port's device");
      }
    }
    device = std::move(device_);
    changed_.notify_all();
  }
  // Destroyed outside the lock: a device may join threads of its own that take it.
  device.reset();
  ReleaseVirtualPortName(name_);
}

void VirtualPort::Send(const BYTE* data, size_t count, const LineSettings& framing, Micros notBefore) {
  Lock lock(mutex_);
  if (data == nullptr || count == 0 || closed_) return;
  for (size_t i = 0; i < count; ++i) Schedule(InItem{Pace(rxLine_, notBefore, framing), ItemKind::Byte, data[i], framing});
}

void VirtualPort::SetBreak(bool on, Micros at) {
  Lock lock(mutex_);
  if (closed_) return;
  Schedule(InItem{at, on ? ItemKind::BreakOn : ItemKind::BreakOff, 0, LineSettings{}});
}

void VirtualPort::InjectErrors(DWORD ceBits) {
  Lock lock(mutex_);
  errors_ |= ceBits;
  DWORD events = 0;
  if (ceBits & (kLineErrors | CE_RXOVER)) events |= EV_ERR;
  if (ceBits & CE_BREAK) events |= EV_BREAK;
  Record(events);
}

void VirtualPort::SetCts(bool on) {
  Lock lock(mutex_);
  if (cts_ == on) return;
  cts_ = on;
  Record(EV_CTS);
}

void VirtualPort::SetDsr(bool on) {
  Lock lock(mutex_);
  if (dsr_ == on) return;
  dsr_ = on;
  Record(EV_DSR);
}

void VirtualPort::Disconnect() {
  Lock lock(mutex_);
  disconnected_ = true;
  changed_.notify_all();
}

LineSettings VirtualPort::HostSettings() const {
  Lock lock(mutex_);
  return SettingsOf(dcb_);
}

bool VirtualPort::HostDtr() const {
  Lock lock(mutex_);
  return dtr_;
}

bool VirtualPort::HostRts() const {
  Lock lock(mutex_);
  return rts_;
}

Micros VirtualPort::Now() const { return MonotonicMicros(); }

Micros VirtualPort::LineFreeAt() const {
  Lock lock(mutex_);
  return std::max(rxLine_.FreeAt(), Now());
}

std::recursive_mutex& VirtualPort::Mutex() { return mutex_; }

}  // namespace platform
