// The adapter base, the compatible-protocol adapter with its named kinds, and
// hardware detection: command texts composed and replies judged, no I/O.
#include "protocol/SAdapters.h"

#include <cassert>

#include "messages/SMessages.h"

namespace protocol {

using messages::FormatMsg;
using messages::LoadStr;
using messages::Msg;

namespace {

constexpr size_t kIdentityMinLength = 9;
constexpr const char kHexDigits[] = "0123456789ABCDEF";

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsCapabilityLetter(char c) { return (c >= 'G' && c <= 'Z') || (c >= 'g' && c <= 'z'); }
bool IsBracket(char c) { return c == '(' || c == ')' || c == '{' || c == '}'; }
bool IsPinId(LONG id) { return id >= SCAP_ACTUATE_PIN && id < SCAP_ACTUATE_PIN + 8; }
uint8_t PinBit(LONG id) { return static_cast<uint8_t>(1u << (id - SCAP_ACTUATE_PIN)); }

// The adapter kind of one identification line: 1 compatible, 2..5 named, 0 none.
int KindOfLine(std::string_view line) {
  if (StartsWith(line, "Y2-C")) return 1;
  int kind = 2;
  for (std::string_view name : IdentificationNames) {
    if (StartsWith(line, name)) return kind;
    ++kind;
  }
  return 0;
}

std::unique_ptr<TSampler> CreateOfKind(int kind, const AStrings& lines) {
  switch (kind) {
    case 1: return std::make_unique<TCompatibleSampler>(lines);
    case 2: return std::make_unique<TQUELMSampler>(lines);
    case 3: return std::make_unique<TVOKTARSampler>(lines);
    case 4: return std::make_unique<TDELMORASampler>(lines);
    case 5: return std::make_unique<TMIRSOLSampler>(lines);
    default: return std::make_unique<TSampler>(lines);
  }
}

char LetterOfMode(int32_t mode) {
  switch (mode) {
    case smSampleSole: return 'S';
    case smSampleDual: return 'X';
    case smMeasureAlias:
    case smMeasure: return 'M';
    case smSampleBuff: return 'J';
    default: return 0;
  }
}

const TSamplerMode& ClassOfLetter(char letter) {
  switch (letter) {
    case 'S': return TSampleSole::Instance();
    case 'X': return TSampleDual::Instance();
    case 'M': return TMeasure::Instance();
    case 'J': return TSampleBuff::Instance();
    default: return TSamplerMode::Instance();
  }
}

// The capability-list parser's working state.
struct TCapabilityScan {
  int level = 0;
  std::string digits[2];  // Param1 and Param2; deeper levels are never used
  bool started = false;
  TCapabilityInfo current;
};

}  // namespace

// ---- TSampler ----

TSampler::TSampler(const AStrings& lines) {
  for (const std::string& line : lines) {
    if (line.size() >= kIdentityMinLength) {
      Identity = line;
      break;
    }
  }
}

std::unique_ptr<TSampler> TSampler::CreateAdapter(std::string_view reply) {
  if (reply.empty()) return nullptr;
  const AStrings lines = SplitLines(reply);
  int kind = 0;
  for (const std::string& line : lines) {
    kind = KindOfLine(line);
    if (kind != 0) break;
  }
  return CreateOfKind(kind, lines);
}

std::string TSampler::DecidingLine(std::string_view reply) {
  for (const std::string& line : SplitLines(reply))
    if (KindOfLine(line) != 0) return line;
  return std::string();
}

void TSampler::SetMode(int32_t mode) { Mode = mode; }

void TSampler::SetRate(uint32_t rate) { Rate = rate; }

uint8_t TSampler::GetHardwareKind() const { return hkUnknown; }

TResponse TSampler::ParseResponse(std::string_view line) const { return protocol::ParseResponse(line); }

TCapabilityInfo TSampler::GetCapabilityInfo(char letter) const {
  return TCapabilityInfo{static_cast<uint8_t>(letter), 0, 0, 0};
}

ACapabilityInfo TSampler::ParseCapabilities(std::string_view text) const {
  ACapabilityInfo result;
  TCapabilityScan scan;
  auto finish = [&] {
    if (!scan.started) return;
    scan.current.Param1 = HexToByte(scan.digits[0]);
    scan.current.Param2 = HexToByte(scan.digits[1]);
    scan.current.Present = 1;
    result.push_back(scan.current);
    scan.digits[0].clear();
    scan.digits[1].clear();
    scan.level = 0;
  };
  for (char c : text) {
    if (IsBracket(c)) {
      if (scan.level < 3) ++scan.level;
    } else if (HexValue(c) >= 0) {
      if (scan.level < 2) scan.digits[scan.level] += c;
    } else if (IsCapabilityLetter(c)) {
      finish();
      scan.started = true;
      scan.current = TCapabilityInfo{static_cast<uint8_t>(c), 0, 0, 0};
    }
  }
  finish();
  return result;
}

uint16_t TSampler::GetReadiness() const { return SST_READY; }

AResponses TSampler::ParseResponses(const AStrings& lines) const {
  AResponses result;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    TResponse r = ParseResponse(line);
    if (!IsBannerCode(r.Code)) result.push_back(std::move(r));
  }
  return result;
}

