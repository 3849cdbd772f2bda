#include "TDBScript.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include "TSqlDialect.h"

namespace {

const char* KindName(const TDBArg& arg) {
  switch (arg.index()) {
    case 0:
      return "text";
    case 1:
      return "integer";
    default:
      return "currency";
  }
}

void AppendJSONText(std::string& out, const std::string& text) {
  static constexpr char hex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += ch;  // UTF-8 and every other byte as it stands
        }
    }
  }
  out += '"';
}

// The shortest text that reads back as the same double, with ".0" on whole numbers so that a
// REAL still reads as one; infinities in the exponent form every JSON reader takes as infinite.
std::string FloatText(double value) {
  if (std::isnan(value)) return "null";
  if (std::isinf(value)) return value > 0 ? "1e999" : "-1e999";
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  std::string out(text, end);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

TDBCell CellOf(sqlite3_stmt* statement, int column) {
  TDBCell cell;
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL:
      break;
    case SQLITE_INTEGER:
      cell.Kind = TDBCell::Integer;
      cell.Text = std::to_string(sqlite3_column_int64(statement, column));
      break;
    case SQLITE_FLOAT:
      cell.Kind = TDBCell::Float;
      cell.Text = FloatText(sqlite3_column_double(statement, column));
      break;
    default: {  // text, and blobs taken as the bytes they hold
      cell.Kind = TDBCell::Textual;
      const void* bytes = sqlite3_column_blob(statement, column);
      const int size = sqlite3_column_bytes(statement, column);
      if (bytes && size > 0) cell.Text.assign(static_cast<const char*>(bytes), size);
    }
  }
  return cell;
}

// A statement shortened to one screen line for messages: blanks and line breaks run together,
// cut after 60 characters (never inside a UTF-8 sequence).
std::string Snippet(const std::string& sql) {
  std::string out;
  size_t characters = 0;
  bool blank = false;
  for (size_t i = 0; i < sql.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(sql[i]);
    if (c <= ' ') {
      blank = !out.empty();
      continue;
    }
    if ((c & 0xC0) != 0x80) {
      if (characters == 60) {
        out += "\xE2\x80\xA6";  // …
        break;
      }
      ++characters;
      if (blank) out += ' ';
      blank = false;
    }
    out += static_cast<char>(c);
  }
  return out;
}

// Receives the results of a batch.
struct TSink {
  virtual ~TSink() = default;
  // A statement with result columns starts; true when its rows are wanted.
  virtual bool Wants(sqlite3_stmt*) = 0;
  virtual void Row(sqlite3_stmt*) = 0;
  // True once no further row is needed.
  virtual bool Satisfied() const { return false; }
};

// The first result having the column: its first row's value.
struct TValueSink final : TSink {
  explicit TValueSink(const std::string& column) : Column(column) {}
  bool Wants(sqlite3_stmt* statement) override {
    if (Decided) return false;
    for (int i = 0; i < sqlite3_column_count(statement); ++i)
      if (strcasecmp(sqlite3_column_name(statement, i), Column.c_str()) == 0) {
        Index = i;
        Decided = true;
        return true;
      }
    return false;
  }
  void Row(sqlite3_stmt* statement) override {
    if (Found) return;
    Value = CellOf(statement, Index);
    Found = true;
  }
  bool Satisfied() const override { return Found; }

  const std::string& Column;
  int Index = -1;
  bool Decided = false;
  bool Found = false;
  TDBCell Value;
};

// The first result having columns, as cells.
struct TTableSink final : TSink {
  bool Wants(sqlite3_stmt* statement) override {
    if (Taken) return false;
    Taken = true;
    for (int i = 0; i < sqlite3_column_count(statement); ++i)
      Table.Columns.emplace_back(sqlite3_column_name(statement, i));
    return true;
  }
  void Row(sqlite3_stmt* statement) override {
    std::vector<TDBCell>& row = Table.Rows.emplace_back();
    for (int i = 0; i < static_cast<int>(Table.Columns.size()); ++i)
      row.push_back(CellOf(statement, i));
  }

