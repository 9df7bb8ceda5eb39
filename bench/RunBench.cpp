// quelm-bench-run: whole runs through QUELM1.SAM, as a host makes them, with
// every byte checked against the virtual sampler's predictable stream; and the
// same port drained by a minimal loop, so that the library's cost reads as a
// ratio measured in the same conditions. Prints one line per run.
//
//   quelm-bench-run [--port=NAME | --pty=PROFILE] [--mode=sole|dual] [--bytes=N]
//                   [--runs=K] [--rate=SAMPLES] [--loop=ours|minimal|tool|all]
//   quelm-bench-run --latency [--port=NAME]      call latencies
//   quelm-bench-run --idle [--port=NAME]         cost of a run that receives nothing
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "examples/HostSupport.h"
#include "sim/SimSignal.h"
#include "tests/support/SimPtyChild.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string port = "SIM-3M";
  std::string ptyProfile;  // set: serve this profile on a pseudo-terminal and use that
  bool dual = false;
  size_t bytes = 2u << 20;
  int runs = 3;
  LONG rate = 5000000;  // divisor 0: the device outpaces every line, so the line sets the pace
  std::string loop = "all";
  bool latency = false;
  bool idle = false;
  std::string binDir;
};

double ThreadCpu() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ProcessCpu(long* voluntarySwitches = nullptr) {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  if (voluntarySwitches) *voluntarySwitches = u.ru_nvcsw;
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// How long a run of `bytes` may take before it counts as stuck: the slowest
// line carries 11.5 kB/s, and a minute more for the start and the end.
double RunLimitSeconds(size_t bytes) { return 60.0 + static_cast<double>(bytes) / 10000.0; }

// The bytes channel `channel` of `channels` receives in a run at divisor 0.
class StreamCheck {
 public:
  StreamCheck(bool dual, int channel) : channel_(channel), channels_(dual ? 2 : 1) {
    sim::StreamSpec spec;
    spec.mode = dual ? sim::StreamMode::Dual : sim::StreamMode::Sole;
    spec.divisor = 0;
    generator_ = std::make_unique<sim::StreamGenerator>(sim::DefaultSignal(), spec);
  }
  // False at the first byte that differs from the stream.
  bool Take(const BYTE* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (data[i] != NextOwn()) return false;
      ++checked_;
    }
    return true;
  }
  size_t Checked() const { return checked_; }

 private:
  BYTE NextOwn() {
    for (;;) {
      const auto b = generator_->Next();
      const bool mine = static_cast<int>(index_++ % channels_) == channel_;
      if (mine) return b ? b->value : 0;
    }
  }
  int channel_, channels_;
  std::unique_ptr<sim::StreamGenerator> generator_;
  std::uint64_t index_ = 0;
  size_t checked_ = 0;
};

// Reads a pipe to its end on a thread of its own, checking every byte.
class Consumer {
 public:
  Consumer(bool dual, int channel) : check_(dual, channel) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    read_ = fds[0];
    write_ = fds[1];
    thread_ = std::thread([this] { Run(); });
  }
  ~Consumer() {
    if (thread_.joinable()) thread_.join();
    ::close(read_);
    if (write_ >= 0) ::close(write_);
  }
  int GiveWriteEnd() {  // the library closes it at the run's end
    const int fd = write_;
    write_ = -1;
    return fd;
  }
  int WriteEnd() const { return write_; }
  void CloseWriteEnd() {
    if (write_ >= 0) ::close(write_);
    write_ = -1;
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  size_t Bytes() const { return bytes_; }
  bool Exact() const { return exact_; }
  double Cpu() const { return cpu_; }
  Clock::time_point FirstByte() const { return first_; }

 private:
  void Run() {
    const double start = ThreadCpu();
    BYTE buffer[65536];
    for (;;) {
      const ssize_t n = ::read(read_, buffer, sizeof buffer);
      if (n <= 0) break;
      if (bytes_ == 0) first_ = Clock::now();
      if (exact_ && !check_.Take(buffer, static_cast<size_t>(n))) exact_ = false;
      bytes_ += static_cast<size_t>(n);
    }
    cpu_ = ThreadCpu() - start;
  }
  StreamCheck check_;
  int read_ = -1, write_ = -1;
  std::thread thread_;
  size_t bytes_ = 0;
  bool exact_ = true;
  double cpu_ = 0;
  Clock::time_point first_{};
};

