// sarn-till's payment commands: "pay" runs a sale through the module's payment method (with its
// popup, worked by a person or by the cashier autopilot), "override" hands the module an
// overridden invoice.
#pragma once

#include <CLI/CLI.hpp>

#include "host/till/TTill.h"

// Adds "pay" and "override". Their outcome leaves through CLI::RuntimeError with the exit codes
// of TillPayment.h (0 paid or done, 3 not paid or not given back, 2 usage or no display for a
// person, 1 failure of the till, its database or the module).
void AddPaymentCommands(CLI::App& app, TTill& till);
