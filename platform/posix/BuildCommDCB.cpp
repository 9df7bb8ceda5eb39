// BuildCommDCBA: a device-control text, in the keyword form ("baud=9600
// parity=N data=8 stop=1") or the short form ("9600,n,8,1"), into a DCB.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/Trace.h"
#include "platform/WinSerial.h"

namespace {

// A cursor over the text; every parse step returns false on a malformed part.
class Text {
 public:
  explicit Text(std::string_view s) : s_(s) {}
  bool AtEnd() const { return i_ >= s_.size(); }
  char Peek() const { return AtEnd() ? '\0' : s_[i_]; }
  void SkipBlanks() {
    while (!AtEnd() && s_[i_] == ' ') ++i_;
  }
  bool Take(char c) {
    if (std::toupper(static_cast<unsigned char>(Peek())) != std::toupper(static_cast<unsigned char>(c)))
      return false;
    ++i_;
    return true;
  }
  bool TakeWord(std::string_view w) {
    if (s_.size() - i_ < w.size()) return false;
    for (size_t k = 0; k < w.size(); ++k)
      if (std::toupper(static_cast<unsigned char>(s_[i_ + k])) != std::toupper(static_cast<unsigned char>(w[k])))
        return false;
    i_ += w.size();
    return true;
  }
  bool Number(DWORD& out) {
    size_t start = i_;
    unsigned long long v = 0;
    while (!AtEnd() && std::isdigit(static_cast<unsigned char>(s_[i_]))) {
      v = v * 10 + static_cast<unsigned>(s_[i_] - '0');
      if (v > MAXDWORD) return false;
      ++i_;
    }
    out = static_cast<DWORD>(v);
    return i_ > start;
  }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

bool ParseParity(Text& t, BYTE& parity) {
  static const char letters[] = {'N', 'O', 'E', 'M', 'S'};  // in the order of the parity codes
  for (BYTE code = 0; code < 5; ++code)
    if (t.Take(letters[code])) {
      parity = code;
      return true;
    }
  return false;
}

bool ParseByteSize(Text& t, BYTE& size) {
  DWORD v = 0;
  if (!t.Number(v) || v < 5 || v > 8) return false;
  size = static_cast<BYTE>(v);
  return true;
}

bool ParseStopBits(Text& t, BYTE& stop) {
  if (t.TakeWord("1.5")) stop = ONE5STOPBITS;
  else if (t.Take('1')) stop = ONESTOPBIT;
  else if (t.Take('2')) stop = TWOSTOPBITS;
  else return false;
  return true;
}

bool ParseOnOff(Text& t, bool& on) {
  if (t.TakeWord("on")) on = true;
  else if (t.TakeWord("off")) on = false;
  else return false;
  return true;
}

void SetFlag(DCB& dcb, DWORD mask, bool on) { dcb.Flags = on ? (dcb.Flags | mask) : (dcb.Flags & ~mask); }

void SetDtrControl(DCB& dcb, BYTE v) { dcb.Flags = (dcb.Flags & ~DCB_fDtrControl) | (static_cast<DWORD>(v) << 4); }
void SetRtsControl(DCB& dcb, BYTE v) { dcb.Flags = (dcb.Flags & ~DCB_fRtsControl) | (static_cast<DWORD>(v) << 12); }

bool ParseDtr(Text& t, DCB& dcb) {
  bool on = false;
  if (t.TakeWord("hs")) SetDtrControl(dcb, DTR_CONTROL_HANDSHAKE);
  else if (ParseOnOff(t, on)) SetDtrControl(dcb, on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE);
  else return false;
  return true;
}

bool ParseRts(Text& t, DCB& dcb) {
  bool on = false;
  if (t.TakeWord("hs")) SetRtsControl(dcb, RTS_CONTROL_HANDSHAKE);
  else if (t.TakeWord("tg")) SetRtsControl(dcb, RTS_CONTROL_TOGGLE);
  else if (ParseOnOff(t, on)) SetRtsControl(dcb, on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
  else return false;
  return true;
}

bool ParseFlag(Text& t, DCB& dcb, DWORD mask) {
  bool on = false;
  if (!ParseOnOff(t, on)) return false;
  SetFlag(dcb, mask, on);
  return true;
}

// One "key=value" of the keyword form.
bool ParseKeyword(Text& t, DCB& dcb, bool& baudSeen, bool& stopSeen) {
  bool ignored = false;
  if (t.TakeWord("baud=")) {
    baudSeen = true;
    return t.Number(dcb.BaudRate) && dcb.BaudRate > 0;
  }
  if (t.TakeWord("parity=")) return ParseParity(t, dcb.Parity);
  if (t.TakeWord("data=")) return ParseByteSize(t, dcb.ByteSize);
  if (t.TakeWord("stop=")) {
    stopSeen = true;
    return ParseStopBits(t, dcb.StopBits);
  }
  if (t.TakeWord("to=")) return ParseOnOff(t, ignored);  // a time-out setting, not part of the DCB
  if (t.TakeWord("xon=")) {
    bool on = false;
    if (!ParseOnOff(t, on)) return false;
    SetFlag(dcb, DCB_fInX | DCB_fOutX, on);
    return true;
  }
  if (t.TakeWord("odsr=")) return ParseFlag(t, dcb, DCB_fOutxDsrFlow);
  if (t.TakeWord("octs=")) return ParseFlag(t, dcb, DCB_fOutxCtsFlow);
  if (t.TakeWord("dtr=")) return ParseDtr(t, dcb);
  if (t.TakeWord("rts=")) return ParseRts(t, dcb);
  if (t.TakeWord("idsr=")) return ParseFlag(t, dcb, DCB_fDsrSensitivity);
  return false;
}

bool ParseKeywordForm(Text& t, DCB& dcb) {
  bool baudSeen = false, stopSeen = false;
  while (!t.AtEnd()) {
    if (!ParseKeyword(t, dcb, baudSeen, stopSeen)) return false;
    if (!t.AtEnd() && t.Peek() != ' ') return false;
    t.SkipBlanks();
  }
  // Without a stop= the stop bits take the default, two at 110 baud as MODE does.
  if (!stopSeen) dcb.StopBits = (baudSeen && dcb.BaudRate == 110) ? TWOSTOPBITS : ONESTOPBIT;
  return true;
}

// The short form's two-digit abbreviations of the old rates.
DWORD ExpandBaud(DWORD v) {
  switch (v) {
    case 11: return 110;
    case 15: return 150;
    case 30: return 300;
    case 60: return 600;
    case 12: return 1200;
    case 24: return 2400;
    case 48: return 4800;
    case 96: return 9600;
    case 19: return 19200;
    default: return v;
  }
}

bool TakeComma(Text& t) {
  t.SkipBlanks();
  if (!t.Take(',')) return false;
  t.SkipBlanks();
  return true;
}

// "baud,parity,data,stop[,x|,p]"; the optional last letter chooses XON/XOFF or
// hardware handshaking, its absence neither.
bool ParseShortForm(Text& t, DCB& dcb) {
  DWORD baud = 0;
  if (!t.Number(baud) || baud == 0) return false;
  dcb.BaudRate = ExpandBaud(baud);
  if (!TakeComma(t) || !ParseParity(t, dcb.Parity)) return false;
  if (!TakeComma(t) || !ParseByteSize(t, dcb.ByteSize)) return false;
  if (!TakeComma(t) || !ParseStopBits(t, dcb.StopBits)) return false;
  t.SkipBlanks();
  char flow = '\0';
  if (t.Take(',')) {
    t.SkipBlanks();
    if (t.Take('x')) flow = 'X';
    else if (t.Take('p')) flow = 'P';
    else return false;
    t.SkipBlanks();
  }
  if (!t.AtEnd()) return false;
  SetFlag(dcb, DCB_fInX | DCB_fOutX, flow == 'X');
  SetFlag(dcb, DCB_fOutxCtsFlow | DCB_fOutxDsrFlow, flow == 'P');
  SetDtrControl(dcb, flow == 'P' ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE);
  SetRtsControl(dcb, flow == 'P' ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE);
  return true;
}

// An optional "COMn:" (or "COMn" and a blank) before the settings.
bool SkipDevicePrefix(Text& t) {
  if (!t.TakeWord("COM")) return true;
  DWORD n = 0;
  if (!t.Number(n)) return false;
  if (!t.Take(':') && t.Peek() != ' ' && !t.AtEnd()) return false;
  return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL BuildCommDCBA(const char* def, DCB* dcb) {
  if (def == nullptr || dcb == nullptr) {
    SetLastError(EINVAL);
    return FALSE;
  }
  // Work on a copy so that a refused text leaves the caller's DCB as it was.
  DCB work = *dcb;
  Text t{std::string_view(def)};
  t.SkipBlanks();
  bool ok = SkipDevicePrefix(t);
  t.SkipBlanks();
  if (ok && t.AtEnd()) ok = false;  // nothing to set
  if (ok) ok = std::strchr(def, ',') != nullptr ? ParseShortForm(t, work) : ParseKeywordForm(t, work);
  if (!ok) {
    // The texts come from devices (Y4 replies) and command lines: a refusal is worth a line.
    if (platform::TraceEnabled())
      platform::TraceLine("BuildCommDCBA " + platform::EscapeBytes(def, std::strlen(def)) + " failed: not a settings text");
    SetLastError(EINVAL);
    return FALSE;
  }
  work.DCBlength = sizeof(DCB);
  work.Flags |= DCB_fBinary;  // Win32 supports binary mode only
  *dcb = work;
  return TRUE;
}
