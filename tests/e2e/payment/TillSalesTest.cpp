// The till's own view of its sales: a voucher that pays more than the sale is due is given back,
// each sale and voucher payment reads as what became of it (transactions, also as JSON lines),
// a payment reads the table list and the sales table's layout once each, an override says how many
// vouchers went back, an up-to-date database that cannot be written upgrades with nothing to write,
// a database never upgraded takes nothing, and an older SarnSales gains the store and till numbers
// in place.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/TillFixture.h"

namespace {

using TillSales = TTillFixture;

std::string Match(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

// "table key: State" for each JSON line of `transactions --json`, DovraLog rows left out.
std::vector<std::string> States(const std::string& output) {
  std::vector<std::string> states;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const std::string table = Match(line, "^\\{\"table\":\"(\\w+)\"");
    if (table == "DovraTransactions")
      states.push_back("transaction " + Match(line, "\"ID\":(\\d+)") + ": " +
                       Match(line, "\"State\":\"([^\"]*)\""));
    else if (table == "SarnSales")
      states.push_back("sale " + Match(line, "\"Sale\":(\\d+)") + ": " +
                       Match(line, "\"State\":\"([^\"]*)\""));
  }
  return states;
}

TEST_F(TillSales, AVoucherAboveTheAmountDueIsGivenBackAndTheSaleNotBooked) {
  // SAVE15 takes 15% of the example order: 9.38.
  struct TCase {
    const char* Amount;
    int Exit;
    const char* Says;
  } cases[] = {
      {"9.38", 0, "voucher: paid 9.3800\n"},
      {"9.3799", 3,
       "sale: not booked: the voucher pays 9.3800, more than the amount due 9.3799\n"
       "sale: cancelled (CancelTransaction)\n"
       "voucher: paid 9.3800, then given back\n"},
      {"0", 3, "sale: not booked: the voucher pays 9.3800, more than the amount due 0.0000\n"},
  };
  Upgrade();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Amount);
    const TRun run = Till({"pay", "--amount", c.Amount, "--order", OrderFile, "--popup",
                           "--voucher", "SAVE15", "--mobile", "0612345678", "--invoice", "8"});
    EXPECT_EQ(run.Exit, c.Exit) << run.Output;
    EXPECT_TRUE(Contains(run.Output, c.Says)) << run.Output;
    // A sale not booked is neither on the receipt nor linked to the invoice.
    EXPECT_EQ(Contains(run.Output, "receipt: payment entry"), c.Exit == 0) << run.Output;
    EXPECT_EQ(Contains(run.Output, "handed to LinkInvoice"), c.Exit == 0) << run.Output;
  }
  const std::vector<std::string> requests = Sandbox->RecordLines();
  EXPECT_EQ(Count(requests, "\"Operation\":\"reverse\""), 2);
  EXPECT_EQ(States(Till({"transactions", "--json"}).Output),
            (std::vector<std::string>{"transaction 1: linked", "transaction 2: reversed",
                                      "transaction 3: reversed", "sale 1: linked",
                                      "sale 2: reversed", "sale 3: reversed"}));
}

TEST_F(TillSales, EachSaleReadsAsWhatBecameOfIt) {
  Upgrade();
  ASSERT_EQ(Pay("WELCOME10", {"--no-redeem"}).Exit, 3);     // 1: the dialog closed, nothing paid
  ASSERT_EQ(Pay("SAVE15").Exit, 0);                         // 2: paid
  ASSERT_EQ(Pay("SAVE15", {"--invoice", "7"}).Exit, 0);     // 3: linked, then overridden
  ASSERT_EQ(Pay("SAVE15", {"--cancel"}).Exit, 0);           // 4: cancelled
  ASSERT_EQ(Pay("WELCOME10", {"--invoice", "9"}).Exit, 0);  // 5: linked
  // 6: cancelled with nothing paid: nothing to give back, and no cancel left half done.
  ASSERT_EQ(Pay("WELCOME10", {"--no-redeem", "--cancel"}).Exit, 3);
  const TRun overridden = Till({"override", "--invoice", "7"});
  EXPECT_EQ(overridden.Exit, 0) << overridden.Output;

  const TRun all = Till({"transactions", "--json"});
  ASSERT_EQ(all.Exit, 0) << all.Output;
  EXPECT_EQ(States(all.Output),
            (std::vector<std::string>{"transaction 1: open", "transaction 2: paid",
                                      "transaction 3: reversed", "transaction 4: reversed",
                                      "transaction 5: linked", "transaction 6: open",
                                      "sale 1: open", "sale 2: paid", "sale 3: reversed",
                                      "sale 4: reversed", "sale 5: linked", "sale 6: open"}));
  // Full texts: the redemption answer as the service sent it, never cut for the screen.
  EXPECT_TRUE(Contains(all.Output,
                       "\"RedeemJSON\":\"{\\\"Success\\\":true,\\\"DisplayName\\\":"
                       "\\\"Welcome 10.00 off\\\",\\\"DiscountAmount\\\":10,"))
      << all.Output;
  const TRun one = Till({"transactions", "--json", "--invoice", "7"});
  EXPECT_EQ(States(one.Output),
            (std::vector<std::string>{"transaction 3: reversed", "sale 3: reversed"}));
  const TRun table = Till({"transactions", "--invoice", "9"});
  ASSERT_EQ(table.Exit, 0) << table.Output;
  EXPECT_EQ(MissingInOrder(table.Output, {"DovraTransactions: 1 row(s) of invoice 9\n", "  State\n",
                                          "  linked\n", "DovraLog: 2 row(s) concerning them\n",
                                          "SarnSales: 1 row(s) of invoice 9", "  linked  "}),
            "")
      << table.Output;
}

