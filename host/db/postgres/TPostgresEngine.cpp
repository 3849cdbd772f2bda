#include "host/db/postgres/TPostgresEngine.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "host/db/sql/SqlText.h"
#include "host/db/postgres/TPostgresDialect.h"
#include "intf/clsInterfacedObject.h"
#include "lib/common/LocalTime.h"

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

// A float as the server writes it, read without regard to the process's locale.
std::string FloatText(const char* value, int size) {
  double number = 0;
  const auto read = std::from_chars(value, value + size, number);
  if (read.ec == std::errc::result_out_of_range)
    return FloatCellText(value[0] == '-' ? -HUGE_VAL : HUGE_VAL);
  return FloatCellText(number);
}

TDBCell CellOf(const PGresult* result, int row, int column) {
  TDBCell cell;
  if (PQgetisnull(result, row, column)) return cell;
  const char* value = PQgetvalue(result, row, column);
  const int size = PQgetlength(result, row, column);
  switch (PQftype(result, column)) {
    case 16:  // boolean, as SQL Server's BIT reads
      cell.Kind = TDBCell::TKind::Integer;
      cell.Text = value[0] == 't' ? "1" : "0";
      break;
    case 20:  // bigint, integer, smallint
    case 21:
    case 23:
      cell.Kind = TDBCell::TKind::Integer;
      cell.Text.assign(value, size);
      break;
    case 700:  // real, double precision
    case 701:
      cell.Kind = TDBCell::TKind::Float;
      cell.Text = FloatText(value, size);
      break;
    case 1700:  // numeric: its exact digits
      cell.Kind = TDBCell::TKind::Float;
      cell.Text.assign(value, size);
      break;
    default:
      cell.Kind = TDBCell::TKind::Textual;
      cell.Text.assign(value, size);
  }
  return cell;
}

// The bound of a call (see the header): the server ends a statement at the busy time plus
// kStatementMarginMs (statement_timeout, rolled back by the server itself); the till stops
// waiting for any answer at the busy time plus kCallMarginMs and gives the connection up, so a
// stopped backend or a link gone quiet fails the call instead of holding the till.
constexpr int32_t kStatementMarginMs = 1000;
constexpr int32_t kCallMarginMs = 2000;
// A commit whose answer was lost is asked after on a new connection, for at most this long.
constexpr int32_t kResolveMs = 2000;

// The commands around every call's own, prepared once on each connection: the server parses
// and plans them once rather than in every call.
struct TFixedCommand {
  const char* Name;
  const char* Text;
};
constexpr TFixedCommand kBegin{"sarn_begin", "BEGIN ISOLATION LEVEL SERIALIZABLE"};
constexpr TFixedCommand kBeginRead{"sarn_begin_read",
                                   "BEGIN ISOLATION LEVEL SERIALIZABLE READ ONLY"};
// Catalogue rows are not covered by serializable isolation: two tills creating one table at
// once would collide on them. One lock makes them take turns.
constexpr TFixedCommand kTableLock{"sarn_table_lock", "SELECT pg_advisory_xact_lock(7336014)"};
constexpr TFixedCommand kTransactionId{"sarn_transaction_id", "SELECT txid_current_if_assigned()"};
constexpr TFixedCommand kCommit{"sarn_commit", "COMMIT"};
// The base tables of information_schema.tables (ordinary and partitioned, the role may use)
// read from the catalogue itself: the view costs the server several times more to plan.
constexpr TFixedCommand kTableList{
    "sarn_table_list",
    "SELECT relname::text AS table_name FROM pg_catalog.pg_class WHERE relnamespace = "
    "to_regnamespace(quote_ident(current_schema())) AND relkind IN ('r', 'p') AND "
    "(pg_has_role(relowner, 'USAGE') OR has_table_privilege(oid, 'SELECT, INSERT, UPDATE, "
    "DELETE, TRUNCATE, REFERENCES, TRIGGER') OR has_any_column_privilege(oid, 'SELECT, "
    "INSERT, UPDATE, REFERENCES')) ORDER BY relname"};
constexpr TFixedCommand kFixedCommands[] = {kBegin,         kBeginRead, kTableLock,
                                            kTransactionId, kCommit,    kTableList};

// One command of a call: a prepared one by its name, else its text.
struct TCommand {
  std::string Text;
  const char* Prepared = nullptr;
  explicit TCommand(std::string text) : Text(std::move(text)) {}
  explicit TCommand(const TFixedCommand& fixed) : Text(fixed.Text), Prepared(fixed.Name) {}
};

