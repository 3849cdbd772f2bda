// What the till payment tests share: a fixture with its own copy of the module (so that its log
// lands in the test's folder), its own database and a sandbox, which runs sarn-till as a child
// process and reads back the database rows and the module log.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "SandboxProcess.h"
#include "TestFolder.h"

namespace fs = std::filesystem;

using TRow = std::map<std::string, std::string>;

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline int Count(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const std::string& line : lines) n += Contains(line, part);
  return n;
}

class TTillFixture : public TTestFolder {
 protected:
  TTillFixture() : TTestFolder("dovra-till-payment") {}

  void SetUp() override {
    TTestFolder::SetUp();
    // A module of its own, so that its log lands in this test's folder.
    fs::copy_file(DOVRA_MODULE_PATH, Path("DovraVoucherPayment.smd"));
    Database = Path("sarn-till.db");
  }

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

  // Rows of a query on the till's database, NULL as "NULL".
  std::vector<TRow> Rows(const std::string& sql) const {
    std::vector<TRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(Database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      return rows;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
      while (sqlite3_step(statement) == SQLITE_ROW) {
        TRow row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
          const auto* text = sqlite3_column_text(statement, i);
          row[sqlite3_column_name(statement, i)] =
              text ? reinterpret_cast<const char*>(text) : "NULL";
        }
        rows.push_back(row);
      }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
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

  std::unique_ptr<TSandboxProcess> Sandbox = std::make_unique<TSandboxProcess>();
  // Where the till finds the voucher service and which certificate it trusts there; empty: the
  // sandbox's own. Something standing between them (a relay, a restarted service) sets them.
  std::string ServiceURL, ServiceCaFile;
  std::string Database;
  std::string OrderFile = DOVRA_SOURCE_DIR "/examples/order.json";
};
