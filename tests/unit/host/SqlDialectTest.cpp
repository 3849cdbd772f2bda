// The till's bridge from the SQL Server dialect to SQLite, the DB script service's format rule,
// and the transactions command's table.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <regex>
#include <string>

#include "host/cli/cmdDatabase.h"
#include "host/contract/TDBScript.h"
#include "host/db/sql/SqlText.h"
#include "host/db/sqlite/SqliteDialect.h"
#include "module/payment/DovraStatements.h"
#include "module/schema/implDatabaseChangesDovra.h"
#include "tests/support/DBTestSupport.h"

namespace {

std::string ForSqlite(const std::string& sql) {
  std::string sent, error;
  if (!RewriteForSqlite(sql, sent, error)) return "(refused: " + error + ")";
  return sent;
}

}  // namespace

TEST(SqlDialect, RewritesTheSqlServerFormsAndNothingElse) {
  struct TCase {
    const char* Name;
    std::string Input;
    std::string Expected;
  };
  const std::string s2 =
      "INSERT INTO [DovraTransactions] ( [Timestamp_Created] ) VALUES ( GETDATE() ); SELECT CAST( "
      "SCOPE_IDENTITY() AS INT ) AS [ID]";
  const TCase cases[] = {
      {"guard with outer parentheses",
       "IF ( OBJECT_ID( 'T', 'U' ) IS NULL )\r\n  CREATE TABLE [T] ( [A] INT )",
       "CREATE TABLE IF NOT EXISTS [T] ( [A] INT )"},
      {"guard without them, lower case, no type",
       "if object_id('dbo.t') is null create table t (a int)",
       "CREATE TABLE IF NOT EXISTS t (a int)"},
      {"guard with a schema on both sides",
       "IF OBJECT_ID('[dbo].[T]','U') IS NULL CREATE TABLE dbo.[T] (A INT)",
       "CREATE TABLE IF NOT EXISTS dbo.[T] (A INT)"},
      {"identity before the key",
       "CREATE TABLE T ( [ID] INT NOT NULL IDENTITY(1,1) PRIMARY KEY, B INT )",
       "CREATE TABLE T ( [ID] INTEGER NOT NULL  PRIMARY KEY AUTOINCREMENT, B INT )"},
      {"identity after the key, bare, bigint", "CREATE TABLE T (ID BIGINT PRIMARY KEY IDENTITY)",
       "CREATE TABLE T (ID INTEGER PRIMARY KEY AUTOINCREMENT )"},
      {"both forms inside a text literal",
       "INSERT INTO L VALUES ( 'IF ( OBJECT_ID( ''L'', ''U'' ) IS NULL ) CREATE TABLE L (ID INT "
       "IDENTITY(1,1) PRIMARY KEY)' )",
       "INSERT INTO L VALUES ( 'IF ( OBJECT_ID( ''L'', ''U'' ) IS NULL ) CREATE TABLE L (ID INT "
       "IDENTITY(1,1) PRIMARY KEY)' )"},
      {"forms inside comments",
       "-- IF OBJECT_ID('T') IS NULL CREATE TABLE T\r\n/* IDENTITY(1,1) */ SELECT 1",
       "-- IF OBJECT_ID('T') IS NULL CREATE TABLE T\r\n/* IDENTITY(1,1) */ SELECT 1"},
      {"texts without a length", "CREATE TABLE T ( [A] NVARCHAR(MAX), [B] varchar ( max ) )",
       "CREATE TABLE T ( [A] TEXT, [B] TEXT )"},
      {"a length that is a number stays, and is checked", "CREATE TABLE T ( [A] NVARCHAR(20) )",
       "CREATE TABLE T ( [A] NVARCHAR(20) CHECK (length([A]) <= 20) )"},
      {"a column added", "ALTER TABLE T ADD [C] CHAR(3) NULL",
       "ALTER TABLE T ADD [C] CHAR(3) CHECK (length([C]) <= 3) NULL"},
      {"a cast is no column", "SELECT CAST(A AS VARCHAR(10)) FROM T",
       "SELECT CAST(A AS VARCHAR(10)) FROM T"},
      {"the transaction insert", s2, s2},
  };
  for (const TCase& c : cases) EXPECT_EQ(ForSqlite(c.Input), c.Expected) << c.Name;
}

