// The exception hook linked into a program: every throw of that program's code becomes an entry
// of each family that wants exceptions, and the exception still reaches its handler unchanged.
#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/unit/log/LogTestSupport.h"

using namespace logtest;

namespace {

struct Custom {
  int code;
};

class DovraFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[gnu::noinline]] void ThrowNested() {
  try {
    throw std::invalid_argument("inner");
  } catch (const std::exception& e) {
    throw DovraFailure(std::string("outer after ") + e.what());
  }
}

TEST(ExceptionHook, ThrownExceptionsAreLoggedAndStillCaught) {
  TempFolder folder;
  TSynLogFamily family;
  ConfigureLikeModule(family, folder.Path());
  family.StackTraceLevel = 3;
  try {
    throw std::runtime_error("card\r\nrefused");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "card\r\nrefused");
  }
  try {
    throw Custom{7};
  } catch (const Custom& c) {
    EXPECT_EQ(c.code, 7);
  }
  EXPECT_THROW(ThrowNested(), DovraFailure);
  const std::string entries = ReadFile(ModuleLogName(folder.Path()));
  const std::string tail = entries.substr(entries.find("\r\r") + 2);
  const std::string trace = R"( at [0-9A-F]{12,16} stack trace( [0-9A-F]{12,16}){1,3}\r\n)";
  EXPECT_TRUE(std::regex_match(
      tail,
      std::regex(
          R"(\d{8} \d{8} EXC   std::runtime_error \("card  refused"\))" + trace +
          R"(\d{8} \d{8} EXC   \(anonymous namespace\)::Custom \(""\))" + trace +
          R"(\d{8} \d{8} EXC   std::invalid_argument \("inner"\))" + trace +
          R"(\d{8} \d{8} EXC   \(anonymous namespace\)::DovraFailure \("outer after inner"\))" +
          trace)))
      << tail;
}

TEST(ExceptionHook, FamiliesWithoutExceptionLevelsAndFinishedFamiliesHearNothing) {
  TempFolder folder;
  {
    TSynLogFamily family;
    ConfigureLikeModule(family, folder.Path());
    family.SetLevel({TSynLogInfo::sllInfo});
    family.Add().Log(TSynLogInfo::sllInfo, "only info");
    try {
      throw std::logic_error("not for this log");
    } catch (const std::exception&) {
    }
  }
  EXPECT_EQ(ReadFile(ModuleLogName(folder.Path())).find("not for this log"), std::string::npos);
  TSynLogFamily finished;
  ConfigureLikeModule(finished, folder.Path() + "sub/");
  finished.Finish();
  EXPECT_THROW(throw std::runtime_error("after finish"), std::runtime_error);
  EXPECT_FALSE(Exists(folder.Path() + "sub/"));
}

TEST(ExceptionHook, TheModuleLogRecordsExceptionsBetweenItsLinesFromAnyThread) {
  TempFolder folder;
  const std::string module = folder.Path() + "DovraVoucherPayment.smd";
  ModLog::StartModuleLog(module);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        ModLog::Info("[Hook.Test] line %", t * 100 + i);
        try {
          throw std::runtime_error("thrown " + std::to_string(t * 100 + i));
        } catch (const std::runtime_error&) {
        }
      }
    });
  for (std::thread& thread : threads) thread.join();
  ModLog::FinishModuleLog();
  const std::string content = ReadFile(ThisProgramsModuleLogName(folder.Path()));
  // Every line and every exception, each whole on a line of its own.
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 50; ++i) {
      const std::string n = std::to_string(t * 100 + i);
      EXPECT_NE(content.find(" info  [Hook.Test] line " + n + "\r\n"), std::string::npos) << n;
      EXPECT_NE(content.find(" EXC   std::runtime_error (\"thrown " + n + "\") at "),
                std::string::npos)
          << n;
    }
}

}  // namespace
