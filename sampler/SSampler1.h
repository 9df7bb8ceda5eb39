// The sampler object TKorvoSampler behind IKorvoSampler: port, adapter, channels,
// capabilities and the reading thread of a run, with its state code and texts.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "enumerators/SamplerOwner.h"
#include "interfaces/QUELM_TLB.h"
#include "platform/ComObj.h"
#include "protocol/SAdapters.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"

namespace sampler {

// The command-state line settings the sampler returns the port to: 115200 baud,
// 8N1, binary, CTS output flow, line errors raised, DTR and RTS under program control.
const transport::TComSettings& DefaultLineSettings();

// The groups of state codes the sampler's decisions test.
constexpr bool HasHardware(WORD state) { return state >= SST_OPEN; }
constexpr bool IsReadyOrBeyond(WORD state) { return state >= SST_READY; }
// A run is being started, runs, stops, or has failed.
constexpr bool IsCommandOrRun(WORD state) { return state >= SST_SENDING_COMMAND; }
// A run's thread was let loose and no stop has begun: its record tells the rest.
constexpr bool IsRunState(WORD state) { return state >= SST_WAITING && state < SST_STOPPING; }
// A failure that stays until Reset: the run failed, the hardware stopped it, or the start command failed.
constexpr bool IsFailedState(WORD state) { return state >= SST_RUN_FAILED; }

class TKorvoSampler final : public platform::TAutoIntfObject<IKorvoSampler>, public enumerators::TSamplerOwner {
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

  // enumerators::TSamplerOwner
  LONG CurrentMode() const override;
  LONG CurrentRate() const override;
  void CopySettings(protocol::TSamplerSettings& settings) const override;
  bool SamplingInProgress() const override;
  protocol::TSampler* CurrentAdapter() const override;
  IDispatch* DispatchInterface() override;

  // The state code and the last error text, for the sampler's own parts and its tests.
  WORD State() const { return FState.load(); }
  void SetState(WORD state) { FState = state; }
  std::string LastError() const;
  void SetLastErrorText(std::string text);

 private:
  // ---- configuration (SSampler1.cpp) ----
  void OpenConnection(const std::string& connection);
  void CloseConnection();
  void SendCommand(const std::string& command, bool writeCheck, std::string& reply);
  void ResetLine(bool withBreak);
  void RefreshState();
  enumerators::TCapabilities* CapabilitiesObject();
  void RefreshCompanions();
  void RequireAdapter(const char* operation) const;
  void RequirePortFree() const;
  // Refuses a configuration change while a run's thread works: the run keeps what it started with.
  void RequireNoRun(const char* operation) const;
  bool PortOpen() const;
  void SetCapabilitySwitch(LONG id, bool value);
  bool CapabilityAvailable(LONG id) const;
  void ChangeRate(LONG rate);
  std::string ResetSampler();
  std::string StatusText(WORD& code);

  // ---- run control (SRun1.cpp) ----
  void StartRun();
  void StopSampling();
  void PrepareRun();
  std::unique_ptr<transport::TReadingThread> CreateSamplingThread();
  std::unique_ptr<transport::TReadingThread> CreateMeasuringThread();
  void SendStartCommand();
  void OnPortError(transport::TComPort* sender, transport::TCommErrors errors, std::string& text, bool& abort);
  void OnRunTerminate(platform::TThread* sender);
  bool CheckRunFailure(const transport::TReadingThread* thread, std::string& text);
  std::string DescribeRun(WORD observed, WORD& code);
  void AbortRun();
  void StopRun();
  bool RunWorking() const;
  bool SamplingNow(WORD state) const;
  // Moves the state from `from` to `to` unless the reading thread moved it meanwhile.
  bool MoveState(WORD from, WORD to);

  // ---- diagnostics (SDiagnostics1.cpp) ----
  LONG RunDiagnotorById(LONG id, std::string& report);
  LONG RunReceiverTest(std::string& report);

  // Puts `value` in `slot` under FQueryLock; the old object is freed after the lock is left.
  template <class T>
  void Replace(std::unique_ptr<T>& slot, std::unique_ptr<T> value) {
    {
      std::lock_guard<std::mutex> lock(FQueryLock);
      slot.swap(value);
    }
  }

  // FLastError is written by host calls and by the reading thread at the end of a run.
  void AppendLastError(const std::string& text);

  enumerators::TChannels* FChannels = nullptr;  // the channel collection; one reference held
  std::unique_ptr<transport::TComPort> FPort;
  std::atomic<WORD> FState{SST_INACTIVE};  // also moved by the reading thread at a run's end
  enumerators::TCapabilities* FCapabilities = nullptr;  // created on first use; one reference held
  // Written only by host calls (through Replace), and only while no started thread can still call back.
  std::unique_ptr<transport::TReadingThread> FThread;
  // GetStatus and IsSampling may come from any thread at any time: they hold this
  // lock while they read FThread and FAdapter, which are only replaced under it.
  mutable std::mutex FQueryLock;
  std::atomic<bool> FRunEnded{true};  // the current thread's end-of-run handler has finished
  std::string FRunSettings;
  std::unique_ptr<protocol::TSampler> FAdapter;
  std::string FLastError;  // guarded by FTextLock
  mutable std::mutex FTextLock;
};

}  // namespace sampler
