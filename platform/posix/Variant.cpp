// VARIANT handling of the platform runtime: init, clear, copy and the type
// changes among the automation types the library's interfaces use.
#include <climits>
#include <new>
#include <string>

#include "platform/ComBase.h"
#include "platform/SysUtils.h"
#include "platform/Unknwn.h"

#define QUELM_EXPORT __attribute__((visibility("default")))

namespace {

bool IsSimpleType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_UI4: case VT_BOOL: case VT_ERROR:
    case VT_UI1: case VT_UI2: case VT_INT: case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsKnownType(VARTYPE vt) { return IsSimpleType(vt) || vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN; }

// The value behind a by-reference variant, as a plain variant that borrows its contents.
bool Dereference(const VARIANT& src, VARIANT& plain) {
  plain = VARIANT{};
  if (!(src.vt & VT_BYREF)) {
    plain = src;
    return true;
  }
  if (!src.byref) return false;
  VARTYPE base = static_cast<VARTYPE>(src.vt & ~VT_BYREF);
  plain.vt = base;
  switch (base) {
    case VT_I4: plain.lVal = *src.plVal; return true;
    case VT_UI4: plain.ulVal = *src.pulVal; return true;
    case VT_I2: plain.iVal = *static_cast<std::int16_t*>(src.byref); return true;
    case VT_BOOL: plain.boolVal = *src.pboolVal; return true;
    case VT_BSTR: plain.bstrVal = *src.pbstrVal; return true;
    case VT_UNKNOWN: plain.punkVal = *src.ppunkVal; return true;
    case VT_DISPATCH: plain.pdispVal = *src.ppdispVal; return true;
    case VT_VARIANT:
      if (src.pvarVal->vt == (VT_BYREF | VT_VARIANT)) return false;  // no chains of references
      return Dereference(*src.pvarVal, plain);
    default: return false;
  }
}

// A numeric value of a plain variant; false when it holds no number.
bool NumberOf(const VARIANT& v, long long& n) {
  switch (v.vt) {
    case VT_EMPTY: n = 0; return true;
    case VT_I2: n = v.iVal; return true;
    case VT_I4: case VT_INT: case VT_ERROR: n = v.lVal; return true;
    case VT_UI4: case VT_UINT: n = v.ulVal; return true;
    case VT_UI1: n = v.bVal; return true;
    case VT_UI2: n = static_cast<std::uint16_t>(v.iVal); return true;
    case VT_BOOL: n = v.boolVal ? -1 : 0; return true;
    default: return false;
  }
}

HRESULT TextToNumber(BSTR s, long long& n) {
  std::string text = platform::Trim(platform::StringFromBstr(s));
  if (platform::SameText(text, "True")) { n = -1; return S_OK; }
  if (platform::SameText(text, "False")) { n = 0; return S_OK; }
  // Wider than LONG so that overflow is told from a text that is no number.
  if (text.empty() || text.size() > 20) return DISP_E_TYPEMISMATCH;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return DISP_E_TYPEMISMATCH;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return DISP_E_TYPEMISMATCH;
    v = v * 10 + (text[i] - '0');
    if (v > 0xFFFFFFFFLL) return DISP_E_OVERFLOW;
  }
  n = text[0] == '-' ? -v : v;
  return S_OK;
}

HRESULT ToNumber(const VARIANT& v, long long& n) {
  if (v.vt == VT_BSTR) return TextToNumber(v.bstrVal, n);
  return NumberOf(v, n) ? S_OK : DISP_E_TYPEMISMATCH;
}

HRESULT ToInteger(const VARIANT& v, VARTYPE vt, VARIANT& out) {
  long long n;
  if (HRESULT hr = ToNumber(v, n); FAILED(hr)) return hr;
  out.vt = vt;
  switch (vt) {
    case VT_I4:
      if (n < INT32_MIN || n > INT32_MAX) return DISP_E_OVERFLOW;
      out.lVal = static_cast<LONG>(n);
      return S_OK;
    case VT_I2:
      if (n < INT16_MIN || n > INT16_MAX) return DISP_E_OVERFLOW;
      out.iVal = static_cast<std::int16_t>(n);
      return S_OK;
    case VT_UI4:
      if (n < 0 || n > static_cast<long long>(UINT32_MAX)) return DISP_E_OVERFLOW;
      out.ulVal = static_cast<ULONG>(n);
      return S_OK;
    default:  // VT_BOOL
      out.boolVal = n ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
  }
}

