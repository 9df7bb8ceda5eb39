#include "tools/CaptureTrace.h"

#include <algorithm>

namespace capture {

bool Channel::Level(std::uint64_t i) const {
  const auto changes = std::upper_bound(edges.begin(), edges.end(), i) - edges.begin();
  return initial != (changes % 2 == 1);
}

}  // namespace capture

namespace capture {

void Truncate(Trace& trace, std::uint64_t samples) {
  if (samples >= trace.samples) return;
  trace.samples = samples;
  for (Channel& ch : trace.channels)
    ch.edges.erase(std::lower_bound(ch.edges.begin(), ch.edges.end(), samples), ch.edges.end());
}

}  // namespace capture
