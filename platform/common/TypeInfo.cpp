// The type-information model, the type library file reader and writer, and the
// IDispatch engine that calls interface methods by name with VARIANT arguments.
#include "platform/TypeInfo.h"

#include <fstream>
#include <new>
#include <set>
#include <sstream>

#include "platform/ComBase.h"
#include "platform/Guid.h"
#include "platform/SysUtils.h"

namespace platform {

namespace {

constexpr const char* kMagic = "QUELM-TYPELIB 1";

template <class T>
const T* FindByName(const std::vector<T>& items, std::string_view name) {
  for (const T& item : items)
    if (SameText(item.Name, name)) return &item;
  return nullptr;
}

// ---- writing -------------------------------------------------------------------


const char* DirName(ParamDir d) {
  switch (d) {
    case ParamDir::In: return "in";
    case ParamDir::Out: return "out";
    default: return "retval";
  }
}

// ---- reading -------------------------------------------------------------------

class TLineReader {
 public:
  explicit TLineReader(const std::string& text) : in_(text) {}

  // The next non-empty line split into words ("quoted text" is one word); false at the end.
  bool Next(std::vector<std::string>& words) {
    std::string line;
    while (std::getline(in_, line)) {
      ++number_;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      words = Split(line);
      if (!words.empty() && words[0][0] != '#') return true;
    }
    return false;
  }
  [[noreturn]] void Fail(const std::string& why) const {
    throw Exception(Format("line %d: %s", number_, why));
  }
  int Number() const { return number_; }

 private:
  std::vector<std::string> Split(const std::string& line) const {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
      if (line[i] == ' ' || line[i] == '\t') {
        ++i;
        continue;
      }
      std::string w;
      if (line[i] == '"') {
        for (++i;; ++i) {
          if (i >= line.size()) Fail("unterminated text");
          if (line[i] == '"') break;
          if (line[i] == '\\' && i + 1 < line.size()) ++i;
          w += line[i];
        }
        ++i;
        words.push_back(w);
        continue;
      }
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') w += line[i++];
      words.push_back(w);
    }
    return words;
  }

