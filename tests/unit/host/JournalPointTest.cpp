// How far reconcile has read a log folder: the archives it left out on a later run, and what
// it carried of them.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/till/TJournalPoint.h"
#include "lib/synlz/SynLZFile.h"
#include "tests/support/TestFolder.h"

namespace {

namespace fs = std::filesystem;

std::string Entry(const std::string& text) { return "20261209 10150117 info  " + text + "\r\n"; }
std::string Header(const std::string& opened) {
  return "/opt/sarn/sarn-till 1.0.0.0 (" + opened +
         ")\rEnvironment variables=SARN_DATABASE_ID=db1\tSARN_SALE=4\rTSynLog 1.18.743\r\n";
}
// One killed Redeem of code, left open.
std::string Killed(const std::string& opened, const std::string& code) {
  return Header(opened) +
         Entry("[TPaymentMethodDovraVoucher.DoPaymentPopup] Current Transaction : 7") +
         Entry(
             "[TfrmDovraPayment.btnRedeemClick] Redemption key : {\"VoucherCode\":\"" + code +
             "\",\"StoreReference\":1,\"OrderDate\":\"2026-12-09T10:15:01\",\"RequestDigest\":\"" +
             std::string(64, 'a') + "\"}") +
         Entry("[TfrmDovraPayment.btnRedeemClick] Redeeming : " + code);
}

void Put(const fs::path& file, const std::string& bytes, int age) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
  fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::hours(age));
}

std::vector<std::string> Codes(const Reconcile::TJournal& journal) {
  std::vector<std::string> codes;
  for (const Reconcile::TAttempt& a : journal.Attempts) codes.push_back(a.Code);
  return codes;
}

struct TPointCase {
  const char* Name;
  // What happens to the folder between the first run and the second.
  void (*Change)(const fs::path& dir);
  int Skipped;
  std::vector<std::string> Codes;  // the second run's journal
};

const TPointCase kCases[] = {
    {"nothing new", [](const fs::path&) {}, 2, {"A", "B", "L"}},
    {"a day added to the live log",
     [](const fs::path& dir) {
       std::ofstream(dir / "Dovra.log", std::ios::app) << Killed("2026-12-10 09:00:00", "N");
     },
     2,
     {"A", "B", "L", "N"}},
    // The live log rotated: its archive is new and read, the new live log too.
    {"rotated",
     [](const fs::path& dir) {
       std::string live = FileBytes((dir / "Dovra.log").string());
       Put(dir / "Dovra.1.synlz", SynLZCompressToString(live), 1);
       Put(dir / "Dovra.log", Killed("2026-12-10 09:00:00", "N"), 0);
     },
     2,
     {"A", "B", "L", "N"}},
    // Pruning removes the oldest: what it left open is still carried.
    {"oldest archive pruned",
     [](const fs::path& dir) { fs::remove(dir / "log/202610/Dovra.log.synlz"); },
     1,
     {"A", "B", "L"}},
    // An archive put back after a newer one: the point no longer describes the folder.
    {"archive put back out of order",
     [](const fs::path& dir) {
       fs::create_directories(dir / "log/202612");
       fs::copy_file(dir / "log/202610/Dovra.log.synlz", dir / "log/202612/Dovra.log.synlz");
       fs::last_write_time(dir / "log/202612/Dovra.log.synlz",
                           fs::file_time_type::clock::now() - std::chrono::hours(2));
     },
     0,
     {"A", "B", "A", "L"}},
};

class JournalPoint : public ::testing::TestWithParam<TPointCase> {};

TEST_P(JournalPoint, LeavesOutOnlyWhatItHasReadAndCarriesWhatWasOpen) {
  TScratchFolder folder;
  const fs::path dir = folder.Dir();
  Put(dir / "log/202610/Dovra.log.synlz", SynLZCompressToString(Killed("2026-10-01 08:00:00", "A")),
      24 * 60);
  Put(dir / "log/202611/Dovra.log.synlz", SynLZCompressToString(Killed("2026-11-01 08:00:00", "B")),
      24 * 30);
  Put(dir / "Dovra.log", Killed("2026-12-09 08:00:00", "L"), 0);

  Reconcile::TLogScan first;
  Reconcile::TJournalPoint none, reached, kept;
  int skipped = -1;
  std::string error;
  ASSERT_TRUE(Reconcile::ScanLogFolderFrom(dir.string(), nullptr, first, reached, skipped, error))
      << error;
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(Codes(reached.Open), (std::vector<std::string>{"A", "B"}));
  // Kept as text in the database and read back.
  ASSERT_TRUE(Reconcile::TJournalPoint::Read(reached.ToText(), kept));
  EXPECT_EQ(kept.ToText(), reached.ToText());

  GetParam().Change(dir);
  Reconcile::TLogScan second;
  ASSERT_TRUE(Reconcile::ScanLogFolderFrom(dir.string(), &kept, second, none, skipped, error))
      << error;
  EXPECT_EQ(skipped, GetParam().Skipped);
  EXPECT_EQ(Codes(second.Journal()), GetParam().Codes);
  EXPECT_EQ(second.Journal().Attempts.back().Database, "db1");

  // Another folder, or a point of another version, is not taken for this one.
  Reconcile::TJournalPoint elsewhere = kept;
  elsewhere.Folder += "x";
  Reconcile::TLogScan third;
  ASSERT_TRUE(Reconcile::ScanLogFolderFrom(dir.string(), &elsewhere, third, none, skipped, error));
  EXPECT_EQ(skipped, 0);
  std::string other = kept.ToText();
  other.replace(other.find("\"Version\":1"), 11, "\"Version\":9");
  EXPECT_FALSE(Reconcile::TJournalPoint::Read(other, elsewhere));
}

INSTANTIATE_TEST_SUITE_P(Folders, JournalPoint, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = info.param.Name;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});

}  // namespace
