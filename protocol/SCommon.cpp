// Reply parsing of the compatible protocol: lines, codes, payloads, frequencies,
// and the checked integer conversion used for capability values given as text.
#include "protocol/SCommon.h"

#include <algorithm>
#include <limits>

#include "messages/SMessages.h"

namespace protocol {

namespace {

constexpr int32_t kDefaultFrequency = 10000000;
constexpr int32_t kDefaultByteOrder = 1234;

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// The code of a line whose leading full stop, if any, is already removed.
uint16_t CodeOf(std::string_view s) {
  if (s.empty()) return 0;
  if (s.size() == 1) return static_cast<unsigned char>(s[0]);
  return ResponseCode(s[0], s[1]);
}

int64_t UnitFactor(std::string_view unit) {
  const std::string u = platform::UpperCase(unit);
  if (u == "MHZ" || u == "M") return 1000000;
  if (u == "KHZ" || u == "K") return 1000;
  return 1;
}

}  // namespace

AStrings SplitLines(std::string_view text) {
  AStrings lines;
  const size_t end = std::min(text.find('\0'), text.size());
  size_t i = 0;
  while (i < end) {
    const size_t start = i;
    while (i < end && text[i] != '\r' && text[i] != '\n') ++i;
    if (i > start) lines.emplace_back(text.substr(start, i - start));
    if (i < end && text[i] == '\r') ++i;
    if (i < end && text[i] == '\n') ++i;
  }
  return lines;
}

std::string TextAfterColon(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::string();
  return platform::Trim(line.substr(colon + 1));
}

int32_t ParseFrequency(std::string_view text) {
  size_t split = 0;
  while (split < text.size() && IsDecimalDigit(text[split])) ++split;
  const std::string number = platform::Trim(text.substr(0, split));
  const std::string unit = platform::Trim(text.substr(split));
  LONG n = 0;
  if (!platform::TryStrToInt(number, n)) return kDefaultFrequency;
  // Only digits reach the conversion, so n is not negative; a product beyond
  // 32 bits is as unusable as a number that is no integer.
  const int64_t hz = static_cast<int64_t>(n) * UnitFactor(unit);
  if (hz > std::numeric_limits<int32_t>::max()) return kDefaultFrequency;
  return static_cast<int32_t>(hz);
}

TResponse ParseResponse(std::string_view line) {
  TResponse r;
  r.Line = std::string(line);
  std::string_view s = line;
  if (!s.empty() && s[0] == '.') s.remove_prefix(1);
  r.Code = CodeOf(s);
  switch (r.Code) {
    case rcByteOrder: {
      LONG v = kDefaultByteOrder;
      if (!platform::TryStrToInt(TextAfterColon(s), v)) v = kDefaultByteOrder;
      r.Value = v;
      break;
    }
    case rcCapabilities:
    case rcResult:
      r.Text = TextAfterColon(s);
      break;
    case rcFrequency:
      r.Text = TextAfterColon(s);
      r.Value = ParseFrequency(r.Text);
      break;
    default:
      break;
  }
  return r;
}

bool IsBannerCode(uint16_t code) {
  for (std::string_view name : IdentificationNames)
    if (code == ResponseCode(name[0], name[1])) return true;
  return false;
}

AResponses ParseResponses(const AStrings& lines) {
  AResponses result;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    TResponse r = ParseResponse(line);
    if (!IsBannerCode(r.Code)) result.push_back(std::move(r));
  }
  return result;
}

AResponses ParseResponseText(std::string_view text) { return ParseResponses(SplitLines(text)); }

int32_t StrToIntChecked(std::string_view text) {
  LONG v = 0;
  if (!platform::TryStrToInt(text, v))
    throw ESamplerError(messages::FormatMsg(messages::Msg::NotAnInteger, platform::InvalidIntegerMessage(text), text));
  return v;
}

}  // namespace protocol
