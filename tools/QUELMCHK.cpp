// QUELMCHK: sends one command to a serial device, shows its reply and copies
// a following data stream to standard output; the virtual samplers are built in.
#include <string>
#include <vector>

#include "platform/Console.h"
#include "sim/VirtualSamplers.h"
#include "tools/ComTest.h"
#include "platform/Trace.h"

int main(int argc, char** argv) {
  platform::ReserveStandardHandles();
  try {
    sim::InstallVirtualSamplers();
  } catch (...) {
    // Without the virtual samplers real ports still work.
    platform::TraceDropped("installing the virtual samplers");
  }
  std::vector<std::string> arguments;
  try {
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  } catch (...) {
    return tools::ecFailure;  // no memory for the arguments
  }
  return tools::RunProgram(arguments);
}
