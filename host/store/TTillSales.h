// sarn-till's own record of its sales, kept beside the modules' tables the way a host keeps them:
//   SarnSales (Sale, Created, Changed, Amount, Paid, Invoice, State, VoucherReference, Store, Till)
// Amount is what the sale was due, Paid what the voucher paid, Store and Till who took it (NULL in
// rows of a table from before they were kept). State is one of
//   open            started, nothing paid (yet)
//   paid            paid, not linked to an invoice
//   linked          paid and linked to Invoice
//   reversed        cancelled or overridden; a voucher it carried was given back
//   reverse failed  cancelled or overridden, but a voucher could not be given back (the
//                   module log names it)
//   cancelling      the till is cancelling it: written before the module is asked, so that a
//                   crash at any later step is finished by reconcile
//   overriding      the same for an override of its invoice
//   not booked      the till never booked it (killed before): reconcile closed it, its voucher
//                   given back or never used
// upgrade makes the table (UpgradeTillSales); a sale brings a table of an older layout up to
// date as well. Failures reach the DB script service's trace and stderr,
// and come back as the result.
#pragma once

#include <map>
#include <string>

#include "host/contract/TDBScript.h"
#include "host/store/TSaleState.h"

// One SarnSales row, as far as what became of its voucher goes.
struct TSaleRow {
  int32_t Sale = 0;
  std::string State, Reference;
};

// The sales numbered from first on, by number, of every till: how the last few payments' sales
// stand without reading the whole table. None when there is no table yet; false with error when
// the database failed.
bool ReadSalesFrom(TDBScript& db, int32_t first, std::map<int32_t, TSaleRow>& sales,
                   std::string& error);

// The sales of one till of one store, in the database the till keeps (db outlives it).
class TTillSales {
 public:
  TTillSales(TDBScript& db, int32_t store, int32_t till) : FDb(db), FStore(store), FTill(till) {}

  // A new open sale of the amount due: its number, or -1 when it could not be recorded.
  int32_t Open(TCurrency amount);
  // The sale's outcome; reference empty: none (NULL). False when it could not be recorded.
  bool Settle(int32_t sale, TSaleState state, TCurrency paid, const std::string& reference);
  // A paid sale linked to the invoice.
  bool Link(int32_t sale, int32_t invoice);
  // Every linked (or overriding) sale of the invoice takes the state. Rows changed, or -1 on
  // failure.
  int32_t SettleInvoice(int32_t invoice, TSaleState state);

 private:
  TDBScript& FDb;
  int32_t FStore, FTill;
};

// Makes SarnSales, or adds the columns a table of an older layout lacks, in place. done: what it
// did, in words ("" when the table was up to date). False when the database failed.
bool UpgradeTillSales(TDBScript& db, std::string& done);
