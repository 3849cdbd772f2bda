#include "host/store/TGiveBack.h"

#include <charconv>
#include <cmath>

#include "host/db/sql/SqlText.h"
#include "host/store/CellsByName.h"
#include "host/store/TSaleState.h"
#include "host/store/TableRead.h"

namespace {

// In the SQL Server dialect, as the till's other tables: each engine's rewrite makes it its own.
const std::string TableScript =
    "IF OBJECT_ID( 'SarnGiveBacks', 'U' ) IS NULL\r\n"
    "  CREATE TABLE [SarnGiveBacks] (\r\n"
    "    [ID]               INT           NOT NULL IDENTITY(1,1) PRIMARY KEY,\r\n"
    "    [Created]          DATETIME      NOT NULL,\r\n"
    "    [Candidate]        NVARCHAR(MAX) NOT NULL,\r\n"
    "    [VoucherCode]      NVARCHAR(MAX) NULL,\r\n"
    "    [VoucherReference] NVARCHAR(MAX) NULL,\r\n"
    "    [Amount]           MONEY         NULL,\r\n"
    "    [Found]            NVARCHAR(100) NOT NULL,\r\n"
    "    [Outcome]          NVARCHAR(40)  NOT NULL,\r\n"
    "    [Answer]           NVARCHAR(MAX) NULL,\r\n"
    "    [Transaction]      INT           NULL\r\n"
    "  );\r\n";

// The states as an SQL list: "'reversed', 'cancelling'".
std::string StateList(std::initializer_list<TSaleState> states) {
  std::string list;
  for (const TSaleState state : states)
    list += (list.empty() ? "" : ", ") + SqlStringLiteral(SaleStateText(state));
  return list;
}

}  // namespace

bool CountGivenBackEarlier(TDBScript& db, int32_t invoice, int32_t& count, std::string& error) {
  count = 0;
  if (!db.TableExists("SarnGiveBacks")) {
    db.LastError(error);
    return error.empty();
  }
  // The invoice's rows only: an override must not read the whole table to count three vouchers.
  TDBTable counted;
  if (!db.TableExists("DovraTransactions")) {
    db.LastError(error);
    return error.empty();
  }
  if (!db.QueryTable("SELECT COUNT(*) AS [Earlier] FROM [DovraTransactions] WHERE [InvoiceNum] = " +
                         std::to_string(invoice) +
                         " AND [VoucherReference] <> '' AND [VoucherReference] IN (SELECT "
                         "[VoucherReference] FROM [SarnGiveBacks] WHERE [Outcome] IN ( " +
                         SqlStringLiteral(GiveBackOutcomeText(TGiveBackOutcome::GivenBack)) + ", " +
                         SqlStringLiteral(GiveBackOutcomeText(TGiveBackOutcome::FoundReversed)) +
                         " ))",
                     counted)) {
    db.LastError(error);
    if (error.empty()) error = "the table DovraTransactions could not be read";
    return false;
  }
  if (counted.Rows.empty()) return true;
  const std::string text = CellText(counted, counted.Rows.front(), "Earlier");
  std::from_chars(text.data(), text.data() + text.size(), count);
  return true;
}

bool ReadSettledCandidates(TDBScript& db, std::set<std::string>& candidates, std::string& error) {
  candidates.clear();
  TDBTable table;
  if (!ReadTableIfAny(db, "SarnGiveBacks", "SELECT [Candidate] FROM [SarnGiveBacks]", table, error))
    return false;
  for (const auto& row : table.Rows) candidates.insert(CellText(table, row, "Candidate"));
  return true;
}

bool EnsureGiveBacksTable(TDBScript& db) {
  if (db.Execute(TableScript, {}) < 0) return false;
  // A table from before the Transaction column gets it in place.
  TDBTable layout;
  if (!db.QueryTable("SELECT * FROM [SarnGiveBacks] WHERE 1 = 0", layout)) return false;
  if (ColumnOf(layout, "Transaction") >= 0) return true;
  return db.Execute("ALTER TABLE [SarnGiveBacks] ADD [Transaction] INT NULL", {}) >= 0;
}

bool RecordGiveBack(TDBScript& db, const TGiveBack& giveBack, std::string& error) {
  auto text = [](const std::string& value) {
    return value.empty() ? std::string("NULL") : SqlStringLiteral(value);
  };
  // The table first, in a call of its own: an engine finds the identity column of the insert
  // in the catalogue, before the batch runs.
  bool ok = EnsureGiveBacksTable(db);
  ok = ok && db.Execute(
                 "INSERT INTO [SarnGiveBacks] ( [Created], [Candidate], [VoucherCode], "
                 "[VoucherReference], [Amount], [Found], [Outcome], [Answer], [Transaction] ) "
                 "VALUES ( GETDATE(), %s, %s, %s, %f, %s, %s, %s, %s )",
                 {SqlStringLiteral(giveBack.Candidate), text(giveBack.VoucherCode),
                  text(giveBack.VoucherReference),
                  static_cast<TCurrency>(std::llround(giveBack.Amount * CurrencyScale)),
                  SqlStringLiteral(giveBack.Found),
                  SqlStringLiteral(GiveBackOutcomeText(giveBack.Outcome)), text(giveBack.Answer),
                  giveBack.Transaction < 0 ? std::string("NULL")
                                           : std::to_string(giveBack.Transaction)}) == 1;
  // A till that has not sold anything yet has no sales to correct.
  const bool sales = ok && db.TableExists("SarnSales");
  if (sales && giveBack.Sale >= 0 && giveBack.SaleState)
    ok = db.Execute(
             "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s, "
             "[VoucherReference] = %s WHERE [Sale] = %d AND [State] = " +
                 StateList({TSaleState::Open}),
             {SqlStringLiteral(SaleStateText(*giveBack.SaleState)), text(giveBack.VoucherReference),
              giveBack.Sale}) >= 0;
  if (sales && !giveBack.VoucherReference.empty() && IsReversedOutcome(giveBack.Outcome)) {
    const std::string reversed = StateList({TSaleState::Reversed});
    ok = ok && db.Execute("UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = " + reversed +
                              " WHERE [VoucherReference] = %s AND [State] " +
                              (giveBack.Forced ? "<> " + reversed
                                               : "IN ( " +
                                                     StateList({TSaleState::ReverseFailed,
                                                                TSaleState::Cancelling,
                                                                TSaleState::Overriding}) +
                                                     " )"),
                          {SqlStringLiteral(giveBack.VoucherReference)}) >= 0;
  }
  if (ok) return true;
  db.LastError(error);
  std::string connection;
  db.GetConnection(connection);
  error = "the give-back of " +
          (giveBack.VoucherReference.empty() ? giveBack.Candidate : giveBack.VoucherReference) +
          " could not be recorded in " + connection + (error.empty() ? "" : ": " + error);
  return false;
}