  bool Taken = false;
  TDBTable Table;
};

// The first result having columns, as a JSON array of row objects.
struct TJSONSink final : TSink {
  bool Wants(sqlite3_stmt* statement) override {
    if (Taken) return false;
    Taken = true;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      std::string name;
      AppendJSONText(name, sqlite3_column_name(statement, i));
      Names.push_back(name + ":");
    }
    return true;
  }
  void Row(sqlite3_stmt* statement) override {
    Rows += Count++ ? ",{" : "{";
    for (int i = 0; i < static_cast<int>(Names.size()); ++i) {
      if (i) Rows += ',';
      Rows += Names[i];
      const TDBCell cell = CellOf(statement, i);
      if (cell.Kind == TDBCell::Null)
        Rows += "null";
      else if (cell.Kind == TDBCell::Textual)
        AppendJSONText(Rows, cell.Text);
      else
        Rows += cell.Text;
    }
    Rows += '}';
  }

  bool Taken = false;
  std::vector<std::string> Names;
  std::string Rows = "[";
  int64_t Count = 0;
};

using TStatementPtr = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

}  // namespace

std::string DefaultDatabasePath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string folder = ".";
  if (n > 0) {
    const std::string self(path, static_cast<size_t>(n));
    const size_t slash = self.rfind('/');
    if (slash != std::string::npos) folder = self.substr(0, slash);
  }
  return folder + "/sarn-till.db";
}

std::string FormatCurrency(TCurrency value) {
  const bool negative = value < 0;
  // The magnitude in ten-thousandths (unsigned: the most negative value has no positive twin).
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : value;
  const uint64_t cents = magnitude / 100 + (magnitude % 100 >= 50 ? 1 : 0);
  std::string out = negative && cents ? "-" : "";
  out += std::to_string(cents / 100);
  out += '.';
  out += static_cast<char>('0' + cents % 100 / 10);
  out += static_cast<char>('0' + cents % 10);
  return out;
}

bool FormatStatement(const std::string& format, const TDBArgs& args, std::string& sql,
                     std::string& error) {
  std::string out;
  out.reserve(format.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    if (i + 1 == format.size()) {
      error = "the format ends in a lone % (offset " + std::to_string(i) + ")";
      return false;
    }
    const char conversion = format[++i];
    const std::string where = std::string("%") + conversion + " at offset " + std::to_string(i - 1);
    if (conversion == '%') {
      out += '%';
      continue;
    }
    if (conversion != 's' && conversion != 'd' && conversion != 'f') {
      error = "unsupported conversion " + where + " (only %s, %d, %f and %%)";
      return false;
    }
    if (next == args.size()) {
      error = where + " has no argument (" + std::to_string(args.size()) + " given)";
      return false;
    }
    const TDBArg& arg = args[next++];
    const char* wanted = conversion == 's' ? "text" : conversion == 'd' ? "integer" : "currency";
    if (strcmp(KindName(arg), wanted) != 0) {
      error = "argument " + std::to_string(next) + " is " + KindName(arg) + ", " + where +
              " takes " + (conversion == 'd' ? "an " : "a ") + wanted;
      return false;
    }
    if (const std::string* text = std::get_if<std::string>(&arg)) {
      if (const size_t nul = text->find('\0'); nul != std::string::npos) {
        error = "text argument " + std::to_string(next) + " holds a NUL byte at offset " +
                std::to_string(nul) + ", which no statement can carry";
        return false;
      }
      out += *text;
    } else if (const int32_t* integer = std::get_if<int32_t>(&arg)) {
      out += std::to_string(*integer);
    } else {
      out += FormatCurrency(std::get<TCurrency>(arg));
    }
  }
  if (next != args.size()) {
    error =
        std::to_string(args.size()) + " arguments given, the format uses " + std::to_string(next);
    return false;
  }
  sql = std::move(out);
  return true;
}

