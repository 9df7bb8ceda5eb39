// The virtual sampler's input signals and the byte stream of each mode.
// See SimSignal.h for the packing rules.
#include "sim/SimSignal.h"

#include <algorithm>
#include <cassert>
#include <numeric>

namespace sim {

namespace {

constexpr Ticks kCounterSpan = 65536;  // the 16-bit timing counter

Ticks Period(const std::vector<Ticks>& intervals) {
  return std::accumulate(intervals.begin(), intervals.end(), Ticks{0});
}

bool HasEdges(const InputPattern& p) { return p.lead != 0 || Period(p.intervals) != 0; }

}  // namespace

bool InputPattern::Level(Ticks t) const {
  if (!HasEdges(*this) || t < lead) return initial;
  const Ticks period = Period(intervals);
  Ticks u = t - lead;
  std::uint64_t edges = 1;  // the one at `lead`
  if (period != 0) {
    if (repeat) {
      edges += (u / period) * intervals.size();
      u %= period;
    }
    Ticks sum = 0;
    for (size_t k = 0; k < intervals.size(); ++k) {
      sum += intervals[k];
      if (sum > u || (repeat && k + 1 == intervals.size())) break;
      ++edges;
    }
  }
  return (edges % 2 == 1) ? !initial : initial;
}

std::optional<Ticks> InputPattern::EdgeAtOrAfter(Ticks t) const {
  if (!HasEdges(*this)) return std::nullopt;
  if (t <= lead) return lead;
  const Ticks period = Period(intervals);
  if (period == 0) return std::nullopt;
  Ticks u = t - lead;
  Ticks base = lead;
  if (repeat) {
    base += (u / period) * period;
    u %= period;
    if (u == 0) return base;
  }
  Ticks sum = 0;
  for (Ticks interval : intervals) {
    sum += interval;
    if (sum >= u) return base + sum;
  }
  return std::nullopt;
}

SignalSource DefaultSignal() {
  SignalSource s;
  s.input[0] = InputPattern{false, 1000, {2500, 1500, 700, 300, 4000, 1000}, true};
  s.input[1] = InputPattern{false, 600, {1200, 800}, true};
  return s;
}

SignalSource IdleSignal() { return SignalSource{}; }

StreamGenerator::StreamGenerator(const SignalSource& signal, const StreamSpec& spec)
    : signal_(signal), spec_(spec) {
  assert(spec_.divisor <= 255);
  if (!spec_.onActivity) {
    startTick_ = 0;
  } else {
    startTick_ = signal_.input[0].EdgeAtOrAfter(0);
    if (spec_.mode == StreamMode::Dual) {
      auto other = signal_.input[1].EdgeAtOrAfter(0);
      if (other && (!startTick_ || *other < *startTick_)) startTick_ = other;
    }
  }
  start_ = startTick_.value_or(0);
  lastMark_ = start_;
}

std::optional<StreamByte> StreamGenerator::Next() {
  if (!startTick_ || exhausted_) return std::nullopt;
  return spec_.mode == StreamMode::Timing ? NextTimed() : NextSampled();
}

BYTE StreamGenerator::Pack(int input, std::uint64_t firstSample) const {
  unsigned value = 0;
  for (unsigned b = 0; b < 8; ++b) {
    std::uint64_t n = firstSample + b;
    bool inBuffer = spec_.mode != StreamMode::Buffered || n < spec_.bufferSamples;
    if (inBuffer && signal_.input[input].Level(SampleTick(n))) value |= 0x80u >> b;
  }
  return static_cast<BYTE>(value);
}

std::optional<StreamByte> StreamGenerator::NextSampled() {
  const std::uint64_t k = index_;
  StreamByte out{};
  switch (spec_.mode) {
    case StreamMode::Sole:
      out = StreamByte{Pack(0, 8 * k), SampleTick(8 * k + 7)};
      break;
    case StreamMode::Dual: {
      std::uint64_t m = k / 2;
      out = StreamByte{Pack(static_cast<int>(k % 2), 8 * m), SampleTick(8 * m + 7)};
      break;
    }
    case StreamMode::Buffered: {
      const std::uint64_t total = (spec_.bufferSamples + 7) / 8;
      if (k >= total) {
        exhausted_ = true;
        return std::nullopt;
      }
      out = StreamByte{Pack(0, 8 * k), SampleTick(spec_.bufferSamples - 1)};
      break;
    }
    case StreamMode::Timing:
      assert(false);
      return std::nullopt;
  }
  ++index_;
  return out;
}

std::optional<StreamByte> StreamGenerator::NextTimed() {
  if (pendingSecond_) {
    StreamByte out{*pendingSecond_, pendingReady_};
    pendingSecond_.reset();
    ++index_;
    return out;
  }
  auto edge = signal_.input[0].EdgeAtOrAfter(lastMark_ + 1);
  Ticks count = 0;
  if (!edge || *edge - lastMark_ >= kCounterSpan) {
    lastMark_ += kCounterSpan;  // overflow: 0x0000, level unchanged
  } else {
    count = *edge - lastMark_;
    lastMark_ = *edge;
  }
  BYTE low = static_cast<BYTE>(count & 0xFF);
  BYTE high = static_cast<BYTE>((count >> 8) & 0xFF);
  bool lowFirst = spec_.byteOrder == 1234;
  pendingSecond_ = lowFirst ? high : low;
  pendingReady_ = lastMark_;
  ++index_;
  return StreamByte{lowFirst ? low : high, lastMark_};
}

std::vector<BYTE> ExpectedStream(const SignalSource& signal, const StreamSpec& spec, size_t count) {
  StreamGenerator gen(signal, spec);
  std::vector<BYTE> out;
  out.reserve(count);
  while (out.size() < count) {
    auto b = gen.Next();
    if (!b) break;
    out.push_back(b->value);
  }
  return out;
}

}  // namespace sim
