// The virtual sampler's firmware model; the data-phase rule is described in
// SimDevice.h and docs/SIM.md.
#include "sim/SimDevice.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <thread>

namespace sim {

using platform::LineSettings;
using platform::Micros;

namespace {

constexpr size_t kMaxCommand = 32;
// More bytes than any input queue holds: a host that has not looked for that
// long has lost the rest to overrun anyway, so they are not queued at all.
constexpr size_t kMaxBurst = 65536;
const char* const kEol = "\r\n";

double CharacterMicros(const LineSettings& s) {
  double bits = 1.0 + s.byteSize + (s.parity != NOPARITY ? 1.0 : 0.0) +
                (s.stopBits == TWOSTOPBITS ? 2.0 : s.stopBits == ONE5STOPBITS ? 1.5 : 1.0);
  return s.baudRate == 0 ? 0.0 : bits * 1e6 / s.baudRate;
}

Micros ToMicros(double t) { return t <= 0 ? 0 : static_cast<Micros>(std::ceil(t)); }

std::string QLine(int code, const char* what, const std::string& command) {
  return "Q" + std::to_string(code) + " " + what + ": " + command + kEol;
}

bool RuleMatches(const SimReplyRule& rule, const std::string& command) {
  if (!rule.match.empty() && rule.match.back() == '*')
    return command.compare(0, rule.match.size() - 1, rule.match, 0, rule.match.size() - 1) == 0;
  return rule.match == command;
}

}  // namespace

SimOptions FastOptions() {
  SimOptions o;
  o.replyDelay = 0;
  o.handshakeDelay = 0;
  o.breakHold = 1000;
  o.closingQuiet = 20000;
  return o;
}

SimDevice::SimDevice(SimProfile profile, SimOptions options)
    : profile_(std::move(profile)), options_(options), tx_(profile_.commandSettings), rules_(profile_.rules) {
  if (!profile_.attached) state_ = SimState::Gone;
}

// Runs f with the line's lock (when attached) without ever blocking on it
// while holding lifeMutex_, which OnClose needs under the line's lock.
template <class F>
auto SimDevice::Locked(F&& f) const {
  std::unique_lock<std::mutex> life(lifeMutex_);
  for (;;) {
    if (line_ == nullptr) return f();
    if (line_->Mutex().try_lock()) {
      std::lock_guard<std::recursive_mutex> held(line_->Mutex(), std::adopt_lock);
      return f();
    }
    life.unlock();
    std::this_thread::yield();
    life.lock();
  }
}

// --- the line's callbacks -------------------------------------------------

void SimDevice::Attach(platform::IVirtualLine& line) {
  {
    std::lock_guard<std::mutex> life(lifeMutex_);
    line_ = &line;
  }
  line.SetCts(profile_.attached);
  line.SetDsr(profile_.attached);
  if (state_ == SimState::Gone && profile_.attached) line.Disconnect();  // told to vanish before the open
}

void SimDevice::OnClose() {
  std::lock_guard<std::mutex> life(lifeMutex_);
  line_ = nullptr;
  state_ = SimState::Gone;
}

void SimDevice::OnReceive(const BYTE* data, size_t count, Micros at) {
  if (data == nullptr || line_ == nullptr) return;
  Advance(at);
  for (size_t i = 0; i < count; ++i) Feed(data[i], at);
}

void SimDevice::OnHostSettings(const LineSettings&, Micros) {
  // The device keeps its own settings; a host at other settings is simply misread.
}

void SimDevice::OnModemLines(bool dtr, bool rts, Micros at) {
  if (line_ == nullptr || !options_.lineSignals) return;
  Advance(at);  // what was due before the change still went out
  bool dtrRose = dtr && !dtr_, dtrFell = !dtr && dtr_, rtsRose = rts && !rts_;
  dtr_ = dtr;
  rts_ = rts;
  if (dtrRose) dtrRoseAt_ = at;
  if (dtrFell) dtrSeenLow_ = true;
  if (dtrFell) {
    switch (state_) {
      case SimState::Armed:
      case SimState::Streaming:
      case SimState::Closing:
      case SimState::ReceiverTest:
        ToCommand();
        break;
      default:
        break;
    }
  }
  if (rtsRose && state_ == SimState::AwaitRts) {
    line_->Send(reinterpret_cast<const BYTE*>(endMessage_.data()), endMessage_.size(), tx_,
                at + options_.handshakeDelay);
    state_ = SimState::AwaitAck;
    deadline_ = at + options_.handshakeTimeout;
  }
  Advance(at);
}

void SimDevice::OnHostBreak(bool on, Micros at) {
  if (line_ == nullptr || !options_.lineSignals) return;
  Advance(at);
  if (on) {
    switch (state_) {
      case SimState::Command:
        input_.clear();  // a break resets the receiver
        overlong_ = false;
        break;
      case SimState::Armed:
      case SimState::Streaming:
      case SimState::Closing:
      case SimState::ReceiverTest:
        generator_.reset();
        state_ = SimState::HostBreak;
        break;
      default:
        break;
    }
  } else if (state_ == SimState::HostBreak) {
    StartHandshake("Stopped .", at);
  }
}

void SimDevice::OnHostPurge(Micros at) {
  if (line_ == nullptr) return;
  Advance(at);
  if (state_ == SimState::Armed || state_ == SimState::Streaming || state_ == SimState::ReceiverTest) ToCommand();
}

void SimDevice::Advance(Micros now) {
  if (line_ == nullptr) return;
  for (;;) {  // one state may lead straight to the next (a stream that ends, a break that is due)
    SimState before = state_;
    Step(now);
    if (state_ == before) return;
  }
}

// What Step would act on next, so that a port can sleep through a quiet line.
Micros SimDevice::NextDue(Micros now) const {
  if (line_ == nullptr) return platform::kNoTimeDue;
  switch (state_) {
    case SimState::Armed: {
      const Micros gate = GateTime();
      return gate != 0 ? gate : platform::kNoTimeDue;  // 0: waits for DTR, which the host raises
    }
    case SimState::Streaming:
      // A generator that gave nothing has nothing more (an idle signal).
      if (!pending_) return !generator_ || generator_->Exhausted() ? now : platform::kNoTimeDue;
      return ToMicros(std::max(origin_ + static_cast<double>(pending_->ready) * tickMicros_, uartFree_));
    case SimState::Closing:
      return breakAt_;
    case SimState::AwaitRts:
    case SimState::AwaitAck:
      return deadline_;
    case SimState::ReceiverTest: {
      const Micros gate = GateTime();
      return !testSent_ && gate != 0 ? gate : platform::kNoTimeDue;
    }
    default:
      return platform::kNoTimeDue;
  }
}

void SimDevice::Step(Micros now) {
  switch (state_) {
    case SimState::Armed:
      if (Micros gate = GateTime(); gate != 0 && gate <= now) {
        OpenGate(gate);
        Stream(now);
      }
      break;
    case SimState::Streaming:
      Stream(now);
      break;
    case SimState::Closing:
      if (breakAt_ <= now) {
        line_->SetBreak(true, breakAt_);
        line_->SetBreak(false, breakAt_ + options_.breakHold);
        StartHandshake(endMessage_, breakAt_ + options_.breakHold);
      }
      break;
    case SimState::AwaitRts:
    case SimState::AwaitAck:
      if (deadline_ <= now) ToCommand();
      break;
    case SimState::ReceiverTest:
      if (Micros gate = GateTime(); !testSent_ && gate != 0 && gate <= now) {
        uartFree_ = static_cast<double>(gate);
        SendTestSequence();
      }
      break;
    default:
      break;
  }
}

// --- command state --------------------------------------------------------

void SimDevice::Feed(BYTE b, Micros at) {
  switch (state_) {
    case SimState::Command:
      CommandByte(b, at);
      break;
    case SimState::Armed:
    case SimState::ReceiverTest:
    case SimState::Closing:
    case SimState::AwaitRts:
      if (b == '\n' || b == 0) break;  // the tail of a CR LF, or an idle line
      ToCommand();
      CommandByte(b, at);
      break;
    case SimState::Streaming:
      if (options_.lineSignals) break;  // busy sampling: the device does not listen
      ToCommand();
      CommandByte(b, at);
      break;
    case SimState::AwaitAck: {
      bool ack = b == '\r' && HostFramingMatches();
      ToCommand();
      if (!ack) CommandByte(b, at);
      break;
    }
    case SimState::HostBreak:
    case SimState::Gone:
      break;
  }
}

bool SimDevice::HostFramingMatches() const {
  return !options_.lineSignals || line_->HostSettings() == profile_.commandSettings;
}

void SimDevice::CommandByte(BYTE b, Micros at) {
  if (!HostFramingMatches()) {  // misread at the wrong settings: the firmware drops the command
    input_.clear();
    overlong_ = false;
    return;
  }
  if (b == '\n') return;
  if (b != '\r' && b != ';') {
    if (input_.size() < kMaxCommand)
      input_.push_back(static_cast<char>(b));
    else
      overlong_ = true;
    return;
  }
  std::string command = std::move(input_);
  input_.clear();
  if (overlong_) command += "...";
  overlong_ = false;
  Execute(command, at);
}

std::optional<SimReplyRule> SimDevice::TakeRule(const std::string& command) {
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (!RuleMatches(*it, command)) continue;
    SimReplyRule rule = *it;
    if (it->uses > 0 && --it->uses == 0) rules_.erase(it);
    return rule;
  }
  return std::nullopt;
}

