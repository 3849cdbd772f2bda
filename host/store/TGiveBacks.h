// The till's own record of the vouchers it gave back outside a sale (voucher reverse, reconcile),
// and of the doubts reconcile settled, kept beside its sales:
//   SarnGiveBacks (ID, Created, Candidate, VoucherCode, VoucherReference, Amount, Found, Outcome,
//                  Answer, Transaction)
// Outcome is "given back" (the service confirmed the reversal), "found reversed" (a reverse whose
// answer was lost: the service holds it reversed) or "nothing to give back" (the service holds
// no live redemption of it). Candidate names what was settled, so that a later run of reconcile
// leaves it be; Transaction the module's DovraTransactions row it closes, when known. A give-back
// also turns a sale the till left "reverse failed", "cancelling" or "overriding" into "reversed".
//
// What holds a voucher reference is told from the module's rows and the till's sales together: a
// DovraTransactions row that paid (Amount above 0) holds its reference unless its sale says it
// was cancelled or overridden, an override's REVERSE activity names its ID, or the till recorded
// the reference as given back.
#pragma once

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/contract/TDBScript.h"

struct TGiveBack {
  std::string Candidate;
  std::string VoucherCode, VoucherReference;
  double Amount = 0;
  std::string Found;         // where the doubt was found ("voucher reverse", "log: cancel", ...)
  std::string Outcome;       // "given back", "found reversed" or "nothing to give back"
  std::string Answer;        // the service's answer, as it came
  int32_t Transaction = -1;  // the module's row it closes; -1: none
  // The till's sale it closes, and the state that sale takes (from "open" only); -1: none.
  int32_t Sale = -1;
  std::string SaleState;
  // Given back past a paid or linked sale (voucher reverse --force): that sale reads reversed.
  bool Forced = false;
};

// Whether an outcome means the redemption no longer stands at the service.
bool IsReversedOutcome(const std::string& outcome);

// One SarnSales row.
struct TSaleRow {
  int32_t Sale = 0;
  std::string State, Reference;
};

// One DovraTransactions row with a voucher reference, as the store database holds it.
struct TVoucherRow {
  int32_t ID = 0;
  std::string Reference, Code;  // Code from the kept Redeem answer; empty when unreadable
  double Amount = 0;
  std::string Invoice;    // empty: not linked
  std::string Sale;       // the till's sale of this reference; empty: none
  std::string SaleState;  // that sale's State
  bool Reversed = false;  // a REVERSE activity names the row
};

struct TTillRecords {
  std::vector<TVoucherRow> Rows;
  std::map<int32_t, TSaleRow> Sales;
  std::set<std::string> Settled;         // SarnGiveBacks candidates
  std::set<std::string> GivenBack;       // references SarnGiveBacks records as no longer standing
  std::set<int32_t> ClosedTransactions;  // module rows a give-back closed
  // The module's row holding the reference, or none.
  const TVoucherRow* RowOf(const std::string& reference) const;
  // The sale holding the reference, or none.
  const TSaleRow* SaleOf(const std::string& reference) const;
  // Why the reference may not be given back ("sale 4, invoice 2002"); empty: nothing holds it.
  std::string HeldBy(const std::string& reference) const;

 private:
  // Lookups by reference, made on first use (a year of trading is a lot of rows to search each
  // time) and again when rows or sales were added since; a copy makes its own.
  struct TIndex {
    TIndex() = default;
    TIndex(const TIndex&) {}
    TIndex& operator=(const TIndex&) {
      Made = false;
      return *this;
    }
    std::unordered_map<std::string, const TVoucherRow*> Rows;
    std::unordered_map<std::string, const TSaleRow*> Sales;
    size_t RowCount = 0, SaleCount = 0;
    bool Made = false;
  };
  void Index() const;
  mutable TIndex FIndex;
};

// Reads what the store database says of the till's vouchers. False with error (naming the
// database) when it cannot be read; tables that do not exist yet are empty.
bool ReadTillRecords(IDBScript& db, TTillRecords& records, std::string& error);

// How many of the invoice's voucher rows the till gave back earlier (voucher reverse, reconcile).
// False with error when the database failed; 0 when the till never gave one back.
bool CountGivenBackEarlier(IDBScript& db, int32_t invoice, int32_t& count, std::string& error);

// Makes SarnGiveBacks, or adds the column a table of an older layout lacks. False when the
// database failed.
bool EnsureGiveBacksTable(IDBScript& db);

// Writes one give-back, and the sale it closes takes its state. False with error when the database
// refused it.
bool RecordGiveBack(IDBScript& db, const TGiveBack& giveBack, std::string& error);
