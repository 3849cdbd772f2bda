#include "host/store/TLedger.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <unordered_set>

#include "host/store/CellsByName.h"
#include "host/store/TGiveBack.h"
#include "host/store/TableRead.h"
#include "lib/json/clsJSONDocument.h"

namespace {

std::string CodeOf(const std::string& redeemAnswer) {
  const TJSONValue answer = ParseJSONDocument(redeemAnswer);
  const TJSONValue* code = answer.IsDocument() ? answer.Find("VoucherCode") : nullptr;
  return code && code->Kind() == TJSONKind::Text ? code->AsText() : std::string();
}

// As the engine wrote it, whatever the process's locale says a decimal point is.
double AmountOf(const std::string& text) {
  double amount = 0;
  std::from_chars(text.data(), text.data() + text.size(), amount);
  return amount;
}

// The digits after every "ID": in the message. The override's activity is the row as the module
// read it, so the ID names the row itself, whatever its reference holds (a reference JSON must
// escape reads otherwise than the column holds it), and a message cut to its column still names
// it: the ID comes first.
void NoteNamedIDs(const std::string& message, std::unordered_set<std::string>& ids) {
  static const std::string key = "\"ID\"";
  for (size_t at = message.find(key); at != std::string::npos; at = message.find(key, at + 1)) {
    size_t k = at + key.size();
    while (k < message.size() && message[k] == ' ') ++k;
    if (k >= message.size() || message[k] != ':') continue;
    ++k;
    while (k < message.size() && message[k] == ' ') ++k;
    const size_t start = k;
    while (k < message.size() && std::isdigit(static_cast<unsigned char>(message[k]))) ++k;
    if (k > start) ids.insert(message.substr(start, k - start));
  }
}

}  // namespace

bool TLedger::Read(TDBScript& db, const TLedgerScope& scope, std::string& error) {
  *this = TLedger();
  TLedgerTables& t = FTables;
  if (!ReadTableIfAny(
          db, "DovraTransactions",
          "SELECT * FROM [DovraTransactions]" + scope.TransactionsWhere + " ORDER BY [ID]",
          t.Transactions, error) ||
      !ReadTableIfAny(
          db, "DovraLog",
          scope.WholeLog
              ? "SELECT * FROM [DovraLog] ORDER BY [ID]"
              : "SELECT [Message] FROM [DovraLog] WHERE [Class] = 'REVERSE' ORDER BY [ID]",
          t.Log, error) ||
      !ReadTableIfAny(db, "SarnSales", "SELECT * FROM [SarnSales] ORDER BY [Sale]", t.Sales,
                      error) ||
      !ReadTableIfAny(db, "SarnGiveBacks", "SELECT * FROM [SarnGiveBacks] ORDER BY [ID]",
                      t.GiveBacks, error)) {
    std::string connection;
    db.GetConnection(connection);
    error = "the store database " + connection + " could not be read: " + error;
    return false;
  }
  for (const auto& row : t.Sales.Rows)
    AddSale(TSaleRow{std::atoi(CellText(t.Sales, row, "Sale").c_str()),
                     CellText(t.Sales, row, "State"), CellText(t.Sales, row, "VoucherReference")});
  // The last sale of a reference tells what became of it.
  std::map<std::string, const TSaleRow*> saleOf;
  for (const auto& [number, sale] : FSales)
    if (!sale.Reference.empty()) saleOf[sale.Reference] = &sale;
  for (const auto& row : t.GiveBacks.Rows) {
    // A table from before the Transaction column reads none here.
    const std::string& transaction = CellText(t.GiveBacks, row, "Transaction");
    AddGiveBack(CellText(t.GiveBacks, row, "Candidate"),
                CellText(t.GiveBacks, row, "VoucherReference"),
                CellText(t.GiveBacks, row, "Outcome"),
                transaction.empty() ? -1 : std::atoi(transaction.c_str()));
  }
  // Every ID a REVERSE row names is noted once, so that a large table is not read once per row.
  const bool everyClass = ColumnOf(t.Log, "Class") >= 0;
  std::unordered_set<std::string> reversed;
  for (const auto& row : t.Log.Rows)
    if (!everyClass || CellText(t.Log, row, "Class") == "REVERSE")
      NoteNamedIDs(CellText(t.Log, row, "Message"), reversed);

  t.Transactions.Columns.push_back("State");
  for (auto& cells : t.Transactions.Rows) {
    TVoucherRow row;
    const std::string& id = CellText(t.Transactions, cells, "ID");
    row.ID = std::atoi(id.c_str());
    row.Reference = CellText(t.Transactions, cells, "VoucherReference");
    row.Amount = AmountOf(CellText(t.Transactions, cells, "Amount"));
    row.Invoice = CellText(t.Transactions, cells, "InvoiceNum");
    row.Reversed = reversed.count(id) > 0;
    if (const auto sale = saleOf.find(row.Reference);
        !row.Reference.empty() && sale != saleOf.end())
      row.Sale = std::to_string(sale->second->Sale), row.SaleState = sale->second->State;
    cells.push_back(TDBCell{TDBCell::TKind::Textual, SaleStateText(StateOf(row))});
    if (row.Reference.empty()) continue;
    row.Code = CodeOf(CellText(t.Transactions, cells, "RedeemJSON"));
    FRows.push_back(std::move(row));
    FIndex.Made = false;
  }
  return true;
}

