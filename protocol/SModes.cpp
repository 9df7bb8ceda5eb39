// The operating modes: availability, defaults, rate arithmetic, rate lists,
// capability values as text and the mode's part of the start command.
#include "protocol/SModes.h"

#include <string>

#include "messages/SMessages.h"
#include "protocol/SAdapters.h"

namespace protocol {

using messages::FormatMsg;
using messages::Msg;

namespace {

constexpr int kDivisorCount = 256;

std::string OnText(bool on) { return on ? "ON" : ""; }

// The rate of divisor index i: Frequency div ((i + 1) * 4).
uint32_t DivisorRate(uint32_t frequency, uint32_t i) { return frequency / ((i + 1) * 4); }

// The rate as the host gave it (a signed 32-bit number) for the error texts.
int32_t RateArg(uint32_t rate) { return static_cast<int32_t>(rate); }

bool IsStopId(LONG id) { return id >= SCAP_STOP_ON_IDLE && id <= SCAP_SAMPLING_TIMER; }

}  // namespace

void CheckFrequency(const TSampler& a) {
  if (a.Frequency < MinFrequency)
    throw ESamplerError(FormatMsg(Msg::FrequencyTooLow, static_cast<int32_t>(a.Frequency)));
}

// ---- TSamplerMode ----

const TSamplerMode& TSamplerMode::Instance() {
  static const TSamplerMode instance;
  return instance;
}

bool TSamplerMode::NoModeAvailable(const TSampler& a, LONG id) {
  switch (id) {
    case SCAP_START_IMMEDIATELY:
    case SCAP_START_ON_ACTIVITY:
    case SCAP_STOP_ON_IDLE:
    case SCAP_STOP_ON_COUNT:
    case SCAP_STOP_ON_TIMER:
    case SCAP_CUSTOM_COMMAND: return true;
    case SCAP_COMMAND: return a.Settings.UseCustomCommand;
    default: return false;  // pins and stop values need a mode
  }
}

bool TSamplerMode::IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const {
  return NoModeAvailable(a, id);
}

void TSamplerMode::EnumRateItems(const TCompatibleSampler&, const TRateCallback&, void*) const {}

void TSamplerMode::Activate(TCompatibleSampler&) const {}

void TSamplerMode::SetRate(TCompatibleSampler& a, uint32_t rate) const { a.Rate = rate; }

bool TSamplerMode::NeedsRateCommand() const { return false; }

std::string TSamplerMode::GetCapabilityText(const TCompatibleSampler&, LONG) const { return std::string(); }

void TSamplerMode::SetCapabilityText(TCompatibleSampler&, LONG, std::string_view) const {}

std::string TSamplerMode::GetModeCommand(const TCompatibleSampler&) const { return std::string(); }

// ---- TCompatibleMode ----

const TCompatibleMode& TCompatibleMode::Instance() {
  static const TCompatibleMode instance;
  return instance;
}

bool TCompatibleMode::IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const {
  const TSamplerSettings& s = a.Settings;
  switch (id) {
    case SCAP_IDLE_PERIOD: return s.StopMode == 1;
    case SCAP_SAMPLE_COUNT: return s.StopMode == 2;
    case SCAP_SAMPLING_TIMER: return s.StopMode == 3;
    default:
      if (id >= SCAP_ACTUATE_PIN && id < SCAP_ACTUATE_PIN + 8) return a.IsPinUsable(id);
      return TSamplerMode::IsCapabilityAvailable(a, id);
  }
}

std::string TCompatibleMode::GetCapabilityText(const TCompatibleSampler& a, LONG id) const {
  const TSamplerSettings& s = a.Settings;
  switch (id) {
    case SCAP_START_IMMEDIATELY: return OnText(s.StartMode == 0);
    case SCAP_START_ON_ACTIVITY: return OnText(s.StartMode == 1);
    case SCAP_STOP_ON_IDLE: return OnText(s.StopMode == 1);
    case SCAP_STOP_ON_COUNT: return OnText(s.StopMode == 2);
    case SCAP_STOP_ON_TIMER: return OnText(s.StopMode == 3);
    case SCAP_IDLE_PERIOD: return s.StopMode == 1 ? std::to_string(s.IdleTime) : std::string();
    case SCAP_SAMPLE_COUNT:
      if (s.StopMode == 2) return std::to_string(s.SampleCount);
      // The number of samples the timer allows; the product needs 64 bits.
      if (s.StopMode == 3 && a.Rate > 0) return std::to_string(int64_t{s.SampleTime} * a.Rate / 1000);
      return std::string();
    case SCAP_SAMPLING_TIMER:
      if (s.StopMode == 3) return std::to_string(s.SampleTime);
      // The time the count takes in ms.
      if (s.StopMode == 2 && a.Rate > 0) return std::to_string(int64_t{s.SampleCount} * 1000 / a.Rate);
      return std::string();
    default: return std::string();
  }
}

void TCompatibleMode::SetCapabilityText(TCompatibleSampler& a, LONG id, std::string_view text) const {
  switch (id) {
    case SCAP_START_IMMEDIATELY:
    case SCAP_START_ON_ACTIVITY:
    case SCAP_STOP_ON_IDLE:
    case SCAP_STOP_ON_COUNT:
    case SCAP_STOP_ON_TIMER: a.SetCapabilityBool(id, platform::SameText(text, "ON")); break;
    case SCAP_IDLE_PERIOD: a.Settings.IdleTime = StrToIntChecked(text); break;
    case SCAP_SAMPLE_COUNT: a.Settings.SampleCount = StrToIntChecked(text); break;
    case SCAP_SAMPLING_TIMER: a.Settings.SampleTime = StrToIntChecked(text); break;
    default: break;
  }
}

std::string TCompatibleMode::GetModeCommand(const TCompatibleSampler& a) const {
  if (a.ModeLetter == 0) return std::string();
  return std::string(1, a.ModeLetter) + (a.Settings.StartMode == 1 ? "1" : "0");
}

// ---- TSample ----

const TSample& TSample::Instance() {
  static const TSample instance;
  return instance;
}

bool TSample::IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const {
  if (id == SCAP_START_ON_ACTIVITY) return a.ModeSupportsTrigger();
  return TCompatibleMode::IsCapabilityAvailable(a, id);
}

void TSample::Activate(TCompatibleSampler& a) const {
  a.Settings.StartMode = a.ModeSupportsTrigger() ? 1 : 0;
  a.Settings.StopMode = 1;
  a.SetRate(0);  // the host chooses the rate anew in this mode
}

void TSample::SetRate(TCompatibleSampler& a, uint32_t rate) const {
  if (rate == 0) {
    a.Rate = 0;
    return;
  }
  CheckFrequency(a);
  // In 64 bits: rate * 4 must neither wrap nor become a zero divisor.
  const uint64_t quotient = uint64_t{a.Frequency} / (uint64_t{rate} * 4);
  if (quotient == 0) throw ESamplerError(FormatMsg(Msg::RateTooHigh, RateArg(rate)));
  const uint64_t divisor = quotient - 1;
  if (divisor >= kDivisorCount) throw ESamplerError(FormatMsg(Msg::RateTooLow, RateArg(rate)));
  a.RateDivisor = static_cast<uint8_t>(divisor);
  a.Rate = DivisorRate(a.Frequency, static_cast<uint32_t>(divisor));
}

bool TSample::NeedsRateCommand() const { return true; }

void TSample::EnumLimitedRates(const TCompatibleSampler& a, int channels, const TRateCallback& callback, void* user) {
  int64_t limit = (int64_t{a.BaudRate} / 5) * 4 / channels;
  while (limit > a.Frequency / 20) limit /= 2;
  for (uint32_t i = 0; i < kDivisorCount; ++i) {
    const uint32_t r = DivisorRate(a.Frequency, i);
    if (r < limit) callback(user, FormatMsg(Msg::LblRate, r), static_cast<int32_t>(r));
  }
}

// ---- TSampleSole, TSampleDual ----

const TSampleSole& TSampleSole::Instance() {
  static const TSampleSole instance;
  return instance;
}

void TSampleSole::EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const {
  EnumLimitedRates(a, 1, callback, user);
}

const TSampleDual& TSampleDual::Instance() {
  static const TSampleDual instance;
  return instance;
}

void TSampleDual::EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const {
  EnumLimitedRates(a, 2, callback, user);
}

// ---- TSampleBuff ----

const TSampleBuff& TSampleBuff::Instance() {
  static const TSampleBuff instance;
  return instance;
}

bool TSampleBuff::IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const {
  if (IsStopId(id)) return false;  // the buffer size decides when it stops
  return TSample::IsCapabilityAvailable(a, id);
}

void TSampleBuff::EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const {
  // The line does not limit a buffered run: every divisor is offered.
  for (uint32_t i = 0; i < kDivisorCount; ++i) {
    const uint32_t r = DivisorRate(a.Frequency, i);
    callback(user, FormatMsg(Msg::LblRate, r), static_cast<int32_t>(r));
  }
}

void TSampleBuff::Activate(TCompatibleSampler& a) const {
  TSample::Activate(a);
  a.Settings.StopMode = 2;
  a.Settings.SampleCount = a.GetBufferSize();
  a.SetRate(a.Frequency / 4);
}

// ---- TMeasure ----

const TMeasure& TMeasure::Instance() {
  static const TMeasure instance;
  return instance;
}

bool TMeasure::IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const {
  switch (id) {
    case SCAP_START_ON_ACTIVITY: return a.ModeSupportsTrigger();
    case SCAP_STOP_ON_IDLE: return true;
    case SCAP_STOP_ON_COUNT:
    case SCAP_SAMPLE_COUNT: return false;
    default: return TCompatibleMode::IsCapabilityAvailable(a, id);
  }
}

void TMeasure::EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const {
  const uint32_t rate = a.Frequency / 4;
  if (rate == 0) return;  // no usable clock, no rate
  callback(user, FormatMsg(Msg::LblNsPerBit, static_cast<int32_t>(1000000000u / rate)), static_cast<int32_t>(rate));
}

void TMeasure::Activate(TCompatibleSampler& a) const {
  a.Settings.StartMode = a.ModeSupportsTrigger() ? 1 : 0;
  a.Settings.StopMode = 3;
  a.Settings.IdleTime = 0;
  a.Settings.SampleCount = 0;
  a.Settings.SampleTime = 0;
}

void TMeasure::SetRate(TCompatibleSampler&, uint32_t rate) const {
  // The timing mode runs at the instruction clock only.
  throw ESamplerError(FormatMsg(Msg::RateNotSupported, RateArg(rate)));
}

std::string TMeasure::GetCapabilityText(const TCompatibleSampler& a, LONG id) const {
  if (id == SCAP_STOP_ON_COUNT || id == SCAP_SAMPLE_COUNT) return std::string();
  return TCompatibleMode::GetCapabilityText(a, id);
}

void TMeasure::SetCapabilityText(TCompatibleSampler& a, LONG id, std::string_view text) const {
  if (id == SCAP_STOP_ON_COUNT || id == SCAP_SAMPLE_COUNT) return;
  TCompatibleMode::SetCapabilityText(a, id, text);
}

std::string TMeasure::GetModeCommand(const TCompatibleSampler& a) const {
  // The high nibble carries the best receiver-test step.
  const uint8_t b = static_cast<uint8_t>(((a.BaudIndex * 16) % 256) | (a.Settings.StartMode == 1 ? 1 : 0));
  return "M" + a.ByteToHex(b);
}

}  // namespace protocol
