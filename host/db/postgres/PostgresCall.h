// One run of a call on the server, in one round trip (libpq's pipeline mode): the transaction's
// opening, the call's statements (one command each), for a write its transaction's id (what to
// ask the server about should the commit's answer be lost), a synchronisation point, then COMMIT
// and a second one. The server runs the commands up to the first error and skips the rest up to
// the synchronisation point, leaving the transaction failed, and the COMMIT that follows rolls it
// back: a failed call needs no second trip. The synchronisation point also makes the server send
// all it has before it starts the COMMIT.
#pragma once

#include <string>
#include <vector>

#include "host/db/TDBEngine.h"
#include "host/db/postgres/TPostgresConnection.h"

// What the result at one position of a call's answers stands for.
enum class TCallStepKind { Opening, TableLock, Statement, TransactionId, Sync, Commit, CommitSync };

struct TCallStep {
  TCallStepKind Kind;
  std::string Text;                // what is sent ("" for a synchronisation point)
  const char* Prepared = nullptr;  // the prepared command's name, when it is one
  int Statement = 0;               // the statement's number in the call (1, 2, ...), else 0
};

// The commands of one call in the order their results come back, each result's meaning held by
// its step rather than worked out from counts.
class TCallPlan {
 public:
  // sent: the engine's text; write: the call may change rows.
  TCallPlan(const std::string& sent, bool write);

  const std::vector<TCallStep>& Steps() const { return FSteps; }
  // The position of the first step of that kind; npos when the call has none.
  size_t Position(TCallStepKind kind) const;
  size_t Statements() const { return FStatements; }

 private:
  void Add(TCallStepKind kind, const TFixedCommand& command);
  std::vector<TCallStep> FSteps;
  size_t FStatements = 0;
};

// One result of a statement, kept until the commit stands.
struct TKeptResult {
  std::vector<std::string> Columns;
  std::vector<std::vector<TDBCell>> Rows;
};

// Runs the plan once on the connection, answers awaited until deadline. Done: the commit stands,
// kept holds the statements' rows and run their count. Gone: nothing was committed, so it may
// run again. state: the SQLSTATE of a failed statement, for the caller's retry of a
// serialization failure.
TCallOutcome RunPostgresCall(TPostgresConnection& connection, const TCallPlan& plan, bool write,
                             TPgClock::time_point deadline, std::vector<TKeptResult>& kept,
                             TDBRun& run, std::string& state);
