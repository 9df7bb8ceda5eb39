// The host's side of the exchanges with a device, as the sampler and the
// console tool make them, for tests of the virtual sampler over real ports.
#pragma once

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "tests/support/Pipe.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"

namespace simtest {

using transport::TComPort;

inline transport::TComSettings CommandLine() {
  transport::TComSettings s;
  s.OutxCtsFlow = true;
  s.RaiseOnError = true;
  return s;
}

// A port opened the way the sampler opens one, with its command exchange.
class Host {
 public:
  explicit Host(const std::string& name) : port(name, {}) {
    port.ApplySettings(CommandLine());
    port.SetTimeout(2, 30);
    port.SetTimeout(4, 30);
    port.Open({transport::paRead, transport::paWrite});
    port.SetDTR(false);
    port.SetRTS(true);
    port.SendBreak(2);
    Sleep(10);
    port.Purge({transport::puNoCheck, transport::puTxAbort, transport::puRxAbort, transport::puTxClear,
                transport::puRxClear});
  }
  std::string Send(const std::string& command) {
    port.Purge({transport::puNoCheck, transport::puRxClear});
    port.SetRTS(true);
    Sleep(10);
    port.WriteText(command);
    Sleep(30);
    port.SetRTS(false);
    Sleep(30);
    std::string reply;
    port.ReadText(512, reply);
    return reply;
  }
  // Back to command state as the sampler's line reset does it.
  void ResetLine() {
    port.ClearErrors();
    port.SetDTR(false);
    port.ApplySettings(CommandLine());
    port.SetRTS(true);
    Sleep(10);
    port.Purge({transport::puNoCheck, transport::puTxAbort, transport::puRxAbort, transport::puTxClear,
                transport::puRxClear});
    port.ClearErrors();
    port.SetRTS(false);
  }
  TComPort port;
};

using testsupport::Pipe;

// A data phase as the console tool runs it: the reading thread applies the Y4
// settings, copies the stream to a pipe and returns the line to command state.
struct DataPhase {
  DataPhase(Host& host, const std::string& settings, LONG limit) {
    thread.SetPort(&host.port);
    thread.SetSettings(settings);
    if (limit > 0) thread.SetSampleLimit(limit);
    thread.AddOutput(pipe.GiveWriteEnd(), true);
  }
  void Go(DWORD stopAfterMs = 0) {
    thread.Resume();
    if (stopAfterMs != 0) {
      thread.WaitTimeout(stopAfterMs);
      thread.Terminate();
    }
    thread.WaitFor();
  }
  Pipe pipe;
  transport::TTestThread thread;
};

}  // namespace simtest
