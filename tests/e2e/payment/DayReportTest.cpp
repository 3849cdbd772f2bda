// A day's figures as store IT reads them: sarn-till report --day per till (paid, given back, in
// doubt) as a table, JSON lines and CSV, and transactions --since/--until keeping the rows of
// those days, on payments really made, with the states transactions shows.
#include "tests/support/TillFixture.h"

namespace {

using DayReport = TTillFixture;

// The line of the text that starts with start; empty when none.
std::string LineStarting(const std::string& text, const std::string& start) {
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, start.size(), start) == 0) return text.substr(at, end - at);
  }
  return "";
}

}  // namespace

TEST_F(DayReport, CountsEachTillsPaymentsByWhatBecameOfThem) {
  Upgrade();
  // Till 1: two linked payments, the second moved to an earlier day below. Till 2: one cancelled
  // (given back), one whose cancel the till began and never finished (in doubt).
  ASSERT_EQ(Pay("SAVE15", {"--invoice", "1001"}).Exit, 0);
  ASSERT_EQ(Pay("SAVE15", {"--invoice", "1002"}).Exit, 0);
  TRun run = Till({"--till-id", "2", "pay", "--amount", "62.50", "--order", OrderFile, "--popup",
                   "--voucher", "WELCOME10", "--mobile", "0612345678", "--cancel"});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  run = Till({"--till-id", "2", "pay", "--amount", "62.50", "--order", OrderFile, "--popup",
              "--voucher", "SAVE15", "--mobile", "0612345678"});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  {
    TIntfPtr<IDBScript> db = NewDBScript({Database, 5000, ""});
    ASSERT_GE(db->Execute("UPDATE [SarnSales] SET [State] = 'cancelling' WHERE [Sale] = 4", {}), 1);
    ASSERT_GE(db->Execute("UPDATE [SarnSales] SET [Created] = '2020-01-01 23:59:59' "
                          "WHERE [Invoice] = 1002",
                          {}),
              1);
    ASSERT_GE(db->Execute("UPDATE [DovraTransactions] SET [Timestamp_Created] = "
                          "'2020-01-01 23:59:59' WHERE [InvoiceNum] = 1002",
                          {}),
              1);
  }
  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 4u);
  const std::string today = rows[0].at("Timestamp_Created").substr(0, 10);

  const struct {
    std::string Day;
    std::vector<std::string> Lines;  // the CSV after its header
  } days[] = {
      {today, {"1,1,9.38,0,0.00,0,0.00", "2,0,0.00,1,10.00,1,9.38", "all,1,9.38,1,10.00,1,9.38"}},
      {"2020-01-01", {"1,1,9.38,0,0.00,0,0.00", "all,1,9.38,0,0.00,0,0.00"}},
      {"2020-01-02", {"all,0,0.00,0,0.00,0,0.00"}},
  };
  for (const auto& d : days) {
    SCOPED_TRACE(d.Day);
    run = Till({"report", "--day", d.Day, "--csv"});
    ASSERT_EQ(run.Exit, 0) << run.Output;
    std::string expected =
        "day,zone,till,paid,paid_sum,given_back,given_back_sum,in_doubt,in_doubt_sum\r\n";
    const std::string zone = LineStarting(run.Output, d.Day + ",\"");
    ASSERT_NE(zone, "") << run.Output;
    const std::string prefix = zone.substr(0, zone.find("\",") + 2);  // day,"ZONE",
    EXPECT_NE(prefix.find("UTC"), std::string::npos) << "the zone is named: " << prefix;
    for (const std::string& line : d.Lines) expected += prefix + line + "\r\n";
    EXPECT_TRUE(Contains(run.Output, expected)) << run.Output;
  }

  run = Till({"report", "--day", today});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "voucher payments of " + today + " (the till's local time: "))
      << run.Output;
  EXPECT_TRUE(Contains(run.Output, "1 payment(s) in doubt: run sarn-till reconcile")) << run.Output;
  EXPECT_NE(LineStarting(run.Output, "Till  Paid  Paid sum  Given back"), "") << run.Output;
  run = Till({"report", "--day", today, "--json"});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  EXPECT_TRUE(Contains(run.Output,
                       "\"till\":\"all\",\"paid\":1,\"paid_sum\":9.38,\"given_back\":1,"
                       "\"given_back_sum\":10.00,\"in_doubt\":1,\"in_doubt_sum\":9.38}"))
      << run.Output;

  // transactions keeps the rows of the days asked, inclusive at both ends.
  const struct {
    std::vector<std::string> Days;
    size_t Payments;
  } spans[] = {
      {{"--since", "2020-01-01", "--until", "2020-01-01"}, 1},
      {{"--until", "2020-01-01"}, 1},
      {{"--since", "2020-01-02"}, 3},
      {{"--since", "2020-01-01", "--until", today}, 4},
      {{"--since", "2019-12-30", "--until", "2019-12-31"}, 0},
  };
  for (const auto& s : spans) {
    SCOPED_TRACE(testing::PrintToString(s.Days));
    std::vector<std::string> args{"transactions", "--json"};
    args.insert(args.end(), s.Days.begin(), s.Days.end());
    run = Till(args);
    ASSERT_EQ(run.Exit, 0) << run.Output;
    size_t payments = 0, sales = 0;
    for (size_t at = 0;
         (at = run.Output.find("{\"table\":\"DovraTransactions\"", at)) != std::string::npos; ++at)
      ++payments;
    for (size_t at = 0; (at = run.Output.find("{\"table\":\"SarnSales\"", at)) != std::string::npos;
         ++at)
      ++sales;
    EXPECT_EQ(payments, s.Payments) << run.Output;
    EXPECT_EQ(sales, s.Payments) << run.Output;
  }
}
