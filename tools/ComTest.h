// The port test tool: its command line, and the run that sends one command,
// examines the reply and copies a following data stream to standard output.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SysUtils.h"
#include "platform/Threads.h"
#include "platform/WinTypes.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"

namespace tools {

extern const char* const UsageLine;
// The usage line, what the tool does, the options and the exit codes: for --help, -h and /?.
extern const char* const HelpText;

// How the tool ends, one code per failure class, so that a script can tell them
// apart. Ctrl-C, SIGTERM and SIGHUP still end it by the signal's default action.
enum TExitCode : int {
  ecSuccess = 0,        // also a data phase the device ended with a break and its message
  ecFailure = 1,        // anything else, e.g. "Command not sent: ..." (the device held CTS low)
  ecBadArguments = 2,   // nothing was opened
  ecOpenFailed = 3,     // "Failed to open port ..."
  ecDeviceError = 4,    // an N-code ("Hardware error: ...") or Q-code ("Command failed: ...")
  ecDataPhaseFailed = 5 // a line error or a failed write to standard output
};

// A failure that ends the run with the exit code of its class.
class EToolError : public platform::Exception {
 public:
  EToolError(TExitCode code, std::string message) : platform::Exception(std::move(message)), code_(code) {}
  TExitCode ExitCode() const noexcept { return code_; }

 private:
  TExitCode code_;
};

// The options, parsed from the process arguments (without the program name).
class TCommandLine {
 public:
  explicit TCommandLine(const std::vector<std::string>& arguments);

  // 1 to 4 for /PORT, /COUNT, /TIME, /WAITCMD (a case-insensitive prefix of
  // the argument), with Value the rest after the '='; 0 for no option.
  static int ParseOption(const std::string& argument, std::string& value);

  // Each numeric option takes a whole number of 0 or more (a negative limit or
  // wait means nothing, and "1e3" or "1s" must not quietly mean "no limit"):
  // the text that names the first option given another value, or empty.
  std::string InvalidValueMessage() const;
  // The text that says the port or the command is missing, or empty.
  std::string MissingArgumentMessage() const;

  bool FHelp = false;  // --help, -h or /? anywhere
  std::string FPortName;
  std::string FCommand;
  LONG FSampleCount = 0;  // bytes; 0: no limit
  LONG FRunTime = 0;      // milliseconds; 0: no limit
  LONG FCommandWait = 50; // milliseconds between the command and reading the reply

 private:
  // The last text given to /COUNT, /TIME and /WAITCMD, checked by InvalidValueMessage.
  struct TValueText {
    bool given = false;
    std::string text;
  };
  TValueText FValueTexts[3];
};

class TCommTest {
 public:
  explicit TCommTest(const std::vector<std::string>& arguments);
  ~TCommTest();
  TCommTest(const TCommTest&) = delete;
  TCommTest& operator=(const TCommTest&) = delete;

  void Run();
  void SendCommand(const std::string& command, std::string& reply);
  void ThreadDone(platform::TThread* sender);
  void StopThread();

  std::unique_ptr<transport::TComPort> FPort;
  std::unique_ptr<TCommandLine> FCommandLine;
  std::unique_ptr<transport::TTestThread> FThread;

 private:
  void OpenPort();
  void ExamineReply(const std::string& reply);
  void RunDataPhase();
};

// The running test, for the console control handler; set and cleared only by
// the program entry, under CommTestLock.
extern TCommTest* CommTest;
extern std::mutex CommTestLock;

// The control handler: asks the reading thread to end, then leaves the event
// unhandled so that its default action ends the process.
BOOL ConsoleCtrlHandler(DWORD ctrlType);

// The program entry after start-up: help, usage, the run and its messages on
// standard error. Returns a TExitCode.
int RunProgram(const std::vector<std::string>& arguments);

// Writes text to standard output or standard error, unbuffered; false when a
// write failed (a reader that has gone, a full disk).
bool WriteStdOut(const std::string& text);
bool WriteStdErr(const std::string& text);

}  // namespace tools
