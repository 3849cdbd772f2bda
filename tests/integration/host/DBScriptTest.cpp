// The till's DB script service, action codes and upgrade against real SQLite files, with the
// module's own statements and schema scripts.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>

#include "host/contract/DatabaseConnection.h"
#include "host/contract/TActionCodes.h"
#include "host/store/DatabaseUpgrade.h"
#include "intf/intfDatabaseChanges.h"
#include "lib/json/clsJSONDocument.h"
#include "module/payment/DovraStatements.h"
#include "module/schema/implDatabaseChangesDovra.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Contains.h"
#include "tests/support/DBTestSupport.h"
#include "tests/support/SalesTableCases.h"
#include "tests/support/TestFolder.h"
#include "tests/support/TestRegistry.h"

namespace {

// The module's statements as it sends them.
const std::string& S1 = ActivityInsertStatement();
const std::string& S2 = TransactionInsertStatement();
const std::string& S3 = PaymentUpdateStatement();
const std::string& S4 = InvoiceLinkStatement();
const std::string& S5 = InvoiceRowsStatement();

std::string Quoted(const std::string& text) { return QuotedSQLText(text); }

class DBScriptTest : public TTestFolder {
 protected:
  DBScriptTest() : TTestFolder("dbscript") {}

  TIntfPtr<TDBScript> Service(int32_t busyMs = 5000, const std::string& trace = "",
                              const std::string& file = "till.db") {
    return NewDBScript(TDBScriptOptions{Path(file), busyMs, trace});
  }
  static void CreateTables(IDBScript* db) {
    ASSERT_EQ(db->Execute("%s", {DovraTransactionTableScript()}), 0);
    ASSERT_EQ(db->Execute("%s", {DovraLogTableScript()}), 0);
  }
  static std::string Value(IDBScript* db, const std::string& query) {
    std::string value = "(no row)";
    db->QueryValue(query, "V", value);
    return value;
  }
};

// A contributor that hands over the scripts it is given and asks for one right.
class TScriptedChanges final : public TImplements<TInterfacedObject, IDatabaseChanges> {
 public:
  TScriptedChanges(IServiceRegistry* registry, std::vector<std::string> scripts)
      : FRegistry(registry), FScripts(std::move(scripts)) {}
  void CollectChanges(IInterface*, IScriptCollector* collector) override {
    for (const std::string& s : FScripts) collector->AddScript(s);
    if (TIntfPtr<IActionCodes> codes = ResolveAs<IActionCodes>(FRegistry))
      codes->AddActionCode("XX001", "Broken right", 1, 1);
  }

 private:
  IServiceRegistry* FRegistry;
  std::vector<std::string> FScripts;
};

class TInstanceFactory final : public TImplements<TInterfacedObject, IServiceFactory> {
 public:
  explicit TInstanceFactory(TIntfPtr<IInterface> object) : FObject(std::move(object)) {}
  void CreateInstance(TIntfPtr<IInterface>& instance) override { instance = FObject; }

 private:
  TIntfPtr<IInterface> FObject;
};

}  // namespace

// The upgrade's account, failures or what was done, one line each.
std::string Account(const TDatabaseUpgradeResult& result, bool failures) {
  std::string text;
  for (const TUpgradeLine& line : result.Lines)
    if (line.Failure == failures) text += line.Text + "\n";
  return text;
}

TEST_F(DBScriptTest, EachSaleTellsInOneCallWhetherItsTableIsMissingOlderOrUpToDate) {
  int databases = 0;
  CheckSalesTableCases([&] { return Service(5000, "", "sales" + std::to_string(++databases)); });
}

