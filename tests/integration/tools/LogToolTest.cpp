// dovra-logtool driven as a process: cat of a rotated log folder and of the module's folder,
// what cat shows of control characters and how much memory it takes, verify, compress and
// decompress, exit codes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/synlz/SynLZ.h"
#include "lib/synlz/SynLZFile.h"
#include "lib/version/DovraVersion.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

namespace {

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

class LogToolTest : public TTestFolder {
 protected:
  LogToolTest() : TTestFolder("logtool") {}
  void SetUp() override {
    TTestFolder::SetUp();
    fs::create_directories(dir_ / "logs");
  }
  // Runs the tool with args (each single-quoted), capturing stdout and stderr apart.
  ToolRun Tool(const std::vector<std::string>& args) {
    std::string cmd = "'" DOVRA_LOGTOOL_PATH "'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " >'" + Path("stdout") + "' 2>'" + Path("stderr") + "'";
    TChildProcess shell;
    std::string error, printed;
    ToolRun r;
    if (!shell.Start("/bin/sh", {"-c", cmd}, {}, error)) {
      r.err = error;
      return r;
    }
    r.code = shell.ReadAllAndWait(printed, kChildWaitMs);
    r.out = Read(Path("stdout"));
    r.err = Read(Path("stderr")) + printed;
    return r;
  }
  // An archive made from entries as the logger would have rotated it.
  void Archive(const std::string& name, const std::string& text) {
    Write(Path("src.tmp"), text);
    ASSERT_TRUE(SynLZCompressFile(Path("src.tmp"), Path("logs/" + name)));
    fs::remove(Path("src.tmp"));
  }

