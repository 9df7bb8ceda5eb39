// A datagram-preserving socket as a channel output: each read returns exactly
// one write, so a test sees how the reading thread cut the stream into writes.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/WinTypes.h"

namespace testsupport {

class RecordSocket {
 public:
  RecordSocket() {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_) != 0) throw std::runtime_error("socketpair");
    reader_ = std::thread([this] {
      char buf[4096];
      ssize_t n;
      while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) {
        bytes_.append(buf, static_cast<size_t>(n));
        records_.push_back(static_cast<size_t>(n));
      }
    });
  }
  ~RecordSocket() {
    Join();
    ::close(fds_[0]);
  }
  RecordSocket(const RecordSocket&) = delete;
  RecordSocket& operator=(const RecordSocket&) = delete;

  // The write end as a channel handle; its taker closes it.
  LONG WriteEnd() const { return fds_[1]; }
  // Waits until the write end is closed; then Bytes and Records are complete.
  void Join() {
    if (reader_.joinable()) reader_.join();
  }
  const std::string& Bytes() const { return bytes_; }
  const std::vector<size_t>& Records() const { return records_; }

 private:
  int fds_[2] = {-1, -1};
  std::thread reader_;
  std::string bytes_;
  std::vector<size_t> records_;
};

}  // namespace testsupport
