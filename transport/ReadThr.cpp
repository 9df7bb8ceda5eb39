// The reading threads: polling the port, passing chunks on to the outputs, the
// stop conditions, and the return of line and device to command state.
#include "transport/ReadThr.h"

#include <algorithm>
#include <cassert>
#include <cstdint>

#include "platform/Clock.h"
#include "platform/SysUtils.h"
#include "platform/WinSerial.h"

namespace transport {

namespace {

constexpr DWORD kChunkSize = 33;
constexpr DWORD kMessageLength = 256;
// The owner's Terminate is noticed within this time even when the poll interval is long.
constexpr DWORD kTerminateSlice = 20;

HANDLE OutputHandle(LONG handle) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle)); }

}  // namespace

void ReadHardwareMessage(TComPort* port, LONG baudRate, std::string& text) {
  if (port == nullptr) throw platform::Exception("No port to read the hardware message from");
  port->ClearErrors();
  port->SetDTR(false);
  Sleep(5);
  port->ClearErrors();
  port->Purge({puNoCheck, puTxAbort, puRxAbort, puTxClear, puRxClear});
  port->SetBaudRate(baudRate);
  port->SetRTS(true);
  Sleep(5);
  port->ClearErrors();
  std::string received;
  port->ReadText(kMessageLength, received);
  text = platform::Trim(received);
  if (!text.empty() && text.back() == '.') {
    text.pop_back();
    text = platform::Trim(text) + ".";
  }
  port->WriteText("\r");
  port->SetRTS(false);
}

// ---- TReadingThread -----------------------------------------------------------

TReadingThread::TReadingThread() = default;

TReadingThread::~TReadingThread() { TerminateAndWait(); }

void TReadingThread::AddOutput(LONG handle, bool owns) {
  if (handle < 0) throw platform::Exception(platform::Format("Invalid output handle %d", handle));
  FHandles.push_back(handle);
  FOwnsHandles.push_back(owns);
}

void TReadingThread::SetPort(TComPort* port) {
  FPort = port;
  if (port != nullptr) FBaudRate = port->BaudRate();
}

void TReadingThread::SetStopTimeout(DWORD milliseconds) {
  FTimeout = milliseconds;
  if (milliseconds == 0)
    StopTimer();
  else if (FStartTick != 0)
    RestartTimer();
}

void TReadingThread::StartTimeoutOnData(DWORD milliseconds) {
  FStartOnData = true;
  SetStopTimeout(milliseconds);
}

void TReadingThread::StartTimeoutOnActivity(DWORD milliseconds) {
  SetStopTimeout(milliseconds);
  FRestartOnActivity = true;
}

bool TReadingThread::IsRunning() const {
  DWORD code = 0;
  if (!GetExitCodeThread(Handle(), &code)) {
    SetLastError(0);
    return false;
  }
  return code == STILL_ACTIVE;
}

void TReadingThread::WaitTimeout(DWORD milliseconds) const {
  WaitForSingleObject(Handle(), milliseconds);  // result ignored: the caller only wants to wait
}

std::string TReadingThread::Message() const {
  std::lock_guard<std::mutex> lock(FMessageLock);
  return FMessage;
}

// Half the time the driver's input queue takes to fill, so that a late wake-up
// cannot overflow it; never 0, so that a driver without a queue size cannot make us spin.
DWORD TReadingThread::IdleTime() const {
  return std::max<DWORD>(1, FPort->TransferTime(FPort->CurrentRxQueue()) / 2);
}

void TReadingThread::Execute() {
  if (FPort == nullptr) throw platform::Exception("The reading thread has no port");
  FPort->CheckOpen();  // a closed port would never report input: fail instead of polling forever
  FPort->SetOnError([this](TComPort* sender, TCommErrors errors, std::string& text, bool& abort) {
    HandlePortError(sender, errors, text, abort);
  });
  FBaudRate = FPort->BaudRate();
  DWORD idle = IdleTime();
  if (!FSettings.empty()) {
    FPort->SetSettings(FSettings);
    idle = std::min(idle, IdleTime());  // a faster data phase fills the queue sooner
  }
  while (!Terminated()) {
    while (FPort->HasInput()) {
      if (Terminated()) return;
      ReadChunk();
      if (!ProcessChunk()) Terminate();
      if (TimedOut()) Terminate();
    }
    for (DWORD slept = 0; slept < idle && !Terminated(); slept += kTerminateSlice)
      Sleep(std::min(kTerminateSlice, idle - slept));
  }
}

void TReadingThread::ReadChunk() {
  const DWORD n = std::min<DWORD>(kChunkSize, FPort->InQueue());
  FCount = FPort->Read(FBuffer, n);
  assert(FCount <= kChunkSize);
  if (FCount > 0 && FStartOnData && FStartTick == 0) RestartTimer();
}

bool TReadingThread::TimedOut() const {
  if (FStartTick == 0) return false;
  return GetTickCount() - FStartTick >= FTimeout;
}

void TReadingThread::RestartTimer() {
  if (FTimeout == 0) return;
  const DWORD now = GetTickCount();
  FStartTick = now != 0 ? now : 1;  // 0 would read as "not running"
}

void TReadingThread::StopTimer() { FStartTick = 0; }

void TReadingThread::WriteOutput(LONG handle, const BYTE* data, DWORD count) {
  // A short write to a pipe is continued; only a failure ends the run.
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(OutputHandle(handle), data, count, &written, nullptr) || written == 0)
      platform::RaiseLastOSError();
    assert(written <= count);
    data += written;
    count -= written;
  }
}

