// Runs a program as a child process with its standard output and error on
// pipes, as a shell pipeline would, and reports how it ended.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace tooltest {

struct ChildOptions {
  std::vector<std::string> environment;  // extra NAME=value entries
  // Read this many bytes of standard output, then close the pipe, like `| head -c n`.
  size_t closeStdoutAfter = std::numeric_limits<size_t>::max();
  // Send `signal` once this many bytes of standard output have arrived.
  int signal = 0;
  size_t signalAfter = 0;
  // ... and once standard error holds this text.
  std::string signalWhenErrHas = {};
  // Standard output to this file instead of a pipe (for example /dev/full); `out` stays empty.
  std::string stdoutPath = {};
  // Past this the child is killed and the result says so.
  int limitMs = 30000;
  // The child's working folder; empty: the test's own.
  std::string workingDirectory = {};
};

struct ChildResult {
  bool exited = false;     // ended by exit(); exitCode holds its status
  int exitCode = -1;
  int termSignal = 0;      // ended by this signal
  bool killedAtLimit = false;
  std::string out, err;
  long msAfterSignal = -1;  // from the signal to the child's end
};

ChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                     const ChildOptions& options = {});

// A child that keeps running while the test works: its standard output is
// read line by line, its standard input is a pipe the test can close.
class BackgroundChild {
 public:
  BackgroundChild(const std::string& program, const std::vector<std::string>& arguments);
  ~BackgroundChild();
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;
  bool Started() const { return pid_ > 0; }
  // The first line of standard output (without its line end), or empty after limitMs.
  std::string ReadLine(int limitMs);

 private:
  int pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

// build/bin of the build under test.
std::string BinDir();

}  // namespace tooltest
