// sarn-till's database options (--db, --db-busy-ms, --sql-trace) and commands: "upgrade",
// "transactions" and "report".
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "host/db/TDBEngine.h"
#include "host/till/TTill.h"

// Adds the options (into the till's options) and the three commands. "upgrade" exits 1 when a
// script or a right failed or the module cannot be loaded; "transactions" and "report" exit 1
// when a table is missing or the database cannot be read.
void AddDatabaseCommands(CLI::App& app, TTill& till);

// The table as aligned text: a header line, a rule, one line per row. Numbers are aligned right,
// NULL shows as "NULL", control bytes as blanks, and a text longer than maxWidth characters
// is cut with an ellipsis (never inside a UTF-8 sequence).
std::string FormatTextTable(const TDBTable& table, size_t maxWidth);

// Whether a DovraLog message concerns one of the transactions: it names one of their IDs as
// "New Transaction: <ID>" or as an "ID" member ("ID": <ID>), or holds one of their non-empty
// voucher references.
bool MentionsTransaction(const std::string& message, const std::vector<std::string>& ids,
                         const std::vector<std::string>& references);
