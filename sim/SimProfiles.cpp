// The named virtual samplers and the texts they answer with.
// Port names are what CreateFileA opens; docs/SIM.md lists them.
#include "sim/SimProfiles.h"

#include <cctype>

#include "platform/SysUtils.h"

namespace sim {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
const char* const kEol = "\r\n";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

SimProfile Quelm1() {
  SimProfile p;
  p.portName = "SIM";
  p.banner = "QUELM1 pulse sampler v2.1 (virtual)";
  p.capabilities = {{'S', 1}, {'X', 1}, {'M', 1}, {'J', 1, 0x12}, {'r'},
                    {'o', 0x0F, 0x0B}, {'O', 0x03, 0x0C}, {'U', 0, 3}};
  p.bestReceiverStep = 2;
  return p;
}

SimProfile Quelm2() {
  SimProfile p;
  p.portName = "SIM-QUELM";
  p.banner = "QUELM2 sampler rev 1.4";
  p.byteOrder = 4321;
  p.frequencyText = "20 MHz";
  p.capabilities = {{'S', 1}, {'X', 1}, {'J', 0, 0x11}, {'r'}, {'O', 0x07, 0x0B}, {'U', 0, 5}};
  p.dataSettings.baudRate = 230400;
  p.bestReceiverStep = 4;
  return p;
}

SimProfile Voktar() {
  SimProfile p;
  p.portName = "SIM-VOKTAR";
  p.banner = "VOKTAR PS-8 pulse logger";
  p.byteOrder = 2143;
  p.frequency = 16000000;
  p.frequencyText = "16000 kHz";
  p.capabilities = {{'S', 1}, {'M', 1}, {'r'}, {'o', 0x03, 0x0A}};
  return p;
}

SimProfile Delmora() {
  SimProfile p;
  p.portName = "SIM-DELMORA";
  p.banner = "DELMORA DPS-1 firmware 3.0";
  p.frequency = 4000000;
  p.frequencyText = "4M";
  p.capabilities = {{'S'}, {'X'}, {'r'}, {'U', 0, 1}};
  p.bestReceiverStep = 1;
  return p;
}

SimProfile Mirsol() {
  SimProfile p;
  p.portName = "SIM-MIRSOL";
  p.banner = "MIRSOL timing probe 0.9";
  p.byteOrder = 4321;
  p.frequency = 10000000;
  p.frequencyText = "10000000";
  p.capabilities = {{'M', 1}, {'O', 0x01, 0x05}, {'U', 0, 2}};
  p.bestReceiverStep = 1;
  return p;
}

SimProfile Compatible() {
  SimProfile p;
  p.portName = "SIM-COMPAT";
  p.reportsByteOrder = false;
  p.frequency = 10000000;  // what a host assumes when no Y3 line comes
  p.frequencyText.clear();
  p.capabilityTag = "Y2-C";
  p.capabilities = {{'S', 1}, {'X'}, {'r'}};
  return p;
}

SimProfile Unknown() {
  SimProfile p;
  p.portName = "SIM-UNKNOWN";
  p.banner = "ACME LA-2 logic probe v1";
  p.frequency = 8000000;
  p.frequencyText = "8MHz";
  p.capabilities = {{'S'}, {'r'}};
  return p;
}

SimProfile Silent() {
  SimProfile p;
  p.portName = "SIM-SILENT";
  p.attached = false;
  return p;
}

SimProfile Broken() {
  SimProfile p = Quelm1();
  p.portName = "SIM-BROKEN";
  p.rules = {SimReplyRule{"H", std::vector<std::string>{p.banner, "N1 Oscillator failure"}, {}, {}, -1}};
  return p;
}

SimProfile Slow() {
  SimProfile p = Quelm1();
  p.portName = "SIM-SLOW";
  p.rules = {SimReplyRule{"*", std::nullopt, 80000, {}, -1}};
  return p;
}

SimProfile Short() {
  SimProfile p = Quelm1();
  p.portName = "SIM-SHORT";
  p.runLength = 512;
  return p;
}

// Ends every run with a break right behind its last data byte.
SimProfile Abrupt() {
  SimProfile p = Quelm1();
  p.portName = "SIM-ABRUPT";
  p.runLength = 512;
  p.closingQuiet = 0;
  return p;
}

// One framing error in every run, after 1000 good bytes; the stream goes on.
SimProfile Noisy() {
  SimProfile p = Quelm1();
  p.portName = "SIM-NOISY";
  p.misframeAfter = 1000;
  return p;
}

// Inputs that never change: a run that waits for activity receives nothing.
SimProfile Idle() {
  SimProfile p = Quelm1();
  p.portName = "SIM-IDLE";
  p.signal = IdleSignal();
  return p;
}

// Input 0 carries a serial text line.
SimProfile Uart() {
  SimProfile p = Quelm1();
  p.portName = "SIM-UART";
  p.signal = UartSignal(p.frequency / 4);
  return p;
}

// Input 0 carries an infrared remote's frames.
SimProfile Nec() {
  SimProfile p = Quelm1();
  p.portName = "SIM-NEC";
  p.signal = NecSignal(p.frequency / 4);
  return p;
}

// SIM with a faster data phase, for measuring the data path: on a
// pseudo-terminal its runs also last until the host ends them. Its port's
// receive queue holds at least 100 ms of the line, as the drivers of fast
// adapters size theirs: 4096 bytes last 13.6 ms at 3 Mbaud, shorter than a
// virtual machine's occasional stall of an idle thread.
SimProfile Fast(const char* name, DWORD dataBaud) {
  SimProfile p = Quelm1();
  p.portName = name;
  p.dataSettings.baudRate = dataBaud;
  p.endlessOnPty = true;
  while (p.inputQueue < dataBaud / 100) p.inputQueue *= 2;  // 10 bits a byte: baud / 100 bytes in 100 ms
  return p;
}

std::vector<SimProfile> MakeProfiles() {
  return {Quelm1(), Quelm2(), Voktar(), Delmora(),
          Mirsol(), Compatible(), Unknown(), Silent(),
          Broken(), Slow(), Short(), Abrupt(),
          Noisy(), Idle(), Uart(), Nec(),
          Fast("SIM-115K", 115200), Fast("SIM-460K", 460800), Fast("SIM-921K", 921600), Fast("SIM-2M", 2000000),
          Fast("SIM-3M", 3000000)};
}

}  // namespace

