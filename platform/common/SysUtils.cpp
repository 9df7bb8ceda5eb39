// Exceptions and text helpers of the platform runtime.
#include "platform/SysUtils.h"

#include <cerrno>
#include <cstring>
#include <limits>

namespace platform {

std::string ExceptionMessage(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

void RaiseLastOSError() { RaiseLastOSError(GetLastError()); }

void RaiseLastOSError(DWORD code) { RaiseLastOSError(code, std::string()); }

void RaiseLastOSError(DWORD code, const std::string& advice) {
  if (code == 0) throw EOSError(0, "A call to an OS function failed");
  std::string text = Format("System Error.  Code: %d.\r\n%s", static_cast<long long>(code), SysErrorMessage(code));
  if (!advice.empty()) text += "\r\n" + advice;
  throw EOSError(code, text);
}

namespace {

void Pad(std::string& out, const std::string& body, int width, bool left, bool zero) {
  if (width <= 0 || static_cast<int>(body.size()) >= width) {
    out += body;
    return;
  }
  size_t fill = static_cast<size_t>(width) - body.size();
  if (left) {
    out += body;
    out.append(fill, ' ');
  } else if (zero && !body.empty() && body[0] == '-') {
    out += '-';
    out.append(fill, '0');
    out.append(body, 1);
  } else {
    out.append(fill, zero ? '0' : ' ');
    out += body;
  }
}

std::string NumberText(long long v, char conv) {
  char buf[32];
  switch (conv) {
    case 'x': snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v) & 0xFFFFFFFFull); break;
    case 'X': snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v) & 0xFFFFFFFFull); break;
    case 'u': snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v) & 0xFFFFFFFFull); break;
    default: snprintf(buf, sizeof buf, "%lld", v); break;
  }
  return buf;
}

}  // namespace

std::string FormatV(std::string_view format, std::initializer_list<FormatArg> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    const size_t start = i;
    size_t j = i + 1;
    bool left = false, zero = false;
    while (j < format.size() && (format[j] == '-' || format[j] == '0')) {
      if (format[j] == '-') left = true; else zero = true;
      ++j;
    }
    int width = 0;
    while (j < format.size() && format[j] >= '0' && format[j] <= '9' && width < 1000)
      width = width * 10 + (format[j++] - '0');
    while (j < format.size() && (format[j] == 'l' || format[j] == 'h')) ++j;
    if (j >= format.size()) {
      out.append(format.substr(i));
      break;
    }
    char conv = format[j];
    i = j;
    if (conv == '%') {
      out += '%';
      continue;
    }
    if (conv != 'd' && conv != 'i' && conv != 'u' && conv != 'x' && conv != 'X' && conv != 's' && conv != 'c') {
      out.append(format.substr(start, j - start + 1));  // not a placeholder we know: keep it as text
      continue;
    }
    std::string body;
    if (next != args.end()) {
      const FormatArg& a = *next++;
      if (conv == 's')
        body = a.IsText() ? a.Text() : NumberText(a.Number(), 'd');
      else if (conv == 'c')
        body = a.IsText() ? a.Text().substr(0, 1) : std::string(1, static_cast<char>(a.Number()));
      else
        body = a.IsText() ? a.Text() : NumberText(a.Number(), conv);
    }
    Pad(out, body, width, left, zero);
  }
  return out;
}

namespace {
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

std::string TrimLeft(std::string_view s) {
  size_t b = 0;
  while (b < s.size() && IsBlank(s[b])) ++b;
  return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(0, e));
}

std::string Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool SameText(std::string_view a, std::string_view b) { return UpperCase(a) == UpperCase(b); }

bool TryStrToInt(std::string_view s, LONG& result) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i >= s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > static_cast<long long>(std::numeric_limits<LONG>::max()) + 1) return false;
  }
  if (negative) v = -v;
  if (v < std::numeric_limits<LONG>::min() || v > std::numeric_limits<LONG>::max()) return false;
  result = static_cast<LONG>(v);
  return true;
}

std::string InvalidIntegerMessage(std::string_view s) {
  return Format("'%s' is not a valid integer value", std::string(s));
}

}  // namespace platform
