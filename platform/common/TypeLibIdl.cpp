#include "platform/TypeLibIdl.h"

#include "platform/Guid.h"
#include "platform/SysUtils.h"

namespace platform {

namespace {

// A GUID as IDL writes it: no braces.
std::string Uuid(const GUID& g) {
  const std::string s = GuidToString(g);
  return s.substr(1, s.size() - 2);
}

std::string PlainType(VARTYPE vt, const std::string& typeName, const std::string& what) {
  switch (vt) {
    case VT_I4: return "long";
    case VT_UI4: return "unsigned long";
    case VT_BOOL: return "VARIANT_BOOL";
    case VT_BSTR: return "BSTR";
    case VT_DISPATCH: return (typeName.empty() ? "IDispatch" : typeName) + "*";
    case VT_UNKNOWN: return (typeName.empty() ? "IUnknown" : typeName) + "*";
    case VT_RECORD:
      if (!typeName.empty()) return typeName;
      break;
    default: break;
  }
  throw Exception(Format("%s has a type IDL cannot state (%d)", what, vt));
}

std::string Parameter(const TMethodDesc& m, size_t index) {
  const TParamDesc& p = m.Params[index];
  const std::string type = PlainType(p.Type, p.TypeName, m.Name + "." + p.Name);
  std::string attributes = p.Dir == ParamDir::In ? "in" : p.Dir == ParamDir::Out ? "out" : "out, retval";
  if (p.Array) {
    // A caller-sized array: its size is the method's first parameter, the count
    // asked for.
    if (index == 0 || m.Params[0].Dir != ParamDir::In)
      throw Exception(Format("%s.%s: an array needs the count before it", m.Name, p.Name));
    attributes += ", size_is(" + m.Params[0].Name + ")";
  }
  const bool pointer = p.Dir != ParamDir::In || p.Array;
  return Format("[%s] %s%s %s", attributes, type, pointer ? "*" : "", p.Name);
}

}  // namespace

std::string WriteTypeLibIdl(const TTypeLibDesc& lib, const std::vector<std::string>& imports) {
  // BSTR, VARIANT_BOOL, IDispatch and HRESULT come from the system's own IDL;
  // what another of ours declares comes with it and is stated in this library
  // too.
  std::string t = "import \"oaidl.idl\";\n";
  for (const std::string& i : imports) t += Format("import %s;\n", QuoteText(i));
  t += "\n";
  t += Format(
      "[\n  uuid(%s),\n  version(%d.%d),\n  lcid(%d),\n  "
      "helpstring(%s)\n]\nlibrary %s\n{\n",
      Uuid(lib.LibId), lib.MajorVersion, lib.MinorVersion, lib.Lcid, QuoteText(lib.HelpString), lib.Name);
  t += "  importlib(\"stdole2.tlb\");\n";
  // Interfaces refer to each other before each is declared.
  if (!lib.Interfaces.empty()) t += "\n";
  for (const TInterfaceDesc& i : lib.Interfaces) t += Format("  interface %s;\n", i.Name);
  for (const TRecordDesc& r : lib.Records) {
    t += Format("\n  typedef struct %s {\n", r.Name);
    for (const TFieldDesc& f : r.Fields)
      t += Format("    %s %s;\n", PlainType(f.Type, "", r.Name + "." + f.Name), f.Name);
    t += Format("  } %s;\n", r.Name);
  }
  for (const TInterfaceDesc& i : lib.Interfaces) {
    t += Format(
        "\n  [\n    object,\n    uuid(%s),\n    dual,\n    "
        "oleautomation\n  ]\n  interface %s : %s\n  {\n",
        Uuid(i.Iid), i.Name, i.Parent);
    for (const TMethodDesc& m : i.Methods) {
      std::string params;
      for (size_t k = 0; k < m.Params.size(); ++k) params += (k ? ", " : "") + Parameter(m, k);
      t += Format("    [id(%d)] HRESULT %s(%s);\n", m.DispId, m.Name, params);
    }
    t += "  };\n";
  }
  for (const TCoClassDesc& c : lib.CoClasses) {
    t += Format("\n  [\n    uuid(%s)", Uuid(c.Clsid));
    if (!c.HelpString.empty()) t += Format(",\n    helpstring(%s)", QuoteText(c.HelpString));
    t += Format("\n  ]\n  coclass %s\n  {\n", c.Name);
    if (!c.DefaultInterface.empty()) t += Format("    [default] interface %s;\n", c.DefaultInterface);
    t += "  };\n";
  }
  t += "};\n";
  return t;
}

}  // namespace platform
