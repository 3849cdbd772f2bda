// dovra-crashpoint: runs a command under ptrace, numbers the system calls by which it leaves a
// mark on its database, its module's folder and the servers it talks to, and kills it with
// SIGKILL at the entry of one of them, so that this call and everything after it never happens:
// the state a power cut at that instant leaves behind, reproducible by its number.
#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>
#include "lib/version/DovraVersion.h"

namespace fs = std::filesystem;

namespace {

struct TOptions {
  std::vector<std::string> Databases;
  std::string ModuleFolder;
  int ServicePort = 0;
  int ServerPort = 0;
  bool List = false;
  long KillAt = 0;
  std::string Report;
  std::vector<std::string> Command;
};

// What a socket was connected to, from the address its connect() named.
struct TPeer {
  std::string Target;  // "service", "server", or empty: neither
  std::string Address;
};

// One effect: the call, what it touches, its byte count (-1: none) and the path or address.
struct TStep {
  std::string Call, Target, Where;
  long long Bytes = -1;
};

std::string Describe(long number, const TStep& step) {
  std::string text = "step " + std::to_string(number) + ": " + step.Call + " " + step.Target;
  if (step.Bytes >= 0) text += " " + std::to_string(step.Bytes) + " bytes";
  return text + " (" + step.Where + ")";
}

class TTracer {
 public:
  explicit TTracer(const TOptions& options) : FOptions(options) {
    for (const std::string& db : options.Databases) {
      const std::string file = fs::weakly_canonical(fs::absolute(db)).string();
      FFiles[file] = "db";
      FFiles[file + "-wal"] = "wal";
      FFiles[file + "-journal"] = "journal";
    }
    if (!options.ModuleFolder.empty())
      FFolder = fs::weakly_canonical(fs::absolute(options.ModuleFolder)).string();
  }

  // Runs the command to its end or to the kill; the exit code to leave with.
  int Run(std::ostream& report) {
    FReport = &report;
    const pid_t child = ::fork();
    if (child < 0) return Fail("cannot fork: " + std::string(std::strerror(errno)));
    if (child == 0) {
      std::vector<char*> argv;
      for (const std::string& arg : FOptions.Command) argv.push_back(const_cast<char*>(arg.data()));
      argv.push_back(nullptr);
      ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
      ::raise(SIGSTOP);
      ::execvp(argv[0], argv.data());
      std::fprintf(stderr, "dovra-crashpoint: cannot run %s: %s\n", argv[0], std::strerror(errno));
      ::_exit(127);
    }
    FMain = child;
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status))
      return Fail("the command did not stop for tracing");
    const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEFORK |
                         PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
    if (::ptrace(PTRACE_SETOPTIONS, child, nullptr, options) != 0)
      return Fail("cannot trace the command: " + std::string(std::strerror(errno)));
    FKnown.insert(child);
    FProcesses.insert(child);
    ::ptrace(PTRACE_SYSCALL, child, nullptr, nullptr);
    int mainStatus = 0;
    while (!FKnown.empty()) {
      const pid_t tid = ::waitpid(-1, &status, __WALL);
      if (tid < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (WIFEXITED(status) || WIFSIGNALED(status)) {
        FKnown.erase(tid);
        FProcesses.erase(tid);
        if (tid == FMain) mainStatus = status;
        continue;
      }
      if (!WIFSTOPPED(status)) continue;
      Stopped(tid, status);
    }
    if (FKilled) return 128 + SIGKILL;
    if (FOptions.List || FOptions.KillAt > 0) {
      if (FOptions.KillAt > 0) report << "not killed: step " << FOptions.KillAt << " never came\n";
      report << "steps: " << FSteps << "\n";
    }
    if (WIFEXITED(mainStatus)) {
      report << "exit: " << WEXITSTATUS(mainStatus) << "\n";
      return WEXITSTATUS(mainStatus);
    }
    report << "exit: signal " << WTERMSIG(mainStatus) << "\n";
    return 128 + WTERMSIG(mainStatus);
  }

 private:
  int Fail(const std::string& message) {
    std::cerr << "dovra-crashpoint: " << message << "\n";
    return 125;
  }

