#include "host/store/TGiveBacks.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <unordered_set>

#include "host/db/sql/SqlText.h"
#include "lib/json/clsJSONDocument.h"

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

// The sale states in which a sale no longer holds its voucher: it is being, or has been, given
// back.
bool Releases(const std::string& saleState) {
  return saleState == "reversed" || saleState == "reverse failed" || saleState == "cancelling" ||
         saleState == "overriding" || saleState == "not booked";
}

int Column(const TDBTable& table, const char* name) {
  for (size_t i = 0; i < table.Columns.size(); ++i)
    if (table.Columns[i] == name) return static_cast<int>(i);
  return -1;
}

std::string Cell(const TDBTable& table, const std::vector<TDBCell>& row, const char* name) {
  const int at = Column(table, name);
  return at < 0 || row[at].Kind == TDBCell::TKind::Null ? std::string() : row[at].Text;
}

// The table's rows, or none when it does not exist yet; false when the database failed.
bool ReadTable(IDBScript& db, ITillDatabase& till, const char* name, const std::string& statement,
               TDBTable& table, std::string& error) {
  if (!db.TableExists(name)) {
    db.LastError(error);
    return error.empty();
  }
  if (till.QueryTable(statement, table)) return true;
  db.LastError(error);
  if (error.empty()) error = std::string("the table ") + name + " could not be read";
  return false;
}

std::string CodeOf(const std::string& redeemAnswer) {
  const TJSONValue answer = ParseJSONDocument(redeemAnswer);
  const TJSONValue* code = answer.IsDocument() ? answer.Find("VoucherCode") : nullptr;
  return code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string();
}

// Every reference R for which the message holds "VoucherReference":"R" followed by a quote. A
// reference may itself hold a quote (the message stands as the row was read, unescaped), so each
// quote after the key ends a candidate: the set answers exactly what a search for the whole key,
// reference and closing quote in the message would.
void NoteNamedReferences(const std::string& message, std::unordered_set<std::string>& references) {
  static const std::string key = "\"VoucherReference\":\"";
  for (size_t at = message.find(key); at != std::string::npos; at = message.find(key, at + 1)) {
    const size_t start = at + key.size();
    for (size_t quote = message.find('"', start); quote != std::string::npos;
         quote = message.find('"', quote + 1))
      references.insert(message.substr(start, quote - start));
  }
}

}  // namespace

bool IsReversedOutcome(const std::string& outcome) {
  return outcome == "given back" || outcome == "found reversed";
}

void TTillRecords::Index() const {
  if (FIndex.Made && FIndex.RowCount == Rows.size() && FIndex.SaleCount == Sales.size()) return;
  FIndex.Rows.clear();
  FIndex.Sales.clear();
  // The first row or sale of a reference answers, as a search from the start would.
  for (const TVoucherRow& row : Rows) FIndex.Rows.emplace(row.Reference, &row);
  for (const auto& [number, sale] : Sales)
    if (!sale.Reference.empty()) FIndex.Sales.emplace(sale.Reference, &sale);
  FIndex.RowCount = Rows.size();
  FIndex.SaleCount = Sales.size();
  FIndex.Made = true;
}

const TVoucherRow* TTillRecords::RowOf(const std::string& reference) const {
  Index();
  const auto found = FIndex.Rows.find(reference);
  return found == FIndex.Rows.end() ? nullptr : found->second;
}

const TSaleRow* TTillRecords::SaleOf(const std::string& reference) const {
  if (reference.empty()) return nullptr;
  Index();
  const auto found = FIndex.Sales.find(reference);
  return found == FIndex.Sales.end() ? nullptr : found->second;
}

std::string TTillRecords::HeldBy(const std::string& reference) const {
  if (reference.empty() || GivenBack.count(reference)) return {};
  for (const TVoucherRow& row : Rows) {
    if (row.Reference != reference || row.Amount <= 0 || row.Reversed) continue;
    if (Releases(row.SaleState)) continue;
    std::string holder =
        row.Sale.empty() ? "DovraTransactions row " + std::to_string(row.ID) : "sale " + row.Sale;
    if (!row.Invoice.empty()) holder += ", invoice " + row.Invoice;
    return holder;
  }
  return {};
}

