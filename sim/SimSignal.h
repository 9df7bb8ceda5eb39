// The virtual sampler's input signals and the data stream each mode makes of them.
// Everything here is deterministic, so a test can predict every byte of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace sim {

// Time on the device counts instruction cycles (Frequency / 4); tick 0 is the
// moment the data phase opens.
using Ticks = std::uint64_t;

// One digital input: `initial` until `lead` ticks, then the level toggles at
// `lead` and after each of `intervals` in turn (repeating when `repeat`).
// Without intervals the input toggles once at `lead`, or never when `lead` is 0.
struct InputPattern {
  bool initial = false;
  Ticks lead = 0;
  std::vector<Ticks> intervals;
  bool repeat = true;

  bool Level(Ticks t) const;
  // The first level change at or after t, if there is one.
  std::optional<Ticks> EdgeAtOrAfter(Ticks t) const;
};

struct SignalSource {
  InputPattern input[2];
};

// A pulse train on each input with an idle lead-in: both inputs start low.
SignalSource DefaultSignal();
// Both inputs stay low for ever: "start on activity" never fires.
SignalSource IdleSignal();

// The instruction clock of the 20 MHz profiles (Frequency / 4).
constexpr DWORD kDefaultTickRate = 5000000;

// A serial line carrying `bytes` as 8N1 frames (LSB first, idle high) at `baud`,
// then idle for `gapTicks`, over and over. Bit k of a frame begins
// round(k * tickRate / baud) ticks after its start bit, so the bit clock does
// not drift at rates that do not divide the tick rate. The first start bit
// comes after `gapTicks` of idle; set `lead` to move it.
InputPattern UartPattern(const std::string& bytes, unsigned baud, DWORD tickRate, Ticks gapTicks);
// An infrared remote's NEC frame as a receiver module outputs it (idle high,
// bursts low): 9 ms leader burst, 4.5 ms space, the 32 bits address, ~address,
// command, ~command LSB first (562.5 us burst, then 562.5 us space for 0 or
// 1687.5 us for 1), a closing burst, then idle for `gapTicks`, over and over.
// The first leader comes after `gapTicks` (> 0) of idle; set `lead` to move it.
InputPattern NecPattern(BYTE address, BYTE command, DWORD tickRate, Ticks gapTicks);

// Signals for decoders made for other devices; `tickRate` is the device's
// instruction clock, so the times hold on any oscillator.
// Input 0: "QUELM 9600 8N1\r\n" at 9600 baud, again 2 ms after its last stop bit,
// the first start bit 3 ms in; input 1: the default pulse train.
SignalSource UartSignal(DWORD tickRate = kDefaultTickRate);
// Input 0: a NEC frame, address 0x59 command 0x16, 42 ms of idle after each
// (one every 110.06 ms), the first leader 5 ms in; input 1: the default pulse train.
SignalSource NecSignal(DWORD tickRate = kDefaultTickRate);

enum class StreamMode { Sole, Dual, Buffered, Timing };

struct StreamSpec {
  StreamMode mode = StreamMode::Sole;
  unsigned divisor = 0;          // samples are divisor + 1 ticks apart (sampling modes)
  bool onActivity = false;       // wait for the first edge before sampling/timing
  size_t bufferSamples = 0;      // Buffered: samples held by the device
  WORD byteOrder = 1234;         // Timing: 1234 sends a count low byte first, others high byte first
};

struct StreamByte {
  BYTE value;
  Ticks ready;  // tick at which the device has the byte ready to send
};

// Produces a mode's bytes in order. Sole: 8 samples of input 0 per byte, the
// earliest in bit 7. Dual: bytes alternate between input 0 and input 1, each
// holding 8 samples of its input taken at the same ticks. Buffered: the buffer
// of input-0 samples packed as in Sole, all ready when the buffer is full.
// Timing: a 16-bit count of ticks per level change of input 0; a count that
// reaches 65536 without a change sends 0x0000 and goes on counting.
class StreamGenerator {
 public:
  StreamGenerator(const SignalSource& signal, const StreamSpec& spec);
  // nullopt: no byte will ever follow (buffer sent, or no activity to start on).
  std::optional<StreamByte> Next();
  // The run ended by itself (the buffer has been sent in full).
  bool Exhausted() const { return exhausted_; }

 private:
  std::optional<StreamByte> NextSampled();
  std::optional<StreamByte> NextTimed();
  BYTE Pack(int input, std::uint64_t firstSample) const;
  Ticks SampleTick(std::uint64_t n) const { return start_ + n * (spec_.divisor + 1); }

  SignalSource signal_;
  StreamSpec spec_;
  std::optional<Ticks> startTick_;
  Ticks start_ = 0;
  std::uint64_t index_ = 0;      // bytes produced so far
  bool exhausted_ = false;
  Ticks lastMark_ = 0;           // Timing: tick of the last edge or overflow
  std::optional<BYTE> pendingSecond_;
  Ticks pendingReady_ = 0;
};

// The first `count` bytes a run of this spec sends (fewer when it ends sooner).
std::vector<BYTE> ExpectedStream(const SignalSource& signal, const StreamSpec& spec, size_t count);

}  // namespace sim