bool TReadingThread::ProcessChunk() {
  FTotal.fetch_add(FCount, std::memory_order_relaxed);
  if (!FHandles.empty() && FHandles[0] != 0) WriteOutput(FHandles[0], FBuffer, FCount);
  return true;
}

// A lone break ends the run: quietly when the hardware then sends its message.
void TReadingThread::HandlePortError(TComPort*, TCommErrors errors, std::string&, bool& abort) {
  if (errors != TCommErrors{ceBreak}) return;
  const bool ok = FetchHardwareMessage();
  FHardwareStopped.store(ok);
  abort = !ok;
}

bool TReadingThread::FetchHardwareMessage() {
  std::string s;
  try {
    ReadHardwareMessage(FPort, FBaudRate, s);
  } catch (...) {
    Terminate();
    throw;
  }
  if (!s.empty()) {
    std::lock_guard<std::mutex> lock(FMessageLock);
    if (!FMessage.empty()) FMessage += "\r\n";
    FMessage += s;
  }
  Terminate();
  return !s.empty();
}

void TReadingThread::Shutdown() {
  if (FPort != nullptr) {
    try {
      FPort->ClearErrors();
      if (FTotal.load() == 0) {
        FPort->SendBreak(2);  // stop the hardware, then let it tell why
        std::string discarded;
        ReadHardwareMessage(FPort, FBaudRate, discarded);
      } else {
        FPort->SetDTR(false);
        FPort->SetBaudRate(FBaudRate);
      }
      Sleep(5);
      FPort->ClearErrors();
      FPort->Purge({puNoCheck, puRxClear});
    } catch (...) {
      // Nothing may stop the outputs from being closed.
    }
    // Also after a failure: the handler must not outlive this thread object.
    FPort->SetOnError(nullptr);
  }
  FPort = nullptr;
  CloseOutputs();
}

void TReadingThread::CloseOutputs() {
  for (size_t i = 0; i < FHandles.size(); ++i) {
    if (!FOwnsHandles[i] || FHandles[i] == 0) continue;
    CloseHandle(OutputHandle(FHandles[i]));  // result ignored: the run is over either way
    FHandles[i] = 0;
  }
  FHandles.clear();
  FOwnsHandles.clear();
}

void TReadingThread::DoTerminate() {
  try {
    Shutdown();
  } catch (...) {
  }
  try {
    platform::TThread::DoTerminate();
  } catch (...) {
    // The owner's handler runs on this thread; its failure must not end the process.
  }
}

// ---- TSamplingThread ----------------------------------------------------------

TSamplingThread::~TSamplingThread() { TerminateAndWait(); }

void TSamplingThread::SetSampleLimit(LONG samples) {
  if (samples < 0) throw platform::Exception(platform::Format("Invalid sample limit %d", samples));
  FRemaining = static_cast<LONG>((static_cast<std::int64_t>(samples) + 7) / 8);
  FLimited = true;
}

bool TSamplingThread::ProcessChunk() {
  if (FLimited) {
    if (static_cast<std::int64_t>(FRemaining) < static_cast<std::int64_t>(FCount))
      FCount = FRemaining > 0 ? static_cast<DWORD>(FRemaining) : 0;
    FRemaining -= static_cast<LONG>(FCount);
  }
  if (FRestartOnActivity) CheckActivity();
  TReadingThread::ProcessChunk();
  return !(FLimited && FRemaining <= 0);
}

// A byte of all zeros or all ones is an idle line.
void TSamplingThread::CheckActivity() {
  if (FCount == 0) return;
  const BYTE last = FBuffer[FCount - 1];
  if (last != 0x00 && last != 0xFF) RestartTimer();
}

// ---- TMultichannelSamplingThread ----------------------------------------------

TMultichannelSamplingThread::~TMultichannelSamplingThread() { TerminateAndWait(); }

bool TMultichannelSamplingThread::ProcessChunk() {
  const size_t n = OutputCount();
  if (FLimited) FRemaining -= static_cast<LONG>(FCount);
  if (FRestartOnActivity) CheckActivity();
  for (DWORD i = 0; i < FCount; ++i) {
    const DWORD total = FTotal.load(std::memory_order_relaxed);
    // Without outputs the bytes are only counted.
    if (n > 0) {
      const LONG handle = FHandles[total % n];
      if (handle != 0) WriteOutput(handle, FBuffer + i, 1);
    }
    FTotal.store(total + 1, std::memory_order_relaxed);
  }
  return !(FLimited && FRemaining <= 0);
}

// ---- TMeasuringThread ---------------------------------------------------------

TMeasuringThread::~TMeasuringThread() { TerminateAndWait(); }

bool TMeasuringThread::ProcessChunk() {
  if (FStartOnData) {
    if (FCount > 1) {
      FStartOnData = false;
      RestartTimer();
    }
  } else if (FRestartOnActivity) {
    if (FCount == 1 && FBuffer[0] != 0)
      RestartTimer();
    else if (FCount >= 2 && FBuffer[FCount - 1] != 0 && FBuffer[FCount - 2] != 0)
      RestartTimer();
  }
  TReadingThread::ProcessChunk();
  return true;
}

// ---- TTestThread --------------------------------------------------------------

TTestThread::~TTestThread() { TerminateAndWait(); }

void TTestThread::SetSampleLimit(LONG samples) {
  TSamplingThread::SetSampleLimit(samples);
  FRemaining = samples;  // the tool counts bytes
}

}  // namespace transport
