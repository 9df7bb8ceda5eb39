// The automation-object base, its exception boundary and the class factory.
#include "platform/ComObj.h"
#include "platform/Trace.h"

#include <cassert>
#include <new>

namespace platform {

void SetThreadErrorInfo(const std::string& description, const std::string& source, REFGUID guid) noexcept {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create)) || !create) return;
  try {
    OleString d = OleFromString(description);
    OleString s = OleFromString(source);
    create->SetGUID(guid);
    create->SetDescription(d.data());
    create->SetSource(s.data());
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
  } catch (const std::bad_alloc&) {
    // No room even for the message: the failure result alone reaches the caller.
  }
  create->Release();
}

std::string ThreadErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return std::string();
  BStr text;
  info->GetDescription(text.Out());
  SetErrorInfo(0, info);
  info->Release();
  return text.Str();
}

void OleCheck(HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  std::string text = ThreadErrorDescription();
  if (text.empty()) text = Format("OLE error %X", static_cast<unsigned>(hr));
  throw EOleError(hr, text);
}

// ---- TAutoObject -------------------------------------------------------------------

TAutoObject::TAutoObject(TAutoObjectFactory& factory) : factory_(factory) {}

TAutoObject::~TAutoObject() {
  if (counted_) factory_.Server().ObjectDestroyed();
}

void TAutoObject::CountInServer() {
  assert(!counted_);
  counted_ = true;
  factory_.Server().ObjectCreated();
}

ULONG TAutoObject::ObjAddRef() noexcept { return ++refs_; }

ULONG TAutoObject::ObjRelease() noexcept {
  assert(refs_ > 0);
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT TAutoObject::HandleException(std::exception_ptr error) noexcept {
  HRESULT hr = E_UNEXPECTED;
  std::string message;
  try {
    try {
      std::rethrow_exception(error);
    } catch (const Exception& e) {
      if (e.ErrorCode() < 0) hr = e.ErrorCode();
      message = e.Message();
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
      message = "Out of memory";
    } catch (const std::exception& e) {
      message = e.what();
    } catch (...) {
      message = "Unexpected failure";
    }
  } catch (...) {
    // Copying the message itself failed: report the result without a text.
    TraceDropped("turning an exception into error info");
  }
  SetThreadErrorInfo(message, factory_.ProgId(), factory_.Interface().Iid);
  return hr;
}

// ---- TAutoObjectFactory ------------------------------------------------------------

TAutoObjectFactory::TAutoObjectFactory(TComServer& server, const TTypeLibDesc& ownLibrary,
                                       const TCoClassDesc& coclass, const TTypeLibDesc& interfaces,
                                       const TInterfaceDesc& compiled, TCreator creator)
    : server_(server),
      className_(coclass.Name),
      progId_(ownLibrary.Name + "." + coclass.Name),
      description_(coclass.HelpString.empty() ? coclass.Name : coclass.HelpString),
      clsid_(coclass.Clsid),
      creator_(creator) {
  const std::string incorrect = Format("Incorrect type information for class %s", coclass.Name);
  const TInterfaceDesc* found =
      coclass.DefaultInterface.empty() ? nullptr : interfaces.FindInterface(coclass.DefaultInterface);
  if (!found || !SameText(compiled.Name, coclass.DefaultInterface)) throw EOleError(TYPE_E_ELEMENTNOTFOUND, incorrect);
  std::string why;
  if (!SameInterface(*found, compiled, why)) throw EOleError(TYPE_E_ELEMENTNOTFOUND, incorrect + ": " + why);
  interface_ = compiled;  // carries the calls; agrees with the library's file in every other respect
}

HRESULT TAutoObjectFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG TAutoObjectFactory::AddRef() { return ++refs_; }

ULONG TAutoObjectFactory::Release() {
  ULONG n = refs_;
  while (n > 0 && !refs_.compare_exchange_weak(n, n - 1)) {
  }
  return n > 0 ? n - 1 : 0;
}

HRESULT TAutoObjectFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  return CreateObject(true, riid, ppvObject);
}

HRESULT TAutoObjectFactory::LockServer(BOOL fLock) {
  if (fLock) server_.Lock();
  else server_.Unlock();
  return S_OK;
}

HRESULT TAutoObjectFactory::CreateObject(bool counted, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  TAutoObject* obj = nullptr;
  try {
    obj = creator_(*this);
    if (counted) obj->CountInServer();
  } catch (const Exception& e) {
    delete obj;
    SetThreadErrorInfo(e.Message(), progId_, interface_.Iid);
    return e.ErrorCode() < 0 ? e.ErrorCode() : E_UNEXPECTED;
  } catch (const std::bad_alloc&) {
    delete obj;
    return E_OUTOFMEMORY;
  } catch (...) {
    delete obj;
    return E_UNEXPECTED;
  }
  // Hold one reference across the query so a refused interface destroys the object.
  obj->ObjAddRef();
  HRESULT hr = obj->ObjQueryInterface(riid, ppv);
  obj->ObjRelease();
  return hr;
}

}  // namespace platform
