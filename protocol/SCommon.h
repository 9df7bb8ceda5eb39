// Records shared by the adapters, the sampler object and the port test tool,
// and the parser that turns the device's reply text into response records.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/QUELM_TLB.h"
#include "platform/SysUtils.h"

namespace protocol {

// The lines of a reply.
using AStrings = std::vector<std::string>;

// One parsed reply line.
struct TResponse {
  uint16_t Code = 0;   // first character in the high byte, second in the low byte
  int32_t Value = 0;   // the number of Y1 and Y3, else 0
  std::string Text;    // the payload of Y2, Y3 and Y4, else empty
  std::string Line;    // the line exactly as received
};
using AResponses = std::vector<TResponse>;

// Two-character reply codes.
constexpr uint16_t ResponseCode(char first, char second) {
  return static_cast<uint16_t>((static_cast<unsigned char>(first) << 8) | static_cast<unsigned char>(second));
}
constexpr uint16_t rcByteOrder = ResponseCode('Y', '1');
constexpr uint16_t rcCapabilities = ResponseCode('Y', '2');
constexpr uint16_t rcFrequency = ResponseCode('Y', '3');
constexpr uint16_t rcResult = ResponseCode('Y', '4');

// N followed by a digit: the hardware failed for good; Q followed by a digit: the command failed.
constexpr bool IsHardwareErrorCode(uint16_t code) {
  return code >= ResponseCode('N', '0') && code <= ResponseCode('N', '9');
}
constexpr bool IsCommandErrorCode(uint16_t code) {
  return code >= ResponseCode('Q', '0') && code <= ResponseCode('Q', '9');
}

// One capability letter of the device; also handled as one 32-bit value.
struct TCapabilityInfo {
  uint8_t Letter = 0;
  uint8_t Present = 0;  // 1 when the hardware listed the letter
  uint8_t Param1 = 0;
  uint8_t Param2 = 0;

  // Letter in bits 0-7, Present 8-15, Param1 16-23, Param2 24-31.
  constexpr uint32_t ToValue() const {
    return static_cast<uint32_t>(Letter) | static_cast<uint32_t>(Present) << 8 |
           static_cast<uint32_t>(Param1) << 16 | static_cast<uint32_t>(Param2) << 24;
  }
  static constexpr TCapabilityInfo FromValue(uint32_t v) {
    return TCapabilityInfo{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                           static_cast<uint8_t>(v >> 24)};
  }
  friend constexpr bool operator==(const TCapabilityInfo&, const TCapabilityInfo&) = default;
};
using ACapabilityInfo = std::vector<TCapabilityInfo>;

// Start and stop settings of a sampling run, held by the adapter.
struct TSamplerSettings {
  uint8_t StartMode = 0;  // 0 immediately, 1 on input activity
  uint8_t StopMode = 0;   // 0 none, 1 idle period, 2 sample count, 3 sampling timer
  int32_t IdleTime = 0;     // ms, stop mode 1
  int32_t SampleCount = 0;  // samples, stop mode 2
  int32_t SampleTime = 0;   // ms, stop mode 3
  bool UseCustomCommand = false;  // send CustomCommand instead of the generated start command
  std::string CustomCommand;
};

// The template entry of the output-pin capabilities.
inline const SAMPLERCAPABILITYINFO PinCapabilityTemplate = {nullptr, SCAP_ACTUATE_PIN, 0, 0x201, SCAP_ACTUATE_PIN};

// The system's own failures: a catalogue text, or the device's error line.
class ESamplerError : public platform::Exception {
 public:
  using platform::Exception::Exception;
};

// Enumeration callbacks of the adapter and the modes; the caller's user value
// comes back unchanged as the first argument.
using TRateCallback = std::function<void(void* user, const std::string& label, int32_t rate)>;
using TModeCallback = std::function<void(void* user, const std::string& label, int32_t mode)>;
using TPinCallback =
    std::function<void(void* user, const std::string& label, const SAMPLERCAPABILITYINFO& item, int32_t id)>;
using TDiagnotorCallback = std::function<void(void* user, const std::string& name, const std::string& description,
                                              bool flag, int32_t id)>;

// The identification names, in the order detection tests them.
constexpr std::string_view IdentificationNames[] = {"QUELM", "VOKTAR", "DELMORA", "MIRSOL"};

// The non-empty lines of a text split at CR and/or LF; an embedded NUL ends the text.
AStrings SplitLines(std::string_view text);
// The payload of a Y line: what follows the first colon, trimmed; empty without a colon.
std::string TextAfterColon(std::string_view line);
// A frequency in Hz from a number with an optional unit (MHZ/M, KHZ/K, any case).
// Never fails: a number that is missing, no integer, or does not fit 32 bits
// (before or after the unit) gives the default 10000000.
int32_t ParseFrequency(std::string_view text);
// One reply line as a record; never fails.
TResponse ParseResponse(std::string_view line);
// The records of the lines, without empty lines and identification banners.
AResponses ParseResponses(const AStrings& lines);
// SplitLines then ParseResponses.
AResponses ParseResponseText(std::string_view text);
// Strict decimal conversion; raises E09 with the conversion's message and the text.
int32_t StrToIntChecked(std::string_view text);
// Whether a response code is that of an identification banner line.
bool IsBannerCode(uint16_t code);

}  // namespace protocol
