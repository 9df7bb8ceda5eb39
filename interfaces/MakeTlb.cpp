// Build-time generator: writes the interface type library file QUELM.tlb from
// the interface description, so the file and the library can never disagree;
// with --idl, the IDL of both type libraries instead (QUELM.idl, QUELM1.idl),
// which Windows' compilers turn into binary type libraries.
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "interfaces/QUELM_TypeDesc.h"
#include "platform/SysUtils.h"
#include "platform/TypeLibIdl.h"

namespace {

constexpr const char* kIdlHeader =
    "// Written by MakeTlb from the interface description; do not edit.\n"
    "// Regenerate: build/tools-build/MakeTlb --idl interfaces\n\n";

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw platform::Exception("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  const bool idl = argc == 3 && std::string(argv[1]) == "--idl";
  if (argc != 2 && !idl) {
    std::fprintf(stderr, "usage: MakeTlb <output file>\n       MakeTlb --idl <folder>\n");
    return 2;
  }
  try {
    if (!idl) {
      platform::SaveTypeLibFile(quelm::InterfaceTypeLib(), argv[1]);
      return 0;
    }
    const std::string folder = argv[2];
    WriteFile(folder + "/QUELM.idl", kIdlHeader + platform::WriteTypeLibIdl(quelm::InterfaceTypeLib()));
    WriteFile(folder + "/QUELM1.idl", kIdlHeader + platform::WriteTypeLibIdl(quelm::ClassTypeLib(), {"QUELM.idl"}));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "MakeTlb: %s\n", e.what());
    return 1;
  }
  return 0;
}