const SimCapability* SimProfile::Find(char letter) const {
  for (const auto& c : capabilities)
    if (c.letter == letter) return &c;
  return nullptr;
}

std::string ByteToHex(BYTE value, WORD byteOrder) {
  char high = kHex[value >> 4], low = kHex[value & 0x0F];
  if (byteOrder == 1234) return std::string{low, high};
  return std::string{high, low};
}

bool HexToByte(const std::string& text, WORD byteOrder, BYTE& value) {
  if (text.size() != 2) return false;
  int first = HexValue(text[0]), second = HexValue(text[1]);
  if (first < 0 || second < 0) return false;
  value = byteOrder == 1234 ? static_cast<BYTE>(second << 4 | first) : static_cast<BYTE>(first << 4 | second);
  return true;
}

std::string CapabilityText(const SimProfile& profile) {
  std::string text;
  for (const auto& c : profile.capabilities) {
    if (!text.empty()) text += ' ';
    text += c.letter;
    if (c.param1 != 0) text += ByteToHex(c.param1, profile.byteOrder);
    if (c.param2) text += "(" + ByteToHex(*c.param2, profile.byteOrder) + ")";
  }
  return text;
}

std::string IdentificationReply(const SimProfile& profile) {
  std::string reply;
  if (!profile.banner.empty()) reply += profile.banner + kEol;
  if (profile.reportsByteOrder) reply += "Y1:" + std::to_string(profile.byteOrder) + kEol;
  reply += profile.capabilityTag + ":" + CapabilityText(profile) + kEol;
  if (!profile.frequencyText.empty()) reply += "Y3:" + profile.frequencyText + kEol;
  for (const auto& line : profile.extraLines) reply += line + kEol;
  return reply;
}

std::string SettingsText(const platform::LineSettings& s) {
  static const char kParity[] = "NOEMS";
  char parity = s.parity < 5 ? kParity[s.parity] : 'N';
  const char* stop = s.stopBits == ONE5STOPBITS ? "1.5" : s.stopBits == TWOSTOPBITS ? "2" : "1";
  return "baud=" + std::to_string(s.baudRate) + " parity=" + std::string(1, parity) +
         " data=" + std::to_string(s.byteSize) + " stop=" + stop;
}

DWORD ReceiverStepBaud(unsigned step) {
  static const DWORD kBauds[] = {115200,  230400,  460800,  921600,  1000000, 1152000, 1500000, 2000000,
                                 2500000, 3000000, 3500000, 4000000, 4000000, 4000000, 4000000, 4000000};
  return kBauds[step & 0x0F];
}

const std::vector<BYTE>& ReceiverTestSequence() {
  static const std::vector<BYTE> kSequence = [] {
    std::vector<BYTE> s = {0x55, 0xAA, 0x00, 0xFF, 0x0F, 0xF0, 0x33, 0xCC};
    const char* text = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (const char* c = text; *c && s.size() < 64; ++c) s.push_back(static_cast<BYTE>(*c));
    return s;
  }();
  return kSequence;
}

const std::vector<SimProfile>& Profiles() {
  static const std::vector<SimProfile> kProfiles = MakeProfiles();
  return kProfiles;
}

const SimProfile* FindProfile(const std::string& portName) {
  for (const auto& p : Profiles())
    if (platform::SameText(p.portName, portName)) return &p;
  return nullptr;
}

}  // namespace sim
