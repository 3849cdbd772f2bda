// sarn-till's "reconcile" command: finds every voucher the module log and the store database leave
// in doubt and gives back, through the module's voucher API client, what no sale holds.
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <vector>

#include "host/till/Reconcile.h"
#include "host/till/TTill.h"

// Adds "reconcile [--older-than SECONDS] [--dry-run] [--json] [--log-folder DIR]". Prints a table,
// one line per candidate (or per redemption acted on), or one JSON object a line, then a summary.
// Exit codes (CLI::RuntimeError): 0 nothing left in doubt, 3 something could not be given back or
// matched, 1 the service, the log or the database failed.
void AddReconcileCommand(CLI::App& app, TTill& till);

// What pay's start settled of an earlier run: the candidates' table as reconcile prints it, then
// "before the payment, what an earlier run left open: N candidate(s), ...".
void PrintSettledBeforePayment(const std::vector<Reconcile::TOutcome>& outcomes, std::ostream& out);
