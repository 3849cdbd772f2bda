#include "host/db/postgres/PostgresLostCommit.h"

#include <cstring>
#include <thread>

TPostgresTransactionStatus TransactionStatusOf(const char* said) {
  if (!said) return TPostgresTransactionStatus::Forgotten;
  if (strcmp(said, "committed") == 0) return TPostgresTransactionStatus::Committed;
  if (strcmp(said, "aborted") == 0) return TPostgresTransactionStatus::Aborted;
  if (strcmp(said, "in progress") == 0) return TPostgresTransactionStatus::InProgress;
  return TPostgresTransactionStatus::Unknown;
}

TCallOutcome ResolveLostCommit(TPostgresConnection& connection, const std::string& xid,
                               TDBRun& run) {
  const std::string lost = "the connection to " + connection.Shown() +
                           (connection.TimedOut() ? " gave no answer to the commit in time"
                                                  : " was lost before the commit was answered");
  connection.Close();
  if (xid.empty()) {
    run.Error = lost + " (the call had written nothing)";
    return TCallOutcome::Gone;
  }
  constexpr auto kPause = std::chrono::milliseconds(50);
  const auto deadline = TPgClock::now() + std::chrono::milliseconds(kResolveMs);
  std::string why = "the server cannot be asked";
  std::string connectError;
  while (connection.Connect(connectError)) {
    TPgResultPtr status = connection.Exec("SELECT txid_status(" + xid + ")", deadline);
    if (!PgResultIs(status, PGRES_TUPLES_OK) || PQntuples(status.get()) != 1) {
      why = "the server cannot tell: " +
            (connection.TimedOut() ? std::string(kNoAnswerInTime) : connection.ConnectionMessage());
      break;
    }
    const char* said = PQgetisnull(status.get(), 0, 0) ? nullptr : PQgetvalue(status.get(), 0, 0);
    const TPostgresTransactionStatus state = TransactionStatusOf(said);
    if (state == TPostgresTransactionStatus::Committed) {
      run.Note = lost + "; the server says transaction " + xid + " committed";
      return TCallOutcome::Done;
    }
    if (state == TPostgresTransactionStatus::Aborted) {
      run.Error = lost + "; the server says transaction " + xid + " was rolled back";
      return TCallOutcome::Gone;
    }
    why = state == TPostgresTransactionStatus::Forgotten
              ? "the server no longer knows transaction " + xid
              : "transaction " + xid + " is still " + said;
    if (state != TPostgresTransactionStatus::InProgress || TPgClock::now() + kPause >= deadline)
      break;
    std::this_thread::sleep_for(kPause);
  }
  if (!connectError.empty()) why += ": " + connectError;
  run.Unknown = true;
  run.Error = TPostgresConnection::OutcomeUnknown(lost, why);
  connection.Close();
  return TCallOutcome::Failed;
}
