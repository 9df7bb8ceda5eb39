// The sampler object: state, status texts, description, version and teardown.
// The configuration, run and diagnostic methods arrive with their own work.
#include "sampler/SSampler1.h"

#include "messages/SMessages.h"

namespace sampler {

using messages::FormatMsg;
using messages::LoadStr;
using messages::Msg;

TKorvoSampler::TKorvoSampler(platform::TAutoObjectFactory& factory) : TAutoIntfObject(factory) {
  // The channel collection is created here, with the sampler as owner, once the
  // channel classes exist; until then FChannels stays empty.
}

TKorvoSampler::~TKorvoSampler() {
  try {
    CloseConnection();  // a failure while closing is not reported
  } catch (...) {
  }
  if (FCapabilities) {
    FCapabilities->Release();
    FCapabilities = nullptr;
  }
  if (FChannels) {
    FChannels->Release();
    FChannels = nullptr;
  }
}

platform::TAutoObject* TKorvoSampler::Create(platform::TAutoObjectFactory& factory) {
  return new TKorvoSampler(factory);
}

void TKorvoSampler::CloseConnection() {
  FThread.reset();  // a thread that has not ended is terminated and waited for
  FAdapter.reset();
  FPort.reset();
  FState = SST_INACTIVE;
}

HRESULT TKorvoSampler::NotAvailable(const char* method) {
  return SafeCall([method] { throw platform::EOleError(E_NOTIMPL, std::string(method) + " is not available yet"); });
}

LONG TKorvoSampler::AdapterBaudRate() const { return FAdapter ? FAdapter->BaudRate : 0; }

std::string TKorvoSampler::DescribeRun() {
  // Run control fills this in from the reading thread's progress and outcome.
  switch (FState) {
    case SST_WAITING: return LoadStr(Msg::StWaiting);
    case SST_SAMPLING: return FormatMsg(Msg::StSampling, 0);
    default: return FormatMsg(Msg::StSamplingFailed, FLastError);
  }
}

std::string TKorvoSampler::StatusText() {
  switch (FState) {
    case SST_INACTIVE: return LoadStr(Msg::StInactive);
    case SST_HARDWARE_ERROR: return LoadStr(Msg::StHardwareError);
    case SST_NO_HARDWARE: return LoadStr(Msg::StNoHardware);
    case SST_UNKNOWN_HARDWARE: return LoadStr(Msg::StUnknownHardware);
    case SST_OPEN: return FormatMsg(Msg::StOpen, AdapterBaudRate());
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
    case SST_HARDWARE_STOPPED: return DescribeRun();
    case SST_COMPLETED: return LoadStr(Msg::StCompleted);
    case SST_STOPPING: return LoadStr(Msg::StStopping);
    case SST_COMMAND_FAILED: return FormatMsg(Msg::StLastCommandFailed, FLastError);
    default: return "!!!";
  }
}

HRESULT TKorvoSampler::GetStatus(BSTR* text, LONG* code) {
  if (AnyNull(text, code)) return E_POINTER;
  *text = nullptr;
  *code = 0;
  return SafeCall([&] {
    platform::BStr status(StatusText());
    *code = FState;  // read after the text: describing a run may move the state on
    *text = status.Detach();
  });
}

HRESULT TKorvoSampler::GetDescription(BSTR* description) {
  if (AnyNull(description)) return E_POINTER;
  *description = nullptr;
  return SafeCall([&] { *description = platform::BstrFromString(LoadStr(Msg::Description)); });
}

HRESULT TKorvoSampler::GetVersion(LONG* version) {
  if (AnyNull(version)) return E_POINTER;
  *version = 1;
  return S_OK;
}

// ---- provided by the configuration, run-control and diagnostics work ----------------

HRESULT TKorvoSampler::GetConfigurations(IEnumSamplerItems** configurations) {
  if (AnyNull(configurations)) return E_POINTER;
  *configurations = nullptr;
  return NotAvailable("GetConfigurations");
}
HRESULT TKorvoSampler::Open(BSTR) { return NotAvailable("Open"); }
HRESULT TKorvoSampler::GetHardwareId(BSTR* id) {
  if (AnyNull(id)) return E_POINTER;
  *id = nullptr;
  return NotAvailable("GetHardwareId");
}
HRESULT TKorvoSampler::GetModes(IEnumSamplerItems** modes) {
  if (AnyNull(modes)) return E_POINTER;
  *modes = nullptr;
  return NotAvailable("GetModes");
}
HRESULT TKorvoSampler::GetCapabilities(IEnumSamplerItems** capabilities) {
  if (AnyNull(capabilities)) return E_POINTER;
  *capabilities = nullptr;
  return NotAvailable("GetCapabilities");
}
HRESULT TKorvoSampler::SetMode(LONG) { return NotAvailable("SetMode"); }
HRESULT TKorvoSampler::GetMode(LONG* mode) {
  if (AnyNull(mode)) return E_POINTER;
  *mode = 0;
  return NotAvailable("GetMode");
}
HRESULT TKorvoSampler::SetCapabilityBool(LONG, VARIANT_BOOL) { return NotAvailable("SetCapabilityBool"); }
HRESULT TKorvoSampler::GetCapabilityBool(LONG, VARIANT_BOOL* value) {
  if (AnyNull(value)) return E_POINTER;
  *value = VARIANT_FALSE;
  return NotAvailable("GetCapabilityBool");
}
HRESULT TKorvoSampler::SetCapabilityLong(LONG, LONG) { return NotAvailable("SetCapabilityLong"); }
HRESULT TKorvoSampler::GetCapabilityLong(LONG, LONG* value) {
  if (AnyNull(value)) return E_POINTER;
  *value = 0;
  return NotAvailable("GetCapabilityLong");
}
HRESULT TKorvoSampler::SetCapabilityString(LONG, BSTR) { return NotAvailable("SetCapabilityString"); }
HRESULT TKorvoSampler::GetCapabilityString(LONG, BSTR* value) {
  if (AnyNull(value)) return E_POINTER;
  *value = nullptr;
  return NotAvailable("GetCapabilityString");
}
HRESULT TKorvoSampler::GetChannels(ISamplerChannels** channels) {
  if (AnyNull(channels)) return E_POINTER;
  *channels = nullptr;
  return NotAvailable("GetChannels");
}
HRESULT TKorvoSampler::GetRates(IEnumSamplerItems** rates) {
  if (AnyNull(rates)) return E_POINTER;
  *rates = nullptr;
  return NotAvailable("GetRates");
}
HRESULT TKorvoSampler::GetRate(LONG* rate) {
  if (AnyNull(rate)) return E_POINTER;
  *rate = -1;
  return NotAvailable("GetRate");
}
HRESULT TKorvoSampler::SetRate(LONG) { return NotAvailable("SetRate"); }
HRESULT TKorvoSampler::Start() { return NotAvailable("Start"); }
HRESULT TKorvoSampler::Stop() { return NotAvailable("Stop"); }
HRESULT TKorvoSampler::IsSampling(VARIANT_BOOL* sampling) {
  if (AnyNull(sampling)) return E_POINTER;
  *sampling = VARIANT_FALSE;
  return NotAvailable("IsSampling");
}
HRESULT TKorvoSampler::Close() { return NotAvailable("Close"); }
HRESULT TKorvoSampler::IsOpen(VARIANT_BOOL* open) {
  if (AnyNull(open)) return E_POINTER;
  *open = VARIANT_FALSE;
  return NotAvailable("IsOpen");
}
HRESULT TKorvoSampler::IsCapabilityAvailable(LONG, VARIANT_BOOL* available) {
  if (AnyNull(available)) return E_POINTER;
  *available = VARIANT_FALSE;
  return NotAvailable("IsCapabilityAvailable");
}
HRESULT TKorvoSampler::GetDiagnotors(IEnumDiagnotors** diagnotors) {
  if (AnyNull(diagnotors)) return E_POINTER;
  *diagnotors = nullptr;
  return NotAvailable("GetDiagnotors");
}
HRESULT TKorvoSampler::RunDiagnotor(LONG, BSTR* report, LONG* result) {
  if (AnyNull(report, result)) return E_POINTER;
  *report = nullptr;
  *result = 0;
  return NotAvailable("RunDiagnotor");
}
HRESULT TKorvoSampler::Reset(BSTR* lastError) {
  if (AnyNull(lastError)) return E_POINTER;
  *lastError = nullptr;
  return NotAvailable("Reset");
}

}  // namespace sampler
