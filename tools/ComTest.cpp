// The port test tool: argument parsing, the command exchange with the device,
// the reply's error codes, and the data phase copied to standard output.
#include "tools/ComTest.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/SysUtils.h"
#include "platform/WinSerial.h"
#include "protocol/SCommon.h"
#include "platform/Trace.h"

namespace tools {

const char* const UsageLine = "QUELMCHK [/COUNT=n | /TIME=n | /WAITCMD=n] /PORT=<name> command";

const char* const HelpText =
    "QUELMCHK [/COUNT=n | /TIME=n | /WAITCMD=n] /PORT=<name> command\n"
    "Sends one command to a serial device, shows its reply on standard error and\n"
    "copies a following data stream to standard output.\n"
    "\n"
    "  /PORT=<name>  SIM (or SIM-...), COM1..COM99, or a device path such as /dev/ttyUSB0\n"
    "  /COUNT=n      end the data phase after n bytes (default 0: no limit)\n"
    "  /TIME=n       end the data phase after n milliseconds (default 0: no limit)\n"
    "  /WAITCMD=n    milliseconds between the command and reading the reply (default 50)\n"
    "  command       the text sent as given; end it with a carriage return ($'H\\r' in bash)\n"
    "\n"
    "Exit codes: 0 done, 1 other failure, 2 bad arguments, 3 port not opened,\n"
    "4 error reply from the device, 5 data phase failed.\n";

TCommTest* CommTest = nullptr;
std::mutex CommTestLock;

namespace {

const char* const kOptionNames[] = {"/PORT", "/COUNT", "/TIME", "/WAITCMD"};
enum { optNone, optPort, optCount, optTime, optWaitCommand };

// Console lines end the Linux way; the device's own line breaks pass unchanged.
const char* const kLineEnd = "\n";

// With CTS flow control a device that never raises CTS would hold a write
// forever; past this time the write gives up instead.
constexpr DWORD kWriteTimeout = 2000;

// The line in command state: the device's settings, both modem lines under program control.
transport::TComSettings ToolLineSettings() { return transport::DeviceCommandSettings(); }

bool IsHelpRequest(const std::string& argument) {
  return argument == "--help" || argument == "-h" || argument == "/?";
}

// A consumer that closed its end (`| head -c 10`) had all it wanted: not a failure.
bool ConsumerLeft(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::EOSError& e) {
    return e.Code() == static_cast<DWORD>(std::errc::broken_pipe);
  } catch (...) {
    // Any other failure is not a consumer that left: the caller reports it.
  }
  return false;
}

bool WriteAll(DWORD stdHandle, const std::string& text) {
  HANDLE h = GetStdHandle(stdHandle);
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(left, 0x10000000u));
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

LONG StdOutputHandle() {
  return static_cast<LONG>(reinterpret_cast<std::intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE)));
}

}  // namespace

bool WriteStdOut(const std::string& text) { return WriteAll(STD_OUTPUT_HANDLE, text); }
bool WriteStdErr(const std::string& text) { return WriteAll(STD_ERROR_HANDLE, text); }

// ---- TCommandLine -------------------------------------------------------------

TCommandLine::TCommandLine(const std::vector<std::string>& arguments) {
  FCommandWait = 50;
  for (const std::string& argument : arguments) {
    if (IsHelpRequest(argument)) {
      FHelp = true;
      continue;
    }
    std::string value;
    const int option = ParseOption(argument, value);
    LONG* number = nullptr;
    switch (option) {
      case optPort:
        FPortName = value;
        break;
      case optCount:
        number = &FSampleCount;
        break;
      case optTime:
        number = &FRunTime;
        break;
      case optWaitCommand:
        number = &FCommandWait;
        break;
      default:
        FCommand = argument;
        break;
    }
    if (number == nullptr) continue;
    FValueTexts[option - optCount] = {true, value};
    if (!platform::TryStrToInt(value, *number)) *number = 0;  // refused by InvalidValueMessage
  }
}

