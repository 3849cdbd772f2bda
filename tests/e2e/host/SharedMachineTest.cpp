// sarn-till on a machine it shares with users it cannot trust: what a local attacker or a
// careless user leaves at the names the till writes (links, hard links, other users' files,
// FIFOs, devices, cut-off modules) is refused or narrowed, never followed, and the till says so.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/Contains.h"
#include "tests/support/ScratchUser.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

// The sanitizer build catches a crash itself (its own report, its own exit code).
#if defined(__SANITIZE_ADDRESS__)
#define DOVRA_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVRA_TEST_SANITIZED 1
#endif
#endif
#ifndef DOVRA_TEST_SANITIZED
#define DOVRA_TEST_SANITIZED 0
#endif

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Makes path an empty file of the other user's, mode 0666; false (the case reported as skipped)
// when the machine has no other user to give it to.
bool PlantOthersFile(const TScratchUser& other, const std::string& path, const char* what) {
  if (!other.Made()) {
    std::cout << "[ SKIPPED  ] " << what << ": " << other.WhyNot() << '\n';
    return false;
  }
  std::ofstream{path};
  if (!other.Owns(path)) {
    ADD_FAILURE() << path << " could not be given to the other user";
    return false;
  }
  ::chmod(path.c_str(), 0666);
  return true;
}

class SharedMachine : public TTestFolder {
 protected:
  SharedMachine() : TTestFolder("dovra-till-shared") {}
  void SetUp() override {
    TTestFolder::SetUp();
    fs::create_directories(Path("module"));
    ::chmod(Path("module").c_str(), 0755);
    fs::copy_file(DOVRA_MODULE_PATH, Path("module/DovraVoucherPayment.smd"));
    Write(Path("outside"), "not the till's\n");
    ::chmod(Path("outside").c_str(), 0644);
  }
  // The till's output and error output together, and its exit code.
  int Till(const std::vector<std::string>& args, std::string& output,
           const std::string& module = {}) {
    std::vector<std::string> all{"--module",
                                 module.empty() ? Path("module/DovraVoucherPayment.smd") : module};
    all.insert(all.end(), args.begin(), args.end());
    TChildProcess till;
    till.MergeErrors = true;
    std::string error;
    if (!till.Start(SARN_TILL_PROGRAM, all, {"QT_QPA_PLATFORM=offscreen"}, error)) {
      ADD_FAILURE() << error;
      return -1;
    }
    return till.ReadAllAndWait(output, kChildWaitMs);
  }
  std::string LogName() const {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return Path("module/sarn-till (") + host + ") DovraVoucherPayment.smd.log";
  }
};

