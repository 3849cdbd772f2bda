// What a database engine gives the till's DB script service. The service (TDBScript) owns what
// every engine shares: formatting with typed arguments, the SQL trace, the last error, the stderr
// line. An engine owns its connection, its rewrite of the SQL Server text modules write, and how
// one call runs. Engines live in db/<engine>/; nothing outside them speaks an engine's dialect.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One value of a result.
struct TDBCell {
  enum class TKind { Null, Integer, Float, Textual } Kind = TKind::Null;
  std::string Text;  // the value written out ("" for NULL); a Float in its shortest exact form
};
struct TDBTable {
  std::vector<std::string> Columns;
  std::vector<std::vector<TDBCell>> Rows;
};

// Receives the results of one call, statement by statement.
class TDBSink {
 public:
  // A statement with result columns starts; true when its rows are wanted.
  virtual bool Wants(const std::vector<std::string>& columns) = 0;
  virtual void Row(std::vector<TDBCell>& cells) = 0;
  // True once no further row is needed.
  virtual bool Satisfied() const { return false; }

 protected:
  ~TDBSink() = default;
};

// The outcome of one call on an engine. Error is set whenever the call failed; nothing ran then
// (the engine rolled back), except that Unknown marks a write whose commit answer was lost and
// whose outcome the server could not tell: it may stand in the database, and it is not run again.
// Note: what the engine had to find out for the call (a lost commit answer that the server says
// committed, a first run that did not stand and was run again), for the trace.
struct TDBRun {
  int64_t Changed = 0;
  std::string Error;
  bool Unknown = false;
  std::string Note;
};

// The shortest text that reads back as the same double, with ".0" on whole numbers so that a
// float still reads as one; infinities in the exponent form every JSON reader takes as infinite.
std::string FloatCellText(double value);

class TDBEngine;

// The first column of every row of a catalogue query run on the engine: how engines answer
// Tables with their own catalogue's query. False with the engine's error.
bool FirstColumnOf(TDBEngine& engine, const std::string& sent, std::vector<std::string>& names,
                   std::string& error);

// Seen by the DB script service only, which owns the one it is given (never shared across a
// module boundary, so a plain class rather than a counted interface).
class TDBEngine {
 public:
  virtual ~TDBEngine() = default;

  // The connection as it may be shown (a password masked), for messages and GetConnection.
  virtual std::string Shown() = 0;
  // Whether the database is there without creating it (a file engine creates on first use).
  virtual bool Exists(std::string& error) = 0;
  // The SQL Server text as this engine runs it; false with what it cannot take (a construct it
  // does not know, named), so that nothing half-translated is ever sent.
  virtual bool Rewrite(const std::string& sqlServerText, std::string& sent, std::string& error) = 0;
  // Runs sent (Rewrite's output) as one transaction, results to sink (may be null). write: the
  // call may change rows (takes the write lock up front where the engine has one).
  virtual TDBRun Run(const std::string& sent, bool write, TDBSink* sink) = 0;
  // The names of the database's tables, sorted; sent: the catalogue query, for the trace.
  virtual bool Tables(std::vector<std::string>& tables, std::string& sent, std::string& error) = 0;
  // The columns of the table as the till's statements reach it (unquoted, no schema), in their
  // order; none when there is no such table. One statement that reads the table's layout and no
  // row, whose one failure for a table that is not there is an answer here, not an error.
  // sent: the statement, for the trace.
  virtual bool Columns(const std::string& table, std::vector<std::string>& columns,
                       std::string& sent, std::string& error) = 0;
  // Closes the connection (the next call opens it again).
  virtual void Close() = 0;
};

using TDBEnginePtr = std::unique_ptr<TDBEngine>;
