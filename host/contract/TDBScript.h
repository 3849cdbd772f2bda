// sarn-till's DB script service (IDBScript) over one database engine (db/sqlite/, db/postgres/).
// The engine opens its connection on first use, so a till that never touches its database
// (listing modules) never creates or connects to one.
//
// Every call runs as one transaction on the engine: a batch that fails part-way changes nothing
// (an insert whose identity could not be read back leaves no orphan row). A busy database is
// waited for up to the busy time-out. A batch must not hold BEGIN/COMMIT of its own: each of its
// statements must begin as the module's and the till's do (SqlStatementStarts), else the call
// fails naming what it found, and nothing is sent. Failures
// come back through the result, LastError and one line on stderr, "sarn-till: database: <what
// failed>: <message>"; nothing is thrown.
//
// Formatting (Execute, QueryJSON): %s inserts a text argument as given (the caller quotes),
// %d an integer argument in decimal, %f a currency argument with two decimals, the third and
// fourth decimal rounded half away from zero (12.345 -> "12.35", -0.005 -> "-0.01"), %% a
// percent sign. Any other conversion, an argument of another kind, too few or too many arguments
// and a NUL byte in a text fail the call before anything runs.
//
// The SQL trace (TracePath) gets one JSON line per call, appended and flushed at once:
//   {"time":"2024-05-01 10:00:00.123","op":"Execute","format":"...","args":[{"text":"'a'"},
//    {"integer":5},{"currency":125000}],"sql":"<the SQL Server text>","sent":"<the text the
//    engine was given>","ms":0.412,"changed":1}
// The outcome member is "changed" (Execute, ExecuteFile), "value" (QueryValue: a text, or null
// when no row had the column), "rows" (QueryJSON, QueryTable: the number of rows; Tables,
// Columns: of names) or "exists" (TableExists), and "error" in place of it when the call failed.
// QueryValue adds "column", ExecuteFile gives the file as "format". Texts are written byte for byte
// (JSON escapes for quotes, backslashes and control bytes only). A write whose commit answer was
// lost gets "outcome":"unknown" beside its "error" when the server could not tell what became of
// it, and "note" when the engine found out that it committed after all. A connection is only ever
// shown with its password masked.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/db/TDBEngine.h"
#include "intf/clsInterfacedObject.h"
#include "intf/intfDBScript.h"

// Applies the format rule above. False with the reason (which conversion or argument) otherwise.
bool FormatStatement(const std::string& format, const TDBArgs& args, std::string& sql,
                     std::string& error);

// The currency as %f writes it: "12.50" for 125000.
std::string FormatCurrency(TCurrency value);

// Makes the engine for a connection text (SetConnection).
using TDBEngineMaker = std::function<TDBEnginePtr(const std::string& connection)>;

// Told of every call of the service as it starts and as it ends, whoever makes it (the module
// through IDBScript, the till directly): what a benchmark times a payment's database share by.
// operation is the call's name as the trace gives it ("Execute", "QueryJSON", ...).
class TDBCallObserver {
 public:
  virtual void CallStarting(const char* operation) = 0;
  virtual void CallDone(const char* operation) = 0;

 protected:
  ~TDBCallObserver() = default;
};

class TDBScript final : public TImplements<TInterfacedObject, IDBScript> {
 public:
  TDBScript(std::string connection, TDBEngineMaker maker, std::string tracePath);
  ~TDBScript() override;

  // Setting the connection text closes the current connection; the next call opens the new one.
  void SetConnection(const std::string& connection) override;
  // The connection with its password masked.
  void GetConnection(std::string& connection) override;
  int32_t Execute(const std::string& format, const TDBArgs& args) override;
  int32_t ExecuteFile(const std::string& path) override;
  bool QueryValue(const std::string& statement, const std::string& column,
                  std::string& value) override;
  bool TableExists(const std::string& table) override;
  void LastError(std::string& error) override;
  bool QueryJSON(const std::string& format, const TDBArgs& args, std::string& rows) override;

  // The till's own calls, for its commands and tables (the module sees only IDBScript):
  // The first result of the statement that has columns (none: an empty table). False on failure,
  // as the other calls.
  bool QueryTable(const std::string& statement, TDBTable& table);
  // Whether the database is there at all, without creating it; error says why not.
  bool Exists(std::string& error);
  // The names of the database's tables, sorted. False on failure, as the other calls.
  bool Tables(std::vector<std::string>& tables);
  // The table's columns in their order, none when there is no such table (no failure then), in
  // one statement: how a table the till keeps tells "not made", "of an older layout" and "as it
  // should be" apart. False on failure, as the other calls.
  bool Columns(const std::string& table, std::vector<std::string>& columns);
  // Calls that failed since the service was made: a command compares the count before and
  // after handing the module a step, to tell a database failure from a plain "no".
  int64_t Failures() const;
  // Every call from now on is told to the observer (null: to none). Not owned: it must outlive
  // the service, or be taken off first.
  void Observe(TDBCallObserver* observer);

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};
