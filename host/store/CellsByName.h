// Reading a table the till's database service gave back by its column names: a table written by
// an older layout may lack a column, and a NULL reads as no text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/db/TDBEngine.h"

// The column's position, or -1 when the table has no such column.
inline int ColumnOf(const TDBTable& table, std::string_view name) {
  for (size_t i = 0; i < table.Columns.size(); ++i)
    if (table.Columns[i] == name) return static_cast<int>(i);
  return -1;
}

// The row's text in the column; empty when the column is missing, the row is short or the cell
// is NULL.
inline const std::string& CellText(const TDBTable& table, const std::vector<TDBCell>& row,
                                   std::string_view column) {
  static const std::string none;
  const int at = ColumnOf(table, column);
  return at < 0 || static_cast<size_t>(at) >= row.size() || row[at].Kind == TDBCell::TKind::Null
             ? none
             : row[at].Text;
}