  void Stopped(pid_t tid, int status) {
    // Once killed, nothing is resumed: SIGKILL takes every thread from its stop.
    if (FKilled) return;
    const int signal = WSTOPSIG(status);
    const int event = status >> 16;
    int deliver = 0;
    if (signal == (SIGTRAP | 0x80)) {
      SyscallStop(tid);
      if (FKilled) return;
    } else if (signal == SIGTRAP && event != 0) {
      unsigned long other = 0;
      if (event == PTRACE_EVENT_CLONE || event == PTRACE_EVENT_FORK ||
          event == PTRACE_EVENT_VFORK) {
        ::ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &other);
        const pid_t child = static_cast<pid_t>(other);
        if (!FKnown.count(child)) FFresh.insert(child);
        FKnown.insert(child);
        if (event != PTRACE_EVENT_CLONE) FProcesses.insert(child);
      }
    } else if (signal == SIGSTOP && (FFresh.count(tid) || !FKnown.count(tid))) {
      // A new thread's or process's first stop, made by the attach: not the program's signal.
      FFresh.erase(tid);
      FKnown.insert(tid);
    } else {
      deliver = signal;
    }
    ::ptrace(PTRACE_SYSCALL, tid, nullptr, deliver);
  }

  void SyscallStop(pid_t tid) {
    __ptrace_syscall_info info{};
    if (::ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) <= 0) return;
    if (info.op != PTRACE_SYSCALL_INFO_ENTRY) return;
    const long nr = static_cast<long>(info.entry.nr);
    const auto* a = info.entry.args;
    if (nr == SYS_connect) {
      Connected(tid, static_cast<int>(a[0]), a[1], static_cast<socklen_t>(a[2]));
      return;
    }
    std::optional<TStep> step = Effect(tid, nr, a);
    if (!step) return;
    ++FSteps;
    if (FOptions.List) *FReport << Describe(FSteps, *step) << "\n";
    if (FOptions.KillAt == FSteps) {
      *FReport << "killed at " << Describe(FSteps, *step) << "\n";
      FReport->flush();
      FKilled = true;
      for (const pid_t process : FProcesses) ::kill(process, SIGKILL);
    }
  }

  std::optional<TStep> Effect(pid_t tid, long nr, const uint64_t* a) {
    switch (nr) {
      case SYS_write:
      case SYS_pwrite64:
        return OnFd(tid, nr == SYS_write ? "write" : "pwrite64", a[0],
                    static_cast<long long>(a[2]));
      case SYS_writev:
      case SYS_pwritev:
      case SYS_pwritev2:
        return OnFd(tid,
                    nr == SYS_writev    ? "writev"
                    : nr == SYS_pwritev ? "pwritev"
                                        : "pwritev2",
                    a[0], IoBytes(tid, a[1], a[2]));
      case SYS_sendto:
        return OnFd(tid, "sendto", a[0], static_cast<long long>(a[2]));
      case SYS_sendmsg:
        return OnFd(tid, "sendmsg", a[0], MessageBytes(tid, a[1]));
      case SYS_sendmmsg:
        return OnFd(tid, "sendmmsg", a[0], -1);
      case SYS_fsync:
      case SYS_fdatasync:
        return OnFd(tid, nr == SYS_fsync ? "fsync" : "fdatasync", a[0], -1, false);
      case SYS_ftruncate:
        return OnFd(tid, "ftruncate", a[0], static_cast<long long>(a[1]), false);
      case SYS_truncate:
        return OnPath(tid, "truncate", AT_FDCWD, a[0], static_cast<long long>(a[1]));
      case SYS_open:
        if (!(a[1] & O_CREAT)) return std::nullopt;
        return OnPath(tid, "open", AT_FDCWD, a[0]);
      case SYS_creat:
        return OnPath(tid, "creat", AT_FDCWD, a[0]);
      case SYS_openat:
        if (!(a[2] & O_CREAT)) return std::nullopt;
        return OnPath(tid, "openat", static_cast<int>(a[0]), a[1]);
      case SYS_openat2: {
        open_how how{};
        if (!Read(tid, a[2], &how, sizeof how) || !(how.flags & O_CREAT)) return std::nullopt;
        return OnPath(tid, "openat2", static_cast<int>(a[0]), a[1]);
      }
      case SYS_mkdir:
        return OnPath(tid, "mkdir", AT_FDCWD, a[0]);
      case SYS_mkdirat:
        return OnPath(tid, "mkdirat", static_cast<int>(a[0]), a[1]);
      case SYS_unlink:
        return OnPath(tid, "unlink", AT_FDCWD, a[0]);
      case SYS_unlinkat:
        return OnPath(tid, "unlinkat", static_cast<int>(a[0]), a[1]);
      case SYS_rmdir:
        return OnPath(tid, "rmdir", AT_FDCWD, a[0]);
      case SYS_rename:
        return OnRename(tid, "rename", AT_FDCWD, a[0], AT_FDCWD, a[1]);
      case SYS_renameat:
      case SYS_renameat2:
        return OnRename(tid, nr == SYS_renameat ? "renameat" : "renameat2", static_cast<int>(a[0]),
                        a[1], static_cast<int>(a[2]), a[3]);
      default:
        return std::nullopt;
    }
  }

  // The file or socket an fd names, at this stop.
  static std::string FdLink(pid_t tid, long long fd) {
    std::error_code ec;
    const fs::path link =
        fs::read_symlink("/proc/" + std::to_string(tid) + "/fd/" + std::to_string(fd), ec);
    return ec ? std::string() : link.string();
  }

  // Which of the watched files a path is: db, wal, journal, log (in the module's folder), or
  // none. -shm is none: SQLite maps it into memory, so its changes are no system calls.
  std::string Classify(const std::string& path) const {
    const auto file = FFiles.find(path);
    if (file != FFiles.end()) return file->second;
    if (!FFolder.empty() && path.size() > FFolder.size() &&
        path.compare(0, FFolder.size(), FFolder) == 0 && path[FFolder.size()] == '/' &&
        path.size() >= 4 && path.compare(path.size() - 4, 4, "-shm") != 0)
      return "log";
    return {};
  }

  std::optional<TStep> OnFd(pid_t tid, const char* call, uint64_t fd, long long bytes,
                            bool sockets = true) {
    const std::string link = FdLink(tid, static_cast<long long>(fd));
    if (link.rfind("socket:[", 0) == 0) {
      if (!sockets) return std::nullopt;
      const auto peer = FPeers.find(link);
      if (peer == FPeers.end() || peer->second.Target.empty()) return std::nullopt;
      return TStep{call, peer->second.Target, peer->second.Address, bytes};
    }
    const std::string target = Classify(link);
    if (target.empty()) return std::nullopt;
    return TStep{call, target, link, bytes};
  }

  std::optional<TStep> OnPath(pid_t tid, const char* call, int dirfd, uint64_t address,
                              long long bytes = -1) {
    const std::string path = Resolve(tid, dirfd, address);
    const std::string target = Classify(path);
    if (target.empty()) return std::nullopt;
    return TStep{call, target, path, bytes};
  }

  std::optional<TStep> OnRename(pid_t tid, const char* call, int fromFd, uint64_t from, int toFd,
                                uint64_t to) {
    const std::string source = Resolve(tid, fromFd, from), dest = Resolve(tid, toFd, to);
    std::string target = Classify(dest);
    if (target.empty()) target = Classify(source);
    if (target.empty()) return std::nullopt;
    return TStep{call, target, source + " -> " + dest, -1};
  }

  // A path argument made absolute the way the kernel reads it: against the fd's folder or the
  // thread's working folder.
  std::string Resolve(pid_t tid, int dirfd, uint64_t address) const {
    std::string path = ReadString(tid, address);
    if (path.empty()) return {};
    if (path[0] != '/') {
      std::error_code ec;
      const fs::path base = dirfd == AT_FDCWD
                                ? fs::read_symlink("/proc/" + std::to_string(tid) + "/cwd", ec)
                                : fs::path(FdLink(tid, dirfd));
      path = (base / path).string();
    }
    return fs::path(path).lexically_normal().string();
  }

  void Connected(pid_t tid, int fd, uint64_t address, socklen_t length) {
    const std::string link = FdLink(tid, fd);
    sockaddr_storage addr{};
    if (link.empty() || length == 0 ||
        !Read(tid, address, &addr, std::min<size_t>(length, sizeof addr)))
      return;
    TPeer peer;
    if (addr.ss_family == AF_INET || addr.ss_family == AF_INET6) {
      const int port =
          ntohs(addr.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&addr)->sin_port
                                          : reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
      peer.Address = "port " + std::to_string(port);
      if (FOptions.ServicePort && port == FOptions.ServicePort) peer.Target = "service";
      if (FOptions.ServerPort && port == FOptions.ServerPort) peer.Target = "server";
    } else if (addr.ss_family == AF_UNIX) {
      const auto* un = reinterpret_cast<sockaddr_un*>(&addr);
      peer.Address = std::string(un->sun_path, strnlen(un->sun_path, sizeof un->sun_path));
      // A PostgreSQL server's socket is named .s.PGSQL.PORT.
      const std::string name = fs::path(peer.Address).filename().string();
      if (name.rfind(".s.PGSQL.", 0) == 0 &&
          (!FOptions.ServerPort || name == ".s.PGSQL." + std::to_string(FOptions.ServerPort)))
        peer.Target = "server";
    }
    FPeers[link] = peer;
  }

  static bool Read(pid_t tid, uint64_t address, void* into, size_t size) {
    iovec local{into, size};
    iovec remote{reinterpret_cast<void*>(address), size};
    return ::process_vm_readv(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
  }

  // A NUL-terminated string of the tracee, read a page at most at a time so that a string near
  // the end of its mapping is read too.
  static std::string ReadString(pid_t tid, uint64_t address) {
    std::string text;
    const size_t page = 4096;
    while (text.size() < 8192) {
      char chunk[4096];
      const size_t size = page - (address % page);
      iovec local{chunk, size};
      iovec remote{reinterpret_cast<void*>(address), size};
      const ssize_t got = ::process_vm_readv(tid, &local, 1, &remote, 1, 0);
      if (got <= 0) break;
      const size_t end = strnlen(chunk, static_cast<size_t>(got));
      text.append(chunk, end);
      if (end < static_cast<size_t>(got)) break;
      address += static_cast<uint64_t>(got);
    }
    return text;
  }

  static long long IoBytes(pid_t tid, uint64_t address, uint64_t count) {
    if (count > 1024) return -1;
    std::vector<iovec> iov(count);
    if (count && !Read(tid, address, iov.data(), count * sizeof(iovec))) return -1;
    long long bytes = 0;
    for (const iovec& v : iov) bytes += static_cast<long long>(v.iov_len);
    return bytes;
  }

  static long long MessageBytes(pid_t tid, uint64_t address) {
    msghdr message{};
    if (!Read(tid, address, &message, sizeof message)) return -1;
    return IoBytes(tid, reinterpret_cast<uint64_t>(message.msg_iov), message.msg_iovlen);
  }

  const TOptions& FOptions;
  std::map<std::string, std::string> FFiles;  // canonical path -> db, wal, journal
  std::string FFolder;
  std::map<std::string, TPeer> FPeers;  // "socket:[inode]" -> what it was connected to
  std::set<pid_t> FKnown, FFresh, FProcesses;
  pid_t FMain = -1;
  long FSteps = 0;
  bool FKilled = false;
  std::ostream* FReport = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs COMMAND under ptrace and numbers, over all its threads and child processes in the "
      "order the kernel sees them, the system calls by which it leaves a mark: writes "
      "(write, pwrite64, writev, pwritev), syncs (fsync, fdatasync) and truncations of the "
      "database files (target db, and its -wal and -journal: wal, journal); writes, creations, "
      "renames and removals in the module's folder (log); sends on sockets connected to the "
      "voucher service (service: by --service-port) or the database server (server: by "
      "--server-port, or a Unix socket named .s.PGSQL.PORT). SQLite's -shm file is not watched: "
      "SQLite maps it into memory, so its changes are no system calls. Fds are resolved at each "
      "stop through /proc/PID/fd. --list prints every step of a run; --kill-at N kills the "
      "command (SIGKILL, every process of it) while it is stopped at the entry of step N, so "
      "that this step never happens. Exit: the command's own code, 137 when killed, 125 when "
      "it could not be traced.",
      "dovra-crashpoint"};
  TOptions options;
  app.add_option("--db", options.Databases,
                 "An SQLite database file (its -wal and -journal are watched too); repeatable");
  app.add_option("--module-folder", options.ModuleFolder,
                 "The module's folder: what is written, made, renamed or removed there is 'log'");
  app.add_option("--service-port", options.ServicePort,
                 "The voucher service's TCP port: sends to it are 'service'");
  app.add_option("--server-port", options.ServerPort,
                 "The database server's port (TCP, or its .s.PGSQL.PORT socket): 'server'");
  app.set_version_flag("--version", std::string("dovra-crashpoint ") + kDovraVersion,
                       "Print the version and exit");
  app.add_flag("--list", options.List, "Print every step of the run");
  app.add_option("--kill-at", options.KillAt, "Kill the command at the entry of step N")
      ->check(CLI::PositiveNumber);
  app.add_option("--report", options.Report,
                 "Where the steps and the kill are printed (default: standard error)");
  app.add_option("command", options.Command, "The command and its arguments (after --)")
      ->required();
  app.positionals_at_end();
  CLI11_PARSE(app, argc, argv);
  if (!options.List && options.KillAt == 0) {
    std::cerr << "dovra-crashpoint: give --list, --kill-at N or both\n";
    return 2;
  }
  std::ofstream file;
  if (!options.Report.empty()) {
    file.open(options.Report, std::ios::binary | std::ios::trunc);
    if (!file) {
      std::cerr << "dovra-crashpoint: cannot write the report " << options.Report << "\n";
      return 2;
    }
  }
  TTracer tracer(options);
  return tracer.Run(options.Report.empty() ? std::cerr : static_cast<std::ostream&>(file));
}
