// A commit whose answer was lost: what became of its transaction, asked on a new connection.
// It is never run again: a write that may stand must not be written twice.
#pragma once

#include <string>

#include "host/db/TDBEngine.h"
#include "host/db/postgres/TPostgresConnection.h"

// What the server says of a transaction (txid_status).
enum class TPostgresTransactionStatus {
  Committed,
  Aborted,
  InProgress,
  Forgotten,  // too old for the server to remember, or of another cluster (NULL)
  Unknown,    // a word this till does not know
};

// The status as the server words it; null (no answer) is Forgotten.
TPostgresTransactionStatus TransactionStatusOf(const char* said);

// Committed: Done, with a note for the trace. Rolled back, or the call wrote nothing (xid
// empty): Gone, as a connection broken before the commit. Otherwise Failed with the outcome
// unknown. The connection is closed first: the one the answer was lost on cannot be trusted.
TCallOutcome ResolveLostCommit(TPostgresConnection& connection, const std::string& xid,
                               TDBRun& run);
