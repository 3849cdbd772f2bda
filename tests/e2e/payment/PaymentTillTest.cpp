// Whole voucher payments on the real till: sarn-till with the module, its SQLite database, the
// cashier autopilot working the real dialog off screen, and dovra-sandbox over HTTPS. What the
// cashier, the database rows and the module log end up with, also when something fails.
#include "tests/support/TillFixture.h"

namespace {

using PaymentAtTheTill = TTillFixture;

}  // namespace

TEST_F(PaymentAtTheTill, AVoucherPaysIsLinkedAndGoesBackWhenItsInvoiceIsOverridden) {
  Upgrade();
  TRun first = Pay("WELCOME10", {"--invoice", "1001"});
  ASSERT_EQ(first.Exit, 0) << first.Output;
  // Which database and which service, before anything else.
  EXPECT_EQ(
      first.Output.rfind("database: " + Database + "\nvoucher service: " + Sandbox->URL + "\n", 0),
      0u)
      << first.Output;
  EXPECT_TRUE(Contains(first.Output, "cashier: typed mobile *******678\n")) << first.Output;
  for (const char* line :
       {"receipt: payment entry PAYMENT:DovraVoucher amount 10.0000 (context 2,1)\n",
        "receipt: payment code PAYMENT:DovraVoucher (context 2,1)\n",
        "receipt: detail VoucherReference=DVR-00000001\nreceipt: detail VoucherCode=WELCOME10\n",
        "voucher: paid 10.0000\n"})
    EXPECT_TRUE(Contains(first.Output, line)) << line << "\n" << first.Output;
  const std::string firstAnswer = LoggedValue("[TDovraVoucherAPI.Redeem] Response");
  TRun second = Pay("SAVE15", {"--invoice", "1001"});
  ASSERT_EQ(second.Exit, 0) << second.Output;
  EXPECT_TRUE(Contains(second.Output, "voucher: paid 9.3800")) << second.Output;

  std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["VoucherReference"], "DVR-00000001");
  EXPECT_EQ(rows[0]["RedeemJSON"], firstAnswer);
  EXPECT_EQ(rows[0]["Amount"], "10.0");
  EXPECT_EQ(rows[0]["InvoiceNum"], "1001");
  EXPECT_NE(rows[0]["Timestamp_Payment"], "NULL");
  EXPECT_EQ(rows[1]["Amount"], "9.38");
  EXPECT_EQ(rows[1]["InvoiceNum"], "1001");

  TRun overridden = Till({"override", "--invoice", "1001"});
  ASSERT_EQ(overridden.Exit, 0) << overridden.Output;
  EXPECT_TRUE(Contains(overridden.Output,
                       "invoice 1001: 2 voucher(s) given back, 0 could not be (see the module "
                       "log)\n"))
      << overridden.Output;
  const std::vector<std::string> requests = Sandbox->RecordLines();
  EXPECT_EQ(Count(requests, "\"Operation\":\"reverse\""), 2);
  EXPECT_EQ(Count(requests, "{\\\"VoucherReference\\\":\\\"DVR-00000001\\\"}"), 1);
  EXPECT_EQ(Count(requests, "{\\\"VoucherReference\\\":\\\"DVR-00000002\\\"}"), 1);

  const std::vector<TRow> log = Activities();
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"INFO", "New Transaction: 1"},
      {"REDEEM", "{\"ID\": 1, \"VoucherReference\": \"DVR-00000001\" }"},
      {"INFO", "New Transaction: 2"},
      {"REDEEM", "{\"ID\": 2, \"VoucherReference\": \"DVR-00000002\" }"},
      {"REVERSE", "{\"ID\":1,\"VoucherReference\":\"DVR-00000001\"}"},
      {"INFO", ""},
      {"REVERSE", "{\"ID\":2,\"VoucherReference\":\"DVR-00000002\"}"},
      {"INFO", LoggedValue("[TPaymentMethodDovraVoucher.DoOverringInvoice] Response")}};
  ASSERT_EQ(log.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(log[i].at("Class"), expected[i].first) << i;
    if (!expected[i].second.empty()) {
      EXPECT_EQ(log[i].at("Message"), expected[i].second) << i;
    }
  }
  // The first reversal's answer, as the service sent it.
  EXPECT_TRUE(Contains(log[5].at("Message"), "\"VoucherReference\":\"DVR-00000001\""));
  // WELCOME10 is single use: it pays again only because the override gave it back.
  EXPECT_EQ(Pay("WELCOME10").Exit, 0);
}

TEST_F(PaymentAtTheTill, AClosedDialogLeavesAnOpenRowAndACancelledSaleGivesTheVoucherBack) {
  Upgrade();
  TRun closed = Pay("WELCOME10", {"--no-redeem", "--invoice", "5"});
  EXPECT_EQ(closed.Exit, 3) << closed.Output;
  EXPECT_TRUE(Contains(closed.Output, "voucher: not paid")) << closed.Output;
  TRun cancelled = Pay("WELCOME10", {"--cancel"});
  EXPECT_EQ(cancelled.Exit, 0) << cancelled.Output;

  std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 2u);
  // The closed dialog's row: opened, nothing paid, no invoice (nothing to link without one).
  EXPECT_NE(rows[0]["Timestamp_Created"], "NULL");
  for (const char* column : {"Timestamp_Payment", "VoucherReference", "Amount", "InvoiceNum"})
    EXPECT_EQ(rows[0][column], "NULL") << column;
  // The cancelled sale's row keeps its redemption; the voucher went back at the service.
  EXPECT_EQ(rows[1]["VoucherReference"], "DVR-00000001");
  EXPECT_EQ(rows[1]["InvoiceNum"], "NULL");
  EXPECT_EQ(LoggedValue("[TPaymentMethodDovraVoucher.CancelTransaction] Reversed"), "DVR-00000001");
  EXPECT_EQ(Pay("WELCOME10").Exit, 0);
}

