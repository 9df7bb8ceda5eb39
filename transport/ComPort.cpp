// TComPort: name parsing, deferred line settings, time-outs, synchronous I/O,
// modem lines and the uniform treatment of line errors.
#include "transport/ComPort.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "platform/Clock.h"

namespace transport {

namespace {

struct ErrorRow {
  TCommError error;
  DWORD bit;
  const char* text;
};

// Row order is the order of the messages in a combined text.
constexpr ErrorRow kErrorTable[] = {
    {ceBreak, CE_BREAK, "C01-The hardware detected a break condition."},
    {ceFrame, CE_FRAME, "C02-The hardware detected a framing error."},
    {ceIOE, CE_IOE, "C03-An I/O error occurred during communications with the device."},
    {ceMode, CE_MODE,
     "C04-The requested mode is not supported, or the hFile parameter is invalid. If this value is "
     "specified, it is the only valid error."},
    {ceOverrun, CE_OVERRUN, "C05-A character-buffer overrun has occurred. The next character is lost."},
    {ceRxOver, CE_RXOVER,
     "C06-An input buffer overflow has occurred. There is either no room in the input buffer, or a "
     "character was received after the end-of-file (EOF) character."},
    {ceRxParity, CE_RXPARITY, "C07-The hardware detected a parity error."},
    {ceTxFull, CE_TXFULL, "C08-The application tried to transmit a character, but the output buffer was full."},
};

constexpr DWORD kPurgeFlags[] = {0, PURGE_TXABORT, PURGE_RXABORT, PURGE_TXCLEAR, PURGE_RXCLEAR};
constexpr DWORD kEventBits[] = {EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RING, EV_RLSD, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};

constexpr DWORD kNoTimeLimit = 0xFFFFFFFFu;

bool IsClosedHandle(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }

DWORD AccessMask(TPortAccess access) {
  DWORD mask = 0;
  if (access.Contains(paRead)) mask |= GENERIC_READ;
  if (access.Contains(paWrite)) mask |= GENERIC_WRITE;
  return mask;
}

DWORD EventMask(TCommEvents events) {
  DWORD mask = 0;
  for (unsigned i = 0; i < std::size(kEventBits); ++i)
    if (events.Contains(static_cast<TCommEvent>(i))) mask |= kEventBits[i];
  return mask;
}

// Releases RTS after a toggled write, whether the write ended normally or by an exception.
class RtsRelease {
 public:
  RtsRelease(HANDLE handle, bool active) : handle_(handle), active_(active) {}
  ~RtsRelease() {
    if (active_) EscapeCommFunction(handle_, CLRRTS);  // failure ignored on purpose
  }
  RtsRelease(const RtsRelease&) = delete;
  RtsRelease& operator=(const RtsRelease&) = delete;

