// What sarn-till's commands share: one table of exit codes, the start of the module with what
// the till says before it (which voucher service, whether the module can log), and the checks
// made on the command line before anything is done.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "host/till/TExitCode.h"
#include "host/till/TTill.h"

// The exit codes of every command (TExitCode), as --help shows them.
extern const char* const kExitCodeTable;

// What a command throws to end with the code; the message, when there is one, goes to stderr.
CLI::RuntimeError CommandEnd(TExitCode code);
CLI::RuntimeError CommandEnd(const std::string& message, TExitCode code);

// Warns on stderr when the module cannot write its log, prints "voucher service: ADDRESS" (the
// address the module will use), then loads the module. A module that cannot be loaded ends the
// command with TExitCode::Failed (CLI::RuntimeError), its message naming command; so does a
// DOVRA_BASE_URL the module refuses, for "pay" (other commands are warned on stderr).
void StartModule(TTill& till, const std::string& command);

// A duration as typed: digits with an optional unit (ms, s, m or min, h, d); digits alone are in
// the option's own unit, plainUnitMs milliseconds. ms := the duration in milliseconds.
enum class TDurationReading { Read, NotADuration, TooLarge, NotWhole };
TDurationReading ReadDuration(const std::string& text, long long plainUnitMs, long long& ms);
// --timeout-ms, --db-busy-ms: whole milliseconds from minimum up to 2147483647, or a duration
// with a unit ("20s"), said in words. A transform: the option receives the milliseconds.
CLI::Validator Milliseconds(int32_t minimum);
// --older-than, --give-up: whole seconds from minimum to maximum, or a duration with a unit
// ("90s", "5m", "2h"). A transform: the option receives the seconds.
CLI::Validator Seconds(long long minimum, long long maximum);
// --ca-file: an existing, readable file holding at least one PEM certificate.
CLI::Validator TrustedCertificates();
// --base-url: an address the module takes as its override.
CLI::Validator VoucherServiceAddress();

// --db: a value that looks like a server connection written wrong (postgres:/, postgresql:/ with
// one slash, USER@HOST without a scheme, another scheme, key=value pairs libpq cannot read) is
// refused, naming what looks wrong. An existing file is always taken.
CLI::Validator DatabaseConnection();
// Why --db names no database a command may use: a database file that is not there (only upgrade
// makes one). Empty when it may be used; a server's database is found when connecting.
std::string MissingDatabase(const std::string& connection);
// Why upgrade does not make a new database file at path: only a name ending in .db or .sqlite in
// an existing folder is taken for one, unless asked (--create). Empty when it may.
std::string NewDatabaseFileRefusal(const std::string& path, bool asked);
// The module's tables stand in the till's database (the registry's DB script service); otherwise
// the command ends with TExitCode::Failed before anything is written.
// A database file that is not there is not made by a command other than upgrade: a mistyped
// --db would otherwise collect sales apart from the store's.
void RequireDatabase(TTill& till, const std::string& command);
void RequireModuleTables(TTill& till, const std::string& command);

// Reads the order document at path and checks it as the module will use it: a JSON object with
// an "AfterDisc" number and a "LineItems" array. False with what is wrong (the file missing,
// unreadable, empty, cut short, not JSON, not an object, a member missing or of another kind).
bool ReadOrderDocument(const std::string& path, std::string& text, std::string& error);

// A REST client's reason for a failed request as one line of the screen: line breaks and other
// control characters become blanks, runs of blanks one, and a long text (an HTML error page) is
// cut after 300 characters with "...".
std::string ServiceFailureLine(const std::string& reason);

// Why text is not an amount: too large for the currency type, or not written as one.
std::string AmountProblem(const std::string& text);
