// dovra-crashpoint on a small program of known effects (crashpoint_subject): the steps it lists,
// and, killed at each of them, only what came before is left.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/Contains.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

namespace {

// A listening loopback socket standing for the voucher service; what was sent to it is read
// after the subject ended.
class TListener {
 public:
  TListener() {
    FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
        ::listen(FSocket, 4) != 0 ||
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
      throw std::runtime_error("no loopback listener");
    Port = ntohs(addr.sin_port);
  }
  ~TListener() { ::close(FSocket); }
  TListener(const TListener&) = delete;
  TListener& operator=(const TListener&) = delete;

  // Everything sent by a connection already made; empty when none came.
  std::string Received() {
    const int conn = ::accept4(FSocket, nullptr, nullptr, SOCK_NONBLOCK);
    if (conn < 0) return {};
    std::string all;
    char buffer[64];
    for (ssize_t got; (got = ::recv(conn, buffer, sizeof buffer, 0)) > 0;) all.append(buffer, got);
    ::close(conn);
    return all;
  }
  int Port = 0;

 private:
  int FSocket = -1;
};

class Crashpoint : public TTestFolder {
 protected:
  Crashpoint() : TTestFolder("crashpoint") {}
  void SetUp() override {
    TTestFolder::SetUp();
    fs::create_directories(dir_ / "module");
  }

  struct TRun {
    int Exit = -1;
    std::string Report;
  };
  TRun Trace(const std::vector<std::string>& mode) {
    std::vector<std::string> args{"--db",         Path("sub.db"),    "--module-folder",
                                  Path("module"), "--service-port",  std::to_string(Listener.Port),
                                  "--report",     Path("report.txt")};
    args.insert(args.end(), mode.begin(), mode.end());
    args.insert(args.end(),
                {"--", CRASHPOINT_SUBJECT, dir_.string(), std::to_string(Listener.Port)});
    TChildProcess tracer;
    std::string error, output;
    TRun run;
    if (!tracer.Start(DOVRA_CRASHPOINT_PATH, args, {}, error)) {
      ADD_FAILURE() << error;
      return run;
    }
    run.Exit = tracer.ReadAllAndWait(output, kChildWaitMs);
    run.Report = Read(Path("report.txt"));
    return run;
  }

  TListener Listener;
};

const std::vector<std::string> kSteps = {
    "step 1: openat db (",        "step 2: write db 5 bytes (",
    "step 3: write db 6 bytes (", "step 4: fsync db (",
    "step 5: openat log (",       "step 6: write log 5 bytes (",
    "step 7: rename log (",       "step 8: sendto service 5 bytes (port "};

TEST_F(Crashpoint, ListsTheEffectsOfEveryThreadAndProcessAndNothingElse) {
  const TRun run = Trace({"--list"});
  EXPECT_EQ(run.Exit, 0) << run.Report;
  std::vector<std::string> lines;
  for (size_t from = 0, end; (end = run.Report.find('\n', from)) != std::string::npos;
       from = end + 1)
    lines.push_back(run.Report.substr(from, end - from));
  ASSERT_EQ(lines.size(), kSteps.size() + 2) << run.Report;
  for (size_t i = 0; i < kSteps.size(); ++i)
    EXPECT_EQ(lines[i].rfind(kSteps[i], 0), 0u) << "want " << kSteps[i] << ", got " << lines[i];
  EXPECT_EQ(lines[kSteps.size()], "steps: 8");
  EXPECT_EQ(lines[kSteps.size() + 1], "exit: 0");
  EXPECT_EQ(Read(Path("module/till.1.log")), "child");
  EXPECT_EQ(Listener.Received(), "hello");
}

// Killed at the entry of step N, the subject leaves exactly the effects of steps 1 to N-1.
TEST_F(Crashpoint, KilledAtAStepLeavesOnlyWhatCameBefore) {
  for (int n = 1; n <= 9; ++n) {
    SCOPED_TRACE("killed at step " + std::to_string(n));
    fs::remove(Path("sub.db"));
    fs::remove(Path("module/till.log"));
    fs::remove(Path("module/till.1.log"));
    const TRun run = Trace({"--kill-at", std::to_string(n)});
    if (n <= 8) {
      EXPECT_EQ(run.Exit, 137) << run.Report;
      EXPECT_EQ(run.Report.rfind("killed at " + kSteps[n - 1], 0), 0u) << run.Report;
    } else {
      EXPECT_EQ(run.Exit, 0) << run.Report;
      EXPECT_TRUE(Contains(run.Report, "not killed: step 9 never came\nsteps: 8\n")) << run.Report;
    }
    EXPECT_EQ(fs::exists(Path("sub.db")), n > 1);
    EXPECT_EQ(Read(Path("sub.db")), n <= 2 ? "" : n == 3 ? "first" : "firstsecond");
    EXPECT_EQ(fs::exists(Path("module/till.log")), n == 6 || n == 7);
    EXPECT_EQ(Read(Path("module/till.log")) + Read(Path("module/till.1.log")),
              n <= 6 ? "" : "child");
    EXPECT_EQ(fs::exists(Path("module/till.1.log")), n > 7);
    EXPECT_EQ(Listener.Received(), n > 8 ? "hello" : "");
  }
}

TEST_F(Crashpoint, RefusesARunWithNeitherListNorKill) {
  const TRun run = Trace({});
  EXPECT_EQ(run.Exit, 2);
}

}  // namespace
