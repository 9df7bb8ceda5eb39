// One output channel of the sampler: the host's handle (a file descriptor passed
// as LONG) and close flag, and the format, rate and size it will receive.
#pragma once

#include <atomic>

#include "enumerators/SamplerOwner.h"

namespace enumerators {

class TSamplerChannels;

// The sample format code of a mode: 1 for the sampling modes, 4 and 5 for the
// timing modes, 0 otherwise.
LONG FormatOfMode(LONG mode);

// Bytes a channel receives under the given stop settings at the given rate; 0
// when the size cannot be known in advance (stop on idle, or no stop condition).
LONG ExpectedSizeOf(const protocol::TSamplerSettings& settings, LONG rate);

// Handles are host file descriptors: 0 means unbound (so descriptor 0 cannot be
// bound) and -1 is INVALID_HANDLE_VALUE, which Bind refuses with E16.
class TSamplerChannel final : public TChannel {
 public:
  TSamplerChannel(platform::TAutoObjectFactory& factory, TSamplerChannels* channels);
  ~TSamplerChannel() override;

  // ISamplerChannel
  HRESULT STDMETHODCALLTYPE Bind(LONG handle, VARIANT_BOOL closeHandle) override;
  HRESULT STDMETHODCALLTYPE Unbind() override;
  HRESULT STDMETHODCALLTYPE GetChannels(IDispatch** channels) override;
  HRESULT STDMETHODCALLTYPE GetFormat(LONG* format) override;
  HRESULT STDMETHODCALLTYPE GetRate(LONG* rate) override;
  HRESULT STDMETHODCALLTYPE GetExpectedSize(LONG* size) override;

  // TChannel
  LONG BoundHandle() const override { return FHandle; }
  ISamplerChannel* OwnInterface() override;
  void Detach() override;
  bool ClosesHandle() const override { return FCloseHandle != 0; }
  void ReleaseHandle() override { FHandle = 0; }

  // The collection lets go of this channel: it no longer belongs to a sampler,
  // keeps its binding and answers as for a sampler without hardware.
  void Orphan() { FChannels.store(nullptr); }
  // A mode change dropped this channel: it still answers through its collection,
  // but no run uses its binding, so unbinding is never refused.
  void MarkDetached() { FDetached = true; }
  // Unbinds without asking the sampler (the collection is going away).
  void DropBinding() { FHandle = 0; }

 private:
  // The owning sampler, or nullptr once collection or sampler are gone.
  TSamplerOwner* Owner() const;

  std::atomic<TSamplerChannels*> FChannels;  // not counted; cleared by the collection
  LONG FHandle = 0;
  VARIANT_BOOL FCloseHandle = 0;
  bool FDetached = false;
};

}  // namespace enumerators