TEST_F(DBScriptTest, UpgradeCreatesTheTablesOnceAndRegistersTheRightsOnce) {
  TScopedModuleRegistry module;  // the schema's contributor resolves the rights through it
  IServiceRegistry* registry = &module.Registry();
  TIntfPtr<TDBScript> db = RegisterDBScript(registry, {Path("till.db"), 5000, ""});
  TIntfPtr<TActionCodes> codes = RegisterActionCodes(registry, db.Get());
  registry->RegisterNamedFactory(IDatabaseChanges::IID, "Dovra",
                                 MakeObject<TDatabaseChangesDovraFactory>().Get());

  const TDatabaseUpgradeResult first = RunDatabaseUpgrade(registry, *db, *codes);
  ASSERT_EQ(first.Outcome, TUpgradeOutcome::Done) << Account(first, true);
  EXPECT_TRUE(Contains(Account(first, false), "created DovraTransactions"))
      << Account(first, false);
  EXPECT_TRUE(Contains(Account(first, false), "created DovraLog")) << Account(first, false);
  std::string id;
  ASSERT_TRUE(db->QueryValue(S2, "ID", id));
  EXPECT_EQ(id, "1");

  const TDatabaseUpgradeResult second = RunDatabaseUpgrade(registry, *db, *codes);
  ASSERT_EQ(second.Outcome, TUpgradeOutcome::Done) << Account(second, true);
  EXPECT_EQ(std::vector<int32_t>({second.ScriptsRun, second.ScriptCount, second.TablesCreated,
                                  second.RightsChanged}),
            std::vector<int32_t>({2, 2, 0, 0}))
      << Account(second, false);
  EXPECT_EQ(Account(second, true), "");
  ASSERT_TRUE(db->QueryValue(S2, "ID", id));
  EXPECT_EQ(id, "2") << "the first row survives: the table was not made anew";
  EXPECT_EQ(Value(db.Get(),
                  "SELECT group_concat(Code || '=' || Description || '/' || Level || '/' || "
                  "GroupNo, ';') AS V FROM ( SELECT * FROM SarnActionCodes ORDER BY Code )"),
            "SM005=To Change Dovra Settings/1/1;SM006=To View Dovra Transactions/1/1");
  EXPECT_EQ(Value(db.Get(),
                  "SELECT group_concat(Code || '>' || RightsKey, ';') AS V FROM "
                  "( SELECT * FROM SarnActionCodeLinks ORDER BY Code )"),
            "SM005>FRCH;SM006>FRCH");
  EXPECT_EQ(Value(db.Get(), "SELECT group_concat(Runs, ',') AS V FROM SarnSchemaScripts"), "2,2");
}

TEST_F(DBScriptTest, UpgradeStopsAtTheFirstFailingScriptAndRegistersNoRights) {
  TIntfPtr<IServiceRegistry> registry = NewServiceRegistry();
  TIntfPtr<TDBScript> db = RegisterDBScript(registry.Get(), {Path("till.db"), 5000, ""});
  TIntfPtr<TActionCodes> codes = RegisterActionCodes(registry.Get(), db.Get());
  auto changes = MakeObject<TScriptedChanges>(
      registry.Get(), std::vector<std::string>{"CREATE TABLE A1 ( X INT )", "CREATE TABLEX oops",
                                               "CREATE TABLE A3 ( X INT )"});
  auto factory = MakeObject<TInstanceFactory>(changes.As<IInterface>());
  registry->RegisterNamedFactory(IDatabaseChanges::IID, "Broken", factory.Get());

  testing::internal::CaptureStderr();
  const TDatabaseUpgradeResult result = RunDatabaseUpgrade(registry.Get(), *db, *codes);
  const std::string stderrText = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result.Outcome, TUpgradeOutcome::Failed) << Account(result, false);
  EXPECT_TRUE(Contains(Account(result, true), "Broken script 2 failed")) << Account(result, true);
  EXPECT_TRUE(
      Contains(stderrText, "Execute \"CREATE TABLEX oops\": a statement begins with \"CREATE\""))
      << stderrText;
  EXPECT_TRUE(db->TableExists("A1"));
  EXPECT_FALSE(db->TableExists("A3")) << "nothing after the failed script runs";
  EXPECT_FALSE(db->TableExists("SarnActionCodes")) << "no right is registered";
  EXPECT_TRUE(Contains(Value(db.Get(),
                             "SELECT Outcome AS V FROM SarnSchemaScripts WHERE "
                             "Position = 2"),
                       "failed: "));
}

