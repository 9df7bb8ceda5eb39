// What every host program here needs: BSTR text, the thread's error text, and
// loading QUELM1.SAM to obtain a sampler through DllGetSamplerObject.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "interfaces/QUELM_TLB.h"

namespace host {

inline std::string Text(BSTR s) {
  std::string r;
  for (UINT i = 0; i < SysStringLen(s); ++i) r += s[i] <= 0xFF ? static_cast<char>(s[i]) : '?';
  return r;
}

// Takes a BSTR the library handed over and frees it.
inline std::string Take(BSTR s) {
  std::string r = Text(s);
  SysFreeString(s);
  return r;
}

// A new BSTR of an ASCII text (port names, commands); the caller frees it.
inline BSTR MakeBstr(const std::string& text) {
  const std::basic_string<OLECHAR> wide(text.begin(), text.end());
  return SysAllocString(wide.c_str());
}

// A label as a menu shows it, without its access-key markers: "Sampling &sole
// channel" reads "Sampling sole channel"; "&&" is a literal "&".
inline std::string PlainLabel(const std::string& label) {
  std::string r;
  for (size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '&' && i + 1 < label.size()) ++i;
    else if (label[i] == '&') continue;
    r += label[i];
  }
  return r;
}

// An item's flags in words: its kind (low byte) and class, for example
// "switch, primary"; bits without a name as hex.
inline std::string FlagsText(LONG flags) {
  static const char* const kKinds[] = {"", "switch", "choice", "number", "text"};
  std::string r;
  const auto add = [&r](const std::string& word) { r += (r.empty() ? "" : ", ") + word; };
  const LONG kind = flags & 0xFF;
  if (kind >= 1 && kind <= 4) add(kKinds[kind]);
  else if (kind != 0) add("kind " + std::to_string(kind));
  if (flags & SIF_PRIMARY) add("primary");
  if (flags & SIF_SECONDARY) add("secondary");
  const unsigned rest = static_cast<unsigned>(flags) & ~0x3FFu;
  if (rest != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", rest);
    add(hex);
  }
  return r.empty() ? "-" : r;
}

// The error-info description the library left for this thread, if any.
inline std::string LastErrorText() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return "no further information";
  BSTR d = nullptr;
  info->GetDescription(&d);
  info->Release();
  return Take(d);
}

// The folder the program (argv[0]) lies in.
inline std::string ProgramFolder(const char* argv0) {
  const std::string self = argv0;
  const size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

// QUELM1.SAM beside the program (argv[0]) unless a path is given.
inline std::string LibraryPath(const char* argv0, int argc, char** argv) {
  if (argc > 1) return argv[1];
  return ProgramFolder(argv0) + "/QUELM1.SAM";
}

// QUELM1.SAM beside the program, else where an install puts it (`fromBin`,
// relative to the program's folder); the first when neither exists, so the
// error names the build tree's path.
inline std::string FindLibrary(const char* argv0, const char* fromBin) {
  const std::string folder = ProgramFolder(argv0);
  for (const std::string& candidate : {folder + "/QUELM1.SAM", folder + "/" + fromBin}) {
    if (std::FILE* f = std::fopen(candidate.c_str(), "rb")) {
      std::fclose(f);
      return candidate;
    }
  }
  return folder + "/QUELM1.SAM";
}

// Loads the library (kept loaded for the life of the program) and makes a new
// sampler; nullptr after printing why not.
inline IKorvoSampler* LoadSampler(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!library) {
    std::fprintf(stderr, "Cannot load %s: %s\n", path.c_str(), dlerror());
    return nullptr;
  }
  auto getSampler = reinterpret_cast<DllGetSamplerObjectProc>(dlsym(library, "DllGetSamplerObject"));
  if (!getSampler) {
    std::fprintf(stderr, "%s has no DllGetSamplerObject\n", path.c_str());
    return nullptr;
  }
  IKorvoSampler* sampler = nullptr;
  getSampler(&sampler);
  if (!sampler) std::fprintf(stderr, "No sampler: %s\n", LastErrorText().c_str());
  return sampler;
}

}  // namespace host
