#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool TChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnv, std::string& error) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  if (MergeErrors) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);

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

  const int rc = posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    FPid = -1;
    error = "cannot start " + program + ": " + std::strerror(rc);
    return false;
  }
  FOut = pipeFds[0];
  return true;
}

bool TChildProcess::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    if (const size_t end = FPending.find('\n'); end != std::string::npos) {
      line = FPending.substr(0, end);
      FPending.erase(0, end + 1);
      return true;
    }
    if (FOut < 0) return false;
    pollfd p{FOut, POLLIN, 0};
    const int ready = poll(&p, 1, MsLeft(deadline));
    if (ready <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(FOut, buffer, sizeof buffer);
    if (n <= 0) return false;
    FPending.append(buffer, static_cast<size_t>(n));
  }
}

int TChildProcess::ReadAllAndWait(std::string& output, int timeoutMs) {
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  output = std::move(FPending);
  FPending.clear();
  while (FOut >= 0 && MsLeft(deadline) > 0) {
    pollfd p{FOut, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
    char buffer[4096];
    const ssize_t n = read(FOut, buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<size_t>(n));
  }
  int status = 0;
  while (FPid > 0 && MsLeft(deadline) > 0) {
    if (waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      if (FOut >= 0) close(FOut);
      FOut = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Stop();
  return -1;
}

void TChildProcess::Stop() {
  if (FPid > 0) {
    kill(FPid, SIGTERM);
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 200 && !reaped; ++i) {
      reaped = waitpid(FPid, &status, WNOHANG) == FPid;
      if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
      kill(FPid, SIGKILL);
      waitpid(FPid, &status, 0);
    }
    FPid = -1;
  }
  if (FOut >= 0) close(FOut);
  FOut = -1;
}

void TChildProcess::Kill() {
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
  }
  if (FOut >= 0) close(FOut);
  FOut = -1;
}
