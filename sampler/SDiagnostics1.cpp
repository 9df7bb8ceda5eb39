// The sampler's diagnostics: the diagnotor list and the RS232 receiver test,
// which steps through the hardware's baud settings and records the best one.
#include <cstdint>

#include "messages/SMessages.h"
#include "platform/Clock.h"
#include "platform/OleAuto.h"
#include "sampler/QUELM1Server.h"
#include "sampler/SSampler1.h"
#include "platform/Trace.h"

namespace sampler {

using messages::FormatMsg;
using messages::LoadStr;
using messages::Msg;

namespace {

constexpr DWORD kTestWindow = 30;     // ms the hardware sends its sequence while DTR is high
constexpr DWORD kTestDataLimit = 256;  // bytes of a step's sequence that are compared

}  // namespace

HRESULT TKorvoSampler::GetDiagnotors(IEnumDiagnotors** diagnotors) {
  if (AnyNull(diagnotors)) return E_POINTER;
  *diagnotors = nullptr;
  return SafeCall([&] {
    platform::TAutoObjectFactory* factory = TQuelmServer::Instance().Factory("EnumDiagnotors");
    if (!factory) throw platform::Exception("The class EnumDiagnotors is not available");
    *diagnotors = enumerators::CreateDiagnotorEnumerator(*factory, FAdapter.get(), FPort != nullptr);
  });
}

HRESULT TKorvoSampler::RunDiagnotor(LONG id, BSTR* report, LONG* result) {
  if (AnyNull(report, result)) return E_POINTER;
  *report = nullptr;
  *result = -1;
  return SafeCall([&] {
    std::string text;
    LONG outcome = -1;
    if (PortOpen() && FAdapter) {
      RequirePortFree();
      const WORD remembered = FState.load();
      try {
        outcome = RunDiagnotorById(id, text);
      } catch (...) {
        FState = remembered;
        throw;
      }
      FState = remembered;
    }
    platform::BStr out(text);
    *report = out.Detach();
    *result = outcome;
  });
}

LONG TKorvoSampler::RunDiagnotorById(LONG id, std::string& report) {
  if (id != SDIAG_RS232_RECEIVER) {
    report = FormatMsg(Msg::DiagnotorNotValid, id);
    return 0;
  }
  if (FAdapter->GetCapabilityInfo('U').Present == 0) {
    report = FormatMsg(Msg::DiagnotorNotSupported, id);
    return 0;
  }
  FState = SST_HARDWARE_DIAGNOSTIC;
  try {
    return RunReceiverTest(report);
  } catch (...) {
    report += platform::ExceptionMessage(std::current_exception());
    return 0;
  }
}

// A mismatch is reported but does not end the test; the first failure does, and the
// result is the baud rate of the last step that completed.
LONG TKorvoSampler::RunReceiverTest(std::string& report) {
  const unsigned steps = FAdapter->GetCapabilityInfo('U').Param2 + 1u;
  LONG best = FPort->BaudRate();
  std::string previous;
  try {
    for (unsigned i = 0; i < steps; ++i) {
      const std::string command = FAdapter->BuildDiagnotorCommand(0, static_cast<uint8_t>(i));
      std::string reply;
      SendCommand(command, true, reply);
      const std::string settings = FAdapter->ParseCommandResponse(reply);
      if (!settings.empty()) {
        report += platform::Format("Setting mode \"%s\"", platform::Trim(settings));
        FPort->SetSettings(settings);
        report += "\r\nOK\r\n";
      }
      report += platform::Format("Performing \"%s\", baud rate %d", platform::Trim(command), FPort->BaudRate());
      FPort->SetDTR(true);
      Sleep(kTestWindow);
      std::string data;
      FPort->ReadText(kTestDataLimit, data);
      FPort->SetDTR(false);
      if (!previous.empty() && data != previous) report += "\r\n" + LoadStr(Msg::TestDataMismatch);
      previous = data;
      report += "\r\nOK\r\n";
      FAdapter->BaudRate = FPort->BaudRate();
      FAdapter->BaudIndex = static_cast<uint8_t>(i);
      best = FAdapter->BaudRate;
      ResetLine(false);
    }
  } catch (...) {
    report += "\r\n" + platform::ExceptionMessage(std::current_exception());
    try {
      ResetLine(true);
    } catch (...) {
      // The report already carries the test's own failure.
      platform::TraceDropped("resetting the line after a failed diagnostic");
    }
  }
  return best;
}

}  // namespace sampler
