// Test support for the channels and enumerators: the companion classes' factories,
// a fake sampler implementing the owner interface, and small COM helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "enumerators/SamplerOwner.h"
#include "interfaces/QUELM_TLB.h"
#include "interfaces/QUELM_TypeDesc.h"
#include "platform/ComObj.h"
#include "platform/OleAuto.h"
#include "protocol/SAdapters.h"

namespace enumtest {

// The factories of the seven companion classes, checked against the interface description.
class TCompanionClasses {
 public:
  TCompanionClasses() {
    const platform::TTypeLibDesc& own = quelm::ClassTypeLib();
    const platform::TTypeLibDesc& lib = quelm::InterfaceTypeLib();
    for (const auto& c : own.CoClasses)
      if (c.Name != "KorvoSampler")
        factories_.push_back(std::make_unique<platform::TAutoObjectFactory>(
            server_, own, c, lib, *lib.FindInterface(c.DefaultInterface), &enumerators::RefuseDirectCreation));
  }
  platform::TAutoObjectFactory& Factory(const std::string& coclass) {
    for (auto& f : factories_)
      if (f->ClassName() == coclass) return *f;
    throw std::logic_error("no factory " + coclass);
  }
  platform::TComServer& Server() { return server_; }

 private:
  platform::TComServer server_;
  std::vector<std::unique_ptr<platform::TAutoObjectFactory>> factories_;
};

// Stands in for the sampler's own IDispatch; counts references, never frees itself.
class TFakeDispatch final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IDispatch) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  std::atomic<ULONG> refs{1};
};

// The sampler as the companions see it, with an adapter made from an identification reply.
class TFakeOwner final : public enumerators::TSamplerOwner {
 public:
  LONG CurrentMode() const override { return adapter ? adapter->Mode : 0; }
  LONG CurrentRate() const override { return adapter ? static_cast<LONG>(adapter->Rate) : -1; }
  void CopySettings(protocol::TSamplerSettings& s) const override {
    s = adapter ? adapter->Settings : protocol::TSamplerSettings{};
  }
  bool SamplingInProgress() const override { return sampling; }
  protocol::TSampler* CurrentAdapter() const override { return adapter.get(); }
  IDispatch* DispatchInterface() override {
    dispatch.AddRef();
    return &dispatch;
  }

  void Open(const std::string& reply) { adapter = protocol::TSampler::CreateAdapter(reply); }

  std::unique_ptr<protocol::TSampler> adapter;
  bool sampling = false;
  TFakeDispatch dispatch;
};

// A QUELM banner, byte order 1234 and the capability letters given.
inline std::string Reply(const std::string& capabilities) {
  return "QUELM PIC sampler 1.0\r\nY1:1234\r\nY2:" + capabilities + "\r\nY3:20MHz\r\n";
}

// Holds one reference to an interface and releases it at the end of the scope.
template <class I>
class TRef {
 public:
  TRef() = default;
  explicit TRef(I* p) : p_(p) {}
  TRef(const TRef&) = delete;
  TRef& operator=(const TRef&) = delete;
  ~TRef() { Reset(); }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  I** Out() {
    Reset();
    return &p_;
  }
  I* Get() const { return p_; }
  I* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  I* p_ = nullptr;
};

// The description of the calling thread's error info (taking it), "" when none.
inline std::string TakeErrorText() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return "";
  platform::BStr text;
  info->GetDescription(text.Out());
  info->Release();
  return text.Str();
}

// What an item enumerator hands out, with the host's strings freed.
struct TRecord {
  std::string Name;
  LONG Id, Value, Flags, Group;
};

template <class Enum>
std::vector<TRecord> Drain(Enum* e, ULONG chunk = 3) {
  std::vector<TRecord> out;
  std::vector<SAMPLERCAPABILITYINFO> buf(chunk);
  for (;;) {
    ULONG fetched = 99;
    EXPECT_EQ(e->Next(chunk, buf.data(), &fetched), S_OK);
    for (ULONG i = 0; i < fetched; ++i) {
      out.push_back({platform::StringFromBstr(buf[i].Name), buf[i].Id, buf[i].Value, buf[i].Flags, buf[i].Group});
      SysFreeString(buf[i].Name);
    }
    if (fetched < chunk) return out;
  }
}

inline std::vector<std::string> Names(const std::vector<TRecord>& r) {
  std::vector<std::string> n;
  for (const auto& x : r) n.push_back(x.Name);
  return n;
}

}  // namespace enumtest