  std::istringstream in_;
  int number_ = 0;
};

LONG ReadNumber(const TLineReader& r, const std::string& word) {
  LONG v;
  if (!TryStrToInt(word, v)) r.Fail("'" + word + "' is not a number");
  return v;
}

// A number for an unsigned field: out of range it would wrap into a value the
// file does not say (and the writer could not write back).
LONG ReadNumberUpTo(const TLineReader& r, const std::string& word, LONG max) {
  LONG v = ReadNumber(r, word);
  if (v < 0 || v > max) r.Fail("'" + word + "' is out of range");
  return v;
}

GUID ReadGuid(const TLineReader& r, const std::string& word) {
  GUID g;
  if (!TryStringToGuid(word, g)) r.Fail("'" + word + "' is not a GUID");
  return g;
}

void Expect(const TLineReader& r, const std::vector<std::string>& w, size_t count) {
  if (w.size() != count) r.Fail(Format("'%s' takes %d words", w[0], static_cast<int>(count)));
}

bool IsAutomationType(VARTYPE vt) {
  return vt == VT_I4 || vt == VT_UI4 || vt == VT_BOOL || vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN ||
         vt == VT_RECORD;
}

TParamDesc ReadParam(const TLineReader& r, const std::vector<std::string>& w) {
  // param <in|out|retval> <vartype> <typename|-> <single|array> <name>
  Expect(r, w, 6);
  TParamDesc p;
  if (w[1] == "in") p.Dir = ParamDir::In;
  else if (w[1] == "out") p.Dir = ParamDir::Out;
  else if (w[1] == "retval") p.Dir = ParamDir::RetVal;
  else r.Fail("unknown direction '" + w[1] + "'");
  LONG vt = ReadNumber(r, w[2]);
  if (vt < 0 || vt > 0xFFFF || !IsAutomationType(static_cast<VARTYPE>(vt))) r.Fail("unknown type " + w[2]);
  p.Type = static_cast<VARTYPE>(vt);
  p.TypeName = w[3] == "-" ? "" : w[3];
  if (w[4] == "array") p.Array = true;
  else if (w[4] != "single") r.Fail("expected 'single' or 'array'");
  p.Name = w[5];
  return p;
}

TInterfaceDesc ReadInterface(TLineReader& r, const std::vector<std::string>& head) {
  Expect(r, head, 4);
  TInterfaceDesc intf;
  intf.Name = head[1];
  intf.Iid = ReadGuid(r, head[2]);
  intf.Parent = head[3];
  std::vector<std::string> w;
  while (r.Next(w)) {
    if (w[0] == "end") return intf;
    if (w[0] == "method") {
      Expect(r, w, 4);  // method <dispid> <slot> <name>
      TMethodDesc m;
      m.DispId = ReadNumber(r, w[1]);
      m.Slot = ReadNumber(r, w[2]);
      m.Name = w[3];
      if (intf.FindMethod(m.Name) || intf.FindMethod(m.DispId)) r.Fail("method '" + m.Name + "' repeated");
      intf.Methods.push_back(std::move(m));
    } else if (w[0] == "param") {
      if (intf.Methods.empty()) r.Fail("parameter outside a method");
      intf.Methods.back().Params.push_back(ReadParam(r, w));
    } else {
      r.Fail("unexpected '" + w[0] + "' in interface " + intf.Name);
    }
  }
  r.Fail("interface " + intf.Name + " has no end");
}

TRecordDesc ReadRecord(TLineReader& r, const std::vector<std::string>& head) {
  Expect(r, head, 3);  // record <name> <size>
  TRecordDesc rec;
  rec.Name = head[1];
  rec.Size = static_cast<size_t>(ReadNumber(r, head[2]));
  std::vector<std::string> w;
  while (r.Next(w)) {
    if (w[0] == "end") return rec;
    if (w[0] != "field") r.Fail("unexpected '" + w[0] + "' in record " + rec.Name);
    Expect(r, w, 4);  // field <offset> <vartype> <name>
    TFieldDesc f;
    f.Offset = static_cast<size_t>(ReadNumber(r, w[1]));
    f.Type = static_cast<VARTYPE>(ReadNumber(r, w[2]));
    f.Name = w[3];
    rec.Fields.push_back(f);
  }
  r.Fail("record " + rec.Name + " has no end");
}

// ---- invoking ------------------------------------------------------------------

// The place a by-reference argument points at, typed as the parameter wants.
bool ByRefMatches(const VARIANT& arg, VARTYPE type) {
  if (!(arg.vt & VT_BYREF) || !arg.byref) return false;
  VARTYPE base = static_cast<VARTYPE>(arg.vt & ~VT_BYREF);
  return base == type || base == VT_VARIANT;
}

// Hands an out value to the caller's by-reference argument, releasing what it held.
void StoreByRef(VARIANT& arg, VARIANT& cell) {
  if (arg.vt == (VT_BYREF | VT_VARIANT)) {
    VariantClear(arg.pvarVal);
    *arg.pvarVal = cell;
  } else {
    switch (cell.vt) {
      case VT_I4: *arg.plVal = cell.lVal; break;
      case VT_UI4: *arg.pulVal = cell.ulVal; break;
      case VT_BOOL: *arg.pboolVal = cell.boolVal; break;
      case VT_BSTR: SysFreeString(*arg.pbstrVal); *arg.pbstrVal = cell.bstrVal; break;
      case VT_DISPATCH: if (*arg.ppdispVal) (*arg.ppdispVal)->Release(); *arg.ppdispVal = cell.pdispVal; break;
      case VT_UNKNOWN: if (*arg.ppunkVal) (*arg.ppunkVal)->Release(); *arg.ppunkVal = cell.punkVal; break;
      default: VariantClear(&cell); return;
    }
  }
  cell = VARIANT{};
}

// Copies the thread's error info into EXCEPINFO and leaves it in place for the caller.
void FillExcepInfo(EXCEPINFO* info, HRESULT hr) {
  if (!info) return;
  *info = EXCEPINFO{};
  info->scode = hr;
  IErrorInfo* err = nullptr;
  if (GetErrorInfo(0, &err) != S_OK || !err) return;
  err->GetSource(&info->bstrSource);
  err->GetDescription(&info->bstrDescription);
  SetErrorInfo(0, err);
  err->Release();
}

class TCells {
 public:
  explicit TCells(size_t n) : cells_(n) {}
  ~TCells() {
    for (VARIANT& c : cells_) VariantClear(&c);
  }
  VARIANT* Data() { return cells_.data(); }
  VARIANT& operator[](size_t i) { return cells_[i]; }

 private:
  std::vector<VARIANT> cells_;
};

}  // namespace

std::string QuoteText(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    r += c;
  }
  return r + "\"";
}

