// Allocation failures inside the log: the module's start, an entry that rotates the file and the
// family's finish are each run again and again with their k-th allocation failing, for every k
// they reach. None may throw, lose an entry already written, or leave the log unusable (a file
// left open and locked would send the next run to a "-" name).
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "tests/unit/log/FailingAllocation.h"
#include "tests/unit/log/LogTestSupport.h"

using namespace logtest;

namespace {

// Runs action with its k-th allocation failing. False once action no longer reaches k.
bool FailingAt(long k, const std::function<void()>& action) {
  bool threw = false;
  FailingAllocation::Arm(k);
  try {
    action();
  } catch (...) {
    threw = true;
  }
  const long made = FailingAllocation::Disarm();
  EXPECT_FALSE(threw) << "allocation " << k << " failing escaped as an exception";
  return made >= k;
}

// Calls check(dir) after action failed at each allocation it makes; returns how many it made.
long Sweep(const std::function<void(const std::string&)>& prepare,
           const std::function<void()>& action,
           const std::function<void(const std::string&, long)>& check) {
  long k = 1;
  for (;; ++k) {
    TempFolder folder;
    prepare(folder.Path());
    const bool reached = FailingAt(k, action);
    check(folder.Path(), k);
    if (!reached || ::testing::Test::HasFailure()) break;
  }
  return k - 1;
}

// A time stamp, then an entry's or an appended header's tag.
bool WholeLine(const std::string& line) {
  static const std::regex stamp(R"(\d{8} \d{8})");
  return line.size() > 24 && std::regex_match(line.substr(0, 17), stamp) &&
         (line.compare(17, 7, " info  ") == 0 || line.compare(17, 7, " rotat ") == 0);
}

TEST(LogFaults, ModuleStartThatRunsOutOfMemoryLeavesTheNextStartWorking) {
  std::string module;
  const long made = Sweep(
      [&module](const std::string& dir) {
        module = dir + "DovraVoucherPayment.smd";
        WriteFile(module, "module");
      },
      [&module] {
        ModLog::StartModuleLog(module);
        ModLog::Info("[Fault.Test] Entry : %", std::string("first"));
      },
      [&module](const std::string& dir, long k) {
        ModLog::FinishModuleLog();
        ModLog::StartModuleLog(module);
        ModLog::Info("[Fault.Test] Entry : %", std::string("again"));
        ModLog::FinishModuleLog();
        EXPECT_FALSE(Exists(ThisProgramsModuleLogName(dir, "-"))) << "file left locked at " << k;
        const std::string content = ReadFile(ThisProgramsModuleLogName(dir));
        EXPECT_TRUE(content.ends_with(" info  [Fault.Test] Entry : again\r\n")) << k;
        // Whatever the failure cut short, every line that is there is whole.
        size_t pos = content.find("\r\r");
        ASSERT_NE(pos, std::string::npos) << k;
        for (pos += 2; pos < content.size();) {
          const size_t end = content.find("\r\n", pos);
          ASSERT_NE(end, std::string::npos) << k;
          EXPECT_TRUE(WholeLine(content.substr(pos, end - pos))) << content.substr(pos) << k;
          pos = end + 2;
        }
      });
  EXPECT_GT(made, 20) << "the start allocates; the sweep must have failed some of it";
}

TEST(LogFaults, EntryThatRotatesLosesNothingWhenArchivingRunsOutOfMemory) {
  const std::string padding(300, 'r');
  std::unique_ptr<TSynLogFamily> family;
  int entries = 0;
  const long made = Sweep(
      [&](const std::string& dir) {
        family = std::make_unique<TSynLogFamily>();
        ConfigureLikeModule(*family, dir);
        family->RotateFileSizeKB = 16;
        // Entries up to the last one that still fits: the action's entry crosses the limit.
        auto length = [&padding](int i) {
          return 24 + std::string("[Fault.Test] Entry :  ").size() + std::to_string(i).size() +
                 padding.size() + 2;
        };
        entries = 0;
        do
          family->Add().Log(TSynLogInfo::sllInfo, "[Fault.Test] Entry : % %", {entries++, padding});
        while (std::filesystem::file_size(ModuleLogName(dir)) + length(entries) <= 16 * 1024);
      },
      [&] {
        family->Add().Log(TSynLogInfo::sllInfo, "[Fault.Test] Entry : % %", {entries, padding});
      },
      [&](const std::string& dir, long k) {
        family->Add().Log(TSynLogInfo::sllInfo, "[Fault.Test] Entry : % %", {entries + 1, padding});
        EXPECT_EQ(family->Add().FileName(), ModuleLogName(dir)) << k;
        family.reset();
        std::string all;
        const std::string archive = dir + "Till (POS1) DovraVoucherPayment.smd.1.synlz";
        if (Exists(archive)) {
          EXPECT_NO_THROW(all = Decompress(archive)) << k;
        }
        all += ReadFile(ModuleLogName(dir));
        for (int i = 0; i <= entries + 1; ++i) {
          const std::string entry = " info  [Fault.Test] Entry : " + std::to_string(i) + " r";
          const size_t at = all.find(entry);
          EXPECT_NE(at, std::string::npos) << "entry " << i << " lost at " << k;
          EXPECT_EQ(all.find(entry, at + 1), std::string::npos) << "entry " << i << " twice";
        }
      });
  EXPECT_GT(made, 5) << "rotation allocates; the sweep must have failed some of it";
}

TEST(LogFaults, FinishThatRunsOutOfMemoryKeepsOldFilesAndReleasesTheLog) {
  const std::string old = "entries of an older run\r\n";
  std::unique_ptr<TSynLogFamily> family;
  const long made = Sweep(
      [&](const std::string& dir) {
        WriteFile(dir + "older.log", old);
        SetFileTime(dir + "older.log", 1760529600);  // 2025-10-15, noon UTC
        family = std::make_unique<TSynLogFamily>();
        ConfigureLikeModule(*family, dir);
        family->Add().Log(TSynLogInfo::sllInfo, "before finish");
      },
      [&] { family->Finish(); },
      [&](const std::string& dir, long k) {
        family.reset();
        if (Exists(dir + "older.log")) {
          EXPECT_EQ(ReadFile(dir + "older.log"), old) << k;
        } else {
          EXPECT_EQ(Decompress(dir + "till/log/202510/older.log.synlz"), old) << k;
        }
        TSynLogFamily next;
        ConfigureLikeModule(next, dir);
        next.Add().Log(TSynLogInfo::sllInfo, "next run");
        EXPECT_EQ(next.Add().FileName(), ModuleLogName(dir)) << "file left locked at " << k;
      });
  EXPECT_GT(made, 5) << "archiving allocates; the sweep must have failed some of it";
}

}  // namespace
