#include "TPostgresEngine.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "TDBScript.h"
#include "TPostgresDialect.h"
#include "TSqlText.h"
#include "clsInterfacedObject.h"

namespace {

using TResultPtr = std::unique_ptr<PGresult, void (*)(PGresult*)>;
using TClock = std::chrono::steady_clock;

TResultPtr Result(PGresult* result) { return TResultPtr(result, PQclear); }

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// libpq's messages on one line: line breaks and tabs run together into one blank.
std::string Trimmed(const char* message) {
  std::string text;
  for (const char* p = message ? message : ""; *p; ++p) {
    const bool blank = std::isspace(static_cast<unsigned char>(*p));
    if (blank && (text.empty() || text.back() == ' ')) continue;
    text += blank ? ' ' : *p;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string SqlState(const PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

// One result of a batch, kept until the commit stands.
struct TKeptResult {
  std::vector<std::string> Columns;
  std::vector<std::vector<TDBCell>> Rows;
};

TDBCell CellOf(const PGresult* result, int row, int column) {
  TDBCell cell;
  if (PQgetisnull(result, row, column)) return cell;
  const char* value = PQgetvalue(result, row, column);
  const int size = PQgetlength(result, row, column);
  switch (PQftype(result, column)) {
    case 16:  // boolean, as SQL Server's BIT reads
      cell.Kind = TDBCell::Integer;
      cell.Text = value[0] == 't' ? "1" : "0";
      break;
    case 20:  // bigint, integer, smallint
    case 21:
    case 23:
      cell.Kind = TDBCell::Integer;
      cell.Text.assign(value, size);
      break;
    case 700:  // real, double precision
    case 701:
      cell.Kind = TDBCell::Float;
      cell.Text = FloatCellText(strtod(value, nullptr));
      break;
    case 1700:  // numeric: its exact digits
      cell.Kind = TDBCell::Float;
      cell.Text.assign(value, size);
      break;
    default:
      cell.Kind = TDBCell::Textual;
      cell.Text.assign(value, size);
  }
  return cell;
}

class TPostgresEngine final : public TImplements<TInterfacedObject, IDBEngine> {
 public:
  explicit TPostgresEngine(TPostgresOptions options) : F(std::move(options)) {}
  ~TPostgresEngine() override { Close(); }

  std::string Shown() override { return MaskedPostgresConnection(F.Connection); }

  bool Exists(std::string& error) override { return Connect(error); }

  bool Rewrite(const std::string& sql, std::string& sent, std::string& error) override {
    TPostgresText text;
    auto finder = [this](const std::string& table, std::string& column, std::string& why) {
      return IdentityColumn(table, column, why);
    };
    if (!RewriteForPostgres(sql, finder, text, error)) return false;
    sent = std::move(text.Sent);
    return true;
  }

  TDBRun Run(const std::string& sent, bool write, IDBSink* sink) override {
    TDBRun run;
    if (const size_t nul = sent.find('\0'); nul != std::string::npos) {
      run.Error = "the statement holds a NUL byte at offset " + std::to_string(nul);
      return run;
    }
    const auto deadline = TClock::now() + std::chrono::milliseconds(F.BusyTimeoutMs);
    auto pause = std::chrono::milliseconds(5);
    bool reopened = false;
    for (;;) {
      std::vector<TKeptResult> kept;
      std::string state;
      const TOutcome outcome = Attempt(sent, write, kept, run, state);
      if (outcome == TOutcome::Done) {
        Deliver(kept, sink);
        return run;
      }
      if (outcome == TOutcome::Gone && !reopened) {
        // Nothing was committed: the statement never reached a COMMIT.
        reopened = true;
        Close();
        run = TDBRun{};
        continue;
      }
      if ((state == "40001" || state == "40P01") && TClock::now() + pause < deadline) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(200));
        run = TDBRun{};
        continue;
      }
      run.Changed = 0;
      return run;
    }
  }

  bool Tables(std::vector<std::string>& tables, std::string& sent, std::string& error) override {
    sent =
        "SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
        "AND table_type = 'BASE TABLE' ORDER BY table_name";
    return FirstColumnOf(*this, sent, tables, error);
  }

  void Close() override {
    if (FConn) PQfinish(FConn);
    FConn = nullptr;
    FIdentities.clear();
  }

 private:
  enum class TOutcome { Done, Failed, Gone };

  bool Gone() const { return !FConn || PQstatus(FConn) == CONNECTION_BAD; }

  bool Connect(std::string& error) {
    if (FConn && PQstatus(FConn) == CONNECTION_OK) return true;
    Close();
    // Defaults first: what the connection text says overrides them; the encoding is ours.
    const std::string application = F.ApplicationName;
    const char* keys[] = {"connect_timeout", "application_name", "dbname", "client_encoding",
                          nullptr};
    const char* values[] = {"5", application.c_str(), F.Connection.c_str(), "UTF8", nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    const std::string where = "cannot connect to " + Shown();
    if (!conn) {
      error = where + ": out of memory";
      return false;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
      error = where + ": " + Trimmed(PQerrorMessage(conn));
      PQfinish(conn);
      return false;
    }
    FConn = conn;
    const char* encoding = PQparameterStatus(conn, "server_encoding");
    if (!encoding || std::string(encoding) != "UTF8") {
      error = where + ": the database is encoded " + (encoding ? encoding : "(unknown)") +
              ", not UTF8 (create it with ENCODING 'UTF8')";
      Close();
      return false;
    }
    const std::string lockWait = std::to_string(std::max<int32_t>(F.BusyTimeoutMs, 1)) + "ms";
    // Notices ("already exists, skipping") are no news for a till: only warnings reach stderr.
    const std::string setup =
        "SET standard_conforming_strings = on; SET client_min_messages = warning; "
        "SET lock_timeout = '" +
        lockWait + "'";
    TResultPtr set = Result(PQexec(conn, setup.c_str()));
    if (PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
      error = where + ": cannot set up the session: " + Trimmed(PQerrorMessage(conn));
      Close();
      return false;
    }
    const char* standard = PQparameterStatus(conn, "standard_conforming_strings");
    if (!standard || std::string(standard) != "on") {
      error = where +
              ": standard_conforming_strings stays off; a backslash in a text would not "
              "be read as itself";
      Close();
      return false;
    }
    return true;
  }

  bool IdentityColumn(const std::string& table, std::string& column, std::string& error) {
    if (const auto found = FIdentities.find(table); found != FIdentities.end()) {
      column = found->second;
      return true;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!Connect(error)) return false;
      std::string quoted = "\"";
      for (const char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
      quoted += '"';
      const char* params[] = {quoted.c_str()};
      TResultPtr r = Result(PQexecParams(
          FConn,
          "SELECT attname FROM pg_attribute WHERE attrelid = to_regclass($1) AND attnum > 0 "
          "AND NOT attisdropped AND attidentity <> '' ORDER BY attnum LIMIT 1",
          1, nullptr, params, nullptr, nullptr, 0));
      if (PQresultStatus(r.get()) == PGRES_TUPLES_OK) {
        if (PQntuples(r.get()) == 0) {
          error = "SCOPE_IDENTITY(): the table " + table + " has no identity column";
          return false;
        }
        column = PQgetvalue(r.get(), 0, 0);
        FIdentities[table] = column;
        return true;
      }
      if (!Gone()) break;
      Close();  // a lost connection: nothing ran, open it anew once
    }
    error = "cannot read the identity column of " + table + ": " + Trimmed(PQerrorMessage(FConn));
    return false;
  }

  // One run of the call. Gone: the connection broke before COMMIT was sent.
  TOutcome Attempt(const std::string& sent, bool write, std::vector<TKeptResult>& kept, TDBRun& run,
                   std::string& state) {
    if (!Connect(run.Error)) return TOutcome::Failed;
    TResultPtr begin = Result(PQexec(FConn, write ? "BEGIN ISOLATION LEVEL SERIALIZABLE"
                                                  : "BEGIN ISOLATION LEVEL SERIALIZABLE "
                                                    "READ ONLY"));
    if (PQresultStatus(begin.get()) != PGRES_COMMAND_OK) return Broken(run, state, begin.get(), 0);
    if (write && ContainsWord(sent, "CREATE TABLE")) {
      // Catalogue rows are not covered by serializable isolation: two tills creating one table
      // at once would collide on them. One lock makes them take turns.
      TResultPtr lock = Result(PQexec(FConn, "SELECT pg_advisory_xact_lock(7336014)"));
      if (PQresultStatus(lock.get()) != PGRES_TUPLES_OK) return Broken(run, state, lock.get(), 0);
    }
    if (!PQsendQuery(FConn, sent.c_str())) return Broken(run, state, nullptr, 0);
    int number = 0;
    TResultPtr failure = Result(nullptr);
    int failedAt = 0;
    for (TResultPtr r = Result(PQgetResult(FConn)); r; r = Result(PQgetResult(FConn))) {
      ++number;
      const ExecStatusType status = PQresultStatus(r.get());
      if (status == PGRES_FATAL_ERROR || status == PGRES_NONFATAL_ERROR ||
          status == PGRES_BAD_RESPONSE) {
        if (!failure) {
          failure = std::move(r);
          failedAt = number;
        }
        continue;
      }
      if (failure) continue;
      const std::string command = PQcmdStatus(r.get());
      if (StartsWith(command, "INSERT") || StartsWith(command, "UPDATE") ||
          StartsWith(command, "DELETE") || StartsWith(command, "MERGE"))
        run.Changed += atoll(PQcmdTuples(r.get()));
      if (status == PGRES_TUPLES_OK && PQnfields(r.get()) > 0) {
        TKeptResult& result = kept.emplace_back();
        const int columns = PQnfields(r.get());
        for (int c = 0; c < columns; ++c) result.Columns.emplace_back(PQfname(r.get(), c));
        for (int row = 0; row < PQntuples(r.get()); ++row) {
          std::vector<TDBCell>& cells = result.Rows.emplace_back();
          for (int c = 0; c < columns; ++c) cells.push_back(CellOf(r.get(), row, c));
        }
      }
    }
    if (failure || Gone()) return Broken(run, state, failure.get(), failedAt);
    TResultPtr commit = Result(PQexec(FConn, "COMMIT"));
    if (PQresultStatus(commit.get()) == PGRES_COMMAND_OK) return TOutcome::Done;
    if (Gone()) {
      run.Unknown = write;
      run.Error = "the connection to " + Shown() +
                  " was lost before the commit was answered: the call may or may not have taken "
                  "effect, and it is not run again";
      Close();
      return TOutcome::Failed;
    }
    return Broken(run, state, commit.get(), 0);
  }

  // A failed attempt: rolled back (the server does so itself when the connection is gone).
  TOutcome Broken(TDBRun& run, std::string& state, const PGresult* result, int number) {
    state = SqlState(result);
    // One line: the server's primary message and its detail, else the connection's message.
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const char* detail = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL) : nullptr;
    std::string message = Trimmed(primary ? primary : PQerrorMessage(FConn));
    if (detail) message += ": " + Trimmed(detail);
    if (!state.empty()) message += " (SQLSTATE " + state + ")";
    if (number > 1) message = "statement " + std::to_string(number) + ": " + message;
    run.Error = message;
    if (Gone() || StartsWith(state, "08")) {
      run.Error = "the connection to " + Shown() + " failed: " + message;
      return TOutcome::Gone;
    }
    TResultPtr rollback = Result(PQexec(FConn, "ROLLBACK"));
    return TOutcome::Failed;
  }

  static void Deliver(std::vector<TKeptResult>& kept, IDBSink* sink) {
    if (!sink) return;
    for (TKeptResult& result : kept) {
      if (!sink->Wants(result.Columns)) continue;
      for (std::vector<TDBCell>& row : result.Rows) {
        sink->Row(row);
        if (sink->Satisfied()) break;
      }
    }
  }

  TPostgresOptions F;
  PGconn* FConn = nullptr;
  std::map<std::string, std::string> FIdentities;
};

// Where a key=value pair's value ends: a quoted value runs to its closing quote (backslash
// escapes), another to the next blank.
size_t ValueEnd(const std::string& text, size_t at) {
  if (at < text.size() && text[at] == '\'') {
    for (size_t i = at + 1; i < text.size(); ++i) {
      if (text[i] == '\\') {
        ++i;
        continue;
      }
      if (text[i] == '\'') return i + 1;
    }
    return text.size();
  }
  while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  return at;
}

}  // namespace

TIntfPtr<IDBEngine> NewPostgresEngine(const TPostgresOptions& options) {
  return TIntfPtr<IDBEngine>(MakeObject<TPostgresEngine>(options));
}

bool IsPostgresConnectionText(const std::string& text) {
  if (StartsWith(text, "postgresql://") || StartsWith(text, "postgres://")) return true;
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  const size_t key = i;
  while (i < text.size() && (std::isalpha(static_cast<unsigned char>(text[i])) || text[i] == '_'))
    ++i;
  if (i == key) return false;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  return i < text.size() && text[i] == '=';
}

std::string MaskedPostgresConnection(const std::string& text) {
  const std::string mask = "***";
  const size_t scheme = text.find("://");
  if (scheme != std::string::npos &&
      (StartsWith(text, "postgresql://") || StartsWith(text, "postgres://"))) {
    std::string out = text;
    const size_t from = scheme + 3;
    const size_t query = out.find('?', from);
    const size_t at = out.rfind('@', query == std::string::npos ? std::string::npos : query);
    if (at != std::string::npos && at >= from) {
      const size_t colon = out.find(':', from);
      if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, mask);
    }
    for (size_t q = out.find('?', from); q != std::string::npos; q = out.find('&', q + 1)) {
      const size_t name = q + 1;
      if (out.compare(name, 9, "password=") != 0) continue;
      const size_t value = name + 9;
      const size_t end = std::min(out.find('&', value), out.size());
      out.replace(value, end - value, mask);
    }
    return out;
  }
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[i]))) {
      out += text[i++];
      continue;
    }
    const size_t key = i;
    while (i < text.size() && text[i] != '=' && !std::isspace(static_cast<unsigned char>(text[i])))
      ++i;
    const std::string name = text.substr(key, i - key);
    size_t eq = i;
    while (eq < text.size() && std::isspace(static_cast<unsigned char>(text[eq]))) ++eq;
    if (eq >= text.size() || text[eq] != '=') {
      out += text.substr(key, eq - key);
      i = eq;
      continue;
    }
    size_t value = eq + 1;
    while (value < text.size() && std::isspace(static_cast<unsigned char>(text[value]))) ++value;
    const size_t end = ValueEnd(text, value);
    out += text.substr(key, value - key);
    out += name == "password" ? mask : text.substr(value, end - value);
    i = end;
  }
  return out;
}