// Before a sale's row, the till reads what it needs once each: the table list (the module's
// tables are there) and the sales table's layout (made, and up to date).
TEST_F(TillSales, APaymentReadsTheTableListAndTheSalesLayoutOnceBeforeItsRow) {
  Upgrade();
  std::vector<std::string> args = {"--sql-trace", Path("trace.jsonl")};
  const std::vector<std::string> pay = PayArgs("SAVE15", {"--invoice", "4"});
  args.insert(args.end(), pay.begin(), pay.end());
  const TRun run = Till(args);
  ASSERT_EQ(run.Exit, 0) << run.Output;
  std::ifstream trace(Path("trace.jsonl"));
  std::vector<std::string> calls;
  for (std::string line; calls.size() < 3 && std::getline(trace, line);)
    calls.push_back(Match(line, "^\\{\"time\":\"[^\"]*\",\"op\":\"(\\w+)\"") + " " +
                    Match(line, "\"format\":\"(INSERT INTO \\[\\w+\\]|\\w+)"));
  EXPECT_EQ(calls, (std::vector<std::string>{"Tables ", "Columns SarnSales",
                                             "QueryValue INSERT INTO [SarnSales]"}));
}

TEST_F(TillSales, AnOverrideSaysHowManyVouchersWentBack) {
  struct TCase {
    const char* Name;
    std::vector<std::string> SandboxOptions;
    int Exit;
    const char* Says;
  } cases[] = {
      {"two given back", {}, 0, "invoice 5: 2 voucher(s) given back, 0 could not be"},
      // An HTTP error is the service failing, not refusing: the till's failure, exit 1.
      {"service fails",
       {"--fail", "reverse:500"},
       1,
       "invoice 5: 0 voucher(s) given back, 2 could not be (see the module log)\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Sandbox = std::make_unique<TSandboxProcess>(c.SandboxOptions);
    Database = FreshDatabase(c.Name);
    Upgrade();
    ASSERT_EQ(Pay("SAVE15", {"--invoice", "5"}).Exit, 0);
    ASSERT_EQ(Pay("WELCOME10", {"--invoice", "5"}).Exit, 0);
    const TRun run = Till({"override", "--invoice", "5"});
    EXPECT_EQ(run.Exit, c.Exit) << run.Output;
    EXPECT_TRUE(Contains(run.Output, c.Says)) << run.Output;
    const std::string state = c.Exit == 0 ? "reversed" : "reverse failed";
    EXPECT_EQ(States(Till({"transactions", "--json"}).Output),
              (std::vector<std::string>{"transaction 1: " + state, "transaction 2: " + state,
                                        "sale 1: " + state, "sale 2: " + state}));
  }
}

// A file nobody may write, the owner and root included, while the object lives.
class TImmutableFile {
 public:
  explicit TImmutableFile(const std::string& path) : FPath(path) { Held = Set(true); }
  ~TImmutableFile() {
    if (Held) Set(false);
  }
  TImmutableFile(const TImmutableFile&) = delete;
  TImmutableFile& operator=(const TImmutableFile&) = delete;
  bool Held = false;
  std::string Error;

 private:
  bool Set(bool on) {
    const int fd = open(FPath.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                      (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                       ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (!done) Error = FPath + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return done;
  }
  std::string FPath;
};

TEST_F(TillSales, AnUpToDateDatabaseThatCannotBeWrittenUpgradesWithNothingToWrite) {
  Upgrade();
  // A database the till may only read: a session that refuses writes on the server, a file
  // that cannot be written.
  std::vector<std::string> args = TillArgs({"upgrade"});
  std::unique_ptr<TImmutableFile> file;
  if (OnPostgres()) {
    args[3] = Database + " options='-c default_transaction_read_only=on'";
  } else {
    file = std::make_unique<TImmutableFile>(Database);
    if (!file->Held) GTEST_SKIP() << "no file can be made unwritable here: " << file->Error;
  }
  auto upgrade = [&](std::string& output) {
    TChildProcess till;
    till.MergeErrors = true;
    std::string error;
    if (!till.Start(SARN_TILL_PROGRAM, args, Environment(), error)) {
      output = error;
      return -1;
    }
    return till.ReadAllAndWait(output, kChildWaitMs);
  };
  std::string output;
  EXPECT_EQ(upgrade(output), 0) << output;
  EXPECT_TRUE(Contains(output,
                       "upgrade done: the database cannot be written and is up to date, "
                       "nothing to write: 2 script(s) already run"))
      << output;
  // Not up to date: then it does fail.
  file.reset();
  ASSERT_EQ(NewDBScript({Database, 5000, ""})->Execute("DELETE FROM [SarnSchemaScripts]", {}), 2);
  if (!OnPostgres()) file = std::make_unique<TImmutableFile>(Database);
  EXPECT_EQ(upgrade(output), 1) << output;
}

// A database that was never upgraded is not the module's: the till says so, asks the module
// nothing and makes no table of its own there.
TEST_F(TillSales, ADatabaseNeverUpgradedTakesNothingAndGetsNoTable) {
  ASSERT_EQ(NewDBScript({Database, 5000, ""})->Execute("CREATE TABLE [Other] ( [A] INT )", {}), 0);
  const std::vector<std::vector<std::string>> commands = {
      PayArgs("WELCOME10", {"--invoice", "5"}), {"override", "--invoice", "5"}, {"transactions"}};
  for (const auto& command : commands) {
    SCOPED_TRACE(command[0]);
    const TRun run = Till(command);
    EXPECT_EQ(run.Exit, 1) << run.Output;
    EXPECT_TRUE(
        Contains(run.Output, "the module's tables are missing: run sarn-till upgrade first"))
        << run.Output;
  }
  std::vector<std::string> tables;
  ASSERT_TRUE(NewDBScript({Database, 5000, ""})->Tables(tables));
  EXPECT_EQ(tables, std::vector<std::string>{"Other"});
  EXPECT_TRUE(Sandbox->RecordLines().empty());
}

// SarnSales of a till from before it kept the store and till numbers gains them in place, its
// rows kept; transactions shows them and keeps one till's rows.
TEST_F(TillSales, AnOlderTableGainsStoreAndTillInPlaceAndTransactionsKeepsOneTill) {
  TIntfPtr<TDBScript> db = NewDBScript({Database, 5000, ""});
  ASSERT_EQ(db->Execute("CREATE TABLE [SarnSales] ( [Sale] INT NOT NULL IDENTITY(1,1) PRIMARY KEY, "
                        "[Created] DATETIME NOT NULL, [Changed] DATETIME NOT NULL, [Amount] MONEY "
                        "NOT NULL, [Paid] MONEY NULL, [Invoice] INT NULL, [State] NVARCHAR(20) NOT "
                        "NULL, [VoucherReference] NVARCHAR(MAX) NULL )",
                        {}),
            0);
  ASSERT_EQ(db->Execute("INSERT INTO [SarnSales] ( [Created], [Changed], [Amount], [State] ) "
                        "VALUES ( GETDATE(), GETDATE(), 5.0000, 'open' )",
                        {}),
            1);
  TRun run = Till({"upgrade"});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "  till: SarnSales: column(s) Store, Till added\n"))
      << run.Output;
  EXPECT_EQ(Pay("WELCOME10", {"--invoice", "21"}).Exit, 0);
  EXPECT_EQ(
      Till({"--store-id", "7", "--till-id", "3", "pay", "--amount", "62.50", "--order", OrderFile,
            "--popup", "--voucher", "SAVE15", "--mobile", "0612345678", "--invoice", "22"})
          .Exit,
      0);
  const std::vector<TRow> rows =
      Rows("SELECT [Sale], [Store], [Till] FROM [SarnSales] ORDER BY [Sale]");
  const std::vector<TRow> expected = {{{"Sale", "1"}, {"Store", "NULL"}, {"Till", "NULL"}},
                                      {{"Sale", "2"}, {"Store", "1"}, {"Till", "1"}},
                                      {{"Sale", "3"}, {"Store", "7"}, {"Till", "3"}}};
  EXPECT_EQ(rows, expected);
  run = Till({"transactions", "--till-id", "3", "--json"});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  EXPECT_EQ(States(run.Output),
            (std::vector<std::string>{"transaction 2: linked", "sale 3: linked"}));
  EXPECT_TRUE(Contains(run.Output, "\"Store\":7,\"Till\":3}")) << run.Output;
  run = Till({"upgrade"});
  EXPECT_FALSE(Contains(run.Output, "till:")) << "nothing left to add: " << run.Output;
}

}  // namespace
