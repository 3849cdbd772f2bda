// Child processes for tests: start a program with a piped stdout, read its lines or run it to
// completion, each wait bounded by a time-out.
//
// Each child is held by its object: it leads a process group of its own, and the whole group is
// killed when the object goes, whether the test passed, failed or threw. Should the test process
// itself end abruptly (a crash, a stop from the test runner), the child is killed with it, so that
// no service is left holding a port, a data folder or the runner's output pipe. The kill at the
// test process's end is tied to the thread that started the child: start a child in the thread
// that waits for it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// How long a test waits for one program of the project to do its part (a payment, a start-up):
// a few seconds when it works, also in the sanitizer build, and far below the test's own time-out.
inline constexpr int kChildWaitMs = 30000;

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
  // The next line the child prints, without its line end; false when none came within
  // timeoutMs or the child closed its output first (Printed() says what came instead).
  bool ReadLine(std::string& line, int timeoutMs);
  // Everything the child prints until it exits or timeoutMs pass; the exit code, or -1 when it
  // had to be killed (the output then ends with a line saying so) or did not exit normally.
  int ReadAllAndWait(std::string& output, int timeoutMs);
  // SIGTERM to the child's group, then SIGKILL after a short grace period; reaps the child.
  void Stop();
  // SIGKILL to the child's group at once, as a power cut or an operator's kill would end it;
  // reaps the child.
  void Kill();

  // Everything read from the child so far, lines already returned included: the message of a
  // wait that ran out.
  const std::string& Printed() const { return FPrinted; }
  bool Running() const { return FPid > 0; }

  // Set before Start: the child's error output goes into the same pipe as its output.
  bool MergeErrors = false;

 private:
  // Reads what the child has written within waitMs; false at the end of its output.
  bool ReadSome(int waitMs);
  // True once the child has exited (it is left to be reaped).
  bool Exited() const;
  // Sends signal to the group, gives it graceMs to end, kills what is left and reaps the child;
  // its exit status, or -1.
  int EndGroup(int signal, int graceMs);

  pid_t FPid = -1;
  int FOut = -1;
  std::string FPending;
  std::string FPrinted;
};
