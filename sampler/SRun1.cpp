// Sampling run control of the sampler object: starting a run, its end on the
// reading thread, its status texts, and stopping it under the library-wide lock.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <limits>

#include "messages/SMessages.h"
#include "platform/Clock.h"
#include "platform/OleAuto.h"
#include "sampler/SSampler1.h"
#include "sampler/SamplerLock.h"
#include "platform/Trace.h"

namespace sampler {

using messages::FormatMsg;
using messages::LoadStr;
using messages::Msg;
using protocol::ESamplerError;

namespace {

constexpr DWORD kResumeSettle = 10;  // ms after resuming the thread before looking at it
constexpr DWORD kStopSettle = 200;   // ms after a stopped thread has ended

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

// ---- state hand-over --------------------------------------------------------------------

bool TKorvoSampler::MoveState(WORD from, WORD to) { return FState.compare_exchange_strong(from, to); }

// A started thread whose end-of-run handler has not finished yet.
bool TKorvoSampler::RunWorking() const { return FThread && !FThread->Suspended() && !FRunEnded.load(); }

// True until the run's end handler has finished: once a query says the run is
// over, its outputs are closed and Start is accepted.
bool TKorvoSampler::SamplingNow(WORD state) const { return IsRunState(state) && RunWorking(); }

// ---- start ----------------------------------------------------------------------------------

HRESULT TKorvoSampler::Start() {
  return SafeCall([&] { StartRun(); });
}

void TKorvoSampler::StartRun() {
  // A run whose end a query already reported is only finishing its end handler.
  if (RunWorking() && !IsRunState(FState) && FState != SST_STOPPING) FThread->WaitFor();
  if (RunWorking()) throw ESamplerError(LoadStr(Msg::RunAlreadyInProgress));
  SetLastErrorText(std::string());
  try {
    PrepareRun();
  } catch (...) {
    // Nothing was sent; still a start that cannot work is a failure Reset must clear,
    // except when there is nothing to start at all.
    if (FAdapter && PortOpen() && FChannels && FChannels->ChannelCount() > 0) {
      SetLastErrorText(platform::ExceptionMessage(std::current_exception()));
      FState = SST_COMMAND_FAILED;
    }
    throw;
  }
  assert(FThread && FThread->Suspended() && !FRunEnded);
  FPort->SetOnError([this](transport::TComPort* sender, transport::TCommErrors errors, std::string& text,
                           bool& abort) { OnPortError(sender, errors, text, abort); });
  try {
    SendStartCommand();
    if (FState == SST_STARTING) {
      FState = SST_WAITING;
      FThread->SetSettings(FRunSettings);
      FThread->Resume();
      Sleep(kResumeSettle);
      // The thread's failure record is complete only once it has ended: before
      // that, a failure state would report the run over while its outputs are open.
      if (!RunWorking()) {
        std::string text;
        CheckRunFailure(FThread.get(), text);
        SetLastErrorText(text);
      }
    } else {
      AbortRun();  // no reply: the state stays 3842 with E23 as the last error
    }
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    SetLastErrorText(platform::ExceptionMessage(failure));
    try {
      AbortRun();
    } catch (...) {
      // The start's own failure is the one the host must see.
      platform::TraceDropped("aborting a failed start");
    }
    FState = SST_COMMAND_FAILED;  // also where the failure came before the device answered
    std::rethrow_exception(failure);
  }
}

void TKorvoSampler::PrepareRun() {
  if (!FChannels || FChannels->ChannelCount() == 0) throw ESamplerError(LoadStr(Msg::NoChannels));
  if (!FAdapter || !FPort) throw ESamplerError(LoadStr(Msg::InvalidState));
  std::unique_ptr<transport::TReadingThread> thread;
  switch (FAdapter->Mode) {
    case protocol::smSampleSole:
    case protocol::smSampleDual:
    case protocol::smSampleBuff: thread = CreateSamplingThread(); break;
    case protocol::smMeasureAlias:
    case protocol::smMeasure: thread = CreateMeasuringThread(); break;
    default: throw ESamplerError(LoadStr(Msg::NotImplemented));
  }
  for (LONG i = 0; i < FChannels->ChannelCount(); ++i) {
    enumerators::TChannel* channel = FChannels->Channel(i);
    thread->AddOutput(channel->BoundHandle(), channel->ClosesHandle());
    // The run now owns a handle it will close: the channel must not hand the
    // number to a later run, where it may name another file of the host.
    if (channel->ClosesHandle()) channel->ReleaseHandle();
  }
  // The port and the end-of-run handler come last: a thread that fails to be
  // configured is dropped without touching the line or this sampler.
  thread->SetPort(FPort.get());
  thread->OnTerminate = [this](platform::TThread* sender) { OnRunTerminate(sender); };
  Replace(FThread, {});  // the ended thread of an earlier run, freed before the new one is set up
  FRunEnded = false;
  Replace(FThread, std::move(thread));
}

namespace {

// Stop values come from the host as LONGs: a negative one would read as a
// 49-day wait or wrap an addition, so each is checked before it is used.
DWORD CheckedIdleTime(LONG ms) {
  if (ms < 0) throw ESamplerError(FormatMsg(Msg::BadIdleTime, ms));
  return static_cast<DWORD>(ms);
}

DWORD CheckedSampleTime(LONG ms) {
  if (ms < 0) throw ESamplerError(FormatMsg(Msg::BadSampleTime, ms));
  return static_cast<DWORD>(ms);
}

}  // namespace

std::unique_ptr<transport::TReadingThread> TKorvoSampler::CreateSamplingThread() {
  std::unique_ptr<transport::TReadingThread> thread;
  const LONG channels = FChannels->ChannelCount();
  if (channels >= 2)
    thread = std::make_unique<transport::TMultichannelSamplingThread>();
  else
    thread = std::make_unique<transport::TSamplingThread>();
  auto* sampling = static_cast<transport::TSamplingThread*>(thread.get());
  const protocol::TSamplerSettings& s = FAdapter->Settings;
  switch (s.StopMode) {
    case 1: thread->StartTimeoutOnActivity(CheckedIdleTime(s.IdleTime)); break;
    case 2: {
      if (s.SampleCount < 0) throw ESamplerError(FormatMsg(Msg::BadSampleCount, s.SampleCount));
      const std::int64_t limit = static_cast<std::int64_t>(channels) * s.SampleCount;
      if (limit > std::numeric_limits<LONG>::max())
        throw ESamplerError(FormatMsg(Msg::SampleCountTooLarge, s.SampleCount, channels));
      sampling->SetSampleLimit(static_cast<LONG>(limit));
      break;
    }
    case 3: thread->StartTimeoutOnData(CheckedSampleTime(s.SampleTime)); break;
    default: break;  // until Stop or the hardware's end
  }
  return thread;
}

std::unique_ptr<transport::TReadingThread> TKorvoSampler::CreateMeasuringThread() {
  const protocol::TSamplerSettings& s = FAdapter->Settings;
  // 65536 counts at the rate, in ms; without a rate there is no time-out to compute.
  if (s.StopMode == 3 && FAdapter->Rate == 0) throw ESamplerError(LoadStr(Msg::StNoRate));
  auto thread = std::make_unique<transport::TMeasuringThread>();
  switch (s.StopMode) {
    case 1: thread->StartTimeoutOnActivity(CheckedIdleTime(s.IdleTime)); break;
    case 3: {
      const std::uint64_t ms = std::uint64_t{CheckedSampleTime(s.SampleTime)} + 65536000u / FAdapter->Rate;
      if (ms >= std::numeric_limits<DWORD>::max()) throw ESamplerError(FormatMsg(Msg::SampleTimeTooLong, s.SampleTime));
      thread->StartTimeoutOnData(static_cast<DWORD>(ms));
      break;
    }
    default: break;  // a timing run never ends on a count
  }
  return thread;
}

void TKorvoSampler::SendStartCommand() {
  const protocol::TSamplerSettings& s = FAdapter->Settings;
  const std::string command =
      s.UseCustomCommand ? s.CustomCommand : FAdapter->BuildStartCommand(protocol::skCarriageReturn);
  FState = SST_SENDING_COMMAND;
  std::string reply;
  SendCommand(command, true, reply);
  FState = SST_COMMAND_FAILED;
  FRunSettings = FAdapter->ParseCommandResponse(reply);
  if (reply.empty())
    SetLastErrorText(LoadStr(Msg::NoResponse));
  else
    FState = SST_STARTING;
}

// Installed on the port during the start-command exchange only.
void TKorvoSampler::OnPortError(transport::TComPort* sender, transport::TCommErrors errors, std::string&,
                                bool& abort) {
  using transport::ceBreak;
  abort = errors.Contains(ceBreak) && errors.Contains(transport::ceOverrun) && errors.Contains(transport::ceRxOver);
  if (abort || !errors.Contains(ceBreak)) return;
  std::string message;
  transport::ReadHardwareMessage(sender, DefaultLineSettings().BaudRate, message);
  AppendLastError(message);
}

// ---- the run's end (on the reading thread) ---------------------------------------------------

// Never waits for SamplerLock: Stop holds it while it waits for this thread.
void TKorvoSampler::OnRunTerminate(platform::TThread* sender) {
  // The line goes back first, so that whoever sees the end state finds the port free.
  try {
    if (FPort) FPort->ApplySettings(DefaultLineSettings());
  } catch (...) {
    // A vanished device: the run's own end is still recorded below.
    platform::TraceDropped("restoring the command line at a run's end");
  }
  try {
    std::string text;
    CheckRunFailure(static_cast<transport::TReadingThread*>(sender), text);
    SetLastErrorText(text);
  } catch (...) {
    // Out of memory for the text: the state below still tells the run is over.
    platform::TraceDropped("recording a run's failure text");
  }
  WORD state = FState.load();
  while (!IsFailedState(state) && !FState.compare_exchange_weak(state, SST_READY)) {
  }
  FRunEnded = true;
}

// Reads the run's end from the thread's own record of it.
bool TKorvoSampler::CheckRunFailure(const transport::TReadingThread* thread, std::string& text) {
  bool failed = IsFailedState(FState);
  text = LastError();
  if (thread && thread->HardwareStopped()) {
    FState = SST_HARDWARE_STOPPED;
    text = thread->Message();
    failed = true;
  }
  if (thread && thread->HasFailure()) {
    FState = SST_RUN_FAILED;
    // The system's own texts of what failed, then the loss in the catalogue's words.
    std::string message = thread->HasFatalException() ? thread->FatalMessage() : std::string();
    if (const DWORD lost = thread->Undelivered(); lost > 0) {
      if (!message.empty()) message += "\r\n";
      message += FormatMsg(Msg::Undelivered, static_cast<LONG>(std::min<DWORD>(lost, 0x7FFFFFFF)));
    }
    // Each status query looks again: the message is told once.
    if (!EndsWith(text, message)) {
      if (!text.empty()) text += "\r\n";
      text += message;
    }
    failed = true;
  }
  return failed;
}

std::string TKorvoSampler::DescribeRun(WORD observed, WORD& code) {
  if (SamplingNow(observed)) {
    const DWORD total = FThread->Total();
    code = total > 0 ? SST_SAMPLING : SST_WAITING;
    MoveState(observed, code);
    return total > 0 ? FormatMsg(Msg::StSampling, static_cast<LONG>(total)) : LoadStr(Msg::StWaiting);
  }
  std::string text;
  if (CheckRunFailure(FThread.get(), text)) {
    code = FState.load();
    return FormatMsg(Msg::StSamplingFailed, text);
  }
  code = SST_COMPLETED;
  MoveState(observed, SST_COMPLETED);
  return LoadStr(Msg::StCompleted);
}

HRESULT TKorvoSampler::IsSampling(VARIANT_BOOL* sampling) {
  if (AnyNull(sampling)) return E_POINTER;
  *sampling = VARIANT_FALSE;
  return SafeCall([&] {
    std::lock_guard<std::mutex> lock(FQueryLock);
    *sampling = SamplingNow(FState.load()) ? VARIANT_TRUE : VARIANT_FALSE;
  });
}

// ---- stop ------------------------------------------------------------------------------------------

HRESULT TKorvoSampler::Stop() {
  return SafeCall([&] { StopSampling(); });
}

void TKorvoSampler::StopSampling() {
  platform::TCriticalSectionLock lock(SamplerLock());
  if (IsReadyOrBeyond(FState) || RunWorking()) StopRun();
}

void TKorvoSampler::AbortRun() {
  platform::TCriticalSectionLock lock(SamplerLock());
  if (FThread) {
    FThread->Terminate();
    FThread->Resume();  // never ran: it ends at once after returning the line
  }
  StopRun();
  Replace(FThread, {});
}

void TKorvoSampler::StopRun() {
  const WORD remembered = FState.exchange(SST_STOPPING);
  bool lostData = false;
  if (FThread) {
    FThread->Terminate();
    if (FThread->Suspended()) FThread->Resume();
    FThread->WaitFor();  // its end-of-run handler has run
    lostData = FThread->Undelivered() > 0;
    Replace(FThread, {});
    Sleep(kStopSettle);
  }
  // The final state is set also when returning the line fails (a vanished device).
  // A run that ended with the device's own message while stopping is over, its
  // text kept for Reset; one that lost received data stays failed, so the loss is seen.
  const WORD settled = IsFailedState(remembered) ? remembered : lostData ? SST_RUN_FAILED : SST_READY;
  try {
    if (PortOpen() && IsCommandOrRun(remembered)) ResetLine(true);
  } catch (...) {
    FState = settled;
    throw;
  }
  FState = settled;
}

}  // namespace sampler
