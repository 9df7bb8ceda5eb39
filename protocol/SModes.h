// The operating modes: stateless strategy objects that decide, for the adapter
// they are given, rates, start/stop defaults, capability values and the mode command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/SCommon.h"

namespace protocol {

class TSampler;
class TCompatibleSampler;

// Mode numbers exchanged with the host.
constexpr int32_t smNone = 0;
constexpr int32_t smSampleSole = 1;
constexpr int32_t smSampleDual = 2;
constexpr int32_t smMeasureAlias = 4;  // accepted, behaves as smMeasure
constexpr int32_t smMeasure = 5;
constexpr int32_t smSampleBuff = 32769;

// No mode selected; the base of every mode. One constant object per class.
class TSamplerMode {
 public:
  static const TSamplerMode& Instance();
  virtual ~TSamplerMode() = default;
  TSamplerMode(const TSamplerMode&) = delete;
  TSamplerMode& operator=(const TSamplerMode&) = delete;

  // Whether the capability can be used now.
  virtual bool IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const;
  // Reports the selectable rates with their labels.
  virtual void EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const;
  // Applies the mode's defaults right after it became the adapter's mode.
  virtual void Activate(TCompatibleSampler& a) const;
  // Validates a rate that differs from the adapter's Rate and stores it.
  virtual void SetRate(TCompatibleSampler& a, uint32_t rate) const;
  // Whether the start command begins with the rate command.
  virtual bool NeedsRateCommand() const;
  // A capability value as text (empty when it does not apply).
  virtual std::string GetCapabilityText(const TCompatibleSampler& a, LONG id) const;
  // Sets a capability value from text; E09 for a bad number.
  virtual void SetCapabilityText(TCompatibleSampler& a, LONG id, std::string_view text) const;
  // The mode's part of the start command.
  virtual std::string GetModeCommand(const TCompatibleSampler& a) const;

  // The availability rule without a mode; also that of an adapter for unknown hardware.
  static bool NoModeAvailable(const TSampler& a, LONG id);

 protected:
  TSamplerMode() = default;
};

// The modes of the compatible protocol: pins, stop values and the letter command.
class TCompatibleMode : public TSamplerMode {
 public:
  static const TCompatibleMode& Instance();
  bool IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const override;
  std::string GetCapabilityText(const TCompatibleSampler& a, LONG id) const override;
  void SetCapabilityText(TCompatibleSampler& a, LONG id, std::string_view text) const override;
  std::string GetModeCommand(const TCompatibleSampler& a) const override;

 protected:
  TCompatibleMode() = default;
};

// Sampling at a rate set by the divisor of the rate command.
class TSample : public TCompatibleMode {
 public:
  static const TSample& Instance();
  bool IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const override;
  void Activate(TCompatibleSampler& a) const override;
  void SetRate(TCompatibleSampler& a, uint32_t rate) const override;
  bool NeedsRateCommand() const override;

 protected:
  TSample() = default;
  // The divisor rates below what the serial line can carry for that many channels.
  static void EnumLimitedRates(const TCompatibleSampler& a, int channels, const TRateCallback& callback, void* user);
};

// Sole-channel sampling (letter S).
class TSampleSole : public TSample {
 public:
  static const TSampleSole& Instance();
  void EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const override;

 protected:
  TSampleSole() = default;
};

// Dual-channel sampling (letter X).
class TSampleDual : public TSample {
 public:
  static const TSampleDual& Instance();
  void EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const override;

 protected:
  TSampleDual() = default;
};

// Sampling into the hardware's buffer (letter J), stopped by the buffer size.
class TSampleBuff : public TSample {
 public:
  static const TSampleBuff& Instance();
  bool IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const override;
  void EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const override;
  void Activate(TCompatibleSampler& a) const override;

 protected:
  TSampleBuff() = default;
};

// Timing of level changes (letter M) at the instruction clock, stopped by a timer.
class TMeasure : public TCompatibleMode {
 public:
  static const TMeasure& Instance();
  bool IsCapabilityAvailable(const TCompatibleSampler& a, LONG id) const override;
  void EnumRateItems(const TCompatibleSampler& a, const TRateCallback& callback, void* user) const override;
  void Activate(TCompatibleSampler& a) const override;
  void SetRate(TCompatibleSampler& a, uint32_t rate) const override;
  std::string GetCapabilityText(const TCompatibleSampler& a, LONG id) const override;
  void SetCapabilityText(TCompatibleSampler& a, LONG id, std::string_view text) const override;
  std::string GetModeCommand(const TCompatibleSampler& a) const override;

 protected:
  TMeasure() = default;
};

// The lowest oscillator frequency the rate arithmetic can work with (Frequency div 4 > 0).
constexpr uint32_t MinFrequency = 4;
// Raises the frequency error when the adapter's oscillator is too slow for any mode.
void CheckFrequency(const TSampler& a);

}  // namespace protocol
