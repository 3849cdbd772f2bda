// The till's ledger: what its database says of the vouchers it took, read once from the module's
// rows and the till's own tables,
//   DovraTransactions  one row per voucher payment (the module's)
//   DovraLog           the module's activity; a REVERSE row is the row an override gave back, as
//                      the module read it: {"ID":N,"VoucherReference":"..."}
//   SarnSales          the till's sales (TTillSales.h)
//   SarnGiveBacks      the vouchers the till gave back outside a sale (TGiveBack.h)
// and one rule for what became of each payment, which every command asks:
//   reversed           an override's REVERSE row names the payment's ID, a give-back closed
//                      the row, or gave its reference back, or its sale says it was reversed
//   reverse failed, cancelling, overriding
//                      its sale says so: a give-back begun and not confirmed
//   linked             linked to an invoice
//   paid, open         whether it paid above 0
// A payment holds its voucher while it reads paid or linked, paid above 0, and its sale (if the
// till has one) is not one the till never booked.
#pragma once

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/contract/TDBScript.h"
#include "host/store/TSaleState.h"
#include "host/store/TTillSales.h"

// One DovraTransactions row with a voucher reference, as the store database holds it.
struct TVoucherRow {
  int32_t ID = 0;
  std::string Reference, Code;  // Code from the kept Redeem answer; empty when unreadable
  double Amount = 0;
  std::string Invoice;    // empty: not linked
  std::string Sale;       // the till's sale of this reference; empty: none
  std::string SaleState;  // that sale's State
  bool Reversed = false;  // an override's REVERSE activity names the row's ID
};

// The tables as read; DovraTransactions with each row's state added as a last column, "State".
struct TLedgerTables {
  TDBTable Transactions, Log, Sales, GiveBacks;
};

// What is read: the module's rows of one invoice or all, and its whole activity log (to show it)
// or only the REVERSE rows the rule needs.
struct TLedgerScope {
  std::string TransactionsWhere;  // " WHERE [InvoiceNum] = 7"; empty: every row
  bool WholeLog = false;
};

class TLedger {
 public:
  // Reads the tables; those that do not exist yet read empty. False with error (naming the
  // database and what failed) when the database failed.
  bool Read(TDBScript& db, const TLedgerScope& scope, std::string& error);

  // What Read notes of each row, for a ledger made by hand (tests, a dry run).
  void AddRow(TVoucherRow row);
  void AddSale(TSaleRow sale);
  // One SarnGiveBacks row: its candidate, reference, outcome and the module's row it closed
  // (-1: none).
  void AddGiveBack(const std::string& candidate, const std::string& reference,
                   const std::string& outcome, int32_t transaction);

  // The module's rows that carry a voucher reference, in ID order.
  const std::vector<TVoucherRow>& Rows() const { return FRows; }
  const std::map<int32_t, TSaleRow>& Sales() const { return FSales; }
  // SarnGiveBacks candidates: what reconcile settled before.
  const std::set<std::string>& Settled() const { return FSettled; }
  // Whether the till recorded the reference as no longer standing at the service.
  bool IsGivenBack(const std::string& reference) const;
  // The module's row holding the reference, or none.
  const TVoucherRow* RowOf(const std::string& reference) const;
  // The sale holding the reference, or none.
  const TSaleRow* SaleOf(const std::string& reference) const;
  // What became of the payment, by the rule above.
  TSaleState StateOf(const TVoucherRow& row) const;
  // Why the reference may not be given back ("sale 4, invoice 2002"); empty: nothing holds it.
  std::string HeldBy(const std::string& reference) const;

  // The tables as Read found them, handed over (the ledger keeps its answers).
  TLedgerTables TakeTables() { return std::move(FTables); }

 private:
  // Lookups by reference, made on first use (a year of trading is a lot of rows to search for
  // each press) and made again after any change; a copy makes its own.
  struct TIndex {
    TIndex() = default;
    TIndex(const TIndex&) {}
    TIndex& operator=(const TIndex&) {
      Made = false;
      return *this;
    }
    std::unordered_map<std::string, const TVoucherRow*> Rows;
    std::unordered_map<std::string, const TSaleRow*> Sales;
    bool Made = false;
  };
  void Index() const;
  mutable TIndex FIndex;

  TLedgerTables FTables;
  std::vector<TVoucherRow> FRows;
  std::map<int32_t, TSaleRow> FSales;
  std::set<std::string> FSettled;
  std::set<std::string> FGivenBack;       // references recorded as no longer standing
  std::set<int32_t> FClosedTransactions;  // module rows a give-back closed
};
