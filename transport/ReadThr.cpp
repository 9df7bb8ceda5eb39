// The reading threads: polling the port, passing chunks on to the outputs, the
// stop conditions, and the return of line and device to command state.
#include "transport/ReadThr.h"

#include <algorithm>
#include <cassert>
#include <cstdint>

#include "platform/Clock.h"
#include "platform/SysUtils.h"
#include "platform/Trace.h"
#include "platform/WinSerial.h"

namespace transport {

namespace {

constexpr DWORD kChunkSize = 33;
constexpr DWORD kMessageLength = 256;
// The owner's Terminate is noticed within this time while outputs are waited for.
constexpr DWORD kTerminateSlice = 20;
// A wait for input ends at once on Terminate (the port is woken), so it can be
// long: an idle run wakes ten times a second. It still bounds the wait should
// the wake-up fail.
constexpr DWORD kInputWaitSlice = 100;
// The longest pause for input to gather into a batch (see WaitIdle).
constexpr DWORD kGatherLimit = 8;

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

// ---- end reasons and output queues ----------------------------------------------

const char* RunEndName(TRunEnd reason) {
  switch (reason) {
    case TRunEnd::Running: return "running";
    case TRunEnd::Count: return "count reached";
    case TRunEnd::Timer: return "stop timer";
    case TRunEnd::HardwareBreak: return "hardware break";
    case TRunEnd::LineError: return "line error";
    case TRunEnd::OutputFailed: return "output failed";
    case TRunEnd::PortFailed: return "port failed";
    case TRunEnd::Terminated: return "stopped by owner";
  }
  return "?";
}

void TOutputQueue::Append(const BYTE* data, size_t count) {
  if (count == 0) return;
  bytes_.insert(bytes_.end(), data, data + count);
  records_.push_back(static_cast<DWORD>(count));
}

void TOutputQueue::Consume(size_t count) {
  assert(count <= FrontSize());
  head_ += count;
  frontDone_ += count;
  if (frontDone_ == records_.front()) {
    records_.pop_front();
    frontDone_ = 0;
  }
  if (head_ == bytes_.size()) {
    Clear();
  } else if (head_ >= 65536 && head_ * 2 >= bytes_.size()) {
    // Keep the queue from growing at the front while a slow reader catches up.
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void TOutputQueue::Clear() {
  bytes_.clear();
  head_ = 0;
  records_.clear();
  frontDone_ = 0;
}

// ---- TReadingThread -----------------------------------------------------------

TReadingThread::TReadingThread() = default;

TReadingThread::~TReadingThread() { TerminateAndWait(); }

void TReadingThread::AddOutput(LONG handle, bool owns) {
  if (handle < 0) throw platform::Exception(platform::Format("Invalid output handle %d", handle));
  FHandles.push_back(handle);
  FOwnsHandles.push_back(owns);
  FQueues.emplace_back();
  FOutputFailed.push_back(false);
  platform::NoWaitHandle writer;
  writer.handle = OutputHandle(handle);
  FWriters.push_back(writer);
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

void TReadingThread::EndRun(TRunEnd reason) {
  TRunEnd running = TRunEnd::Running;
  FEndReason.compare_exchange_strong(running, reason);
}

// Half the time the driver's input queue takes to fill, so that a late wake-up
// cannot overflow it; never 0, so that a driver without a queue size cannot make us spin.
DWORD TReadingThread::IdleTime() const {
  return std::max<DWORD>(1, FPort->TransferTime(FPort->CurrentRxQueue()) / 2);
}

void TReadingThread::CaptureCommandState() {
  FCommandState = FPort->State();
  FBaudRate = FPort->BaudRate();
  FCommandStateKnown = true;
}

// Every line setting of the command state, not only the baud rate: a data
// phase's settings text may also change data bits, parity, stop bits and DTR.
void TReadingThread::RestoreCommandState() {
  if (FCommandStateKnown) FPort->RestoreState(FCommandState);
}

void TReadingThread::Execute() {
  if (FPort == nullptr) throw platform::Exception("The reading thread has no port");
  platform::KeepSigpipeBlocked();  // a reader that goes away is EPIPE on this thread, never a signal
  // Writes that cannot block need no poll before each one.
  for (size_t i = 0; i < FHandles.size(); ++i)
    if (FHandles[i] != 0) FWriters[i] = platform::BeginNoWaitOutput(OutputHandle(FHandles[i]));
  try {
    FPort->CheckOpen();  // a closed port would never report input: fail instead of polling forever
    FWaitPort.store(FPort->Handle());
    FPort->SetOnError([this](TComPort* sender, TCommErrors errors, std::string& text, bool& abort) {
      HandlePortError(sender, errors, text, abort);
    });
    CaptureCommandState();
    DWORD idle = IdleTime();
    if (!FSettings.empty()) {
      FPort->SetSettings(FSettings);
      idle = std::min(idle, IdleTime());  // a faster data phase fills the queue sooner
    }
    while (!Ending()) {
      if (const DWORD code = FlushOutputs()) platform::RaiseLastOSError(code);
      PollPort();
      HandOver();
      if (FLineEvent && FDrainLeft == 0) EndOnLineEvent();
      if (Ending()) break;
      WaitIdle(idle);
    }
    // A run that reached its end while a line event was pending still answers
    // for it (and gives a stopped device its handshake); a stopped run does not.
    if (FLineEvent && !Terminated()) EndOnLineEvent();
  } catch (const ECommAbort&) {
    FWaitPort.store(nullptr);
    EndRun(TRunEnd::LineError);
    throw;
  } catch (...) {
    FWaitPort.store(nullptr);
    EndRun(TRunEnd::PortFailed);
    throw;
  }
  FWaitPort.store(nullptr);
  EndRun(TRunEnd::Terminated);  // no reason recorded yet: the owner asked
}

// Reads the batch of bytes the port holds, in chunks, with one query of the
// port for the batch (what arrives meanwhile ends the next wait at once);
// after a line event only the bytes that were queued when it was seen, which
// are those that arrived before it.
void TReadingThread::PollPort() {
  if (!FPort->HasInput()) {
    FDrainLeft = 0;  // the queue is empty: nothing more arrived before the event
    return;
  }
  for (DWORD queued = FPort->InQueue(); queued > 0;) {
    if (Terminated()) return;
    if (FLineEvent && FDrainLeft == 0) return;
    if (!ReadChunk(queued)) return;  // a driver that claims input it cannot deliver must not make this spin
    queued -= std::min(queued, FCount);
    if (!ProcessChunk()) EndRun(TRunEnd::Count);
    if (TimedOut()) EndRun(TRunEnd::Timer);
    if (Ending()) return;
  }
}

void TReadingThread::EndOnLineEvent() {
  FLineEvent = false;
  if (!FPendingErrors.Empty() || !FBreakSeen) {
    EndRun(TRunEnd::LineError);
    throw ECommAbort(FPendingErrors, FPendingText);
  }
  if (FetchHardwareMessage()) {
    EndRun(TRunEnd::HardwareBreak);
    return;
  }
  TCommErrors breakOnly{ceBreak};
  std::string text;
  DecodeCommErrors(CE_BREAK, breakOnly, text);
  EndRun(TRunEnd::LineError);
  if (FPort->RaiseOnError()) throw ECommAbort(breakOnly, text);
}

// Waits for the port's next input, so that a late wake-up cannot let the
// driver's queue overflow. While an output holds a backlog, the wait is for it
// instead, never longer than `milliseconds` (half the queue's fill time).
void TReadingThread::WaitIdle(DWORD milliseconds) {
  if (Terminated()) return;
  if (Backlog() > 0) {
    WaitForBacklog(std::min(kTerminateSlice, milliseconds));
    return;
  }
  // Still behind the line, or an error just seen: read on (or end) at once.
  if (FPort->HasInput() || FLineEvent) return;
  FPort->WaitForInput(kInputWaitSlice);
  // A slow line brings its bytes a few at a time: a short pause lets a batch
  // gather, so this thread and the outputs' readers wake once per batch, not
  // once per byte. The pause is a wake-up of its own, so it is taken only when
  // it would bring at least twice what is queued now (a fast line's bursts are
  // read at once). A quarter of `milliseconds` (an eighth of the queue's fill
  // time) leaves a late wake-up most of the queue.
  const DWORD gather = std::min(kGatherLimit, milliseconds / 4);
  if (gather == 0 || Terminated()) return;
  const std::uint64_t gathered = std::uint64_t{FPort->CurrentRxQueue()} * gather / (2 * milliseconds);
  // Nothing queued: the wait ended on its time-out, and a quiet line needs no pause.
  if (FPort->HasInput() && !FLineEvent && 2 * std::uint64_t{FPort->InQueue()} < gathered) Sleep(gather);
}

// One chunk of the `queued` bytes the port reported; false when it had none after all.
bool TReadingThread::ReadChunk(DWORD queued) {
  DWORD n = std::min(kChunkSize, queued);
  if (FLineEvent) n = std::min(n, FDrainLeft);  // only what arrived before the event
  FCount = FPort->ReadQueued(FBuffer, n);
  assert(FCount <= kChunkSize);
  if (FLineEvent) FDrainLeft -= std::min(FDrainLeft, FCount);
  if (FCount > 0 && FStartOnData && FStartTick == 0) RestartTimer();
  return FCount > 0;
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

void TReadingThread::Deliver(size_t index, const BYTE* data, DWORD count) {
  assert(index < FHandles.size());
  if (FHandles[index] == 0 || count == 0) return;  // an unbound channel discards its share
  if (FOutputFailed[index]) {
    FUndelivered.fetch_add(count);
    return;
  }
  TOutputQueue& queue = FQueues[index];
  if (queue.Size() == 0) {
    DWORD written = 0;
    const platform::NoWaitHandle& out = FWriters[index];
    if (!platform::WriteFileNoWait(out.handle, data, count, &written, out.pollFirst)) {
      const DWORD code = GetLastError();
      FUndelivered.fetch_add(count);
      GiveUpOutput(index);
      EndRun(TRunEnd::OutputFailed);
      platform::RaiseLastOSError(code);
    }
    data += written;
    count -= written;
  }
  if (count == 0) return;
  if (queue.Size() + count > kBacklogLimit) {
    FUndelivered.fetch_add(count);  // the reader took nothing while the whole backlog waited
    GiveUpOutput(index);
    EndRun(TRunEnd::OutputFailed);
    return;
  }
  queue.Append(data, count);
}

// Writes what output `index` takes now; the system error code when it failed, else 0.
DWORD TReadingThread::FlushOutput(size_t index) {
  TOutputQueue& queue = FQueues[index];
  while (queue.Size() > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(queue.FrontSize());
    const platform::NoWaitHandle& out = FWriters[index];
    if (!platform::WriteFileNoWait(out.handle, queue.Front(), chunk, &written, out.pollFirst)) {
      const DWORD code = GetLastError();
      GiveUpOutput(index);
      return code;
    }
    if (written == 0) break;
    queue.Consume(written);
  }
  return 0;
}

// Every output with a backlog gets what it takes now; the first failure's code, else 0.
DWORD TReadingThread::FlushOutputs() {
  DWORD failure = 0;
  for (size_t i = 0; i < FQueues.size(); ++i)
    if (FQueues[i].Size() > 0)
      if (const DWORD code = FlushOutput(i); code != 0 && failure == 0) failure = code;
  if (failure != 0) EndRun(TRunEnd::OutputFailed);
  return failure;
}

size_t TReadingThread::Backlog() const {
  size_t n = 0;
  for (const TOutputQueue& q : FQueues) n += q.Size();
  return n;
}

// Waits until an output with a backlog can take bytes again; false on time-out.
bool TReadingThread::WaitForBacklog(DWORD milliseconds) const {
  std::vector<HANDLE> waiting;
  for (size_t i = 0; i < FHandles.size(); ++i)
    if (FQueues[i].Size() > 0) waiting.push_back(FWriters[i].handle);
  return platform::WaitForWritable(waiting.data(), static_cast<DWORD>(waiting.size()), milliseconds) != FALSE;
}

// Drops what output `index` still holds, counted as undelivered; the output takes nothing more.
void TReadingThread::GiveUpOutput(size_t index) {
  TOutputQueue& queue = FQueues[index];
  FUndelivered.fetch_add(static_cast<DWORD>(queue.Size()));
  queue.Clear();
  FOutputFailed[index] = true;
}

// The bytes still queued for slow readers: they get them while the run's owner
// waits for the end, but the owner's Stop is never held up for long.
void TReadingThread::FinishDelivery() {
  DWORD graceStart = 0;
  DWORD lastProgress = GetTickCount();
  for (size_t before = Backlog(); before > 0;) {
    FlushOutputs();
    const size_t after = Backlog();
    if (after == 0) break;
    const DWORD now = GetTickCount();
    if (after < before) lastProgress = now;
    if (Terminated() && graceStart == 0) graceStart = now != 0 ? now : 1;
    const bool graceOver = graceStart != 0 && now - graceStart >= kDeliveryGrace;
    if (graceOver || now - lastProgress >= kStallLimit) {
      for (size_t i = 0; i < FQueues.size(); ++i)
        if (FQueues[i].Size() > 0) GiveUpOutput(i);
      break;
    }
    WaitForBacklog(kTerminateSlice);
    before = after;
  }
  if (FUndelivered.load() > 0) EndRun(TRunEnd::OutputFailed);
}

bool TReadingThread::ProcessChunk() {
  FTotal.fetch_add(FCount, std::memory_order_relaxed);
  if (!FHandles.empty()) Deliver(0, FBuffer, FCount);
  return true;
}

// A lone break ends the run: quietly when the hardware then sends its message.
// Any line event first lets the bytes queued ahead of it through (see PollPort).
void TReadingThread::HandlePortError(TComPort* sender, TCommErrors errors, std::string& text, bool& abort) {
  if (FInHandshake) {  // the message handshake clears what the break left behind
    abort = false;
    return;
  }
  const bool loneBreak = errors == TCommErrors{ceBreak};
  if (!loneBreak && !abort) return;  // errors the port does not raise are only cleared
  if (!FLineEvent) {
    FLineEvent = true;
    FDrainLeft = sender->InQueue();
  }
  if (loneBreak) {
    FBreakSeen = true;
  } else {
    FPendingErrors = FPendingErrors + errors;
    if (!FPendingText.empty() && !text.empty()) FPendingText += "\r\n";
    FPendingText += text;
  }
  abort = false;
}

bool TReadingThread::FetchHardwareMessage() {
  std::string s;
  FInHandshake = true;
  try {
    // The device speaks its message at the command-state framing.
    RestoreCommandState();
    ReadHardwareMessage(FPort, FBaudRate, s);
  } catch (...) {
    FInHandshake = false;
    throw;
  }
  FInHandshake = false;
  if (!s.empty()) {
    std::lock_guard<std::mutex> lock(FMessageLock);
    if (!FMessage.empty()) FMessage += "\r\n";
    FMessage += s;
  }
  FHardwareStopped.store(!s.empty());
  return !s.empty();
}

void TReadingThread::Shutdown() {
  if (FPort != nullptr) {
    // A thread that never ran learns the command state now, not at configuration.
    if (!FCommandStateKnown) CaptureCommandState();
    FInHandshake = true;
    try {
      FPort->ClearErrors();
      if (FTotal.load() == 0) {
        RestoreCommandState();
        FPort->SendBreak(2);  // stop the hardware, then let it tell why
        std::string discarded;
        ReadHardwareMessage(FPort, FBaudRate, discarded);
      } else {
        FPort->SetDTR(false);
        RestoreCommandState();
      }
      FPort->SetDTR(false);  // also where the data phase's settings had it driven high
      Sleep(5);
      FPort->ClearErrors();
      FPort->Purge({puNoCheck, puRxClear});
    } catch (...) {
      // Nothing may stop the outputs from being served and closed.
      platform::TraceDropped("returning the line to command state at a run's end");
    }
    FInHandshake = false;
    // Also after a failure: the handler must not outlive this thread object.
    FPort->SetOnError(nullptr);
  }
  FPort = nullptr;
  try {
    HandOver();  // what a failure in the middle of a batch left dealt out
  } catch (...) {
    // The failed output's share is counted undelivered; the others are queued.
    platform::TraceDropped("handing a run's last batch over");
  }
  FinishDelivery();
  CloseOutputs();
  TraceEnd();
}

void TReadingThread::TraceEnd() const {
  if (!platform::TraceEnabled()) return;
  platform::TraceLine(platform::Format("Run end: %s, %u bytes received, %u undelivered%s",
                                       RunEndName(FEndReason.load()), FTotal.load(), FUndelivered.load(),
                                       HasFatalException() ? (", " + FatalMessage()).c_str() : ""));
}

void TReadingThread::CloseOutputs() {
  for (const platform::NoWaitHandle& writer : FWriters) platform::EndNoWaitOutput(writer);
  FWriters.clear();
  for (size_t i = 0; i < FHandles.size(); ++i) {
    if (!FOwnsHandles[i] || FHandles[i] == 0) continue;
    CloseHandle(OutputHandle(FHandles[i]));  // result ignored: the run is over either way
    FHandles[i] = 0;
  }
  FHandles.clear();
  FOwnsHandles.clear();
  FQueues.clear();
  FOutputFailed.clear();
}

void TReadingThread::DoTerminate() {
  try {
    Shutdown();
  } catch (...) {
    // The owner's end handler must run whatever went wrong before it.
    platform::TraceDropped("a run's shutdown");
  }
  try {
    platform::TThread::DoTerminate();
  } catch (...) {
    // The owner's handler runs on this thread; its failure must not end the process.
    platform::TraceDropped("a run's end handler");
  }
}

// Any thread. Checked before each wait, the flag ends a wait that has not begun;
// the wake-up ends one under way.
void TReadingThread::TerminateRequested() noexcept {
  HANDLE port = FWaitPort.load();
  if (port == nullptr) return;
  const DWORD saved = GetLastError();  // the caller's last error is none of this call's business
  platform::WakeInputWait(port);
  SetLastError(saved);
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
  const DWORD total = FTotal.load(std::memory_order_relaxed);
  FTotal.store(total + FCount, std::memory_order_relaxed);
  // Without outputs the bytes are only counted. Byte k of the run goes to
  // output k mod n; the shares grow through the batch and go out in HandOver.
  if (n > 0) {
    FShares.resize(n);
    bool empty = true;
    for (const auto& share : FShares) empty = empty && share.empty();
    if (empty) FFirstShare = total % n;
    for (DWORD i = 0; i < FCount; ++i) FShares[(total + i) % n].push_back(FBuffer[i]);
  }
  return !(FLimited && FRemaining <= 0);
}

// One write per output and batch, starting with the output of the batch's first byte.
void TMultichannelSamplingThread::HandOver() {
  const size_t n = FShares.size();
  for (size_t k = 0; k < n; ++k) {
    auto& share = FShares[(FFirstShare + k) % n];
    if (share.empty()) continue;
    try {
      Deliver((FFirstShare + k) % n, share.data(), static_cast<DWORD>(share.size()));
    } catch (...) {
      // The run ends with this failure; the shares not yet handed on are lost with it.
      share.clear();
      for (size_t rest = k + 1; rest < n; ++rest) {
        auto& lost = FShares[(FFirstShare + rest) % n];
        if (FHandles[(FFirstShare + rest) % n] != 0) CountUndelivered(static_cast<DWORD>(lost.size()));
        lost.clear();
      }
      throw;
    }
    share.clear();
  }
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
