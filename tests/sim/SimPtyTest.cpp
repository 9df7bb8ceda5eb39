// The pseudo-terminal front end with the terminal backend: a host opens the
// printed slave path with its port class and talks to the device behind it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/SAdapters.h"
#include "sim/SimProfiles.h"
#include "sim/SimSignal.h"
#include "tests/sim/HostSide.h"

using simtest::DataPhase;
using simtest::Host;

namespace {

// quelm-sim-pty as a child process with its stdin and stdout on pipes (and
// its stderr, when asked, for reading after it has exited).
class FrontEnd {
 public:
  explicit FrontEnd(const std::vector<std::string>& args, bool captureStderr = false) {
    const char* bin = std::getenv("QUELM_BIN");
    std::string program = std::string(bin ? bin : ".") + "/quelm-sim-pty";
    int in[2], out[2], err[2] = {-1, -1};
    if (::pipe(in) != 0 || ::pipe(out) != 0 || (captureStderr && ::pipe(err) != 0)) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      if (captureStderr) ::dup2(err[1], 2), ::close(err[0]);
      ::close(in[1]);
      ::close(out[0]);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (captureStderr) ::close(err[1]);
    stderr_ = err[0];
    stdin_ = in[1];
    stdout_ = out[0];
    char c;
    while (::read(stdout_, &c, 1) == 1 && c != '\n') firstLine_.push_back(c);
  }
  ~FrontEnd() {
    CloseStdin();
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) ::close(stdout_);
    if (stderr_ >= 0) ::close(stderr_);
  }
  const std::string& FirstLine() const { return firstLine_; }
  void CloseStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }
  void Signal(int signal) { ::kill(pid_, signal); }
  // What it wrote to stderr, up to its exit.
  std::string ErrorText() {
    std::string text;
    char c;
    while (stderr_ >= 0 && ::read(stderr_, &c, 1) == 1) text.push_back(c);
    return text;
  }
  // The exit status, waiting up to two seconds; -1 if it is still running.
  int WaitExit() {
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      Sleep(10);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  bool exited_ = false;
  std::string firstLine_;
};

}  // namespace

TEST(SimPty, TComPortOnTheSlavePathIdentifiesTheDevice) {
  FrontEnd fe({"SIM-MIRSOL"});
  ASSERT_EQ(fe.FirstLine().rfind("/dev/", 0), 0u) << fe.FirstLine();
  Host host(fe.FirstLine());
  auto adapter = protocol::TSampler::CreateAdapter(host.Send("?\rH\r"));
  ASSERT_TRUE(adapter);
  EXPECT_EQ(adapter->GetHardwareKind(), protocol::hkMIRSOL);
  EXPECT_EQ(adapter->ByteOrder, 4321);
  EXPECT_EQ(adapter->Frequency, 10000000u);
}

TEST(SimPty, DataPhaseStartsAfterTheReplyWindowAndEndsOnThePurge) {
  FrontEnd fe({});
  Host host(fe.FirstLine());
  EXPECT_EQ(host.Send("rF0\rS0\r"), "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n");
  {
    DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 400);
    run.Go();
    EXPECT_FALSE(run.thread.HasFatalException()) << run.thread.FatalMessage();
    sim::StreamSpec spec;
    spec.divisor = 15;
    EXPECT_EQ(run.pipe.ReadAll(), sim::ExpectedStream(sim::DefaultSignal(), spec, 400));
  }
  // The reading thread purged its queue at the end: the stream has stopped and
  // the next reply arrives clean.
  EXPECT_EQ(host.Send("?\rH\r"), sim::IdentificationReply(*sim::FindProfile("SIM")));
}

