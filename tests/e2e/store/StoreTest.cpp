// A store's tills on one PostgreSQL database: four tills paying at once, a server gone while a
// till pays, a server restarted under a running till.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "host/store/DatabaseUpgrade.h"
#include "host/till/TTill.h"
#include "host/till/TillPayment.h"
#include "tests/support/TillFixture.h"

namespace {

constexpr int kTills = 4;
constexpr int kSalesPerTill = 10;

std::vector<std::string> All(const std::string& text, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex re(pattern);
  for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i)
    found.push_back((*i)[1].str());
  return found;
}

class StoreOnOneServer : public TTillFixture {
 protected:
  void SetUp() override {
    TTillFixture::SetUp();
    std::string error;
    const std::string server = TestPostgresServer(error);
    ASSERT_FALSE(server.empty()) << error;
    ASSERT_TRUE(Store.Create(server, error)) << error;
    Database = Store.Connection();
  }

  // A server of the test's own, for the cases that stop it, with the store's database on it.
  void UseOwnServer() {
    std::string error;
    ASSERT_TRUE(Server.Create(error)) << error;
    ASSERT_TRUE(OwnStore.Create(Server.Connection(), error)) << error;
    Database = OwnStore.Connection();
  }

  TPostgresDatabase Store, OwnStore;
  TPostgresServer Server;
};

TEST_F(StoreOnOneServer, FourTillsPayingAtOnceEachFindTheirOwnRows) {
  Upgrade();
  std::string outputs[kTills];
  std::vector<int> exits[kTills];
  {
    std::vector<std::thread> tills;
    for (int till = 0; till < kTills; ++till)
      tills.emplace_back([&, till] {
        const std::string folder = Path("till" + std::to_string(till + 1));
        fs::create_directories(folder);
        fs::copy_file(DOVRA_MODULE_PATH, folder + "/DovraVoucherPayment.smd");
        std::vector<std::string> args{"--module",  folder + "/DovraVoucherPayment.smd",
                                      "--db",      Database,
                                      "--ca-file", Sandbox->CertFile(),
                                      "--till-id", std::to_string(till + 1)};
        const std::vector<std::string> pay = PayArgs("SAVE15");
        args.insert(args.end(), pay.begin(), pay.end());
        for (int sale = 0; sale < kSalesPerTill; ++sale) {
          TChildProcess child;
          child.MergeErrors = true;
          std::string error, output;
          exits[till].push_back(child.Start(SARN_TILL_PROGRAM, args, Environment(), error)
                                    ? child.ReadAllAndWait(output, 90000)
                                    : -1);
          outputs[till] += output + error;
        }
      });
    for (std::thread& t : tills) t.join();
  }
  std::map<int, TRow> rows;
  for (const TRow& row : Transactions()) rows[std::stoi(row.at("ID"))] = row;
  ASSERT_EQ(rows.size(), size_t{kTills * kSalesPerTill}) << "40 rows, 40 distinct IDs";

  std::set<std::string> references;
  for (int till = 0; till < kTills; ++till) {
    SCOPED_TRACE("till " + std::to_string(till + 1));
    EXPECT_EQ(exits[till], std::vector<int>(kSalesPerTill, 0)) << outputs[till];
    std::string log;
    for (const auto& entry : fs::directory_iterator(Path("till" + std::to_string(till + 1))))
      if (entry.path().extension() == ".log") log += Read(entry.path().string());
    const std::vector<std::string> opened =
        All(log, "\\[TPaymentMethodDovraVoucher.DoPaymentPopup\\] Current Transaction : (-?\\d+)");
    const std::vector<std::string> paid =
        All(outputs[till], "receipt: detail VoucherReference=(DVR-\\d+)\n");
    ASSERT_EQ(opened.size(), size_t{kSalesPerTill});
    ASSERT_EQ(paid.size(), size_t{kSalesPerTill});
    for (int sale = 0; sale < kSalesPerTill; ++sale) {
      const int id = std::stoi(opened[sale]);
      ASSERT_EQ(rows.count(id), 1u) << "no row " << id;
      EXPECT_EQ(rows[id].at("VoucherReference"), paid[sale]) << "row " << id;
      EXPECT_TRUE(references.insert(paid[sale]).second) << paid[sale] << " in two rows";
    }
  }
}

TEST_F(StoreOnOneServer, AServerGoneFailsThePaymentBeforeTheDialogAndTakesNoVoucher) {
  UseOwnServer();
  Upgrade();
  std::string error;
  ASSERT_TRUE(Server.Stop(error)) << error;
  const TRun run = Pay("WELCOME10");
  ASSERT_TRUE(Server.Start(error)) << error;
  EXPECT_EQ(run.Exit, 1) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "sarn-till: database: cannot connect to host=")) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "the store database cannot be reached")) << run.Output;
  EXPECT_FALSE(Contains(run.Output, "cashier:")) << "no dialog: " << run.Output;
  EXPECT_TRUE(Sandbox->RecordLines().empty()) << "no voucher taken";
  EXPECT_TRUE(Transactions().empty());
  EXPECT_TRUE(Activities().empty());
}

TEST_F(StoreOnOneServer, ARunningTillPaysAgainAfterTheServerRestarted) {
  UseOwnServer();
  ::setenv("DOVRA_BASE_URL", Sandbox->URL.c_str(), 1);  // read when the module loads
  TTillOptions options;
  options.ModulePath = Path("DovraVoucherPayment.smd");
  options.CaFile = Sandbox->CertFile();
  options.DatabasePath = Database;
  TTill till(options);
  std::string error;
  ASSERT_TRUE(till.Start(error)) << error;
  ASSERT_EQ(RunDatabaseUpgrade(till.Registry(), till.Database(), till.ActionCodes()).Outcome,
            TUpgradeOutcome::Done);
  std::ostringstream out, err;
  TPaymentRun run;
  run.Amount = 625000;
  run.OrderDocument = Read(OrderFile);
  run.Popup = true;
  TCashierScript cashier;
  cashier.VoucherCode = "SAVE15";
  cashier.UserReference = "0612345678";
  run.Cashier = cashier;
  ASSERT_EQ(RunPayment(till, run, OpenSale(till, run.Amount, err), out, err), TExitCode::Done)
      << out.str() << err.str();
  ASSERT_TRUE(Server.Stop(error)) << error;
  ASSERT_TRUE(Server.Start(error)) << error;
  EXPECT_EQ(RunPayment(till, run, OpenSale(till, run.Amount, err), out, err), TExitCode::Done)
      << out.str() << err.str();
  till.Stop();
  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].at("VoucherReference"), "DVR-00000002");
}

}  // namespace
