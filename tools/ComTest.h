// The port test tool: its command line, and the run that sends one command,
// examines the reply and copies a following data stream to standard output.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Threads.h"
#include "platform/WinTypes.h"
#include "transport/ComPort.h"
#include "transport/ReadThr.h"

namespace tools {

extern const char* const UsageLine;

// The options, parsed from the process arguments (without the program name).
class TCommandLine {
 public:
  explicit TCommandLine(const std::vector<std::string>& arguments);

  // 1 to 4 for /PORT, /COUNT, /TIME, /WAITCMD (a case-insensitive prefix of
  // the argument), with Value the rest after the '='; 0 for no option.
  static int ParseOption(const std::string& argument, std::string& value);

  // No option takes a value below 0 (a negative limit or wait means nothing):
  // the text that says which one was given one, or empty.
  std::string InvalidValueMessage() const;

  std::string FPortName;
  std::string FCommand;
  LONG FSampleCount = 0;  // bytes; 0: no limit
  LONG FRunTime = 0;      // milliseconds; 0: no limit
  LONG FCommandWait = 50; // milliseconds between the command and reading the reply
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

// The program entry after start-up: usage, the run and its messages. Always 0.
int RunProgram(const std::vector<std::string>& arguments);

// Writes text to standard output or standard error, unbuffered; failures
// (a reader that has gone) are ignored.
void WriteStdOut(const std::string& text);
void WriteStdErr(const std::string& text);

}  // namespace tools