bool TMethodDesc::Dispatchable() const {
  for (const TParamDesc& p : Params)
    if (p.Array || p.Type == VT_RECORD) return false;
  return true;
}

const TMethodDesc* TInterfaceDesc::FindMethod(std::string_view name) const { return FindByName(Methods, name); }

const TMethodDesc* TInterfaceDesc::FindMethod(DISPID id) const {
  for (const TMethodDesc& m : Methods)
    if (m.DispId == id) return &m;
  return nullptr;
}

const TInterfaceDesc* TTypeLibDesc::FindInterface(std::string_view name) const { return FindByName(Interfaces, name); }
const TRecordDesc* TTypeLibDesc::FindRecord(std::string_view name) const { return FindByName(Records, name); }
const TCoClassDesc* TTypeLibDesc::FindCoClass(std::string_view name) const { return FindByName(CoClasses, name); }

TInterfaceDesc MakeInterface(std::string name, const IID& iid, std::vector<TMethodDesc> methods) {
  TInterfaceDesc intf;
  intf.Name = std::move(name);
  intf.Iid = iid;
  intf.Methods = std::move(methods);
  DISPID id = 1;
  for (TMethodDesc& m : intf.Methods) m.DispId = id++;
  return intf;
}

bool SameInterface(const TInterfaceDesc& a, const TInterfaceDesc& b, std::string& why) {
  if (a.Name != b.Name || !(a.Iid == b.Iid) || a.Parent != b.Parent) {
    why = "interface " + a.Name + " differs in name, identifier or parent";
    return false;
  }
  if (a.Methods.size() != b.Methods.size()) {
    why = "interface " + a.Name + " differs in its number of methods";
    return false;
  }
  for (size_t i = 0; i < a.Methods.size(); ++i) {
    const TMethodDesc& x = a.Methods[i];
    const TMethodDesc& y = b.Methods[i];
    if (x.Name != y.Name || x.Slot != y.Slot || x.DispId != y.DispId || x.Params != y.Params) {
      why = "method " + a.Name + "." + x.Name + " differs";
      return false;
    }
  }
  return true;
}

std::string WriteTypeLibText(const TTypeLibDesc& lib) {
  std::string t = std::string(kMagic) + "\n";
  t += Format("library %s %s %d.%d %d %s\n", lib.Name, GuidToString(lib.LibId), lib.MajorVersion, lib.MinorVersion,
              lib.Lcid, QuoteText(lib.HelpString));
  for (const TRecordDesc& r : lib.Records) {
    t += Format("\nrecord %s %d\n", r.Name, static_cast<long long>(r.Size));
    for (const TFieldDesc& f : r.Fields)
      t += Format("  field %d %d %s\n", static_cast<long long>(f.Offset), f.Type, f.Name);
    t += "end\n";
  }
  for (const TInterfaceDesc& i : lib.Interfaces) {
    t += Format("\ninterface %s %s %s\n", i.Name, GuidToString(i.Iid), i.Parent);
    for (const TMethodDesc& m : i.Methods) {
      t += Format("  method %d %d %s\n", m.DispId, m.Slot, m.Name);
      for (const TParamDesc& p : m.Params)
        t += Format("    param %s %d %s %s %s\n", DirName(p.Dir), p.Type, p.TypeName.empty() ? "-" : p.TypeName,
                    p.Array ? "array" : "single", p.Name);
    }
    t += "end\n";
  }
  if (!lib.CoClasses.empty()) t += "\n";
  for (const TCoClassDesc& c : lib.CoClasses)
    t += Format("coclass %s %s %s %s\n", c.Name, GuidToString(c.Clsid),
                c.DefaultInterface.empty() ? "-" : c.DefaultInterface, QuoteText(c.HelpString));
  return t;
}