int TCommandLine::ParseOption(const std::string& argument, std::string& value) {
  for (int i = 0; i < 4; ++i) {
    const std::string_view name = kOptionNames[i];
    if (argument.size() < name.size() || !platform::SameText(std::string_view(argument).substr(0, name.size()), name))
      continue;
    // One character (the '=') separates the name from the value.
    value = argument.size() > name.size() + 1 ? argument.substr(name.size() + 1) : std::string();
    return i + 1;
  }
  return optNone;
}

std::string TCommandLine::InvalidValueMessage() const {
  for (int i = 0; i < 3; ++i) {
    const TValueText& given = FValueTexts[i];
    if (!given.given) continue;
    const char* const name = kOptionNames[optCount - 1 + i];
    LONG value = 0;
    if (!platform::TryStrToInt(given.text, value))
      return platform::Format("%s needs a whole number from 0 to 2147483647, not '%s'", name, given.text);
    if (value < 0) return platform::Format("%s needs a value of 0 or more, not %d", name, value);
  }
  return std::string();
}

std::string TCommandLine::MissingArgumentMessage() const {
  if (platform::Trim(FPortName).empty()) return "No port given: /PORT=<name> is needed";
  if (FCommand.empty()) return "No command given: the text to send is needed";
  return std::string();
}

// ---- TCommTest ----------------------------------------------------------------

TCommTest::TCommTest(const std::vector<std::string>& arguments) {
  FCommandLine = std::make_unique<TCommandLine>(arguments);
  FPort = std::make_unique<transport::TComPort>(FCommandLine->FPortName, transport::TPortAccess{});
  FPort->SetTimeout(2, 40);
  FPort->SetTimeout(4, kWriteTimeout);
  FThread = std::make_unique<transport::TTestThread>();
  FThread->OnTerminate = [this](platform::TThread* sender) { ThreadDone(sender); };
  FThread->SetPort(FPort.get());
  if (FCommandLine->FSampleCount != 0) FThread->SetSampleLimit(FCommandLine->FSampleCount);
}

TCommTest::~TCommTest() {
  // The thread's end returns the line to command state, so it goes before the port.
  FThread.reset();
  FPort.reset();
  FCommandLine.reset();
}

void TCommTest::Run() {
  OpenPort();
  FPort->ApplySettings(ToolLineSettings());
  FPort->Purge({transport::puTxAbort, transport::puRxAbort, transport::puTxClear, transport::puRxClear});
  std::string reply;
  SendCommand(FCommandLine->FCommand, reply);
  WriteStdErr(reply + kLineEnd);
  ExamineReply(reply);
  RunDataPhase();
}

void TCommTest::OpenPort() {
  try {
    FPort->Open({transport::paRead, transport::paWrite});
  } catch (const platform::Exception& e) {
    throw EToolError(ecOpenFailed, platform::Format("Failed to open port '%s': %s", FPort->Name(), e.Message()));
  }
}

void TCommTest::SendCommand(const std::string& command, std::string& reply) {
  FPort->SetRTS(true);
  Sleep(5);
  const DWORD written = FPort->WriteText(command);
  if (written < command.size()) {
    FPort->SetRTS(false);
    throw platform::Exception(platform::Format(
        "Command not sent: the device took %u of %u bytes in %u ms (CTS low?)", written,
        static_cast<DWORD>(command.size()), kWriteTimeout));
  }
  Sleep(static_cast<DWORD>(FCommandLine->FCommandWait));
  reply.clear();
  FPort->ReadText(0xFFFFFFFFu, reply);
  FPort->SetRTS(false);
}

// N-codes and Q-codes end the run; a Y4 line gives the data phase its line settings.
void TCommTest::ExamineReply(const std::string& reply) {
  for (const protocol::TResponse& response : protocol::ParseResponseText(reply)) {
    if (protocol::IsHardwareErrorCode(response.Code))
      throw EToolError(ecDeviceError, platform::Format("Hardware error: %s", response.Line));
    if (protocol::IsCommandErrorCode(response.Code)) {
      std::string discarded;
      SendCommand("\r", discarded);
      throw EToolError(ecDeviceError, platform::Format("Command failed: %s", response.Line));
    }
    if (response.Code == protocol::rcResult) FThread->SetSettings(response.Text);
  }
}

