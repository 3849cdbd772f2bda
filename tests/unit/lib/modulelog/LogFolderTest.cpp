// dovra-logtool's folder ordering and line conversion.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lib/modulelog/LogFolder.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

namespace {

TEST(LogFolder, OrdersByTimeThenAsTheLogMadeTheFiles) {
  const TScratchFolder scratch("logfolder");
  const fs::path& dir = scratch.Dir();
  const fs::file_time_type t0 = fs::file_time_type::clock::now() - std::chrono::hours(24 * 60);
  // Name, and seconds after t0 of its last entry; -1 for files that are not read.
  const struct {
    const char* name;
    int at;
  } files[] = {
      {"T.log", 400},
      {"T.1.synlz", 400},
      {"T.2.synlz", 400},
      {"T.3.synlz", 200},  // rotated before the log it came from was archived
      {"log/202611/T.log.synlz", 100},
      {"log/202612/T.log.1.synlz", 300},  // a second pass in that month, same second
      {"log/202612/T.log.synlz", 300},
      {"U.log", 350},
      {"other.synlz", 50},
      {"V.LOG", 500},
      {"V.1.SYNLZ", 500},
      {"A.10.synlz", 500},
      {".hidden.log", -1},
      {"readme.txt", -1},
      {"log/202612/.part.synlz", -1},
      {"log/202612/readme.txt", -1},
      {"log/notes/x.synlz", -1},
      {"log/2026/x.synlz", -1},
  };
  fs::create_directories(dir / "sub.log");
  for (const auto& f : files) {
    fs::create_directories((dir / f.name).parent_path());
    std::ofstream(dir / f.name) << "x";
    fs::last_write_time(dir / f.name, t0 + std::chrono::seconds(f.at < 0 ? 0 : f.at));
  }
  std::vector<std::string> names;
  for (const fs::path& p : LogTool::OrderLogFolder(dir))
    names.push_back(p.lexically_relative(dir).generic_string());
  EXPECT_EQ(names, (std::vector<std::string>{"other.synlz", "log/202611/T.log.synlz", "T.3.synlz",
                                             "log/202612/T.log.synlz", "log/202612/T.log.1.synlz",
                                             "U.log", "T.2.synlz", "T.1.synlz", "T.log",
                                             "A.10.synlz", "V.1.SYNLZ", "V.LOG"}));
}

// What a caller (cat, reconcile) is told it was not given: every link in the folder, at log/ or at
// a month folder, and every log name that is not a regular file, each with its reason; what the
// links point to is never listed, and ReadLogText below a root refuses a link on the way.
TEST(LogFolder, NamesWhatItLeavesOutAndWhy) {
  const TScratchFolder scratch("logfolder-skipped");
  const fs::path& dir = scratch.Dir();
  fs::create_directories(dir / "elsewhere/202601");
  fs::create_directories(dir / "logs/log/202602");
  std::ofstream(dir / "elsewhere/secret.log") << "secret";
  std::ofstream(dir / "elsewhere/202601/x.log.synlz") << "x";
  std::ofstream(dir / "logs/real.log") << "real";
  fs::create_symlink(dir / "elsewhere/secret.log", dir / "logs/linked.log");
  fs::create_symlink(dir / "elsewhere/202601", dir / "logs/log/202601");
  fs::create_symlink(dir / "elsewhere/secret.log", dir / "logs/log/202602/a.log.synlz");
  ASSERT_EQ(::mkfifo((dir / "logs/pipe.log").c_str(), 0600), 0);
  const LogTool::TLogFolderFiles listed = LogTool::ListLogFolder(dir / "logs");
  ASSERT_EQ(listed.Files, std::vector<fs::path>{dir / "logs/real.log"});
  std::vector<std::string> skipped;
  for (const LogTool::TSkippedFile& s : listed.Skipped)
    skipped.push_back(s.Path.lexically_relative(dir / "logs").generic_string() + ": " + s.Reason);
  std::sort(skipped.begin(), skipped.end());
  EXPECT_EQ(skipped, (std::vector<std::string>{
                         "linked.log: a symbolic link, not followed",
                         "log/202601: a symbolic link, not followed",
                         "log/202602/a.log.synlz: a symbolic link, not followed",
                         "pipe.log: not a regular file",
                     }));
  // The log folder itself as a link: named, not read.
  fs::create_directories(dir / "top");
  fs::create_symlink(dir / "elsewhere", dir / "top/log");
  const LogTool::TLogFolderFiles top = LogTool::ListLogFolder(dir / "top");
  EXPECT_TRUE(top.Files.empty());
  ASSERT_EQ(top.Skipped.size(), 1u);
  EXPECT_EQ(top.Skipped[0].Path, dir / "top/log");

  std::string text, error;
  const auto sink = [&text](std::string_view piece) { text.append(piece); };
  EXPECT_TRUE(LogTool::ReadLogText(dir / "logs/real.log", sink, error, dir / "logs")) << error;
  EXPECT_EQ(text, "real");
  EXPECT_FALSE(LogTool::ReadLogText(dir / "logs/linked.log", sink, error));
  EXPECT_NE(error.find("is a symbolic link"), std::string::npos) << error;
  EXPECT_FALSE(
      LogTool::ReadLogText(dir / "logs/log/202601/x.log.synlz", sink, error, dir / "logs"));
  EXPECT_NE(error.find("'log/202601' is a symbolic link"), std::string::npos) << error;
  EXPECT_EQ(text, "real");
}

TEST(LogFolder, LinesKeepTheirEndsAndShowControlCharactersEscaped) {
  const struct {
    std::string text;
    std::string lines;
  } cases[] = {
      {"h1\rh2\r\re1\r\ne2\r\n", "h1\nh2\n\ne1\ne2\n"},
      {"cut entry", "cut entry\n"},
      {"a\r\n\r\nb\r", "a\n\nb\n"},
      {"", ""},
      {"tab\tand lf\nstay\r\n", "tab\tand lf\nstay\n"},
      {"a \x1b]0;owned\x07 b\r\n", "a \\x1b]0;owned\\x07 b\n"},
      {"\x1b[2J", "\\x1b[2J\n"},
      {std::string("nul\0 del\x7f bs\b vt\v ff\f", 21),
       "nul\\x00 del\\x7f bs\\x08 vt\\x0b ff\\x0c\n"},
      {"csi \xc2\x9b"
       "2J nel \xc2\x85",
       "csi \\xc2\\x9b2J nel \\xc2\\x85\n"},
      {"caf\xc3\xa9 \xc2\xa3 5\xc2", "caf\xc3\xa9 \xc2\xa3 5\xc2\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LogTool::ToLines(c.text), c.lines) << c.text;
    // Cut anywhere (inside a CR LF, a UTF-8 sequence), the pieces give the same lines.
    for (size_t cut = 1; cut < c.text.size(); ++cut) {
      LogTool::TLogLines lines;
      std::string out;
      lines.Add(std::string_view(c.text).substr(0, cut), out);
      lines.Add(std::string_view(c.text).substr(cut), out);
      lines.Finish(out);
      EXPECT_EQ(out, c.lines) << "cut at " << cut << " of " << c.text;
    }
  }
}

}  // namespace