// What SQLite would run with less meaning than written (an IDENTITY it would take as part of a
// type name and never number) or refuse only as a syntax error is refused by name, as on
// PostgreSQL, and nothing is sent.
TEST(SqlDialect, RefusesWhatItHasNoFormForAndSendsNothing) {
  struct TCase {
    const char* Input;
    const char* Named;
  };
  const TCase cases[] = {
      {"IF OBJECT_ID('X','U') IS NULL CREATE TABLE T (A INT)", "another object"},
      {"IF OBJECT_ID('T','V') IS NULL CREATE TABLE T (A INT)", "another object"},
      {"SELECT 1 IF ( OBJECT_ID( 'T' ) IS NULL ) DROP TABLE T", "IF other than"},
      {"CREATE TABLE T (ID INT IDENTITY(100,1) PRIMARY KEY)", "IDENTITY other than"},
      {"CREATE TABLE T (ID INT IDENTITY(1,1), B VARCHAR(5))", "IDENTITY other than"},
      {"CREATE TABLE T (ID VARCHAR(9) IDENTITY(1,1) PRIMARY KEY)", "IDENTITY other than"},
      {"CREATE TABLE T (ID INT IDENTITY PRIMARY KEY AUTOINCREMENT)", "IDENTITY other than"},
      {"SELECT IDENTITY FROM T", "IDENTITY outside a column definition"},
      {"SELECT 'IDENTITY(1,1) PRIMARY KEY", "a text literal that is never closed at offset 7"},
      {"SELECT [A", "a quoted name that is never closed"},
      {"SELECT 1 /* open", "a comment that is never closed"},
  };
  for (const TCase& c : cases) {
    std::string sent = "untouched", error;
    EXPECT_FALSE(RewriteForSqlite(c.Input, sent, error)) << c.Input;
    EXPECT_NE(error.find(c.Named), std::string::npos) << c.Input << " gave: " << error;
    EXPECT_NE(error.find("cannot be sent to SQLite"), std::string::npos) << error;
    EXPECT_EQ(sent, "untouched") << c.Input;
  }
}

TEST(SqlStatementStarts, AllowsWhatTheModuleAndTheTillSendAndNothingElse) {
  const std::string allowed[] = {
      ActivityInsertStatement(),
      TransactionInsertStatement(),
      PaymentUpdateStatement(),
      InvoiceLinkStatement(),
      InvoiceRowsStatement(),
      DovraTransactionTableScript(),
      DovraLogTableScript(),
      "IF ( OBJECT_ID( 'T' ) IS NULL ) CREATE TABLE [T] ( [A] INT );\r\nUPDATE [T] SET [A] = 1",
      "-- a note\r\n/* and one more */ delete FROM [T]; ;select 1;",
      "CREATE TABLE [T] ( [A] INT ); INSERT INTO [T] VALUES ( ';END' ) -- ;END",
      "ALTER TABLE [SarnSales] ADD [Till] INT NULL",
  };
  for (const std::string& sql : allowed) {
    std::string error;
    EXPECT_TRUE(SqlStatementStarts(sql, error)) << sql << ": " << error;
  }
  struct TCase {
    const char* Sql;
    const char* Named;
  };
  const TCase refused[] = {
      {"INSERT INTO [K] ( [V] ) VALUES ( 1 ); END; SELECT 1/0", "\"END\" at offset 38"},
      {"SET [standard_conforming_strings] = 0", "\"SET\" at offset 0"},
      {"INSERT INTO [K] ( [V] ) VALUES ( 2 ) --c\r; COMMIT; SELECT 1/0", "\"COMMIT\""},
      {"SELECT 1; /* x */ BEGIN", "\"BEGIN\""},
      {"SELECT 1;ROLLBACK", "\"ROLLBACK\""},
      {"DO 'x'", "\"DO\""},
      {"COPY [K] FROM STDIN", "\"COPY\""},
      {"PRAGMA writable_schema = 1", "\"PRAGMA\""},
      {"IF OBJECT_ID( 'T' ) IS NULL DROP TABLE [T]", "\"IF\""},
      {"DROP TABLE [DovraLog]", "\"DROP\" at offset 0"},
      {"SELECT 1; DROP TABLE [T]", "\"DROP\" at offset 10"},
      {"-- a note\r\ndrop table if exists [T]", "\"drop\" at offset 11"},
      {"CREATE INDEX [I] ON [T] ( [A] )", "\"CREATE\""},
      {"( SELECT 1 )", "\"(\""},
      {"ALTER TABLE [T] DROP COLUMN [A]", "\"ALTER\""},
      {"ALTER ROLE [till] SUPERUSER", "\"ALTER\""},
  };
  for (const TCase& c : refused) {
    std::string error;
    EXPECT_FALSE(SqlStatementStarts(c.Sql, error)) << c.Sql;
    EXPECT_NE(error.find(c.Named), std::string::npos) << c.Sql << " gave: " << error;
  }
}

