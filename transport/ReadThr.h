// The reading threads that drain a serial port during a data phase into output
// handles, and the message handshake that ends a run stopped by the hardware.
#pragma once

#include <atomic>
#include <deque>
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

// Why a data phase ended; recorded once, where the decision is made.
enum class TRunEnd {
  Running,         // not ended yet
  Count,           // the byte or sample limit was reached
  Timer,           // the stop timer ran out
  HardwareBreak,   // the hardware sent a break and then its message line
  LineError,       // a line error (or a break without a message) ended the run
  OutputFailed,    // writing to an output failed, or a reader stopped reading
  PortFailed,      // the port itself failed (device gone, closed)
  Terminated,      // the owner asked the thread to stop
};
const char* RunEndName(TRunEnd reason);

// Bytes received for one output that it has not taken yet: a reader that
// pauses must not make the port overflow, so the thread keeps reading meanwhile.
// Each chunk stays one write, as it would have been without the wait.
class TOutputQueue {
 public:
  size_t Size() const { return bytes_.size() - head_; }
  // The rest of the oldest chunk.
  const BYTE* Front() const { return bytes_.data() + head_; }
  size_t FrontSize() const { return records_.empty() ? 0 : records_.front() - frontDone_; }
  void Append(const BYTE* data, size_t count);
  void Consume(size_t count);  // at most FrontSize()
  void Clear();

 private:
  std::vector<BYTE> bytes_;
  size_t head_ = 0;
  std::deque<DWORD> records_;  // chunk sizes, oldest first
  size_t frontDone_ = 0;       // bytes of the oldest chunk already written
};

// Copies everything the port receives, unchanged, to the first output.
// Every class below ends its thread in its own destructor, before its part of
// the object (and the overrides the thread calls) is gone.
class TReadingThread : public platform::TThread {
 public:
  // What one output may hold back before its reader counts as gone.
  static constexpr size_t kBacklogLimit = 8u << 20;
  // After the owner's Terminate, how long stalled outputs still get to take their bytes.
  static constexpr DWORD kDeliveryGrace = 500;
  // After the run ended by itself, how long an output may take nothing before it is given up.
  static constexpr DWORD kStallLimit = 5000;

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
  // Why the run ended (Running until it has).
  TRunEnd EndReason() const { return FEndReason.load(); }
  // Bytes received that never reached their output (a reader that stopped reading or failed).
  DWORD Undelivered() const { return FUndelivered.load(); }
  // The run failed: an exception ended it, or bytes could not be delivered.
  // Valid once the thread has ended.
  bool HasFailure() const { return HasFatalException() || Undelivered() > 0; }

 protected:
  void DoTerminate() override;
  void Execute() override;
  void TerminateRequested() noexcept override;
  virtual void Shutdown();
  virtual bool ProcessChunk();  // false ends the run
  // Hands the outputs what ProcessChunk held back during a batch; called after
  // each batch and, for what a failure left, before the run's last delivery.
  virtual void HandOver() {}

  // Records why the run ends; the first reason wins. The loop stops after the chunk at hand.
  void EndRun(TRunEnd reason);
  bool Ending() const { return Terminated() || FEndReason.load() != TRunEnd::Running; }
  bool ReadChunk(DWORD queued);
  bool TimedOut() const;
  void RestartTimer();
  void StopTimer();
  void HandlePortError(TComPort* sender, TCommErrors errors, std::string& text, bool& abort);
  bool FetchHardwareMessage();
  // Hands bytes to output `index`; never blocks: what the output cannot take now waits in its queue.
  void Deliver(size_t index, const BYTE* data, DWORD count);
  size_t OutputCount() const { return FHandles.size(); }
  void CountUndelivered(DWORD bytes) { FUndelivered.fetch_add(bytes); }
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
  void CaptureCommandState();
  void RestoreCommandState();
  void PollPort();
  void EndOnLineEvent();
  void WaitIdle(DWORD milliseconds);
  DWORD FlushOutput(size_t index);
  DWORD FlushOutputs();
  size_t Backlog() const;
  bool WaitForBacklog(DWORD milliseconds) const;
  void FinishDelivery();
  void GiveUpOutput(size_t index);
  void CloseOutputs();
  void TraceEnd() const;

  std::vector<TOutputQueue> FQueues;  // parallel to FHandles
  std::vector<bool> FOutputFailed;    // parallel to FHandles
  std::vector<platform::NoWaitHandle> FWriters;  // parallel to FHandles: what writes go to
  DCB FCommandState{};                // the line before the data phase's settings
  bool FCommandStateKnown = false;
  // A break or line error seen while bytes that arrived before it were still queued:
  // those are read and delivered first, then the run ends with it.
  bool FLineEvent = false;
  bool FBreakSeen = false;
  TCommErrors FPendingErrors;
  std::string FPendingText;
  DWORD FDrainLeft = 0;
  bool FInHandshake = false;
  std::atomic<TRunEnd> FEndReason{TRunEnd::Running};
  // The port while Execute may wait on it: Terminate wakes that wait.
  std::atomic<HANDLE> FWaitPort{nullptr};
  std::atomic<DWORD> FUndelivered{0};
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
  void HandOver() override;

 private:
  std::vector<std::vector<BYTE>> FShares;  // the batch dealt out so far, per output
  size_t FFirstShare = 0;                  // the output of the batch's first byte
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
