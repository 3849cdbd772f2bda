// sarn-till's "voucher" command: sends one request file through the module's voucher API
// client, resolved from the till's registry as any host component would.
#pragma once

#include <CLI/CLI.hpp>

#include "Till.h"

// Adds "voucher evaluate|redeem|reverse|status --request FILE"; "voucher reverse --reference REF"
// builds the reversal request of one redemption instead. Prints "result: true|false" and
// the response text; a false result ends the program with exit code 1 (CLI::RuntimeError), a
// till that cannot start or an unreadable file with exit code 2.
void AddVoucherCommand(CLI::App& app, TTill& till);
