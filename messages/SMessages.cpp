// The catalogue's built-in English texts; the wording (misspellings included) is
// what hosts and users match on, so it must not be "corrected".
#include "messages/SMessages.h"

#include "platform/Intl.h"

namespace messages {

namespace {

struct Entry {
  Msg id;
  const char* text;
};

constexpr Entry kEntries[] = {
    {Msg::InvalidMode, "E01 - Invalid sampler mode: %d"},
    {Msg::RateTooLow, "E02 - Sampling rate too low: %d"},
    {Msg::RateTooHigh, "E03 - Sampling rate too high: %d"},
    {Msg::RateRejected, "E04 - Hardware reported error while setting rate : %s"},
    {Msg::RateNotSupported, "E05 - Rate %d is not supported in the selected mode"},
    {Msg::CapabilityNotSupported, "E06 - Capability %d is not supported"},
    {Msg::CapabilityNotAvailable, "E07 - Capability %d is not available in this mode"},
    {Msg::CapabilityAccess, "E08 - Capability %d can non be accessed as %s"},
    {Msg::NotAnInteger, "E09 - %s %s"},
    {Msg::InvalidState, "E10 - Invalid Sampler State"},
    {Msg::IndexOutOfBounds, "E11 - Index (%d) out of bounds [%d..%d]"},
    {Msg::UnbindWhileSampling, "E12 - Can not unbound channel - sampling in progress"},
    {Msg::HardwareFatal, "E13 - Hardware has reported unrecoverable error:\r\n%s"},
    {Msg::CommandFailed, "E14 - Command has failed with error:\r\n%s"},
    {Msg::NoChannels, "E15 - No channels available to start sampling"},
    {Msg::InvalidHandle, "E16 - Can not bound channel to invalid handle"},
    {Msg::UnexpectedResponse, "E17 - Unexpected response: %s"},
    {Msg::NotImplemented, "E18 - Capability not implemented"},
    {Msg::DiagnotorNotSupported, "E20 - Diagnotor %d is not supported"},
    {Msg::DiagnotorNotValid, "E21 - Diagnotor %d is not valid"},
    {Msg::TestDataMismatch, "E22 - Test data mismatch"},
    {Msg::NoResponse, "E23 - Hardware did not respond"},
    {Msg::WriteAbandoned, "E24 - Writing to COM port has been abandoned"},
    {Msg::StInactive, "Inactive"},
    {Msg::StHardwareError, "Error accessing hardware"},
    {Msg::StNoHardware, "No hardware detected"},
    {Msg::StUnknownHardware, "Unknown hardware detected"},
    {Msg::StOpen, "Open (max baud rate is %d)"},
    {Msg::StHardwareDiagnostic, "Performing hardware diagnostic"},
    {Msg::StPortDiagnostic, "Performing COM port diagnostic"},
    {Msg::StNoMode, "Operating mode is not specified"},
    {Msg::StNoRate, "Sampling rate is not specified"},
    {Msg::StNoStopMode, "Stop mode is not specified"},
    {Msg::StNoIdleTime, "Idle time is not specified"},
    {Msg::StNoSampleCount, "Sample count is not specified"},
    {Msg::StNoSampleTime, "Sample time is not specified"},
    {Msg::StReady, "Ready to start sampling"},
    {Msg::StSendingCommand, "Sending command to hardware"},
    {Msg::StLastCommandFailed, "Last command failed. %s"},
    {Msg::StStarting, "Starting"},
    {Msg::StWaiting, "Waiting pulses to come"},
    {Msg::StSampling, "Sampling %d"},
    {Msg::StCompleted, "Sampling completed"},
    {Msg::StStopping, "Stopping"},
    {Msg::StSamplingFailed, "Sampling failed. %s"},
    {Msg::Description, "Korvo Sampler on COM port"},
    {Msg::LblModeSole, "Sampling &sole channel"},
    {Msg::LblModeDual, "Sampling &dual channel"},
    {Msg::LblModeTiming, "&Timing sole channel (16-bit)"},
    {Msg::LblModeBuffering, "&Buffering %d samples"},
    {Msg::LblRate, "%d/s"},
    {Msg::LblNsPerBit, "%d ns/bit"},
    {Msg::LblActuatePin, "Actuate pin %s%d on start"},
    {Msg::LblStartImmediately, "Start sampling immediatelly"},
    {Msg::LblStartOnActivity, "Start sampling with activity on input"},
    {Msg::LblStopOnIdle, "Stop sampling after idle period expired"},
    {Msg::LblIdlePeriod, "Idle period (ms):"},
    {Msg::LblStopOnCount, "Stop after number of samples recieved"},
    {Msg::LblSampleCount, "Samples to recieve:"},
    {Msg::LblStopOnTimer, "Stop after sampling timer expired"},
    {Msg::LblSamplingTimer, "Sampling timer (ms):"},
    {Msg::LblCustomCommand, "Excecute custom command"},
    {Msg::LblCommand, "Command:"},
    {Msg::LblTestReceiver, "Test RS232 reciever"},
    {Msg::LblTestReceiverDescription,
     "PIC will send sequence of characters using various baudrates to determine maximal reliable baud rate"},
    {Msg::FrequencyTooLow, "Oscillator frequency %d Hz is too low for sampling"},
    {Msg::RunAlreadyInProgress, "A sampling run is already in progress; stop it before starting another"},
    {Msg::RunInProgress, "A sampling run is in progress; stop it before %s"},
    {Msg::PortNotOpen, "Port is not open"},
    {Msg::BadIdleTime, "Idle period %d ms is not valid: give 0 ms or more"},
    {Msg::BadSampleCount, "Sample count %d is not valid: give 0 samples or more"},
    {Msg::SampleCountTooLarge, "Sample count %d is too large for %d channels"},
    {Msg::BadSampleTime, "Sampling timer %d ms is not valid: give 0 ms or more"},
    {Msg::SampleTimeTooLong, "Sampling timer %d ms is too long for the timing mode at this rate"},
    {Msg::ChannelDetached, "This channel no longer belongs to a channel collection"},
    {Msg::CollectionDetached, "The sampler of this channel collection no longer exists"},
    {Msg::NeedsAdapter, "%s needs a detected sampler: open a port where the hardware answers"},
    {Msg::Undelivered, "%d received bytes could not be delivered: the reader of a channel stopped reading or went away"},
};

static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == static_cast<size_t>(Msg::Count_),
              "every catalogue entry has a text");

constexpr bool InOrder() {
  for (size_t i = 0; i < sizeof(kEntries) / sizeof(kEntries[0]); ++i)
    if (static_cast<size_t>(kEntries[i].id) != i) return false;
  return true;
}
static_assert(InOrder(), "the table is indexed by Msg");

}  // namespace

const char* DefaultText(Msg id) {
  auto i = static_cast<size_t>(id);
  if (i >= static_cast<size_t>(Msg::Count_)) return "";
  return kEntries[i].text;
}

std::string LoadStr(Msg id) { return platform::TranslateText("quelm", DefaultText(id)); }

}  // namespace messages
