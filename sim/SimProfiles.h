// The named kinds of virtual sampler: what each one answers to identification,
// which capabilities it has and how its line and signals behave.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/VirtualPort.h"
#include "sim/SimSignal.h"

namespace sim {

// One capability letter as the device lists it: the letter, Param1 written
// only when non-zero (or when Param2 follows) and Param2 in brackets.
struct SimCapability {
  SimCapability(char l, BYTE p1 = 0) : letter(l), param1(p1) {}
  SimCapability(char l, BYTE p1, BYTE p2) : letter(l), param1(p1), param2(p2) {}
  char letter;
  BYTE param1 = 0;
  std::optional<BYTE> param2;
};

// A scripted answer. `match` is a whole command as the device receives it
// (without its CR); a trailing '*' matches every command that begins with the
// rest, so "*" alone matches all. With `reply` set the command is refused: it
// has no effect and `reply` (lines, each sent with CR LF; empty: no answer at
// all) replaces the device's own answer. Without `reply` the command works as
// usual and only `delayMicros` (when set) and `noise` change its answer.
struct SimReplyRule {
  std::string match;
  std::optional<std::vector<std::string>> reply;
  std::optional<platform::Micros> delayMicros;
  std::string noise;   // raw bytes sent just before the answer
  int uses = -1;       // how many commands it applies to; -1: all
};

struct SimProfile {
  std::string portName;
  std::string banner;                 // first line of the identification reply; empty: none
  WORD byteOrder = 1234;
  bool reportsByteOrder = true;       // sends a Y1 line
  DWORD frequency = 20000000;         // the oscillator, Hz
  std::string frequencyText = "20MHz";  // Y3 payload; empty: no Y3 line
  std::string capabilityTag = "Y2";   // "Y2-C" marks a compatible device with no banner
  std::vector<SimCapability> capabilities;
  std::vector<std::string> extraLines;  // further lines of the identification reply
  platform::LineSettings commandSettings;  // the line in command state
  platform::LineSettings dataSettings;     // the line while S, X or J data flow
  unsigned bestReceiverStep = 0;      // receiver-test steps above this arrive damaged
  size_t runLength = 0;               // bytes after which the device ends a run itself; 0: never
  bool endlessOnPty = false;          // on a pseudo-terminal too, a run streams until the host ends it
  // Last data byte -> closing break when the device ends a run; unset: the options' closingQuiet.
  std::optional<platform::Micros> closingQuiet;
  size_t misframeAfter = 0;           // after this many data bytes of a run one byte goes out misframed; 0: never
  SignalSource signal = DefaultSignal();
  std::vector<SimReplyRule> rules;
  bool attached = true;               // false: nothing on the line at all (no CTS, no answers)
  DWORD inputQueue = 4096;            // the virtual port's receive queue, as its driver sizes it

  const SimCapability* Find(char letter) const;
};

// The two hexadecimal digits of a byte in the device's byte order: 1234 writes
// the low nibble first, 2143 and 4321 the high nibble first.
std::string ByteToHex(BYTE value, WORD byteOrder);
// The inverse for what the host sends; false when the text is not two hex digits.
bool HexToByte(const std::string& text, WORD byteOrder, BYTE& value);

// The capability list as it appears after the colon of the Y2 line.
std::string CapabilityText(const SimProfile& profile);
// The identification reply, lines separated by CR LF, ending with CR LF.
std::string IdentificationReply(const SimProfile& profile);
// Line settings as a BuildCommDCB text, e.g. "baud=115200 parity=N data=8 stop=1".
std::string SettingsText(const platform::LineSettings& settings);

// Receiver-test step n runs at this baud rate (grows with the step).
DWORD ReceiverStepBaud(unsigned step);
// The sequence sent at each receiver-test step.
const std::vector<BYTE>& ReceiverTestSequence();

// Every named profile, "SIM" first.
const std::vector<SimProfile>& Profiles();
// The profile registered under a port name (case-insensitive), or null.
const SimProfile* FindProfile(const std::string& portName);

}  // namespace sim
