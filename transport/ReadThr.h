// The reading threads that drain a serial port during a data phase into output
// handles, and the message handshake that ends a run stopped by the hardware.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Threads.h"
#include "platform/WinTypes.h"
#include "transport/ComPort.h"

namespace transport {

using AHanlde = std::vector<LONG>;  // output handles (host file descriptors); 0 discards
using ABool = std::vector<bool>;

// Returns line and device to command state after the hardware stopped a run and
// reads the message line it then sends (surrounding blanks removed).
void ReadHardwareMessage(TComPort* port, LONG baudRate, std::string& text);

// Copies everything the port receives, unchanged, to the first output.
// Every class below ends its thread in its own destructor, before its part of
// the object (and the overrides the thread calls) is gone.
class TReadingThread : public platform::TThread {
 public:
  TReadingThread();
  ~TReadingThread() override;

  // Configuration, while the thread is still suspended.
  void AddOutput(LONG handle, bool owns);
  void SetPort(TComPort* port);
  void SetSettings(const std::string& text) { FSettings = text; }
  const std::string& Settings() const { return FSettings; }
  void SetStopTimeout(DWORD milliseconds);
  void StartTimeoutOnData(DWORD milliseconds);
  void StartTimeoutOnActivity(DWORD milliseconds);

  // While and after running; safe to call from the owner's thread.
  bool IsRunning() const;
  void WaitTimeout(DWORD milliseconds) const;
  DWORD Total() const { return FTotal.load(std::memory_order_relaxed); }
  bool HardwareStopped() const { return FHardwareStopped.load(); }
  std::string Message() const;

 protected:
  void DoTerminate() override;
  void Execute() override;
  virtual void Shutdown();
  virtual bool ProcessChunk();  // false ends the run

  void ReadChunk();
  bool TimedOut() const;
  void RestartTimer();
  void StopTimer();
  void HandlePortError(TComPort* sender, TCommErrors errors, std::string& text, bool& abort);
  bool FetchHardwareMessage();
  void WriteOutput(LONG handle, const BYTE* data, DWORD count);
  size_t OutputCount() const { return FHandles.size(); }
  DWORD IdleTime() const;

  TComPort* FPort = nullptr;
  AHanlde FHandles;
  ABool FOwnsHandles;
  BYTE FBuffer[33] = {};
  DWORD FCount = 0;
  std::atomic<DWORD> FTotal{0};
  DWORD FStartTick = 0;
  DWORD FTimeout = 0;
  std::string FSettings;
  LONG FBaudRate = 0;
  std::atomic<bool> FHardwareStopped{false};
  bool FRestartOnActivity = false;
  std::string FMessage;  // guarded by FMessageLock
  bool FStartOnData = false;

 private:
  void CloseOutputs();
  mutable std::mutex FMessageLock;
};

// A run with an optional limit counted in samples (eight to a byte).
class TSamplingThread : public TReadingThread {
 public:
  ~TSamplingThread() override;
  virtual void SetSampleLimit(LONG samples);
  // For the owner before Resume or after the run has ended.
  LONG Remaining() const { return FRemaining; }
  bool Limited() const { return FLimited; }

 protected:
  bool ProcessChunk() override;
  void CheckActivity();

  LONG FRemaining = 0;
  bool FLimited = false;
};

// Deals the bytes of a run out to the outputs in turn: byte k to output k mod n.
class TMultichannelSamplingThread : public TSamplingThread {
 public:
  ~TMultichannelSamplingThread() override;

 protected:
  bool ProcessChunk() override;
};

// A timing run: never ends by a count; activity restarts the stop timer.
class TMeasuringThread : public TReadingThread {
 public:
  ~TMeasuringThread() override;

 protected:
  bool ProcessChunk() override;
};

// The test tool's data phase: its limit counts bytes.
class TTestThread : public TSamplingThread {
 public:
  ~TTestThread() override;
  void SetSampleLimit(LONG samples) override;
};

}  // namespace transport