bool Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return true;
  std::fprintf(stderr, "%s failed (0x%08X): %s\n", what, static_cast<unsigned>(hr), host::LastErrorText().c_str());
  return false;
}

HRESULT OpenPort(IKorvoSampler* s, const std::string& name) {
  const platform::OleString wide(name.begin(), name.end());
  BSTR port = SysAllocString(wide.c_str());
  const HRESULT hr = s->Open(port);
  SysFreeString(port);
  return hr;
}

bool BindChannel(IKorvoSampler* s, LONG index, int fd) {
  ISamplerChannels* channels = nullptr;
  ISamplerChannel* channel = nullptr;
  if (!Check(s->GetChannels(&channels), "GetChannels")) return false;
  const bool ok = Check(channels->Item(index, &channel), "Item") && Check(channel->Bind(fd, VARIANT_TRUE), "Bind");
  if (channel) channel->Release();
  channels->Release();
  return ok;
}

LONG StatusCode(IKorvoSampler* s, std::string* text = nullptr) {
  BSTR status = nullptr;
  LONG code = 0;
  s->GetStatus(&status, &code);
  const std::string t = host::Take(status);
  if (text) *text = t;
  return code;
}

bool Sampling(IKorvoSampler* s) {
  VARIANT_BOOL v = VARIANT_FALSE;
  s->IsSampling(&v);
  return v != VARIANT_FALSE;
}

struct RunResult {
  size_t bytes = 0;
  bool exact = false;
  double seconds = 0, libraryCpu = 0, readerCpu = 0;
  std::string end;
};

void Print(const char* what, const Options& o, const std::string& port, const RunResult& r) {
  const double mb = static_cast<double>(r.bytes) / 1e6;
  std::printf("%-8s %-5s %-14s %10zu bytes %-5s %7.2f s %8.3f kB/s  cpu %7.1f ms/MB  reader %7.1f ms/MB  %s\n",
              what, o.dual ? "dual" : "sole", port.c_str(), r.bytes, r.exact ? "exact" : "LOST", r.seconds,
              static_cast<double>(r.bytes) / 1e3 / std::max(r.seconds, 1e-9), mb > 0 ? r.libraryCpu * 1e3 / mb : 0.0,
              mb > 0 ? r.readerCpu * 1e3 / mb : 0.0, r.end.c_str());
  std::fflush(stdout);
}

// One run through the library, counted in bytes.
RunResult OurRun(IKorvoSampler* s, const Options& o) {
  RunResult r;
  const LONG samples = static_cast<LONG>(std::min<size_t>(o.bytes * 8, 0x7FFFFFF0));
  if (!Check(s->SetMode(o.dual ? 2 : 1), "SetMode") || !Check(s->SetRate(o.rate), "SetRate") ||
      !Check(s->SetCapabilityBool(SCAP_START_ON_ACTIVITY, VARIANT_FALSE), "start at once") ||
      !Check(s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE), "stop on count") ||
      !Check(s->SetCapabilityLong(SCAP_SAMPLE_COUNT, o.dual ? samples / 2 : samples), "sample count"))
    return r;
  std::vector<std::unique_ptr<Consumer>> consumers;
  for (int c = 0; c < (o.dual ? 2 : 1); ++c) {
    consumers.push_back(std::make_unique<Consumer>(o.dual, c));
    if (!BindChannel(s, c, consumers.back()->GiveWriteEnd())) return r;
  }
  const double mainBefore = ThreadCpu();
  const double processBefore = ProcessCpu();
  const auto start = Clock::now();
  if (!Check(s->Start(), "Start")) return r;
  while (Sampling(s)) {
    if (Seconds(start) > RunLimitSeconds(o.bytes)) {
      s->Stop();  // a device that stopped streaming: report what came
      break;
    }
    usleep(10000);
  }
  for (auto& c : consumers) c->Join();
  r.seconds = Seconds(start);
  const double process = ProcessCpu() - processBefore;
  StatusCode(s, &r.end);
  r.exact = true;
  for (auto& c : consumers) {
    r.bytes += c->Bytes();
    r.exact = r.exact && c->Exact();
    r.readerCpu += c->Cpu();
  }
  // A dual run deals out the chunk that reaches its count whole: up to 32 bytes more.
  r.exact = r.exact && r.bytes >= o.bytes && r.bytes <= o.bytes + (o.dual ? 32 : 0);
  r.libraryCpu = process - r.readerCpu - (ThreadCpu() - mainBefore);
  return r;
}

