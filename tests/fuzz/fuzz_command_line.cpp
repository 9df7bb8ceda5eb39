// Fuzz target: the console tool's command line, one argument per input line.
// Arguments the tool accepts (no value or missing-argument message) give a
// port, a command and limits of 0 or more; a refused value is named in the
// message; help is recognised wherever it stands.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SysUtils.h"
#include "tools/ComTest.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

std::vector<std::string> Arguments(const std::string& text) {
  std::vector<std::string> args;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    args.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h" || a == "/?"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> args = Arguments(std::string(reinterpret_cast<const char*>(data), size));
  const tools::TCommandLine line(args);

  bool help = false;
  for (const std::string& a : args) help = help || IsHelp(a);
  Require(line.FHelp == help);

  const std::string invalid = line.InvalidValueMessage();
  if (invalid.empty()) {
    Require(line.FSampleCount >= 0 && line.FRunTime >= 0 && line.FCommandWait >= 0);
  } else {
    Require(invalid.rfind("/COUNT ", 0) == 0 || invalid.rfind("/TIME ", 0) == 0 ||
            invalid.rfind("/WAITCMD ", 0) == 0);
  }
  if (line.MissingArgumentMessage().empty()) {
    Require(!platform::Trim(line.FPortName).empty());
    Require(!line.FCommand.empty());
    // The command is one of the arguments, and not an option or a help request.
    bool found = false;
    for (const std::string& a : args) {
      std::string value;
      if (a == line.FCommand && !IsHelp(a) && tools::TCommandLine::ParseOption(a, value) == 0) found = true;
    }
    Require(found);
  }
  return 0;
}
