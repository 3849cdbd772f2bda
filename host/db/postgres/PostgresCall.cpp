#include "host/db/postgres/PostgresCall.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "host/db/postgres/PostgresLostCommit.h"
#include "host/db/sql/SqlText.h"

namespace {

// The server's numbers of the types a cell is read by (pg_type's oid, fixed for built-in types).
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kNumericOid = 1700;

// SQLSTATEs the call reads.
constexpr const char* kInvalidStatementName = "26000";  // a prepared command the session lacks
constexpr const char* kConnectionClass = "08";          // connection exceptions

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

std::string SqlState(const PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

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
    case kBoolOid:  // as SQL Server's BIT reads
      cell.Kind = TDBCell::TKind::Integer;
      cell.Text = value[0] == 't' ? "1" : "0";
      break;
    case kInt8Oid:
    case kInt2Oid:
    case kInt4Oid:
      cell.Kind = TDBCell::TKind::Integer;
      cell.Text.assign(value, size);
      break;
    case kFloat4Oid:
    case kFloat8Oid:
      cell.Kind = TDBCell::TKind::Float;
      cell.Text = FloatText(value, size);
      break;
    case kNumericOid:  // its exact digits
      cell.Kind = TDBCell::TKind::Float;
      cell.Text.assign(value, size);
      break;
    default:
      cell.Kind = TDBCell::TKind::Textual;
      cell.Text.assign(value, size);
  }
  return cell;
}

bool Failure(const PGresult* r) {
  const ExecStatusType status = PQresultStatus(r);
  return status == PGRES_FATAL_ERROR || status == PGRES_NONFATAL_ERROR ||
         status == PGRES_BAD_RESPONSE;
}

bool Send(PGconn* conn, const TCallStep& step) {
  if (step.Kind == TCallStepKind::Sync || step.Kind == TCallStepKind::CommitSync)
    return PQpipelineSync(conn);
  if (step.Prepared)
    return PQsendQueryPrepared(conn, step.Prepared, 0, nullptr, nullptr, nullptr, 0);
  return PQsendQueryParams(conn, step.Text.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
}

std::string CannotSend(const TPostgresConnection& connection) {
  return "cannot send the call to " + connection.Shown() + ": " + connection.ConnectionMessage();
}

// A call that could not be handed over before its COMMIT: nothing of it can commit.
TCallOutcome Unsent(TPostgresConnection& connection, TDBRun& run, std::string& state) {
  state.clear();
  run.Error = CannotSend(connection);
  connection.Close();
  return TCallOutcome::Gone;
}

// A failed attempt: rolled back (the server does so itself when the connection is gone).
TCallOutcome Broken(TPostgresConnection& connection, TPgClock::time_point deadline, TDBRun& run,
                    std::string& state, const PGresult* result, int number) {
  if (connection.TimedOut()) {
    run.Error = connection.NoAnswerWithinBound();
    connection.Close();
    return TCallOutcome::Failed;
  }
  state = SqlState(result);
  // One line: the server's primary message and its detail, else the connection's message.
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char* detail = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL) : nullptr;
  std::string message = primary ? connection.Message(primary) : connection.ConnectionMessage();
  if (detail) message += ": " + connection.Message(detail);
  if (!state.empty()) message += " (SQLSTATE " + state + ")";
  if (number > 1) message = "statement " + std::to_string(number) + ": " + message;
  run.Error = message;
  if (connection.Gone() || StartsWith(state, kConnectionClass)) {
    run.Error = "the connection to " + connection.Shown() + " failed: " + message;
    return TCallOutcome::Gone;
  }
  PGconn* conn = connection.Conn();
  if (PQpipelineStatus(conn) != PQ_PIPELINE_OFF) {
    connection.Close();  // not read to its end: given up, and the server rolls back
  } else if (PQtransactionStatus(conn) != PQTRANS_IDLE) {
    TPgResultPtr rollback = connection.Exec("ROLLBACK", deadline);
    if (connection.TimedOut()) connection.Close();
  }
  return TCallOutcome::Failed;
}

}  // namespace

TCallPlan::TCallPlan(const std::string& sent, bool write) {
  std::vector<std::string> statements = SqlStatements(sent);
  FStatements = statements.size();
  // A read of one statement sees one snapshot at any level; several statements, and every
  // write, keep serializable isolation (see TPostgresEngine.h).
  Add(TCallStepKind::Opening, write ? kBegin : FStatements == 1 ? kBeginReadOne : kBeginRead);
  if (write && ContainsWord(sent, "CREATE TABLE")) Add(TCallStepKind::TableLock, kTableLock);
  int number = 0;
  for (std::string& statement : statements) {
    TCallStep& step =
        FSteps.emplace_back(TCallStep{TCallStepKind::Statement, {}, nullptr, ++number});
    // The till's own fixed queries go by their prepared name.
    if (statement == kTableList.Text) {
      step.Text = kTableList.Text;
      step.Prepared = kTableList.Name;
    } else {
      step.Text = std::move(statement);
    }
  }
  if (write) Add(TCallStepKind::TransactionId, kTransactionId);
  FSteps.push_back(TCallStep{TCallStepKind::Sync, {}, nullptr, 0});
  Add(TCallStepKind::Commit, kCommit);
  FSteps.push_back(TCallStep{TCallStepKind::CommitSync, {}, nullptr, 0});
}