// An engine that sends statements one by one must cut the text where the server would, and
// number them as the server running the whole text would.
TEST(SqlStatements, CutsAtEachSemicolonOfCodeOnly) {
  struct TCase {
    const char* Sql;
    std::vector<std::string> Statements;
  };
  const TCase cases[] = {
      {"SELECT 1", {"SELECT 1"}},
      {"SELECT 1; SELECT 2;", {"SELECT 1", " SELECT 2"}},
      {"INSERT INTO [T] VALUES ( 'a;b' ); SELECT [x;y] FROM \"q;\"",
       {"INSERT INTO [T] VALUES ( 'a;b' )", " SELECT [x;y] FROM \"q;\""}},
      {"SELECT 1 -- c; SELECT 2\n; SELECT 3", {"SELECT 1 -- c; SELECT 2\n", " SELECT 3"}},
      {"SELECT 1 /* ; */; ; -- only a note\r\n; /* x */ ;SELECT 2",
       {"SELECT 1 /* ; */", "SELECT 2"}},
      {"-- a note\r\nCREATE TABLE [T] ( [A] INT )\n",
       {"-- a note\r\nCREATE TABLE [T] ( [A] INT )\n"}},
      {"SELECT 'it''s; here'", {"SELECT 'it''s; here'"}},
      {"", {}},
      {" ;; ", {}},
  };
  for (const TCase& c : cases) EXPECT_EQ(SqlStatements(c.Sql), c.Statements) << c.Sql;
}

TEST(SqlDialect, RewritesTheModuleSchemaScripts) {
  EXPECT_EQ(Collapsed(ForSqlite(DovraTransactionTableScript())),
            "-- Dovra Transaction Table CREATE TABLE IF NOT EXISTS [DovraTransactions] ( [ID] "
            "INTEGER NOT NULL PRIMARY KEY AUTOINCREMENT, [Timestamp_Created] DATETIME NOT NULL, "
            "[Timestamp_Payment] DATETIME NULL, [InvoiceNum] INT NULL, [VoucherReference] "
            "VARCHAR(50) CHECK (length([VoucherReference]) <= 50) NULL, [RedeemJSON] "
            "VARCHAR(1000) CHECK (length([RedeemJSON]) <= 1000) NULL, [Amount] FLOAT NULL );");
  EXPECT_EQ(Collapsed(ForSqlite(DovraLogTableScript())),
            "-- Dovra Log Table CREATE TABLE IF NOT EXISTS [DovraLog] ( [ID] INTEGER NOT NULL "
            "PRIMARY KEY AUTOINCREMENT, [Timestamp] DATETIME NOT NULL , [Class] VARCHAR(10) CHECK "
            "(length([Class]) <= 10) NOT NULL , [Message] VARCHAR(1000) CHECK "
            "(length([Message]) <= 1000) NOT NULL );");
  // The comment keeps its own line: the statement must not end up inside it.
  EXPECT_EQ(ForSqlite(DovraLogTableScript()).find("\r\nCREATE TABLE IF NOT EXISTS"),
            DovraLogTableScript().find("\r\n"));
}

TEST(SqlDialect, FunctionsAnswerAsSqlServerDoes) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &raw), SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  std::string error;
  ASSERT_TRUE(InstallSqlServerFunctions(raw, error)) << error;
  auto value = [&](const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    std::string out = "(error)";
    const char* tail = sql.c_str();
    while (*tail && sqlite3_prepare_v2(raw, tail, -1, &s, &tail) == SQLITE_OK && s) {
      if (sqlite3_step(s) == SQLITE_ROW)
        out = sqlite3_column_type(s, 0) == SQLITE_NULL
                  ? "NULL"
                  : reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      sqlite3_finalize(s);
    }
    return out;
  };
  BeginSqlServerBatch(raw);
  EXPECT_EQ(value("SELECT SCOPE_IDENTITY()"), "NULL") << "no row inserted yet";
  ASSERT_EQ(value("CREATE TABLE [DovraLog] ( [ID] INTEGER PRIMARY KEY AUTOINCREMENT, [M] TEXT );"
                  "INSERT INTO [DovraLog] ( [M] ) VALUES ( 'a' ), ( 'b' );"
                  "SELECT CAST( SCOPE_IDENTITY() AS INT ) AS [ID]"),
            "2");
  BeginSqlServerBatch(raw);
  EXPECT_EQ(value("SELECT SCOPE_IDENTITY()"), "NULL") << "a new batch forgets the last one's row";

  struct TCase {
    const char* Query;
    bool Exists;
  };
  const TCase objects[] = {
      {"SELECT OBJECT_ID( 'DovraLog', 'U' )", true},
      {"SELECT OBJECT_ID( 'dbo.[dovralog]', 'u' )", true},
      {"SELECT OBJECT_ID( 'DovraLog' )", true},
      {"SELECT OBJECT_ID( 'DovraLog', 'V' )", false},
      {"SELECT OBJECT_ID( 'DovraLog', 'P' )", false},
      {"SELECT OBJECT_ID( 'DovraTransactions', 'U' )", false},
      {"SELECT OBJECT_ID( NULL, 'U' )", false},
  };
  for (const TCase& c : objects) EXPECT_EQ(value(c.Query) != "NULL", c.Exists) << c.Query;
  EXPECT_TRUE(std::regex_match(value("SELECT GETDATE()"),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})")));
}

