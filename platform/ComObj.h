// The automation-object base TAutoObject with its exception boundary, the
// class factory TAutoObjectFactory, and the server's count behind DllCanUnloadNow.
#pragma once

#include <atomic>
#include <exception>
#include <string>
#include <type_traits>

#include "platform/ComBase.h"
#include "platform/SysUtils.h"
#include "platform/TypeInfo.h"
#include "platform/Unknwn.h"

namespace platform {

// The live counted objects and outstanding locks of one in-process server.
class TComServer {
 public:
  void ObjectCreated() { ++objects_; }
  void ObjectDestroyed() { --objects_; }
  void Lock() { ++locks_; }
  void Unlock() { --locks_; }
  LONG ObjectCount() const { return objects_; }
  LONG LockCount() const { return locks_; }
  bool CanUnload() const { return objects_ == 0 && locks_ <= 0; }

 private:
  std::atomic<LONG> objects_{0};
  std::atomic<LONG> locks_{0};
};

// Replaces the calling thread's error info.
void SetThreadErrorInfo(const std::string& description, const std::string& source, REFGUID guid) noexcept;
// The description of the calling thread's error info ("" when none); the info stays set.
std::string ThreadErrorDescription();
// For a method that calls another interface method: a failure raises again with the
// callee's message (from its error info), so the first message reaches the host.
void OleCheck(HRESULT hr);

class TAutoObjectFactory;

// The base of every COM-visible object: a reference count, the class's factory
// (type information, programmatic identifier, server) and the exception boundary.
class TAutoObject {
 public:
  explicit TAutoObject(TAutoObjectFactory& factory);
  TAutoObject(const TAutoObject&) = delete;
  TAutoObject& operator=(const TAutoObject&) = delete;
  virtual ~TAutoObject();

  ULONG ObjAddRef() noexcept;
  ULONG ObjRelease() noexcept;  // destroys the object at zero
  virtual HRESULT ObjQueryInterface(REFIID riid, void** ppv) noexcept = 0;
  TAutoObjectFactory& Factory() const { return factory_; }

  // Makes this object count among the server's live objects until it is destroyed.
  void CountInServer();

  // Runs one interface method's body. An exception leaving it becomes the result
  // (its own negative OLE code, E_OUTOFMEMORY for bad_alloc, else E_UNEXPECTED) plus
  // error info for the calling thread. A body may return an HRESULT of its own.
  template <class F>
  HRESULT SafeCall(F&& body) noexcept {
    try {
      if constexpr (std::is_same_v<decltype(body()), HRESULT>) {
        return body();
      } else {
        body();
        return S_OK;
      }
    } catch (...) {
      return HandleException(std::current_exception());
    }
  }
  HRESULT HandleException(std::exception_ptr error) noexcept;

 private:
  std::atomic<ULONG> refs_{0};
  TAutoObjectFactory& factory_;
  bool counted_ = false;
};

// The COM face of an automation object implementing one dual interface Intf:
// IUnknown, IDispatch served from the class's type information, ISupportErrorInfo.
template <class Intf>
class TAutoIntfObject : public Intf, public ISupportErrorInfo, public TAutoObject {
 public:
  using TAutoObject::TAutoObject;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return ObjQueryInterface(riid, ppv); }
  ULONG STDMETHODCALLTYPE AddRef() override { return ObjAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ObjRelease(); }

  HRESULT ObjQueryInterface(REFIID riid, void** ppv) noexcept override;

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;  // the type information is published as the type library file, not as ITypeInfo
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* excepInfo, UINT* argErr) override;
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

 protected:
  // For the boundary of a method with out-parameters: a null one gives E_POINTER.
  template <class... P>
  static bool AnyNull(P*... out) {
    return ((out == nullptr) || ...);
  }
};

// The class factory of one coclass (threading model "Both").
class TAutoObjectFactory final : public IClassFactory {
 public:
  using TCreator = TAutoObject* (*)(TAutoObjectFactory& factory);

  // Resolves the coclass's default interface in the interface type library and checks it
  // against the compiled description; raises "Incorrect type information for class %s".
  TAutoObjectFactory(TComServer& server, const TTypeLibDesc& ownLibrary, const TCoClassDesc& coclass,
                     const TTypeLibDesc& interfaces, const TInterfaceDesc& compiled, TCreator creator);
  TAutoObjectFactory(const TAutoObjectFactory&) = delete;
  TAutoObjectFactory& operator=(const TAutoObjectFactory&) = delete;
  ~TAutoObjectFactory() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;   // the server owns its factories: counts never destroy them
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

  // Makes an object for the library's own use; counted ones count among the live objects.
  HRESULT CreateObject(bool counted, REFIID riid, void** ppv);

  const std::string& ClassName() const { return className_; }
  const CLSID& ClassId() const { return clsid_; }
  const std::string& ProgId() const { return progId_; }
  const std::string& Description() const { return description_; }
  const TInterfaceDesc& Interface() const { return interface_; }
  const char* ThreadingModel() const { return "Both"; }
  TComServer& Server() const { return server_; }
  // References handed out and not yet released: the class object is in use outside.
  ULONG RefCount() const { return refs_; }

 private:
  TComServer& server_;
  std::string className_, progId_, description_;
  CLSID clsid_;
  TInterfaceDesc interface_;
  TCreator creator_;
  std::atomic<ULONG> refs_{0};
};

// ---- TAutoIntfObject ---------------------------------------------------------------

template <class Intf>
HRESULT TAutoIntfObject<Intf>::ObjQueryInterface(REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == Factory().Interface().Iid) {
    *ppv = static_cast<Intf*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ObjAddRef();
  return S_OK;
}

template <class Intf>
HRESULT TAutoIntfObject<Intf>::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return DispGetIDsOfNames(Factory().Interface(), riid, names, count, ids);
}

template <class Intf>
HRESULT TAutoIntfObject<Intf>::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                      VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  Intf* self = this;
  return DispInvoke(Factory().Interface(), self, id, riid, flags, params, result, excepInfo, argErr);
}

template <class Intf>
HRESULT TAutoIntfObject<Intf>::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == Factory().Interface().Iid ? S_OK : S_FALSE;
}

}  // namespace platform
