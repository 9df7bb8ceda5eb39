// The opt-in trace of every exchange with a serial device: set QUELM_TRACE to
// a file path (or to "1" for standard error) to get one line per call, bytes escaped.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// True when tracing is on; decided once from QUELM_TRACE, so off costs one load.
bool TraceEnabled();
// One trace line (a time stamp in ms is put in front, a line end after).
void TraceLine(const std::string& text);
// Bytes as C-style text: printable ASCII as is, \r \n \t \\ \" and \xNN otherwise; cut after `limit` bytes.
std::string EscapeBytes(const void* data, size_t count, size_t limit = 256);
// Inside a catch block whose failure is dropped on purpose (the caller's comment
// says why): one trace line naming the place and the failure. Never throws.
void TraceDropped(const char* where) noexcept;
// Points the trace somewhere else (a path, "" for off, "1"/"-" for standard error); for tests.
void SetTraceTarget(const std::string& target);

}  // namespace platform
