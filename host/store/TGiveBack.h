// The till's own record of the vouchers it gave back outside a sale (voucher reverse, reconcile),
// and of the doubts reconcile settled, kept beside its sales:
//   SarnGiveBacks (ID, Created, Candidate, VoucherCode, VoucherReference, Amount, Found, Outcome,
//                  Answer, Transaction)
// Outcome says what became of it (TGiveBackOutcome.h). Candidate names what was settled, so that a
// later run of reconcile leaves it be; Transaction the module's DovraTransactions row it closes,
// when known. A give-back also turns a sale the till left "reverse failed", "cancelling" or
// "overriding" into "reversed".

// What became of each voucher payment, and what holds a reference, is the ledger's rule
// (TLedger.h).
#pragma once

#include <optional>
#include <set>
#include <string>

#include "host/contract/TDBScript.h"
#include "host/store/TGiveBackOutcome.h"
#include "host/store/TSaleState.h"

struct TGiveBack {
  std::string Candidate;
  std::string VoucherCode, VoucherReference;
  double Amount = 0;
  std::string Found;  // where the doubt was found ("voucher reverse", "log: cancel", ...)
  TGiveBackOutcome Outcome = TGiveBackOutcome::GivenBack;
  std::string Answer;        // the service's answer, as it came
  int32_t Transaction = -1;  // the module's row it closes; -1: none
  // The till's sale it closes, and the state that sale takes (from open only); -1: none.
  int32_t Sale = -1;
  std::optional<TSaleState> SaleState;
  // Given back past a paid or linked sale (voucher reverse --force): that sale reads reversed.
  bool Forced = false;
};

// How many of the invoice's voucher rows the till gave back earlier (voucher reverse, reconcile).
// False with error when the database failed; 0 when the till never gave one back.
bool CountGivenBackEarlier(TDBScript& db, int32_t invoice, int32_t& count, std::string& error);

// The candidates settled so far (the Candidate column), without the rest of the rows: what a
// payment's start asks before it decides whether anything is left to settle. None when there is
// no table yet; false with error when the database failed.
bool ReadSettledCandidates(TDBScript& db, std::set<std::string>& candidates, std::string& error);

// Makes SarnGiveBacks, or adds the column a table of an older layout lacks. False when the
// database failed.
bool EnsureGiveBacksTable(TDBScript& db);

// Writes one give-back, and the sale it closes takes its state. False with error when the database
// refused it.
bool RecordGiveBack(TDBScript& db, const TGiveBack& giveBack, std::string& error);