// A module that cannot be one is refused before dlopen, saying why; a link to a real module (as
// a package installs it) loads.
TEST_F(SharedMachine, TheModuleFileIsCheckedBeforeItLoads) {
  const std::string module = Path("module/DovraVoucherPayment.smd");
  const std::string bytes = Read(module);
  ASSERT_GT(bytes.size(), 100000u);
  Write(Path("cut.smd"), bytes.substr(0, 100000));
  Write(Path("text.smd"), "#!/bin/sh\necho not a module\n");
  ASSERT_EQ(::mkfifo(Path("fifo.smd").c_str(), 0600), 0);
  fs::create_symlink(module, Path("linked.smd"));
  const struct {
    std::string Module;
    int Exit;
    std::string Says;
  } cases[] = {
      {Path("fifo.smd"), 1, "it is not a regular file"},
      {Path("cut.smd"), 1, "it is cut off: a segment ends at byte"},
      {Path("text.smd"), 1, "it is not a shared library (no ELF header)"},
      {Path("module"), 1, "it is not a regular file"},
      {Path("linked.smd"), 0, "voucher service:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Module);
    std::string output;
    EXPECT_EQ(Till({"modules"}, output, c.Module), c.Exit) << output;
    EXPECT_TRUE(Contains(output, c.Says)) << output;
  }
}

// A module another user could replace still loads (the store may have installed it so), but
// every command says so in one line.
TEST_F(SharedMachine, WarnsWhenOthersCouldReplaceTheModule) {
  TScratchUser other;
  const std::string folder = Path("module"), module = Path("module/DovraVoucherPayment.smd");
  const struct {
    const char* What;
    mode_t FolderMode;
    mode_t ModuleMode;
    bool OtherOwnsFolder;
    std::string Says;  // empty: no warning
  } cases[] = {
      {"as installed", 0755, 0755, false, ""},
      {"world-writable folder", 0777, 0755, false, "'" + folder + "' is writable by others"},
      {"group-writable module", 0755, 0775, false, "'" + module + "' is writable by others"},
      {"folder of another user", 0755, 0755, true, "'" + folder + "' is owned by user"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    if (c.OtherOwnsFolder && !other.Made()) {
      std::cout << "[ SKIPPED  ] " << c.What << ": " << other.WhyNot() << '\n';
      continue;
    }
    ::chmod(folder.c_str(), c.FolderMode);
    ::chmod(module.c_str(), c.ModuleMode);
    if (c.OtherOwnsFolder) {
      ASSERT_TRUE(other.Owns(folder));
    }
    std::string output;
    EXPECT_EQ(Till({"modules"}, output), 0) << output;
    EXPECT_EQ(::lchown(folder.c_str(), ::geteuid(), ::getegid()), 0);
    const bool warned = Contains(output, "sarn-till: warning: the module " + module +
                                             " could be replaced by another user: ");
    EXPECT_EQ(warned, !c.Says.empty()) << output;
    if (!c.Says.empty()) {
      EXPECT_TRUE(Contains(output, c.Says)) << output;
    }
  }
}

// --db names only a regular file of the till's own user with one name; the journals beside it
// likewise. Nothing is made through a link, beside a device, or in another user's file.
TEST_F(SharedMachine, TheDatabaseIsAFileOfTheTillsOwn) {
  TScratchUser other;
  const bool hadNullJournal =
      fs::exists("/dev/null-journal") || fs::is_symlink("/dev/null-journal");
  const struct {
    const char* What;
    std::string Db;
    const char* Command;
    int Exit;
    std::string Says;
    bool Other = false;  // Db is made another user's, mode 0666
  } cases[] = {
      {"dangling link", Path("link.db"), "upgrade", 1, "is a symbolic link"},
      {"device", "/dev/null", "transactions", 1, "is not a regular file"},
      {"device, upgrade", "/dev/null", "upgrade", 1, "is not a regular file"},
      {"hard link", Path("hard.db"), "upgrade", 1, "has 2 names (a hard link)"},
      {"planted journal", Path("journal.db"), "upgrade", 1, "journal.db-wal' is a symbolic link"},
      {"another user's", Path("theirs.db"), "upgrade", 1, "belongs to user", true},
      {"own, too open", Path("open.db"), "upgrade", 0, "upgrade done"},
  };
  fs::create_symlink(Path("made-through-link.db"), Path("link.db"));
  Write(Path("hard.db"), "");
  fs::create_hard_link(Path("hard.db"), Path("hard-second.db"));
  Write(Path("journal.db"), "");
  fs::create_symlink(Path("outside"), Path("journal.db-wal"));
  Write(Path("open.db"), "");
  ::chmod(Path("open.db").c_str(), 0666);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    if (c.Other && !PlantOthersFile(other, c.Db, c.What)) continue;
    std::string output;
    EXPECT_EQ(Till({"--db", c.Db, c.Command}, output), c.Exit) << output;
    EXPECT_TRUE(Contains(output, c.Says)) << output;
    if (c.Other) {
      EXPECT_EQ(fs::file_size(c.Db), 0u) << "another user's file was written";
    }
  }
  EXPECT_FALSE(fs::exists(Path("made-through-link.db")));
  EXPECT_EQ(Read(Path("outside")), "not the till's\n");
  EXPECT_EQ(ModeOf(Path("open.db")), 0640u);
  if (!hadNullJournal) {
    EXPECT_FALSE(fs::exists("/dev/null-journal"));
  }
}

// The SQL trace goes only into a file of the till's own; a link, a second name or another
// user's file at its path is not written, and the till says why.
TEST_F(SharedMachine, TheTraceIsWrittenOnlyIntoAFileOfTheTillsOwn) {
  TScratchUser other;
  const struct {
    const char* What;
    std::string Trace;
    std::string Says;  // empty: traced
    bool Other = false;
  } cases[] = {
      {"link", Path("link.jsonl"), "link.jsonl' is a symbolic link"},
      {"hard link", Path("hard.jsonl"), "has 2 names (a hard link)"},
      {"another user's, 0666", Path("theirs.jsonl"), "belongs to user", true},
      {"own, 0644", Path("own.jsonl"), ""},
  };
  fs::create_symlink(Path("outside"), Path("link.jsonl"));
  fs::create_hard_link(Path("outside"), Path("hard.jsonl"));
  Write(Path("own.jsonl"), "");
  ::chmod(Path("own.jsonl").c_str(), 0644);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    if (c.Other && !PlantOthersFile(other, c.Trace, c.What)) continue;
    std::string output;
    EXPECT_EQ(Till({"--db", Path("till.db"), "--sql-trace", c.Trace, "upgrade"}, output), 0)
        << output;
    if (c.Says.empty()) {
      EXPECT_FALSE(Contains(output, "SQL trace")) << output;
      EXPECT_GT(fs::file_size(c.Trace), 0u);
      EXPECT_EQ(ModeOf(c.Trace), 0640u);
    } else {
      EXPECT_TRUE(Contains(output, "cannot use the SQL trace file " + c.Trace)) << output;
      EXPECT_TRUE(Contains(output, c.Says)) << output;
    }
    if (c.Other) {
      EXPECT_EQ(fs::file_size(c.Trace), 0u);
      EXPECT_EQ(ModeOf(c.Trace), 0666u) << "another user's file is theirs to set";
    }
  }
  EXPECT_EQ(Read(Path("outside")), "not the till's\n");
}

