// A pseudo-terminal pair for a program that plays a serial device on the
// master side while a host opens the slave path as its serial port.
#pragma once

#include <string>

#include "platform/VirtualPort.h"
#include "platform/WinTypes.h"

namespace platform {

class PseudoTerminal {
 public:
  enum WaitResult : unsigned {
    kTimeout = 0,
    kMasterInput = 1,  // the host wrote something
    kStdinClosed = 2,  // standard input reached its end (only when watched)
    kFailed = 4,       // the master failed; errno in GetLastError
  };

  PseudoTerminal() = default;
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // Creates the pair and keeps the slave open too, set raw at 115200 8N1, so
  // that a host closing and reopening it never hangs up the master. The master
  // runs in packet mode, so a host purging its receive queue is seen. False on
  // failure, with errno in GetLastError.
  bool Open();
  void Close();
  bool IsOpen() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }

  // Waits up to timeoutMs for master input; with watchStdin also returns when
  // standard input ends (its other bytes are read and dropped).
  unsigned Wait(int timeoutMs, bool watchStdin);
  // Non-blocking: bytes the host wrote (0 when none are waiting), -1 on
  // failure. inputPurged is set when the host has purged its receive queue.
  long Read(BYTE* buffer, size_t size, bool& inputPurged);
  // Non-blocking: bytes taken (0 when the terminal's queue is full), -1 on failure.
  long Write(const BYTE* data, size_t size);
  // The line settings the host gave the slave side.
  bool SlaveSettings(LineSettings& settings) const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace platform