TEST_F(PaymentAtTheTill, FailuresEndInTheirOutcomeAndLoseNothing) {
  struct TCase {
    const char* Name;
    std::vector<std::string> SandboxOptions;
    bool Upgraded;
    std::string DatabaseFile;  // empty: a new file of the case's own
    std::string Order;         // empty: the example order
    int Exit;
    const char* LogPart;  // in the module log
    size_t Rows;          // DovraTransactions rows afterwards
    int ServiceRequests;  // requests the sandbox received (a failed redeem: check, redeem and
                          // the status asked after it)
  };
  // A database the till cannot use is the till's failure (1), not a payment refused (3); so is a
  // voucher service answering with an HTTP error.
  const fs::path badOrder = dir_ / "not-json.json";
  Write(badOrder.string(), "this is no order");
  const std::vector<TCase> cases = {
      {"redeem answered 500",
       {"--fail", "redeem:500"},
       true,
       {},
       "",
       1,
       "[TDovraVoucherAPI.Redeem] Error : HTTP 500",
       1,
       3},
      {"redeem answered HTML",
       {"--html", "redeem"},
       true,
       {},
       "",
       3,
       "[TDovraVoucherAPI.Redeem] Response : <!DOCTYPE html>",
       1,
       3},
      {"redeem answered garbage",
       {"--garbage", "redeem"},
       true,
       {},
       "",
       3,
       "[TDovraVoucherAPI.Redeem] Response : ",
       1,
       3},
      // Refused by the till before the module is asked: no database, or none upgraded.
      {"tables missing", {}, false, {}, "", 1, "", 0, 0},
      // The till's own sale cannot be recorded: the module is not asked.
      {"database unwritable", {}, false, "/proc/dovra/sarn-till.db", "", 1, "", 0, 0},
      // Refused before the module is asked: no row, no module log entry.
      {"order not JSON", {}, true, {}, badOrder.string(), 2, "", 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Sandbox = std::make_unique<TSandboxProcess>(c.SandboxOptions);
    Database = c.DatabaseFile.empty() ? FreshDatabase(c.Name) : c.DatabaseFile;
    if (c.Upgraded) Upgrade();
    if (!c.Order.empty()) OrderFile = c.Order;
    const TRun run = Till(PayArgs("WELCOME10", {"--invoice", "12"}));
    EXPECT_EQ(run.Exit, c.Exit) << run.Output;
    EXPECT_TRUE(Contains(ModuleLog(), c.LogPart)) << c.LogPart;
    // A payment that never happened is handed to no invoice.
    EXPECT_FALSE(Contains(run.Output, "handed to LinkInvoice")) << run.Output;
    EXPECT_EQ(Contains(run.Output, "invoice: 12 not linked: nothing was paid"),
              c.ServiceRequests > 0)
        << run.Output;
    EXPECT_EQ(Contains(run.Output, "sarn-till pay: the voucher service failed: HTTP 500"),
              (c.SandboxOptions == std::vector<std::string>{"--fail", "redeem:500"}))
        << run.Output;
    EXPECT_EQ(static_cast<int>(Sandbox->RecordLines().size()), c.ServiceRequests);
    if (c.Upgraded) {
      const std::vector<TRow> rows = Transactions();
      ASSERT_EQ(rows.size(), c.Rows);
      for (const TRow& row : rows) EXPECT_EQ(row.at("Timestamp_Payment"), "NULL");
    }
    if (c.Exit == 1 || c.Exit == 2) {
      EXPECT_TRUE(Contains(run.Output, "sarn-till")) << run.Output;
    }
    OrderFile = DOVRA_SOURCE_DIR "/examples/order.json";
  }
}

TEST_F(PaymentAtTheTill, ALockedDatabaseMakesNoRedemption) {
  Upgrade();
  auto holder = std::make_unique<THeldDatabase>(Database);
  ASSERT_TRUE(holder->Held) << holder->Error;
  std::vector<std::string> args{"--db-busy-ms", "300"};
  const std::vector<std::string> pay = PayArgs("WELCOME10");
  args.insert(args.end(), pay.begin(), pay.end());
  const TRun run = Till(args);
  holder.reset();
  // The database the till could not use within its time is the till's failure.
  EXPECT_EQ(run.Exit, 1) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "sarn-till: pay: ")) << run.Output;
  EXPECT_TRUE(Sandbox->RecordLines().empty());
  EXPECT_TRUE(Transactions().empty());
}

TEST_F(PaymentAtTheTill, ATillKilledAfterItsReceiptKeepsTheRedemption) {
  Upgrade();
  TChildProcess till;
  std::string error, line;
  ASSERT_TRUE(till.Start(SARN_TILL_PROGRAM, TillArgs(PayArgs("WELCOME10")), Environment(), error))
      << error;
  bool receipt = false;
  while (!receipt && till.ReadLine(line, kChildWaitMs))
    receipt = line.rfind("receipt: payment entry", 0) == 0;
  ASSERT_TRUE(receipt) << "no receipt; the till printed:\n" << till.Printed();
  till.Kill();

  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("VoucherReference"), "DVR-00000001");
  EXPECT_TRUE(Contains(rows[0].at("RedeemJSON"), "DVR-00000001"));
  EXPECT_EQ(LoggedValue("[TDovraVoucherAPI.Redeem] Response"), rows[0].at("RedeemJSON"));
}
