// Rotation by size: the entry that crosses the limit ends the file, archives shift up, the oldest
// is dropped, the archive holds the old file's bytes; and many threads writing through rotations.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <thread>

#include "tests/unit/log/LogTestSupport.h"

using namespace logtest;

namespace {

std::string Archive(const std::string& folder, int n) {
  return folder + "Till (POS1) DovraVoucherPayment.smd." + std::to_string(n) + ".synlz";
}

// Writes numbered entries until the file is rotated; returns the live file's bytes just before
// the entry that caused it, and that entry's number.
std::pair<std::string, int> WriteUntilRotation(TSynLog& log, const std::string& file, int& next) {
  const std::string padding(150, 'p');
  std::string before = ReadFile(file);
  for (int guard = 0; guard < 100000; ++guard) {
    const int n = next++;
    log.Log(TSynLogInfo::sllInfo, "[Rotation.Test] Entry : % %", {n, padding});
    std::string after = ReadFile(file);
    if (after.size() < before.size()) return {before, n};
    before = std::move(after);
  }
  throw std::runtime_error("the log never rotated");
}

TEST(SynLogRotation, CrossingEntryEndsFileAndArchivesShiftUp) {
  TempFolder folder;
  const std::string dir = folder.Path();
  for (int n = 1; n <= 9; ++n) WriteFile(Archive(dir, n), "archive " + std::to_string(n));
  TSynLogFamily family;
  ConfigureLikeModule(family, dir);
  family.RotateFileSizeKB = 64;
  const uint64_t limit = 64 * 1024;
  TSynLog& log = family.Add();
  int next = 0;

  const auto [first, firstCrossing] = WriteUntilRotation(log, ModuleLogName(dir), next);
  EXPECT_LE(first.size(), limit) << "rotation waits for the entry that crosses the limit";
  const std::string archived = Decompress(Archive(dir, 1));
  ASSERT_EQ(archived.substr(0, first.size()), first) << "archive 1 holds the old file's bytes";
  const std::string crossing = archived.substr(first.size());
  EXPECT_TRUE(
      std::regex_match(crossing, std::regex(R"(\d{8} \d{8} info  \[Rotation\.Test\] Entry : )" +
                                            std::to_string(firstCrossing) + " p{150}\r\n")))
      << crossing;
  EXPECT_GT(archived.size(), limit);
  for (int n = 2; n <= 9; ++n)
    EXPECT_EQ(ReadFile(Archive(dir, n)), "archive " + std::to_string(n - 1)) << n;
  EXPECT_FALSE(Exists(Archive(dir, 10)));
  const std::string fresh = ReadFile(ModuleLogName(dir));
  EXPECT_TRUE(fresh.ends_with("\r\r")) << "a new file holds only a fresh header";
  EXPECT_EQ(fresh.find('\n'), std::string::npos);
  EXPECT_EQ(fresh.rfind("/opt/till/Till.exe ", 0), 0u);

  const auto [second, secondCrossing] = WriteUntilRotation(log, ModuleLogName(dir), next);
  EXPECT_GT(secondCrossing, firstCrossing);
  EXPECT_EQ(Decompress(Archive(dir, 2)), archived);
  EXPECT_TRUE(second.starts_with(fresh));
  EXPECT_TRUE(Decompress(Archive(dir, 1)).starts_with(second));
  EXPECT_EQ(ReadFile(Archive(dir, 3)), "archive 1");
  EXPECT_EQ(ReadFile(Archive(dir, 9)), "archive 7");
}

// The limit is a size the file may have: the entry that brings it to exactly the limit leaves it
// live, the next entry rotates it. Plain and exception entries end their lines apart.
TEST(SynLogRotation, AFileAtExactlyTheLimitStaysLiveUntilTheNextEntry) {
  const struct {
    const char* Name;
    void (*Write)(TSynLog& log, const std::string& text);
  } kinds[] = {
      {"entry",
       [](TSynLog& log, const std::string& text) {
         log.Log(TSynLogInfo::sllInfo, "[Boundary.Test] Entry : %", {text});
       }},
      {"exception entry",
       [](TSynLog& log, const std::string& text) {
         log.LogException(TSynLogInfo::sllException, "EBoundary", text, nullptr, nullptr, 0);
       }},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.Name);
    TempFolder folder;
    const std::string dir = folder.Path();
    const std::string file = ModuleLogName(dir);
    TSynLogFamily family;
    ConfigureLikeModule(family, dir);
    family.RotateFileSizeKB = 16;
    const uint64_t limit = 16 * 1024;
    TSynLog& log = family.Add();
    kind.Write(log, "");  // the header and the first entry
    const uint64_t opened = std::filesystem::file_size(file);
    kind.Write(log, "");
    const uint64_t bare = std::filesystem::file_size(file) - opened;  // an entry without text
    while (std::filesystem::file_size(file) + bare + 2000 < limit)
      kind.Write(log, std::string(1000, 'f'));
    kind.Write(log, std::string(limit - std::filesystem::file_size(file) - bare, 'x'));
    const std::string full = ReadFile(file);
    ASSERT_EQ(full.size(), limit);
    EXPECT_FALSE(Exists(Archive(dir, 1))) << "rotated at the limit, not past it";

    kind.Write(log, "");
    ASSERT_TRUE(Exists(Archive(dir, 1))) << "the entry past the limit rotates";
    const std::string archived = Decompress(Archive(dir, 1));
    EXPECT_EQ(archived.size(), limit + bare);
    EXPECT_TRUE(archived.starts_with(full));
    EXPECT_TRUE(ReadFile(file).ends_with("\r\r")) << "a new file holds only a fresh header";
  }
}

