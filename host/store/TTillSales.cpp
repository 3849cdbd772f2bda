#include "host/store/TTillSales.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/db/sql/SqlText.h"
#include "host/store/CellsByName.h"
#include "host/store/TableRead.h"

namespace {

// In the SQL Server dialect, as the till's other tables: each engine's rewrite makes it its own.
const std::string TableScript =
    "IF OBJECT_ID( 'SarnSales', 'U' ) IS NULL\r\n"
    "  CREATE TABLE [SarnSales] (\r\n"
    "    [Sale]             INT           NOT NULL IDENTITY(1,1) PRIMARY KEY,\r\n"
    "    [Created]          DATETIME      NOT NULL,\r\n"
    "    [Changed]          DATETIME      NOT NULL,\r\n"
    "    [Amount]           MONEY         NOT NULL,\r\n"
    "    [Paid]             MONEY         NULL,\r\n"
    "    [Invoice]          INT           NULL,\r\n"
    "    [State]            NVARCHAR(20)  NOT NULL,\r\n"
    "    [VoucherReference] NVARCHAR(MAX) NULL,\r\n"
    "    [Store]            INT           NULL,\r\n"
    "    [Till]             INT           NULL\r\n"
    "  );\r\n";

// The columns a table made before they were kept lacks, in the order they are added.
constexpr const char* AddedColumns[] = {"Store", "Till"};

std::string StateLiteral(TSaleState state) { return SqlStringLiteral(SaleStateText(state)); }

// Exactly, four decimals: the %f conversion would round to cents.
std::string MoneyLiteral(TCurrency amount) {
  char text[48];
  const bool negative = amount < 0;
  const unsigned long long magnitude = negative ? 0 - static_cast<unsigned long long>(amount)
                                                : static_cast<unsigned long long>(amount);
  snprintf(text, sizeof text, "%s%llu.%04llu", negative ? "-" : "",
           magnitude / static_cast<unsigned long long>(CurrencyScale),
           magnitude % static_cast<unsigned long long>(CurrencyScale));
  return text;
}

}  // namespace

int32_t TTillSales::Open(TCurrency amount) {
  // The table first, in calls of its own: an engine finds the identity column of the insert
  // in the catalogue, before the batch runs.
  std::string value, done;
  if (!UpgradeTillSales(FDb, done)) return -1;
  if (!FDb.QueryValue("INSERT INTO [SarnSales] ( [Created], [Changed], [Amount], [State], "
                      "[Store], [Till] ) VALUES ( GETDATE(), GETDATE(), " +
                          MoneyLiteral(amount) + ", " + StateLiteral(TSaleState::Open) + ", " +
                          std::to_string(FStore) + ", " + std::to_string(FTill) +
                          " );\r\n"
                          "SELECT CAST( SCOPE_IDENTITY() AS INT ) AS [Sale]",
                      "Sale", value))
    return -1;
  try {
    return std::stoi(value);
  } catch (const std::exception&) {
    return -1;
  }
}

// A sale is settled and linked only after Open made sure of the table: these calls carry no
// table script, which on a server would take the table-creation lock every till shares.
bool TTillSales::Settle(int32_t sale, TSaleState state, TCurrency paid,
                        const std::string& reference) {
  return FDb.Execute(
             "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s, [Paid] = " +
                 MoneyLiteral(paid) + ", [VoucherReference] = %s WHERE [Sale] = %d",
             {StateLiteral(state),
              reference.empty() ? std::string("NULL") : SqlStringLiteral(reference), sale}) == 1;
}

bool TTillSales::Link(int32_t sale, int32_t invoice) {
  return FDb.Execute("UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = " +
                         StateLiteral(TSaleState::Linked) + ", [Invoice] = %d WHERE [Sale] = %d",
                     {invoice, sale}) == 1;
}

// An override may come to a database whose table was never made: it is made, empty.
int32_t TTillSales::SettleInvoice(int32_t invoice, TSaleState state) {
  return FDb.Execute(TableScript +
                         "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s "
                         "WHERE [Invoice] = %d AND [State] IN ( " +
                         StateLiteral(TSaleState::Linked) + ", " +
                         StateLiteral(TSaleState::Overriding) + " )",
                     {StateLiteral(state), invoice});
}

bool ReadSalesFrom(TDBScript& db, int32_t first, std::map<int32_t, TSaleRow>& sales,
                   std::string& error) {
  sales.clear();
  TDBTable table;
  if (!ReadTableIfAny(
          db, "SarnSales",
          "SELECT [Sale], [State], [VoucherReference] FROM [SarnSales] WHERE [Sale] >= " +
              std::to_string(first) + " ORDER BY [Sale]",
          table, error))
    return false;
  for (const auto& row : table.Rows) {
    TSaleRow sale{std::atoi(CellText(table, row, "Sale").c_str()), CellText(table, row, "State"),
                  CellText(table, row, "VoucherReference")};
    sales[sale.Sale] = std::move(sale);
  }
  return true;
}

bool UpgradeTillSales(TDBScript& db, std::string& done) {
  done.clear();
  // One call before each sale: no columns is no table, and a table that lacks one of the added
  // columns is an older till's.
  std::vector<std::string> columns;
  if (!db.Columns("SarnSales", columns)) return false;
  if (columns.empty()) {
    // Two tills may both find it missing: the guarded script lets the second find it made (on a
    // server, under the one lock every table creation takes).
    if (db.Execute(TableScript, {}) < 0) return false;
    done = "table SarnSales created";
    return true;
  }
  auto has = [&columns](const char* column) {
    return std::find(columns.begin(), columns.end(), column) != columns.end();
  };
  std::string added;
  for (const char* column : AddedColumns) {
    if (has(column)) continue;
    // Two tills upgrading at once may both find the column missing: the one that comes second
    // fails to add it, and finds it there.
    if (db.Execute("ALTER TABLE [SarnSales] ADD [" + std::string(column) + "] INT NULL", {}) < 0) {
      if (!db.Columns("SarnSales", columns) || !has(column)) return false;
      continue;
    }
    added += (added.empty() ? "" : ", ") + std::string(column);
  }
  if (!added.empty()) done = "SarnSales: column(s) " + added + " added";
  return true;
}
