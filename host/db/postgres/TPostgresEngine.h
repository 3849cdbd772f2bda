// The till's database on a PostgreSQL server, through libpq. What a user sees of it (the
// connection text, the server it needs, the session's settings, the time-outs, what a lost
// commit comes to) is README.md's "A store with several tills"; here is how it is done.
//
// One connection per service, opened at the first call and kept. A call's bound is the till's own
// (the busy time plus kCallMarginMs from the call's start, then the connection is given up); the
// server's lock_timeout and statement_timeout, and the link's keepalives and tcp_user_timeout,
// end it earlier where they can, so the till rarely has to.
//
// A call's opening, statements (one command each), transaction id and COMMIT go to the server
// together (libpq's pipeline mode). A read of one statement runs READ COMMITTED: one statement
// sees one snapshot at either level, so it reads the same rows, and the server keeps no
// serializable bookkeeping for it; a read of several statements, and every write, runs
// SERIALIZABLE. Results reach the sink only after the commit, so a call run again never hands rows
// twice. A serialization failure or deadlock (40001, 40P01) runs it again until the busy time is
// spent. A call whose connection ended before its transaction's id came back cannot have
// committed (the server sends the id before it starts the COMMIT): the connection is opened anew
// once and the call runs again, its trace noting why. A write whose answers simply stopped before
// the id is not run again: its COMMIT may be on its way. A commit whose answer is lost is never run
// again: the id is asked after on a new connection (PostgresLostCommit); committed is success,
// rolled back is as a connection broken before the commit.
// Creating tables takes one advisory lock, so tills upgrading at once create each table once.
// The commands around a call's own (its opening, the lock, the id, the COMMIT) and the table list
// are the connection's prepared statements (TPostgresConnection).
//
// The engine's parts: TPostgresConnection (the session: connect, set-up, reconnect),
// PostgresCall (one run of a call in one round trip), PostgresLostCommit (what became of a
// commit whose answer was lost), PostgresConnectionText (the connection text: parsing, masking,
// advice), PostgresDialect (the SQL Server text as PostgreSQL runs it).
#pragma once

#include <cstdint>
#include <string>

#include "host/db/TDBEngine.h"

struct TPostgresOptions {
  std::string Connection;  // a postgresql:// or postgres:// URI, or key=value pairs
  int32_t BusyTimeoutMs = 5000;
  std::string ApplicationName = "sarn-till";
};

TDBEnginePtr NewPostgresEngine(const TPostgresOptions& options);
