// What sarn-till reconcile does, apart from its printing: it reads the module log as a journal,
// compares it with the store database and the voucher service, and finishes what a crash or a
// failed call left half done. It acts only on proof:
//   - a live redemption is given back when its request digest is that of a Redeem attempt this
//     database's till made and the journal shows it never recorded (or the till never booked
//     its sale), or when it is the subject of a reverse the till or the module started and did
//     not see confirmed;
//   - a redemption the journal shows recorded is never given back for want of a row: a restored
//     database, or another till's, is named for a person;
//   - a reversal the service made that the tables do not show is recorded.
// Whatever cannot be proven is named for a person, every run, and never guessed at.
#pragma once

#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/store/TGiveBack.h"
#include "host/store/TLedger.h"
#include "host/till/TFound.h"
#include "lib/voucher/DovraRedemptionMatch.h"

namespace Reconcile {

// One press of Redeem, as the journal tells it.
struct TAttempt {
  std::string Code;
  bool HasKey = false;
  TRedemptionKey Key;        // with the request's digest; empty digest: a log from before them
  int32_t Transaction = -1;  // the popup's DovraTransactions row; -1: not known
  std::string Database;      // the database identity the process's log header names
  int32_t Sale = -1;         // the till's sale the process was paying; -1: not known
  std::string Reference;     // the answer's reference, when one came and could be read
  bool Refused = false;      // the service said no: nothing was used
  bool Settled = false;      // the dialog found it unused, or gave it back
  bool Recorded = false;     // the module's row holds Reference
  bool Linked = false;       // then the module linked that row to an invoice
  std::time_t LoggedAt = 0;  // the Redeeming line's time, as UTC seconds
  std::string Where;         // the log file and the line's time
};

// A reverse the module began at the service (popup give-back, cancel, override, the dialog).
struct TReverseIntent {
  std::string Reference;
  TFound Found;            // the log's cancel, override, popup or dialog
  bool Confirmed = false;  // the module logged the service's confirmation
  bool Recorded = false;   // an override's REVERSE activity row stands
  std::string Database;
  int32_t Transaction = -1;
  int32_t Sale = -1;  // the sale its process was paying; -1: not known
  std::time_t LoggedAt = 0;
  std::string Where;
};

struct TJournal {
  std::vector<TAttempt> Attempts;
  // One per reference, in the order first seen; the last line about it says how it stands.
  std::vector<TReverseIntent> Reverses;
};

// What a scan carries from one file into the next: the story of the process whose header came
// last (what a file's own lines were in the middle of starts afresh with each file).
struct TScanState {
  std::string Database;
  int32_t Sale = -1;
  bool InHeader = false;
};

// Reads a module log, file by file. A process's story starts at its log header, whose
// environment names the database and the sale; its lines are told in order.
class TLogScan {
 public:
  // name: how the output names the file.
  void BeginFile(const std::string& name);
  // The file's text in pieces of any size.
  void Feed(std::string_view piece);
  void EndFile();
  const TJournal& Journal() const { return FJournal; }
  // Between files: the state to resume from, and resuming from it with what earlier files left
  // open as the journal so far.
  TScanState State() const { return {FDatabase, FSale, FInHeader}; }
  void Resume(const TScanState& state, TJournal open);
  // How many of the journal's first attempts and reverses came from Resume: what the files read
  // since added stands after them (a reverse carried may still change by a later line).
  size_t CarriedAttempts() const { return FCarriedAttempts; }
  size_t CarriedReverses() const { return FCarriedReverses; }

 private:
  void Line(const std::string& line);
  void Header(const std::string& line);
  TReverseIntent& Intent(const std::string& reference, TFoundSource found, std::time_t at);

