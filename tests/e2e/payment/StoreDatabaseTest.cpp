// The till's database under what a store meets: answers longer than their column, a till whose
// locale writes decimals with a comma, and (on PostgreSQL) the till's backend stopped in the
// middle of a payment. On both engines, as every payment case.
#include <langinfo.h>
#include <locale.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/support/TillFixture.h"

namespace {

const std::string kRef = "DVR-00000001";

class StoreDatabase : public TTillFixture {};

TEST_F(StoreDatabase, AnswersLongerThanTheirColumnRecordAndPayAndTheLogKeepsThemWhole) {
  const std::string redeem = "{\"Success\":true,\"DisplayName\":\"Welcome 10.00 off\",\"Note\":\"" +
                             std::string(1400, 'r') +
                             "\",\"DiscountAmount\":10,\"VoucherReference\":\"" + kRef +
                             "\",\"VoucherCode\":\"WELCOME10\"}";
  const std::string reverse = "{\"Success\":true,\"VoucherReference\":\"" + kRef +
                              "\",\"Note\":\"" + std::string(1450, 'v') + "\"}";
  ASSERT_GT(redeem.size(), 1400u);
  Write(Path("redeem.json"), redeem);
  Write(Path("reverse.json"), reverse);
  Sandbox = std::make_unique<TSandboxProcess>(std::vector<std::string>{
      "--answer", "redeem:" + Path("redeem.json"), "--answer", "reverse:" + Path("reverse.json")});
  Upgrade();
  const TRun paid = Pay("WELCOME10", {"--invoice", "41"});
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  const TRun overridden = Till({"override", "--invoice", "41"});
  EXPECT_EQ(overridden.Exit, 0) << overridden.Output;

  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("VoucherReference"), kRef);
  EXPECT_EQ(rows[0].at("Amount"), "10.0");
  EXPECT_EQ(rows[0].at("RedeemJSON"), redeem.substr(0, 1000));
  std::vector<std::string> messages;
  for (const TRow& activity : Activities()) messages.push_back(activity.at("Class"));
  EXPECT_EQ(messages, (std::vector<std::string>{"INFO", "REDEEM", "REVERSE", "INFO"}));
  const std::vector<TRow> activities = Activities();
  ASSERT_EQ(activities.size(), 4u);
  EXPECT_EQ(activities[3].at("Message"), reverse.substr(0, 1000));
  const std::string log = ModuleLog();
  EXPECT_TRUE(Contains(log, "Redeem answer cut to its column : " + redeem + "\r\n"));
  EXPECT_TRUE(Contains(log, "Message cut to its column : " + reverse + "\r\n"));
  EXPECT_EQ(VoucherAtTheService(), "available/0");
}

// The locale's decimal comma must reach neither what the till reads from its database nor what
// it prints. The locale is made for the test where the machine has none.
TEST_F(StoreDatabase, ACommaDecimalLocaleChangesNoAmountAndNoState) {
  const std::string locales = Path("locales");
  fs::create_directories(locales);
  const std::string make =
      "localedef -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >" + Path("localedef.log") + " 2>&1";
  std::system(make.c_str());
  setenv("LOCPATH", locales.c_str(), 1);
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  locale_t german = newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr);
  ASSERT_NE(german, nullptr) << Read(Path("localedef.log"));
  EXPECT_STREQ(nl_langinfo_l(RADIXCHAR, german), ",");
  freelocale(german);

  // Below one, so that a reading that stops at the point sees nothing paid.
  Write(Path("vouchers.json"), R"({"Vouchers":[{"Code":"HALF","DisplayName":"0.50 off",)"
                               R"("Kind":"fixed","Amount":0.5,"MultipleUse":false}]})");
  Sandbox = std::make_unique<TSandboxProcess>(
      std::vector<std::string>{"--vouchers", Path("vouchers.json")});
  Upgrade();
  const TRun paid = Pay("HALF");
  ASSERT_EQ(paid.Exit, 0) << paid.Output;
  EXPECT_TRUE(Contains(paid.Output, " amount 0.5000 ")) << paid.Output;
  const TRun listed = Till({"transactions", "--json"});
  ASSERT_EQ(listed.Exit, 0) << listed.Output;
  // The module's row: its amount as written, and the state the till reads from it.
  EXPECT_TRUE(Contains(listed.Output, "\"Amount\":0.5,\"State\":\"paid\"}")) << listed.Output;
}

// The payment's update of its row waits in a trigger; the test then stops the till's backend
// there. The till gives the call up at its bound, gives the voucher back and says so.
TEST_F(StoreDatabase, ABackendStoppedMidPaymentEndsItWithinTheBoundAndGivesTheVoucherBack) {
  if (!OnPostgres()) GTEST_SKIP() << "a server backend to stop is PostgreSQL's";
  Sandbox = std::make_unique<TSandboxProcess>();
  Upgrade();
  TPostgresSession session(Database);
  std::string error;
  ASSERT_TRUE(
      session.Exec("CREATE FUNCTION slow() RETURNS trigger LANGUAGE plpgsql AS "
                   "$$ BEGIN PERFORM pg_sleep(30); RETURN NEW; END $$; "
                   "CREATE TRIGGER slow BEFORE UPDATE OF \"Amount\" ON "
                   "\"DovraTransactions\" FOR EACH ROW EXECUTE FUNCTION slow()",
                   error))
      << error;
  TRun run;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration stoppedFor{};
  std::thread pay([&] {
    std::vector<std::string> args{"--db-busy-ms", "1000"};
    for (const std::string& arg : PayArgs("WELCOME10")) args.push_back(arg);
    run = Till(args);
  });
  std::string pid;
  for (int i = 0; i < 1500 && pid.empty(); ++i) {
    pid = session.Value("SELECT pid FROM pg_stat_activity WHERE wait_event = 'PgSleep'", error);
    if (pid.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const bool stopped = !pid.empty() && kill(std::stoi(pid), SIGSTOP) == 0;
  const auto stoppedAt = std::chrono::steady_clock::now();
  pay.join();
  stoppedFor = std::chrono::steady_clock::now() - stoppedAt;
  if (stopped) kill(std::stoi(pid), SIGCONT);
  ASSERT_TRUE(stopped) << "the payment's update never reached the trigger: " << error;
  EXPECT_EQ(run.Exit, 1) << run.Output;
  EXPECT_LT(stoppedFor, std::chrono::milliseconds(4000)) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "within the call's bound (3000 ms")) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "the voucher was given back")) << run.Output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(VoucherAtTheService(), "available/0");
  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("Amount"), "NULL");
}

}  // namespace