// A run through a freshly loaded sampler, opened on the port.
RunResult OurRun(const Options& o, const std::string& port, const std::string& lib) {
  RunResult r;
  IKorvoSampler* s = host::LoadSampler(lib);
  if (!s) return r;
  if (Check(OpenPort(s, port), "Open")) {
    r = OurRun(s, o);
    s->Close();
  }
  s->Release();
  return r;
}

// The device's start exchange, done by hand on the terminal: rate, start, the Y4 line.
bool StartOnTerminal(int fd, bool dual) {
  const std::string command = dual ? "r00\rX0\r" : "r00\rS0\r";
  if (::write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) return false;
  std::string reply;
  const auto start = Clock::now();
  while (reply.find("Y4:") == std::string::npos || reply.find('\n', reply.find("Y4:")) == std::string::npos) {
    if (Seconds(start) > 5) return false;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 100);
    char c;
    while (::read(fd, &c, 1) == 1) reply.push_back(c);
  }
  return true;
}

// The minimal loop: input count, a read of at most 33 bytes, a write per
// output (per byte's channel), and a wait for input when there is none.
RunResult MinimalRun(const Options& o, const std::string& path) {
  RunResult r;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return r;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  tcflush(fd, TCIOFLUSH);
  std::vector<std::unique_ptr<Consumer>> consumers;
  for (int c = 0; c < (o.dual ? 2 : 1); ++c) consumers.push_back(std::make_unique<Consumer>(o.dual, c));
  if (!StartOnTerminal(fd, o.dual)) {
    ::close(fd);
    r.end = "no start reply";
    return r;
  }
  const auto start = Clock::now();
  const double before = ThreadCpu();
  size_t total = 0;
  BYTE chunk[33], share[2][33];
  while (total < o.bytes && Seconds(start) < RunLimitSeconds(o.bytes)) {
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0) break;
    if (queued == 0) {
      pollfd p{fd, POLLIN, 0};
      ::poll(&p, 1, 20);
      continue;
    }
    const size_t want = std::min<size_t>({33, static_cast<size_t>(queued), o.bytes - total});
    const ssize_t n = ::read(fd, chunk, want);
    if (n <= 0) continue;
    if (!o.dual) {
      if (::write(consumers[0]->WriteEnd(), chunk, static_cast<size_t>(n)) != n) break;
    } else {
      size_t count[2] = {0, 0};
      for (ssize_t i = 0; i < n; ++i) {
        const size_t c = (total + static_cast<size_t>(i)) % 2;
        share[c][count[c]++] = chunk[i];
      }
      for (int c = 0; c < 2; ++c)
        if (count[c] > 0 && ::write(consumers[c]->WriteEnd(), share[c], count[c]) < 0) break;
    }
    total += static_cast<size_t>(n);
  }
  r.libraryCpu = ThreadCpu() - before;
  tcflush(fd, TCIFLUSH);  // ends the stream: a pseudo-terminal's stand-in for DTR dropping
  ::close(fd);
  for (auto& c : consumers) {
    c->CloseWriteEnd();
    c->Join();
  }
  r.seconds = Seconds(start);
  r.exact = true;
  for (auto& c : consumers) {
    r.bytes += c->Bytes();
    r.exact = r.exact && c->Exact();
    r.readerCpu += c->Cpu();
  }
  r.exact = r.exact && r.bytes == o.bytes;
  r.end = "minimal loop";
  return r;
}