// The till's own zone as PostgreSQL names it: TZ as the C library reads it (an IANA name or a
// POSIX rule; a path into the zone files gives the name after "zoneinfo/"), else the zone
// /etc/localtime stands for; empty when it has no name.
std::string TillZoneName() {
  std::string path = "/etc/localtime";
  if (const char* tz = getenv("TZ")) {
    std::string zone = tz;
    if (zone.empty()) return "UTC";  // the C library's reading of an empty TZ
    if (zone[0] == ':') zone.erase(0, 1);
    if (!zone.empty() && zone[0] != '/') return zone;
    if (!zone.empty()) path = zone;
  }
  std::error_code ec;
  const std::string target = std::filesystem::canonical(path, ec).string();
  for (const char* folder : {"zoneinfo/posix/", "zoneinfo/right/", "zoneinfo/"})
    if (const size_t at = target.find(folder); !ec && at != std::string::npos)
      return target.substr(at + strlen(folder));
  if (path == "/etc/localtime") {
    std::ifstream named("/etc/timezone");
    std::string zone;
    if (std::getline(named, zone) && !zone.empty()) return zone;
  }
  return "";
}

// The till's present offset from UTC as SET TIME ZONE takes it (the zone without a name: its
// offset of today).
std::string TillZoneOffset() {
  const long offset = LocalTimeNow().UtcOffset;
  const long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  snprintf(text, sizeof text, "INTERVAL '%c%02ld:%02ld' HOUR TO MINUTE", offset < 0 ? '-' : '+',
           magnitude / 3600, magnitude / 60 % 60);
  return text;
}

class TPostgresEngine final : public TImplements<TInterfacedObject, IDBEngine> {
 public:
  explicit TPostgresEngine(TPostgresOptions options)
      : F(std::move(options)), FSecrets(F.Connection) {}
  ~TPostgresEngine() override { Close(); }

  std::string Shown() override { return FSecrets.Shown(); }

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

