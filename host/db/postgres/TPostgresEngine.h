// The till's database on a PostgreSQL server, through libpq.
//
// One connection per service, opened at the first call with a connect time-out (connect_timeout,
// 5 s unless the connection text says otherwise) and kept. The server must be version 10 or later
// and the database UTF8 (bytes that are not UTF-8 are replaced before any statement is sent).
// The session's settings are pinned at connect, whatever the database or role says:
// standard_conforming_strings on (a backslash in a literal is an ordinary character, as in SQL
// Server), TimeZone the till's own zone (so GETDATE() reads as the module's own time stamps, as
// on SQLite), DateStyle 'ISO, MDY', IntervalStyle postgres, extra_float_digits 3.
//
// Every call is bounded. The busy time-out is the lock wait (lock_timeout); the server ends a
// statement at the busy time plus 1 s (statement_timeout); the till waits for no answer longer
// than the busy time plus 2 s from the call's start, then gives the connection up and fails the
// call (a stopped backend, a link gone quiet). TCP keepalives (after 5 s idle, every 1 s, 3
// probes) and tcp_user_timeout (the busy time plus 2 s) find a dead link on their own.
//
// Each call is one transaction in one round trip: its opening, its statements (one command
// each), its transaction's id and its COMMIT go to the server together (libpq's pipeline mode).
// The transaction is SERIALIZABLE, but for a read of one statement, which runs READ COMMITTED:
// one statement sees one snapshot at either level, so it reads the same rows, and the server
// keeps no serializable bookkeeping for it. A read of several statements, and every write, stays
// SERIALIZABLE. Its results reach the sink only after the commit, so a call run again never
// hands rows twice. A serialization failure or deadlock (40001, 40P01) runs it again until the
// busy time-out is spent. A call whose connection ended before its transaction's id came back
// cannot have committed (the server sends the id before it starts the COMMIT): the connection is
// opened anew once and the call runs again, its trace noting why. A write whose answers simply
// stopped before the id (no answer within the bound) fails with its outcome unknown and is not
// run again. A commit whose answer is lost is never run again: the transaction's id is asked
// after on a new connection (txid_status, for up to 2 s more). Committed: the call succeeded.
// Rolled back: as a connection broken before the commit. Otherwise the call fails with its
// outcome unknown.
// Creating tables takes one advisory lock, so tills upgrading at once create each table once.
// The commands around a call's own (its opening, the lock, the id, the COMMIT) and the table list
// are prepared once per connection; a session that no longer holds them (a pooler in front of
// the server may hand the till another) fails nothing: the connection is opened anew, once.
//
// The engine's parts: TPostgresConnection (the session: connect, set-up, reconnect),
// TPostgresCall (one run of a call in one round trip), PostgresLostCommit (what became of a
// commit whose answer was lost), PostgresConnectionText (the connection text: parsing, masking,
// advice), TPostgresDialect (the SQL Server text as PostgreSQL runs it).
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