void TCommTest::RunDataPhase() {
  FThread->AddOutput(StdOutputHandle(), false);
  FThread->Resume();
  if (FCommandLine->FRunTime != 0) {
    FThread->WaitTimeout(static_cast<DWORD>(FCommandLine->FRunTime));
    FThread->Terminate();
  }
  FThread->WaitFor();
  // Reported here, not on the reading thread: the message goes to standard error
  // even when standard output is what failed, and the exit code follows it.
  if (FThread->HasFatalException() && !ConsumerLeft(FThread->FatalException()))
    throw EToolError(ecDataPhaseFailed, FThread->FatalMessage());
}

// Runs on the reading thread as its data phase ends.
void TCommTest::ThreadDone(platform::TThread* sender) {
  auto* thread = dynamic_cast<transport::TReadingThread*>(sender);
  if (thread == nullptr) return;
  if (thread->HardwareStopped()) WriteStdErr(platform::Format("Hardware break: %s", thread->Message()) + kLineEnd);
}

void TCommTest::StopThread() {
  if (FThread) FThread->Terminate();
}

// ---- console control and program entry -------------------------------------------

BOOL ConsoleCtrlHandler(DWORD) {
  try {
    std::lock_guard<std::mutex> lock(CommTestLock);
    if (CommTest != nullptr && CommTest->FThread && !CommTest->FThread->IsCurrentThread()) CommTest->StopThread();
  } catch (...) {
    // The default action that follows ends the process anyway.
    platform::TraceDropped("the console control handler");
  }
  return FALSE;
}

namespace {

void SetCommTest(TCommTest* test) {
  std::lock_guard<std::mutex> lock(CommTestLock);
  CommTest = test;
}

void RunGuarded(const std::vector<std::string>& arguments) {
  auto test = std::make_unique<TCommTest>(arguments);
  SetCommTest(test.get());
  try {
    test->Run();
  } catch (...) {
    SetCommTest(nullptr);
    test.reset();  // the cleanup runs before the message is written
    throw;
  }
  SetCommTest(nullptr);
}

}  // namespace

int RunProgram(const std::vector<std::string>& arguments) {
  try {
    const TCommandLine check(arguments);
    if (check.FHelp) {
      if (WriteStdOut(HelpText)) return ecSuccess;
      WriteStdErr(std::string("The help could not be written to standard output") + kLineEnd);
      return ecFailure;
    }
    // Nothing is opened or sent with arguments that are wrong or incomplete.
    std::string problem = check.InvalidValueMessage();
    if (problem.empty() && !arguments.empty()) problem = check.MissingArgumentMessage();
    if (!problem.empty() || arguments.empty()) {
      WriteStdErr((problem.empty() ? std::string() : problem + kLineEnd) + UsageLine + kLineEnd);
      return ecBadArguments;
    }
    const bool handlerAdded = SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE) != FALSE;
    try {
      RunGuarded(arguments);
    } catch (...) {
      if (handlerAdded) SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
      throw;
    }
    if (handlerAdded) SetConsoleCtrlHandler(ConsoleCtrlHandler, FALSE);
  } catch (const EToolError& e) {
    WriteStdErr(e.Message() + kLineEnd);
    return e.ExitCode();
  } catch (const platform::Exception& e) {
    WriteStdErr(e.Message() + kLineEnd);
    return ecFailure;
  } catch (const std::exception& e) {
    WriteStdErr(std::string(e.what()) + kLineEnd);
    return ecFailure;
  } catch (...) {
    WriteStdErr(std::string("Unexpected failure") + kLineEnd);
    return ecFailure;
  }
  return ecSuccess;
}

}  // namespace tools