struct TDBScript::TState {
  TDBScriptOptions Options;
  std::string Path;
  sqlite3* Db = nullptr;
  std::string LastError;
  int TraceFd = -1;
  bool TraceOpened = false;

  ~TState() {
    Close();
    if (TraceFd >= 0) close(TraceFd);
  }

  void Close() {
    if (Db) sqlite3_close_v2(Db);
    Db = nullptr;
  }

  bool Tracing() {
    if (!TraceOpened && !Options.TracePath.empty()) {
      TraceOpened = true;
      TraceFd = open(Options.TracePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (TraceFd < 0)
        fprintf(stderr, "sarn-till: database: cannot open the SQL trace file %s: %s\n",
                Options.TracePath.c_str(), strerror(errno));
    }
    return TraceFd >= 0;
  }

  bool Open(std::string& error) {
    if (Db) return true;
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string step = "cannot open " + Path;
    if (rc == SQLITE_OK) {
      sqlite3_extended_result_codes(db, 1);
      sqlite3_busy_timeout(db, Options.BusyTimeoutMs);
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
    Db = db;
    return true;
  }

  // Runs the batch as one transaction, its results to sink. A writing batch takes the write lock
  // at its start, so that a busy database is waited for before anything runs.
  bool Run(const std::string& sql, bool write, TSink* sink, int64_t& changed, std::string& error) {
    if (const size_t nul = sql.find('\0'); nul != std::string::npos) {
      error = "the statement holds a NUL byte at offset " + std::to_string(nul);
      return false;
    }
    if (sql.size() >= static_cast<size_t>(std::numeric_limits<int>::max())) {
      error = "the statement is too long (" + std::to_string(sql.size()) + " bytes)";
      return false;
    }
    if (!Open(error)) return false;
    BeginSqlServerBatch(Db);
    if (sqlite3_exec(Db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
      error = sqlite3_errmsg(Db);
      return false;
    }
    changed = 0;
    const char* at = sql.data();
    const char* const end = at + sql.size();
    for (int number = 1; at < end; ++number) {
      sqlite3_stmt* raw = nullptr;
      const char* tail = end;
      const int rc = sqlite3_prepare_v2(Db, at, static_cast<int>(end - at), &raw, &tail);
      TStatementPtr statement(raw, sqlite3_finalize);
      if (rc != SQLITE_OK) return Abandon(number, error);
      if (!tail || tail <= at) break;
      at = tail;
      if (!raw) continue;  // only blanks or comments
      const bool wanted = sink && sqlite3_column_count(raw) > 0 && sink->Wants(raw);
      const int64_t before = sqlite3_total_changes64(Db);
      for (;;) {
        const int step = sqlite3_step(raw);
        if (step == SQLITE_DONE) break;
        if (step != SQLITE_ROW) return Abandon(number, error);
        if (wanted) sink->Row(raw);
        if (sqlite3_stmt_readonly(raw) && (!wanted || sink->Satisfied())) break;
      }
      if (sqlite3_total_changes64(Db) != before) changed += sqlite3_changes64(Db);
    }
    if (sqlite3_exec(Db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
      return Abandon(0, error);
    return true;
  }

  bool Abandon(int number, std::string& error) {
    error = sqlite3_errmsg(Db);
    if (number > 1) error = "statement " + std::to_string(number) + ": " + error;
    if (!sqlite3_get_autocommit(Db)) sqlite3_exec(Db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
};

namespace {

// One call of the service: its trace line and, when it fails, its error.
class TCall {
 public:
  TCall(std::string& lastError, int traceFd, const char* operation, const std::string& format)
      : FLastError(lastError),
        FTraceFd(traceFd),
        FOperation(operation),
        FFormat(format),
        FStart(std::chrono::steady_clock::now()) {
    if (FTraceFd < 0) return;
    FLine = "{\"time\":\"" + LocalTimestampText() + "\",\"op\":\"" + operation + "\",\"format\":";
    AppendJSONText(FLine, format);
  }

  void Member(const char* name, const std::string& json) {
    if (FTraceFd >= 0) FLine += std::string(",\"") + name + "\":" + json;
  }
  void Text(const char* name, const std::string& text) {
    if (FTraceFd < 0) return;
    std::string json;
    AppendJSONText(json, text);
    Member(name, json);
  }
  void Args(const TDBArgs& args) {
    if (FTraceFd < 0) return;
    std::string json = "[";
    for (const TDBArg& arg : args) {
      if (json.size() > 1) json += ',';
      json += std::string("{\"") + KindName(arg) + "\":";
      if (const std::string* text = std::get_if<std::string>(&arg))
        AppendJSONText(json, *text);
      else if (const int32_t* integer = std::get_if<int32_t>(&arg))
        json += std::to_string(*integer);
      else
        json += std::to_string(std::get<TCurrency>(arg));
      json += '}';
    }
    Member("args", json + "]");
  }
  void Sql(const std::string& sql) {
    FSql = &sql;
    Text("sql", sql);
  }

  void Succeed(const char* outcome, const std::string& json) {
    FLastError.clear();
    Finish(outcome, json);
  }
  void Fail(const std::string& message) {
    FLastError =
        std::string(FOperation) + " \"" + Snippet(FSql ? *FSql : FFormat) + "\": " + message;
    fprintf(stderr, "sarn-till: database: %s\n", FLastError.c_str());
    std::string json;
    AppendJSONText(json, message);
    Finish("error", json);
  }

 private:
  void Finish(const char* outcome, const std::string& json) {
    if (FTraceFd < 0) return;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FStart)
            .count();
    char elapsed[32];
    snprintf(elapsed, sizeof elapsed, "%.3f", ms);
    Member("ms", elapsed);
    Member(outcome, json);
    FLine += "}\n";
    // One write per line: lines of several tills appending to one file stay whole.
    for (size_t done = 0; done < FLine.size();) {
      const ssize_t n = write(FTraceFd, FLine.data() + done, FLine.size() - done);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        break;
      }
      done += static_cast<size_t>(n);
    }
  }

  std::string& FLastError;
  int FTraceFd;
  const char* FOperation;
  const std::string& FFormat;
  const std::string* FSql = nullptr;
  std::chrono::steady_clock::time_point FStart;
  std::string FLine;
};

int32_t RowsChanged(int64_t changed) {
  return static_cast<int32_t>(std::min<int64_t>(changed, std::numeric_limits<int32_t>::max()));
}

}  // namespace

TDBScript::TDBScript(TDBScriptOptions options) : F(std::make_unique<TState>()) {
  F->Options = std::move(options);
  F->Path = F->Options.Path.empty() ? DefaultDatabasePath() : F->Options.Path;
}

TDBScript::~TDBScript() = default;

void TDBScript::SetConnection(const std::string& connection) {
  F->Close();
  F->Path = connection.empty() ? DefaultDatabasePath() : connection;
}

void TDBScript::GetConnection(std::string& connection) { connection = F->Path; }

int32_t TDBScript::Execute(const std::string& format, const TDBArgs& args) {
  TCall call(F->LastError, F->Tracing() ? F->TraceFd : -1, "Execute", format);
  call.Args(args);
  std::string sql, error;
  if (!FormatStatement(format, args, sql, error)) {
    call.Fail(error);
    return -1;
  }
  sql = TranslateSqlServerText(sql);
  call.Sql(sql);
  int64_t changed = 0;
  if (!F->Run(sql, true, nullptr, changed, error)) {
    call.Fail(error);
    return -1;
  }
  call.Succeed("changed", std::to_string(changed));
  return RowsChanged(changed);
}

int32_t TDBScript::ExecuteFile(const std::string& path) {
  TCall call(F->LastError, F->Tracing() ? F->TraceFd : -1, "ExecuteFile", path);
  std::ifstream in(path, std::ios::binary);
  std::string script((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    call.Fail("cannot read the script file " + path + ": " + strerror(errno));
    return -1;
  }
  const std::string sql = TranslateSqlServerText(script);
  call.Sql(sql);
  int64_t changed = 0;
  std::string error;
  if (!F->Run(sql, true, nullptr, changed, error)) {
    call.Fail(error);
    return -1;
  }
  call.Succeed("changed", std::to_string(changed));
  return RowsChanged(changed);
}

bool TDBScript::QueryValue(const std::string& statement, const std::string& column,
                           std::string& value) {
  TCall call(F->LastError, F->Tracing() ? F->TraceFd : -1, "QueryValue", statement);
  call.Text("column", column);
  const std::string sql = TranslateSqlServerText(statement);
  call.Sql(sql);
  TValueSink sink(column);
  int64_t changed = 0;
  std::string error;
  if (!F->Run(sql, true, &sink, changed, error)) {
    call.Fail(error);
    return false;
  }
  if (!sink.Found) {
    call.Succeed("value", "null");
    return false;
  }
  std::string json;
  AppendJSONText(json, sink.Value.Text);
  call.Succeed("value", json);
  value = std::move(sink.Value.Text);
  return true;
}

bool TDBScript::TableExists(const std::string& table) {
  TCall call(F->LastError, F->Tracing() ? F->TraceFd : -1, "TableExists", table);
  const std::string sql = "SELECT OBJECT_ID( " + SqlStringLiteral(table) + ", 'U' ) AS ID";
  call.Sql(sql);
  const std::string column = "ID";
  TValueSink sink(column);
  int64_t changed = 0;
  std::string error;
  if (!F->Run(sql, false, &sink, changed, error)) {
    call.Fail(error);
    return false;
  }
  const bool exists = sink.Found && sink.Value.Kind != TDBCell::Null;
  call.Succeed("exists", exists ? "true" : "false");
  return exists;
}

void TDBScript::LastError(std::string& error) { error = F->LastError; }

bool TDBScript::QueryJSON(const std::string& format, const TDBArgs& args, std::string& rows) {
  TCall call(F->LastError, F->Tracing() ? F->TraceFd : -1, "QueryJSON", format);
  call.Args(args);
  std::string sql, error;
  if (!FormatStatement(format, args, sql, error)) {
    call.Fail(error);
    return false;
  }
  sql = TranslateSqlServerText(sql);
  call.Sql(sql);
  TJSONSink sink;
  int64_t changed = 0;
  if (!F->Run(sql, false, &sink, changed, error)) {
    call.Fail(error);
    return false;
  }
  call.Succeed("rows", std::to_string(sink.Count));
  rows = std::move(sink.Rows) + "]";
  return true;
}

bool TDBScript::QueryTable(const std::string& statement, TDBTable& table) {
  TCall call(F->LastError, F->Tracing() ? F->TraceFd : -1, "QueryTable", statement);
  const std::string sql = TranslateSqlServerText(statement);
  call.Sql(sql);
  TTableSink sink;
  int64_t changed = 0;
  std::string error;
  if (!F->Run(sql, false, &sink, changed, error)) {
    call.Fail(error);
    return false;
  }
  call.Succeed("rows", std::to_string(sink.Table.Rows.size()));
  table = std::move(sink.Table);
  return true;
}

TIntfPtr<IDBScript> RegisterDBScript(IServiceRegistry* registry, const TDBScriptOptions& options) {
  TIntfPtr<TDBScript> db = MakeObject<TDBScript>(options);
  registry->RegisterInstance(IDBScript::IID, db.As<IInterface>().Get());
  return TIntfPtr<IDBScript>(db);
}