 private:
  HANDLE handle_;
  bool active_;
};

// Keeps FErrorDepth right while an error handler runs, also when it raises.
class DepthGuard {
 public:
  explicit DepthGuard(std::int16_t& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  std::int16_t& depth_;
};

[[noreturn]] void RaiseArgument(const char* what) { throw platform::Exception(what); }

}  // namespace

const char* const ParityNames[5] = {"NO", "ODD", "EVEN", "MARK", "SPACE"};
const char* const StopBitNames[3] = {"1", "1.5", "2"};
const char* const SwitchNames[2] = {"OFF", "ON"};
const char* const LineControlNames[4] = {"OFF", "ON", "HANDSHAKE", "TOGGLE"};

TComSettings PortDefaultSettings() { return TComSettings{}; }

void DecodeCommErrors(DWORD errors, TCommErrors& found, std::string& text) {
  found = TCommErrors{};
  text.clear();
  for (const ErrorRow& row : kErrorTable) {
    if ((errors & row.bit) == 0) continue;
    found.Include(row.error);
    if (!text.empty()) text += "\r\n";
    text += row.text;
  }
}

TComSettings DeviceCommandSettings() {
  TComSettings s;
  s.BaudRate = 115200;
  s.ByteSize = 8;
  s.Parity = 0;
  s.StopBits = 0;
  s.Binary = true;
  s.OutxCtsFlow = true;
  s.RaiseOnError = true;
  s.DtrControl = 0;
  s.RtsControl = 0;
  return s;
}

// ---- construction and lifetime ------------------------------------------------

TComPort::TComPort(const std::string& name, TPortAccess access) {
  FDCB.DCBlength = sizeof(DCB);
  FProperties.wPacketLength = 64;
  FProperties.wPacketVersion = 1;
  FProperties.dwProvSpec1 = COMMPROP_INITIALIZED;
  std::string settingsText;
  ParseName(name, settingsText);
  if (!settingsText.empty())
    SetSettings(settingsText);
  else
    ApplySettings(PortDefaultSettings());
  if (!access.Empty()) Open(access);
}

TComPort::~TComPort() { Close(); }

// "COMn..." keeps 5 characters as the name, "\\.\COMn..." keeps 9; the rest is a settings text.
void TComPort::ParseName(const std::string& name, std::string& settingsText) {
  // Counted on the trimmed name, so leading blanks cannot shift the split.
  const std::string given = platform::Trim(name);
  FName = given;
  settingsText.clear();
  size_t nameLength = 0;
  if (platform::UpperCase(given.substr(0, 3)) == "COM")
    nameLength = 5;
  else if (platform::UpperCase(given.substr(0, 7)) == "\\\\.\\COM")
    nameLength = 9;
  if (nameLength == 0) return;
  if (given.size() > nameLength) settingsText = platform::Trim(given.substr(nameLength));
  FName = platform::Trim(given.substr(0, nameLength));
}

void TComPort::Open(TPortAccess access) {
  if (IsOpen()) Close();
  FHandle = CreateHandle(access);
  try {
    Purge({puNoCheck, puTxClear, puRxClear});
    RaiseIfFailed(ClearCommError(FHandle, &FErrors, &FStatus));
    if (FDCBChanged) ApplyState();
    FDCBChanged = false;
    RaiseIfFailed(GetCommState(FHandle, &FDCB));
    FProperties.wPacketLength = 64;
    FProperties.wPacketVersion = 1;
    FProperties.dwProvSpec1 = COMMPROP_INITIALIZED;
    RaiseIfFailed(GetCommProperties(FHandle, &FProperties));
    // Time-outs given before an earlier Close would otherwise not reach the new handle.
    const COMMTIMEOUTS none{};
    if (FTimeouts.ReadIntervalTimeout != none.ReadIntervalTimeout ||
        FTimeouts.ReadTotalTimeoutMultiplier != none.ReadTotalTimeoutMultiplier ||
        FTimeouts.ReadTotalTimeoutConstant != none.ReadTotalTimeoutConstant ||
        FTimeouts.WriteTotalTimeoutMultiplier != none.WriteTotalTimeoutMultiplier ||
        FTimeouts.WriteTotalTimeoutConstant != none.WriteTotalTimeoutConstant)
      FTimeoutsChanged = true;
    ApplyTimeouts();
  } catch (...) {
    // A port that failed to open leaves nothing half-open behind.
    const DWORD code = GetLastError();
    Close();
    SetLastError(code);
    throw;
  }
}

void TComPort::Close() {
  if (!IsClosedHandle(FHandle)) CloseHandle(FHandle);  // result ignored on purpose
  FHandle = nullptr;
}

bool TComPort::IsOpen() const { return !IsClosedHandle(FHandle); }

void TComPort::CheckOpen() const {
  if (!IsOpen()) throw platform::Exception("Port is not open");
}

HANDLE TComPort::CreateHandle(TPortAccess access) {
  HANDLE h = CreateFileA(FName.c_str(), AccessMask(access), 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    platform::RaiseLastOSError(code, platform::PortOpenAdvice(FName, code));
  }
  return h;
}

void TComPort::RaiseIfFailed(BOOL ok) const {
  if (!ok) platform::RaiseLastOSError();
}

// ---- line settings ------------------------------------------------------------

void TComPort::RecordChange(bool changed) {
  if (changed) FDCBChanged = true;
  if (FUpdateCount == 0 && FDCBChanged) ApplyState();
}

void TComPort::ApplySettings(const TComSettings& s) {
  if (s.DtrControl > 3 || s.RtsControl > 3) RaiseArgument("Invalid DTR or RTS control value");
  if (s.BaudRate < 0) RaiseArgument("Invalid baud rate");
  BeginUpdate();
  try {
    SetFlag(DCB_fAbortOnError, s.AbortOnError);
    SetBaudRate(s.BaudRate);
    SetFlag(DCB_fBinary, s.Binary);
    SetByteSize(s.ByteSize);
    SetFlag(DCB_fDsrSensitivity, s.DsrSensitivity);
    SetFlagField(DCB_fDtrControl, s.DtrControl);
    SetFlag(DCB_fErrorChar, s.ErrorChar);
    SetCtsWrite(s.CtsWrite);
    SetRtsToggle(s.RtsToggle);
    SetFlag(DCB_fInX, s.InX);
    SetFlag(DCB_fNull, s.NullStrip);
    SetFlag(DCB_fOutX, s.OutX);
    SetFlag(DCB_fOutxCtsFlow, s.OutxCtsFlow);
    SetFlag(DCB_fOutxDsrFlow, s.OutxDsrFlow);
    SetParity(s.Parity);
    SetFlagField(DCB_fRtsControl, s.RtsControl);
    SetStopBits(s.StopBits);
    SetFlag(DCB_fTXContinueOnXoff, s.TxContinueOnXoff);
    SetFlag(DCB_fParity, s.ParityCheck);
    FRaiseOnError = s.RaiseOnError;
  } catch (...) {
    --FUpdateCount;
    throw;
  }
  EndUpdate();
}

void TComPort::SetSettings(const std::string& text) {
  // BuildCommDCBA leaves the block untouched when it refuses the text; then nothing changes.
  if (!BuildCommDCBA(text.c_str(), &FDCB)) {
    SetLastError(0);
    return;
  }
  FDCBChanged = true;
  FSettings = text;
  ApplyState();
}

void TComPort::SetBaudRate(LONG value) {
  if (value < 0) RaiseArgument("Invalid baud rate");
  const DWORD v = static_cast<DWORD>(value);
  const bool changed = FDCB.BaudRate != v;
  FDCB.BaudRate = v;
  RecordChange(changed);
}

void TComPort::SetByteSize(BYTE value) {
  const bool changed = FDCB.ByteSize != value;
  FDCB.ByteSize = value;
  RecordChange(changed);
}

void TComPort::SetParity(BYTE value) {
  if (FDCB.Parity != value) FDCBChanged = true;
  FDCB.Parity = value;
  SetFlag(DCB_fParity, value != 0);  // records the flag and applies both at once
}

void TComPort::SetStopBits(BYTE value) {
  const bool changed = FDCB.StopBits != value;
  FDCB.StopBits = value;
  RecordChange(changed);
}

void TComPort::SetFlag(DWORD mask, bool value) {
  const bool changed = ((FDCB.Flags & mask) != 0) != value;
  if (value)
    FDCB.Flags |= mask;
  else
    FDCB.Flags &= ~mask;
  RecordChange(changed);
}

void TComPort::SetFlagField(DWORD mask, BYTE value) {
  if (mask == 0) RaiseArgument("Empty flag field");
  DWORD shifted = value;
  DWORD low = mask;
  while ((low & 1u) == 0) {
    low >>= 1;
    shifted <<= 1;
  }
  if ((shifted & ~mask) != 0) RaiseArgument("Value does not fit the flag field");
  const bool changed = (FDCB.Flags & mask) != shifted;
  FDCB.Flags = (FDCB.Flags & ~mask) | shifted;
  RecordChange(changed);
}

void TComPort::SetRtsToggle(bool value) {
  FRtsToggle = value;
  // Toggling is done by the program, so the driver must leave RTS alone.
  if (value) SetFlagField(DCB_fRtsControl, RTS_CONTROL_DISABLE);
}

void TComPort::SetCtsWrite(bool value) {
  FCtsWrite = value;
  SetFlag(DCB_fOutxCtsFlow, value);
}

void TComPort::RestoreState(const DCB& state) {
  const bool changed = std::memcmp(&FDCB, &state, sizeof(DCB)) != 0;
  FDCB = state;
  RecordChange(changed);
}

void TComPort::BeginUpdate() { ++FUpdateCount; }

void TComPort::EndUpdate() {
  if (FUpdateCount == 0) return;
  --FUpdateCount;
  if (FUpdateCount == 0 && FDCBChanged) ApplyState();
}

void TComPort::ApplyState() {
  if (!IsOpen()) return;
  RaiseIfFailed(SetCommState(FHandle, &FDCB));
  FDCBChanged = false;
}

// ---- time-outs ----------------------------------------------------------------

void TComPort::SetTimeout(int kind, DWORD value) {
  DWORD* slot = nullptr;
  switch (kind) {
    case 0: slot = &FTimeouts.ReadIntervalTimeout; break;
    case 1: slot = &FTimeouts.ReadTotalTimeoutMultiplier; break;
    case 2: slot = &FTimeouts.ReadTotalTimeoutConstant; break;
    case 3: slot = &FTimeouts.WriteTotalTimeoutMultiplier; break;
    case 4: slot = &FTimeouts.WriteTotalTimeoutConstant; break;
    default: return;
  }
  if (*slot != value) FTimeoutsChanged = true;
  *slot = value;
  ApplyTimeouts();
}

void TComPort::ApplyTimeouts() {
  if (!FTimeoutsChanged || !IsOpen()) return;
  RaiseIfFailed(SetCommTimeouts(FHandle, &FTimeouts));
  RaiseIfFailed(GetCommTimeouts(FHandle, &FTimeouts));
  FTimeoutsChanged = false;
}

// ---- data transfer ------------------------------------------------------------

DWORD TComPort::Read(void* buffer, DWORD count) {
  CheckOpen();
  if (buffer == nullptr && count > 0) RaiseArgument("No buffer to read into");
  DWORD read = 0;
  RaiseIfFailed(ReadFile(FHandle, buffer, count, &read, nullptr));
  CheckErrors();
  assert(read <= count);
  return read;
}

DWORD TComPort::Write(const void* buffer, DWORD count) {
  CheckOpen();
  if (buffer == nullptr && count > 0) RaiseArgument("No buffer to write from");
  if (FCtsWrite) return WriteBytewise(static_cast<const BYTE*>(buffer), count);
  DWORD written = 0;
  WriteWhole(buffer, count, written);
  return written;
}

void TComPort::WriteWhole(const void* buffer, DWORD count, DWORD& written) {
  if (FRtsToggle) EscapeCommFunction(FHandle, SETRTS);  // failure ignored on purpose
  RtsRelease release(FHandle, FRtsToggle);
  RaiseIfFailed(WriteFile(FHandle, buffer, count, &written, nullptr));
  CheckErrors();
}

// The device clocks each byte in with a CTS change.
DWORD TComPort::WriteBytewise(const BYTE* data, DWORD count) {
  DWORD total = 0;
  RtsRelease release(FHandle, FRtsToggle);
  for (DWORD i = 0; i < count; ++i) {
    if (FRtsToggle) EscapeCommFunction(FHandle, SETRTS);  // failure ignored on purpose
    WaitEvent({evCTS}, kNoTimeLimit);
    DWORD written = 0;
    RaiseIfFailed(WriteFile(FHandle, data + i, 1, &written, nullptr));
    CheckErrors();
    total += written;
  }
  return total;
}

DWORD TComPort::ReadQueued(void* buffer, DWORD count) {
  CheckOpen();
  if (buffer == nullptr && count > 0) RaiseArgument("No buffer to read into");
  DWORD read = 0;
  RaiseIfFailed(ReadFile(FHandle, buffer, count, &read, nullptr));
  assert(read <= count);
  return read;
}

void TComPort::WaitForInput(DWORD milliseconds) {
  CheckOpen();
  RaiseIfFailed(platform::WaitForInput(FHandle, milliseconds));
}

bool TComPort::HasInput() {
  if (!IsOpen()) return false;
  DWORD errors = 0;
  RaiseIfFailed(platform::QueryInput(FHandle, &errors, &FStatus.cbInQue));
  ReportErrors(errors);
  return FStatus.cbInQue > 0;
}

void TComPort::ReadText(DWORD count, std::string& s) {
  CheckOpen();
  DWORD total = 0;
  while (total < count && HasInput()) {
    const DWORD n = std::min<DWORD>(FStatus.cbInQue, count - total);
    s.resize(static_cast<size_t>(total) + n);
    const DWORD got = Read(s.data() + total, n);
    AfterRead();
    total += got;
    if (got == 0) break;  // a driver that claims input it cannot deliver must not make this spin
  }
  s.resize(total);
}

DWORD TComPort::WriteText(const std::string& s) {
  CheckOpen();
  if (s.size() > std::numeric_limits<DWORD>::max()) RaiseArgument("Text too long to write");
  const DWORD written = Write(s.data(), static_cast<DWORD>(s.size()));
  CheckErrors();
  return written;
}

// Ten bit times per byte, in milliseconds; saturates instead of wrapping for huge counts.
DWORD TComPort::TransferTime(DWORD bytes) const {
  if (FDCB.BaudRate == 0) return 0;
  const std::uint64_t ms = static_cast<std::uint64_t>(bytes) * 10000u / FDCB.BaudRate;
  return static_cast<DWORD>(std::min<std::uint64_t>(ms, std::numeric_limits<DWORD>::max()));
}

// ---- line control and errors --------------------------------------------------

void TComPort::SetDTR(bool value) {
  CheckOpen();
  RaiseIfFailed(EscapeCommFunction(FHandle, value ? SETDTR : CLRDTR));
}

void TComPort::SetRTS(bool value) {
  CheckOpen();
  RaiseIfFailed(EscapeCommFunction(FHandle, value ? SETRTS : CLRRTS));
}

void TComPort::Purge(TPurgeActions actions) {
  if (!IsOpen()) return;
  DWORD flags = 0;
  for (unsigned i = 0; i < std::size(kPurgeFlags); ++i)
    if (actions.Contains(static_cast<TPurgeAction>(i))) flags |= kPurgeFlags[i];
  const BOOL ok = PurgeComm(FHandle, flags);
  if (actions.Contains(puNoCheck)) {
    SetLastError(0);
    return;
  }
  RaiseIfFailed(ok);
}

void TComPort::SendBreak(DWORD milliseconds) {
  CheckOpen();
  RaiseIfFailed(SetCommBreak(FHandle));
  Purge({puNoCheck, puTxAbort, puTxClear});
  Sleep(milliseconds);
  RaiseIfFailed(ClearCommBreak(FHandle));
}

bool TComPort::WaitEvent(TCommEvents events, DWORD timeout) {
  CheckOpen();
  const DWORD mask = EventMask(events);
  DWORD deviceMask = 0;
  RaiseIfFailed(GetCommMask(FHandle, &deviceMask));
  RaiseIfFailed(SetCommMask(FHandle, deviceMask | mask));
  const DWORD start = GetTickCount();
  DWORD seen = 0;
  while (GetTickCount() - start < timeout && (seen & mask) == 0) {
    if (!WaitCommEvent(FHandle, &seen, nullptr) && GetLastError() != ERROR_IO_PENDING)
      platform::RaiseLastOSError();
  }
  return (seen & mask) != 0;
}

void TComPort::ClearErrors() {
  DWORD errors = 0;
  ClearCommError(FHandle, &errors, &FStatus);  // pending errors are dropped on purpose
  SetLastError(0);
}

void TComPort::CheckErrors() {
  DWORD errors = 0;
  RaiseIfFailed(ClearCommError(FHandle, &errors, &FStatus));
  ReportErrors(errors);
}

void TComPort::ReportErrors(DWORD errors) {
  if (FErrorDepth > 0 || errors == 0) return;
  TCommErrors found;
  std::string text;
  DecodeCommErrors(errors, found, text);
  bool abort = FRaiseOnError;
  if (FOnError) {
    DepthGuard guard(FErrorDepth);
    const TCommErrorEvent handler = FOnError;  // the handler may replace itself while it runs
    handler(this, found, text, abort);
  }
  if (abort) throw ECommAbort(found, text);
}

}  // namespace transport
