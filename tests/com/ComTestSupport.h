// Helpers for the COM layer tests: a private registry file per test, a
// scratch folder, and reading the thread's error info.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/OleAuto.h"
#include "platform/Unknwn.h"
#include "tests/support/TempDir.h"

namespace comtest {

using testsupport::TempDir;

// Points the registry at a file of this test's own.
class PrivateRegistry {
 public:
  PrivateRegistry() : file_(dir_.File("registry.reg")) { setenv("QUELM_REGISTRY", file_.c_str(), 1); }
  ~PrivateRegistry() { unsetenv("QUELM_REGISTRY"); }
  const std::string& File() const { return file_; }
  const TempDir& Dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string file_;
};

struct ErrorInfoText {
  bool present = false;
  std::string description, source;
  GUID guid{};
};

// Takes the calling thread's error info (clearing it).
inline ErrorInfoText TakeErrorInfo() {
  ErrorInfoText r;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return r;
  r.present = true;
  platform::BStr d, s;
  info->GetDescription(d.Out());
  info->GetSource(s.Out());
  info->GetGUID(&r.guid);
  info->Release();
  r.description = d.Str();
  r.source = s.Str();
  return r;
}

inline std::string BinDir() {
  const char* bin = std::getenv("QUELM_BIN");
  return bin ? bin : "build/bin";
}

}  // namespace comtest