void TLedger::AddRow(TVoucherRow row) {
  FRows.push_back(std::move(row));
  FIndex.Made = false;
}

void TLedger::AddSale(TSaleRow sale) {
  const int32_t number = sale.Sale;
  FSales[number] = std::move(sale);
  FIndex.Made = false;
}

void TLedger::AddGiveBack(const std::string& candidate, const std::string& reference,
                          const std::string& outcome, int32_t transaction) {
  FSettled.insert(candidate);
  const std::optional<TGiveBackOutcome> read = ReadGiveBackOutcome(outcome);
  if (!read || !IsReversedOutcome(*read)) return;
  if (!reference.empty()) FGivenBack.insert(reference);
  if (transaction >= 0) FClosedTransactions.insert(transaction);
}

bool TLedger::IsGivenBack(const std::string& reference) const {
  return FGivenBack.count(reference) > 0;
}

void TLedger::Index() const {
  if (FIndex.Made) return;
  FIndex.Rows.clear();
  FIndex.Sales.clear();
  // The first row or sale of a reference answers, as a search from the start would.
  for (const TVoucherRow& row : FRows)
    if (!row.Reference.empty()) FIndex.Rows.emplace(row.Reference, &row);
  for (const auto& [number, sale] : FSales)
    if (!sale.Reference.empty()) FIndex.Sales.emplace(sale.Reference, &sale);
  FIndex.Made = true;
}

const TVoucherRow* TLedger::RowOf(const std::string& reference) const {
  if (reference.empty()) return nullptr;
  Index();
  const auto found = FIndex.Rows.find(reference);
  return found == FIndex.Rows.end() ? nullptr : found->second;
}

const TSaleRow* TLedger::SaleOf(const std::string& reference) const {
  if (reference.empty()) return nullptr;
  Index();
  const auto found = FIndex.Sales.find(reference);
  return found == FIndex.Sales.end() ? nullptr : found->second;
}

TSaleState TLedger::StateOf(const TVoucherRow& row) const {
  if (row.Reversed || FClosedTransactions.count(row.ID) ||
      (!row.Reference.empty() && IsGivenBack(row.Reference)))
    return TSaleState::Reversed;
  // A sale that says its voucher is being, or was, given back; not booked says nothing of the
  // payment itself.
  if (const auto sale = ReadSaleState(row.SaleState);
      sale && ReleasesVoucher(*sale) && *sale != TSaleState::NotBooked)
    return *sale;
  if (!row.Invoice.empty()) return TSaleState::Linked;
  return row.Amount > 0 ? TSaleState::Paid : TSaleState::Open;
}

std::string TLedger::HeldBy(const std::string& reference) const {
  if (reference.empty()) return {};
  for (const TVoucherRow& row : FRows) {
    if (row.Reference != reference || row.Amount <= 0) continue;
    const TSaleState state = StateOf(row);
    if (state != TSaleState::Paid && state != TSaleState::Linked) continue;
    if (ReadSaleState(row.SaleState) == TSaleState::NotBooked) continue;
    std::string holder =
        row.Sale.empty() ? "DovraTransactions row " + std::to_string(row.ID) : "sale " + row.Sale;
    if (!row.Invoice.empty()) holder += ", invoice " + row.Invoice;
    return holder;
  }
  return {};
}