TEST(SimPty, SignalOptionReplacesTheProfilesInputsAtItsOscillator) {
  struct Case {
    const char* profile;
    const char* divisor;  // 15 in the profile's byte order
    DWORD tickRate;
  };
  for (const Case& c : {Case{"SIM", "F0", 5000000}, Case{"SIM-VOKTAR", "0F", 4000000}}) {
    SCOPED_TRACE(c.profile);
    FrontEnd fe({"--signal=uart", c.profile});
    Host host(fe.FirstLine());
    EXPECT_EQ(host.Send("r" + std::string(c.divisor) + "\rS0\r"), "Y4:baud=115200 parity=N data=8 stop=1 dtr=on\r\n");
    DataPhase run(host, "baud=115200 parity=N data=8 stop=1 dtr=on", 400);
    run.Go();
    sim::StreamSpec spec;
    spec.divisor = 15;
    const auto received = run.pipe.ReadAll();
    EXPECT_EQ(received, sim::ExpectedStream(sim::UartSignal(c.tickRate), spec, 400));
    EXPECT_NE(received, sim::ExpectedStream(sim::DefaultSignal(), spec, 400));
  }
  for (const char* bad : {"--signal=morse", "--signal="}) {
    FrontEnd fe({bad, "SIM"}, true);
    EXPECT_EQ(fe.FirstLine(), "");
    EXPECT_EQ(fe.WaitExit(), 2);
    const std::string why = fe.ErrorText();
    EXPECT_NE(why.find("unknown signal"), std::string::npos) << why;
    EXPECT_NE(why.find("default, idle, uart, nec"), std::string::npos) << why;
  }
}

TEST(SimPty, FrontEndServesUntilTerminatedOrAskedToFollowItsInput) {
  // Started from a script (standard input at its end) or in the background of
  // a shell, it keeps serving; a termination ends it cleanly.
  FrontEnd fe({"SIM-DELMORA"});
  EXPECT_FALSE(fe.FirstLine().empty());
  fe.CloseStdin();
  EXPECT_EQ(fe.WaitExit(), -1);
  Host host(fe.FirstLine());
  EXPECT_FALSE(host.Send("?\rH\r").empty());
  fe.Signal(SIGTERM);
  EXPECT_EQ(fe.WaitExit(), 0);

  FrontEnd follows({"--until-stdin-closes", "SIM"});
  EXPECT_FALSE(follows.FirstLine().empty());
  follows.CloseStdin();
  EXPECT_EQ(follows.WaitExit(), 0);

  FrontEnd bad({"NO-SUCH-PROFILE"});
  EXPECT_EQ(bad.FirstLine(), "");
  EXPECT_EQ(bad.WaitExit(), 2);
  FrontEnd noPath({"--link="});
  EXPECT_EQ(noPath.WaitExit(), 2);
}

TEST(SimPty, PathFileAndLinkNameTheSlaveWhileItServes) {
  char folder[] = "/tmp/quelm-sim-pty-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::filesystem::path dir(folder);
  const std::string file = (dir / "path").string(), link = (dir / "sim").string();
  std::filesystem::create_symlink("/dev/pts/no-such-terminal", link);  // left by a killed run
  {
    FrontEnd fe({"--path-file=" + file, "--link=" + link, "SIM"});
    ASSERT_FALSE(fe.FirstLine().empty());
    std::ifstream in(file);
    std::string written;
    std::getline(in, written);
    EXPECT_EQ(written, fe.FirstLine());
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), fe.FirstLine());
    Host host(link);  // a host can use the stable name
    EXPECT_EQ(host.Send("?\rH\r"), sim::IdentificationReply(*sim::FindProfile("SIM")));
    fe.Signal(SIGINT);
    EXPECT_EQ(fe.WaitExit(), 0);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_FALSE(std::filesystem::is_symlink(std::filesystem::symlink_status(link)));
  }
  {
    std::ofstream(link) << "not a link\n";  // never replaced
    FrontEnd fe({"--link=" + link, "SIM"});
    EXPECT_EQ(fe.FirstLine(), "");
    EXPECT_EQ(fe.WaitExit(), 1);
    std::ifstream in(link);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "not a link");
  }
  std::filesystem::remove_all(dir);
}
