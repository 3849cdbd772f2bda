// sarn-till's database upgrade: every database-changes contributor in the registry (each named
// registration of IDatabaseChanges) hands over its scripts and rights; the scripts run in the
// order collected, then the rights are registered.
#pragma once

#include <iosfwd>

#include "intf/intfDI.h"

// Uses the registry's IDBScript and IActionCodes. Prints to out what it did (each script, the
// tables it created, each right); failures to err. Stops at the first script that fails
// (later scripts may build on it) and then registers no rights. Every script run is recorded in
// SarnSchemaScripts (Contributor, Position, Script, FirstRun, LastRun, Runs, Outcome).
// Returns 0 when everything was applied, 1 when something failed, 2 when the registry has no
// DB script service.
int RunDatabaseUpgrade(IServiceRegistry* registry, std::ostream& out, std::ostream& err);