  TDBRun Run(const std::string& sent, bool write, TDBSink* sink) override {
    TDBRun run;
    if (const size_t nul = sent.find('\0'); nul != std::string::npos) {
      run.Error = "the statement holds a NUL byte at offset " + std::to_string(nul);
      return run;
    }
    const auto start = TClock::now();
    FTimedOut = false;
    const auto busyEnd = start + std::chrono::milliseconds(Busy());
    FDeadline = busyEnd + std::chrono::milliseconds(kCallMarginMs);
    auto pause = std::chrono::milliseconds(5);
    bool reopened = false;
    // Why the call was run again on a new connection: the trace must show that its first run
    // did not stand, or a row written once would read as a call that ran once.
    std::string again;
    auto noted = [&again](TDBRun& done) -> TDBRun& {
      if (!again.empty()) done.Note = again + (done.Note.empty() ? "" : "; " + done.Note);
      return done;
    };
    for (;;) {
      std::vector<TKeptResult> kept;
      std::string state;
      const TOutcome outcome = Attempt(sent, write, kept, run, state);
      if (outcome == TOutcome::Done) {
        Deliver(kept, sink);
        return noted(run);
      }
      if (outcome == TOutcome::Gone && !reopened) {
        // Nothing was committed: the statement never reached a COMMIT, or the server says the
        // transaction was rolled back.
        reopened = true;
        again = "run again on a new connection: " + run.Error;
        Close();
        run = TDBRun{};
        continue;
      }
      if ((state == "40001" || state == "40P01") && TClock::now() + pause < busyEnd) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(200));
        run = TDBRun{};
        continue;
      }
      run.Changed = 0;
      return noted(run);
    }
  }

  bool Tables(std::vector<std::string>& tables, std::string& sent, std::string& error) override {
    sent = kTableList.Text;
    return FirstColumnOf(*this, sent, tables, error);
  }

  void Close() override {
    if (FConn) PQfinish(FConn);
    FConn = nullptr;
    FIdentities.clear();
  }

 private:
  enum class TOutcome { Done, Failed, Gone };

  int32_t Busy() const { return std::max<int32_t>(F.BusyTimeoutMs, 1); }
  bool Gone() const { return !FConn || PQstatus(FConn) == CONNECTION_BAD; }
  std::string Message(const char* text) const { return FSecrets.Masked(Trimmed(text)); }
  std::string ConnectionMessage() const {
    return Message(FConn ? PQerrorMessage(FConn) : "not connected");
  }

  // The next result of what was sent, waiting no longer than the deadline; null when there is
  // none left, or with FTimedOut set when the server did not answer in time.
  TResultPtr Next(TClock::time_point deadline) {
    while (FConn && PQisBusy(FConn)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
      if (left <= 0) {
        FTimedOut = true;
        return Result(nullptr);
      }
      pollfd wait{PQsocket(FConn), POLLIN, 0};
      const int ready = poll(&wait, 1, static_cast<int>(std::min<long long>(left, 1000)));
      if (ready < 0 && errno != EINTR) break;
      if (ready > 0 && !PQconsumeInput(FConn)) break;  // the connection broke
    }
    return Result(FConn ? PQgetResult(FConn) : nullptr);
  }

  // Sends one command and waits for it: its first failed result, else its last one; null when it
  // could not be sent or the server did not answer by the deadline (FTimedOut).
  TResultPtr Exec(const std::string& sql, TClock::time_point deadline) {
    if (!FConn || !PQsendQuery(FConn, sql.c_str())) return Result(nullptr);
    return Collect(deadline);
  }
  TResultPtr Collect(TClock::time_point deadline) {
    TResultPtr kept = Result(nullptr);
    for (TResultPtr r = Next(deadline); r; r = Next(deadline)) {
      const ExecStatusType status = PQresultStatus(kept.get());
      if (kept && (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE)) continue;
      kept = std::move(r);
    }
    return FTimedOut ? Result(nullptr) : std::move(kept);
  }

  static bool Is(const TResultPtr& r, ExecStatusType status) {
    return r && PQresultStatus(r.get()) == status;
  }

  bool Connect(std::string& error) {
    if (FConn && PQstatus(FConn) == CONNECTION_OK) return true;
    Close();
    FTimedOut = false;
    // Defaults first: what the connection text says overrides them; the encoding is ours. The
    // TCP settings find a link gone quiet: keepalives while waiting, tcp_user_timeout while
    // sending, both within the call's bound.
    const std::string application = F.ApplicationName;
    const std::string userTimeout = std::to_string(Busy() + kCallMarginMs);
    const char* keys[] = {"connect_timeout",     "application_name",
                          "keepalives",          "keepalives_idle",
                          "keepalives_interval", "keepalives_count",
                          "tcp_user_timeout",    "dbname",
                          "client_encoding",     nullptr};
    const char* values[] = {"5",
                            application.c_str(),
                            "1",
                            "5",
                            "1",
                            "3",
                            userTimeout.c_str(),
                            F.Connection.c_str(),
                            "UTF8",
                            nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    const std::string where = "cannot connect to " + Shown();
    if (!conn) {
      error = where + ": out of memory";
      return false;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
      const char* said = PQerrorMessage(conn);
      error = where + ": " + PostgresConnectFailure(FSecrets.Masked(said ? said : ""));
      PQfinish(conn);
      return false;
    }
    FConn = conn;
    if (PQserverVersion(conn) < 100000) {
      const char* version = PQparameterStatus(conn, "server_version");
      error = where + ": the server is PostgreSQL " + (version ? version : "(unknown version)") +
              "; the till needs version 10 or later";
      Close();
      return false;
    }
    const char* encoding = PQparameterStatus(conn, "server_encoding");
    if (!encoding || std::string(encoding) != "UTF8") {
      error = where + ": the database is encoded " + (encoding ? encoding : "(unknown)") +
              ", not UTF8 (create it with ENCODING 'UTF8')";
      Close();
      return false;
    }
    // The session's settings are the till's, whatever the database or role says: its clock
    // (GETDATE() as the module's own time stamps), dates and intervals in ISO form, floats
    // with every digit, the lock wait and the statement bound. Notices ("already exists,
    // skipping") are no news for a till: only warnings reach stderr.
    const auto deadline = TClock::now() + std::chrono::milliseconds(Busy() + kCallMarginMs);
    const std::string setup =
        "SET standard_conforming_strings = on; SET client_min_messages = warning; "
        "SET DateStyle = 'ISO, MDY'; SET IntervalStyle = 'postgres'; "
        "SET extra_float_digits = 3; SET lock_timeout = '" +
        std::to_string(Busy()) + "ms'; SET statement_timeout = '" +
        std::to_string(Busy() + kStatementMarginMs) + "ms'";
    // The zone by its name, in the same round trip; a zone the server does not know by that
    // name is given as the till's present offset (a failed SET undoes the whole text).
    const std::string zone = TillZoneName();
    TResultPtr set = Result(nullptr);
    if (!zone.empty()) set = Exec(setup + "; SET TimeZone = " + SqlStringLiteral(zone), deadline);
    if (!Is(set, PGRES_COMMAND_OK) && !FTimedOut && !Gone())
      set = Exec(setup + "; SET TIME ZONE " + TillZoneOffset(), deadline);
    if (!Is(set, PGRES_COMMAND_OK)) {
      error = where + ": cannot set up the session (time zone " +
              (zone.empty() ? TillZoneOffset() : zone) +
              "): " + (FTimedOut ? std::string("no answer in time") : ConnectionMessage());
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
    if (std::string why; !PrepareFixedCommands(deadline, why)) {
      error = where + ": cannot prepare the transaction commands: " + why;
      Close();
      return false;
    }
    return true;
  }

  // The fixed commands prepared on the new connection, in one round trip.
  bool PrepareFixedCommands(TClock::time_point deadline, std::string& why) {
    bool sent = PQenterPipelineMode(FConn);
    for (const TFixedCommand& command : kFixedCommands)
      sent = sent && PQsendPrepare(FConn, command.Name, command.Text, 0, nullptr);
    if (!sent || !PQpipelineSync(FConn)) {
      why = ConnectionMessage();
      return false;
    }
    for (int nothing = 0; nothing < 2;) {
      TResultPtr r = Next(deadline);
      if (FTimedOut || (!r && Gone())) {
        why = FTimedOut ? "no answer in time" : ConnectionMessage();
        return false;
      }
      if (!r) {
        ++nothing;
        continue;
      }
      nothing = 0;
      if (PQresultStatus(r.get()) == PGRES_PIPELINE_SYNC) break;
      if (PQresultStatus(r.get()) != PGRES_COMMAND_OK && why.empty())
        why = Message(PQresultErrorMessage(r.get()));
    }
    if (!LeavePipeline() && why.empty()) why = "the connection is not ready for the next call";
    return why.empty();
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
      const auto deadline = TClock::now() + std::chrono::milliseconds(Busy() + kCallMarginMs);
      TResultPtr r = Result(nullptr);
      if (PQsendQueryParams(
              FConn,
              "SELECT attname FROM pg_attribute WHERE attrelid = to_regclass($1) AND attnum > 0 "
              "AND NOT attisdropped AND attidentity <> '' ORDER BY attnum LIMIT 1",
              1, nullptr, params, nullptr, nullptr, 0))
        r = Collect(deadline);
      if (Is(r, PGRES_TUPLES_OK)) {
        if (PQntuples(r.get()) == 0) {
          error = "SCOPE_IDENTITY(): the table " + table + " has no identity column";
          return false;
        }
        column = PQgetvalue(r.get(), 0, 0);
        FIdentities[table] = column;
        return true;
      }
      if (FTimedOut || !Gone()) break;
      Close();  // a lost connection: nothing ran, open it anew once
    }
    error = "cannot read the identity column of " + table + ": " +
            (FTimedOut ? "no answer from the server in time" : ConnectionMessage());
    if (FTimedOut) Close();
    return false;
  }

  // One run of the call. Gone: nothing was committed, so it may run again.
  //
  // The whole call goes to the server at once, in one round trip, each statement a command of
  // its own in libpq's pipeline: the transaction's opening, the call's statements, for a write
  // its transaction's id (what to ask the server about should the commit's answer be lost), a
  // synchronisation point, then COMMIT and a second one. The server runs the commands up to the
  // first error and skips the rest up to the synchronisation point, leaving the transaction
  // failed, and the COMMIT that follows rolls it back: a failed call needs no second trip. The
  // synchronisation point also makes the server send all it has before it starts the COMMIT.
  TOutcome Attempt(const std::string& sent, bool write, std::vector<TKeptResult>& kept, TDBRun& run,
                   std::string& state) {
    if (!Connect(run.Error)) return TOutcome::Failed;
    std::vector<TCommand> commands{TCommand(write ? kBegin : kBeginRead)};
    if (write && ContainsWord(sent, "CREATE TABLE")) commands.emplace_back(kTableLock);
    const size_t opening = commands.size();  // results before the call's own
    for (std::string& statement : SqlStatements(sent)) {
      // The till's own fixed queries go by their prepared name.
      if (statement == kTableList.Text)
        commands.emplace_back(kTableList);
      else
        commands.emplace_back(std::move(statement));
    }
    const size_t statements = commands.size() - opening;
    if (write) commands.emplace_back(kTransactionId);
    const size_t id = write ? commands.size() - 1 : commands.size();  // where the id comes back
    const size_t commit = commands.size() + 1;                        // after the first sync
    const size_t expected = commit + 2;

    if (!PQenterPipelineMode(FConn)) return Unsent(run, state);
    for (const TCommand& command : commands)
      if (!Send(command)) return Unsent(run, state);
    if (!PQpipelineSync(FConn)) return Unsent(run, state);
    if (!Send(TCommand(kCommit)) || !PQpipelineSync(FConn)) {
      // The COMMIT may have gone out in part or whole: it is not sent again.
      run.Unknown = write;
      run.Error = "cannot send the call to " + Shown() + ": " + ConnectionMessage() +
                  (write ? ": the outcome is unknown: the call may or may not have taken "
                           "effect, and it is not run again"
                         : "");
      Close();
      return TOutcome::Failed;
    }

    // Every result in the order of the commands (the synchronisation points' among them), up
    // to the last, the first failure of the connection, or the bound.
    std::vector<TResultPtr> results;
    for (int nothing = 0; results.size() < expected && nothing < 2;) {
      TResultPtr r = Next(FDeadline);
      if (FTimedOut) break;
      if (!r) {
        if (Gone()) break;
        ++nothing;  // the end of one command's results; twice in a row: nothing more is coming
        continue;
      }
      nothing = 0;
      results.push_back(std::move(r));
      if (Gone()) break;
    }
    // Whether the answers stopped short: the bound passed, the connection gone, or (never seen)
    // libpq having nothing more to give.
    const bool lost = FTimedOut || Gone() || results.size() < expected || !LeavePipeline();

    size_t failed = 0;  // the first failed command's result
    while (failed < results.size() && !Failure(results[failed].get())) ++failed;
    const bool idCame = write && failed > id && results.size() > id;
    std::string xid;
    if (idCame) {
      const PGresult* r = results[id].get();
      if (PQntuples(r) == 1 && PQnfields(r) == 1 && !PQgetisnull(r, 0, 0))
        xid = PQgetvalue(r, 0, 0);
    }

    if (failed <= commit && failed < results.size() && SqlState(results[failed].get()) == "26000" &&
        (failed == commit || (failed < commands.size() && commands[failed].Prepared))) {
      // A prepared command the server no longer holds (a pooler in front of it may have handed
      // the till another session): nothing ran past it, and a new connection prepares anew.
      run.Error = "the server no longer holds the till's prepared commands: " +
                  Message(PQresultErrorMessage(results[failed].get()));
      state.clear();
      Close();
      return TOutcome::Gone;
    }
    if (failed < commit && failed < results.size()) {
      // A command of the transaction failed, so the COMMIT cannot have committed anything.
      const int number = failed < opening || failed >= opening + statements
                             ? 0
                             : static_cast<int>(failed - opening + 1);
      return Broken(run, state, results[failed].get(), number);
    }
    // The statements' rows and counts, for a commit that stands (its answer may yet be lost).
    for (size_t i = opening; i < std::min(opening + statements, results.size()); ++i) {
      PGresult* r = results[i].get();
      const std::string command = PQcmdStatus(r);
      if (StartsWith(command, "INSERT") || StartsWith(command, "UPDATE") ||
          StartsWith(command, "DELETE") || StartsWith(command, "MERGE"))
        run.Changed += atoll(PQcmdTuples(r));
      if (PQresultStatus(r) == PGRES_TUPLES_OK && PQnfields(r) > 0) {
        TKeptResult& result = kept.emplace_back();
        const int columns = PQnfields(r);
        for (int c = 0; c < columns; ++c) result.Columns.emplace_back(PQfname(r, c));
        for (int row = 0; row < PQntuples(r); ++row) {
          std::vector<TDBCell>& cells = result.Rows.emplace_back();
          for (int c = 0; c < columns; ++c) cells.push_back(CellOf(r, row, c));
        }
      }
    }
    const bool committed = results.size() > commit && failed > commit &&
                           StartsWith(PQcmdStatus(results[commit].get()), "COMMIT");
    if (!committed) {
      if (!write)
        return Broken(run, state, results.size() > commit ? results[commit].get() : nullptr, 0);
      if (!idCame) {
        // The answers stopped before the transaction's id. The server sends all it has at the
        // synchronisation point, the id among it, before it starts the COMMIT, and the
        // connection keeps that order: a stream that ended (the server's last message, or the
        // connection closed) before the id ended before the COMMIT began, and libpq reports
        // that end as a failed result, handled above: nothing committed. Answers that simply
        // stopped (no answer within the bound) tell nothing: the server may yet commit, and
        // what became of a transaction whose id is not known cannot be asked.
        run.Unknown = true;
        run.Error = (FTimedOut ? "no answer from " + Shown() + " within the call's bound (" +
                                     std::to_string(Busy() + kCallMarginMs) +
                                     " ms: the busy time and a margin); the connection is given up"
                               : "the answers from " + Shown() + " stopped short") +
                    ": the outcome is unknown (the COMMIT went with the statements and the "
                    "transaction's id never came back): the call may or may not have taken "
                    "effect, and it is not run again";
        Close();
        return TOutcome::Failed;
      }
      // The COMMIT's answer was lost, or the COMMIT failed.
      if (lost) return Resolve(xid, run);
      return Broken(run, state, results[commit].get(), 0);
    }

    if (lost) Close();  // committed, but the connection cannot take the next call
    return TOutcome::Done;
  }

  bool Send(const TCommand& command) {
    if (command.Prepared)
      return PQsendQueryPrepared(FConn, command.Prepared, 0, nullptr, nullptr, nullptr, 0);
    return PQsendQueryParams(FConn, command.Text.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
  }

  static bool Failure(const PGresult* r) {
    const ExecStatusType status = PQresultStatus(r);
    return status == PGRES_FATAL_ERROR || status == PGRES_NONFATAL_ERROR ||
           status == PGRES_BAD_RESPONSE;
  }

  // A call that could not be handed over before its COMMIT: nothing of it can commit.
  TOutcome Unsent(TDBRun& run, std::string& state) {
    state.clear();
    run.Error = "cannot send the call to " + Shown() + ": " + ConnectionMessage();
    Close();
    return TOutcome::Gone;
  }

  // Back to one command at a time, every result read; false when the connection is not ready
  // for that (the caller gives it up).
  bool LeavePipeline() {
    if (!FConn) return false;
    for (int i = 0; i < 2 && PQpipelineStatus(FConn) != PQ_PIPELINE_OFF; ++i)
      if (!PQexitPipelineMode(FConn)) Result(PQgetResult(FConn));
    return PQpipelineStatus(FConn) == PQ_PIPELINE_OFF;
  }

  // The commit was sent and its answer lost: what became of the transaction, asked on a new
  // connection. Committed: the call is done. Rolled back, or it wrote nothing: as if the
  // connection had broken before the commit. Otherwise the outcome is unknown, and the call is
  // failed without being run again.
  TOutcome Resolve(const std::string& xid, TDBRun& run) {
    const std::string lost = "the connection to " + Shown() +
                             (FTimedOut ? " gave no answer to the commit in time"
                                        : " was lost before the commit was answered");
    Close();
    if (xid.empty()) {
      run.Error = lost + " (the call had written nothing)";
      return TOutcome::Gone;
    }
    FDeadline = TClock::now() + std::chrono::milliseconds(kResolveMs);
    std::string why = "the server cannot be asked";
    std::string connectError;
    while (Connect(connectError)) {
      TResultPtr status = Exec("SELECT txid_status(" + xid + ")", FDeadline);
      if (!Is(status, PGRES_TUPLES_OK) || PQntuples(status.get()) != 1) {
        why = "the server cannot tell: " +
              (FTimedOut ? std::string("no answer in time") : ConnectionMessage());
        break;
      }
      const std::string said =
          PQgetisnull(status.get(), 0, 0) ? "" : PQgetvalue(status.get(), 0, 0);
      if (said == "committed") {
        run.Note = lost + "; the server says transaction " + xid + " committed";
        return TOutcome::Done;
      }
      if (said == "aborted") {
        run.Error = lost + "; the server says transaction " + xid + " was rolled back";
        return TOutcome::Gone;
      }
      why = said.empty() ? "the server no longer knows transaction " + xid
                         : "transaction " + xid + " is still " + said;
      if (said != "in progress" || TClock::now() + std::chrono::milliseconds(50) >= FDeadline)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!connectError.empty()) why += ": " + connectError;
    run.Unknown = true;
    run.Error = lost + ": the outcome is unknown (" + why +
                "): the call may or may not have taken effect, and it is not run again";
    Close();
    return TOutcome::Failed;
  }

  // A failed attempt: rolled back (the server does so itself when the connection is gone).
  TOutcome Broken(TDBRun& run, std::string& state, const PGresult* result, int number) {
    if (FTimedOut) {
      run.Error = "no answer from " + Shown() + " within the call's bound (" +
                  std::to_string(Busy() + kCallMarginMs) +
                  " ms: the busy time and a margin); the connection is given up";
      Close();
      return TOutcome::Failed;
    }
    state = SqlState(result);
    // One line: the server's primary message and its detail, else the connection's message.
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const char* detail = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL) : nullptr;
    std::string message = primary ? Message(primary) : ConnectionMessage();
    if (detail) message += ": " + Message(detail);
    if (!state.empty()) message += " (SQLSTATE " + state + ")";
    if (number > 1) message = "statement " + std::to_string(number) + ": " + message;
    run.Error = message;
    if (Gone() || StartsWith(state, "08")) {
      run.Error = "the connection to " + Shown() + " failed: " + message;
      return TOutcome::Gone;
    }
    if (PQpipelineStatus(FConn) != PQ_PIPELINE_OFF) {
      Close();  // not read to its end: given up, and the server rolls back
    } else if (PQtransactionStatus(FConn) != PQTRANS_IDLE) {
      TResultPtr rollback = Exec("ROLLBACK", FDeadline);
      if (FTimedOut) Close();
    }
    return TOutcome::Failed;
  }

  static void Deliver(std::vector<TKeptResult>& kept, TDBSink* sink) {
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
  TConnectionSecrets FSecrets;
  PGconn* FConn = nullptr;
  std::map<std::string, std::string> FIdentities;
  TClock::time_point FDeadline = TClock::now();
  bool FTimedOut = false;
};

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
  return TConnectionSecrets(text).Shown();
}