void SimDevice::Execute(const std::string& command, Micros at) {
  commands_.push_back(command);
  std::optional<SimReplyRule> rule = TakeRule(command);
  Micros delay = rule && rule->delayMicros ? *rule->delayMicros : options_.replyDelay;
  std::string noise = rule ? rule->noise : std::string();
  if (rule && rule->reply) {
    std::string text;
    for (const auto& line : *rule->reply) text += line + kEol;
    SendText(noise + text, at + delay);
    return;
  }
  Outcome outcome = Perform(command);
  SendText(noise + outcome.reply, at + delay);
  if (outcome.run || outcome.testStep) Arm(outcome, at);
}

SimDevice::Outcome SimDevice::Perform(const std::string& command) {
  Outcome out;
  if (command.size() > kMaxCommand) {
    out.reply = QLine(2, "Bad parameter", command);
    return out;
  }
  if (command.empty() || command == "?") return out;  // attention: answered with nothing
  const char letter = command[0];
  const std::string arg = command.substr(1);
  const bool listed = profile_.Find(letter) != nullptr;
  BYTE value = 0;
  switch (letter) {
    case 'H':
      out.reply = arg.empty() ? IdentificationReply(profile_) : QLine(2, "Bad parameter", command);
      return out;
    case 'r':
    case 'o':
    case 'O':
      if (!listed) {
        out.reply = QLine(3, "Not supported", command);
      } else if (!HexToByte(arg, profile_.byteOrder, value)) {
        out.reply = QLine(2, "Bad parameter", command);
      } else if (letter == 'r') {
        divisor_ = value;
      } else {
        (letter == 'o' ? pinsLower_ : pinsUpper_) = value & profile_.Find(letter)->param1;
      }
      return out;
    case 'S':
    case 'X':
    case 'J':
    case 'M':
      return StartMode(command);
    case 'U':
      return ReceiverStep(command);
    default:
      out.reply = QLine(1, "Unknown command", command);
      return out;
  }
}

