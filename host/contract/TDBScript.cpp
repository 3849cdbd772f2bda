#include "host/contract/TDBScript.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include "host/db/sql/SqlText.h"
#include "lib/common/AsciiCase.h"
#include "lib/common/FileText.h"
#include "lib/common/OwnedFile.h"
#include "lib/common/Utf8Text.h"
#include "lib/json/JSONString.h"

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

// The first result having the column: its first row's value.
struct TValueSink final : TDBSink {
  explicit TValueSink(const std::string& column) : Column(column) {}
  bool Wants(const std::vector<std::string>& columns) override {
    if (Decided) return false;
    for (size_t i = 0; i < columns.size(); ++i)
      if (SameTextAscii(columns[i], Column)) {
        Index = i;
        Decided = true;
        return true;
      }
    return false;
  }
  void Row(std::vector<TDBCell>& cells) override {
    if (Found) return;
    Value = std::move(cells[Index]);
    Found = true;
  }
  bool Satisfied() const override { return Found; }

  const std::string& Column;
  size_t Index = 0;
  bool Decided = false;
  bool Found = false;
  TDBCell Value;
};

// The first result having columns, as cells.
struct TTableSink final : TDBSink {
  bool Wants(const std::vector<std::string>& columns) override {
    if (Taken) return false;
    Taken = true;
    Table.Columns = columns;
    return true;
  }
  void Row(std::vector<TDBCell>& cells) override { Table.Rows.push_back(std::move(cells)); }

  bool Taken = false;
  TDBTable Table;
};

