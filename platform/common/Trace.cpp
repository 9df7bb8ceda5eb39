// The serial trace: a line per call to a port, written under a lock so lines
// from the reading thread and the host's thread never interleave.
#include "platform/Trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/SysUtils.h"
#include "platform/VirtualPort.h"

namespace platform {

namespace {

struct TraceState {
  std::mutex mutex;
  std::FILE* out = nullptr;
  bool ownsFile = false;
  Micros start = MonotonicMicros();

  void Open(const std::string& target) {
    if (ownsFile && out) std::fclose(out);
    out = nullptr;
    ownsFile = false;
    if (target.empty() || target == "0") return;
    if (target == "1" || target == "-") {
      out = stderr;
      return;
    }
    out = std::fopen(target.c_str(), "a");
    ownsFile = out != nullptr;
  }
};

// Read without the lock on the hot path.
std::atomic<bool> gEnabled{false};

TraceState& State() {
  static TraceState* state = [] {
    auto* s = new TraceState;  // never destroyed: ports may be traced during exit
    const char* target = std::getenv("QUELM_TRACE");
    s->Open(target ? target : "");
    gEnabled.store(s->out != nullptr);
    return s;
  }();
  return *state;
}

}  // namespace

bool TraceEnabled() {
  static const bool decided = (State(), true);
  (void)decided;
  return gEnabled.load(std::memory_order_relaxed);
}

void TraceLine(const std::string& text) {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.out) return;
  Micros t = MonotonicMicros() - s.start;
  std::fprintf(s.out, "quelm %llu.%03llu %s\n", static_cast<unsigned long long>(t / 1000000),
               static_cast<unsigned long long>((t / 1000) % 1000), text.c_str());
  std::fflush(s.out);
}

std::string EscapeBytes(const void* data, size_t count, size_t limit) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::string r = "\"";
  for (size_t i = 0; i < count && i < limit; ++i) {
    unsigned char c = p[i];
    switch (c) {
      case '\r': r += "\\r"; break;
      case '\n': r += "\\n"; break;
      case '\t': r += "\\t"; break;
      case '\\': r += "\\\\"; break;
      case '"': r += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7F)
          r += static_cast<char>(c);
        else
          r += Format("\\x%02X", static_cast<unsigned>(c));
    }
  }
  r += '"';
  if (count > limit) r += Format("...(%u more)", static_cast<unsigned>(count - limit));
  return r;
}

void TraceDropped(const char* where) noexcept {
  try {
    if (!TraceEnabled()) return;
    TraceLine(std::string("Dropped in ") + where + ": " + ExceptionMessage(std::current_exception()));
  } catch (...) {
    // The trace itself failed (out of memory): there is nowhere left to tell it.
  }
}

void SetTraceTarget(const std::string& target) {
  TraceState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.Open(target);
  gEnabled.store(s.out != nullptr);
}

}  // namespace platform
