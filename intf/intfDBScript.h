// DB script service of the host (host unit intfDBScript): runs SQL batches in the host's database
// on the caller's behalf. Modules never open a database connection of their own. Every call
// arrives on the host's user-interface thread and blocks it until the database answers.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "intf/intfPtr.h"

// One statement argument: text, 32-bit integer or currency (ten-thousandths).
using TDBArg = std::variant<std::string, int32_t, TCurrency>;
using TDBArgs = std::vector<TDBArg>;

// Statement failures (SQL error, locked or missing database) come back through the result and the
// host's own trace, never as an exception: a redemption already made at the voucher service must
// not be undone by a database hiccup on the till. A busy database is retried for a bounded time.
class IDBScript : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{039CED77-F302-4546-B669-6D45B2E9AE94}");

  // 1: the database the service works on (connection text of the host's own form).
  virtual void SetConnection(const std::string& connection) = 0;
  // 2: out the connection text the service works on.
  virtual void GetConnection(std::string& connection) = 0;
  // 3: format with args in order (%s text as given, %d decimal integer, %f currency with two
  //    decimals, %% a percent sign) and run as one batch. Result: rows changed, or -1 on failure.
  virtual int32_t Execute(const std::string& format, const TDBArgs& args) = 0;
  // 4: run a batch read from a script file; rows changed, or -1.
  virtual int32_t ExecuteFile(const std::string& path) = 0;
  // 5: run statement; value := the named column of the first row of the first result having it,
  //    as text (NULL: empty). False (value untouched) when no such row or the statement failed.
  virtual bool QueryValue(const std::string& statement, const std::string& column,
                          std::string& value) = 0;
  // 6: true when the named table exists.
  virtual bool TableExists(const std::string& table) = 0;
  // 7: the last failure's text, empty after a success.
  virtual void LastError(std::string& error) = 0;
  // 8: format as 3 and run; rows := the result as a JSON array of row objects named by column
  //    (numbers as numbers, texts escaped, NULL as null). False (rows untouched) on failure.
  virtual bool QueryJSON(const std::string& format, const TDBArgs& args, std::string& rows) = 0;

 protected:
  ~IDBScript() = default;
};