HRESULT ToText(const VARIANT& v, WORD flags, VARIANT& out) {
  std::string text;
  if (v.vt == VT_BSTR) {
    out.vt = VT_BSTR;
    out.bstrVal = SysAllocStringLen(v.bstrVal, SysStringLen(v.bstrVal));
    return out.bstrVal || !v.bstrVal ? S_OK : E_OUTOFMEMORY;
  }
  if (v.vt == VT_BOOL && (flags & VARIANT_ALPHABOOL)) {
    text = v.boolVal ? "True" : "False";
  } else {
    long long n;
    if (!NumberOf(v, n)) return DISP_E_TYPEMISMATCH;
    if (v.vt != VT_EMPTY) text = std::to_string(n);
  }
  out.vt = VT_BSTR;
  out.bstrVal = platform::BstrFromString(text);
  return S_OK;
}

HRESULT ToInterface(const VARIANT& v, VARTYPE vt, VARIANT& out) {
  if (v.vt != VT_UNKNOWN && v.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  IUnknown* unk = v.punkVal;
  out.vt = vt;
  out.punkVal = nullptr;
  if (!unk) return S_OK;
  if (vt == v.vt) {
    unk->AddRef();
    out.punkVal = unk;
    return S_OK;
  }
  void* p = nullptr;
  HRESULT hr = unk->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &p);
  if (FAILED(hr) || !p) return DISP_E_TYPEMISMATCH;
  out.punkVal = static_cast<IUnknown*>(p);
  return S_OK;
}

HRESULT Convert(const VARIANT& v, WORD flags, VARTYPE vt, VARIANT& out) {
  switch (vt) {
    case VT_EMPTY: return S_OK;
    case VT_I4: case VT_I2: case VT_UI4: case VT_BOOL: return ToInteger(v, vt, out);
    case VT_BSTR: return ToText(v, flags, out);
    case VT_DISPATCH: case VT_UNKNOWN: return ToInterface(v, vt, out);
    default: return DISP_E_BADVARTYPE;
  }
}

}  // namespace

extern "C" {

QUELM_EXPORT void VariantInit(VARIANT* pvarg) {
  if (pvarg) *pvarg = VARIANT{};
}

QUELM_EXPORT HRESULT VariantClear(VARIANT* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!(pvarg->vt & VT_BYREF)) {
    if (!IsKnownType(pvarg->vt)) return DISP_E_BADVARTYPE;
    if (pvarg->vt == VT_BSTR) SysFreeString(pvarg->bstrVal);
    if ((pvarg->vt == VT_DISPATCH || pvarg->vt == VT_UNKNOWN) && pvarg->punkVal) pvarg->punkVal->Release();
  }
  *pvarg = VARIANT{};
  return S_OK;
}

QUELM_EXPORT HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!(pvargSrc->vt & VT_BYREF) && !IsKnownType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *pvargSrc;
  if (copy.vt == VT_BSTR && copy.bstrVal) {
    copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  }
  if ((copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN) && copy.punkVal) copy.punkVal->AddRef();
  VariantClear(pvargDest);
  *pvargDest = copy;
  return S_OK;
}

// Converts among VT_EMPTY, VT_I2, VT_I4, VT_UI4, VT_BOOL, VT_BSTR, VT_DISPATCH and
// VT_UNKNOWN; the source may be by reference. On failure the destination is untouched.
QUELM_EXPORT HRESULT VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, WORD wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  VARIANT plain;
  if (!Dereference(*pvarSrc, plain)) return DISP_E_BADVARTYPE;
  if (!IsKnownType(plain.vt)) return DISP_E_BADVARTYPE;
  VARIANT out{};
  HRESULT hr;
  try {
    hr = Convert(plain, wFlags, vt, out);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) {
    VariantClear(&out);
    return hr;
  }
  // The source may be the destination: clear only after the copy is made.
  VariantClear(pvargDest);
  *pvargDest = out;
  return S_OK;
}

}  // extern "C"
