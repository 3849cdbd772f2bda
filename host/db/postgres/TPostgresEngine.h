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
// Each call is one SERIALIZABLE transaction in one round trip: its opening, its statements (one
// command each), its transaction's id and its COMMIT go to the server together (libpq's pipeline
// mode). Its results reach the sink only after the commit, so a call run again never hands rows
// twice. A serialization failure or deadlock (40001, 40P01) runs it again until the busy time-out
// is spent. A call whose connection ended before its transaction's id came back cannot have
// committed (the server sends the id before it starts the COMMIT): the connection is opened anew
// once and the call runs again, its trace noting why. A write whose answers simply stopped before
// the id (no answer within the bound) fails with its outcome unknown and is not run again. A commit
// whose answer is lost is never run again: the transaction's id is asked after on a new connection
// (txid_status, for up to 2 s more). Committed: the call succeeded. Rolled back: as a connection
// broken before the commit. Otherwise the call fails with its outcome unknown.
// Creating tables takes one advisory lock, so tills upgrading at once create each table once.
// The commands around a call's own (its opening, the lock, the id, the COMMIT) and the table list
// are prepared once per connection; a session that no longer holds them (a pooler in front of
// the server may hand the till another) fails nothing: the connection is opened anew, once.
#pragma once

#include <string>
#include <vector>

#include "host/db/TDBEngine.h"
#include "intf/intfPtr.h"

struct TPostgresOptions {
  std::string Connection;  // a postgresql:// or postgres:// URI, or key=value pairs
  int32_t BusyTimeoutMs = 5000;
  std::string ApplicationName = "sarn-till";
};

TIntfPtr<IDBEngine> NewPostgresEngine(const TPostgresOptions& options);

// Whether the text is a PostgreSQL connection (URI or key=value pairs) rather than a file name.
bool IsPostgresConnectionText(const std::string& text);

// The secrets of a connection text: whatever libpq reads from it as password or sslpassword, and
// the text as written for them (percent-encoded, quoted, escaped). Every text that can carry the
// connection, libpq's own messages included, is shown through Masked. A text libpq cannot read
// hides its whole user part and every parameter value of a URI.
class TConnectionSecrets {
 public:
  explicit TConnectionSecrets(const std::string& connection);
  // The connection with the value of each secret key shown as *** (by where it stands: a short
  // password elsewhere in the text is not hunted for, so the text stays readable).
  const std::string& Shown() const { return FShown; }
  // The text with every secret value, wherever it stands, replaced by ***.
  std::string Masked(std::string text) const;

 private:
  std::string FShown;
  std::vector<std::string> FSecrets;
};

// TConnectionSecrets(text).Shown().
std::string MaskedPostgresConnection(const std::string& text);

// Why a connection failed, for a person: one line saying what to check, for the failures a store
// meets (no pg_hba.conf entry, no password, authentication failed, refused, unknown host, no such
// database), then each line of libpq's message (already masked) on a line of its own, indented.
// A message of no known kind keeps its lines apart with no advice before them.
std::string PostgresConnectFailure(const std::string& libpqMessage);

// libpq's reason for not reading a connection text, with every piece of the text it quotes back
// ("...") shown as ***, but for the name of an option written before its "=", and the text's
// secrets masked: a mistyped password is quoted otherwise.
std::string MaskedParseError(const std::string& connection, const std::string& libpqMessage);
