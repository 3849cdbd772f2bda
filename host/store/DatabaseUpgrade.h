// sarn-till's database upgrade: every database-changes contributor in the registry (each named
// registration of IDatabaseChanges) hands over its scripts and rights; the scripts run in the
// order collected, then the rights are registered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/contract/TActionCodes.h"
#include "host/contract/TDBScript.h"
#include "intf/intfDI.h"

enum class TUpgradeOutcome {
  Done,              // everything applied
  UpToDateReadOnly,  // the database cannot be written but already holds everything
  Failed,            // a script or right failed (the lines say what)
  Unusable,          // the database or the till's own table could not be used: nothing ran
};

// One line of the upgrade's account, in the order it happened: what was done, or what failed
// and why.
struct TUpgradeLine {
  bool Failure = false;
  std::string Text;
};

struct TDatabaseUpgradeResult {
  TUpgradeOutcome Outcome = TUpgradeOutcome::Done;
  std::vector<TUpgradeLine> Lines;
  int32_t ScriptCount = 0;  // collected from every contributor
  int32_t ScriptsRun = 0, TablesCreated = 0, RightsChanged = 0;
};

// Runs the scripts of the registry's contributors on the till's database, then registers their
// rights through the till's action codes (both registered in that registry). Stops at the first
// script that fails (later scripts may build on it) and then registers no rights. Every script run
// is recorded in SarnSchemaScripts (Contributor, Position, Script, FirstRun, LastRun, Runs,
// Outcome).
TDatabaseUpgradeResult RunDatabaseUpgrade(IServiceRegistry* registry, TDBScript& db,
                                          TActionCodes& rights);

// The database's identity, kept in the till's table SarnDatabase since upgrade: what the module log
// of every till that writes this database names it by. Empty when it has none (not upgraded yet).
std::string DatabaseIdentity(IDBScript& db);
// The identity, made when the database has none. done: what was made ("" when nothing). False
// when the database failed.
bool EnsureDatabaseIdentity(IDBScript& db, std::string& identity, std::string& done);