TTypeLibDesc ParseTypeLibText(const std::string& text) {
  TLineReader r(text);
  std::vector<std::string> w;
  if (!r.Next(w) || w.size() != 2 || w[0] + " " + w[1] != kMagic) r.Fail("not a type library");
  TTypeLibDesc lib;
  bool haveLibrary = false;
  while (r.Next(w)) {
    if (w[0] == "library") {
      Expect(r, w, 6);  // library <name> <guid> <major.minor> <lcid> "help"
      lib.Name = w[1];
      lib.LibId = ReadGuid(r, w[2]);
      size_t dot = w[3].find('.');
      if (dot == std::string::npos) r.Fail("bad version");
      lib.MajorVersion = static_cast<WORD>(ReadNumberUpTo(r, w[3].substr(0, dot), 0xFFFF));
      lib.MinorVersion = static_cast<WORD>(ReadNumberUpTo(r, w[3].substr(dot + 1), 0xFFFF));
      lib.Lcid = static_cast<LCID>(ReadNumberUpTo(r, w[4], 0x7FFFFFFF));
      lib.HelpString = w[5];
      haveLibrary = true;
    } else if (w[0] == "interface") {
      lib.Interfaces.push_back(ReadInterface(r, w));
    } else if (w[0] == "record") {
      lib.Records.push_back(ReadRecord(r, w));
    } else if (w[0] == "coclass") {
      Expect(r, w, 5);  // coclass <name> <clsid> <interface|-> "help"
      lib.CoClasses.push_back(TCoClassDesc{w[1], ReadGuid(r, w[2]), w[3] == "-" ? "" : w[3], w[4]});
    } else {
      r.Fail("unexpected '" + w[0] + "'");
    }
  }
  if (!haveLibrary) r.Fail("no library line");
  return lib;
}

TTypeLibDesc LoadTypeLibFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EOleError(TYPE_E_CANTLOADLIBRARY, "Type library '" + path + "' cannot be opened");
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return ParseTypeLibText(text.str());
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const Exception& e) {
    throw EOleError(TYPE_E_CANTLOADLIBRARY, "Type library '" + path + "' is damaged: " + e.Message());
  }
}

void SaveTypeLibFile(const TTypeLibDesc& lib, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << WriteTypeLibText(lib);
  out.close();
  if (!out) throw Exception("Cannot write type library '" + path + "'");
}

HRESULT DispGetIDsOfNames(const TInterfaceDesc& intf, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  if (count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (!names[0]) return DISP_E_UNKNOWNNAME;
  const TMethodDesc* m = intf.FindMethod(StringFromOle(names[0]));
  if (!m) return DISP_E_UNKNOWNNAME;
  ids[0] = m->DispId;
  HRESULT hr = S_OK;
  // Further names are the method's parameters, numbered by position.
  for (UINT i = 1; i < count; ++i) {
    std::string name = names[i] ? StringFromOle(names[i]) : std::string();
    for (size_t p = 0; p < m->Params.size(); ++p)
      if (SameText(m->Params[p].Name, name)) ids[i] = static_cast<DISPID>(p);
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT DispInvoke(const TInterfaceDesc& intf, IUnknown* self, DISPID id, REFIID riid, WORD flags,
                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const TMethodDesc* m = intf.FindMethod(id);
  if (!m || !(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  if (!m->Invoker) return E_UNEXPECTED;  // a description read from a file cannot call anything
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  if (params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
  if (!m->Dispatchable()) return DISP_E_BADVARTYPE;
  const size_t n = m->Params.size();
  const bool hasRetVal = n > 0 && m->Params.back().Dir == ParamDir::RetVal;
  const size_t given = params->cArgs;
  if (!(given == n || (hasRetVal && given + 1 == n))) return DISP_E_BADPARAMCOUNT;

  try {
    TCells cells(n);
    for (size_t i = 0; i < given; ++i) {
      VARIANT& arg = params->rgvarg[given - 1 - i];  // arguments arrive last first
      const TParamDesc& p = m->Params[i];
      bool ok = p.Dir == ParamDir::In ? SUCCEEDED(VariantChangeType(&cells[i], &arg, 0, p.Type))
                                      : ByRefMatches(arg, p.Type);
      if (!ok) {
        if (argErr) *argErr = static_cast<UINT>(given - 1 - i);
        return DISP_E_TYPEMISMATCH;
      }
    }
    for (size_t i = 0; i < n; ++i)
      if (m->Params[i].Dir != ParamDir::In) cells[i].vt = m->Params[i].Type;

    HRESULT hr = m->Invoker(self, cells.Data());
    if (FAILED(hr)) {
      FillExcepInfo(excepInfo, hr);
      return DISP_E_EXCEPTION;
    }
    if (result) VariantInit(result);
    for (size_t i = 0; i < n; ++i) {
      if (m->Params[i].Dir == ParamDir::In) continue;
      if (i < given) {
        StoreByRef(params->rgvarg[given - 1 - i], cells[i]);
      } else if (result) {
        *result = cells[i];
        cells[i] = VARIANT{};
      }
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;  // a method without its own boundary: still nothing reaches the caller
  }
}

}  // namespace platform