SimDevice::Outcome SimDevice::StartMode(const std::string& command) {
  Outcome out;
  const char letter = command[0];
  const SimCapability* cap = profile_.Find(letter);
  if (cap == nullptr) {
    out.reply = QLine(3, "Not supported", command);
    return out;
  }
  const bool trigger = (cap->param1 & 1) != 0;
  StreamSpec spec;
  spec.divisor = divisor_;
  spec.byteOrder = profile_.byteOrder;
  LineSettings framing = profile_.dataSettings;
  if (letter == 'M') {
    BYTE b = 0;
    const SimCapability* u = profile_.Find('U');
    unsigned highest = u && u->param2 ? *u->param2 : 0;
    if (!HexToByte(command.substr(1), profile_.byteOrder, b) || (b >> 4) > highest) {
      out.reply = QLine(2, "Bad parameter", command);
      return out;
    }
    spec.mode = StreamMode::Timing;
    spec.onActivity = (b & 1) != 0;
    if ((b >> 4) != 0) {
      framing = profile_.commandSettings;
      framing.baudRate = ReceiverStepBaud(b >> 4);
    }
  } else {
    if (command.size() != 2 || (command[1] != '0' && command[1] != '1')) {
      out.reply = QLine(2, "Bad parameter", command);
      return out;
    }
    spec.onActivity = command[1] == '1';
    spec.mode = letter == 'S' ? StreamMode::Sole : letter == 'X' ? StreamMode::Dual : StreamMode::Buffered;
    spec.bufferSamples = static_cast<size_t>(cap->param2.value_or(0)) * 128;
  }
  if (spec.onActivity && !trigger) {
    out.reply = QLine(3, "Not supported", command);
    return out;
  }
  out.reply = "Y4:" + SettingsText(framing) + " dtr=on" + kEol;
  out.run = spec;
  out.framing = framing;
  return out;
}

