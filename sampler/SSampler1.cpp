// The sampler object: lifetime, state and status texts, opening and closing the
// connection, the command exchange, and the configuration methods.
#include "sampler/SSampler1.h"

#include <cassert>

#include "enumerators/SEnumCapbl1.h"
#include "messages/SMessages.h"
#include "platform/Clock.h"
#include "platform/OleAuto.h"
#include "sampler/QUELM1Server.h"
#include "platform/Trace.h"

namespace sampler {

using messages::FormatMsg;
using messages::LoadStr;
using messages::Msg;
using protocol::ESamplerError;
using transport::TPurgeActions;

namespace {

constexpr DWORD kReplyLimit = 512;      // bytes of a reply the sampler looks at
constexpr DWORD kCommandTimeout = 30;   // ms, read and write total time-outs in command state
const TPurgeActions kPurgeAll = {transport::puNoCheck, transport::puTxAbort, transport::puRxAbort,
                                 transport::puTxClear, transport::puRxClear};

platform::TAutoObjectFactory& CompanionFactory(const char* coclass) {
  platform::TAutoObjectFactory* factory = TQuelmServer::Instance().Factory(coclass);
  if (!factory) throw platform::Exception(std::string("The class ") + coclass + " is not available");
  return *factory;
}

// Read and written as BOOL: the pins and the table's switches and choices.
bool IsBoolCapability(LONG id) {
  if (id >= SCAP_ACTUATE_PIN && id < SCAP_ACTUATE_PIN + 8) return true;
  for (const SAMPLERCAPABILITYINFO& entry : enumerators::CapabilityTable()) {
    const LONG kind = entry.Flags & 0xFF;
    if (entry.Id == id) return kind == SIK_SWITCH || kind == SIK_CHOICE;
  }
  return false;
}

}  // namespace

const transport::TComSettings& DefaultLineSettings() {
  static const transport::TComSettings settings = transport::DeviceCommandSettings();
  return settings;
}

// ---- lifetime -------------------------------------------------------------------------

TKorvoSampler::TKorvoSampler(platform::TAutoObjectFactory& factory) : TAutoIntfObject(factory) {
  FChannels = enumerators::CreateSamplerChannels(CompanionFactory("SamplerChannels"),
                                                 CompanionFactory("SamplerChannel"), *this);
}

TKorvoSampler::~TKorvoSampler() {
  try {
    CloseConnection();  // a failure while closing is not reported
  } catch (...) {
    // A destructor has nobody to report to.
    platform::TraceDropped("closing a released sampler");
  }
  // Should closing have failed, the thread is still ended before anything it uses goes.
  Replace(FThread, {});
  if (FCapabilities) {
    FCapabilities->ReleaseOwner();
    FCapabilities->Release();
    FCapabilities = nullptr;
  }
  if (FChannels) {
    FChannels->ReleaseOwner();
    FChannels->Release();
    FChannels = nullptr;
  }
}

platform::TAutoObject* TKorvoSampler::Create(platform::TAutoObjectFactory& factory) {
  return new TKorvoSampler(factory);
}

// ---- what the companions see ------------------------------------------------------------

LONG TKorvoSampler::CurrentMode() const { return FAdapter ? FAdapter->Mode : 0; }

LONG TKorvoSampler::CurrentRate() const { return FAdapter ? static_cast<LONG>(FAdapter->Rate) : -1; }

void TKorvoSampler::CopySettings(protocol::TSamplerSettings& settings) const {
  if (FAdapter) settings = FAdapter->Settings;
}

bool TKorvoSampler::SamplingInProgress() const { return SamplingNow(FState.load()); }

protocol::TSampler* TKorvoSampler::CurrentAdapter() const { return FAdapter.get(); }

IDispatch* TKorvoSampler::DispatchInterface() {
  IKorvoSampler* self = this;
  self->AddRef();
  return self;
}

// ---- last error ---------------------------------------------------------------------------

std::string TKorvoSampler::LastError() const {
  std::lock_guard<std::mutex> lock(FTextLock);
  return FLastError;
}

void TKorvoSampler::SetLastErrorText(std::string text) {
  std::lock_guard<std::mutex> lock(FTextLock);
  FLastError = std::move(text);
}

void TKorvoSampler::AppendLastError(const std::string& text) {
  std::lock_guard<std::mutex> lock(FTextLock);
  if (!FLastError.empty()) FLastError += "\r\n";
  FLastError += text;
}

// ---- state ----------------------------------------------------------------------------------

bool TKorvoSampler::PortOpen() const { return FPort && FPort->IsOpen(); }

void TKorvoSampler::RefreshState() {
  if (!PortOpen()) return;
  if (!FAdapter)
    FState = SST_NO_HARDWARE;
  else if (FAdapter->GetHardwareKind() == protocol::hkUnknown)
    FState = SST_UNKNOWN_HARDWARE;
  else
    FState = FAdapter->GetReadiness();
}

std::string TKorvoSampler::StatusText(WORD& code) {
  const WORD state = FState.load();
  code = state;
  switch (state) {
    case SST_INACTIVE: return LoadStr(Msg::StInactive);
    case SST_HARDWARE_ERROR: return LoadStr(Msg::StHardwareError);
    case SST_NO_HARDWARE: return LoadStr(Msg::StNoHardware);
    case SST_UNKNOWN_HARDWARE: return LoadStr(Msg::StUnknownHardware);
    case SST_OPEN: return FormatMsg(Msg::StOpen, FAdapter ? FAdapter->BaudRate : 0);
    case SST_HARDWARE_DIAGNOSTIC: return LoadStr(Msg::StHardwareDiagnostic);
    case SST_PORT_DIAGNOSTIC: return LoadStr(Msg::StPortDiagnostic);
    case SST_NO_MODE: return LoadStr(Msg::StNoMode);
    case SST_NO_RATE: return LoadStr(Msg::StNoRate);
    case SST_NO_STOP_MODE: return LoadStr(Msg::StNoStopMode);
    case SST_NO_IDLE_TIME: return LoadStr(Msg::StNoIdleTime);
    case SST_NO_SAMPLE_COUNT: return LoadStr(Msg::StNoSampleCount);
    case SST_NO_SAMPLE_TIME: return LoadStr(Msg::StNoSampleTime);
    case SST_READY: return LoadStr(Msg::StReady);
    case SST_SENDING_COMMAND: return LoadStr(Msg::StSendingCommand);
    case SST_STARTING: return LoadStr(Msg::StStarting);
    case SST_WAITING:
    case SST_SAMPLING:
    case SST_RUN_FAILED:
    case SST_HARDWARE_STOPPED: return DescribeRun(state, code);
    case SST_COMPLETED: return LoadStr(Msg::StCompleted);
    case SST_STOPPING: return LoadStr(Msg::StStopping);
    case SST_COMMAND_FAILED: return FormatMsg(Msg::StLastCommandFailed, LastError());
    default: return "!!!";
  }
}

HRESULT TKorvoSampler::GetStatus(BSTR* text, LONG* code) {
  if (AnyNull(text, code)) return E_POINTER;
  *text = nullptr;
  *code = 0;
  return SafeCall([&] {
    WORD state = 0;
    std::lock_guard<std::mutex> lock(FQueryLock);
    platform::BStr status(StatusText(state));  // the code that belongs to the text
    *code = state;
    *text = status.Detach();
  });
}

// ---- the line ---------------------------------------------------------------------------------

void TKorvoSampler::RequirePortFree() const {
  if (!FPort) throw platform::Exception(LoadStr(Msg::PortNotOpen));
  // The reading thread alone uses the port while a run goes on.
  RequireNoRun("talking to the hardware");
}

void TKorvoSampler::RequireNoRun(const char* operation) const {
  if (RunWorking()) throw ESamplerError(FormatMsg(Msg::RunInProgress, operation));
}

void TKorvoSampler::SendCommand(const std::string& command, bool writeCheck, std::string& reply) {
  if (command.empty()) return;
  RequirePortFree();
  assert(FPort);
  FPort->Purge({transport::puNoCheck, transport::puRxClear});
  FPort->SetRTS(true);
  Sleep(10);
  if (FPort->WriteText(command) == 0 && writeCheck) {
    FState = SST_COMMAND_FAILED;
    SetLastErrorText(LoadStr(Msg::WriteAbandoned));
    throw ESamplerError(LoadStr(Msg::WriteAbandoned));
  }
  Sleep(30);
  FPort->SetRTS(false);
  Sleep(30);  // the hardware has about 60 ms to answer
  reply.clear();
  FPort->ReadText(kReplyLimit, reply);
}

void TKorvoSampler::ResetLine(bool withBreak) {
  RequirePortFree();
  FPort->ClearErrors();
  FPort->SetDTR(false);
  if (withBreak) FPort->SendBreak(2);
  FPort->ApplySettings(DefaultLineSettings());
  FPort->SetRTS(true);
  Sleep(10);
  FPort->Purge(kPurgeAll);
  FPort->ClearErrors();
  FPort->SetRTS(false);
}

// ---- connection -------------------------------------------------------------------------------

void TKorvoSampler::OpenConnection(const std::string& connection) {
  CloseConnection();
  FState = SST_HARDWARE_ERROR;
  FPort = std::make_unique<transport::TComPort>(connection, transport::TPortAccess{});
  FPort->ApplySettings(DefaultLineSettings());  // whatever the connection text carried
  FPort->SetTimeout(2, kCommandTimeout);
  FPort->SetTimeout(4, kCommandTimeout);
  FPort->Open({transport::paRead, transport::paWrite});
  FPort->SetDTR(false);
  FPort->SetRTS(true);
  FPort->SendBreak(2);
  Sleep(10);
  FPort->Purge(kPurgeAll);
  std::string reply;
  SendCommand("?\rH\r", false, reply);
  std::unique_ptr<protocol::TSampler> adapter = protocol::TSampler::CreateAdapter(reply);
  if (platform::TraceEnabled()) {
    const std::string line = protocol::TSampler::DecidingLine(reply);
    platform::TraceLine(!adapter ? std::string("Detection: no reply")
                        : line.empty() ? std::string("Detection: no line names a kind; unknown hardware")
                                       : "Detection: adapter kind " + std::to_string(adapter->GetHardwareKind()) +
                                             " chosen by \"" + platform::EscapeBytes(line.data(), line.size()) + "\"");
  }
  if (adapter) adapter->BaudRate = FPort->BaudRate();
  Replace(FAdapter, std::move(adapter));
  RefreshState();
}

// Port and adapter go even when stopping the run failed, so that a vanished device
// cannot keep the sampler from closing; the failure is still reported.
void TKorvoSampler::CloseConnection() {
  std::exception_ptr stopFailure;
  try {
    StopSampling();
  } catch (...) {
    stopFailure = std::current_exception();
  }
  Replace(FThread, {});  // ended by now; a stopped thread has already been released
  FState = SST_INACTIVE;
  Replace(FAdapter, {});
  if (FPort) {
    FPort->Close();
    FPort.reset();
  }
  if (FChannels) FChannels->ClearChannels();
  if (stopFailure) std::rethrow_exception(stopFailure);
}

HRESULT TKorvoSampler::Open(BSTR connection) {
  return SafeCall([&] { OpenConnection(platform::StringFromBstr(connection)); });
}

HRESULT TKorvoSampler::Close() {
  return SafeCall([&] { CloseConnection(); });
}

HRESULT TKorvoSampler::IsOpen(VARIANT_BOOL* open) {
  if (AnyNull(open)) return E_POINTER;
  *open = PortOpen() ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// ---- identity -----------------------------------------------------------------------------------

HRESULT TKorvoSampler::GetDescription(BSTR* description) {
  if (AnyNull(description)) return E_POINTER;
  *description = nullptr;
  return SafeCall([&] { *description = platform::BstrFromString(LoadStr(Msg::Description)); });
}

HRESULT TKorvoSampler::GetHardwareId(BSTR* id) {
  if (AnyNull(id)) return E_POINTER;
  *id = nullptr;
  return SafeCall([&] { *id = platform::BstrFromString(FAdapter ? FAdapter->Identity : std::string()); });
}

HRESULT TKorvoSampler::GetVersion(LONG* version) {
  if (AnyNull(version)) return E_POINTER;
  *version = 1;
  return S_OK;
}

HRESULT TKorvoSampler::GetConfigurations(IEnumSamplerItems** configurations) {
  if (AnyNull(configurations)) return E_POINTER;
  *configurations = nullptr;
  return SafeCall([&] {
    *configurations = enumerators::CreateConnectionEnumerator(CompanionFactory("EnumSamplerConfigurations"));
  });
}

// ---- modes and rates -------------------------------------------------------------------------------

void TKorvoSampler::RequireAdapter(const char* operation) const {
  if (!FAdapter) throw ESamplerError(FormatMsg(Msg::NeedsAdapter, operation));
}

enumerators::TCapabilities* TKorvoSampler::CapabilitiesObject() {
  if (!FCapabilities)
    FCapabilities = enumerators::CreateSamplerCapabilities(CompanionFactory("EnumSamplerCapabilities"), *this);
  return FCapabilities;
}

void TKorvoSampler::RefreshCompanions() {
  CapabilitiesObject()->Refresh();
  FChannels->Refresh();
}

HRESULT TKorvoSampler::GetModes(IEnumSamplerItems** modes) {
  if (AnyNull(modes)) return E_POINTER;
  *modes = nullptr;
  return SafeCall([&] { *modes = enumerators::CreateModeEnumerator(CompanionFactory("EnumModes"), FAdapter.get()); });
}

HRESULT TKorvoSampler::SetMode(LONG mode) {
  return SafeCall([&] {
    RequireAdapter("Selecting a mode");
    RequireNoRun("changing the mode");
    if (mode == FAdapter->Mode) return;
    FAdapter->SetMode(mode);
    RefreshState();  // unknown hardware stays unknown whatever mode it is given
    RefreshCompanions();
  });
}

HRESULT TKorvoSampler::GetMode(LONG* mode) {
  if (AnyNull(mode)) return E_POINTER;
  *mode = CurrentMode();
  return S_OK;
}

HRESULT TKorvoSampler::GetRates(IEnumSamplerItems** rates) {
  if (AnyNull(rates)) return E_POINTER;
  *rates = nullptr;
  return SafeCall([&] { *rates = enumerators::CreateRateEnumerator(CompanionFactory("EnumRates"), FAdapter.get()); });
}

HRESULT TKorvoSampler::GetRate(LONG* rate) {
  if (AnyNull(rate)) return E_POINTER;
  *rate = CurrentRate();
  return S_OK;
}

void TKorvoSampler::ChangeRate(LONG rate) {
  if (!HasHardware(FState) || !FAdapter) throw ESamplerError(LoadStr(Msg::InvalidState));
  RequirePortFree();  // before the adapter takes a rate the hardware could not be told
  // A negative rate reads as a huge one and is refused by the range check.
  FAdapter->SetRate(static_cast<uint32_t>(rate));
  std::string reply;
  SendCommand(FAdapter->GetRateCommand(false), true, reply);
  if (!FAdapter->IsResponseOk(reply)) throw ESamplerError(FormatMsg(Msg::RateRejected, platform::Trim(reply)));
  CapabilitiesObject()->Refresh();
  RefreshState();
}

HRESULT TKorvoSampler::SetRate(LONG rate) {
  return SafeCall([&] { ChangeRate(rate); });
}

// ---- capabilities ----------------------------------------------------------------------------------

HRESULT TKorvoSampler::GetCapabilities(IEnumSamplerItems** capabilities) {
  if (AnyNull(capabilities)) return E_POINTER;
  *capabilities = nullptr;
  return SafeCall([&] { *capabilities = CapabilitiesObject()->OwnInterface(); });
}

bool TKorvoSampler::CapabilityAvailable(LONG id) const {
  if (!FAdapter) return false;
  if (FAdapter->Settings.UseCustomCommand) return id == SCAP_CUSTOM_COMMAND || id == SCAP_COMMAND;
  return FAdapter->IsCapabilityAvailable(id);
}

void TKorvoSampler::SetCapabilitySwitch(LONG id, bool value) {
  enumerators::CheckCapabilityId(id);
  RequireAdapter("Setting a capability");
  RequireNoRun("changing a capability");
  if (FAdapter->GetCapabilityBool(id) == value) return;
  if (!CapabilityAvailable(id)) throw ESamplerError(FormatMsg(Msg::CapabilityNotAvailable, id));
  FAdapter->SetCapabilityBool(id, value);
  RefreshState();
}

HRESULT TKorvoSampler::SetCapabilityBool(LONG id, VARIANT_BOOL value) {
  return SafeCall([&] { SetCapabilitySwitch(id, value != VARIANT_FALSE); });
}

HRESULT TKorvoSampler::GetCapabilityBool(LONG id, VARIANT_BOOL* value) {
  if (AnyNull(value)) return E_POINTER;
  return SafeCall([&] {
    if (!FAdapter) return;  // the caller's value stays
    enumerators::CheckCapabilityId(id);
    if (!IsBoolCapability(id)) throw ESamplerError(FormatMsg(Msg::CapabilityAccess, id, "BOOL"));
    *value = FAdapter->GetCapabilityBool(id) ? VARIANT_TRUE : VARIANT_FALSE;
  });
}

HRESULT TKorvoSampler::SetCapabilityLong(LONG id, LONG value) {
  return SafeCall([&] {
    enumerators::CheckCapabilityId(id);
    RequireAdapter("Setting a capability");
    RequireNoRun("changing a capability");
    protocol::TSamplerSettings& s = FAdapter->Settings;
    switch (id) {
      case SCAP_IDLE_PERIOD: s.IdleTime = value; break;
      case SCAP_SAMPLE_COUNT: s.SampleCount = value; break;
      case SCAP_SAMPLING_TIMER: s.SampleTime = value; break;
      default: break;  // a valid id without a number is accepted and ignored
    }
    RefreshState();
  });
}

HRESULT TKorvoSampler::GetCapabilityLong(LONG id, LONG* value) {
  if (AnyNull(value)) return E_POINTER;
  return SafeCall([&] {
    if (!FAdapter) return;  // the caller's value stays
    enumerators::CheckCapabilityId(id);
    const protocol::TSamplerSettings& s = FAdapter->Settings;
    switch (id) {
      case SCAP_IDLE_PERIOD: *value = s.IdleTime; break;
      case SCAP_SAMPLE_COUNT: *value = s.SampleCount; break;
      case SCAP_SAMPLING_TIMER: *value = s.SampleTime; break;
      default: throw ESamplerError(FormatMsg(Msg::CapabilityAccess, id, "LONG"));
    }
  });
}

HRESULT TKorvoSampler::SetCapabilityString(LONG id, BSTR value) {
  return SafeCall([&] {
    enumerators::CheckCapabilityId(id);
    RequireNoRun("changing a capability");
    if (FAdapter) FAdapter->SetCapabilityText(id, platform::StringFromBstr(value));
    RefreshState();
  });
}

HRESULT TKorvoSampler::GetCapabilityString(LONG id, BSTR* value) {
  if (AnyNull(value)) return E_POINTER;
  *value = nullptr;
  return SafeCall([&] {
    std::string text;
    if (FAdapter) {
      enumerators::CheckCapabilityId(id);
      text = FAdapter->GetCapabilityText(id);
    }
    *value = platform::BstrFromString(text);
  });
}

HRESULT TKorvoSampler::IsCapabilityAvailable(LONG id, VARIANT_BOOL* available) {
  if (AnyNull(available)) return E_POINTER;
  *available = VARIANT_FALSE;
  return SafeCall([&] { *available = CapabilityAvailable(id) ? VARIANT_TRUE : VARIANT_FALSE; });
}

HRESULT TKorvoSampler::GetChannels(ISamplerChannels** channels) {
  if (AnyNull(channels)) return E_POINTER;
  *channels = nullptr;
  return SafeCall([&] { *channels = FChannels->OwnInterface(); });
}

// ---- recovery ----------------------------------------------------------------------------------------

std::string TKorvoSampler::ResetSampler() {
  // A run that has failed is already ending: its end handler records why.
  if (FThread && !FThread->Suspended() && (FThread->HasFailure() || FThread->HardwareStopped()))
    FThread->WaitFor();
  std::string last;
  {
    std::lock_guard<std::mutex> lock(FTextLock);
    last.swap(FLastError);
  }
  // A vanished device makes the line steps fail: the text taken above still goes
  // to the host and the failure state is still cleared; what failed now is
  // handed to the host by the next Reset.
  const auto keepGoing = [&](const auto& step) {
    try {
      step();
    } catch (...) {
      AppendLastError(platform::ExceptionMessage(std::current_exception()));
    }
  };
  if (IsCommandOrRun(FState) || RunWorking())
    keepGoing([&] { StopSampling(); });
  else if (FPort)
    keepGoing([&] { ResetLine(false); });
  if (FPort) keepGoing([&] { FPort->ApplySettings(DefaultLineSettings()); });
  if (IsFailedState(FState)) RefreshState();
  return last;
}

HRESULT TKorvoSampler::Reset(BSTR* lastError) {
  if (AnyNull(lastError)) return E_POINTER;
  *lastError = nullptr;
  return SafeCall([&] {
    platform::BStr text(ResetSampler());
    *lastError = text.Detach();
  });
}

}  // namespace sampler
