// Fuzz target: the capability-list parser and hex digits under each byte
// order, including an unknown one.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/SAdapters.h"

namespace {
void Require(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsCapabilityLetter(uint8_t c) { return (c >= 'G' && c <= 'Z') || (c >= 'g' && c <= 'z'); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace protocol;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TSampler adapter{AStrings{}};
  for (uint16_t order : {1234, 2143, 4321, 7}) {
    adapter.ByteOrder = order;
    const ACapabilityInfo list = adapter.ParseCapabilities(text);
    Require(list.size() <= size);
    for (const TCapabilityInfo& c : list) {
      Require(c.Present == 1);
      Require(IsCapabilityLetter(c.Letter));
      Require(TCapabilityInfo::FromValue(c.ToValue()) == c);
    }
    adapter.HexToByte(text);
    if (size > 0) Require(adapter.ByteToHex(data[0]).size() == (order == 7 ? 0u : 2u));
  }
  return 0;
}
