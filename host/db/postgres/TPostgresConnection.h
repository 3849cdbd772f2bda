// The engine's one session with the server (see TPostgresEngine.h for what it promises): opened
// with the till's defaults, its settings pinned, the commands around every call prepared; given
// up and opened anew whenever it cannot take the next call. Answers are read within a deadline.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/db/postgres/PostgresConnectionText.h"
#include "host/db/postgres/TPostgresEngine.h"

using TPgClock = std::chrono::steady_clock;
using TPgResultPtr = std::unique_ptr<PGresult, void (*)(PGresult*)>;

inline TPgResultPtr PgResult(PGresult* result) { return TPgResultPtr(result, PQclear); }
inline bool PgResultIs(const TPgResultPtr& r, ExecStatusType status) {
  return r && PQresultStatus(r.get()) == status;
}

// The bound of a call: the server ends a statement at the busy time plus kStatementMarginMs
// (statement_timeout, rolled back by the server itself); the till stops waiting for any answer
// at the busy time plus kCallMarginMs and gives the connection up, so a stopped backend or a link
// gone quiet fails the call instead of holding the till.
inline constexpr int32_t kStatementMarginMs = 1000;
inline constexpr int32_t kCallMarginMs = 2000;
// A commit whose answer was lost is asked after on a new connection, for at most this long.
inline constexpr int32_t kResolveMs = 2000;

// The commands around every call's own, prepared once on each connection: the server parses
// and plans them once rather than in every call.
struct TFixedCommand {
  const char* Name;
  const char* Text;
};
inline constexpr TFixedCommand kBegin{"sarn_begin", "BEGIN ISOLATION LEVEL SERIALIZABLE"};
inline constexpr TFixedCommand kBeginRead{"sarn_begin_read",
                                          "BEGIN ISOLATION LEVEL SERIALIZABLE READ ONLY"};
// A read of one statement: it sees one snapshot at either level, and READ COMMITTED spares the
// server the bookkeeping of serializable reads.
inline constexpr TFixedCommand kBeginReadOne{"sarn_begin_read_one",
                                             "BEGIN ISOLATION LEVEL READ COMMITTED READ ONLY"};
// Catalogue rows are not covered by serializable isolation: two tills creating one table at
// once would collide on them. One lock makes them take turns.
inline constexpr TFixedCommand kTableLock{"sarn_table_lock",
                                          "SELECT pg_advisory_xact_lock(7336014)"};
inline constexpr TFixedCommand kTransactionId{"sarn_transaction_id",
                                              "SELECT txid_current_if_assigned()"};
inline constexpr TFixedCommand kCommit{"sarn_commit", "COMMIT"};
// The base tables of information_schema.tables (ordinary and partitioned, the role may use)
// read from the catalogue itself: the view costs the server several times more to plan.
inline constexpr TFixedCommand kTableList{
    "sarn_table_list",
    "SELECT relname::text AS table_name FROM pg_catalog.pg_class WHERE relnamespace = "
    "to_regnamespace(quote_ident(current_schema())) AND relkind IN ('r', 'p') AND "
    "(pg_has_role(relowner, 'USAGE') OR has_table_privilege(oid, 'SELECT, INSERT, UPDATE, "
    "DELETE, TRUNCATE, REFERENCES, TRIGGER') OR has_any_column_privilege(oid, 'SELECT, "
    "INSERT, UPDATE, REFERENCES')) ORDER BY relname"};
inline constexpr TFixedCommand kFixedCommands[] = {
    kBegin, kBeginRead, kBeginReadOne, kTableLock, kTransactionId, kCommit, kTableList};

// What became of one run of a call. Gone: nothing was committed, so it may run again.
enum class TCallOutcome { Done, Failed, Gone };

class TPostgresConnection {
 public:
  explicit TPostgresConnection(TPostgresOptions options);

  // Open and set up (a session that is open already is kept); false with why, for a person.
  bool Connect(std::string& error);
  void Close();

  PGconn* Conn() const { return FConn.get(); }
  // Whether there is no usable connection (never opened, closed, or broken).
  bool Gone() const { return !FConn || PQstatus(FConn.get()) == CONNECTION_BAD; }
  // Whether the last wait for an answer passed its deadline.
  bool TimedOut() const { return FTimedOut; }
  void ClearTimedOut() { FTimedOut = false; }

  int32_t Busy() const { return F.BusyTimeoutMs > 1 ? F.BusyTimeoutMs : 1; }
  // The deadline of an answer to a call starting now: the busy time and the call's margin.
  TPgClock::time_point CallDeadline() const {
    return TPgClock::now() + std::chrono::milliseconds(Busy() + kCallMarginMs);
  }
  const std::string& Shown() const { return FSecrets.Shown(); }

  // A server or libpq text on one line, its secrets masked.
  std::string Message(const char* text) const { return FSecrets.Masked(OneLine(text)); }
  // The connection's own last message (masked), or "not connected".
  std::string ConnectionMessage() const;

  // The next result of what was sent, waiting no longer than the deadline; null when there is
  // none left, or with TimedOut() when the server did not answer in time.
  TPgResultPtr Next(TPgClock::time_point deadline);
  // Sends one command and waits for it: its first failed result, else its last one; null when it
  // could not be sent or the server did not answer by the deadline (TimedOut()).
  TPgResultPtr Exec(const std::string& sql, TPgClock::time_point deadline);
  TPgResultPtr Collect(TPgClock::time_point deadline);
  // Back to one command at a time, every result read; false when the connection is not ready
  // for that (the caller gives it up).
  bool LeavePipeline();

  // The identity column of a table, as SCOPE_IDENTITY() needs it; kept per connection.
  bool IdentityColumn(const std::string& table, std::string& column, std::string& error);

  // The sentences every failure of a call is told in, made in one place.
  // No answer within the call's bound.
  std::string NoAnswerWithinBound() const;
  // A failure whose outcome is unknown: what happened, why it cannot be told (may be empty).
  static std::string OutcomeUnknown(const std::string& what, const std::string& why);

 private:
  bool PrepareFixedCommands(TPgClock::time_point deadline, std::string& why);

  TPostgresOptions F;
  TConnectionSecrets FSecrets;
  std::unique_ptr<PGconn, void (*)(PGconn*)> FConn{nullptr, PQfinish};
  std::map<std::string, std::string> FIdentities;
  bool FTimedOut = false;
};

// The words for "no answer in time" where a longer sentence has no room for the bound.
inline constexpr const char* kNoAnswerInTime = "no answer in time";