// The first result having columns, as a JSON array of row objects.
struct TJSONSink final : TDBSink {
  bool Wants(const std::vector<std::string>& columns) override {
    if (Taken) return false;
    Taken = true;
    for (const std::string& column : columns) {
      std::string name;
      AppendJSONString(name, column);
      Names.push_back(name + ":");
    }
    return true;
  }
  void Row(std::vector<TDBCell>& cells) override {
    Rows += Count++ ? ",{" : "{";
    for (size_t i = 0; i < Names.size() && i < cells.size(); ++i) {
      if (i) Rows += ',';
      Rows += Names[i];
      const TDBCell& cell = cells[i];
      if (cell.Kind == TDBCell::TKind::Null)
        Rows += "null";
      else if (cell.Kind == TDBCell::TKind::Textual)
        AppendJSONString(Rows, cell.Text);
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

}  // namespace

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

namespace {

// One call of the service: its trace line and, when it fails, its error.
class TCall {
 public:
  TCall(std::string& lastError, int64_t& failures, int traceFd, TDBCallObserver* observer,
        const char* operation, const std::string& format)
      : FLastError(lastError),
        FFailures(failures),
        FTraceFd(traceFd),
        FObserver(observer),
        FOperation(operation),
        FFormat(format) {
    if (FObserver) FObserver->CallStarting(FOperation);
    FStart = std::chrono::steady_clock::now();
    if (FTraceFd < 0) return;
    FLine = "{\"time\":\"" + LocalTimestampText() + "\",\"op\":\"" + operation + "\",\"format\":";
    AppendJSONString(FLine, format);
  }

  ~TCall() {
    if (FObserver) FObserver->CallDone(FOperation);
  }
  TCall(const TCall&) = delete;
  TCall& operator=(const TCall&) = delete;

  void Member(const char* name, const std::string& json) {
    if (FTraceFd >= 0) FLine += std::string(",\"") + name + "\":" + json;
  }
  void Text(const char* name, const std::string& text) {
    if (FTraceFd < 0) return;
    std::string json;
    AppendJSONString(json, text);
    Member(name, json);
  }
  void Args(const TDBArgs& args) {
    if (FTraceFd < 0) return;
    std::string json = "[";
    for (const TDBArg& arg : args) {
      if (json.size() > 1) json += ',';
      json += std::string("{\"") + KindName(arg) + "\":";
      if (const std::string* text = std::get_if<std::string>(&arg))
        AppendJSONString(json, *text);
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
  void Sent(const std::string& sent) { Text("sent", sent); }

  void Succeed(const char* outcome, const std::string& json) {
    FLastError.clear();
    Finish(outcome, json);
  }
  void Fail(const std::string& message) {
    ++FFailures;
    FLastError =
        std::string(FOperation) + " \"" + Snippet(FSql ? *FSql : FFormat) + "\": " + message;
    fprintf(stderr, "sarn-till: database: %s\n", FLastError.c_str());
    std::string json;
    AppendJSONString(json, message);
    Finish("error", json);
  }

 private:
  void Finish(const char* outcome, const std::string& json) {
    if (FTraceFd < 0) return;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - FStart)
            .count();
    // Fixed three decimals, whatever the process's locale says a decimal point is.
    char elapsed[32];
    const auto end =
        std::to_chars(elapsed, elapsed + sizeof elapsed, ms, std::chars_format::fixed, 3).ptr;
    Member("ms", std::string(elapsed, end));
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
  int64_t& FFailures;
  int FTraceFd;
  TDBCallObserver* FObserver;
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

struct TDBScript::TState {
  std::string Connection;
  TDBEngineMaker Maker;
  TDBEnginePtr Engine;
  std::string TracePath;
  std::string LastError;
  int64_t Failures = 0;
  int TraceFd = -1;
  bool TraceOpened = false;
  TDBCallObserver* Observer = nullptr;

  ~TState() {
    if (Engine) Engine->Close();
    if (TraceFd >= 0) close(TraceFd);
  }

  int Trace() {
    if (!TraceOpened && !TracePath.empty()) {
      TraceOpened = true;
      // Statements carry customers' data: the owner's group may read them, nobody else. So the
      // trace goes only into a file of the till's own user, never through a link or a second
      // name planted at its path, and a looser file of ours is tightened to rw-r-----.
      std::string error;
      TraceFd =
          OpenOwnFile(AT_FDCWD, TracePath, O_WRONLY | O_CREAT | O_APPEND, 0640, error).Release();
      if (TraceFd < 0)
        fprintf(stderr, "sarn-till: database: cannot use the SQL trace file %s: %s\n",
                TracePath.c_str(), error.c_str());
    }
    return TraceFd;
  }

  // One call of the given operation begins (C++17 hands the object over without a copy).
  TCall Call(const char* operation, const std::string& format) {
    return TCall(LastError, Failures, Trace(), Observer, operation, format);
  }

  // Rewrites the SQL Server text for the engine and runs it; false (the call failed) with the
  // failure given to call.
  bool Run(TCall& call, const std::string& given, bool write, TDBSink* sink, int64_t& changed) {
    // Texts from the voucher service reach the statements as they came: bytes that are not
    // UTF-8 would be kept raw by SQLite and refused (with the whole call) by PostgreSQL. Both
    // engines get them replaced, so the row is written and every reader of it gets valid text.
    const std::string sql = ValidUTF8(given);
    std::string sent, error;
    if (!SqlStatementStarts(sql, error) || !Engine->Rewrite(sql, sent, error)) {
      call.Fail(error);
      return false;
    }
    call.Sent(sent);
    TDBRun run = Engine->Run(sent, write, sink);
    if (!run.Note.empty()) call.Text("note", run.Note);
    if (run.Unknown) call.Member("outcome", "\"unknown\"");
    if (!run.Error.empty()) {
      call.Fail(run.Error);
      return false;
    }
    changed = run.Changed;
    return true;
  }
};

TDBScript::TDBScript(std::string connection, TDBEngineMaker maker, std::string tracePath)
    : FState(std::make_unique<TState>()) {
  FState->Connection = std::move(connection);
  FState->Maker = std::move(maker);
  FState->Engine = FState->Maker(FState->Connection);
  FState->TracePath = std::move(tracePath);
}

TDBScript::~TDBScript() = default;

void TDBScript::SetConnection(const std::string& connection) {
  FState->Engine->Close();
  FState->Connection = connection;
  FState->Engine = FState->Maker(connection);
}

void TDBScript::GetConnection(std::string& connection) { connection = FState->Engine->Shown(); }

int32_t TDBScript::Execute(const std::string& format, const TDBArgs& args) {
  TCall call = FState->Call("Execute", format);
  call.Args(args);
  std::string sql, error;
  if (!FormatStatement(format, args, sql, error)) {
    call.Fail(error);
    return -1;
  }
  call.Sql(sql);
  int64_t changed = 0;
  if (!FState->Run(call, sql, true, nullptr, changed)) return -1;
  call.Succeed("changed", std::to_string(changed));
  return RowsChanged(changed);
}

int32_t TDBScript::ExecuteFile(const std::string& path) {
  TCall call = FState->Call("ExecuteFile", path);
  std::string script, error;
  if (!ReadWholeFile(path, script, error, "the script file")) {
    call.Fail(error);
    return -1;
  }
  call.Sql(script);
  int64_t changed = 0;
  if (!FState->Run(call, script, true, nullptr, changed)) return -1;
  call.Succeed("changed", std::to_string(changed));
  return RowsChanged(changed);
}

bool TDBScript::QueryValue(const std::string& statement, const std::string& column,
                           std::string& value) {
  TCall call = FState->Call("QueryValue", statement);
  call.Text("column", column);
  call.Sql(statement);
  TValueSink sink(column);
  int64_t changed = 0;
  if (!FState->Run(call, statement, true, &sink, changed)) return false;
  if (!sink.Found) {
    call.Succeed("value", "null");
    return false;
  }
  std::string json;
  AppendJSONString(json, sink.Value.Text);
  call.Succeed("value", json);
  value = std::move(sink.Value.Text);
  return true;
}

bool TDBScript::TableExists(const std::string& table) {
  TCall call = FState->Call("TableExists", table);
  std::vector<std::string> tables;
  std::string sent, error;
  const bool listed = FState->Engine->Tables(tables, sent, error);
  call.Sent(sent);
  if (!listed) {
    call.Fail(error);
    return false;
  }
  const std::string wanted = ObjectPart(table);
  const bool exists = std::any_of(tables.begin(), tables.end(),
                                  [&](const std::string& name) { return SameWord(name, wanted); });
  call.Succeed("exists", exists ? "true" : "false");
  return exists;
}

void TDBScript::LastError(std::string& error) { error = FState->LastError; }

bool TDBScript::QueryJSON(const std::string& format, const TDBArgs& args, std::string& rows) {
  TCall call = FState->Call("QueryJSON", format);
  call.Args(args);
  std::string sql, error;
  if (!FormatStatement(format, args, sql, error)) {
    call.Fail(error);
    return false;
  }
  call.Sql(sql);
  TJSONSink sink;
  int64_t changed = 0;
  if (!FState->Run(call, sql, false, &sink, changed)) return false;
  call.Succeed("rows", std::to_string(sink.Count));
  rows = std::move(sink.Rows) + "]";
  return true;
}

bool TDBScript::QueryTable(const std::string& statement, TDBTable& table) {
  TCall call = FState->Call("QueryTable", statement);
  call.Sql(statement);
  TTableSink sink;
  int64_t changed = 0;
  if (!FState->Run(call, statement, false, &sink, changed)) return false;
  call.Succeed("rows", std::to_string(sink.Table.Rows.size()));
  table = std::move(sink.Table);
  return true;
}

bool TDBScript::Exists(std::string& error) { return FState->Engine->Exists(error); }

namespace {

// A call that lists names (tables, columns): what was sent, then the names or the failure.
template <class TList>
bool ListNames(TCall& call, std::vector<std::string>& out, const TList& list) {
  std::string sent, error;
  std::vector<std::string> names;
  const bool listed = list(names, sent, error);
  call.Sent(sent);
  if (!listed) {
    call.Fail(error);
    return false;
  }
  call.Succeed("rows", std::to_string(names.size()));
  out = std::move(names);
  return true;
}

}  // namespace

bool TDBScript::Tables(std::vector<std::string>& tables) {
  // The call keeps a reference to its format: a temporary would be gone before a failure.
  static const std::string none;
  TCall call = FState->Call("Tables", none);
  return ListNames(call, tables, [&](auto& names, auto& sent, auto& error) {
    return FState->Engine->Tables(names, sent, error);
  });
}

bool TDBScript::Columns(const std::string& table, std::vector<std::string>& columns) {
  TCall call = FState->Call("Columns", table);
  return ListNames(call, columns, [&](auto& names, auto& sent, auto& error) {
    return FState->Engine->Columns(ObjectPart(table), names, sent, error);
  });
}

int64_t TDBScript::Failures() const { return FState->Failures; }

void TDBScript::Observe(TDBCallObserver* observer) { FState->Observer = observer; }