TEST(ExecuteFormat, FillsInTheArgumentsByKind) {
  struct TCase {
    const char* Format;
    TDBArgs Args;
    const char* Expected;
  };
  const TCase cases[] = {
      {"%s|%d|%f",
       {std::string("'O''Brien'"), int32_t{-17}, TCurrency{125000}},
       "'O''Brien'|-17|12.50"},
      {"%s", {std::string("%s %d %f %%")}, "%s %d %f %%"},  // a text is never formatted again
      {"100%% %d", {int32_t{5}}, "100% 5"},
      {"%f", {TCurrency{123449}}, "12.34"},
      {"%f", {TCurrency{123450}}, "12.35"},  // half away from zero
      {"%f", {TCurrency{123457}}, "12.35"},
      {"%f", {TCurrency{-123450}}, "-12.35"},
      {"%f", {TCurrency{-49}}, "0.00"},
      {"%f", {TCurrency{-50}}, "-0.01"},
      {"%f", {TCurrency{INT64_MIN}}, "-922337203685477.58"},
      {"%f", {TCurrency{INT64_MAX}}, "922337203685477.58"},
      {"%d", {int32_t{INT32_MIN}}, "-2147483648"},
      {"no arguments", {}, "no arguments"},
  };
  for (const TCase& c : cases) {
    std::string sql, error;
    EXPECT_TRUE(FormatStatement(c.Format, c.Args, sql, error)) << c.Format << ": " << error;
    EXPECT_EQ(sql, c.Expected) << c.Format;
  }
}

TEST(ExecuteFormat, RefusesWhatDoesNotFit) {
  struct TCase {
    const char* Format;
    TDBArgs Args;
    const char* Reason;
  };
  const TCase cases[] = {
      {"%d", {std::string("5")}, "argument 1 is text, %d at offset 0 takes an integer"},
      {"%s %f",
       {std::string("a"), int32_t{5}},
       "argument 2 is integer, %f at offset 3 takes a currency"},
      {"%s", {TCurrency{1}}, "argument 1 is currency, %s at offset 0 takes a text"},
      {"%s %s", {std::string("a")}, "%s at offset 3 has no argument (1 given)"},
      {"%d", {int32_t{1}, int32_t{2}}, "2 arguments given, the format uses 1"},
      {"%x", {int32_t{1}}, "unsupported conversion %x at offset 0"},
      {"50%", {}, "the format ends in a lone % (offset 2)"},
      {"%s", {std::string("a\0b", 3)}, "text argument 1 holds a NUL byte at offset 1"},
  };
  for (const TCase& c : cases) {
    std::string sql = "untouched", error;
    EXPECT_FALSE(FormatStatement(c.Format, c.Args, sql, error)) << c.Format;
    EXPECT_NE(error.find(c.Reason), std::string::npos) << c.Format << " gave: " << error;
    EXPECT_EQ(sql, "untouched");
  }
}

TEST(TransactionsCommand, PrintsAnAlignedTableWithShortenedTexts) {
  TDBTable table;
  table.Columns = {"ID", "Message", "Amount"};
  using C = TDBCell;
  table.Rows = {
      {C{C::TKind::Integer, "7"}, C{C::TKind::Textual, "line\r\nbreak"},
       C{C::TKind::Float, "12.5"}},
      {C{C::TKind::Integer, "12"},
       C{C::TKind::Textual, "\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBCxyz"}, C{C::TKind::Null, ""}},
  };
  EXPECT_EQ(FormatTextTable(table, 6),
            "ID  Message  Amount\n"
            "--  -------  ------\n"
            " 7  line \xE2\x80\xA6     12.5\n"
            "12  \xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xC3\xBC\xE2\x80\xA6     NULL\n");
}

TEST(TransactionsCommand, KeepsTheLogRowsOfTheInvoicesTransactions) {
  const std::vector<std::string> ids = {"7", "12"}, references = {"R-77"};
  struct TCase {
    const char* Message;
    bool Kept;
  };
  const TCase cases[] = {
      {"New Transaction: 7", true},
      {"New Transaction: 71", false},
      {"{\"ID\": 12, \"VoucherReference\": \"x\" }", true},
      {"{\"ID\":12}", true},
      {"{\"ID\": 120}", false},
      {"{\"Reversed\":true,\"VoucherReference\":\"R-77\"}", true},
      {"New Transaction: 3", false},
      {"", false},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(MentionsTransaction(c.Message, ids, references), c.Kept) << c.Message;
}
