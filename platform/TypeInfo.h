// The type-information model (interfaces with their methods and parameter
// types, records, coclasses), the external type library file, and the IDispatch
// engine that serves GetIDsOfNames and Invoke from that information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/Unknwn.h"

namespace platform {

enum class ParamDir { In, Out, RetVal };  // RetVal: the last out-parameter, which may come back as the result

struct TParamDesc {
  std::string Name;
  VARTYPE Type = VT_EMPTY;  // VT_I4, VT_UI4, VT_BOOL, VT_BSTR, VT_DISPATCH, VT_UNKNOWN or VT_RECORD
  ParamDir Dir = ParamDir::In;
  bool Array = false;        // a caller-sized array: not callable through IDispatch
  std::string TypeName;      // the interface or record a parameter refers to; empty for plain types
  bool operator==(const TParamDesc&) const = default;
};

// Calls the bound member function with one VARIANT cell per parameter, in declaration order.
using TInvoker = HRESULT (*)(IUnknown* self, VARIANT* cells);

struct TMethodDesc {
  std::string Name;
  int Slot = 0;      // vtable slot; the interface's own methods start at 7
  DISPID DispId = 0;
  std::vector<TParamDesc> Params;
  TInvoker Invoker = nullptr;  // only in descriptions compiled into a program
  bool Dispatchable() const;
};

struct TInterfaceDesc {
  std::string Name;
  IID Iid = GUID_NULL;
  std::string Parent = "IDispatch";
  std::vector<TMethodDesc> Methods;
  const TMethodDesc* FindMethod(std::string_view name) const;  // case ignored
  const TMethodDesc* FindMethod(DISPID id) const;
};

struct TFieldDesc {
  std::string Name;
  VARTYPE Type = VT_EMPTY;
  std::size_t Offset = 0;
  bool operator==(const TFieldDesc&) const = default;
};

struct TRecordDesc {
  std::string Name;
  std::size_t Size = 0;
  std::vector<TFieldDesc> Fields;
  bool operator==(const TRecordDesc&) const = default;
};

struct TCoClassDesc {
  std::string Name;
  CLSID Clsid = GUID_NULL;
  std::string DefaultInterface;  // empty: the coclass names none
  std::string HelpString;
};

struct TTypeLibDesc {
  std::string Name;
  GUID LibId = GUID_NULL;
  WORD MajorVersion = 1, MinorVersion = 0;
  LCID Lcid = 0;
  std::string HelpString;
  std::vector<TInterfaceDesc> Interfaces;
  std::vector<TRecordDesc> Records;
  std::vector<TCoClassDesc> CoClasses;
  const TInterfaceDesc* FindInterface(std::string_view name) const;
  const TRecordDesc* FindRecord(std::string_view name) const;
  const TCoClassDesc* FindCoClass(std::string_view name) const;
};

// Two descriptions of one interface agree in identity, slots, dispatch ids, names and
// parameter types; why names the first difference.
bool SameInterface(const TInterfaceDesc& a, const TInterfaceDesc& b, std::string& why);

// An interface description with dispatch ids 1, 2, ... in method order.
TInterfaceDesc MakeInterface(std::string name, const IID& iid, std::vector<TMethodDesc> methods);

// A text in double quotes, its quotes and backslashes escaped, as the type
// library file and the IDL write it.
std::string QuoteText(const std::string& s);

// The type library file: a line-oriented text of our own ("QUELM-TYPELIB 1").
std::string WriteTypeLibText(const TTypeLibDesc& lib);
TTypeLibDesc ParseTypeLibText(const std::string& text);  // throws Exception naming the bad line
// Reads a type library file; throws EOleError(TYPE_E_CANTLOADLIBRARY) saying why it cannot.
TTypeLibDesc LoadTypeLibFile(const std::string& path);
void SaveTypeLibFile(const TTypeLibDesc& lib, const std::string& path);

// The IDispatch engine over one interface description.
HRESULT DispGetIDsOfNames(const TInterfaceDesc& intf, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids);
HRESULT DispInvoke(const TInterfaceDesc& intf, IUnknown* self, DISPID id, REFIID riid, WORD flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);

// ---- building descriptions from the interface declarations -----------------------

// The type-library name of an interface or record type; a description specialises it.
template <class T>
struct TTypeName {
  static constexpr const char* Name = "";
};

// One parameter cell converted to the declared C++ parameter type and back.
template <class T, class Enable = void>
struct TArg;

template <>
struct TArg<LONG> {
  static constexpr VARTYPE Type = VT_I4;
  static constexpr bool Out = false;
  LONG v;
  explicit TArg(VARIANT& c) : v(c.lVal) {}
  LONG Get() { return v; }
  void Store(VARIANT&) {}
};
template <>
struct TArg<ULONG> {
  static constexpr VARTYPE Type = VT_UI4;
  static constexpr bool Out = false;
  ULONG v;
  explicit TArg(VARIANT& c) : v(c.ulVal) {}
  ULONG Get() { return v; }
  void Store(VARIANT&) {}
};
template <>
struct TArg<VARIANT_BOOL> {
  static constexpr VARTYPE Type = VT_BOOL;
  static constexpr bool Out = false;
  VARIANT_BOOL v;
  explicit TArg(VARIANT& c) : v(c.boolVal) {}
  VARIANT_BOOL Get() { return v; }
  void Store(VARIANT&) {}
};
template <>
struct TArg<BSTR> {
  static constexpr VARTYPE Type = VT_BSTR;
  static constexpr bool Out = false;
  BSTR v;  // borrowed from the cell, which the engine frees
  explicit TArg(VARIANT& c) : v(c.bstrVal) {}
  BSTR Get() { return v; }
  void Store(VARIANT&) {}
};

// Out-parameters of plain types: the callee writes a local, the engine takes it from the cell.
template <class T, VARTYPE VT>
struct TOutArg {
  static constexpr VARTYPE Type = VT;
  static constexpr bool Out = true;
  T v{};
  explicit TOutArg(VARIANT&) {}
  T* Get() { return &v; }
};
template <>
struct TArg<LONG*> : TOutArg<LONG, VT_I4> {
  using TOutArg::TOutArg;
  void Store(VARIANT& c) { c.lVal = v; }
};
template <>
struct TArg<ULONG*> : TOutArg<ULONG, VT_UI4> {
  using TOutArg::TOutArg;
  void Store(VARIANT& c) { c.ulVal = v; }
};
template <>
struct TArg<VARIANT_BOOL*> : TOutArg<VARIANT_BOOL, VT_BOOL> {
  using TOutArg::TOutArg;
  void Store(VARIANT& c) { c.boolVal = v; }
};
template <>
struct TArg<BSTR*> : TOutArg<BSTR, VT_BSTR> {
  using TOutArg::TOutArg;
  void Store(VARIANT& c) { c.bstrVal = v; }
};

// An interface out-parameter: IDispatch-derived ones travel as VT_DISPATCH.
template <class I>
struct TArg<I**, std::enable_if_t<std::is_base_of_v<IUnknown, I>>> {
  static constexpr VARTYPE Type = std::is_base_of_v<IDispatch, I> ? VT_DISPATCH : VT_UNKNOWN;
  static constexpr bool Out = true;
  I* p = nullptr;
  explicit TArg(VARIANT&) {}
  I** Get() { return &p; }
  void Store(VARIANT& c) {
    if constexpr (Type == VT_DISPATCH) c.pdispVal = p;
    else c.punkVal = p;
  }
};

// A caller-sized array of records: described, but not callable through IDispatch.
template <class R>
struct TArg<R*, std::enable_if_t<std::is_class_v<R> && !std::is_base_of_v<IUnknown, R>>> {
  static constexpr VARTYPE Type = VT_RECORD;
  static constexpr bool Out = true;
  explicit TArg(VARIANT&) {}
  R* Get() { return nullptr; }
  void Store(VARIANT&) {}
};

template <class T>
struct TArgTypeName {
  static constexpr const char* Name = "";
};
template <class T>
struct TArgTypeName<T**> {
  static constexpr const char* Name = TTypeName<T>::Name;
};
template <class R>
  requires std::is_class_v<R>
struct TArgTypeName<R*> {
  static constexpr const char* Name = TTypeName<R>::Name;
};

template <class F>
struct TMemberTraits;
template <class C, class... P>
struct TMemberTraits<HRESULT (STDMETHODCALLTYPE C::*)(P...)> {
  using Class = C;
  template <auto M, std::size_t... I>
  static HRESULT Call(C* obj, [[maybe_unused]] VARIANT* cells, std::index_sequence<I...>) {
    [[maybe_unused]] std::tuple<TArg<P>...> args(cells[I]...);
    HRESULT hr = (obj->*M)(std::get<I>(args).Get()...);
    (std::get<I>(args).Store(cells[I]), ...);
    return hr;
  }
  template <auto M>
  static HRESULT Invoke(IUnknown* self, VARIANT* cells) {
    return Call<M>(static_cast<C*>(self), cells, std::index_sequence_for<P...>{});
  }
  static std::vector<TParamDesc> Params() {
    return {TParamDesc{"", TArg<P>::Type, TArg<P>::Out ? ParamDir::Out : ParamDir::In,
                       TArg<P>::Type == VT_RECORD, TArgTypeName<P>::Name}...};
  }
};

// The vtable slot of a virtual member function: the Itanium C++ ABI stores
// 1 + the byte offset into the vtable in the pointer's first word.
template <class M>
int VtableSlot(M member) {
  static_assert(sizeof(M) == 2 * sizeof(void*), "Itanium member-function pointer expected");
  struct {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  } raw;
  std::memcpy(&raw, &member, sizeof raw);
  if (!(raw.ptr & 1) || raw.adj != 0) return -1;
  return static_cast<int>((raw.ptr - 1) / sizeof(void*));
}

struct TParamName {
  TParamName(const char* n) : name(n) {}  // NOLINT: plain names are the common case
  TParamName(const char* n, bool array) : name(n), isArray(array) {}
  const char* name;
  bool isArray = false;
};
inline TParamName ArrayParam(const char* name) { return TParamName(name, true); }

// Describes one interface method from its member-function pointer: parameter types and
// directions are deduced, the last out-parameter becomes the result, the slot is read.
template <auto M>
TMethodDesc Method(const char* name, std::initializer_list<TParamName> names) {
  using Traits = TMemberTraits<decltype(M)>;
  TMethodDesc m;
  m.Name = name;
  m.Slot = VtableSlot(M);
  m.Params = Traits::Params();
  m.Invoker = &Traits::template Invoke<M>;
  if (names.size() != m.Params.size()) throw std::logic_error(std::string("parameter names of ") + name);
  std::size_t i = 0;
  for (const TParamName& n : names) {
    m.Params[i].Name = n.name;
    m.Params[i].Array = m.Params[i].Array || n.isArray;
    ++i;
  }
  for (auto it = m.Params.rbegin(); it != m.Params.rend(); ++it) {
    if (it->Dir == ParamDir::Out) {
      if (!it->Array) it->Dir = ParamDir::RetVal;
      break;
    }
  }
  return m;
}

template <class F>
VARTYPE FieldType() {
  if constexpr (std::is_same_v<F, BSTR>) return VT_BSTR;
  else if constexpr (std::is_same_v<F, LONG>) return VT_I4;
  else if constexpr (std::is_same_v<F, ULONG>) return VT_UI4;
  else static_assert(std::is_same_v<F, LONG>, "record fields are BSTR, LONG or ULONG");
}

template <class R, class F>
TFieldDesc Field(F R::*member, const char* name) {
  static_assert(std::is_standard_layout_v<R>);
  R probe{};
  auto offset = reinterpret_cast<const unsigned char*>(&(probe.*member)) - reinterpret_cast<const unsigned char*>(&probe);
  return TFieldDesc{name, FieldType<F>(), static_cast<std::size_t>(offset)};
}

}  // namespace platform
