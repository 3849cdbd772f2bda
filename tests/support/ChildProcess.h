// Child processes for end-to-end tests: start a program with a piped stdout, read its first
// line within a deadline, stop it, or run it to completion with a time limit.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess() { Stop(); }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Starts program with args (program is argv[0]); extraEnv entries "NAME=value" are added to
  // this process's environment. False with a message when the program cannot be started.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& extraEnv, std::string& error);
  // The first line the child prints, without its line end; false when none came within
  // timeoutMs or the child closed its output first.
  bool ReadLine(std::string& line, int timeoutMs);
  // Everything the child prints until it exits or timeoutMs pass; the exit code, or -1 when it
  // had to be killed or did not exit normally.
  int ReadAllAndWait(std::string& output, int timeoutMs);
  // SIGTERM, then SIGKILL after a short grace period; reaps the child.
  void Stop();
  // SIGKILL at once, as a power cut or an operator's kill would end it; reaps the child.
  void Kill();

  // Set before Start: the child's error output goes into the same pipe as its output.
  bool MergeErrors = false;

 private:
  pid_t FPid = -1;
  int FOut = -1;
  std::string FPending;
};
