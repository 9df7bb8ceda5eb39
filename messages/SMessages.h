// The message catalogue: every error, status and label text of the library,
// named symbolically, loaded at the moment of use and formatted printf-style.
#pragma once

#include <string>

#include "platform/SysUtils.h"

namespace messages {

enum class Msg {
  // Errors
  InvalidMode,            // E01 %d mode
  RateTooLow,             // E02 %d rate
  RateTooHigh,            // E03 %d rate
  RateRejected,           // E04 %s hardware text
  RateNotSupported,       // E05 %d rate
  CapabilityNotSupported, // E06 %d id
  CapabilityNotAvailable, // E07 %d id
  CapabilityAccess,       // E08 %d id, %s "BOOL"/"LONG"
  NotAnInteger,           // E09 %s conversion message, %s text
  InvalidState,           // E10
  IndexOutOfBounds,       // E11 %d index, %d low, %d high
  UnbindWhileSampling,    // E12
  HardwareFatal,          // E13 %s line
  CommandFailed,          // E14 %s line
  NoChannels,             // E15
  InvalidHandle,          // E16
  UnexpectedResponse,     // E17 %s reply
  NotImplemented,         // E18
  DiagnotorNotSupported,  // E20 %d id
  DiagnotorNotValid,      // E21 %d id
  TestDataMismatch,       // E22
  NoResponse,             // E23
  WriteAbandoned,         // E24
  // Status texts
  StInactive,
  StHardwareError,
  StNoHardware,
  StUnknownHardware,
  StOpen,                 // %d baud rate
  StHardwareDiagnostic,
  StPortDiagnostic,
  StNoMode,
  StNoRate,
  StNoStopMode,
  StNoIdleTime,
  StNoSampleCount,
  StNoSampleTime,
  StReady,
  StSendingCommand,
  StLastCommandFailed,    // %s text
  StStarting,
  StWaiting,
  StSampling,             // %d bytes
  StCompleted,
  StStopping,
  StSamplingFailed,       // %s text
  Description,
  // Display labels
  LblModeSole,
  LblModeDual,
  LblModeTiming,
  LblModeBuffering,       // %d samples
  LblRate,                // %d
  LblNsPerBit,            // %d
  LblActuatePin,          // %s port name, %d pin
  LblStartImmediately,
  LblStartOnActivity,
  LblStopOnIdle,
  LblIdlePeriod,
  LblStopOnCount,
  LblSampleCount,
  LblStopOnTimer,
  LblSamplingTimer,
  LblCustomCommand,
  LblCommand,
  LblTestReceiver,
  LblTestReceiverDescription,
  // Errors without a code of their own
  FrequencyTooLow,        // %d oscillator frequency in Hz
  RunAlreadyInProgress,
  RunInProgress,          // %s what the caller wanted to do
  PortNotOpen,
  BadIdleTime,            // %d ms
  BadSampleCount,         // %d samples
  SampleCountTooLarge,    // %d samples, %d channels
  BadSampleTime,          // %d ms
  SampleTimeTooLong,      // %d ms
  ChannelDetached,
  CollectionDetached,
  NeedsAdapter,           // %s operation
  Undelivered,            // %d bytes
  Count_
};

// The entry's text in the current language (through gettext's "quelm" domain
// when a translation is installed, else the built-in English text).
std::string LoadStr(Msg id);

// The entry formatted with exactly its listed arguments.
template <typename... Args>
std::string FormatMsg(Msg id, const Args&... args) {
  return platform::Format(LoadStr(id), args...);
}

// The built-in (untranslated) text, for tests that check the wording.
const char* DefaultText(Msg id);

}  // namespace messages
