// A pipe whose write end a channel or reading thread takes over (and closes);
// the test reads the other end. Shared by the transport, sim and sampler tests.
#pragma once

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace testsupport {

class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    r_ = fds[0];
    w_ = fds[1];
  }
  ~Pipe() {
    CloseRead();
    if (w_ >= 0) ::close(w_);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // The write end as a channel handle; from now on its taker closes it.
  LONG GiveWriteEnd() {
    const int w = w_;
    w_ = -1;
    return w;
  }
  // The reader goes away, so later writes fail with EPIPE.
  void CloseRead() {
    if (r_ >= 0) ::close(r_);
    r_ = -1;
  }
  // Everything up to end of file; the writer must have been closed.
  std::vector<BYTE> ReadAll() {
    std::vector<BYTE> out;
    BYTE buf[512];
    ssize_t n;
    while ((n = ::read(r_, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
  }
  std::string ReadText() {
    std::vector<BYTE> b = ReadAll();
    return std::string(b.begin(), b.end());
  }

 private:
  int r_ = -1;
  int w_ = -1;
};

}  // namespace testsupport