std::string TSampler::GetOpenCommand() const { return std::string(); }

std::string TSampler::GetRateCommand(bool) const { return std::string(); }

bool TSampler::IsCapabilityAvailable(LONG id) const { return TSamplerMode::NoModeAvailable(*this, id); }

bool TSampler::SupportsCapability(LONG) const { return true; }

bool TSampler::GetCapabilityBool(LONG id) const {
  switch (id) {
    case SCAP_START_IMMEDIATELY: return Settings.StartMode == 0;
    case SCAP_START_ON_ACTIVITY: return Settings.StartMode == 1;
    case SCAP_STOP_ON_IDLE: return Settings.StopMode == 1;
    case SCAP_STOP_ON_COUNT: return Settings.StopMode == 2;
    case SCAP_STOP_ON_TIMER: return Settings.StopMode == 3;
    case SCAP_CUSTOM_COMMAND: return Settings.UseCustomCommand;
    default: return false;
  }
}

void TSampler::SetCapabilityBool(LONG id, bool value) {
  switch (id) {
    case SCAP_START_IMMEDIATELY: Settings.StartMode = value ? 0 : 1; break;
    case SCAP_START_ON_ACTIVITY: Settings.StartMode = value ? 1 : 0; break;
    // Clearing any stop option leaves no stop mode, whichever was selected.
    case SCAP_STOP_ON_IDLE: Settings.StopMode = value ? 1 : 0; break;
    case SCAP_STOP_ON_COUNT: Settings.StopMode = value ? 2 : 0; break;
    case SCAP_STOP_ON_TIMER: Settings.StopMode = value ? 3 : 0; break;
    case SCAP_CUSTOM_COMMAND: Settings.UseCustomCommand = value; break;
    default: break;
  }
}

std::string TSampler::GetCapabilityText(LONG) { return std::string(); }

void TSampler::SetCapabilityText(LONG, std::string_view) {}

void TSampler::EnumRateItems(const TRateCallback&, void*) const {}
void TSampler::EnumModeItems(const TModeCallback&, void*) const {}
void TSampler::EnumPinCapabilities(const TPinCallback&, void*) const {}
void TSampler::EnumDiagnotorItems(const TDiagnotorCallback&, void*) const {}

std::string TSampler::BuildStartCommand(TSeparatorKind) const { throw ESamplerError(LoadStr(Msg::NotImplemented)); }

std::string TSampler::BuildDiagnotorCommand(uint8_t, uint8_t) const {
  throw ESamplerError(LoadStr(Msg::NotImplemented));
}