void TCallPlan::Add(TCallStepKind kind, const TFixedCommand& command) {
  FSteps.push_back(TCallStep{kind, command.Text, command.Name, 0});
}

size_t TCallPlan::Position(TCallStepKind kind) const {
  for (size_t i = 0; i < FSteps.size(); ++i)
    if (FSteps[i].Kind == kind) return i;
  return std::string::npos;
}

TCallOutcome RunPostgresCall(TPostgresConnection& connection, const TCallPlan& plan, bool write,
                             TPgClock::time_point deadline, std::vector<TKeptResult>& kept,
                             TDBRun& run, std::string& state) {
  if (!connection.Connect(run.Error)) return TCallOutcome::Failed;
  PGconn* conn = connection.Conn();
  const std::vector<TCallStep>& steps = plan.Steps();
  const size_t id = plan.Position(TCallStepKind::TransactionId);  // npos for a read
  const size_t commit = plan.Position(TCallStepKind::Commit);

  if (!PQenterPipelineMode(conn)) return Unsent(connection, run, state);
  for (size_t i = 0; i < commit; ++i)
    if (!Send(conn, steps[i])) return Unsent(connection, run, state);
  for (size_t i = commit; i < steps.size(); ++i)
    if (!Send(conn, steps[i])) {
      // The COMMIT may have gone out in part or whole: it is not sent again.
      run.Unknown = write;
      run.Error = write ? TPostgresConnection::OutcomeUnknown(CannotSend(connection), "")
                        : CannotSend(connection);
      connection.Close();
      return TCallOutcome::Failed;
    }

  // Every result in the order of the steps (the synchronisation points' among them), up to the
  // last, the first failure of the connection, or the bound.
  std::vector<TPgResultPtr> results;
  for (int nothing = 0; results.size() < steps.size() && nothing < 2;) {
    TPgResultPtr r = connection.Next(deadline);
    if (connection.TimedOut()) break;
    if (!r) {
      if (connection.Gone()) break;
      ++nothing;  // the end of one command's results; twice in a row: nothing more is coming
      continue;
    }
    nothing = 0;
    results.push_back(std::move(r));
    if (connection.Gone()) break;
  }
  // Whether the answers stopped short: the bound passed, the connection gone, or (never seen)
  // libpq having nothing more to give.
  const bool lost = connection.TimedOut() || connection.Gone() || results.size() < steps.size() ||
                    !connection.LeavePipeline();

  size_t failed = 0;  // the first failed step's result
  while (failed < results.size() && !Failure(results[failed].get())) ++failed;
  const bool idCame = id != std::string::npos && failed > id && results.size() > id;
  std::string xid;
  if (idCame) {
    const PGresult* r = results[id].get();
    if (PQntuples(r) == 1 && PQnfields(r) == 1 && !PQgetisnull(r, 0, 0)) xid = PQgetvalue(r, 0, 0);
  }

  if (failed <= commit && failed < results.size() &&
      SqlState(results[failed].get()) == kInvalidStatementName && steps[failed].Prepared) {
    // A prepared command the server no longer holds (a pooler in front of it may have handed
    // the till another session): nothing ran past it, and a new connection prepares anew.
    run.Error = "the server no longer holds the till's prepared commands: " +
                connection.Message(PQresultErrorMessage(results[failed].get()));
    state.clear();
    connection.Close();
    return TCallOutcome::Gone;
  }
  if (failed < commit && failed < results.size())  // nothing can have committed
    return Broken(connection, deadline, run, state, results[failed].get(), steps[failed].Statement);
  // The statements' rows and counts, for a commit that stands (its answer may yet be lost).
  for (size_t i = 0; i < results.size(); ++i) {
    if (steps[i].Kind != TCallStepKind::Statement) continue;
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
  if (committed) {
    if (lost) connection.Close();  // committed, but the connection cannot take the next call
    return TCallOutcome::Done;
  }
  const PGresult* commitResult = results.size() > commit ? results[commit].get() : nullptr;
  if (!write) return Broken(connection, deadline, run, state, commitResult, 0);
  if (!idCame) {
    // The answers stopped before the transaction's id. The server sends all it has at the
    // synchronisation point, the id among it, before it starts the COMMIT, and the connection
    // keeps that order: a stream that ended (the server's last message, or the connection
    // closed) before the id ended before the COMMIT began, and libpq reports that end as a
    // failed result, handled above: nothing committed. Answers that simply stopped (no answer
    // within the bound) tell nothing: the server may yet commit, and what became of a
    // transaction whose id is not known cannot be asked.
    run.Unknown = true;
    run.Error = TPostgresConnection::OutcomeUnknown(
        connection.TimedOut() ? connection.NoAnswerWithinBound()
                              : "the answers from " + connection.Shown() + " stopped short",
        "the COMMIT went with the statements and the transaction's id never came back");
    connection.Close();
    return TCallOutcome::Failed;
  }
  // The COMMIT's answer was lost, or the COMMIT failed.
  if (lost) return ResolveLostCommit(connection, xid, run);
  return Broken(connection, deadline, run, state, commitResult, 0);
}
