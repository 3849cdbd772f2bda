#include "TTillSales.h"

#include <cstdio>

#include "TSqlText.h"
#include "clsInterfacedObject.h"

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
    "    [VoucherReference] NVARCHAR(MAX) NULL\r\n"
    "  );\r\n";

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
  explicit TTillSales(IDBScript* db) : FDb(TIntfPtr<IDBScript>::Share(db)) {}

  int32_t Open(TCurrency amount) override {
    // The table first, in a call of its own: an engine finds the identity column of the insert
    // in the catalogue, before the batch runs.
    std::string value;
    if (FDb->Execute(TableScript, {}) < 0) return -1;
    if (!FDb->QueryValue("INSERT INTO [SarnSales] ( [Created], [Changed], [Amount], [State] ) "
                         "VALUES ( GETDATE(), GETDATE(), " +
                             MoneyLiteral(amount) +
                             ", 'open' );\r\n"
                             "SELECT CAST( SCOPE_IDENTITY() AS INT ) AS [Sale]",
                         "Sale", value))
      return -1;
    try {
      return std::stoi(value);
    } catch (const std::exception&) {
      return -1;
    }
  }

  bool Settle(int32_t sale, const std::string& state, TCurrency paid,
              const std::string& reference) override {
    return FDb->Execute(
               TableScript +
                   "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s, "
                   "[Paid] = " +
                   MoneyLiteral(paid) + ", [VoucherReference] = %s WHERE [Sale] = %d",
               {SqlStringLiteral(state),
                reference.empty() ? std::string("NULL") : SqlStringLiteral(reference), sale}) == 1;
  }

  bool Link(int32_t sale, int32_t invoice) override {
    return FDb->Execute(TableScript +
                            "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = 'linked', "
                            "[Invoice] = %d WHERE [Sale] = %d",
                        {invoice, sale}) == 1;
  }

  int32_t SettleInvoice(int32_t invoice, const std::string& state) override {
    return FDb->Execute(TableScript +
                            "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s "
                            "WHERE [Invoice] = %d AND [State] = 'linked'",
                        {SqlStringLiteral(state), invoice});
  }

 private:
  TIntfPtr<IDBScript> FDb;
};

}  // namespace

TIntfPtr<ITillSales> NewTillSales(IDBScript* db) {
  return MakeObject<TTillSales>(db).As<ITillSales>();
}
