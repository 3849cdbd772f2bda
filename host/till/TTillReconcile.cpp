#include "host/till/TTillReconcile.h"

#include <algorithm>
#include <climits>
#include <ctime>
#include <map>
#include <set>

#include "host/contract/TDBScript.h"
#include "host/store/DatabaseUpgrade.h"
#include "host/store/TGiveBack.h"
#include "host/store/TLedger.h"
#include "host/store/TTillSales.h"
#include "lib/common/PathParts.h"

TTillReconcile::TTillReconcile(TTill& till, TReconcileSettings settings)
    : FTill(till), FSettings(std::move(settings)) {
  FFolder = FSettings.LogFolder.empty() ? FolderOf(till.Options().ModulePath) : FSettings.LogFolder;
}

bool TTillReconcile::ReadLog(std::string& error) {
  FKnown = !FSettings.Full &&
           Reconcile::LoadJournalPoint(FTill.Database(), FTill.Options().TillID, FFrom);
  return Reconcile::ScanLogFolderFrom(FFolder, FKnown ? &FFrom : nullptr, FScan, FReached, FSkipped,
                                      error);
}

bool TTillReconcile::NeedsSettling(bool& needed, std::string& error) {
  needed = true;
  // Files the point does not cover: settling them is what moves the point past them.
  if (FReached.Archives.size() > static_cast<size_t>(FSkipped)) return true;
  const Reconcile::TJournal& journal = FScan.Journal();
  const size_t fromAttempt = FScan.CarriedAttempts(), fromReverse = FScan.CarriedReverses();
  if (fromAttempt == journal.Attempts.size() && fromReverse == journal.Reverses.size()) {
    needed = false;
    return true;
  }
  TDBScript& db = FTill.Database();
  const std::string database = DatabaseIdentity(db);
  // The sales of the presses recorded and never linked: a sale paid without an invoice.
  int32_t first = INT32_MAX;
  for (size_t i = fromAttempt; i < journal.Attempts.size(); ++i) {
    const Reconcile::TAttempt& a = journal.Attempts[i];
    if (a.Recorded && !a.Linked && a.Sale >= 0) first = std::min(first, a.Sale);
  }
  std::map<int32_t, TSaleRow> sales;
  if (first != INT32_MAX && !ReadSalesFrom(db, first, sales, error)) return false;
  const Reconcile::TSaleHolds holds = [&](int32_t sale, const std::string& reference) {
    const auto found = sales.find(sale);
    if (found == sales.end() || found->second.Reference != reference) return false;
    const std::optional<TSaleState> state = ReadSaleState(found->second.State);
    return state == TSaleState::Paid || state == TSaleState::Linked;
  };
  // What an earlier run settled is in SarnGiveBacks, not in the log: asked only when the log
  // alone leaves something open.
  std::set<std::string> settled;
  needed =
      Reconcile::LeftOpenForAPayment(journal, fromAttempt, fromReverse, database, holds, settled);
  if (!needed) return true;
  if (!ReadSettledCandidates(db, settled, error)) return false;
  needed =
      Reconcile::LeftOpenForAPayment(journal, fromAttempt, fromReverse, database, holds, settled);
  return true;
}

bool TTillReconcile::Settle(IDovraVoucherAPI& api, std::vector<Reconcile::TOutcome>& outcomes,
                            std::string& error, std::string& warning) {
  TDBScript& db = FTill.Database();
  const TTillOptions& options = FTill.Options();
  TLedger ledger;
  if (!ledger.Read(db, {}, error)) return false;

  Reconcile::TReconcileOptions settings;
  settings.Database = DatabaseIdentity(db);
  settings.OlderThan = FSettings.OlderThan;
  settings.DryRun = FSettings.DryRun;
  settings.Now = std::time(nullptr);
  const Reconcile::TServiceCall status = [&](const std::string& request, std::string& answer) {
    return api.VoucherStatus(request, answer);
  };
  const Reconcile::TServiceCall reverse = [&](const std::string& request, std::string& answer) {
    return api.Reverse(request, answer);
  };
  const Reconcile::TRecord record = [&](const TGiveBack& giveBack, std::string& why) {
    return RecordGiveBack(db, giveBack, why);
  };
  const Reconcile::TLinkSale link = [&](int32_t sale, int32_t invoice, std::string& why) {
    if (TTillSales(db, options.StoreID, options.TillID).Link(sale, invoice)) return true;
    db.LastError(why);
    if (why.empty()) why = "the database did not take it";
    return false;
  };
  outcomes = Reconcile::Reconcile(FScan.Journal(), ledger, status, reverse, record, settings, link);
  warning.clear();
  if (FSettings.DryRun) return true;
  FReached.Open = Reconcile::OpenPart(FReached.Open, ledger, settings);
  if (!Reconcile::SaveJournalPoint(db, options.TillID, FReached, warning))
    warning += std::string("; the next run reads the log from the ") +
               (FKnown ? "last point kept" : "start");
  return true;
}
