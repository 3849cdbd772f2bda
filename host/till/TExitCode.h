// The exit codes of every sarn-till command, for the commands and the payment runner alike; the
// table --help shows is kExitCodeTable (host/cli/cliCommon.h).
#pragma once

enum class TExitCode : int {
  Done = 0,     // done; pay --popup: a voucher paid
  Failed = 1,   // the till or the voucher service failed (the message says what)
  Usage = 2,    // the command cannot run as given (nor without a display for the dialog); nothing
                // was done
  NotDone = 3,  // not paid, or not given back
};

// The code as the process returns it.
constexpr int ExitStatus(TExitCode code) { return static_cast<int>(code); }