TEST_F(DBScriptTest, TransactionInsertGivesEveryCallerItsOwnRow) {
  TIntfPtr<TDBScript> a = Service(), b = Service();
  CreateTables(a.Get());
  std::string id;
  ASSERT_TRUE(a->QueryValue(S2, "ID", id));
  EXPECT_EQ(id, "1");
  ASSERT_TRUE(a->QueryValue(S2, "ID", id));
  EXPECT_EQ(id, "2");
  id = "untouched";
  ASSERT_TRUE(b->QueryValue("SELECT CAST( SCOPE_IDENTITY() AS INT ) AS [ID]", "ID", id));
  EXPECT_EQ(id, "") << "another connection inserted nothing";

  // Two tills inserting at once each read back the row they made.
  std::vector<std::string> ids[2];
  const std::vector<std::string> all = InsertAtOnce(a.Get(), b.Get(), 100, ids);
  EXPECT_EQ(ids[0].size() + ids[1].size(), 200u);
  EXPECT_EQ(all.size(), 200u) << "no ID handed to two callers";
  EXPECT_EQ(Value(a.Get(), "SELECT COUNT(*) AS V FROM DovraTransactions"), "202");
}

TEST_F(DBScriptTest, PaymentRowIsWrittenAndTracedAsSent) {
  const std::string trace = Path("trace.jsonl");
  TIntfPtr<TDBScript> db = Service(5000, trace);
  CreateTables(db.Get());
  std::string id, rows;
  ASSERT_TRUE(db->QueryValue(S2, "ID", id));
  EXPECT_EQ(db->Execute(S3, {Quoted("R-1"), Quoted("{\"DiscountAmount\":12.5}"), TCurrency{125000},
                             int32_t{1}}),
            1);
  EXPECT_EQ(db->Execute(S4, {int32_t{1001}, int32_t{1}}), 1);
  ASSERT_TRUE(db->QueryJSON(S5, {int32_t{1001}}, rows));
  EXPECT_EQ(rows, "[{\"ID\":1,\"VoucherReference\":\"R-1\"}]");
  ASSERT_TRUE(db->QueryJSON("SELECT Amount, RedeemJSON FROM DovraTransactions", {}, rows));
  EXPECT_EQ(rows, "[{\"Amount\":12.5,\"RedeemJSON\":\"{\\\"DiscountAmount\\\":12.5}\"}]");

  std::istringstream lines(Read(trace));
  std::vector<TJSONValue> calls;
  for (std::string line; std::getline(lines, line);) calls.push_back(ParseJSONDocument(line));
  ASSERT_EQ(calls.size(), 7u) << "one line per call";
  const TJSONValue& update = calls[3];
  EXPECT_EQ(update.Get("op").AsText(), "Execute");
  EXPECT_EQ(update.Get("format").AsText(), S3);
  EXPECT_EQ(update.Get("args").ToJSON(),
            "[{\"text\":\"'R-1'\"},{\"text\":\"'{\\\"DiscountAmount\\\":12.5}'\"},{\"currency\":"
            "125000},{\"integer\":1}]");
  EXPECT_TRUE(Contains(update.Get("sql").AsText(),
                       "[Amount]            = 12.50         \r\n WHERE [ID] = 1"));
  EXPECT_EQ(update.Get("changed").ToInteger(), 1);
  EXPECT_EQ(calls[2].Get("value").AsText(), "1");
  EXPECT_EQ(calls[5].Get("rows").ToInteger(), 1);
}