SimDevice::Outcome SimDevice::ReceiverStep(const std::string& command) {
  Outcome out;
  const SimCapability* u = profile_.Find('U');
  BYTE b = 0;
  if (u == nullptr) {
    out.reply = QLine(3, "Not supported", command);
  } else if (!HexToByte(command.substr(1), profile_.byteOrder, b) || (b >> 4) > u->param2.value_or(0)) {
    out.reply = QLine(2, "Bad parameter", command);
  } else {
    out.framing = profile_.commandSettings;
    out.framing.baudRate = ReceiverStepBaud(b >> 4);
    out.testStep = b >> 4;
    out.reply = "Y4:" + SettingsText(out.framing) + kEol;
  }
  return out;
}

void SimDevice::SendText(const std::string& text, Micros at) {
  if (text.empty()) return;
  line_->Send(reinterpret_cast<const BYTE*>(text.data()), text.size(), tx_, at);
}

// --- data phases ------------------------------------------------------------

void SimDevice::Arm(const Outcome& outcome, Micros at) {
  replyEnd_ = std::max(line_->LineFreeAt(), at);
  dtrSeenLow_ = !dtr_;
  runFraming_ = outcome.framing;
  tx_ = outcome.framing;
  streamed_ = 0;
  pending_.reset();
  input_.clear();
  if (outcome.testStep) {
    generator_.reset();
    testStep_ = *outcome.testStep;
    testSent_ = false;
    state_ = SimState::ReceiverTest;
    return;
  }
  generator_.emplace(profile_.signal, *outcome.run);
  if (profile_.misframeAfter != 0) streamFaults_.push_back({profile_.misframeAfter, FaultKind::Misframe, 0, 0});
  runLimit_ = profile_.runLength;
  if (!options_.lineSignals && !profile_.endlessOnPty && (runLimit_ == 0 || options_.ptyRunLength < runLimit_))
    runLimit_ = options_.ptyRunLength;
  state_ = SimState::Armed;
}

Micros SimDevice::GateTime() const {
  if (!options_.lineSignals)
    return replyEnd_ + (state_ == SimState::ReceiverTest ? options_.ptyTestDelay : options_.ptyStartDelay);
  if (!dtr_) return 0;
  if (dtrSeenLow_) return std::max(dtrRoseAt_, replyEnd_);
  return replyEnd_ + options_.dtrHeldGuard;
}

void SimDevice::OpenGate(Micros gate) {
  state_ = SimState::Streaming;
  origin_ = static_cast<double>(gate);
  uartFree_ = origin_;
  tickMicros_ = 4e6 / std::max<DWORD>(profile_.frequency, 4);
  byteMicros_ = CharacterMicros(runFraming_);
}

void SimDevice::Stream(Micros now) {
  size_t burst = 0;
  while (state_ == SimState::Streaming) {
    if (!pending_) {
      pending_ = generator_->Next();
      if (!pending_) {
        if (generator_->Exhausted()) EndRun("Buffer full .");
        return;  // otherwise waiting for activity that never comes
      }
    }
    double at = std::max(origin_ + static_cast<double>(pending_->ready) * tickMicros_, uartFree_);
    if (at > static_cast<double>(now)) return;
    if (++burst <= kMaxBurst)
      line_->Send(&pending_->value, 1, runFraming_, ToMicros(at));
    else if (burst == kMaxBurst + 1)
      line_->InjectErrors(CE_RXOVER);
    uartFree_ = at + byteMicros_;
    pending_.reset();
    ++streamed_;
    ApplyStreamFaults();
    if (runLimit_ != 0 && streamed_ >= runLimit_ && state_ == SimState::Streaming) EndRun("Run complete .");
  }
}

