// sarn-till's "voucher" command: sends one request file through the module's voucher API
// client, resolved from the till's registry as any host component would.
#pragma once

#include <CLI/CLI.hpp>

#include "host/till/TTill.h"

// Adds "voucher evaluate|redeem|reverse|status --request FILE"; "voucher reverse --reference REF"
// and "voucher status --code CODE" build the one-member request instead. Prints "result:
// true|false", "answer: HTTP STATUS" (or "answer: none") and the service's answer, also on an
// HTTP error. Exit codes (CLI::RuntimeError): 0 the service answered "Success": true, 3 it
// answered "Success": false, 1 no answer or no voucher service document, 2 an unreadable file.
void AddVoucherCommand(CLI::App& app, TTill& till);
