// Reconcile as a till runs it: from the module log's last point kept for this till, against the
// store database and the voucher service, with the point moved on afterwards. sarn-till
// reconcile runs it whole; sarn-till pay runs it at its start when the log shows something of
// this till's left open since the point (an earlier crash), so that a till that crashed settles
// its own vouchers before it takes another, and reads no more than what is new when there is
// nothing.
//
// Two steps, on the main thread: ReadLog before the module is loaded (the process's own log
// header, which the module writes as it loads, is not part of what earlier runs left), then
// Settle with the module loaded, which asks its voucher API client.
#pragma once

#include <string>
#include <vector>

#include "host/till/Reconcile.h"
#include "host/till/TJournalPoint.h"
#include "host/till/TTill.h"
#include "intf/intfDovraVoucherAPI.h"

struct TReconcileSettings {
  long long OlderThan = 300;  // seconds: younger redemptions are left alone
  bool DryRun = false;        // list what would be done; change nothing, keep no point
  bool Full = false;          // read the whole log folder, not only what came since the point
  std::string LogFolder;      // empty: the module's folder
};

class TTillReconcile {
 public:
  // till: started services and a database that exists; it outlives this object.
  TTillReconcile(TTill& till, TReconcileSettings settings);

  // Reads the module log from the point this till's last run kept (all of it with Full or
  // without a point that still describes the folder). False with error naming the folder or
  // file that could not be read.
  bool ReadLog(std::string& error);
  // After ReadLog: whether a payment must settle before it starts: what the files read added
  // leaves something of this database's till open (LeftOpenForAPayment), or files were read that
  // the point does not cover yet (an archive, or all of them without a point), so that settling
  // them moves the point on and the next start reads only the live log again. False with error
  // when the database could not say how the sales stand.
  bool NeedsSettling(bool& needed, std::string& error);
  // Settles what the journal and the till's tables leave open, asking api, and (not DryRun)
  // keeps the point reached. False with error when the database could not be read; a point that
  // could not be kept is a warning (the next run reads more again, which costs time, not money).
  bool Settle(IDovraVoucherAPI& api, std::vector<Reconcile::TOutcome>& outcomes, std::string& error,
              std::string& warning);

  // Whether ReadLog started from a point kept before.
  bool FromPoint() const { return FKnown; }

 private:
  TTill& FTill;
  TReconcileSettings FSettings;
  std::string FFolder;
  Reconcile::TJournalPoint FFrom, FReached;
  bool FKnown = false;
  int FSkipped = 0;
  Reconcile::TLogScan FScan;
};
