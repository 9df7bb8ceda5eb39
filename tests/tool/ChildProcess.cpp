// Child processes for the tool's end-to-end tests: fork and exec with pipes,
// signals reset to their defaults, and a poll loop that plays the consumer.
#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tooltest {

namespace {

long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

struct Argv {
  std::vector<std::string> strings;
  std::vector<char*> pointers;
  void Finish() {
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
};

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, char** argv, char** envp, int in, int out, int err) {
  if (in >= 0) dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // A test runner may have left these ignored or blocked; the tool must see them as a shell gives them.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int fd = 3; fd < 256; ++fd) close(fd);
  execve(program, argv, envp);
  _exit(127);
}

void Drain(int& fd, std::string& into, size_t limit, bool& closedEarly) {
  char buffer[4096];
  const size_t room = limit > into.size() ? limit - into.size() : 0;
  const ssize_t n = read(fd, buffer, std::min(sizeof(buffer), room == 0 ? sizeof(buffer) : room));
  if (n > 0) {
    into.append(buffer, static_cast<size_t>(n));
    if (into.size() >= limit) {
      close(fd);  // the consumer has what it wanted and leaves
      fd = -1;
      closedEarly = true;
    }
    return;
  }
  if (n < 0 && errno == EINTR) return;
  close(fd);
  fd = -1;
}

}  // namespace

std::string BinDir() {
  const char* bin = std::getenv("QUELM_BIN");
  return bin ? bin : "build/bin";
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                     const ChildOptions& options) {
  ChildResult result;
  Argv argv;
  argv.strings.push_back(program);
  for (const auto& a : arguments) argv.strings.push_back(a);
  argv.Finish();
  Argv envp;
  for (char** e = environ; *e; ++e) envp.strings.emplace_back(*e);
  for (const auto& e : options.environment) envp.strings.push_back(e);
  envp.Finish();

  int out[2], err[2];
  if (options.stdoutPath.empty()) {
    if (pipe2(out, O_CLOEXEC) != 0) return result;
  } else {
    // Opened here, not in the child: only async-signal-safe calls run after fork.
    out[0] = -1;
    out[1] = open(options.stdoutPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (out[1] < 0) return result;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    if (out[0] >= 0) close(out[0]);
    close(out[1]);
    return result;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    ExecChild(program.c_str(), argv.pointers.data(), envp.pointers.data(), -1, out[1], err[1]);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    if (out[0] >= 0) close(out[0]);
    close(err[0]);
    return result;
  }

  int outFd = out[0], errFd = err[0];
  bool closedEarly = false, signalled = false, unusedFlag = false;
  long signalAt = 0;
  const long deadline = NowMs() + options.limitMs;
  while (outFd >= 0 || errFd >= 0) {
    if (options.signal != 0 && !signalled && result.out.size() >= options.signalAfter &&
        result.err.find(options.signalWhenErrHas) != std::string::npos) {
      kill(pid, options.signal);
      signalled = true;
      signalAt = NowMs();
    }
    pollfd fds[2];
    nfds_t n = 0;
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    const long left = deadline - NowMs();
    if (left <= 0) break;
    if (poll(fds, n, static_cast<int>(std::min(left, 100L))) <= 0) continue;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == outFd)
        Drain(outFd, result.out, options.closeStdoutAfter, closedEarly);
      else
        Drain(errFd, result.err, std::numeric_limits<size_t>::max(), unusedFlag);
    }
  }
  // With standard output closed early the child may still be running down.
  int status = 0;
  for (;;) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (NowMs() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.killedAtLimit = true;
      break;
    }
    usleep(2000);
  }
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  if (signalled) result.msAfterSignal = NowMs() - signalAt;
  if (!result.killedAtLimit && WIFEXITED(status)) {
    result.exited = true;
    result.exitCode = WEXITSTATUS(status);
  } else if (!result.killedAtLimit && WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
  }
  return result;
}

BackgroundChild::BackgroundChild(const std::string& program, const std::vector<std::string>& arguments) {
  Argv argv;
  argv.strings.push_back(program);
  for (const auto& a : arguments) argv.strings.push_back(a);
  argv.Finish();
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  const pid_t pid = fork();
  if (pid == 0) ExecChild(program.c_str(), argv.pointers.data(), environ, in[0], out[1], 2);
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return;
  }
  pid_ = pid;
  stdin_ = in[1];
  stdout_ = out[0];
}

BackgroundChild::~BackgroundChild() {
  if (stdin_ >= 0) close(stdin_);
  if (stdout_ >= 0) close(stdout_);
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);  // a front end serves until it is terminated
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    usleep(10000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string BackgroundChild::ReadLine(int limitMs) {
  std::string line;
  const long deadline = NowMs() + limitMs;
  while (stdout_ >= 0 && NowMs() < deadline) {
    pollfd p{stdout_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char c = 0;
    const ssize_t n = read(stdout_, &c, 1);
    if (n <= 0) break;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return std::string();
}

}  // namespace tooltest
