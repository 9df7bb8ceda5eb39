// A hand-driven line for testing the device model: the test owns the clock,
// the host's modem lines and settings, and reads back what the device sent.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/VirtualPort.h"
#include "sim/SimDevice.h"

namespace simtest {

using platform::LineSettings;
using platform::Micros;

struct SentByte {
  BYTE value;
  Micros notBefore;
  LineSettings framing;
};

struct BreakEvent {
  bool on;
  Micros at;
};

class FakeLine final : public platform::IVirtualLine {
 public:
  explicit FakeLine(sim::SimDevice& device) : device_(device) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    device_.Attach(*this);
  }

  // --- the host side, driven by the test
  void Write(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    device_.Advance(now_);
    device_.OnReceive(reinterpret_cast<const BYTE*>(text.data()), text.size(), now_);
  }
  void SetDtr(bool on) { Lines(on, rts_); }
  void SetRts(bool on) { Lines(dtr_, on); }
  void HostBreak(bool on) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    device_.Advance(now_);
    device_.OnHostBreak(on, now_);
  }
  void SetHostSettings(const LineSettings& s) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    host_ = s;
    device_.OnHostSettings(s, now_);
  }
  // Moves the clock on and lets the device catch up.
  void Wait(Micros micros) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    now_ += micros;
    device_.Advance(now_);
  }
  // What has been sent to go out by now, then forgotten.
  std::vector<SentByte> TakeBytes() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<SentByte> out, later;
    for (const auto& b : sent_) (b.notBefore <= now_ ? out : later).push_back(b);
    sent_.swap(later);
    return out;
  }
  std::string TakeText() {
    std::string s;
    for (const auto& b : TakeBytes()) s.push_back(static_cast<char>(b.value));
    return s;
  }
  std::vector<BreakEvent> breaks;
  size_t actions = 0;  // sends and breaks so far
  DWORD injected = 0;
  bool cts = false, dsr = false, disconnected = false;

  // --- IVirtualLine
  void Send(const BYTE* data, size_t count, const LineSettings& framing, Micros notBefore) override {
    for (size_t i = 0; i < count; ++i) sent_.push_back({data[i], notBefore, framing});
    ++actions;
    freeAt_ = std::max(freeAt_, notBefore) + count;  // one microsecond a byte: enough to order things
  }
  void SetBreak(bool on, Micros at) override {
    breaks.push_back({on, at});
    ++actions;
  }
  void InjectErrors(DWORD ceBits) override { injected |= ceBits; }
  void SetCts(bool on) override { cts = on; }
  void SetDsr(bool on) override { dsr = on; }
  void Disconnect() override { disconnected = true; }
  LineSettings HostSettings() const override { return host_; }
  bool HostDtr() const override { return dtr_; }
  bool HostRts() const override { return rts_; }
  Micros Now() const override { return now_; }
  Micros LineFreeAt() const override { return std::max(freeAt_, now_); }
  std::recursive_mutex& Mutex() override { return mutex_; }

  void Close() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    device_.OnClose();
  }

 private:
  void Lines(bool dtr, bool rts) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    device_.Advance(now_);
    dtr_ = dtr;
    rts_ = rts;
    device_.OnModemLines(dtr, rts, now_);
  }

  sim::SimDevice& device_;
  std::recursive_mutex mutex_;
  std::vector<SentByte> sent_;
  LineSettings host_;
  bool dtr_ = false, rts_ = false;
  Micros now_ = 1000000;
  Micros freeAt_ = 0;
};

}  // namespace simtest
