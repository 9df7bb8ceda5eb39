// Fuzz target: detection from an identification reply, then everything a
// sampler asks of the adapter, with a second reply judged as a command reply.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/SAdapters.h"

namespace {

using namespace protocol;

// The input is an identification reply, a 0xFF byte, and a command reply.
void Split(std::string_view input, std::string_view& identification, std::string_view& reply) {
  const size_t cut = input.find('\xFF');
  identification = input.substr(0, cut);
  reply = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
}

template <typename F>
void Tolerate(F&& f) {
  try {
    f();
  } catch (const ESamplerError&) {
  }
}

void Exercise(TSampler& a, std::string_view reply) {
  Tolerate([&] { a.ParseCommandResponse(reply); });
  a.IsResponseOk(reply);
  a.BaudRate = 115200;
  a.EnumModeItems([](void* user, const std::string&, int32_t mode) {
    TSampler& adapter = *static_cast<TSampler*>(user);
    Tolerate([&] { adapter.SetMode(mode); });
    adapter.EnumRateItems([](void* u, const std::string&, int32_t rate) {
      Tolerate([&] { static_cast<TSampler*>(u)->SetRate(static_cast<uint32_t>(rate)); });
    }, user);
  }, &a);
  a.EnumPinCapabilities([](void* user, const std::string&, const SAMPLERCAPABILITYINFO&, int32_t id) {
    static_cast<TSampler*>(user)->SetCapabilityBool(id, true);
  }, &a);
  a.EnumDiagnotorItems([](void*, const std::string&, const std::string&, bool, int32_t) {}, nullptr);
  for (LONG id = 79; id <= 202; ++id) {
    a.IsCapabilityAvailable(id);
    a.GetCapabilityBool(id);
    std::string text;
    Tolerate([&] { text = a.GetCapabilityText(id); });
    Tolerate([&] { a.SetCapabilityText(id, reply.substr(0, 12)); });
  }
  Tolerate([&] { a.BuildStartCommand(skCarriageReturn); });
  Tolerate([&] { a.BuildStartCommand(skSemicolon); });
  Tolerate([&] { a.BuildDiagnotorCommand(0xFF, reply.empty() ? 0 : static_cast<uint8_t>(reply[0])); });
  Tolerate([&] { a.SetRate(reply.size() > 4 ? static_cast<uint8_t>(reply[4]) * 1000u : 0xFFFFFFFFu); });
  a.GetReadiness();
  a.GetBufferSize();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view identification, reply;
  Split(std::string_view(reinterpret_cast<const char*>(data), size), identification, reply);
  std::unique_ptr<TSampler> adapter;
  try {
    adapter = TSampler::CreateAdapter(identification);
  } catch (const ESamplerError&) {
    return 0;  // the device reported an error: no adapter
  }
  if (!adapter) {
    if (!identification.empty()) __builtin_trap();
    return 0;
  }
  Exercise(*adapter, reply);
  return 0;
}