bool ReadTillRecords(IDBScript& db, TTillRecords& records, std::string& error) {
  TIntfPtr<ITillDatabase> till = TIntfPtr<IDBScript>::Share(&db).As<ITillDatabase>();
  if (!till) {
    error = "the DB script service cannot list rows";
    return false;
  }
  std::string connection;
  db.GetConnection(connection);
  TDBTable transactions, activities, sales, giveBacks;
  if (!ReadTable(db, *till, "DovraTransactions",
                 "SELECT [ID], [VoucherReference], [RedeemJSON], [Amount], [InvoiceNum] FROM "
                 "[DovraTransactions] ORDER BY [ID]",
                 transactions, error) ||
      !ReadTable(db, *till, "DovraLog",
                 "SELECT [Message] FROM [DovraLog] WHERE [Class] = 'REVERSE' ORDER BY [ID]",
                 activities, error) ||
      !ReadTable(db, *till, "SarnSales", "SELECT * FROM [SarnSales] ORDER BY [Sale]", sales,
                 error) ||
      !ReadTable(db, *till, "SarnGiveBacks", "SELECT * FROM [SarnGiveBacks] ORDER BY [ID]",
                 giveBacks, error)) {
    error = "the store database " + connection + " could not be read: " + error;
    return false;
  }
  std::map<std::string, std::pair<std::string, std::string>> saleOf;  // reference: sale, state
  for (const auto& row : sales.Rows) {
    TSaleRow sale{std::atoi(Cell(sales, row, "Sale").c_str()), Cell(sales, row, "State"),
                  Cell(sales, row, "VoucherReference")};
    if (!sale.Reference.empty()) saleOf[sale.Reference] = {Cell(sales, row, "Sale"), sale.State};
    records.Sales[sale.Sale] = std::move(sale);
  }
  for (const auto& row : giveBacks.Rows) {
    records.Settled.insert(Cell(giveBacks, row, "Candidate"));
    const bool reversed = IsReversedOutcome(Cell(giveBacks, row, "Outcome"));
    if (reversed) records.GivenBack.insert(Cell(giveBacks, row, "VoucherReference"));
    // A table from before the column reads empty here.
    if (const std::string transaction = Cell(giveBacks, row, "Transaction");
        reversed && !transaction.empty())
      records.ClosedTransactions.insert(std::atoi(transaction.c_str()));
  }
  // The override's activity is the row as it was read: {"ID":N,"VoucherReference":"..."}. Every
  // text that could stand there is noted once, so that a large table is not read once per row.
  std::unordered_set<std::string> reversed;
  for (const auto& activity : activities.Rows)
    NoteNamedReferences(Cell(activities, activity, "Message"), reversed);
  for (const auto& cells : transactions.Rows) {
    TVoucherRow row;
    row.Reference = Cell(transactions, cells, "VoucherReference");
    if (row.Reference.empty()) continue;
    row.ID = std::atoi(Cell(transactions, cells, "ID").c_str());
    row.Code = CodeOf(Cell(transactions, cells, "RedeemJSON"));
    // As the engine wrote it, whatever the process's locale says a decimal point is.
    const std::string amount = Cell(transactions, cells, "Amount");
    std::from_chars(amount.data(), amount.data() + amount.size(), row.Amount);
    row.Invoice = Cell(transactions, cells, "InvoiceNum");
    if (const auto sale = saleOf.find(row.Reference); sale != saleOf.end())
      std::tie(row.Sale, row.SaleState) = sale->second;
    row.Reversed = reversed.count(row.Reference) > 0;
    records.Rows.push_back(std::move(row));
  }
  return true;
}

bool CountGivenBackEarlier(IDBScript& db, int32_t invoice, int32_t& count, std::string& error) {
  count = 0;
  TIntfPtr<ITillDatabase> till = TIntfPtr<IDBScript>::Share(&db).As<ITillDatabase>();
  if (!till) {
    error = "the DB script service cannot list rows";
    return false;
  }
  if (!db.TableExists("SarnGiveBacks")) {
    db.LastError(error);
    return error.empty();
  }
  // The invoice's rows only: an override must not read the whole table to count three vouchers.
  TDBTable counted;
  if (!ReadTable(db, *till, "DovraTransactions",
                 "SELECT COUNT(*) AS [Earlier] FROM [DovraTransactions] WHERE [InvoiceNum] = " +
                     std::to_string(invoice) +
                     " AND [VoucherReference] <> '' AND [VoucherReference] IN (SELECT "
                     "[VoucherReference] FROM [SarnGiveBacks] WHERE [Outcome] IN ( 'given back', "
                     "'found reversed' ))",
                 counted, error))
    return false;
  if (counted.Rows.empty()) return true;
  const std::string text = Cell(counted, counted.Rows.front(), "Earlier");
  std::from_chars(text.data(), text.data() + text.size(), count);
  return true;
}

bool EnsureGiveBacksTable(IDBScript& db) {
  if (db.Execute(TableScript, {}) < 0) return false;
  // A table from before the Transaction column gets it in place.
  TIntfPtr<ITillDatabase> till = TIntfPtr<IDBScript>::Share(&db).As<ITillDatabase>();
  TDBTable layout;
  if (!till || !till->QueryTable("SELECT * FROM [SarnGiveBacks] WHERE 1 = 0", layout)) return false;
  if (Column(layout, "Transaction") >= 0) return true;
  return db.Execute("ALTER TABLE [SarnGiveBacks] ADD [Transaction] INT NULL", {}) >= 0;
}

bool RecordGiveBack(IDBScript& db, const TGiveBack& giveBack, std::string& error) {
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
                  SqlStringLiteral(giveBack.Found), SqlStringLiteral(giveBack.Outcome),
                  text(giveBack.Answer),
                  giveBack.Transaction < 0 ? std::string("NULL")
                                           : std::to_string(giveBack.Transaction)}) == 1;
  // A till that has not sold anything yet has no sales to correct.
  const bool sales = ok && db.TableExists("SarnSales");
  if (sales && giveBack.Sale >= 0 && !giveBack.SaleState.empty())
    ok = db.Execute(
             "UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = %s, "
             "[VoucherReference] = %s WHERE [Sale] = %d AND [State] = 'open'",
             {SqlStringLiteral(giveBack.SaleState), text(giveBack.VoucherReference),
              giveBack.Sale}) >= 0;
  if (sales && !giveBack.VoucherReference.empty() && IsReversedOutcome(giveBack.Outcome))
    ok = ok && db.Execute(std::string("UPDATE [SarnSales] SET [Changed] = GETDATE(), [State] = "
                                      "'reversed' WHERE [VoucherReference] = %s AND [State] ") +
                              (giveBack.Forced ? "<> 'reversed'"
                                               : "IN ( 'reverse failed', 'cancelling', "
                                                 "'overriding' )"),
                          {SqlStringLiteral(giveBack.VoucherReference)}) >= 0;
  if (ok) return true;
  db.LastError(error);
  std::string connection;
  db.GetConnection(connection);
  error = "the give-back of " +
          (giveBack.VoucherReference.empty() ? giveBack.Candidate : giveBack.VoucherReference) +
          " could not be recorded in " + connection + (error.empty() ? "" : ": " + error);
  return false;
}
