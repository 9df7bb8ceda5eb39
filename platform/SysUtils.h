// The system's base exception, the operating-system error, and the small text
// helpers (printf-style formatting, trimming, case) that every layer shares.
#pragma once

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

namespace platform {

// The base of every exception the system raises: a message and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  // An OLE result the COM boundary hands to the host; 0 means "use E_UNEXPECTED".
  virtual HRESULT ErrorCode() const noexcept { return 0; }

 private:
  std::string message_;
};

// A failing operating-system call: "System Error.  Code: %d.\r\n%s".
class EOSError : public Exception {
 public:
  EOSError(DWORD code, std::string message) : Exception(std::move(message)), code_(code) {}
  DWORD Code() const noexcept { return code_; }

 private:
  DWORD code_;
};

// An exception carrying its own OLE result code (negative codes reach the host as they are).
class EOleError : public Exception {
 public:
  EOleError(HRESULT code, std::string message) : Exception(std::move(message)), code_(code) {}
  HRESULT ErrorCode() const noexcept override { return code_; }

 private:
  HRESULT code_;
};

// The message of any exception: Exception::Message(), what(), or "Unknown exception".
std::string ExceptionMessage(const std::exception_ptr& error);

// The system's text for an error code ("No such file or directory" ...).
std::string SysErrorMessage(DWORD code);
// Raise EOSError for GetLastError(), or "A call to an OS function failed" when it is 0.
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(DWORD code);
// The same, with lines of advice after the system's text.
[[noreturn]] void RaiseLastOSError(DWORD code, const std::string& advice);

// One printf-style argument: %d/%u/%x take numbers, %s takes text. A mismatch
// (a translated text with other placeholders) formats safely instead of crashing.
class FormatArg {
 public:
  FormatArg(int v) : isText_(false), number_(v) {}
  FormatArg(unsigned v) : isText_(false), number_(v) {}
  FormatArg(long v) : isText_(false), number_(v) {}
  FormatArg(unsigned long v) : isText_(false), number_(static_cast<long long>(v)) {}
  FormatArg(long long v) : isText_(false), number_(v) {}
  FormatArg(unsigned long long v) : isText_(false), number_(static_cast<long long>(v)) {}
  FormatArg(const char* v) : isText_(true), text_(v ? v : "") {}
  FormatArg(const std::string& v) : isText_(true), text_(v) {}
  FormatArg(std::string_view v) : isText_(true), text_(v) {}

  bool IsText() const { return isText_; }
  long long Number() const { return number_; }
  const std::string& Text() const { return text_; }

 private:
  bool isText_;
  long long number_ = 0;
  std::string text_;
};

// Formats %d %i %u %x %X %s %c and %% (with optional width, zero flag and '-').
std::string FormatV(std::string_view format, std::initializer_list<FormatArg> args);
template <typename... Args>
std::string Format(std::string_view format, const Args&... args) {
  return FormatV(format, {FormatArg(args)...});
}

// Blanks and control characters (anything up to U+0020) are trimmed, as the device's texts need.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
std::string UpperCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
// Strict decimal conversion; false (result untouched) for anything but an optional sign and digits in range.
bool TryStrToInt(std::string_view s, LONG& result);
// The conversion message for a text that is no integer: "'12x' is not a valid integer value".
std::string InvalidIntegerMessage(std::string_view s);

}  // namespace platform
