#include "host/store/TTillSales.h"

#include <algorithm>
#include <cstdio>

#include "host/db/sql/SqlText.h"
#include "host/contract/TDBScript.h"
#include "intf/clsInterfacedObject.h"

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

class TTillSales final : public TImplements<TInterfacedObject, ITillSales> {
 public:
  TTillSales(IDBScript* db, int32_t store, int32_t till)
      : FDb(TIntfPtr<IDBScript>::Share(db)), FStore(store), FTill(till) {}

  int32_t Open(TCurrency amount) override {
    // The table first, in calls of its own: an engine finds the identity column of the insert
    // in the catalogue, before the batch runs.
    std::string value, done;
    if (!UpgradeTillSales(FDb.Get(), done)) return -1;
    if (!FDb->QueryValue("INSERT INTO [SarnSales] ( [Created], [Changed], [Amount], [State], "
                         "[Store], [Till] ) VALUES ( GETDATE(), GETDATE(), " +
                             MoneyLiteral(amount) + ", 'open', " + std::to_string(FStore) + ", " +
                             std::to_string(FTill) +
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
  bool Settle(int32_t sale, const std::string& state, TCurrency paid,
              const std::string& reference) override {
    return FDb->Execute(
               "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s, [Paid] = " +
                   MoneyLiteral(paid) + ", [VoucherReference] = %s WHERE [Sale] = %d",
               {SqlStringLiteral(state),
                reference.empty() ? std::string("NULL") : SqlStringLiteral(reference), sale}) == 1;
  }

  bool Link(int32_t sale, int32_t invoice) override {
    return FDb->Execute(
               "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = 'linked', "
               "[Invoice] = %d WHERE [Sale] = %d",
               {invoice, sale}) == 1;
  }

  // An override may come to a database whose table was never made: it is made, empty.
  int32_t SettleInvoice(int32_t invoice, const std::string& state) override {
    return FDb->Execute(TableScript +
                            "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s "
                            "WHERE [Invoice] = %d AND [State] IN ( 'linked', 'overriding' )",
                        {SqlStringLiteral(state), invoice});
  }

 private:
  TIntfPtr<IDBScript> FDb;
  int32_t FStore, FTill;
};

}  // namespace

TIntfPtr<ITillSales> NewTillSales(IDBScript* db, int32_t store, int32_t till) {
  return MakeObject<TTillSales>(db, store, till).As<ITillSales>();
}

bool UpgradeTillSales(IDBScript* db, std::string& done) {
  done.clear();
  const bool existed = db->TableExists("SarnSales");
  if (!existed) {
    std::string error;
    db->LastError(error);
    if (!error.empty()) return false;
    if (db->Execute(TableScript, {}) < 0) return false;
    done = "table SarnSales created";
    return true;
  }
  TIntfPtr<ITillDatabase> till = TIntfPtr<IDBScript>::Share(db).As<ITillDatabase>();
  TDBTable layout;
  if (!till || !till->QueryTable("SELECT * FROM [SarnSales] WHERE 1 = 0", layout)) return false;
  std::string added;
  for (const char* column : AddedColumns) {
    if (std::find(layout.Columns.begin(), layout.Columns.end(), column) != layout.Columns.end())
      continue;
    // Two tills upgrading at once may both find the column missing: the one that comes second
    // fails to add it, and finds it there.
    if (db->Execute("ALTER TABLE [SarnSales] ADD [" + std::string(column) + "] INT NULL", {}) < 0) {
      TDBTable now;
      if (!till->QueryTable("SELECT * FROM [SarnSales] WHERE 1 = 0", now) ||
          std::find(now.Columns.begin(), now.Columns.end(), column) == now.Columns.end())
        return false;
      continue;
    }
    added += (added.empty() ? "" : ", ") + std::string(column);
  }
  if (!added.empty()) done = "SarnSales: column(s) " + added + " added";
  return true;
}
