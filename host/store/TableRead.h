// How the till reads one of its own tables: a table an older database does not have yet reads
// empty, and a failure says which table.
#pragma once

#include <string>

#include "host/contract/TDBScript.h"

// The rows statement reads from the table name, or none when the table does not exist yet; false
// with error when the database failed.
inline bool ReadTableIfAny(TDBScript& db, const char* name, const std::string& statement,
                           TDBTable& table, std::string& error) {
  table = TDBTable();
  error.clear();
  if (!db.TableExists(name)) {
    db.LastError(error);
    return error.empty();
  }
  if (db.QueryTable(statement, table)) return true;
  db.LastError(error);
  if (error.empty()) error = std::string("the table ") + name + " could not be read";
  return false;
}