std::string TSampler::ParseCommandResponse(std::string_view) const {
  throw ESamplerError(LoadStr(Msg::NotImplemented));
}

int32_t TSampler::GetBufferSize() const { return 0; }

bool TSampler::IsResponseOk(std::string_view) const { return false; }

int32_t TSampler::GetReadIntervalTimeout() const { return 0; }

std::string TSampler::ByteToHex(uint8_t b) const {
  const char high = kHexDigits[b >> 4];
  const char low = kHexDigits[b & 0x0F];
  switch (ByteOrder) {
    case 1234: return std::string{low, high};
    case 2143:
    case 4321: return std::string{high, low};
    default: return std::string();
  }
}

uint8_t TSampler::HexToByte(std::string_view text) const {
  unsigned v = 0;
  for (char c : text) {
    const int d = HexValue(c);
    if (d < 0) return 0;
    v = ((v << 4) | static_cast<unsigned>(d)) & 0xFFu;  // only the low 8 bits count
  }
  if (v > 15 && ByteOrder == 1234) v = ((v & 0x0Fu) << 4) | (v >> 4);
  return static_cast<uint8_t>(v);
}

// ---- TCompatibleSampler ----

TCompatibleSampler::TCompatibleSampler(const AStrings& lines) : TSampler(lines) { ParseIdentification(lines); }

void TCompatibleSampler::ParseIdentification(const AStrings& lines) {
  std::string capabilityText;
  for (const TResponse& r : ParseResponses(lines)) {
    if (r.Code >= ResponseCode('N', '\0') && r.Code <= ResponseCode('N', '9')) throw ESamplerError(r.Line);
    switch (r.Code) {
      case rcByteOrder: ByteOrder = static_cast<uint16_t>(r.Value); break;  // low 16 bits
      case rcCapabilities: capabilityText = r.Text; break;
      case rcFrequency: Frequency = static_cast<uint32_t>(r.Value); break;
      default: break;  // Q lines and anything else are tolerated
    }
  }
  // After all lines, so that a Y1 anywhere governs how the digits are read.
  Capabilities = ParseCapabilities(capabilityText);
  if (IsPresent('o'))
    PinLetter = 'o';
  else if (IsPresent('O'))
    PinLetter = 'O';
}

bool TCompatibleSampler::IsPresent(char letter) const { return GetCapabilityInfo(letter).Present != 0; }

void TCompatibleSampler::SetMode(int32_t mode) {
  const char letter = LetterOfMode(mode);
  if (letter == 0 || !IsPresent(letter)) throw ESamplerError(FormatMsg(Msg::InvalidMode, mode));
  CheckFrequency(*this);
  // The rate goes through the previous mode's class; done before anything else
  // changes so that a refusal leaves the adapter as it was.
  if (letter == 'J' || letter == 'M') SetRate(Frequency / 4);
  ModeLetter = letter;
  ModeClass = &ClassOfLetter(letter);
  ModeClass->Activate(*this);
  Mode = mode;
}

void TCompatibleSampler::SetRate(uint32_t rate) {
  assert(ModeClass != nullptr);
  if (rate != Rate) ModeClass->SetRate(*this, rate);
}

TCapabilityInfo TCompatibleSampler::GetCapabilityInfo(char letter) const {
  for (const TCapabilityInfo& c : Capabilities)
    if (c.Letter == static_cast<uint8_t>(letter)) return c;
  return TSampler::GetCapabilityInfo(letter);
}

uint16_t TCompatibleSampler::GetReadiness() const {
  if (Mode == smNone) return SST_NO_MODE;
  if (Rate == 0) return SST_NO_RATE;
  switch (Settings.StopMode) {
    case 1: return Settings.IdleTime == 0 ? SST_NO_IDLE_TIME : SST_READY;
    case 2: return Settings.SampleCount == 0 ? SST_NO_SAMPLE_COUNT : SST_READY;
    case 3: return Settings.SampleTime == 0 ? SST_NO_SAMPLE_TIME : SST_READY;
    default: return SST_NO_STOP_MODE;
  }
}

