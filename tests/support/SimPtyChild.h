// quelm-sim-pty as a child process, for tests that drive the terminal backend
// against the virtual sampler. Shared by the sampler and fault suites.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testsupport {

// quelm-sim-pty as a child process; its first output line is the slave path.
class SimPtyChild {
 public:
  explicit SimPtyChild(const std::string& profile) {
    const char* bin = std::getenv("QUELM_BIN");
    const std::string program = std::string(bin ? bin : ".") + "/quelm-sim-pty";
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::execl(program.c_str(), program.c_str(), "--until-stdin-closes", profile.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') path_.push_back(c);
    ::close(out[0]);
  }
  ~SimPtyChild() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& Path() const { return path_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::string path_;
};

}  // namespace testsupport
