// What the till payment tests share: a fixture with its own copy of the module (so that its log
// lands in the test's folder), its own database and a sandbox, which runs sarn-till as a child
// process and reads back the database rows (through the till's own DB script service) and the
// module log. The database is an SQLite file, or with SARN_TEST_TILL_ENGINE=postgres a database
// of its own on the test PostgreSQL server: the same cases run on both engines.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <ctime>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "host/contract/DatabaseConnection.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Contains.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/SandboxProcess.h"
#include "tests/support/TestFolder.h"

namespace fs = std::filesystem;

using TRow = std::map<std::string, std::string>;

inline int Count(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const std::string& line : lines) n += Contains(line, part);
  return n;
}

// The first part not found in text after the parts before it; empty when all are there.
inline std::string MissingInOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t from = 0;
  for (const std::string& part : parts) {
    const size_t at = text.find(part, from);
    if (at == std::string::npos) return part;
    from = at + part.size();
  }
  return {};
}

// A till's clock for one run, through Debian's libfaketime: clock as FAKETIME takes it ("2026-12-10
// 13:40:05" frozen there, "+10m" ten minutes ahead), read in UTC; the steady clock runs on, so that
// waits and time-outs still end. Empty when the machine has no libfaketime.
inline std::vector<std::string> PinnedClock(const std::string& clock) {
  const char* const kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
  if (!std::filesystem::exists(kFakeTime)) return {};
  std::vector<std::string> env{std::string("LD_PRELOAD=") + kFakeTime, "FAKETIME=" + clock,
                               "TZ=UTC", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
  // A sanitizer build wants its runtime first among the libraries; the preloaded clock comes
  // before it here, which is harmless.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0");
  return env;
}

// The UTC time seconds from now, as PinnedClock freezes a clock: a few seconds ahead, the
// sandbox's certificate, made at its start, is already valid.
inline std::string FrozenIn(int seconds) {
  const std::time_t at = std::time(nullptr) + seconds;
  std::tm utc{};
  gmtime_r(&at, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

class TTillFixture : public TTestFolder {
 protected:
  TTillFixture() : TTestFolder("dovra-till-payment") {}

  void SetUp() override {
    TTestFolder::SetUp();
    // A module of its own, so that its log lands in this test's folder.
    fs::copy_file(DOVRA_MODULE_PATH, Path("DovraVoucherPayment.smd"));
    Database = FreshDatabase("sarn-till");
  }
  void TearDown() override {
    const fs::path parent = dir_.parent_path();
    TTestFolder::TearDown();
    // A parameterised case's name holds a slash, so its folder sits in one named after the
    // test; it goes too once empty.
    std::error_code ignored;
    if (parent.filename().string().rfind("dovra-till-payment-", 0) == 0)
      fs::remove(parent, ignored);
  }

  static bool OnPostgres() {
    const char* engine = getenv("SARN_TEST_TILL_ENGINE");
    return engine && std::string(engine) == "postgres";
  }
  // A new empty database: a file of that name in the test's folder, or a database of its own on
  // the test server (the test fails when there is none).
  std::string FreshDatabase(const std::string& name) {
    if (!OnPostgres()) return Path(name + ".db");
    std::string error;
    const std::string server = TestPostgresServer(error);
    auto& database = ServerDatabases.emplace_back(std::make_unique<TPostgresDatabase>());
    if (server.empty() || !database->Create(server, error)) {
      ADD_FAILURE() << error;
      return "host=/nonexistent";
    }
    return database->Connection();
  }

  // Another program holding the database: SQLite's write lock, or the module's tables locked on
  // PostgreSQL, until the object goes.
  class THeldDatabase {
   public:
    explicit THeldDatabase(const std::string& database) {
      if (IsServerConnection(database)) {
        FSession = std::make_unique<TPostgresSession>(database);
        Held = FSession->Exec(
            "BEGIN; LOCK TABLE \"DovraTransactions\", \"DovraLog\" IN EXCLUSIVE MODE", Error);
        return;
      }
      if (sqlite3_open(database.c_str(), &FDb) == SQLITE_OK) sqlite3_busy_timeout(FDb, 5000);
      Held = FDb && sqlite3_exec(FDb, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
      if (!Held) Error = sqlite3_errmsg(FDb);
    }
    ~THeldDatabase() {
      if (FSession) FSession->Exec("ROLLBACK", Error);
      if (FDb) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close(FDb);
    }
    THeldDatabase(const THeldDatabase&) = delete;
    THeldDatabase& operator=(const THeldDatabase&) = delete;

    bool Held = false;
    std::string Error;

   private:
    sqlite3* FDb = nullptr;
    std::unique_ptr<TPostgresSession> FSession;
  };

  struct TRun {
    int Exit = -1;
    std::string Output;
  };

  std::vector<std::string> TillArgs(const std::vector<std::string>& args) const {
    std::vector<std::string> all{
        "--module",  Path("DovraVoucherPayment.smd"),
        "--db",      Database,
        "--ca-file", ServiceCaFile.empty() ? Sandbox->CertFile() : ServiceCaFile};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  std::vector<std::string> Environment() const {
    return {"DOVRA_BASE_URL=" + (ServiceURL.empty() ? Sandbox->URL : ServiceURL),
            "QT_QPA_PLATFORM=offscreen"};
  }
  TRun Till(const std::vector<std::string>& args) {
    TChildProcess till;
    till.MergeErrors = true;
    TRun run;
    std::string error;
    if (!till.Start(SARN_TILL_PROGRAM, TillArgs(args), Environment(), error)) {
      ADD_FAILURE() << error;
      return run;
    }
    run.Exit = till.ReadAllAndWait(run.Output, kChildWaitMs);
    return run;
  }
  std::vector<std::string> PayArgs(const std::string& voucher,
                                   const std::vector<std::string>& extra = {}) const {
    // The cashier gives up well before the test stops waiting for the till, so that a dialog
    // that never closes shows as what the cashier saw.
    std::vector<std::string> args{"pay",      "--amount",   "62.50",     "--order",
                                  OrderFile,  "--popup",    "--voucher", voucher,
                                  "--mobile", "0612345678", "--give-up", "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  TRun Pay(const std::string& voucher, const std::vector<std::string>& extra = {}) {
    return Till(PayArgs(voucher, extra));
  }
  void Upgrade() {
    const TRun run = Till({"upgrade"});
    ASSERT_EQ(run.Exit, 0) << run.Output;
  }

  // Rows of a query on the till's database, NULL as "NULL"; none when there is no database.
  std::vector<TRow> Rows(const std::string& sql) const {
    std::vector<TRow> rows;
    TIntfPtr<TDBScript> db = NewDBScript({Database, 5000, ""});
    TDBTable table;
    std::string error;
    if (!db->Exists(error) || !db->QueryTable(sql, table)) return rows;
    for (const auto& cells : table.Rows) {
      TRow& row = rows.emplace_back();
      for (size_t i = 0; i < table.Columns.size(); ++i)
        row[table.Columns[i]] = cells[i].Kind == TDBCell::TKind::Null ? "NULL" : cells[i].Text;
    }
    return rows;
  }
  std::vector<TRow> Transactions() const {
    return Rows("SELECT * FROM DovraTransactions ORDER BY ID");
  }
  std::vector<TRow> Activities() const { return Rows("SELECT * FROM DovraLog ORDER BY ID"); }

  std::string ModuleLog() const {
    std::string all;
    for (const auto& entry : fs::directory_iterator(dir_))
      if (entry.path().extension() == ".log") all += Read(entry.path().string());
    return all;
  }
  // The text after "label : " on the last module log line carrying the label.
  std::string LoggedValue(const std::string& label) const {
    const std::string log = ModuleLog();
    const size_t at = log.rfind(label + " : ");
    if (at == std::string::npos) return "(no line " + label + ")";
    const size_t from = at + label.size() + 3;
    return log.substr(from, log.find("\r\n", from) - from);
  }

  // WELCOME10 at the voucher service: its status and its number of redemptions.
  std::string VoucherAtTheService() {
    const std::string request = Path("status.json");
    Write(request, "{\"VoucherCode\":\"WELCOME10\"}");
    const TRun run = Till({"voucher", "status", "--request", request});
    std::smatch status, count;
    std::regex_search(run.Output, status, std::regex("\"Status\":\"(\\w+)\""));
    std::regex_search(run.Output, count, std::regex("\"Redemptions\":(\\d+)"));
    return (status.empty() ? "?" : status[1].str()) + "/" + (count.empty() ? "?" : count[1].str());
  }

  std::unique_ptr<TSandboxProcess> Sandbox = std::make_unique<TSandboxProcess>();
  // Where the till finds the voucher service and which certificate it trusts there; empty: the
  // sandbox's own. Something standing between them (a relay, a restarted service) sets them.
  std::string ServiceURL, ServiceCaFile;
  std::string Database;
  std::vector<std::unique_ptr<TPostgresDatabase>> ServerDatabases;
  std::string OrderFile = DOVRA_SOURCE_DIR "/examples/order.json";
};