std::string PostgresConnectFailure(const std::string& libpqMessage) {
  // The texts libpq and the server write for each case, and what a store's IT checks for it.
  static constexpr std::pair<const char*, const char*> kAdvice[] = {
      {"no pg_hba.conf entry",
       "the server lets no such user into that database from this machine: check the database "
       "and user names in --db, then the server's pg_hba.conf"},
      {"no password supplied",
       "the server asks for a password and none was found: check that PGPASSFILE (or ~/.pgpass "
       "of the till's user) exists, is mode 0600 and has a line for this host, port, database "
       "and user"},
      {"password authentication failed",
       "the server refused the password: check the line for this host, port, database and user "
       "in PGPASSFILE or ~/.pgpass"},
      {"authentication failed",
       "the server refused the user: check the user name in --db and the server's pg_hba.conf"},
      {"Connection refused",
       "nothing answers at that host and port: check the host and port in --db, and that "
       "PostgreSQL runs there (systemctl status postgresql, pg_lsclusters)"},
      {"No such file or directory",
       "no server socket in that folder: check host= in --db, and that PostgreSQL runs on this "
       "machine (systemctl status postgresql, pg_lsclusters)"},
      {"could not translate host name",
       "the host name is unknown: check the host in --db and this machine's name service (DNS, "
       "/etc/hosts)"},
      {"does not exist",
       "no such database or role on that server: check the names in --db (psql -l lists the "
       "databases), or create it as docs/operations.md says"},
      {"timeout expired",
       "the server did not answer within 5 s: check the host, the network and the firewall"},
  };
  std::string advice;
  for (const auto& [text, what] : kAdvice)
    if (libpqMessage.find(text) != std::string::npos) {
      advice = what;
      break;
    }
  std::vector<std::string> lines;
  for (size_t at = 0; at <= libpqMessage.size();) {
    size_t end = libpqMessage.find('\n', at);
    if (end == std::string::npos) end = libpqMessage.size();
    const std::string line = Trimmed(libpqMessage.substr(at, end - at).c_str());
    if (!line.empty()) lines.push_back(line);
    at = end + 1;
  }
  std::string out = advice;
  for (size_t i = 0; i < lines.size(); ++i) out += (out.empty() ? "" : "\n  ") + lines[i];
  return out;
}

