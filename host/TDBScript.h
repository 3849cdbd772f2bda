// sarn-till's DB script service (IDBScript) on one SQLite database file. The connection opens on
// first use, so a till that never touches its database (listing modules) never creates one.
//
// The file is kept in WAL mode with synchronous=NORMAL: committed rows survive the till being
// killed; a power cut may take back the last commits but never corrupts the file.
//
// Every call runs its batch as one transaction: a batch that fails part-way changes nothing (an
// insert whose identity could not be read back leaves no orphan row). Execute, ExecuteFile and
// QueryValue (whose batch may insert) take the write lock up front; a busy database is waited
// for up to the busy time-out. A batch must not hold BEGIN/COMMIT of its own. Failures come back
// through the result, LastError and one line on stderr, "sarn-till: database: <what failed>:
// <message>"; nothing is thrown.
//
// Formatting (Execute, QueryJSON): %s inserts a text argument as given (the caller quotes),
// %d an integer argument in decimal, %f a currency argument with two decimals, the third and
// fourth decimal rounded half away from zero (12.345 -> "12.35", -0.005 -> "-0.01"), %% a
// percent sign. Any other conversion, an argument of another kind, too few or too many arguments
// and a NUL byte in a text fail the call before anything runs.
//
// The SQL trace (TracePath) gets one JSON line per call, appended and flushed at once:
//   {"time":"2024-05-01 10:00:00.123","op":"Execute","format":"...","args":[{"text":"'a'"},
//    {"integer":5},{"currency":125000}],"sql":"<the text run>","ms":0.412,"changed":1}
// The outcome member is "changed" (Execute, ExecuteFile), "value" (QueryValue: a text, or null
// when no row had the column), "rows" (QueryJSON, QueryTable: the number of rows) or "exists"
// (TableExists), and "error" in place of it when the call failed. QueryValue adds "column",
// ExecuteFile gives the file as "format". Texts are written byte for byte (JSON escapes for
// quotes, backslashes and control bytes only).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "clsInterfacedObject.h"
#include "intfDBScript.h"
#include "intfDI.h"

struct TDBScriptOptions {
  std::string Path;              // database file; empty: DefaultDatabasePath()
  int32_t BusyTimeoutMs = 5000;  // how long a locked database is retried before a call fails
  std::string TracePath;         // SQL trace file (JSON lines); empty: no trace
};

// sarn-till.db beside the running program.
std::string DefaultDatabasePath();

// Applies the format rule above. False with the reason (which conversion or argument) otherwise.
bool FormatStatement(const std::string& format, const TDBArgs& args, std::string& sql,
                     std::string& error);

// The currency as %f writes it: "12.50" for 125000.
std::string FormatCurrency(TCurrency value);

// One value of a result, for the till's own commands that print tables.
struct TDBCell {
  enum TKind { Null, Integer, Float, Textual } Kind = Null;
  std::string Text;  // the value written out ("" for NULL)
};
struct TDBTable {
  std::vector<std::string> Columns;
  std::vector<std::vector<TDBCell>> Rows;
};

class TDBScript final : public TImplements<TInterfacedObject, IDBScript> {
 public:
  explicit TDBScript(TDBScriptOptions options);
  ~TDBScript() override;

  // The connection text is the database file's path; setting it closes the current connection.
  void SetConnection(const std::string& connection) override;
  void GetConnection(std::string& connection) override;
  int32_t Execute(const std::string& format, const TDBArgs& args) override;
  int32_t ExecuteFile(const std::string& path) override;
  bool QueryValue(const std::string& statement, const std::string& column,
                  std::string& value) override;
  bool TableExists(const std::string& table) override;
  void LastError(std::string& error) override;
  bool QueryJSON(const std::string& format, const TDBArgs& args, std::string& rows) override;

  // The first result of the batch that has columns (none: an empty table), for the till's own
  // commands. False on failure, as the other calls.
  bool QueryTable(const std::string& statement, TDBTable& table);

 private:
  struct TState;
  std::unique_ptr<TState> F;
};

// Registers one shared TDBScript as the registry's unnamed IDBScript and returns it.
TIntfPtr<IDBScript> RegisterDBScript(IServiceRegistry* registry, const TDBScriptOptions& options);
