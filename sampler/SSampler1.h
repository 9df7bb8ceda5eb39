// The sampler object TKorvoSampler behind IKorvoSampler: its fields, state
// codes, status texts and teardown.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "interfaces/QUELM_TLB.h"
#include "platform/ComObj.h"
#include "protocol/SAdapters.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"

namespace sampler {

class TKorvoSampler final : public platform::TAutoIntfObject<IKorvoSampler> {
 public:
  explicit TKorvoSampler(platform::TAutoObjectFactory& factory);
  ~TKorvoSampler() override;
  static platform::TAutoObject* Create(platform::TAutoObjectFactory& factory);

  // IKorvoSampler
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override;
  HRESULT STDMETHODCALLTYPE GetConfigurations(IEnumSamplerItems** configurations) override;
  HRESULT STDMETHODCALLTYPE Open(BSTR connection) override;
  HRESULT STDMETHODCALLTYPE GetHardwareId(BSTR* id) override;
  HRESULT STDMETHODCALLTYPE GetModes(IEnumSamplerItems** modes) override;
  HRESULT STDMETHODCALLTYPE GetCapabilities(IEnumSamplerItems** capabilities) override;
  HRESULT STDMETHODCALLTYPE SetMode(LONG mode) override;
  HRESULT STDMETHODCALLTYPE GetMode(LONG* mode) override;
  HRESULT STDMETHODCALLTYPE SetCapabilityBool(LONG id, VARIANT_BOOL value) override;
  HRESULT STDMETHODCALLTYPE GetCapabilityBool(LONG id, VARIANT_BOOL* value) override;
  HRESULT STDMETHODCALLTYPE SetCapabilityLong(LONG id, LONG value) override;
  HRESULT STDMETHODCALLTYPE GetCapabilityLong(LONG id, LONG* value) override;
  HRESULT STDMETHODCALLTYPE SetCapabilityString(LONG id, BSTR value) override;
  HRESULT STDMETHODCALLTYPE GetCapabilityString(LONG id, BSTR* value) override;
  HRESULT STDMETHODCALLTYPE GetChannels(ISamplerChannels** channels) override;
  HRESULT STDMETHODCALLTYPE GetRates(IEnumSamplerItems** rates) override;
  HRESULT STDMETHODCALLTYPE GetRate(LONG* rate) override;
  HRESULT STDMETHODCALLTYPE SetRate(LONG rate) override;
  HRESULT STDMETHODCALLTYPE Start() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE IsSampling(VARIANT_BOOL* sampling) override;
  HRESULT STDMETHODCALLTYPE GetStatus(BSTR* text, LONG* code) override;
  HRESULT STDMETHODCALLTYPE Close() override;
  HRESULT STDMETHODCALLTYPE IsOpen(VARIANT_BOOL* open) override;
  HRESULT STDMETHODCALLTYPE IsCapabilityAvailable(LONG id, VARIANT_BOOL* available) override;
  HRESULT STDMETHODCALLTYPE GetDiagnotors(IEnumDiagnotors** diagnotors) override;
  HRESULT STDMETHODCALLTYPE RunDiagnotor(LONG id, BSTR* report, LONG* result) override;
  HRESULT STDMETHODCALLTYPE Reset(BSTR* lastError) override;
  HRESULT STDMETHODCALLTYPE GetVersion(LONG* version) override;

  // For the sampler's own operations (configuration, run control, diagnostics).
  WORD State() const { return FState; }
  void SetState(WORD state) { FState = state; }
  const std::string& LastError() const { return FLastError; }
  void SetLastErrorText(std::string text) { FLastError = std::move(text); }
  // The status text of the current state; may move a run's state on (see DescribeRun).
  std::string StatusText();

 private:
  // The text of a run's states (769, 1024, 3840, 3841).
  std::string DescribeRun();
  LONG AdapterBaudRate() const;
  // Stops a run and drops adapter and port; what Close and the last Release share.
  void CloseConnection();
  // The result of a method that later work provides.
  HRESULT NotAvailable(const char* method);

  ISamplerChannels* FChannels = nullptr;  // the channel collection; one reference held
  std::unique_ptr<transport::TComPort> FPort;
  std::atomic<WORD> FState{SST_INACTIVE};  // read by host threads while a run's thread ends it
  IEnumSamplerItems* FCapabilities = nullptr;  // created on first use; one reference held
  std::unique_ptr<transport::TReadingThread> FThread;
  std::string FRunSettings;
  std::unique_ptr<protocol::TSampler> FAdapter;
  std::string FLastError;
};

}  // namespace sampler
