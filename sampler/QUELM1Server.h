// The in-process server QUELM1: its own type library of eight coclasses, the
// once-only library initialisation that creates their factories, and registration.
#pragma once

#include <string>
#include <vector>

#include "platform/ComObj.h"
#include "platform/TypeInfo.h"

namespace sampler {

// Type library "QUELM1" (Korvo Sampler Library 1.0, locale 1033) and its coclasses.
const platform::TTypeLibDesc& OwnTypeLib();

class TQuelmServer {
 public:
  // The server, initialised on first use; initialisation runs once whatever its outcome.
  static TQuelmServer& Instance();
  // False while an object, a lock or a handed-out class object of the server lives.
  static bool CanUnload();
  // Frees the server when the library is unloaded, unless something of it still
  // lives (a process ending with objects alive); no call may follow.
  static void Shutdown();

  // S_OK, or the failure of initialisation; ReportFailure sets it as the thread's error info.
  HRESULT InitResult() const { return initResult_; }
  const std::string& InitError() const { return initError_; }
  void ReportFailure() const;

  platform::TComServer& Server() { return server_; }
  // The factory of a coclass by name; null when initialisation failed.
  platform::TAutoObjectFactory* Factory(const std::string& coclass);
  // The factory the outside may reach by class identifier (KorvoSampler only).
  platform::TAutoObjectFactory* PublicFactory(REFCLSID clsid);

  const std::string& LibraryPath() const { return libraryPath_; }

  // Writes / deletes the registry keys of the public class and the type library.
  void Register() const;
  void Unregister() const;

 private:
  TQuelmServer();
  ~TQuelmServer();
  void Initialize();
  bool InUse() const;
  platform::TTypeLibDesc LoadInterfaceTypeLib() const;

  platform::TComServer server_;
  std::vector<platform::TAutoObjectFactory*> factories_;  // live as long as the server
  HRESULT initResult_ = E_UNEXPECTED;
  std::string initError_;
  std::string libraryPath_;
};

}  // namespace sampler
