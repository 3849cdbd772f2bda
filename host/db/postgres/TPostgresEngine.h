// The till's database on a PostgreSQL server, through libpq.
//
// One connection per service, opened at the first call with a connect time-out (connect_timeout,
// 5 s unless the connection text says otherwise) and kept. The database must be UTF8 (a text that
// is not valid UTF-8 then fails its one call); standard_conforming_strings is made sure of, so a
// backslash in a literal is an ordinary character, as in SQL Server. The busy time-out is the
// lock wait (lock_timeout).
//
// Each call is one SERIALIZABLE transaction; its results reach the sink only after the commit,
// so a call run again never hands rows twice. A serialization failure or deadlock (40001,
// 40P01) runs it again until the busy time-out is spent. A call whose connection turns out gone
// before the commit was sent cannot have committed: the connection is opened anew once and the
// call runs again. A commit whose answer is lost is reported failed and never run again.
// Creating tables takes one advisory lock, so tills upgrading at once create each table once.
#pragma once

#include <string>

#include "TDBEngine.h"
#include "intfPtr.h"

struct TPostgresOptions {
  std::string Connection;  // a postgresql:// or postgres:// URI, or key=value pairs
  int32_t BusyTimeoutMs = 5000;
  std::string ApplicationName = "sarn-till";
};

TIntfPtr<IDBEngine> NewPostgresEngine(const TPostgresOptions& options);

// Whether the text is a PostgreSQL connection (URI or key=value pairs) rather than a file name.
bool IsPostgresConnectionText(const std::string& text);

// The connection text with every password in it (the URI's user:password@, a password=
// parameter or pair) shown as ***.
std::string MaskedPostgresConnection(const std::string& text);