void SimDevice::ApplyStreamFaults() {
  for (auto it = streamFaults_.begin(); it != streamFaults_.end();) {
    if (it->after != streamed_) {
      ++it;
      continue;
    }
    StreamFault f = *it;
    it = streamFaults_.erase(it);
    switch (f.kind) {
      case FaultKind::Errors:
        line_->InjectErrors(f.ceBits);
        break;
      case FaultKind::Break:
        line_->SetBreak(true, ToMicros(uartFree_));
        line_->SetBreak(false, ToMicros(uartFree_) + f.hold);
        uartFree_ += static_cast<double>(f.hold);  // the stream resumes after the glitch
        break;
      case FaultKind::Misframe: {
        LineSettings wrong = runFraming_;
        wrong.parity = wrong.parity == NOPARITY ? EVENPARITY : NOPARITY;
        const BYTE b = 0x5A;
        line_->Send(&b, 1, wrong, ToMicros(uartFree_));
        uartFree_ += byteMicros_;
        break;
      }
      case FaultKind::Vanish:
        Vanish();
        return;
    }
  }
}

void SimDevice::SendTestSequence() {
  testSent_ = true;
  std::vector<BYTE> bytes = ReceiverTestSequence();
  LineSettings framing = runFraming_;
  if (testStep_ > profile_.bestReceiverStep) {
    if (options_.lineSignals)
      framing.baudRate = framing.baudRate / 10 * 9;  // the device's baud generator misses this rate
    else
      for (size_t i = 2; i < bytes.size(); i += 3) bytes[i] ^= 0x24;  // no framing on a pty: damage the bytes
  }
  line_->Send(bytes.data(), bytes.size(), framing, ToMicros(uartFree_));
}

void SimDevice::EndRun(const std::string& message) {
  generator_.reset();
  if (!options_.lineSignals) {
    ToCommand();
    return;
  }
  state_ = SimState::Closing;
  endMessage_ = message;
  breakAt_ = ToMicros(uartFree_) + profile_.closingQuiet.value_or(options_.closingQuiet);
}

void SimDevice::StartHandshake(const std::string& message, Micros at) {
  tx_ = profile_.commandSettings;
  endMessage_ = message + kEol;
  state_ = SimState::AwaitRts;
  deadline_ = at + options_.handshakeTimeout;
}

void SimDevice::ToCommand() {
  state_ = SimState::Command;
  tx_ = profile_.commandSettings;
  generator_.reset();
  pending_.reset();
}

void SimDevice::Vanish() {
  state_ = SimState::Gone;
  generator_.reset();
  if (line_ != nullptr) line_->Disconnect();
}

// --- faults and inspection --------------------------------------------------

void SimDevice::AddRule(SimReplyRule rule) {
  Locked([&] { rules_.insert(rules_.begin(), std::move(rule)); });
}

void SimDevice::ClearRules() {
  Locked([&] { rules_.clear(); });
}

void SimDevice::SendNoise(const std::string& bytes) {
  Locked([&] {
    if (line_ != nullptr && !bytes.empty())
      line_->Send(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), tx_, line_->Now());
  });
}

void SimDevice::InjectStreamErrors(size_t afterBytes, DWORD ceBits) {
  Locked([&] { streamFaults_.push_back({afterBytes, FaultKind::Errors, ceBits, 0}); });
}

void SimDevice::InjectStreamBreak(size_t afterBytes, Micros hold) {
  Locked([&] { streamFaults_.push_back({afterBytes, FaultKind::Break, 0, hold}); });
}

void SimDevice::InjectStreamMisframe(size_t afterBytes) {
  Locked([&] { streamFaults_.push_back({afterBytes, FaultKind::Misframe, 0, 0}); });
}

void SimDevice::DisappearAfter(size_t streamBytes) {
  Locked([&] { streamFaults_.push_back({streamBytes, FaultKind::Vanish, 0, 0}); });
}

void SimDevice::Disappear() {
  Locked([&] { Vanish(); });
}

SimState SimDevice::State() const {
  return Locked([&] { return state_; });
}

BYTE SimDevice::Divisor() const {
  return Locked([&] { return divisor_; });
}

BYTE SimDevice::Pins(char letter) const {
  return Locked([&] { return letter == 'o' ? pinsLower_ : pinsUpper_; });
}

size_t SimDevice::StreamedBytes() const {
  return Locked([&] { return streamed_; });
}

std::vector<std::string> SimDevice::Commands() const {
  return Locked([&] { return commands_; });
}

}  // namespace sim