std::string TCompatibleSampler::GetOpenCommand() const { return std::string(); }

std::string TCompatibleSampler::GetRateCommand(bool embedded) const {
  std::string cmd;
  if (IsPresent('r')) cmd = "r" + ByteToHex(RateDivisor);
  // Without "r" the stand-alone command is a lone CR, which the device ignores.
  if (!embedded) cmd += '\r';
  return cmd;
}

bool TCompatibleSampler::IsCapabilityAvailable(LONG id) const { return ModeClass->IsCapabilityAvailable(*this, id); }

bool TCompatibleSampler::SupportsCapability(LONG) const { return true; }

bool TCompatibleSampler::GetCapabilityBool(LONG id) const {
  if (IsPinId(id)) return (PinMask & PinBit(id)) != 0;
  return TSampler::GetCapabilityBool(id);
}

void TCompatibleSampler::SetCapabilityBool(LONG id, bool value) {
  if (!IsPinId(id)) return TSampler::SetCapabilityBool(id, value);
  if (value)
    PinMask = static_cast<uint8_t>(PinMask | PinBit(id));
  else
    PinMask = static_cast<uint8_t>(PinMask & ~PinBit(id));
}

std::string TCompatibleSampler::GetCapabilityText(LONG id) {
  if (IsPinId(id)) return (PinMask & PinBit(id)) ? "ON" : "";
  if (id == SCAP_CUSTOM_COMMAND) return Settings.UseCustomCommand ? "ON" : "";
  if (id == SCAP_COMMAND) {
    // Shows the command the current settings would send.
    if (!Settings.UseCustomCommand) Settings.CustomCommand = BuildStartCommand(skSemicolon);
    return Settings.CustomCommand;
  }
  return ModeClass->GetCapabilityText(*this, id);
}

void TCompatibleSampler::SetCapabilityText(LONG id, std::string_view text) {
  if (IsPinId(id) || id == SCAP_CUSTOM_COMMAND) return SetCapabilityBool(id, platform::SameText(text, "ON"));
  if (id == SCAP_COMMAND) {
    Settings.UseCustomCommand = !text.empty();
    Settings.CustomCommand = std::string(text);
    return;
  }
  ModeClass->SetCapabilityText(*this, id, text);
}

void TCompatibleSampler::EnumRateItems(const TRateCallback& callback, void* user) const {
  if (callback) ModeClass->EnumRateItems(*this, callback, user);
}

void TCompatibleSampler::EnumModeItems(const TModeCallback& callback, void* user) const {
  if (!callback) return;
  if (IsPresent('S')) callback(user, LoadStr(Msg::LblModeSole), smSampleSole);
  if (IsPresent('X')) callback(user, LoadStr(Msg::LblModeDual), smSampleDual);
  if (IsPresent('M')) callback(user, LoadStr(Msg::LblModeTiming), smMeasure);
  if (IsPresent('J')) callback(user, FormatMsg(Msg::LblModeBuffering, GetBufferSize()), smSampleBuff);
}

void TCompatibleSampler::EnumPinCapabilities(const TPinCallback& callback, void* user) const {
  if (!callback || PinLetter == 0) return;
  const TCapabilityInfo pins = GetCapabilityInfo(PinLetter);
  if (!pins.Present) return;
  const std::string port = GetPinPortName();
  for (int n = 0; n < 8; ++n)
    if (pins.Param1 & (1u << n))
      callback(user, FormatMsg(Msg::LblActuatePin, port, n), PinCapabilityTemplate, SCAP_ACTUATE_PIN + n);
}

