// The per-thread error info of OLE Automation: one error-info object that the
// runtime, the library and its hosts share, because it lives in this one runtime.
#include <atomic>
#include <new>
#include <string>

#include "platform/Unknwn.h"

#define QUELM_EXPORT __attribute__((visibility("default")))

namespace {

// An error-info object that is filled through ICreateErrorInfo and read through IErrorInfo.
class TErrorInfo final : public IErrorInfo, public ICreateErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (!pGUID) return E_POINTER;
    *pGUID = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return Copy(source_, out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return Copy(description_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return Copy(helpFile_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* out) override {
    if (!out) return E_POINTER;
    *out = helpContext_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override {
    guid_ = rguid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override { return Assign(source_, text); }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override { return Assign(description_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override { return Assign(helpFile_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
    helpContext_ = context;
    return S_OK;
  }

 private:
  static HRESULT Copy(const platform::OleString& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT Assign(platform::OleString& field, LPOLESTR text) {
    try {
      field = text ? platform::OleString(text) : platform::OleString();
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  std::atomic<ULONG> refs_{1};
  GUID guid_ = GUID_NULL;
  platform::OleString source_, description_, helpFile_;
  DWORD helpContext_ = 0;
};

// Holds the calling thread's error info; releases it when the thread ends.
struct ThreadErrorInfo {
  IErrorInfo* info = nullptr;
  ~ThreadErrorInfo() {
    if (info) info->Release();
  }
};
thread_local ThreadErrorInfo tErrorInfo;

}  // namespace

extern "C" {

QUELM_EXPORT HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_POINTER;
  *pperrinfo = nullptr;
  auto* info = new (std::nothrow) TErrorInfo();
  if (!info) return E_OUTOFMEMORY;
  *pperrinfo = info;
  return S_OK;
}

// Replaces the thread's error info (null clears it); the thread takes its own reference.
QUELM_EXPORT HRESULT SetErrorInfo(ULONG /*dwReserved*/, IErrorInfo* perrinfo) {
  if (perrinfo) perrinfo->AddRef();
  IErrorInfo* old = tErrorInfo.info;
  tErrorInfo.info = perrinfo;
  if (old) old->Release();
  return S_OK;
}

// Hands the thread's error info to the caller and clears it; S_FALSE when there is none.
QUELM_EXPORT HRESULT GetErrorInfo(ULONG /*dwReserved*/, IErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_POINTER;
  *pperrinfo = tErrorInfo.info;
  tErrorInfo.info = nullptr;
  return *pperrinfo ? S_OK : S_FALSE;
}

}  // extern "C"