std::string MaskedParseError(const std::string& connection, const std::string& libpqMessage) {
  std::string text = libpqMessage;
  for (size_t open = text.find('"'); open != std::string::npos;) {
    const size_t close = text.find('"', open + 1);
    if (close == std::string::npos) break;
    const std::string quoted = text.substr(open + 1, close - open - 1);
    // A piece of the text, not the punctuation libpq misses ("="), nor the name of an option as
    // written before its "=" (a mistyped name is what the reader needs to see).
    const bool word = std::any_of(quoted.begin(), quoted.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c));
    });
    bool name = false;
    for (size_t at = connection.find(quoted + "="); at != std::string::npos && !name;
         at = connection.find(quoted + "=", at + 1))
      name = at == 0 || std::isspace(static_cast<unsigned char>(connection[at - 1])) ||
             connection[at - 1] == '?' || connection[at - 1] == '&';
    if (word && !name && connection.find(quoted) != std::string::npos) {
      text.replace(open + 1, quoted.size(), "***");
      open = text.find('"', open + 5);
    } else {
      open = text.find('"', close + 1);
    }
  }
  return TConnectionSecrets(connection).Masked(Trimmed(text.c_str()));
}

namespace {

constexpr const char* kMask = "***";

bool IsSecretKey(std::string_view key) { return key == "password" || key == "sslpassword"; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A URI part with its %XX tokens decoded; false when a token is malformed.
bool PercentDecoded(std::string_view raw, std::string& out) {
  out.clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '%') {
      out += raw[i];
      continue;
    }
    const int high = i + 2 < raw.size() ? HexDigit(raw[i + 1]) : -1;
    const int low = i + 2 < raw.size() ? HexDigit(raw[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

}  // namespace

TConnectionSecrets::TConnectionSecrets(const std::string& text) {
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(text.c_str(), &message);
  const bool parsed = options != nullptr;
  for (PQconninfoOption* o = options; o && o->keyword; ++o)
    if (IsSecretKey(o->keyword) && o->val && *o->val) FSecrets.emplace_back(o->val);
  if (options) PQconninfoFree(options);
  if (message) PQfreemem(message);

  auto secret = [this](std::string_view raw) {
    if (raw.empty()) return;
    FSecrets.emplace_back(raw);
    std::string decoded;
    if (PercentDecoded(raw, decoded) && !decoded.empty()) FSecrets.push_back(decoded);
  };
  const size_t scheme = text.find("://");
  if (scheme != std::string::npos &&
      (StartsWith(text, "postgresql://") || StartsWith(text, "postgres://"))) {
    // As libpq reads a URI: user[:password]@ before the first '/', parameters after the first
    // '?' that follows. A text libpq cannot read hides its whole user part and every parameter.
    const size_t from = scheme + 3;
    size_t at = parsed ? text.find_first_of("@/", from) : text.rfind('@');
    if (at != std::string::npos && (at < from || text[at] != '@')) at = std::string::npos;
    size_t query = text.find('?', at == std::string::npos ? from : at + 1);
    FShown = text.substr(0, from);
    if (at != std::string::npos) {
      const std::string_view user = std::string_view(text).substr(from, at - from);
      const size_t colon = user.find(':');
      if (!parsed) {
        secret(user);
        FShown += kMask;
      } else {
        FShown += user.substr(0, colon);
        if (colon != std::string_view::npos) FShown += std::string(":") + kMask;
      }
      if (colon != std::string_view::npos) secret(user.substr(colon + 1));
      FShown += '@';
    }
    const size_t hostFrom = at == std::string::npos ? from : at + 1;
    FShown.append(text, hostFrom, (query == std::string::npos ? text.size() : query) - hostFrom);
    while (query != std::string::npos) {
      const size_t next = text.find('&', query + 1);
      const std::string_view pair = std::string_view(text).substr(
          query + 1, (next == std::string::npos ? text.size() : next) - query - 1);
      const size_t eq = pair.find('=');
      std::string key;
      const bool plain = PercentDecoded(pair.substr(0, eq), key);
      FShown += text[query];
      if (eq == std::string_view::npos) {
        FShown += pair;
      } else if (!parsed || !plain || IsSecretKey(key)) {
        FShown += std::string(pair.substr(0, eq + 1)) + kMask;
        secret(pair.substr(eq + 1));
      } else {
        FShown += pair;
      }
      query = next;
    }
  } else {
    // key = value pairs as libpq reads them: a value in single quotes or up to the next blank,
    // a backslash taking the character after it as it is.
    size_t i = 0;
    while (i < text.size()) {
      if (std::isspace(static_cast<unsigned char>(text[i]))) {
        FShown += text[i++];
        continue;
      }
      const size_t key = i;
      while (i < text.size() && text[i] != '=' &&
             !std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
      const std::string name = text.substr(key, i - key);
      size_t eq = i;
      while (eq < text.size() && std::isspace(static_cast<unsigned char>(text[eq]))) ++eq;
      if (eq >= text.size() || text[eq] != '=') {
        // A word without "=" in a text libpq cannot read may be a value whose key is missing or
        // mistyped ("password s3cret"): hidden like every value of such a text.
        if (parsed) {
          FShown += text.substr(key, eq - key);
        } else {
          FShown += kMask + text.substr(i, eq - i);
          FSecrets.push_back(text.substr(key, i - key));
        }
        i = eq;
        continue;
      }
      size_t value = eq + 1;
      while (value < text.size() && std::isspace(static_cast<unsigned char>(text[value]))) ++value;
      size_t end = value;
      const bool quoted = end < text.size() && text[end] == '\'';
      if (quoted) ++end;
      for (; end < text.size(); ++end) {
        if (text[end] == '\\') {
          ++end;
          continue;
        }
        if (quoted ? text[end] == '\'' : std::isspace(static_cast<unsigned char>(text[end]))) break;
      }
      if (quoted && end < text.size()) ++end;
      end = std::min(end, text.size());
      FShown += text.substr(key, value - key);
      if (IsSecretKey(name) || !parsed) {
        FShown += IsSecretKey(name) ? kMask : text.substr(value, end - value);
        if (IsSecretKey(name)) FSecrets.push_back(text.substr(value, end - value));
      } else {
        FShown += text.substr(value, end - value);
      }
      i = end;
    }
  }
  // Longest first, so that a secret holding another is hidden whole.
  std::sort(FSecrets.begin(), FSecrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  FSecrets.erase(std::unique(FSecrets.begin(), FSecrets.end()), FSecrets.end());
}

std::string TConnectionSecrets::Masked(std::string text) const {
  for (const std::string& secret : FSecrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + strlen(kMask))) {
      text.replace(at, secret.size(), kMask);
    }
  }
  return text;
}