void TCompatibleSampler::EnumDiagnotorItems(const TDiagnotorCallback& callback, void* user) const {
  if (callback && IsPresent('U'))
    callback(user, LoadStr(Msg::LblTestReceiver), LoadStr(Msg::LblTestReceiverDescription), true,
             SDIAG_RS232_RECEIVER);
}

std::string TCompatibleSampler::BuildStartCommand(TSeparatorKind separator) const {
  const char* sep = separator == skSemicolon ? ";" : "\r";
  std::string cmd;
  auto append = [&](const std::string& part) {
    if (!part.empty()) cmd += part + sep;
  };
  if (ModeClass->NeedsRateCommand()) append(platform::Trim(GetRateCommand(true)));
  if (PinLetter != 0 && IsPresent(PinLetter) && PinMask != 0) append(PinLetter + ByteToHex(PinMask));
  append(ModeClass->GetModeCommand(*this));
  return cmd;
}

std::string TCompatibleSampler::BuildDiagnotorCommand(uint8_t mask, uint8_t value) const {
  const uint8_t b = static_cast<uint8_t>((GetCapabilityInfo('U').Param1 & mask) | ((value * 16) & 0xFF));
  return "U" + ByteToHex(b) + "\r";
}

std::string TCompatibleSampler::ParseCommandResponse(std::string_view reply) const {
  std::string result;
  for (const TResponse& r : ParseResponses(SplitLines(reply))) {
    if (r.Code == rcResult)
      result = r.Text;  // the last Y4 wins
    else if (IsHardwareErrorCode(r.Code))
      throw ESamplerError(FormatMsg(Msg::HardwareFatal, r.Line));
    else if (IsCommandErrorCode(r.Code))
      throw ESamplerError(FormatMsg(Msg::CommandFailed, r.Line));
    else
      throw ESamplerError(FormatMsg(Msg::UnexpectedResponse, reply));
  }
  return result;
}

int32_t TCompatibleSampler::GetBufferSize() const {
  const TCapabilityInfo j = GetCapabilityInfo('J');
  return j.Present ? j.Param2 * 128 : 0;
}

bool TCompatibleSampler::IsResponseOk(std::string_view reply) const {
  const uint16_t code = ParseResponse(platform::Trim(reply)).Code;
  return !(code == ResponseCode('N', '\0') || IsHardwareErrorCode(code) || code == ResponseCode('Q', '\0') ||
           IsCommandErrorCode(code));
}

// A pause this long between two bytes ends a read of a reply.
int32_t TCompatibleSampler::GetReadIntervalTimeout() const { return 10; }

std::string TCompatibleSampler::GetPinPortName() const {
  if (PinLetter == 0) return std::string();
  const TCapabilityInfo pins = GetCapabilityInfo(PinLetter);
  if (!pins.Present || pins.Param2 == 0) return std::string();
  if (pins.Param2 >= 10 && pins.Param2 <= 15) return std::string(1, kHexDigits[pins.Param2]);
  return platform::Format("GP%x", static_cast<unsigned>(pins.Param2));
}

bool TCompatibleSampler::ModeSupportsTrigger() const {
  if (ModeLetter == 0) return false;
  const TCapabilityInfo mode = GetCapabilityInfo(ModeLetter);
  return mode.Present && (mode.Param1 & 1) != 0;
}

bool TCompatibleSampler::IsPinUsable(LONG id) const {
  if (!IsPinId(id) || PinLetter == 0) return false;
  return (GetCapabilityInfo(PinLetter).Param1 & PinBit(id)) != 0;
}

// ---- the named kinds ----

uint8_t TQUELMSampler::GetHardwareKind() const { return hkQUELM; }
uint8_t TVOKTARSampler::GetHardwareKind() const { return hkVOKTAR; }
uint8_t TDELMORASampler::GetHardwareKind() const { return hkDELMORA; }
uint8_t TMIRSOLSampler::GetHardwareKind() const { return hkMIRSOL; }

}  // namespace protocol