  std::string FName, FPending;
  bool FInHeader = false;
  std::string FDatabase;
  int32_t FSale = -1;
  int32_t FTransaction = -1;
  int FCurrent = -1;         // the attempt the next Redeem lines speak of
  size_t FProcessStart = 0;  // the first attempt of the process whose lines are read
  size_t FCarriedAttempts = 0, FCarriedReverses = 0;
  std::unordered_map<std::string, size_t> FIntentOf;  // reference -> its entry in Reverses
  // The module writes a Redeem's key before its Redeeming line; a module from before that wrote
  // it right after. A key waits here for the Redeeming line that sends it.
  bool FHasPendingKey = false;
  TRedemptionKey FPendingKey;
  bool FAfterRedeeming = false;  // the last line was a Redeeming line
  TJournal FJournal;
};

// The journal of one text, as one file.
TJournal ScanLogText(std::string_view text, const std::string& name = "log");
// The module's log folder: its live logs and the archives beside them and under log/YYYYMM/.
// False with error naming the folder or file that could not be read.
bool ScanLogFolder(const std::string& folder, TLogScan& scan, std::string& error);

// What reconcile names: a voucher in doubt and where it was found.
struct TCandidate {
  TFound Found;
  std::string Code;       // the voucher code; empty: not known
  std::string Reference;  // the redemption's reference; empty: none known (lost answer)
  int32_t Transaction = -1;
  int32_t Sale = -1;
  std::string Digest;  // the Redeem request's digest, for an attempt
  std::string Where;
  // What identifies it in SarnGiveBacks once settled.
  std::string Id() const;
};

// What was done about one candidate.
struct TOutcome {
  enum class TKind { Settled, GivenBack, WouldGiveBack, InDoubt, Failed } Kind = TKind::Settled;
  TCandidate Candidate;
  std::string Reference;  // the redemption acted on, when there is one
  double Amount = 0;
  std::string Done;  // what was done, in words
};

struct TReconcileOptions {
  std::string Database;       // this database's identity; empty: it has none (not upgraded)
  long long OlderThan = 300;  // seconds: younger redemptions are left alone
  bool DryRun = false;
  std::time_t Now = 0;  // the till's clock, UTC seconds
};

// The service's two calls, as IDovraVoucherAPI makes them: true with the answer, or false.
using TServiceCall = std::function<bool(const std::string& request, std::string& answer)>;
// Records a settled candidate; false with error when it could not be.
using TRecord = std::function<bool(const TGiveBack&, std::string& error)>;

// Links a paid sale to an invoice; false with error when it could not be.
using TLinkSale = std::function<bool(int32_t sale, int32_t invoice, std::string& error)>;

// Finishes what the journal and the till's tables leave open. Outcomes in the order found: links
// first (a paid sale whose voucher's row the module linked to an invoice: the till was stopped
// between the module's link and its own), then reverses, then Redeem attempts.
std::vector<TOutcome> Reconcile(const TJournal& journal, const TLedger& records,
                                const TServiceCall& status, const TServiceCall& reverse,
                                const TRecord& record, const TReconcileOptions& options,
                                const TLinkSale& link = nullptr);

// What of journal a later run must still see, judged against the till's tables as they stand:
// the Redeem presses and reverses that reconcile would still act on or name, those that share a
// request digest or a reference with one of them, and nothing that is finished (refused, found
// unused or given back by the dialog, recorded and held by a sale, confirmed, settled by an
// earlier run) or that belongs to another database's till and is done.
TJournal OpenPart(const TJournal& journal, const TLedger& records,
                  const TReconcileOptions& options);

// Whether a sale of the till holds the reference: it reads paid or linked with it.
using TSaleHolds = std::function<bool(int32_t sale, const std::string& reference)>;

// Whether the journal leaves anything of this database's till open that must be settled before
// the till takes another voucher, judged on the journal alone and, for a press it shows recorded
// and never linked, on that press's sale (saleHolds): a till that pays without an invoice books
// the sale and links nothing. A press is finished when the service refused it, the dialog
// settled it, a reverse of it was confirmed, or it was recorded and then linked or held by its
// sale; a reverse when it was confirmed (an override's once recorded as well); either when an
// earlier run settled it (settled: SarnGiveBacks' candidates). What another database's till, or a
// log naming none, left is reconcile's to name, not a payment's to settle.
bool LeftOpenForAPayment(const TJournal& journal, size_t fromAttempt, size_t fromReverse,
                         const std::string& database, const TSaleHolds& saleHolds,
                         const std::set<std::string>& settled);

// Whether an earlier run settled the candidate of that identity (TCandidate::Id), or one of the
// group it begins (a group's candidates carry its reference after its identity).
bool SettledBefore(const std::set<std::string>& settled, const std::string& id);

// A time the service gives ("2026-12-09T10:15:02.417Z", UTC) as seconds; -1 when it is none.
std::time_t ServiceTime(const std::string& text);

// The local time of a module log line ("20261209 10150217", the last two digits sixteenths of a
// second in hundreds of ms) as UTC seconds; -1 when the text is no such time.
std::time_t LoggedTime(std::string_view stamp);

}  // namespace Reconcile
