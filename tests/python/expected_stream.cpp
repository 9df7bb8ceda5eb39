// The bytes the virtual sampler sends in a run, on standard output, so the
// Python tests compare a capture with the device model itself, not with
// another host's output.
//
//   quelm_expected_stream MODE DIVISOR ON_ACTIVITY COUNT [BUFFER_SAMPLES [BYTE_ORDER]]
//
// MODE is sole, dual, buffer or timing; ON_ACTIVITY 0 or 1; COUNT the bytes
// wanted (fewer come when the run ends sooner). The inputs carry the default signal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/SimSignal.h"

namespace {

bool Number(const char* text, unsigned long long& value) {
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return *text != '\0' && *end == '\0' && text[0] != '-';
}

int Usage() {
  std::fputs("usage: quelm_expected_stream sole|dual|buffer|timing DIVISOR 0|1 COUNT [BUFFER_SAMPLES [BYTE_ORDER]]\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 7) return Usage();
  sim::StreamSpec spec;
  const std::string mode = argv[1];
  if (mode == "sole") spec.mode = sim::StreamMode::Sole;
  else if (mode == "dual") spec.mode = sim::StreamMode::Dual;
  else if (mode == "buffer") spec.mode = sim::StreamMode::Buffered;
  else if (mode == "timing") spec.mode = sim::StreamMode::Timing;
  else return Usage();
  unsigned long long divisor = 0, onActivity = 0, count = 0, buffer = 0, order = 1234;
  if (!Number(argv[2], divisor) || !Number(argv[3], onActivity) || onActivity > 1 || !Number(argv[4], count))
    return Usage();
  if (argc > 5 && !Number(argv[5], buffer)) return Usage();
  if (argc > 6 && !Number(argv[6], order)) return Usage();
  spec.divisor = static_cast<unsigned>(divisor);
  spec.onActivity = onActivity == 1;
  spec.bufferSamples = static_cast<size_t>(buffer);
  spec.byteOrder = static_cast<WORD>(order);
  const std::vector<BYTE> bytes = sim::ExpectedStream(sim::DefaultSignal(), spec, static_cast<size_t>(count));
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
