// The hardware adapters: the base adapter for unknown hardware, the adapter of
// the compatible protocol with its four named kinds, and detection from the identification reply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/SCommon.h"
#include "protocol/SModes.h"

namespace protocol {

// Hardware kinds reported by GetHardwareKind.
constexpr uint8_t hkUnknown = 0;
constexpr uint8_t hkQUELM = 2;
constexpr uint8_t hkVOKTAR = 3;
constexpr uint8_t hkDELMORA = 4;
constexpr uint8_t hkMIRSOL = 5;

// Separator between the parts of a start command.
enum TSeparatorKind : uint8_t {
  skCarriageReturn = 0,  // the command sent to start a run
  skSemicolon = 1,       // the command shown as the default custom command
};

// The adapter for hardware that answered but named no known kind: no modes,
// rates, pins or tests; keeps mode, rate and settings without checks.
class TSampler {
 public:
  // Defaults, and Identity := the first line of 9 or more characters.
  explicit TSampler(const AStrings& lines);
  virtual ~TSampler() = default;
  TSampler(const TSampler&) = delete;
  TSampler& operator=(const TSampler&) = delete;

  // Detection: the adapter that fits the identification reply, nullptr for an
  // empty reply. Raises ESamplerError with the line when the device reports an N error.
  static std::unique_ptr<TSampler> CreateAdapter(std::string_view reply);
  // The reply line that decides the adapter class ("" when none does), for the trace.
  static std::string DecidingLine(std::string_view reply);

  // Selects an operating mode (E01 when the hardware does not offer it).
  virtual void SetMode(int32_t mode);
  // Selects a sampling rate in samples per second (E02, E03, E05 in the modes).
  virtual void SetRate(uint32_t rate);
  // 0 unknown, else one of hkQUELM .. hkMIRSOL.
  virtual uint8_t GetHardwareKind() const;
  // One reply line as a record.
  virtual TResponse ParseResponse(std::string_view line) const;
  // The device's entry for a capability letter; not present when not listed.
  virtual TCapabilityInfo GetCapabilityInfo(char letter) const;
  // The capability list of a Y2 payload, digits read in ByteOrder.
  virtual ACapabilityInfo ParseCapabilities(std::string_view text) const;
  // The configuration state code (259 .. 264, 512).
  virtual uint16_t GetReadiness() const;
  // The records of the lines through this adapter's ParseResponse, without banners.
  virtual AResponses ParseResponses(const AStrings& lines) const;
  // A command to send once the hardware is known (none).
  virtual std::string GetOpenCommand() const;
  // The rate command; embedded: without its trailing CR.
  virtual std::string GetRateCommand(bool embedded) const;
  // Whether a capability can be used in the current mode.
  virtual bool IsCapabilityAvailable(LONG id) const;
  // Whether a capability of the table exists on this hardware.
  virtual bool SupportsCapability(LONG id) const;
  // The on/off state of a capability (false for those without one).
  virtual bool GetCapabilityBool(LONG id) const;
  // Switches a capability on or off.
  virtual void SetCapabilityBool(LONG id, bool value);
  // A capability value as text; empty when it does not apply.
  virtual std::string GetCapabilityText(LONG id);
  // Sets a capability value from text (E09 for a bad number).
  virtual void SetCapabilityText(LONG id, std::string_view text);
  // Report the rates of the current mode, the modes, the pin capabilities and the tests.
  virtual void EnumRateItems(const TRateCallback& callback, void* user) const;
  virtual void EnumModeItems(const TModeCallback& callback, void* user) const;
  virtual void EnumPinCapabilities(const TPinCallback& callback, void* user) const;
  virtual void EnumDiagnotorItems(const TDiagnotorCallback& callback, void* user) const;
  // The whole start command (E18 here).
  virtual std::string BuildStartCommand(TSeparatorKind separator) const;
  // One receiver-test step command (E18 here).
  virtual std::string BuildDiagnotorCommand(uint8_t mask, uint8_t value) const;
  // The Y4 text of a command reply; E13, E14, E17 for other lines (E18 here).
  virtual std::string ParseCommandResponse(std::string_view reply) const;
  // The hardware buffer in samples.
  virtual int32_t GetBufferSize() const;
  // Whether a reply (to the rate command) is no error line.
  virtual bool IsResponseOk(std::string_view reply) const;
  // Read-interval time-out for the serial port in ms.
  virtual int32_t GetReadIntervalTimeout() const;

