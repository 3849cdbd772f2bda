#include "host/db/sqlite/TSqliteEngine.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include "host/db/sql/SqlText.h"
#include "host/db/sqlite/SqliteDialect.h"
#include "lib/common/OwnedFile.h"

namespace {

TDBCell CellOf(sqlite3_stmt* statement, int column) {
  TDBCell cell;
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL:
      break;
    case SQLITE_INTEGER:
      cell.Kind = TDBCell::TKind::Integer;
      cell.Text = std::to_string(sqlite3_column_int64(statement, column));
      break;
    case SQLITE_FLOAT:
      cell.Kind = TDBCell::TKind::Float;
      cell.Text = FloatCellText(sqlite3_column_double(statement, column));
      break;
    default: {  // text, and blobs taken as the bytes they hold
      cell.Kind = TDBCell::TKind::Textual;
      const void* bytes = sqlite3_column_blob(statement, column);
      const int size = sqlite3_column_bytes(statement, column);
      if (bytes && size > 0) cell.Text.assign(static_cast<const char*>(bytes), size);
    }
  }
  return cell;
}

using TStatementPtr = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

class TSqliteEngine final : public TDBEngine {
 public:
  TSqliteEngine(std::string path, int32_t busyMs, bool create)
      : FPath(std::move(path)), FBusyMs(busyMs), FCreate(create) {}
  ~TSqliteEngine() override { Close(); }

  std::string Shown() override { return FPath; }

  bool Exists(std::string& error) override {
    struct stat st {};
    if (::lstat(FPath.c_str(), &st) == 0) return true;
    error = Missing();
    return false;
  }

  bool Rewrite(const std::string& sql, std::string& sent, std::string& error) override {
    return RewriteForSqlite(sql, sent, error);
  }