TEST(SynLogRotation, ExistingOversizedFileRotatesAfterTheFirstEntry) {
  TempFolder folder;
  const std::string dir = folder.Path();
  const std::string old(70 * 1024, 'o');
  WriteFile(ModuleLogName(dir), old);
  TSynLogFamily family;
  ConfigureLikeModule(family, dir);
  family.RotateFileSizeKB = 64;
  family.Add().Log(TSynLogInfo::sllInfo, "first of the run");
  const std::string archived = Decompress(Archive(dir, 1));
  EXPECT_EQ(archived.substr(0, old.size()), old);
  EXPECT_NE(archived.find(" rotat " + std::string(50, '=')), std::string::npos);
  EXPECT_TRUE(archived.ends_with(" info  first of the run\r\n"));
  EXPECT_TRUE(ReadFile(ModuleLogName(dir)).ends_with("\r\r"));
}

TEST(SynLogRotation, ArchiveThatCannotBeWrittenKeepsTheLiveFile) {
  TempFolder folder;
  const std::string dir = folder.Path();
  // A non-empty folder where the only archive should go: it can be neither removed nor replaced.
  std::filesystem::create_directories(Archive(dir, 1) + "/inside");
  TSynLogFamily family;
  ConfigureLikeModule(family, dir);
  family.RotateFileSizeKB = 16;
  family.RotateFileCount = 2;
  const std::string padding(200, 'k');
  for (int i = 0; i < 400; ++i)
    family.Add().Log(TSynLogInfo::sllInfo, "[Keep.Test] Entry : % %", {i, padding});
  family.Finish();
  const std::string content = ReadFile(ModuleLogName(dir));
  EXPECT_GT(content.size(), 400u * 200u);
  for (int i = 0; i < 400; ++i)
    EXPECT_NE(content.find(" info  [Keep.Test] Entry : " + std::to_string(i) + " k"),
              std::string::npos)
        << i;
  EXPECT_TRUE(std::filesystem::is_directory(Archive(dir, 1)));
}

TEST(SynLogRotation, EightThreadsNeverInterleaveAndLoseNothing) {
  TempFolder folder;
  const std::string dir = folder.Path();
  constexpr int kThreads = 8;
  constexpr int kEntries = 2000;
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, dir);
    family.RotateFileSizeKB = 256;
    TSynLog& log = family.Add();
    std::vector<std::thread> threads;
    const std::string padding(40, 'x');
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&log, &padding, t] {
        for (int i = 0; i < kEntries; ++i)
          log.Log(TSynLogInfo::sllInfo, "[Worker.Run] thread % entry % : %", {t, i, padding});
      });
    for (std::thread& thread : threads) thread.join();
  }
  ASSERT_TRUE(Exists(Archive(dir, 3))) << "the run is meant to rotate several times";
  ASSERT_FALSE(Exists(Archive(dir, 9))) << "nothing may have been dropped for the count to hold";
  std::vector<std::string> files;
  for (int n = 8; n >= 1; --n)
    if (Exists(Archive(dir, n))) files.push_back(Decompress(Archive(dir, n)));
  files.push_back(ReadFile(ModuleLogName(dir)));

  const std::regex entry(R"(\d{8} \d{8} info  \[Worker\.Run\] thread (\d) entry (\d+) : x{40})");
  std::map<std::pair<int, int>, int> seen;
  std::vector<int> lastOfThread(kThreads, -1);
  for (const std::string& file : files) {
    const size_t headerEnd = file.find("\r\r");
    ASSERT_NE(headerEnd, std::string::npos);
    std::string body = file.substr(headerEnd + 2);
    ASSERT_TRUE(body.empty() || body.ends_with("\r\n"));
    size_t pos = 0;
    while (pos < body.size()) {
      const size_t end = body.find("\r\n", pos);
      const std::string line = body.substr(pos, end - pos);
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, entry)) << "damaged line: " << line;
      const int t = std::stoi(m[1]), i = std::stoi(m[2]);
      ++seen[{t, i}];
      EXPECT_GT(i, lastOfThread[t]) << "a thread's entries keep their order";
      lastOfThread[t] = i;
      pos = end + 2;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
  for (const auto& [key, count] : seen) EXPECT_EQ(count, 1) << key.first << "/" << key.second;
}

}  // namespace
