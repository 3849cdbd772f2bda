// The module's entry points to its log: settings applied at start, the three Info forms, and a
// finish that may come twice or not at all before the next start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "module/log/modLog.h"
#include "tests/unit/log/LogTestSupport.h"

using namespace logtest;

namespace {

TEST(ModLog, StartWritesBesideTheModuleAndFinishIsIdempotent) {
  TempFolder folder;
  const std::string module = folder.Path() + "DovraVoucherPayment.smd";
  WriteFile(module, "module");
  const std::string exe = ThisExecutable();
  const std::string logFile = ThisProgramsModuleLogName(folder.Path());

  ModLog::Info("before start is dropped");
  ModLog::StartModuleLog(module);
  ModLog::Info("[TDovraVoucherAPI.Evaluate] Response : %", std::string("{\"ok\":true}"));
  ModLog::Info("[TPaymentMethodDovraVoucher.Create] Got StoreID : %", int32_t{12});
  ModLog::FinishModuleLog();
  ModLog::FinishModuleLog();
  ModLog::Info("after finish is dropped");

  const std::string content = ReadFile(logFile);
  ASSERT_FALSE(content.empty()) << "no log at " << logFile;
  EXPECT_EQ(content.rfind(exe + " ", 0), 0u) << "the header names the real executable";
  EXPECT_NE(content.find(" Instance=" + module + "\r"), std::string::npos);
  const std::string entries = content.substr(content.find("\r\r") + 2);
  EXPECT_TRUE(std::regex_match(
      entries,
      std::regex(
          R"(\d{8} \d{8} info  Starting DovraVoucherPayment\r\n)"
          R"(\d{8} \d{8} info  \[TDovraVoucherAPI\.Evaluate\] Response : \{"ok":true\}\r\n)"
          R"(\d{8} \d{8} info  \[TPaymentMethodDovraVoucher\.Create\] Got StoreID : 12\r\n)")))
      << entries;

  // A new load of the library appends to the same file.
  ModLog::StartModuleLog(module);
  ModLog::FinishModuleLog();
  const std::string again = ReadFile(logFile);
  EXPECT_EQ(again.substr(0, content.size()), content);
  EXPECT_NE(again.find(" rotat " + std::string(50, '='), content.size()), std::string::npos);
  EXPECT_TRUE(again.ends_with(" info  Starting DovraVoucherPayment\r\n"));
}

TEST(ModLog, AnAnswerOfAnySizeAddsAtMostTheBoundToTheLog) {
  TempFolder folder;
  const std::string module = folder.Path() + "DovraVoucherPayment.smd";
  ModLog::StartModuleLog(module);
  ModLog::Info("[TDovraVoucherAPI.Evaluate] Response : %", std::string(8 << 20, 'A'));
  ModLog::Info("[TDovraVoucherAPI.Evaluate] Response : %", std::string("{}"));
  ModLog::FinishModuleLog();
  uintmax_t total = 0;
  std::string log;
  for (const auto& file : std::filesystem::directory_iterator(folder.Path())) {
    total += file.file_size();
    if (file.path().extension() == ".log") log = ReadFile(file.path());
  }
  EXPECT_LT(total, ModLog::kMaxArgumentText + 16 * 1024) << "nothing but the log, and it small";
  EXPECT_NE(log.find(" info  [TDovraVoucherAPI.Evaluate] Response : " +
                     std::string(ModLog::kMaxArgumentText, 'A') + "... (" +
                     std::to_string((8 << 20) - ModLog::kMaxArgumentText) + " bytes left out)\r\n"),
            std::string::npos);
  EXPECT_TRUE(log.ends_with(" info  [TDovraVoucherAPI.Evaluate] Response : {}\r\n"));
}

}  // namespace
