#include "host/db/TDatabases.h"

#include <unistd.h>

#include "host/db/postgres/TPostgresEngine.h"
#include "host/db/sqlite/TSqliteEngine.h"

std::string DefaultDatabasePath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string folder = ".";
  if (n > 0) {
    const std::string self(path, static_cast<size_t>(n));
    const size_t slash = self.rfind('/');
    if (slash != std::string::npos) folder = self.substr(0, slash);
  }
  return folder + "/sarn-till.db";
}

bool IsServerConnection(const std::string& connection) {
  return IsPostgresConnectionText(connection);
}

std::string ShownConnection(const std::string& connection) {
  return IsPostgresConnectionText(connection) ? MaskedPostgresConnection(connection) : connection;
}

TIntfPtr<TDBScript> NewDBScript(const TDBScriptOptions& options) {
  const int32_t busyMs = options.BusyTimeoutMs;
  const std::string application = options.ApplicationName;
  const bool create = options.CreateFile;
  auto maker = [busyMs, application, create](const std::string& connection) {
    const std::string target = connection.empty() ? DefaultDatabasePath() : connection;
    if (IsPostgresConnectionText(target))
      return NewPostgresEngine(TPostgresOptions{target, busyMs, application});
    return NewSqliteEngine(target, busyMs, create);
  };
  return MakeObject<TDBScript>(options.Connection, maker, options.TracePath);
}

TIntfPtr<IDBScript> RegisterDBScript(IServiceRegistry* registry, const TDBScriptOptions& options) {
  TIntfPtr<TDBScript> db = NewDBScript(options);
  registry->RegisterInstance(IDBScript::IID, db.As<IInterface>().Get());
  return TIntfPtr<IDBScript>(db);
}