// What stands at the module log's name: a link, a hard link, another user's file; each is left
// untouched, the module writes a second name and the till says so. The module's own file left
// readable by everyone is narrowed without a word.
TEST_F(SharedMachine, TheModuleLogIsWrittenOnlyUnderANameOfItsOwn) {
  TScratchUser other;
  const std::string log = LogName();
  const std::string second = log.substr(0, log.size() - 4) + "-.log";
  const struct {
    const char* What;
    int Plant;  // 0 own file 0666, 1 symbolic link, 2 hard link, 3 another user's 0666
    std::string Says;
  } cases[] = {
      {"own, 0666", 0, ""},
      {"symbolic link", 1, "is a symbolic link and is not written; it writes " + second},
      {"hard link", 2, "is a file with a second name (a hard link)"},
      {"another user's", 3, "is a file of another user"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    if (c.Plant == 3 && !other.Made()) {
      std::cout << "[ SKIPPED  ] " << c.What << ": " << other.WhyNot() << '\n';
      continue;
    }
    fs::remove(log);
    fs::remove(second);
    if (c.Plant == 0 || c.Plant == 3) Write(log, "");
    if (c.Plant == 0 || c.Plant == 3) ::chmod(log.c_str(), 0666);
    if (c.Plant == 1) fs::create_symlink(Path("outside"), log);
    if (c.Plant == 2) fs::create_hard_link(Path("outside"), log);
    if (c.Plant == 3) {
      ASSERT_TRUE(other.Owns(log));
    }
    std::string output;
    EXPECT_EQ(Till({"modules"}, output), 0) << output;
    EXPECT_EQ(Read(Path("outside")), "not the till's\n");
    if (c.Says.empty()) {
      EXPECT_FALSE(Contains(output, "warning")) << output;
      EXPECT_EQ(ModeOf(log), 0640u);
      EXPECT_GT(fs::file_size(log), 0u);
    } else {
      EXPECT_TRUE(
          Contains(output, "sarn-till: warning: the module log: its own name " + log + " is "))
          << output;
      EXPECT_TRUE(Contains(output, c.Says)) << output;
      EXPECT_GT(fs::file_size(second), 0u);
    }
    if (c.Plant == 3) {
      EXPECT_EQ(fs::file_size(log), 0u);
      EXPECT_EQ(ModeOf(log), 0666u);
    }
  }
  EXPECT_EQ(ModeOf(Path("outside")), 0644u);
}

// A till busy in a call (a service that takes the connection and never answers) has no core file
// to leave, whatever the shell allowed; --allow-core keeps what the shell allowed.
TEST_F(SharedMachine, ACrashLeavesNoCoreFileUnlessAllowed) {
#if DOVRA_TEST_SANITIZED
  GTEST_SKIP() << "the sanitizer build catches the crash itself and sets its own core file size";
#endif
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string url = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  for (const std::string flag : {"", "--allow-core"}) {
    SCOPED_TRACE(flag);
    const std::string script =
        "cd '" + Path("") +
        "' && ulimit -c unlimited 2>/dev/null || exit 77; '" SARN_TILL_PROGRAM "' " + flag +
        " --module '" + Path("module/DovraVoucherPayment.smd") + "' --base-url " + url +
        " --timeout-ms 20000 voucher status --code X >/dev/null 2>&1 & till=$!; sleep 1; "
        "grep 'core file' /proc/$till/limits; kill -SEGV $till; wait $till; echo \"exit $?\"";
    TChildProcess shell;
    std::string error, output;
    ASSERT_TRUE(shell.Start("/bin/sh", {"-c", script}, {"QT_QPA_PLATFORM=offscreen"}, error))
        << error;
    const int code = shell.ReadAllAndWait(output, kChildWaitMs);
    if (code == 77) GTEST_SKIP() << "this machine does not let a shell allow core files";
    const bool none = Contains(output, "Max core file size        0");
    EXPECT_EQ(none, flag.empty()) << output;
    EXPECT_TRUE(Contains(output, "exit 139")) << "the till ended by its signal: " << output;
    if (flag.empty()) {
      for (const fs::directory_entry& e : fs::directory_iterator(dir_))
        EXPECT_NE(e.path().filename().string().rfind("core", 0), 0u) << e.path();
    }
    for (const fs::directory_entry& e : fs::directory_iterator(dir_))
      if (e.path().filename().string().rfind("core", 0) == 0) fs::remove(e.path());
  }
  ::close(listener);
}

}  // namespace