  // A byte as two hex digits in ByteOrder; empty for an unknown order.
  std::string ByteToHex(uint8_t b) const;
  // Hex digits from the hardware in ByteOrder (low 8 bits; 0 when not hex).
  uint8_t HexToByte(std::string_view text) const;

  std::string Identity;          // the hardware's identification line
  uint32_t Frequency = 10000000; // oscillator in Hz; the instruction clock is Frequency / 4
  uint16_t ByteOrder = 1234;     // 1234, 2143 or 4321
  int32_t BaudRate = 0;          // written by the sampler object
  int32_t Mode = smNone;
  uint32_t Rate = 0;             // samples per second; 0 = none selected
  TSamplerSettings Settings;
  uint8_t BaudIndex = 0;         // best receiver-test step, written by the receiver test
};

// The adapter of the compatible protocol: everything follows from the
// capability letters of the identification reply.
class TCompatibleSampler : public TSampler {
 public:
  // Base defaults, then byte order, capabilities and frequency from the reply;
  // raises ESamplerError with the line of an N error.
  explicit TCompatibleSampler(const AStrings& lines);

  void SetMode(int32_t mode) override;
  void SetRate(uint32_t rate) override;
  TCapabilityInfo GetCapabilityInfo(char letter) const override;
  uint16_t GetReadiness() const override;
  std::string GetOpenCommand() const override;
  std::string GetRateCommand(bool embedded) const override;
  bool IsCapabilityAvailable(LONG id) const override;
  bool SupportsCapability(LONG id) const override;
  bool GetCapabilityBool(LONG id) const override;
  void SetCapabilityBool(LONG id, bool value) override;
  // 201 regenerates CustomCommand while the custom command is off.
  std::string GetCapabilityText(LONG id) override;
  void SetCapabilityText(LONG id, std::string_view text) override;
  void EnumRateItems(const TRateCallback& callback, void* user) const override;
  void EnumModeItems(const TModeCallback& callback, void* user) const override;
  void EnumPinCapabilities(const TPinCallback& callback, void* user) const override;
  void EnumDiagnotorItems(const TDiagnotorCallback& callback, void* user) const override;
  std::string BuildStartCommand(TSeparatorKind separator) const override;
  std::string BuildDiagnotorCommand(uint8_t mask, uint8_t value) const override;
  std::string ParseCommandResponse(std::string_view reply) const override;
  int32_t GetBufferSize() const override;
  bool IsResponseOk(std::string_view reply) const override;
  int32_t GetReadIntervalTimeout() const override;
  // The port designator of the output pins: "", "A".."F" or "GP<hex>".
  virtual std::string GetPinPortName() const;
  // Whether the selected mode can start on input activity.
  virtual bool ModeSupportsTrigger() const;
  // Whether the pin of capability id (80 + n) exists.
  virtual bool IsPinUsable(LONG id) const;

  // Whether the hardware listed the letter.
  bool IsPresent(char letter) const;

  ACapabilityInfo Capabilities;  // in reported order
  char ModeLetter = 0;           // S, X, M, J; 0 before a mode is selected
  const TSamplerMode* ModeClass = &TSamplerMode::Instance();
  char PinLetter = 0;            // 'o', 'O' or 0 (no pins)
  uint8_t RateDivisor = 0;       // sent with the rate command
  uint8_t PinMask = 0;           // bit n: actuate pin n on start

 private:
  void ParseIdentification(const AStrings& lines);
};

// The named kinds: the compatible protocol under the kind number of their banner.
class TQUELMSampler : public TCompatibleSampler {
 public:
  using TCompatibleSampler::TCompatibleSampler;
  uint8_t GetHardwareKind() const override;
};

class TVOKTARSampler : public TCompatibleSampler {
 public:
  using TCompatibleSampler::TCompatibleSampler;
  uint8_t GetHardwareKind() const override;
};

class TDELMORASampler : public TCompatibleSampler {
 public:
  using TCompatibleSampler::TCompatibleSampler;
  uint8_t GetHardwareKind() const override;
};

class TMIRSOLSampler : public TCompatibleSampler {
 public:
  using TCompatibleSampler::TCompatibleSampler;
  uint8_t GetHardwareKind() const override;
};

}  // namespace protocol