// QUELMCHK with its standard output on a pipe; its CPU from wait4.
RunResult ToolRun(const Options& o, const std::string& path) {
  RunResult r;
  Consumer consumer(false, 0);
  const std::string program = o.binDir + "/QUELMCHK";
  const std::string portArg = "/PORT=" + path;
  const std::string countArg = "/COUNT=" + std::to_string(o.bytes);
  const std::string timeArg = "/TIME=" + std::to_string(static_cast<long>(RunLimitSeconds(o.bytes) * 1000));
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(consumer.WriteEnd(), 1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);  // the reply and messages; only the data are measured
    ::execl(program.c_str(), program.c_str(), portArg.c_str(), countArg.c_str(), timeArg.c_str(), "r00\rS0\r",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  consumer.CloseWriteEnd();
  int status = 0;
  rusage u{};
  ::wait4(pid, &status, 0, &u);
  consumer.Join();
  r.seconds = Seconds(start);
  r.libraryCpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                 static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  r.bytes = consumer.Bytes();
  r.readerCpu = consumer.Cpu();
  r.exact = consumer.Exact() && r.bytes == o.bytes;
  r.end = "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F>
double TimedMs(F&& f) {
  const auto start = Clock::now();
  f();
  return Seconds(start) * 1e3;
}

// Latencies of the calls a host makes, medians of five.
int Latency(const Options& o, const std::string& port, const std::string& lib) {
  IKorvoSampler* s = host::LoadSampler(lib);
  if (!s) return 1;
  std::vector<double> open, setRate, start, firstByte, status, stop, endToIdle, close;
  for (int i = 0; i < 5; ++i) {
    HRESULT hr = S_OK;
    open.push_back(TimedMs([&] { hr = OpenPort(s, port); }));
    if (!Check(hr, "Open")) break;
    s->SetMode(1);
    setRate.push_back(TimedMs([&] { hr = s->SetRate(o.rate); }));
    s->SetCapabilityBool(SCAP_START_ON_ACTIVITY, VARIANT_FALSE);
    s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_FALSE);
    Consumer consumer(false, 0);
    BindChannel(s, 0, consumer.GiveWriteEnd());
    const auto t0 = Clock::now();
    start.push_back(TimedMs([&] { hr = s->Start(); }));
    while (consumer.Bytes() == 0 && Seconds(t0) < 5) usleep(100);
    firstByte.push_back(std::chrono::duration<double>(consumer.FirstByte() - t0).count() * 1e3);
    for (int k = 0; k < 20; ++k) status.push_back(TimedMs([&] { StatusCode(s); }));
    stop.push_back(TimedMs([&] { s->Stop(); }));
    consumer.Join();
    // A run that ends by its count: from the last byte's arrival to IsSampling false.
    s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_TRUE);
    s->SetCapabilityLong(SCAP_SAMPLE_COUNT, 8 * 12000);
    Consumer counted(false, 0);
    BindChannel(s, 0, counted.GiveWriteEnd());
    s->Start();
    // Fewer bytes than a pseudo-terminal's device sends in one run.
    while (counted.Bytes() < 12000 && Seconds(t0) < 10) std::this_thread::yield();
    const auto last = Clock::now();
    while (Sampling(s) && Seconds(last) < 10) std::this_thread::yield();
    endToIdle.push_back(Seconds(last) * 1e3);
    counted.Join();
    close.push_back(TimedMs([&] { s->Close(); }));
  }
  s->Release();
  std::printf("latency %-14s Open %.1f ms  SetRate %.1f ms  Start %.1f ms  Start->first byte %.1f ms  "
              "GetStatus %.1f us  Stop %.1f ms  last byte->IsSampling false %.1f ms  Close %.1f ms\n",
              port.c_str(), Median(open), Median(setRate), Median(start), Median(firstByte), Median(status) * 1e3,
              Median(stop), Median(endToIdle), Median(close));
  return 0;
}

// A run that receives nothing (SIM-IDLE's inputs never change, and the run
// waits for activity): what its thread costs while it waits.
int Idle(const Options& o, const std::string& port, const std::string& lib) {
  IKorvoSampler* s = host::LoadSampler(lib);
  if (!s || !Check(OpenPort(s, port), "Open")) return 1;
  s->SetMode(1);
  s->SetRate(o.rate);
  s->SetCapabilityBool(SCAP_STOP_ON_COUNT, VARIANT_FALSE);
  s->SetCapabilityBool(SCAP_START_ON_ACTIVITY, VARIANT_TRUE);
  Consumer consumer(false, 0);
  BindChannel(s, 0, consumer.GiveWriteEnd());
  if (!Check(s->Start(), "Start")) return 1;
  usleep(500000);
  long switchesBefore = 0, switchesAfter = 0;
  const double cpuBefore = ProcessCpu(&switchesBefore);
  const auto t0 = Clock::now();
  usleep(10000000);
  const double seconds = Seconds(t0);
  const double cpu = ProcessCpu(&switchesAfter) - cpuBefore;
  std::printf("idle    %-14s %.3f %% of a core, %.0f wake-ups/s, %zu bytes received\n", port.c_str(),
              cpu / seconds * 100, static_cast<double>(switchesAfter - switchesBefore) / seconds, consumer.Bytes());
  s->Stop();
  consumer.Join();
  s->Close();
  s->Release();
  return 0;
}

