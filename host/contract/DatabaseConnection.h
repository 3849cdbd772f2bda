// Which engine a connection text names, and the till's DB script service on it:
//  - "postgresql://..." or "postgres://..." (a URI), or key=value pairs ("host=/run/x
//    dbname=store"): a PostgreSQL server (db/postgres/);
//  - anything else: an SQLite file (db/sqlite/), created on first use when CreateFile is set.
#pragma once

#include <string>

#include "host/contract/TDBScript.h"
#include "intf/intfDI.h"

struct TDBScriptOptions {
  std::string Connection;        // database file or server connection; empty: DefaultDatabasePath()
  int32_t BusyTimeoutMs = 5000;  // how long a locked database is waited for before a call fails
  std::string TracePath;         // SQL trace file (JSON lines); empty: no trace
  std::string ApplicationName = "sarn-till";  // how the till names itself to a database server
  bool CreateFile = true;  // a missing SQLite file is made (false: every call fails, saying so)
};

// sarn-till.db beside the running program.
std::string DefaultDatabasePath();

// Whether the connection text names a database server rather than a file.
bool IsServerConnection(const std::string& connection);

// The connection as it may be printed: a server connection's password masked.
std::string ShownConnection(const std::string& connection);

TIntfPtr<TDBScript> NewDBScript(const TDBScriptOptions& options);

// Registers one shared service as the registry's unnamed IDBScript and returns it, for the till's
// own calls.
TIntfPtr<TDBScript> RegisterDBScript(IServiceRegistry* registry, const TDBScriptOptions& options);
