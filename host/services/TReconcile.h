// What sarn-till reconcile does, apart from its printing: it collects the vouchers the module log
// and the store database leave in doubt (candidates), asks the voucher service about each, and
// gives back every live redemption of this store that no paid or linked sale holds.
//
// The module log says what the till cannot know from its tables: a Redeem whose answer never came
// (its "Redeeming" line, with the redemption key the dialog logs after it), and the references the
// module could not give back. The service says which redemptions of a code are still live; a live
// redemption belongs to a popup when its code, store and order date are the popup's key.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/services/TGiveBacks.h"
#include "lib/voucher/DovraRedemptionMatch.h"

namespace Reconcile {

struct TCandidate {
  std::string Found;         // "log: popup", "log: cancel", ..., "till: reverse failed"
  std::string Code;          // the voucher code; empty: not known
  std::string Reference;     // the redemption's reference; empty: none known (lost answer)
  int32_t Transaction = -1;  // the popup's DovraTransactions ID; -1: not known
  // The redemption key the dialog logged (store and order date as sent); without it the popup
  // is matched by store and time only.
  bool HasKey = false;
  TRedemptionKey Key;
  std::time_t LoggedAt = 0;  // the log line's time (the log is in local time), as UTC seconds
  std::string Where;         // the log file and the line's time, or the table row
  // What identifies it in SarnGiveBacks once settled.
  std::string Id() const;
};

// Reads a module log, file by file, into candidates. A file's lines are one process's story, told
// in order: a "Current Transaction" line opens a popup, "Redeeming" a redeem attempt, the Redeem
// answer settles it or names its reference; "Could not reverse" names a reference not given back.
class TLogScan {
 public:
  // name: how the output names the file.
  void BeginFile(const std::string& name);
  // The file's text in pieces of any size.
  void Feed(std::string_view piece);
  void EndFile();
  // The candidates found, one per redemption key or reference, in the order found. Popups whose
  // answer named a reference become that reference's candidate; popups the log settles (refused,
  // given back) are left out.
  std::vector<TCandidate> Candidates() const;

 private:
  void Line(const std::string& line);

  struct TPopup {
    TCandidate Candidate;
    bool Settled = false;
  };
  std::string FName, FPending;
  int32_t FTransaction = -1;
  int FCurrent = -1;  // the attempt the next Redeem lines speak of
  std::vector<TPopup> FPopups;
  std::vector<TCandidate> FReferences;
  std::vector<std::string> FGivenBack;    // references the module confirmed given back
  std::vector<std::string> FNotRecorded;  // references whose payment could not be recorded
};

// The whole text of one file.
std::vector<TCandidate> ScanLogText(std::string_view text, const std::string& name = "log");
// The module's log folder: its live logs and the archives beside them and under log/YYYYMM/.
// False with error naming the folder or file that could not be read.
bool ScanLogFolder(const std::string& folder, TLogScan& scan, std::string& error);

// What was done about one candidate (or one of its redemptions).
struct TOutcome {
  enum class TKind { Settled, GivenBack, WouldGiveBack, InDoubt, Failed } Kind = TKind::Settled;
  TCandidate Candidate;
  std::string Reference;  // the redemption acted on, when there is one
  double Amount = 0;
  std::string Done;  // what was done, in words
};

struct TReconcileOptions {
  int64_t Store = 0;          // this store's reference, as the till reports it
  long long OlderThan = 300;  // seconds: younger redemptions are left alone
  bool DryRun = false;
  std::time_t Now = 0;  // UTC seconds
};

// The service's two calls, as IDovraVoucherAPI makes them: true with the answer, or false.
using TServiceCall = std::function<bool(const std::string& request, std::string& answer)>;
// Records a settled candidate; false with error when it could not be.
using TRecord = std::function<bool(const TGiveBack&, std::string& error)>;

// Drops the candidates the till's tables settle (a recorded payment, a settled doubt), adds the
// rows the till calls "reverse failed", asks the service about each and gives back what no sale
// holds. Outcomes in candidate order.
std::vector<TOutcome> Reconcile(std::vector<TCandidate> candidates, const TTillRecords& records,
                                const TServiceCall& status, const TServiceCall& reverse,
                                const TRecord& record, const TReconcileOptions& options);

// A time the service gives ("2026-12-09T10:15:02.417Z", UTC) as seconds; -1 when it is none.
std::time_t ServiceTime(const std::string& text);

// The local time of a module log line ("20261209 10150217", the last two digits sixteenths of a
// second in hundreds of ms) as UTC seconds; -1 when the text is no such time.
std::time_t LoggedTime(std::string_view stamp);

}  // namespace Reconcile
