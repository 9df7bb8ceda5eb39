// Fuzz target: IDispatch argument handling. VARIANTs of any type, value and
// BSTR content, plain or by reference (into shared places, so they may alias),
// go through VariantChangeType to every type and through DispInvoke to a small
// interface described the way the library describes its own. Everything made
// here is freed here, and every interface reference taken is given back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ComBase.h"
#include "platform/OleAuto.h"
#include "platform/TypeInfo.h"
#include "platform/Unknwn.h"

namespace {

using namespace platform;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

class TReader {
 public:
  TReader(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  uint8_t Byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  uint16_t Word16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Word32() { return Word16() | static_cast<uint32_t>(Word16()) << 16; }

 private:
  const uint8_t* p_;
  size_t n_;
};

// An object that counts its references; without dispatch it refuses IDispatch.
class TCounted final : public IDispatch {
 public:
  explicit TCounted(bool dispatch) : dispatch_(dispatch) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(riid == IID_IUnknown) && !(dispatch_ && riid == IID_IDispatch)) return E_NOINTERFACE;
    *ppv = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    Require(refs > 0);  // more releases than references
    return static_cast<ULONG>(--refs);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  long refs = 0;

 private:
  bool dispatch_;
};

// The interface called through DispInvoke: each plain parameter type in and out,
// an interface result and a failing method.
struct ITarget : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Take(LONG a, ULONG b, VARIANT_BOOL c, BSTR d) = 0;
  virtual HRESULT STDMETHODCALLTYPE Echo(BSTR text, BSTR* copy) = 0;
  virtual HRESULT STDMETHODCALLTYPE Pair(LONG value, LONG* twice, BSTR* text) = 0;
  virtual HRESULT STDMETHODCALLTYPE Child(IDispatch** child) = 0;
  virtual HRESULT STDMETHODCALLTYPE State(VARIANT_BOOL* on, ULONG* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Fail(LONG code) = 0;
};

class TTarget final : public ITarget {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Take(LONG a, ULONG b, VARIANT_BOOL c, BSTR d) override {
    sum = static_cast<LONG>(static_cast<ULONG>(a) + b + static_cast<ULONG>(c) + SysStringLen(d));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Echo(BSTR text, BSTR* copy) override {
    *copy = SysAllocStringLen(text, SysStringLen(text));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Pair(LONG value, LONG* twice, BSTR* text) override {
    *twice = static_cast<LONG>(static_cast<ULONG>(value) * 2u);
    *text = BstrFromString(std::to_string(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Child(IDispatch** out) override {
    child.AddRef();
    *out = &child;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE State(VARIANT_BOOL* on, ULONG* count) override {
    *on = sum ? VARIANT_TRUE : VARIANT_FALSE;
    *count = static_cast<ULONG>(sum);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Fail(LONG code) override {
    if (code & 1) {
      ICreateErrorInfo* create = nullptr;
      if (CreateErrorInfo(&create) == S_OK) {
        platform::OleString text = OLESTR("failed ") + OleFromString(std::to_string(code));
        create->SetDescription(text.data());
        IErrorInfo* info = nullptr;
        if (create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)) == S_OK) {
          SetErrorInfo(0, info);
          info->Release();
        }
        create->Release();
      }
    }
    return code & 2 ? E_FAIL : S_OK;
  }
  TCounted child{true};
  LONG sum = 0;
};

const TInterfaceDesc& Description() {
  using I = ITarget;
  static const TInterfaceDesc desc = MakeInterface(
      "ITarget", IID{0x5A17F00D, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}},
      {
          Method<&I::Take>("Take", {"a", "b", "c", "d"}),
          Method<&I::Echo>("Echo", {"text", "copy"}),
          Method<&I::Pair>("Pair", {"value", "twice", "text"}),
          Method<&I::Child>("Child", {"child"}),
          Method<&I::State>("State", {"on", "count"}),
          Method<&I::Fail>("Fail", {"code"}),
      });
  return desc;
}

// The places by-reference arguments point into, two of each kind.
struct TPlaces {
  LONG l[2]{};
  ULONG ul[2]{};
  std::int16_t i[2]{};
  VARIANT_BOOL b[2]{};
  BSTR s[2]{};
  IUnknown* unk[2]{};
  IDispatch* disp[2]{};
  VARIANT var[2]{};
};

struct TWorld {
  TCounted dispatch{true};
  TCounted unknown{false};
  TPlaces places;
};

const VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2,      VT_I4,      VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL,
                          VT_VARIANT, VT_UNKNOWN, VT_UI1, VT_UI2, VT_UI4,  VT_INT,      VT_UINT,  VT_RECORD};

BSTR MakeBstr(TReader& r) {
  const uint8_t head = r.Byte();
  if (head == 0xFF) return nullptr;
  const bool wide = head & 0x80;
  platform::OleString text(head & 0x1F, OLECHAR{});
  for (OLECHAR& c : text) c = wide ? r.Word16() : r.Byte();
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

IUnknown* MakeObject(TReader& r, TWorld& w, bool asDispatch) {
  switch (r.Byte() % 3) {
    case 0: return nullptr;
    case 1: w.dispatch.AddRef(); return static_cast<IDispatch*>(&w.dispatch);
    default:
      if (asDispatch) {  // a VT_DISPATCH always holds an IDispatch
        w.dispatch.AddRef();
        return static_cast<IDispatch*>(&w.dispatch);
      }
      w.unknown.AddRef();
      return static_cast<IDispatch*>(&w.unknown);
  }
}

// A plain variant that owns what it holds.
VARIANT MakePlain(TReader& r, TWorld& w, VARTYPE vt) {
  VARIANT v{};
  v.vt = vt;
  switch (vt) {
    case VT_BSTR: v.bstrVal = MakeBstr(r); break;
    case VT_DISPATCH: v.punkVal = MakeObject(r, w, true); break;
    case VT_UNKNOWN: v.punkVal = MakeObject(r, w, false); break;
    default: v.ulVal = r.Word32();
  }
  return v;
}

void* PlaceOf(TPlaces& p, VARTYPE base, int k) {
  switch (base) {
    case VT_I4: case VT_INT: case VT_ERROR: return &p.l[k];
    case VT_UI4: case VT_UINT: return &p.ul[k];
    case VT_I2: case VT_UI2: case VT_UI1: return &p.i[k];
    case VT_BOOL: return &p.b[k];
    case VT_BSTR: return &p.s[k];
    case VT_UNKNOWN: return &p.unk[k];
    case VT_DISPATCH: return &p.disp[k];
    case VT_VARIANT: return &p.var[k];
    default: return nullptr;
  }
}

VARIANT MakeArg(TReader& r, TWorld& w) {
  const uint8_t kind = r.Byte();
  VARTYPE vt = kTypes[kind & 0x0F];
  if (kind & 0x80) {  // by reference into a shared place, or a null reference
    VARIANT v{};
    v.vt = static_cast<VARTYPE>(vt | VT_BYREF);
    v.byref = (kind & 0x40) ? nullptr : PlaceOf(w.places, vt, (kind >> 4) & 1);
    return v;
  }
  if (kind & 0x40) vt = static_cast<VARTYPE>(r.Word16() & 0x0FFF);  // any type number
  if (vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN) return MakePlain(r, w, vt);
  VARIANT v{};
  v.vt = vt;
  v.ulVal = r.Word32();
  return v;
}

void FillPlaces(TReader& r, TWorld& w) {
  TPlaces& p = w.places;
  for (int k = 0; k < 2; ++k) {
    p.l[k] = static_cast<LONG>(r.Word32());
    p.ul[k] = r.Word32();
    p.i[k] = static_cast<std::int16_t>(r.Word16());
    p.b[k] = static_cast<VARIANT_BOOL>(r.Word16());
    p.s[k] = MakeBstr(r);
    p.unk[k] = MakeObject(r, w, false);
    p.disp[k] = static_cast<IDispatch*>(MakeObject(r, w, true));
  }
  // var[1] holds a plain value; var[0] a plain value or a reference (to var[1] too).
  const VARTYPE t1 = kTypes[r.Byte() & 0x0F];
  p.var[1] = MakePlain(r, w, t1 == VT_VARIANT ? VT_I4 : t1);
  const uint8_t k0 = r.Byte();
  if (k0 & 0x80) {
    VARTYPE base = kTypes[k0 & 0x0F];
    p.var[0].vt = static_cast<VARTYPE>(base | VT_BYREF);
    p.var[0].byref = PlaceOf(p, base, 1);
  } else {
    VARTYPE base = kTypes[k0 & 0x0F];
    p.var[0] = MakePlain(r, w, base == VT_VARIANT ? VT_EMPTY : base);
  }
}

void FreePlaces(TPlaces& p) {
  for (int k = 0; k < 2; ++k) {
    SysFreeString(p.s[k]);
    if (p.unk[k]) p.unk[k]->Release();
    if (p.disp[k]) p.disp[k]->Release();
    VariantClear(&p.var[k]);
  }
}

long long NumberIn(const VARIANT& v) { return v.vt == VT_I4 ? v.lVal : 0; }

// VariantChangeType to every type: a failure leaves the destination as it was,
// a success gives the type asked for; in place as well as into another variant;
// a number that goes to text and back is the number.
void CheckConversions(TReader& r, const VARIANT& src) {
  const WORD flags = (r.Byte() & 1) ? VARIANT_ALPHABOOL : 0;
  VARIANT asText{}, asLong{};
  const bool toText = SUCCEEDED(VariantChangeType(&asText, &src, flags, VT_BSTR));
  const bool toLong = SUCCEEDED(VariantChangeType(&asLong, &src, flags, VT_I4));
  if (toText) Require(asText.vt == VT_BSTR);
  if (toLong) Require(asLong.vt == VT_I4);
  // An empty value (also behind a reference) is the one number whose text is no number.
  if (toText && toLong && SysStringLen(asText.bstrVal) > 0) {
    VARIANT back{};
    Require(SUCCEEDED(VariantChangeType(&back, &asText, 0, VT_I4)));
    Require(back.vt == VT_I4 && NumberIn(back) == NumberIn(asLong));
  }
  VariantClear(&asText);
  VariantClear(&asLong);

  for (VARTYPE target : kTypes) {
    VARIANT dst{};
    dst.vt = VT_I4;
    dst.lVal = 0x5A5A5A5A;
    const HRESULT hr = VariantChangeType(&dst, &src, flags, target);
    if (FAILED(hr)) {
      Require(dst.vt == VT_I4 && dst.lVal == 0x5A5A5A5A);
      continue;
    }
    Require(dst.vt == target);
    Require(VariantClear(&dst) == S_OK);

    VARIANT same{};
    if (VariantCopy(&same, &src) != S_OK) continue;
    Require(SUCCEEDED(VariantChangeType(&same, &same, flags, target)) && same.vt == target);
    Require(VariantClear(&same) == S_OK);
  }
}

void CheckInvoke(TReader& r, TWorld& w, std::vector<VARIANT>& args) {
  TTarget target;
  const DISPID id = static_cast<DISPID>(r.Byte() % 8);  // 0 and 7 are no method
  const WORD flags = static_cast<WORD>(r.Byte() & 0x0F);
  const uint8_t shape = r.Byte();
  DISPID named = 0;
  DISPPARAMS params{args.empty() || (shape & 1) == 0 ? args.data() : nullptr, &named,
                    static_cast<UINT>(args.size()), (shape & 2) && (shape & 4) ? 1u : 0u};
  VARIANT result{};
  EXCEPINFO info{};
  UINT argErr = 0xFFFFFFFFu;
  const HRESULT hr = DispInvoke(Description(), static_cast<ITarget*>(&target), id, IID_NULL, flags,
                                (shape & 8) ? nullptr : &params, (shape & 16) ? nullptr : &result,
                                (shape & 32) ? nullptr : &info, &argErr);
  if (hr == DISP_E_TYPEMISMATCH) Require(argErr < args.size());
  if (hr == DISP_E_EXCEPTION && !(shape & 32)) Require(info.scode == E_FAIL);
  if (hr == S_OK && !(shape & 16)) {
    const TMethodDesc* m = Description().FindMethod(id);
    Require(m != nullptr);
    const size_t given = (shape & 8) ? 0 : args.size();
    if (given < m->Params.size()) Require(result.vt == m->Params.back().Type);
    else Require(result.vt == VT_EMPTY);
  }
  VariantClear(&result);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  SetErrorInfo(0, nullptr);
  Require(target.child.refs == 0 || (hr == S_OK && id == 4));  // held only by what Child handed out
  // What Child handed out sits in a by-reference place or in the result, both freed by the caller.
  if (target.child.refs != 0) {
    for (IDispatch*& d : w.places.disp)
      if (d == &target.child) {
        d->Release();
        d = nullptr;
      }
    for (VARIANT& v : w.places.var)
      if (!(v.vt & VT_BYREF) && v.vt == VT_DISPATCH && v.pdispVal == &target.child) VariantClear(&v);
    Require(target.child.refs == 0);
  }
}

void CheckNames(TReader& r, const TWorld& w) {
  LPOLESTR names[3] = {w.places.s[0], w.places.s[1], nullptr};
  static OLECHAR known[] = OLESTR("pair");
  if (r.Byte() & 1) names[0] = known;
  if (r.Byte() & 1) names[2] = w.places.s[0];
  DISPID ids[3];
  const UINT count = r.Byte() % 4;
  const HRESULT hr = DispGetIDsOfNames(Description(), IID_NULL, names, count, ids);
  if (hr == S_OK) {
    Require(ids[0] >= 1 && ids[0] <= 6);
    for (UINT i = 1; i < count; ++i) Require(ids[i] >= 0 && ids[i] < 4);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TReader r(data, size);
  TWorld w;
  FillPlaces(r, w);
  std::vector<VARIANT> args(r.Byte() % 6);
  for (VARIANT& a : args) a = MakeArg(r, w);

  for (const VARIANT& a : args) CheckConversions(r, a);
  CheckInvoke(r, w, args);
  CheckNames(r, w);

  for (VARIANT& a : args) VariantClear(&a);
  FreePlaces(w.places);
  Require(w.dispatch.refs == 0 && w.unknown.refs == 0);  // every reference taken was given back
  return 0;
}
