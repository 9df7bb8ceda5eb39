// Fuzz target: the reply parser (lines, codes, payloads, frequencies) on any
// byte sequence, with the invariants every caller relies on.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/SCommon.h"

namespace {
void Require(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace protocol;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  for (const std::string& line : SplitLines(text)) {
    Require(!line.empty());
    Require(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
  }
  for (const TResponse& r : ParseResponseText(text)) {
    Require(!r.Line.empty());
    Require(!IsBannerCode(r.Code));
  }
  const TResponse one = ParseResponse(text);
  Require(one.Line == text);
  Require(ParseFrequency(text) >= 0);
  const std::string payload = TextAfterColon(text);
  Require(payload.size() <= text.size());
  try {
    StrToIntChecked(text);
  } catch (const ESamplerError&) {
  }
  return 0;
}