  TDBRun Run(const std::string& sql, bool write, TDBSink* sink) override {
    TDBRun run;
    if (const size_t nul = sql.find('\0'); nul != std::string::npos) {
      run.Error = "the statement holds a NUL byte at offset " + std::to_string(nul);
      return run;
    }
    if (sql.size() >= static_cast<size_t>(std::numeric_limits<int>::max())) {
      run.Error = "the statement is too long (" + std::to_string(sql.size()) + " bytes)";
      return run;
    }
    if (!Open(run.Error)) return run;
    BeginSqlServerBatch(FDb);
    if (sqlite3_exec(FDb, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
      run.Error = sqlite3_errmsg(FDb);
      return run;
    }
    const char* at = sql.data();
    const char* const end = at + sql.size();
    std::vector<std::string> columns;
    std::vector<TDBCell> cells;
    for (int number = 1; at < end; ++number) {
      sqlite3_stmt* raw = nullptr;
      const char* tail = end;
      const int rc = sqlite3_prepare_v2(FDb, at, static_cast<int>(end - at), &raw, &tail);
      TStatementPtr statement(raw, sqlite3_finalize);
      if (rc != SQLITE_OK) return Abandon(number, run);
      if (!tail || tail <= at) break;
      at = tail;
      if (!raw) continue;  // only blanks or comments
      const int count = sqlite3_column_count(raw);
      bool wanted = false;
      if (sink && count > 0) {
        columns.clear();
        for (int i = 0; i < count; ++i) columns.emplace_back(sqlite3_column_name(raw, i));
        wanted = sink->Wants(columns);
      }
      const int64_t before = sqlite3_total_changes64(FDb);
      for (;;) {
        const int step = sqlite3_step(raw);
        if (step == SQLITE_DONE) break;
        if (step != SQLITE_ROW) return Abandon(number, run);
        if (wanted) {
          cells.clear();
          for (int i = 0; i < count; ++i) cells.push_back(CellOf(raw, i));
          sink->Row(cells);
        }
        if (sqlite3_stmt_readonly(raw) && (!wanted || sink->Satisfied())) break;
      }
      if (sqlite3_total_changes64(FDb) != before) run.Changed += sqlite3_changes64(FDb);
    }
    if (sqlite3_exec(FDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return Abandon(0, run);
    return run;
  }

  bool Tables(std::vector<std::string>& tables, std::string& sent, std::string& error) override {
    sent =
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
        "ESCAPE '\\' ORDER BY name";
    return FirstColumnOf(*this, sent, tables, error);
  }

  // Preparing the statement is enough: SQLite reads the table's layout from its schema then,
  // and runs nothing.
  bool Columns(const std::string& table, std::vector<std::string>& columns, std::string& sent,
               std::string& error) override {
    sent = "SELECT * FROM " + SqlQuotedName(table) + " WHERE 1 = 0";
    if (!Open(error)) return false;
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(FDb, sent.c_str(), -1, &raw, nullptr);
    TStatementPtr statement(raw, sqlite3_finalize);
    columns.clear();
    if (rc == SQLITE_OK && raw) {
      for (int i = 0; i < sqlite3_column_count(raw); ++i)
        columns.emplace_back(sqlite3_column_name(raw, i));
      return true;
    }
    const std::string message = sqlite3_errmsg(FDb);
    // SQLite has no code of its own for it: its message is how it tells a missing table.
    if ((rc & 0xFF) == SQLITE_ERROR && message.rfind("no such table: ", 0) == 0) return true;
    error = message;
    return false;
  }

  void Close() override {
    if (FDb) sqlite3_close_v2(FDb);
    FDb = nullptr;
  }

 private:
  // A database that is not there is made only where the till was told to make one: a mistyped
  // name must not become a new, empty database that a payment then writes into.
  std::string Missing() const {
    return "no database at " + FPath + "; create it with sarn-till upgrade";
  }

  bool Open(std::string& error) {
    if (FDb) return true;
    struct stat st {};
    if (!FCreate && ::lstat(FPath.c_str(), &st) != 0) {
      error = Missing();
      return false;
    }
    // The file holds customers' data: a new one is readable by the owner's group at most (SQLite
    // would make it 0644, and its journal files take the database's permissions). An empty file
    // is a valid new database; a file that is there already stays as it is.
    // O_EXCL also refuses a link at the name, dangling or not: nothing is made where it points.
    if (FCreate)
      if (const int fd =
              ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
          fd >= 0)
        ::close(fd);
    const std::string step = "cannot open " + FPath;
    if (!HoldDatabaseFiles(error)) {
      error = step + ": " + error;
      return false;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(
        FPath.c_str(), &db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | (FCreate ? SQLITE_OPEN_CREATE : 0), nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_extended_result_codes(db, 1);
      sqlite3_busy_timeout(db, FBusyMs);
      // "x" names a column, as in SQL Server, never a text that happens to match no column.
      sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
      sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
      // WAL with synchronous=NORMAL: a commit is in the file once the call returns, so a till
      // killed right after survives with every row; only a power cut can take back the last
      // commits (never corrupting the file), as it can the lines of the module's log.
      rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr,
                        nullptr);
    }
    if (rc == SQLITE_OK && !InstallSqlServerFunctions(db, error)) {
      sqlite3_close_v2(db);
      error = step + ": " + error;
      return false;
    }
    if (rc != SQLITE_OK) {
      error = step + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
      const int primary = rc & 0xFF;
      const int system = db && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR)
                             ? sqlite3_system_errno(db)
                             : 0;
      if (system) error += std::string(" (") + strerror(system) + ")";
      sqlite3_close_v2(db);
      return false;
    }
    FDb = db;
    return true;
  }

  // Looked at read-only (a file made immutable stays readable), then opened by SQLite.
  // The database and the journals SQLite keeps beside it (made with the database's permissions)
  // must be regular files of the till's own user with one name each, never links, devices or
  // files another user planted in a shared folder; a looser file of ours is tightened to
  // rw-r-----. A journal not there yet is left to SQLite.
  bool HoldDatabaseFiles(std::string& error) const {
    // A database that is not there (in a folder that is not there either) is SQLite's to report.
    struct stat there {};
    if (::lstat(FPath.c_str(), &there) != 0) return true;
    const TFileHandle db = OpenOwnFile(AT_FDCWD, FPath, O_RDONLY, 0640, error);
    if (!db) return false;
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
      const std::string journal = FPath + suffix;
      struct stat st {};
      if (::lstat(journal.c_str(), &st) != 0 && errno == ENOENT) continue;
      if (!OpenOwnFile(AT_FDCWD, journal, O_RDONLY, 0640, error)) return false;
    }
    return true;
  }

  TDBRun& Abandon(int number, TDBRun& run) {
    run.Error = sqlite3_errmsg(FDb);
    if (number > 1) run.Error = "statement " + std::to_string(number) + ": " + run.Error;
    if (!sqlite3_get_autocommit(FDb)) sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr);
    run.Changed = 0;
    return run;
  }

  std::string FPath;
  int32_t FBusyMs;
  bool FCreate;
  sqlite3* FDb = nullptr;
};

}  // namespace

TDBEnginePtr NewSqliteEngine(const std::string& path, int32_t busyTimeoutMs, bool create) {
  return std::make_unique<TSqliteEngine>(path, busyTimeoutMs, create);
}
