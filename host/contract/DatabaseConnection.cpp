#include "host/contract/DatabaseConnection.h"

#include "host/db/postgres/PostgresConnectionText.h"
#include "host/db/postgres/TPostgresEngine.h"
#include "host/db/sqlite/TSqliteEngine.h"
#include "lib/common/PathParts.h"

std::string DefaultDatabasePath() { return FolderOf(ExecutablePath()) + "sarn-till.db"; }

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

TIntfPtr<TDBScript> RegisterDBScript(IServiceRegistry* registry, const TDBScriptOptions& options) {
  TIntfPtr<TDBScript> db = NewDBScript(options);
  registry->RegisterInstance(IDBScript::IID, db.As<IInterface>().Get());
  return db;
}
