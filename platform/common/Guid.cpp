// The string form of GUIDs for the registry, the type library file and hosts.
#include "platform/Guid.h"

#include <cstdio>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hexadecimal digits at text[pos].
bool ReadHex(std::string_view text, size_t pos, int digits, std::uint32_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit(text[pos + static_cast<size_t>(i)]);
    if (d < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(d);
  }
  return true;
}

}  // namespace

namespace platform {

std::string GuidToString(REFGUID g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool TryStringToGuid(std::string_view text, GUID& guid) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-')
    return false;
  GUID g{};
  std::uint32_t v;
  if (!ReadHex(text, 1, 8, v)) return false;
  g.Data1 = v;
  if (!ReadHex(text, 10, 4, v)) return false;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(text, 15, 4, v)) return false;
  g.Data3 = static_cast<std::uint16_t>(v);
  static constexpr size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePos[i], 2, v)) return false;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  guid = g;
  return true;
}

}  // namespace platform
