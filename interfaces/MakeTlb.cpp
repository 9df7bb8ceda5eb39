// Build-time generator: writes the interface type library file QUELM.tlb from
// the interface description, so the file and the library can never disagree.
#include <cstdio>
#include <exception>

#include "interfaces/QUELM_TypeDesc.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: MakeTlb <output file>\n");
    return 2;
  }
  try {
    platform::SaveTypeLibFile(quelm::InterfaceTypeLib(), argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "MakeTlb: %s\n", e.what());
    return 1;
  }
  return 0;
}
