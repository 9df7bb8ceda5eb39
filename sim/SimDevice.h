// The virtual sampler's firmware: the command state, the data phases and the
// end-of-run handshake, run as the far end of a virtual (or pseudo-terminal) line.
//
// When a data phase runs (our device's rule): a start command (S, X, J, M) is
// answered with a Y4 line whose settings text ends with "dtr=on", so the host
// raises DTR once its reading thread applies those settings. The device streams
// only while DTR is high and never before its reply has gone out and the host
// has had its reply window: DTR rising after the command opens the phase at
// once; DTR that was already high opens it `dtrHeldGuard` after the reply. The
// phase ends when the host drops DTR (quietly, back to command state) or sends
// a break (the device stops, then answers the message handshake). When the
// device ends a run itself (buffer sent, or the profile's run length), it stays
// quiet for `closingQuiet` (a DTR drop then still ends the phase quietly), holds
// a break, waits for the host to raise RTS, sends its message line and waits
// for the CR acknowledgement. A byte from the host before a stream begins
// cancels the start; during a stream the device does not listen.
//
// A pseudo-terminal carries neither breaks nor modem lines (lineSignals false):
// there a stream starts `ptyStartDelay` after the Y4 reply and ends when the
// host purges its receive queue, at the host's next byte (which the device
// then reads as command input) or at the run length, without a break or message.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/VirtualPort.h"
#include "sim/SimProfiles.h"
#include "sim/SimSignal.h"

namespace sim {

struct SimOptions {
  platform::Micros replyDelay = 3000;         // processing time before an answer
  platform::Micros handshakeDelay = 1000;     // host raises RTS -> message line
  platform::Micros breakHold = 3000;          // length of the device's closing break
  platform::Micros closingQuiet = 600000;     // last data byte -> closing break
  platform::Micros handshakeTimeout = 2000000;  // give up waiting for RTS or the CR acknowledgement
  platform::Micros dtrHeldGuard = 100000;     // DTR high before the start: wait past the host's reply window
  bool lineSignals = true;                    // false on a pseudo-terminal
  platform::Micros ptyStartDelay = 150000;    // pseudo-terminal: Y4 reply -> stream
  platform::Micros ptyTestDelay = 70000;      // pseudo-terminal: U reply -> test sequence
  size_t ptyRunLength = 16384;                // pseudo-terminal: bytes per run unless the profile ends sooner
};

// No processing delays, a short closing quiet time: for tests where timing is not the subject.
SimOptions FastOptions();

enum class SimState {
  Command,       // reading commands
  Armed,         // start command answered, waiting for DTR
  Streaming,     // data phase
  Closing,       // run ended by the device, quiet time before the break
  HostBreak,     // the host holds a break
  AwaitRts,      // message handshake: waiting for the host to raise RTS
  AwaitAck,      // message sent, waiting for CR
  ReceiverTest,  // U step answered; sends the test sequence when DTR rises
  Gone,          // unplugged, closed, or nothing attached
};

class SimDevice final : public platform::IVirtualDevice {
 public:
  explicit SimDevice(SimProfile profile, SimOptions options = {});

  // IVirtualDevice (called with the line's lock held)
  void Attach(platform::IVirtualLine& line) override;
  void OnReceive(const BYTE* data, size_t count, platform::Micros at) override;
  void OnHostSettings(const platform::LineSettings& settings, platform::Micros at) override;
  void OnModemLines(bool dtr, bool rts, platform::Micros at) override;
  void OnHostBreak(bool on, platform::Micros at) override;
  void Advance(platform::Micros now) override;
  platform::Micros NextDue(platform::Micros now) const override;
  void OnClose() override;

  // A pseudo-terminal's stand-in for DTR dropping: the host purged its receive
  // queue (it does so at the end of every data phase). Ends a stream quietly.
  void OnHostPurge(platform::Micros at);

  // Faults on demand and inspection, safe from any thread at any time.
  void AddRule(SimReplyRule rule);  // takes precedence over the profile's rules
  void ClearRules();
  void SendNoise(const std::string& bytes);  // raw bytes towards the host, now
  void InjectStreamErrors(size_t afterBytes, DWORD ceBits);
  void InjectStreamBreak(size_t afterBytes, platform::Micros hold);
  // One extra byte framed unlike the data phase after `afterBytes` data bytes: a framing error where it arrives.
  void InjectStreamMisframe(size_t afterBytes);
  void DisappearAfter(size_t streamBytes);
  void Disappear();  // as an unplugged USB adapter: every later host call fails

  SimState State() const;
  BYTE Divisor() const;
  BYTE Pins(char letter) const;  // 'o' or 'O'
  size_t StreamedBytes() const;  // bytes sent in the current or last data phase
  std::vector<std::string> Commands() const;  // every command received, without CR
  const SimProfile& Profile() const { return profile_; }

 private:
  struct Outcome {
    std::string reply;
    std::optional<StreamSpec> run;
    platform::LineSettings framing;
    std::optional<unsigned> testStep;
  };
  enum class FaultKind { Errors, Break, Misframe, Vanish };
  struct StreamFault {
    size_t after;
    FaultKind kind;
    DWORD ceBits;
    platform::Micros hold;
  };

  template <class F>
  auto Locked(F&& f) const;

  void Step(platform::Micros now);
  void Feed(BYTE b, platform::Micros at);
  void CommandByte(BYTE b, platform::Micros at);
  void Execute(const std::string& command, platform::Micros at);
  Outcome Perform(const std::string& command);
  Outcome StartMode(const std::string& command);
  Outcome ReceiverStep(const std::string& command);
  std::optional<SimReplyRule> TakeRule(const std::string& command);
  void SendText(const std::string& text, platform::Micros at);
  void Arm(const Outcome& outcome, platform::Micros at);
  platform::Micros GateTime() const;
  void OpenGate(platform::Micros now);
  void Stream(platform::Micros now);
  void ApplyStreamFaults();
  void SendTestSequence();
  void EndRun(const std::string& message);
  void StartHandshake(const std::string& message, platform::Micros at);
  void ToCommand();
  void Vanish();
  bool HostFramingMatches() const;

  const SimProfile profile_;
  const SimOptions options_;
  mutable std::mutex lifeMutex_;  // guards line_ against OnClose; never held while waiting for the line
  platform::IVirtualLine* line_ = nullptr;

  SimState state_ = SimState::Command;
  std::string input_;
  bool overlong_ = false;
  platform::LineSettings tx_;
  BYTE divisor_ = 0;
  BYTE pinsLower_ = 0, pinsUpper_ = 0;
  std::vector<SimReplyRule> rules_;
  std::vector<std::string> commands_;
  bool dtr_ = false, rts_ = false;
  platform::Micros dtrRoseAt_ = 0;

  // The current data phase or receiver-test step.
  std::optional<StreamGenerator> generator_;
  std::optional<StreamByte> pending_;
  platform::LineSettings runFraming_;
  bool dtrSeenLow_ = false;  // DTR was low after the start command: its rise is the host's go
  platform::Micros replyEnd_ = 0;
  double origin_ = 0;       // micros of tick 0
  double tickMicros_ = 0;
  double byteMicros_ = 0;
  double uartFree_ = 0;     // when the device's UART takes its next byte
  size_t streamed_ = 0;
  size_t runLimit_ = 0;
  unsigned testStep_ = 0;
  bool testSent_ = false;
  std::string endMessage_;
  platform::Micros breakAt_ = 0;
  platform::Micros deadline_ = 0;
  std::vector<StreamFault> streamFaults_;
};

}  // namespace sim
