#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The groups of the children alive in this process, for a signal that ends it: a fixed table, as
// a signal handler may neither allocate nor lock.
std::array<std::atomic<pid_t>, 64> gGroups{};

void Remember(pid_t group) {
  for (std::atomic<pid_t>& slot : gGroups) {
    pid_t free = 0;
    if (slot.compare_exchange_strong(free, group)) return;
  }
  // Table full: the child still dies with this process, only its own children might not.
}

void Forget(pid_t group) {
  for (std::atomic<pid_t>& slot : gGroups) {
    pid_t mine = group;
    if (slot.compare_exchange_strong(mine, 0)) return;
  }
}

// A test process stopped by a signal takes its children's groups with it, then ends as the signal
// says (the handler was reset on entry).
void EndGroupsAndDie(int signal) {
  for (std::atomic<pid_t>& slot : gGroups)
    if (const pid_t group = slot.load(); group > 0) ::kill(-group, SIGKILL);
  ::raise(signal);
}

// Only where nobody else handles the signal: a sanitizer's report or the test framework's own
// handling goes first, and the children then die with the process anyway.
void InstallStopHandlers() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_SIGINFO))
      continue;
    struct sigaction handler {};
    handler.sa_handler = EndGroupsAndDie;
    sigemptyset(&handler.sa_mask);
    handler.sa_flags = SA_RESETHAND | SA_NODEFER;
    ::sigaction(signal, &handler, nullptr);
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

bool TChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnv, std::string& error) {
  static std::once_flag handlers;
  std::call_once(handlers, InstallStopHandlers);
  Stop();
  FPending.clear();
  FPrinted.clear();

  // Everything the child needs is made before it exists: between fork and exec only calls that
  // are safe in a copy of a threaded process are made.
  std::vector<std::string> argStore{program};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore(extraEnv);
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  int out[2], failed[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (::pipe2(failed, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The test may have ended between fork and prctl: then nobody would kill this child.
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &deflt, nullptr);
    ::dup2(out[1], STDOUT_FILENO);
    if (MergeErrors) ::dup2(out[1], STDERR_FILENO);
    ::execve(program.c_str(), argv.data(), envp.data());
    const int reason = errno;
    [[maybe_unused]] const ssize_t n = ::write(failed[1], &reason, sizeof reason);
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(failed[1]);
  if (pid < 0) {
    error = "cannot start " + program + ": fork: " + std::strerror(errno);
    ::close(out[0]);
    ::close(failed[0]);
    return false;
  }
  // Also here, so that the group exists before anything is sent to it.
  ::setpgid(pid, pid);
  Remember(pid);
  FPid = pid;
  FOut = out[0];
  int reason = 0;
  ssize_t n;
  do n = ::read(failed[0], &reason, sizeof reason);
  while (n < 0 && errno == EINTR);
  ::close(failed[0]);
  if (n == static_cast<ssize_t>(sizeof reason)) {
    EndGroup(SIGKILL, 0);
    error = "cannot start " + program + ": " + std::strerror(reason);
    return false;
  }
  return true;
}

bool TChildProcess::ReadSome(int waitMs) {
  if (FOut < 0) return false;
  pollfd p{FOut, POLLIN, 0};
  const int ready = ::poll(&p, 1, waitMs);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  char buffer[4096];
  const ssize_t n = ::read(FOut, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    CloseFd(FOut);
    return false;
  }
  FPending.append(buffer, static_cast<size_t>(n));
  FPrinted.append(buffer, static_cast<size_t>(n));
  return true;
}

bool TChildProcess::Exited() const {
  siginfo_t info{};
  return FPid > 0 &&
         ::waitid(P_PID, static_cast<id_t>(FPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == FPid;
}

bool TChildProcess::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    if (const size_t end = FPending.find('\n'); end != std::string::npos) {
      line = FPending.substr(0, end);
      FPending.erase(0, end + 1);
      return true;
    }
    if (MsLeft(deadline) == 0 || !ReadSome(MsLeft(deadline))) return false;
  }
}

int TChildProcess::ReadAllAndWait(std::string& output, int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  // The output is read while waiting for the exit: something the child left behind may hold the
  // pipe open long after it ended.
  bool open = true;
  while (FPid > 0 && !Exited() && MsLeft(deadline) > 0) {
    if (open)
      open = ReadSome(std::min(MsLeft(deadline), 50));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool exited = Exited();
  // What the child wrote before it ended; nothing is waited for that might never come.
  while (open && FOut >= 0) {
    pollfd p{FOut, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !ReadSome(0)) break;
  }
  output = std::move(FPending);
  FPending.clear();
  if (!exited && FPid > 0) {
    EndGroup(SIGKILL, 0);
    output += "\n[test] no exit within " + std::to_string(timeoutMs) + " ms: killed\n";
    return -1;
  }
  return EndGroup(0, 0);
}

int TChildProcess::EndGroup(int signal, int graceMs) {
  int code = -1;
  if (FPid > 0) {
    if (signal != 0) ::kill(-FPid, signal);
    const auto deadline = TClock::now() + std::chrono::milliseconds(graceMs);
    while (!Exited() && MsLeft(deadline) > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Whatever of the group is still there (the child itself, or what it started) goes now,
    // while the unreaped child keeps the group's number from being reused.
    ::kill(-FPid, SIGKILL);
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) code = WEXITSTATUS(status);
    Forget(FPid);
    FPid = -1;
  }
  CloseFd(FOut);
  return code;
}

void TChildProcess::Stop() { EndGroup(SIGTERM, 2000); }

void TChildProcess::Kill() { EndGroup(SIGKILL, 0); }
