#include "tools/CaptureTrace.h"

#include <algorithm>

namespace capture {

bool Channel::Level(std::uint64_t i) const {
  const auto changes = std::upper_bound(edges.begin(), edges.end(), i) - edges.begin();
  return initial != (changes % 2 == 1);
}

}  // namespace capture
