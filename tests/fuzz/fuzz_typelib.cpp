// Fuzz target: the type library file reader (QUELM.tlb lies beside the library
// and is read by every host that obtains a sampler). Any text is either read or
// refused with platform::Exception; a library it reads whose names the writer
// can spell (single words) is written back to a text that reads as the same
// library.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/SysUtils.h"
#include "platform/TypeInfo.h"

namespace {

using namespace platform;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// A name the writer puts out bare: one word that is not a comment.
bool Word(const std::string& s) {
  if (s.empty() || s[0] == '#' || s[0] == '"') return false;
  return s.find_first_of(" \t\r\n") == std::string::npos;
}

bool Writable(const TTypeLibDesc& lib) {
  if (!Word(lib.Name)) return false;
  for (const TRecordDesc& r : lib.Records) {
    if (!Word(r.Name)) return false;
    for (const TFieldDesc& f : r.Fields)
      if (!Word(f.Name)) return false;
  }
  for (const TInterfaceDesc& i : lib.Interfaces) {
    if (!Word(i.Name) || !Word(i.Parent)) return false;
    for (const TMethodDesc& m : i.Methods) {
      if (!Word(m.Name)) return false;
      for (const TParamDesc& p : m.Params)
        if (!Word(p.Name) || (!p.TypeName.empty() && (!Word(p.TypeName) || p.TypeName == "-"))) return false;
    }
  }
  for (const TCoClassDesc& c : lib.CoClasses)
    if (!Word(c.Name) || (!c.DefaultInterface.empty() && (!Word(c.DefaultInterface) || c.DefaultInterface == "-")))
      return false;
  return true;
}

bool SameLibrary(const TTypeLibDesc& a, const TTypeLibDesc& b) {
  if (a.Name != b.Name || !(a.LibId == b.LibId) || a.MajorVersion != b.MajorVersion ||
      a.MinorVersion != b.MinorVersion || a.Lcid != b.Lcid || a.HelpString != b.HelpString)
    return false;
  if (a.Records != b.Records || a.Interfaces.size() != b.Interfaces.size() || a.CoClasses.size() != b.CoClasses.size())
    return false;
  std::string why;
  for (size_t i = 0; i < a.Interfaces.size(); ++i)
    if (!SameInterface(a.Interfaces[i], b.Interfaces[i], why)) return false;
  for (size_t i = 0; i < a.CoClasses.size(); ++i) {
    const TCoClassDesc& x = a.CoClasses[i];
    const TCoClassDesc& y = b.CoClasses[i];
    if (x.Name != y.Name || !(x.Clsid == y.Clsid) || x.DefaultInterface != y.DefaultInterface ||
        x.HelpString != y.HelpString)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TTypeLibDesc lib;
  try {
    lib = ParseTypeLibText(text);
  } catch (const Exception& e) {
    Require(e.Message().rfind("line ", 0) == 0);  // the refusal names the line
    return 0;
  }
  // What was read can be looked up by the names it holds.
  for (const TInterfaceDesc& i : lib.Interfaces) {
    Require(lib.FindInterface(i.Name) != nullptr);
    for (const TMethodDesc& m : i.Methods) Require(i.FindMethod(m.DispId) == &m && i.FindMethod(m.Name) == &m);
  }
  if (!Writable(lib)) return 0;
  const std::string written = WriteTypeLibText(lib);
  TTypeLibDesc again;
  try {
    again = ParseTypeLibText(written);
  } catch (const Exception&) {
    Require(false);
  }
  Require(SameLibrary(lib, again));
  return 0;
}
