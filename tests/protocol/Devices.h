// Identification replies of made-up devices and a helper that detects one,
// shared by the protocol tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "protocol/SAdapters.h"

namespace protocol::test {

// A QUELM banner, byte order, capability letters and a 20 MHz oscillator.
inline std::string Reply(const std::string& capabilities, const std::string& byteOrder = "4321",
                         const std::string& frequency = "20MHz") {
  std::string r = "QUELM PIC sampler 1.0\r\n";
  if (!byteOrder.empty()) r += "Y1:" + byteOrder + "\r\n";
  r += "Y2:" + capabilities + "\r\nY3:" + frequency + "\r\n";
  return r;
}

// The adapter detection creates; the test fails unless it speaks the compatible protocol.
struct Detected {
  std::unique_ptr<TSampler> adapter;
  TCompatibleSampler& operator*() const { return *dynamic_cast<TCompatibleSampler*>(adapter.get()); }
  TCompatibleSampler* operator->() const { return dynamic_cast<TCompatibleSampler*>(adapter.get()); }
};

inline Detected Detect(const std::string& reply) {
  Detected d{TSampler::CreateAdapter(reply)};
  // gtest reports an exception leaving a test as that test's failure.
  if (dynamic_cast<TCompatibleSampler*>(d.adapter.get()) == nullptr)
    throw std::logic_error("not a compatible adapter: " + reply);
  return d;
}

// The message of the ESamplerError that f raises, or "<no error>".
template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const ESamplerError& e) {
    return e.Message();
  }
  return "<no error>";
}

}  // namespace protocol::test
