// TComPort: one serial communications device with synchronous reads and writes,
// deferred line settings, time-outs, modem-line control and line-error reporting.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "platform/SysUtils.h"
#include "platform/WinSerial.h"
#include "platform/WinTypes.h"

namespace transport {

// A small set of enumeration elements, one bit per element in declaration order.
template <typename E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> elements) {
    for (E e : elements) Include(e);
  }
  static constexpr TSet FromBits(std::uint32_t bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr void Include(E e) { bits_ |= Bit(e); }
  constexpr void Exclude(E e) { bits_ &= ~Bit(e); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr std::uint32_t Bits() const { return bits_; }
  constexpr TSet operator+(TSet other) const { return FromBits(bits_ | other.bits_); }
  constexpr TSet operator*(TSet other) const { return FromBits(bits_ & other.bits_); }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(E e) { return 1u << static_cast<unsigned>(e); }
  std::uint32_t bits_ = 0;
};

enum TPortAccessRight { paRead, paWrite };
using TPortAccess = TSet<TPortAccessRight>;

enum TPurgeAction { puNoCheck, puTxAbort, puRxAbort, puTxClear, puRxClear };
using TPurgeActions = TSet<TPurgeAction>;

enum TCommEvent { evBreak, evCTS, evDSR, evError, evRing, evRLSD, evRxChar, evRxFlag, evTxEmpty };
using TCommEvents = TSet<TCommEvent>;

enum TCommError { ceBreak, ceFrame, ceIOE, ceMode, ceOverrun, ceRxOver, ceRxParity, ceTxFull };
using TCommErrors = TSet<TCommError>;

// Line settings applied in one step by ApplySettings. A default-constructed
// record is the port's built-in one (binary, 8 data bits, no parity, one stop bit, 115200 baud).
#pragma pack(push, 1)
struct TComSettings {
  bool Binary = true;
  bool ParityCheck = false;
  bool OutxCtsFlow = false;
  bool OutxDsrFlow = false;
  bool DsrSensitivity = false;
  bool TxContinueOnXoff = false;
  bool OutX = false;
  bool InX = false;
  bool ErrorChar = false;
  bool NullStrip = false;
  bool RtsToggle = false;
  bool CtsWrite = false;
  bool AbortOnError = false;
  bool RaiseOnError = false;
  BYTE DtrControl = 0;  // 0 disable, 1 enable, 2 handshake
  BYTE RtsControl = 0;  // 0 disable, 1 enable, 2 handshake, 3 toggle
  BYTE ByteSize = 8;
  BYTE Parity = 0;    // 0..4: NO, ODD, EVEN, MARK, SPACE
  BYTE StopBits = 0;  // 0..2: "1", "1.5", "2"
  LONG BaudRate = 115200;
};
#pragma pack(pop)

// The record a port takes when its name carries no settings text.
TComSettings PortDefaultSettings();

// The device's command-state line, the same for the library and the tool:
// 115200 baud 8N1, binary, CTS output flow, line errors raised, DTR and RTS
// under program control, every other flag off.
TComSettings DeviceCommandSettings();

// Display names of the enumerated settings, in value order.
extern const char* const ParityNames[5];
extern const char* const StopBitNames[3];
extern const char* const SwitchNames[2];
extern const char* const LineControlNames[4];

// A line error raised by CheckErrors; the message is one or more C-texts joined by "\r\n".
class ECommAbort : public platform::Exception {
 public:
  ECommAbort(TCommErrors errors, std::string message)
      : platform::Exception(std::move(message)), Errors(errors) {}
  TCommErrors Errors;
};

class TComPort;
// Sender, Errors, Text (may be changed), Abort (may be changed).
using TCommErrorEvent = std::function<void(TComPort* sender, TCommErrors errors, std::string& text, bool& abort)>;

// The error set and the joined C-texts of a ClearCommError error word.
void DecodeCommErrors(DWORD errors, TCommErrors& found, std::string& text);

class TComPort {
 public:
  // Name may carry a settings text ("COM3:9600,n,8,1", "COM1 baud=9600 ..."); an
  // empty Access leaves the port configured but closed.
  TComPort(const std::string& name, TPortAccess access);
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;
  virtual ~TComPort();

  void Open(TPortAccess access);
  void Close();
  bool IsOpen() const;
  void CheckOpen() const;
  virtual HANDLE CreateHandle(TPortAccess access);

  // Line settings: each setter records a change only when the value differs.
  void ApplySettings(const TComSettings& settings);
  void SetSettings(const std::string& text);
  void SetBaudRate(LONG value);
  void SetByteSize(BYTE value);
  void SetParity(BYTE value);
  void SetStopBits(BYTE value);
  void SetFlag(DWORD mask, bool value);
  void SetFlagField(DWORD mask, BYTE value);
  void SetRtsToggle(bool value);
  void SetCtsWrite(bool value);
  // Puts back every line setting of a state read earlier with State().
  void RestoreState(const DCB& state);
  void BeginUpdate();
  void EndUpdate();
  void ApplyState();

  // Kind 0 ReadInterval, 1 ReadTotalMultiplier, 2 ReadTotalConstant,
  // 3 WriteTotalMultiplier, 4 WriteTotalConstant; other kinds are ignored.
  void SetTimeout(int kind, DWORD value);
  void ApplyTimeouts();

  virtual DWORD Read(void* buffer, DWORD count);
  virtual DWORD Write(const void* buffer, DWORD count);
  // Input queued? Asks the port for its input count and line errors only.
  bool HasInput();
  // Reads bytes that HasInput has just reported as queued. Their line errors
  // were looked at by that call; later ones by the next: one query per batch.
  DWORD ReadQueued(void* buffer, DWORD count);
  // Waits up to `milliseconds` for input (or an error to report) instead of sleeping.
  void WaitForInput(DWORD milliseconds);
  void ReadText(DWORD count, std::string& s);
  DWORD WriteText(const std::string& s);
  DWORD TransferTime(DWORD bytes) const;

  void SetDTR(bool value);
  void SetRTS(bool value);
  void Purge(TPurgeActions actions);
  void SendBreak(DWORD milliseconds);
  bool WaitEvent(TCommEvents events, DWORD timeout);

  void ClearErrors();
  void CheckErrors();

  const TCommErrorEvent& OnError() const { return FOnError; }
  void SetOnError(TCommErrorEvent handler) { FOnError = std::move(handler); }

  // What the layers above read.
  const std::string& Name() const { return FName; }
  const std::string& Settings() const { return FSettings; }
  LONG BaudRate() const { return static_cast<LONG>(FDCB.BaudRate); }
  const DCB& State() const { return FDCB; }
  const COMMPROP& Properties() const { return FProperties; }
  DWORD CurrentRxQueue() const { return FProperties.dwCurrentRxQueue; }
  const COMSTAT& Status() const { return FStatus; }
  DWORD InQueue() const { return FStatus.cbInQue; }
  const COMMTIMEOUTS& Timeouts() const { return FTimeouts; }
  DWORD OpenErrors() const { return FErrors; }
  HANDLE Handle() const { return FHandle; }
  bool RtsToggle() const { return FRtsToggle; }
  bool CtsWrite() const { return FCtsWrite; }
  bool RaiseOnError() const { return FRaiseOnError; }
  void SetRaiseOnError(bool value) { FRaiseOnError = value; }
  bool DCBChanged() const { return FDCBChanged; }
  bool TimeoutsChanged() const { return FTimeoutsChanged; }

 protected:
  virtual void AfterRead() {}

 private:
  void ParseName(const std::string& name, std::string& settingsText);
  void RecordChange(bool changed);
  void WriteWhole(const void* buffer, DWORD count, DWORD& written);
  DWORD WriteBytewise(const BYTE* data, DWORD count);
  void RaiseIfFailed(BOOL ok) const;
  void ReportErrors(DWORD errors);  // to the error handler, or raised

  DCB FDCB{};
  COMMPROP FProperties{};
  COMSTAT FStatus{};
  COMMTIMEOUTS FTimeouts{};
  DWORD FErrors = 0;
  std::string FName;
  std::string FSettings;
  HANDLE FHandle = nullptr;
  WORD FUpdateCount = 0;
  bool FDCBChanged = false;
  bool FTimeoutsChanged = false;
  bool FRtsToggle = false;
  bool FCtsWrite = false;
  TCommErrorEvent FOnError;
  bool FRaiseOnError = false;
  std::int16_t FErrorDepth = 0;
};

}  // namespace transport