TEST_F(DBScriptTest, HostileTextsComeBackExactly) {
  TIntfPtr<TDBScript> db = Service();
  CreateTables(db.Get());
  std::string long_text;
  while (long_text.size() < 1500) long_text += "abc'\\\"\xF0\x9F\x98\x80";
  const std::string texts[] = {
      "O'Brien",
      "",
      "''''",
      "C:\\temp\\new\\\\",
      "%s %d %f %% %",
      "\x01\x02\t\n\r\x1b\x1f\x7f end",
      "\xF0\x9F\x98\x80 \xF0\x9D\x84\x9E \xE2\x82\xAC \xC3\xA9",
      "'); DROP TABLE DovraLog; --",
      "IF ( OBJECT_ID( 'DovraLog', 'U' ) IS NULL ) CREATE TABLE DovraLog ( ID INT IDENTITY(1,1) "
      "PRIMARY KEY ) GETDATE()",
      long_text,
  };
  const auto characters = [](const std::string& text) {
    return std::count_if(text.begin(), text.end(),
                         [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
  };
  for (const std::string& text : texts) {
    std::string id, rows;
    ASSERT_TRUE(db->QueryValue(S2, "ID", id));
    // Longer than its column (Message 1,000, VoucherReference 50 characters): refused, as the
    // store's SQL Server and PostgreSQL refuse it, never kept whole nor cut in silence.
    const bool fits = characters(text) <= 50;
    ASSERT_EQ(db->Execute(S1, {Quoted("2024/05/01 10:00:00"), Quoted("INFO"), Quoted(text)}),
              characters(text) <= 1000 ? 1 : -1)
        << text;
    ASSERT_EQ(db->Execute(S3, {Quoted(text), Quoted(text), TCurrency{1}, std::stoi(id)}),
              fits ? 1 : -1);
    if (!fits) continue;
    ASSERT_TRUE(db->QueryJSON(
        "SELECT L.[Message], T.[VoucherReference], T.[RedeemJSON] FROM [DovraLog] L, "
        "[DovraTransactions] T WHERE L.[ID] = ( SELECT MAX(ID) FROM DovraLog ) AND T.[ID] = %d",
        {std::stoi(id)}, rows));
    const TJSONValue row = ParseJSONDocument(rows)._(0);
    EXPECT_EQ(row.Get("Message").AsText(), text);
    EXPECT_EQ(row.Get("VoucherReference").AsText(), text);
    EXPECT_EQ(row.Get("RedeemJSON").AsText(), text);
  }
}

TEST_F(DBScriptTest, QueryResultsKeepTheirKinds) {
  TIntfPtr<TDBScript> db = Service();
  std::string rows, value = "untouched";
  ASSERT_TRUE(db->QueryJSON(
      "SELECT 1 AS I, -9223372036854775808 AS Big, 0.1 AS F, 12.0 AS W, 9e999 AS Inf, NULL AS N, "
      "'a\"b\\c' || char(10) || char(1) AS T UNION ALL SELECT 2, 0, 1e-300, -0.5, -9e999, NULL, ''",
      {}, rows));
  EXPECT_EQ(rows,
            "[{\"I\":1,\"Big\":-9223372036854775808,\"F\":0.1,\"W\":12.0,\"Inf\":1e999,\"N\":null,"
            "\"T\":\"a\\\"b\\\\c\\n\\u0001\"},{\"I\":2,\"Big\":0,\"F\":1e-300,\"W\":-0.5,\"Inf\":-"
            "1e999,\"N\":null,\"T\":\"\"}]");
  EXPECT_DOUBLE_EQ(ParseJSONDocument(rows)._(0).Get("F").ToFloat(), 0.1);
  ASSERT_TRUE(db->QueryJSON("CREATE TABLE T ( X INT )", {}, rows));
  EXPECT_EQ(rows, "[]") << "a batch without a result gives no rows";
  ASSERT_TRUE(db->QueryValue("SELECT 1 AS X; SELECT 2 AS Id; SELECT 3 AS ID", "ID", value));
  EXPECT_EQ(value, "2") << "the first result having the column, the column's case aside";
  value = "untouched";
  EXPECT_FALSE(db->QueryValue("SELECT 2 AS ID WHERE 0; SELECT 3 AS ID", "ID", value));
  EXPECT_EQ(value, "untouched") << "the first result having the column has no row";
}

TEST_F(DBScriptTest, ALockedDatabaseFailsOnlyAfterTheBusyTimeOut) {
  CreateTables(Service().Get());
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(Path("till.db").c_str(), &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> other(raw, sqlite3_close);
  ASSERT_EQ(sqlite3_exec(raw, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  TIntfPtr<TDBScript> impatient = Service(200);
  std::string value = "untouched";
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_EQ(impatient->Execute(S1, {Quoted("t"), Quoted("INFO"), Quoted("m")}), -1);
  EXPECT_FALSE(impatient->QueryValue(S2, "ID", value));
  const std::string stderrText = testing::internal::GetCapturedStderr();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2 * 190));
  EXPECT_EQ(value, "untouched");
  EXPECT_TRUE(Contains(stderrText,
                       "sarn-till: database: QueryValue \"INSERT INTO "
                       "[DovraTransactions] ( [Timestamp_Created] ) VALUES ( GET"))
      << stderrText;
  EXPECT_TRUE(Contains(stderrText, "database is locked")) << stderrText;

  // A lock given up within the time-out is waited for.
  TIntfPtr<TDBScript> patient = Service(5000);
  std::thread release([raw] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  });
  EXPECT_EQ(patient->Execute(S1, {Quoted("t"), Quoted("INFO"), Quoted("m")}), 1);
  release.join();
}

TEST_F(DBScriptTest, AMissingTableFailsAndLeavesEverythingAsItWas) {
  TIntfPtr<TDBScript> db = Service();
  std::string value = "untouched", rows = "untouched", error;
  testing::internal::CaptureStderr();
  EXPECT_EQ(db->Execute(S1, {Quoted("t"), Quoted("INFO"), Quoted("m")}), -1);
  db->LastError(error);
  EXPECT_FALSE(db->QueryValue(S2, "ID", value));
  EXPECT_FALSE(db->QueryJSON(S5, {int32_t{1}}, rows));
  const std::string stderrText = testing::internal::GetCapturedStderr();
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(rows, "untouched");
  EXPECT_TRUE(Contains(error, "no such table: DovraLog")) << error;
  EXPECT_TRUE(Contains(stderrText, "sarn-till: database: Execute \"INSERT INTO [DovraLog]"))
      << stderrText;
  EXPECT_FALSE(db->TableExists("DovraLog"));

  // A batch failing in its second statement takes back its first.
  ASSERT_EQ(db->Execute("CREATE TABLE T ( X INT )", {}), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(db->Execute("INSERT INTO T VALUES ( 1 ); INSERT INTO Missing VALUES ( 2 )", {}), -1);
  testing::internal::GetCapturedStderr();
  db->LastError(error);
  EXPECT_TRUE(Contains(error, "statement 2: no such table: Missing")) << error;
  EXPECT_EQ(Value(db.Get(), "SELECT COUNT(*) AS V FROM T"), "0");
  EXPECT_EQ(db->Execute("INSERT INTO T VALUES ( 1 )", {}), 1);
  db->LastError(error);
  EXPECT_EQ(error, "") << "a success clears the last error";
}

// Only statements that begin as the module's and the till's do reach the file: one that would
// drop a table is refused with the whole call, even behind one that is allowed.
TEST_F(DBScriptTest, AStatementThatWouldDropATableIsRefusedAndTheTableStands) {
  TIntfPtr<TDBScript> db = Service();
  CreateTables(db.Get());
  ASSERT_EQ(db->Execute(S1, {Quoted("t"), Quoted("INFO"), Quoted("m")}), 1);
  for (const char* sql : {"DROP TABLE [DovraLog]", "SELECT 1; DROP TABLE [DovraLog]",
                          "UPDATE [DovraLog] SET [Class] = 'X'; drop table DovraLog"}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(db->Execute(sql, {}), -1) << sql;
    testing::internal::GetCapturedStderr();
    std::string error;
    db->LastError(error);
    EXPECT_TRUE(Contains(error, "a statement begins with")) << error;
    EXPECT_TRUE(db->TableExists("DovraLog")) << sql;
    EXPECT_EQ(Value(db.Get(), "SELECT COUNT(*) AS V FROM DovraLog"), "1") << sql;
  }
}

TEST_F(DBScriptTest, AnUnusableDatabaseFileFailsClearly) {
  Write(Path("plain-file"), std::string(4096, 'x'));
  struct TCase {
    std::string File;
    const char* Reason;
    bool Opens = false;  // the file opens, for reading only
  };
  std::vector<TCase> cases = {
      {Path("missing/till.db"), "No such file or directory"},
      {Path("plain-file/till.db"), "Not a directory"},
      {Path("plain-file"), "file is not a database"},
      {"/proc/till.db", "unable to open database file"},
  };
  if (geteuid() != 0) {  // permissions do not hold back the superuser
    mkdir(Path("locked").c_str(), 0555);
    cases.push_back({Path("locked/till.db"), "unable to open database file"});
    CreateTables(Service(100, "", "read-only.db").Get());
    chmod(Path("read-only.db").c_str(), 0444);
    cases.push_back({Path("read-only.db"), "attempt to write a readonly database", true});
  }
  for (const TCase& c : cases) {
    TIntfPtr<TDBScript> db = NewDBScript(TDBScriptOptions{c.File, 100, ""});
    std::string error;
    testing::internal::CaptureStderr();
    EXPECT_EQ(db->Execute(S1, {Quoted("t"), Quoted("INFO"), Quoted("m")}), -1) << c.File;
    testing::internal::GetCapturedStderr();
    db->LastError(error);
    if (!c.Opens) {
      EXPECT_TRUE(Contains(error, "cannot open " + c.File + ": ")) << error;
    }
    EXPECT_TRUE(Contains(error, c.Reason)) << c.File << ": " << error;
  }
}

TEST_F(DBScriptTest, ConnectionScriptFilesAndTables) {
  TIntfPtr<TDBScript> db = Service();
  std::string connection;
  db->GetConnection(connection);
  EXPECT_EQ(connection, Path("till.db"));
  Write(Path("log.sql"), DovraLogTableScript());
  EXPECT_EQ(db->ExecuteFile(Path("log.sql")), 0);
  EXPECT_TRUE(db->TableExists("dovralog"));
  db->SetConnection(Path("other.db"));
  EXPECT_FALSE(db->TableExists("DovraLog")) << "the new connection is another database";
  testing::internal::CaptureStderr();
  EXPECT_EQ(db->ExecuteFile(Path("missing.sql")), -1);
  testing::internal::GetCapturedStderr();
}

TEST_F(DBScriptTest, TillCommandsUpgradeTwiceAndShowTheTables) {
  auto run = [&](std::vector<std::string> args, std::string& output) {
    args.insert(args.begin(), {"--db", Path("till.db")});
    TChildProcess till;
    till.MergeErrors = true;
    std::string error;
    if (!till.Start(SARN_TILL_PROGRAM, args, {"QT_QPA_PLATFORM=offscreen"}, error)) {
      output = error;
      return -1;
    }
    return till.ReadAllAndWait(output, kChildWaitMs);
  };
  std::string out;
  EXPECT_EQ(run({"transactions"}, out), 1);
  EXPECT_TRUE(
      Contains(out, "no database at " + Path("till.db") + "; create it with sarn-till upgrade"))
      << out;
  EXPECT_EQ(run({"upgrade"}, out), 0) << out;
  EXPECT_TRUE(Contains(out, "2 of 2 script(s) run, 2 table(s) created, 4 right(s)")) << out;
  // The four rights by name: two action codes, and the link of each to its rights key.
  EXPECT_TRUE(Contains(out,
                       "Dovra: 2 script(s), 4 right(s) (2 action code(s): SM005, SM006; 2 link(s) "
                       "of a code to a rights key: SM005 -> FRCH, SM006 -> FRCH)\n"))
      << out;
  EXPECT_EQ(run({"upgrade"}, out), 0) << out;
  EXPECT_TRUE(Contains(out, "2 of 2 script(s) run, 0 table(s) created, 0 right(s)")) << out;
  EXPECT_EQ(run({"transactions", "--invoice", "5"}, out), 0) << out;
  EXPECT_TRUE(Contains(out, "DovraTransactions: 0 row(s) of invoice 5\nID  Timestamp_Created"))
      << out;
}