bool Value(const char* arg, const char* name, std::string& out) {
  const size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  out = arg + n + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string self = argv[0];
  const size_t slash = self.rfind('/');
  const std::string here = slash == std::string::npos ? "." : self.substr(0, slash);
  o.binDir = here + "/../bin";
  for (int i = 1; i < argc; ++i) {
    std::string v;
    if (Value(argv[i], "--port", v)) o.port = v;
    else if (Value(argv[i], "--pty", v)) o.ptyProfile = v;
    else if (Value(argv[i], "--mode", v)) o.dual = v == "dual";
    else if (Value(argv[i], "--bytes", v)) o.bytes = std::strtoull(v.c_str(), nullptr, 10);
    else if (Value(argv[i], "--runs", v)) o.runs = std::atoi(v.c_str());
    else if (Value(argv[i], "--rate", v)) o.rate = std::atol(v.c_str());
    else if (Value(argv[i], "--loop", v)) o.loop = v;
    else if (Value(argv[i], "--bin", v)) o.binDir = v;
    else if (std::strcmp(argv[i], "--latency") == 0) o.latency = true;
    else if (std::strcmp(argv[i], "--idle") == 0) o.idle = true;
    else {
      std::fprintf(stderr,
                   "usage: quelm-bench-run [--port=NAME | --pty=PROFILE] [--mode=sole|dual] [--bytes=N] [--runs=K]\n"
                   "                       [--rate=SAMPLES] [--loop=ours|minimal|tool|all] [--bin=DIR]\n"
                   "       quelm-bench-run --latency|--idle [--port=NAME | --pty=PROFILE]\n");
      return 2;
    }
  }
  const std::string lib = o.binDir + "/QUELM1.SAM";
  std::unique_ptr<testsupport::SimPtyChild> pty;
  std::string port = o.port;
  if (!o.ptyProfile.empty()) {
    setenv("QUELM_BIN", o.binDir.c_str(), 1);  // where the child finds quelm-sim-pty
    pty = std::make_unique<testsupport::SimPtyChild>(o.ptyProfile);
    port = pty->Path();
    if (port.empty()) {
      std::fprintf(stderr, "quelm-sim-pty did not start\n");
      return 1;
    }
  }
  if (o.latency) return Latency(o, port, lib);
  if (o.idle) return Idle(o, port, lib);
  int failures = 0;
  std::vector<double> ours, minimal, tool;  // CPU ms per MB of each run
  auto perMb = [](const RunResult& r) {
    return r.bytes > 0 ? r.libraryCpu * 1e3 / (static_cast<double>(r.bytes) / 1e6) : 0.0;
  };
  for (int i = 0; i < o.runs; ++i) {
    if (o.loop == "ours" || o.loop == "all") {
      const RunResult r = OurRun(o, port, lib);
      Print("library", o, port, r);
      ours.push_back(perMb(r));
      if (!r.exact) ++failures;
    }
    if (pty && (o.loop == "minimal" || o.loop == "all")) {
      const RunResult r = MinimalRun(o, port);
      Print("minimal", o, "pty", r);
      minimal.push_back(perMb(r));
      if (!r.exact) ++failures;
    }
    if (pty && !o.dual && (o.loop == "tool" || o.loop == "all")) {
      const RunResult r = ToolRun(o, port);
      Print("QUELMCHK", o, "pty", r);
      tool.push_back(perMb(r));
      if (!r.exact) ++failures;
    }
  }
  // Medians, and the ratios to the minimal loop measured in the same run.
  const std::string where = o.ptyProfile.empty() ? port : "pty " + o.ptyProfile;
  std::printf("median   %-5s %-14s library %.1f ms/MB", o.dual ? "dual" : "sole", where.c_str(), Median(ours));
  if (!minimal.empty()) {
    std::printf("  minimal %.1f ms/MB  library/minimal %.2f", Median(minimal), Median(ours) / Median(minimal));
    if (!tool.empty())
      std::printf("  QUELMCHK %.1f ms/MB  QUELMCHK/minimal %.2f", Median(tool), Median(tool) / Median(minimal));
  }
  std::printf("  runs with loss %d\n", failures);
  return failures == 0 ? 0 : 1;
}