  static std::string Entry(const std::string& text) {
    return "20261209 10300000 info  " + text + "\r\n";
  }
  // Runs the tool on its own with stdout thrown away; its exit code, and its peak memory (KiB).
  std::pair<int, long> Measured(const std::vector<std::string>& args) {
    const pid_t child = ::fork();
    if (child == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      const int err = ::open(Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (null < 0 || err < 0 || ::dup2(null, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(100);
      std::vector<char*> argv{const_cast<char*>(DOVRA_LOGTOOL_PATH)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(DOVRA_LOGTOOL_PATH, argv.data());
      ::_exit(101);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return {-1, 0};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
  }
};

void PutLe32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
}

TEST_F(LogToolTest, CatOfAFolderPrintsEveryEntryOldestFirst) {
  const std::string header = "/opt/sarn/till 1.0.0.1 (2026-12-01 10:00:00)\rHost=till1\r\r";
  Archive("DovraVoucherPayment.3.synlz", header + Entry("first") + Entry("second"));
  Archive("DovraVoucherPayment.2.synlz", Entry("third"));
  // Several chunks in one archive read as one.
  Write(Path("src.tmp"), Entry("fourth") + Entry("fifth"));
  ASSERT_TRUE(SynLZCompressFile(Path("src.tmp"), Path("logs/DovraVoucherPayment.1.synlz"),
                                kSynLZMagic, 20));
  Write(Path("logs/DovraVoucherPayment.log"), Entry("sixth") + Entry("seventh"));
  Archive("Older.log.synlz", Entry("eighth"));
  Write(Path("logs/notes.txt"), "not a log");
  fs::create_directories(dir_ / "logs" / "log");

  const ToolRun r = Tool({"cat", Path("logs")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string expected =
      "/opt/sarn/till 1.0.0.1 (2026-12-01 10:00:00)\nHost=till1\n\n" +
      std::string("20261209 10300000 info  first\n20261209 10300000 info  second\n") +
      "20261209 10300000 info  third\n20261209 10300000 info  fourth\n" +
      "20261209 10300000 info  fifth\n20261209 10300000 info  sixth\n" +
      "20261209 10300000 info  seventh\n20261209 10300000 info  eighth\n";
  EXPECT_EQ(r.out, expected);

  // Files named one by one are printed in the order given.
  const ToolRun single =
      Tool({"cat", Path("logs/DovraVoucherPayment.log"), Path("logs/DovraVoucherPayment.2.synlz")});
  EXPECT_EQ(single.code, 0);
  EXPECT_EQ(single.out,
            "20261209 10300000 info  sixth\n20261209 10300000 info  seventh\n"
            "20261209 10300000 info  third\n");
}

// The module's own folder as a till leaves it: the live log and its rotation archives beside the
// module, named after the host program, the computer and the module; old logs archived at unload
// under log/YYYYMM/ (a second pass in a month adds ".1"; a second till's "-" log as well).
TEST_F(LogToolTest, CatOfTheModulesFolderReadsLiveAndArchivedFilesOldestFirst) {
  const std::string stem = "sarn-till (till1) DovraVoucherPayment.smd";
  // File, day of its last entry, and its entry; listed in the order cat must print them.
  const struct {
    std::string name;
    int day;
    const char* entry;
  } files[] = {
      {"log/202611/" + stem + ".log.synlz", 1, "archived in november"},
      {stem + ".3.synlz", 4, "rotated before that log was archived"},
      {"log/202612/" + stem + "-.log.synlz", 6, "second till's log"},
      {"log/202612/" + stem + ".log.synlz", 8, "archived in december"},
      {"log/202612/" + stem + ".log.1.synlz", 9, "archived again in december"},
      {stem + ".2.synlz", 12, "rotated"},
      {stem + ".1.synlz", 13, "rotated last"},
      {stem + ".log", 14, "live"},
  };
  const auto start = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  std::string expected;
  // Made newest first, so that the order of making is no hint.
  for (auto f = std::rbegin(files); f != std::rend(files); ++f) {
    const fs::path path = dir_ / "logs" / f->name;
    fs::create_directories(path.parent_path());
    if (path.extension() == ".synlz") {
      Write(Path("src.tmp"), Entry(f->entry));
      ASSERT_TRUE(SynLZCompressFile(Path("src.tmp"), path.string()));
    } else {
      Write(path.string(), Entry(f->entry));
    }
    fs::last_write_time(path, start + std::chrono::hours(24 * f->day));
    expected = "20261209 10300000 info  " + std::string(f->entry) + "\n" + expected;
  }
  const ToolRun r = Tool({"cat", Path("logs")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected);
}

TEST_F(LogToolTest, ControlCharactersInEntriesAreShownEscaped) {
  const std::string entry = Entry("title \x1b]0;owned\x07 clear \x1b[2J tab\there");
  Write(Path("logs/a.log"), entry);
  Archive("a.1.synlz", entry);
  for (const char* file : {"logs/a.log", "logs/a.1.synlz"}) {
    const ToolRun r = Tool({"cat", Path(file)});
    EXPECT_EQ(r.code, 0) << file << ": " << r.err;
    EXPECT_EQ(r.out, "20261209 10300000 info  title \\x1b]0;owned\\x07 clear \\x1b[2J tab\there\n")
        << file;
  }
}

TEST_F(LogToolTest, VerifyRefusesAFileWithoutAChunk) {
  Archive("good.synlz", Entry("a"));
  const struct {
    const char* name;
    std::string bytes;
    const char* message;
  } cases[] = {
      {"empty.synlz", "", "empty file, no chunk to check"},
      {"short.synlz", "0123456", "header cut off (7 of 20 bytes)"},
      {"text.synlz", "not an archive, just some text", "magic"},
  };
  for (const auto& c : cases) {
    Write(Path(std::string("logs/") + c.name), c.bytes);
    const ToolRun r =
        Tool({"verify", Path("logs/good.synlz"), Path(std::string("logs/") + c.name)});
    EXPECT_EQ(r.code, 1) << c.name;
    EXPECT_EQ(r.out, Path("logs/good.synlz") + ": ok\n") << c.name;
    EXPECT_NE(r.err.find("'" + Path(std::string("logs/") + c.name) + "': "), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// Highly compressible chunks decode to about 90 times their size: reading one must not hold the
// archive's text, nor a whole chunk (up to 128 MiB), nor what a header announces. A child's peak
// includes what its parent held when it forked, so the archives are made in a child of their own
// and this process stays small.
TEST_F(LogToolTest, CatReadsAnyArchiveInBoundedMemory) {
  const long kLimitKiB = 64 * 1024;
  const pid_t maker = ::fork();
  ASSERT_GE(maker, 0);
  if (maker == 0) {
    std::string plain = Entry("[TDovraVoucherAPI.Evaluate] ok");
    while (plain.size() < (size_t(72) << 20)) plain += plain;
    plain.resize(size_t(72) << 20);
    const std::string small = SynLZCompressToString(std::string_view(plain).substr(0, 4 << 20));
    std::string chunks;
    for (int i = 0; i < 17; ++i) chunks += small;
    Write(Path("small-chunks.synlz"), chunks);
    Write(Path("large-chunk.synlz"), SynLZCompressToString(plain));
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(maker, &status, 0), maker);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // A valid-looking chunk announcing 128 MiB whose block ends after 32 literals.
  std::string block = {0x00, char(0x80), 0x00, 0x10, 0, 0, 0, 0};
  block += std::string(32, 'a');
  std::string announcing;
  PutLe32(announcing, kSynLZMagic);
  PutLe32(announcing, uint32_t(block.size()));
  PutLe32(announcing, SynLZ::Hash32(block.data(), block.size()));
  PutLe32(announcing, uint32_t(kSynLZMaxChunk));
  PutLe32(announcing, 1);
  Write(Path("announcing.synlz"), announcing + block);

  const struct {
    const char* file;
    int code;
  } cases[] = {
      {"small-chunks.synlz", 0},  // 17 chunks of 4 MiB
      {"large-chunk.synlz", 0},   // one of 72 MiB
      {"announcing.synlz", 1},
  };
  for (const auto& c : cases) {
    const auto [code, peakKiB] = Measured({"cat", Path(c.file)});
    EXPECT_EQ(code, c.code) << c.file << ": " << Read(Path("stderr"));
    EXPECT_LT(peakKiB, kLimitKiB) << c.file;
    std::printf("cat %s: peak %ld KiB\n", c.file, peakKiB);
  }
}

TEST_F(LogToolTest, CatFailsWhenItsOutputIsLost) {
  Write(Path("logs/a.log"), Entry("an entry that goes nowhere"));
  const std::string cmd =
      "'" DOVRA_LOGTOOL_PATH "' cat '" + Path("logs") + "' >/dev/full 2>'" + Path("stderr") + "'";
  const int status = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(Read(Path("stderr")).find("cannot write the output"), std::string::npos);
}

TEST_F(LogToolTest, CatReportsACorruptArchiveAndStillPrintsTheRest) {
  Archive("A.1.synlz", Entry("archived"));
  Write(Path("logs/A.log"), Entry("live"));
  std::string bytes = Read(Path("logs/A.1.synlz"));
  bytes[bytes.size() - 2] ^= 0x20;
  Write(Path("logs/A.1.synlz"), bytes);
  const ToolRun r = Tool({"cat", Path("logs")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "20261209 10300000 info  live\n");
  EXPECT_NE(r.err.find("A.1.synlz"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("chunk 1"), std::string::npos) << r.err;
}

TEST_F(LogToolTest, VerifyStopsAtTheFirstCorruptFile) {
  Archive("good.synlz", Entry("a") + Entry("b"));
  Archive("bad.synlz", Entry("c") + Entry("d") + Entry("e"));
  Archive("later.synlz", Entry("f"));
  const ToolRun ok = Tool({"verify", Path("logs/good.synlz"), Path("logs/bad.synlz")});
  EXPECT_EQ(ok.code, 0) << ok.err;

  std::string bytes = Read(Path("logs/bad.synlz"));
  bytes[25] ^= 0x01;  // inside chunk 1's compressed data
  Write(Path("logs/bad.synlz"), bytes);
  const ToolRun r =
      Tool({"verify", Path("logs/good.synlz"), Path("logs/bad.synlz"), Path("logs/later.synlz")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("bad.synlz"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("chunk 1 at offset 0"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("compressed hash"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("later.synlz"), std::string::npos) << "went on after the corrupt file";
}

TEST_F(LogToolTest, CompressAndDecompressRoundTrip) {
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += Entry("[TDovraVoucherAPI.Evaluate] Request : " + std::to_string(i * 7919));
  Write(Path("in.log"), text);
  ToolRun r = Tool({"compress", Path("in.log"), Path("in.synlz")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_LT(fs::file_size(Path("in.synlz")), text.size() / 2);
  r = Tool({"decompress", Path("in.synlz"), Path("back.log")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read(Path("back.log")), text);

  r = Tool({"compress", Path("missing.log"), Path("x.synlz")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("missing.log"), std::string::npos) << r.err;
  r = Tool({"decompress", Path("in.log"), Path("y.log")});  // not an archive
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("magic"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Path("y.log")));
}

// The tool's temporary file was named after the output and the tool's process id: a link planted
// there beforehand made the tool write through it. Here the link is planted by the very process
// that becomes the tool, so it stands at exactly that name.
TEST_F(LogToolTest, ALinkPlantedAtTheTemporaryNameIsNotFollowed) {
  Write(Path("in.log"), Entry("the log's text"));
  ASSERT_EQ(Tool({"compress", Path("in.log"), Path("in.synlz")}).code, 0);
  Write(Path("victim"), "must stay as it is");
  for (const char* command : {"decompress", "compress"}) {
    const std::string in = Path(command == std::string("decompress") ? "in.synlz" : "in.log");
    const std::string out = Path(std::string(command) + ".out");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::string planted = out + ".part" + std::to_string(::getpid());
      if (::symlink(Path("victim").c_str(), planted.c_str()) != 0) ::_exit(100);
      ::execl(DOVRA_LOGTOOL_PATH, DOVRA_LOGTOOL_PATH, command, in.c_str(), out.c_str(), nullptr);
      ::_exit(101);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << command;
    EXPECT_EQ(Read(Path("victim")), "must stay as it is") << command;
    EXPECT_FALSE(fs::is_symlink(out)) << command;
    EXPECT_EQ(Read(out),
              command == std::string("decompress") ? Read(Path("in.log")) : Read(Path("in.synlz")))
        << command;
    EXPECT_TRUE(fs::is_symlink(out + ".part" + std::to_string(child))) << "left where it was";
  }
}

TEST_F(LogToolTest, HelpAndUsageErrors) {
  ToolRun r = Tool({"--help"});
  EXPECT_EQ(r.code, 0);
  for (const char* sub : {"cat", "compress", "decompress", "verify", "prune"}) {
    EXPECT_NE(r.out.find(sub), std::string::npos) << sub;
    const ToolRun h = Tool({sub, "--help"});
    EXPECT_EQ(h.code, 0) << sub;
    EXPECT_NE(h.out.find("Usage"), std::string::npos) << sub;
  }
  EXPECT_EQ(Tool({}).code, 2);
  EXPECT_EQ(Tool({"unpack"}).code, 2);
  EXPECT_EQ(Tool({"compress", "only-one"}).code, 2);
  EXPECT_EQ(Tool({"verify"}).code, 2);
  EXPECT_EQ(Tool({"cat", Path("nowhere.log")}).code, 1);
  EXPECT_EQ(Tool({"prune", Path("logs")}).code, 2) << "--older-than is required";
  EXPECT_EQ(Tool({"prune", "--older-than", "-1", Path("logs")}).code, 2);
  for (const char* code : {"  0  done", "  1  failed", "  2  usage"})
    EXPECT_NE(r.out.find(code), std::string::npos) << "no exit code line '" << code << "'";
  const ToolRun version = Tool({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, std::string("dovra-logtool ") + kDovraVersion + "\n");
}

// verify checks archives; a live log named to it is said to be one, with the command that reads
// it, while an archive that is not one stays a failure of the archive.
TEST_F(LogToolTest, VerifySaysALiveLogIsOne) {
  Write(Path("logs/till.log"), "/opt/sarn/sarn-till 1.0.0.1 (2026-12-10 10:00:00)\n");
  Write(Path("logs/till.synlz"), "/opt/sarn/sarn-till 1.0.0.1 (2026-12-10 10:00:00)\n");
  const struct {
    std::string File;
    int Code;
    std::string Message;
  } cases[] = {
      {Path("logs/till.log"), 2,
       "'" + Path("logs/till.log") +
           "' is a live log, not a .synlz archive: verify checks "
           "archives only; read it with dovra-logtool cat '" +
           Path("logs/till.log") + "'"},
      {Path("logs/till.synlz"), 1, "magic 0x74706F2F does not match 0xABA51051"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    const ToolRun r = Tool({"verify", c.File});
    EXPECT_EQ(r.code, c.Code);
    EXPECT_NE(r.err.find(c.Message), std::string::npos) << r.err;
  }
}

// The month folder YYYYMM of `back` months before this one, in local time.
std::string MonthsAgo(int back) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int months = (local.tm_year + 1900) * 12 + local.tm_mon - back;
  char name[24];
  std::snprintf(name, sizeof name, "%04d%02d", months / 12, months % 12 + 1);
  return name;
}

TEST_F(LogToolTest, PruneRemovesOnlyArchivesOfOldLogsOlderThanTheMonthsGiven) {
  struct TCase {
    int MonthsBack;
    const char* File;
    bool Removed;
  } cases[] = {
      {0, "till.log.synlz", false}, {6, "till.log.synlz", false},
      {7, "till.log.synlz", true},  {7, "till.log.1.synlz", true},
      {13, "till.log.synlz", true}, {25, "notes.txt", false},  // not an archive: kept
  };
  Write(Path("logs/till.log"), Entry("live"));
  Archive("till.1.synlz", Entry("rotated"));
  for (const TCase& c : cases) {
    fs::create_directories(Path("logs/log/" + MonthsAgo(c.MonthsBack)));
    Write(Path("logs/log/" + MonthsAgo(c.MonthsBack) + "/" + c.File), Entry("old"));
  }
  const ToolRun dry = Tool({"prune", "--older-than", "6", "--dry-run", Path("logs")});
  EXPECT_EQ(dry.code, 0) << dry.err;
  EXPECT_NE(dry.out.find("3 archive(s) of logs older than 6 month(s) would be removed"),
            std::string::npos)
      << dry.out;
  for (const TCase& c : cases)
    EXPECT_TRUE(fs::exists(Path("logs/log/" + MonthsAgo(c.MonthsBack) + "/" + c.File))) << c.File;

  const ToolRun run = Tool({"prune", "--older-than", "6", Path("logs")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("3 archive(s) of logs older than 6 month(s) removed"), std::string::npos)
      << run.out;
  for (const TCase& c : cases) {
    const std::string file = "logs/log/" + MonthsAgo(c.MonthsBack) + "/" + c.File;
    SCOPED_TRACE(file);
    EXPECT_EQ(fs::exists(Path(file)), !c.Removed);
    EXPECT_EQ(c.Removed, run.out.find("removed " + Path(file) + "\n") != std::string::npos);
  }
  EXPECT_FALSE(fs::exists(Path("logs/log/" + MonthsAgo(13)))) << "an emptied month goes";
  EXPECT_TRUE(fs::exists(Path("logs/till.log")));
  EXPECT_TRUE(fs::exists(Path("logs/till.1.synlz")));
}

// A local user who can write in the module's folder plants links to make prune delete files of
// others: each link is left in place, named, and what it points to stays; real archives of the
// same month still go.
TEST_F(LogToolTest, PruneNeverRemovesAnythingOutsideItsFolder) {
  const std::string month = MonthsAgo(13);
  struct TCase {
    const char* What;
    const char* Link;     // below logs/, a link to Target
    const char* Target;   // below outside/, a folder or a file made with an archive in it
    const char* Outside;  // the file below outside/ that must stay
  } cases[] = {
      {"month folder", "log/MONTH", "month", "month/victim.synlz"},
      {"log folder", "log", "log", "log/MONTH/keep.synlz"},
      {"archive", "log/MONTH/planted.synlz", "target.synlz", "target.synlz"},
  };
  const auto named = [&](std::string text) {
    const size_t at = text.find("MONTH");
    return at == std::string::npos ? text : text.replace(at, 5, month);
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove_all(Path("logs"));
    fs::remove_all(Path("outside"));
    const fs::path outside = Path("outside/" + named(c.Outside));
    fs::create_directories(outside.parent_path());
    Write(outside.string(), Entry("not prune's"));
    const fs::path link = Path("logs/" + named(c.Link));
    fs::create_directories(link.parent_path());
    if (std::string(c.What) == "archive")
      Write(Path("logs/log/" + month + "/real.synlz"), Entry("old"));
    fs::create_symlink(Path("outside/" + named(c.Target)), link);

    const ToolRun r = Tool({"prune", "--older-than", "12", Path("logs")});
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_TRUE(fs::exists(outside)) << r.out << r.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(r.err.find("'" + link.string() + "' in place: a symbolic link"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find(Path("outside")), std::string::npos) << r.out;
    if (std::string(c.What) == "archive") {
      EXPECT_FALSE(fs::exists(Path("logs/log/" + month + "/real.synlz")));
      EXPECT_TRUE(fs::exists(Path("logs/log/" + month))) << "the link keeps its folder";
    }
  }
}

// cat reads only what stands in the log folder: a link there (at a log's name, at log/ or at a
// month folder) and a FIFO under a log's name are named and not read; the real log is printed
// and the exit code says that something was left out.
TEST_F(LogToolTest, CatNamesLinksAndOddFilesAndPrintsTheRest) {
  const std::string month = MonthsAgo(1);
  struct TCase {
    const char* What;
    const char* Name;  // below logs/
    bool Fifo;         // a FIFO at Name instead of a link to outside/secret
  } cases[] = {
      {"log name", "x.log", false},
      {"archive name", "x.1.synlz", false},
      {"log folder", "log", false},
      {"month folder", "log/MONTH", false},
      {"archive in a month", "log/MONTH/x.log.synlz", false},
      {"FIFO", "y.log", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    fs::remove_all(Path("logs"));
    fs::remove_all(Path("outside"));
    fs::create_directories(Path("outside/log/" + month));
    Write(Path("outside/secret"), "root:SECRET-SHADOW\n");
    Write(Path("outside/log/" + month + "/x.log.synlz"), "");
    ASSERT_TRUE(SynLZCompressFile(Path("outside/secret"), Path("outside/x.synlz")));
    std::string name = c.Name;
    if (name.find("MONTH") != std::string::npos) name.replace(name.find("MONTH"), 5, month);
    const fs::path at = Path("logs/" + name);
    fs::create_directories(at.parent_path());
    Write(Path("logs/till.log"), Entry("live"));
    const std::string target = name == "log"                              ? Path("outside/log")
                               : name.find(".synlz") != std::string::npos ? Path("outside/x.synlz")
                               : name == "log/" + month ? Path("outside/log/" + month)
                                                        : Path("outside/secret");
    if (c.Fifo)
      ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
    else
      fs::create_symlink(target, at);

    const ToolRun r = Tool({"cat", Path("logs")});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.out.find("SECRET"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("live"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("skipped '" + at.string() + "': "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.Fifo ? "not a regular file" : "a symbolic link, not followed"),
              std::string::npos)
        << r.err;
  }
  // A FIFO named on the command line is refused at once, not waited on.
  const ToolRun fifo = Tool({"cat", Path("logs/y.log")});
  EXPECT_EQ(fifo.code, 1);
  EXPECT_NE(fifo.err.find("not a regular file"), std::string::npos) << fifo.err;
}

}  // namespace
