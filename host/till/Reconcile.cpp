#include "host/till/Reconcile.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>

#include "lib/json/clsJSONDocument.h"
#include "lib/modulelog/LogFolder.h"
#include "lib/modulelog/ModuleLogLines.h"
#include "lib/voucher/DovraMessages.h"

namespace Reconcile {

namespace {

const std::string kEnvironment = "Environment variables=";

// A text member's value; empty when it is missing or not a text.
std::string MemberText(const TJSONValue& object, const char* name) {
  const TJSONValue* value = object.IsDocument() ? object.Find(name) : nullptr;
  return value && value->Kind() == TJSONKind::Text ? value->AsText() : std::string();
}

// The reference of a logged redeem answer as the payment method read it when it recorded the
// sale; empty when it could read none.
std::string RedeemedReference(std::string_view answerText) {
  TRedeemAnswer read;
  try {
    ReadRedeemAnswer(answerText, read);
  } catch (const EJSONError&) {
    // Another member missing or unreadable: the reference, when read, still stands.
  }
  return read.HasReference ? read.VoucherReference : std::string();
}

std::string Age(long long seconds) { return std::to_string(seconds) + " s"; }

double Money(TCurrency amount) { return static_cast<double>(amount) / CurrencyScale; }

bool IsIntentState(const std::string& state) {
  const std::optional<TSaleState> read = ReadSaleState(state);
  return read && IsIntentState(*read);
}

// The value of one variable in the log header's environment line (TAB between entries).
std::string EnvironmentValue(std::string_view line, std::string_view name) {
  line.remove_prefix(kEnvironment.size());
  while (!line.empty()) {
    const size_t tab = line.find('\t');
    const std::string_view entry = line.substr(0, tab);
    if (entry.size() > name.size() && entry.substr(0, name.size()) == name &&
        entry[name.size()] == '=')
      return std::string(entry.substr(name.size() + 1));
    if (tab == std::string_view::npos) break;
    line.remove_prefix(tab + 1);
  }
  return {};
}

TFoundSource FoundOf(TJournalLine line) {
  switch (line) {
    case TJournalLine::CancelReversing:
    case TJournalLine::CancelReversed:
    case TJournalLine::CancelNotReversed:
      return TFoundSource::LogCancel;
    case TJournalLine::OverrideReversing:
    case TJournalLine::OverrideReversed:
    case TJournalLine::OverrideNotReversed:
    case TJournalLine::OverrideRecorded:
      return TFoundSource::LogOverride;
    case TJournalLine::GivingBack:
    case TJournalLine::GivenBack:
      return TFoundSource::LogDialog;
    default:
      return TFoundSource::LogPopup;
  }
}

// How long before the answer the service made a redemption, on the service's own clock when the
// answer says what time it is; note says when the till's clock had to stand in.
struct TAge {
  long long Seconds = 0;
  bool Readable = false;
  std::string Note;
};

TAge AgeOf(const TLiveRedemption& live, const TVoucherStatusAnswer& status, std::time_t now) {
  TAge age;
  const std::time_t redeemed = ServiceTime(live.RedeemedOn);
  if (redeemed < 0) return age;
  age.Readable = true;
  const std::time_t answered = ServiceTime(status.AnsweredOn);
  if (answered >= 0) {
    age.Seconds = answered - redeemed;
  } else {
    age.Seconds = now - redeemed;
    age.Note = " (age on the till's clock: the status answer has no AnsweredOn)";
  }
  return age;
}

class TReconciler {
 public:
  TReconciler(const TJournal& journal, const TLedger& records, const TServiceCall& status,
              const TServiceCall& reverse, const TRecord& record, const TReconcileOptions& options,
              const TLinkSale& link)
      : FJournal(journal),
        FRecords(records),
        FStatus(status),
        FReverse(reverse),
        FRecord(record),
        FLink(link),
        FOptions(options) {
    for (const TAttempt& attempt : journal.Attempts) {
      if (!attempt.Reference.empty() && !attempt.Code.empty())
        FCodes[attempt.Reference] = attempt.Code;
      if (attempt.Recorded && !attempt.Reference.empty()) FRecorded.insert(attempt.Reference);
    }
    for (const TVoucherRow& row : records.Rows()) {
      if (!row.Code.empty()) FCodes[row.Reference] = row.Code;
      FRecorded.insert(row.Reference);
      FRowIDs.insert(row.ID);
    }
  }

  void Run() {
    Links();
    Reverses();
    Attempts();
  }

  std::vector<TOutcome> Outcomes;

  // The rules the presses and reverses are judged by, for what a later run must still see.
  bool IsOurs(const std::string& database) const { return Ours(database); }
  bool IsConfirmed(const std::string& reference) const { return Confirmed(reference); }
  // Whether an earlier run settled the group of presses that first begins.
  bool GroupSettled(const TAttempt& first) const {
    return SettledBefore(FRecords.Settled(), GroupCandidate(first).Id());
  }

 private:
  // The candidate a group of presses is judged and settled under.
  TCandidate GroupCandidate(const TAttempt& first) const {
    TCandidate candidate = CandidateOf(first);
    // The module's row of the popup closes only when it holds no redemption of its own.
    if (FRowIDs.count(candidate.Transaction)) candidate.Transaction = -1;
    return candidate;
  }

  bool Ours(const std::string& database) const {
    return !database.empty() && database == FOptions.Database;
  }

  // ---- links the till did not finish ----

  void Links() {
    for (const TVoucherRow& row : FRecords.Rows()) {
      const TSaleRow* sale = FRecords.SaleOf(row.Reference);
      if (row.Invoice.empty() || row.Reversed || !sale ||
          ReadSaleState(sale->State) != TSaleState::Paid)
        continue;
      TCandidate candidate;
      candidate.Found = TFoundSource::TillLinked;
      candidate.Code = row.Code;
      candidate.Reference = row.Reference;
      candidate.Transaction = row.ID;
      candidate.Sale = sale->Sale;
      candidate.Where = "SarnSales sale " + std::to_string(sale->Sale) +
                        ", DovraTransactions row " + std::to_string(row.ID);
      const std::string done = "sale " + std::to_string(sale->Sale) + " linked to invoice " +
                               row.Invoice + ", as the module's row is";
      if (FOptions.DryRun || !FLink) {
        Add(TOutcome::TKind::Settled, candidate, row.Reference, row.Amount,
            "would be: " + done + (FOptions.DryRun ? " (dry run)" : ""));
        continue;
      }
      std::string error;
      if (!FLink(sale->Sale, std::atoi(row.Invoice.c_str()), error))
        Add(TOutcome::TKind::Failed, candidate, row.Reference, row.Amount,
            "not done: " + done + ": " + error);
      else
        Add(TOutcome::TKind::Settled, candidate, row.Reference, row.Amount, done);
    }
  }

  // ---- reverses the till or the module began ----

  void Reverses() {
    std::vector<TCandidate> begun;
    std::set<std::string> seen;
    for (const TReverseIntent& intent : FJournal.Reverses) {
      if (!intent.Database.empty() && !Ours(intent.Database)) continue;
      const TSaleRow* sale = FRecords.SaleOf(intent.Reference);
      const TVoucherRow* row = FRecords.RowOf(intent.Reference);
      const bool tillIntent = sale && IsIntentState(sale->State);
      const bool unrecorded = intent.Found.Source == TFoundSource::LogOverride &&
                              !intent.Recorded && row && !row->Reversed &&
                              !FRecords.IsGivenBack(intent.Reference);
      if (intent.Confirmed && !tillIntent && !unrecorded) continue;
      seen.insert(intent.Reference);
      TCandidate candidate;
      candidate.Found = intent.Found;
      candidate.Reference = intent.Reference;
      candidate.Transaction = intent.Transaction;
      // The popup's own give-back of a redemption it could not book: its sale closes with it.
      if (intent.Found.Source == TFoundSource::LogPopup) candidate.Sale = intent.Sale;
      candidate.Where = intent.Where;
      if (intent.Database.empty() && !tillIntent) {
        // A log from before the database was named: it may be another till's.
        if (!intent.Confirmed && !FRecords.IsGivenBack(intent.Reference))
          Add(TOutcome::TKind::InDoubt, candidate, intent.Reference, 0,
              "needs a person: a reverse was begun and not confirmed, and the log does not say "
              "which database its till was writing");
        continue;
      }
      begun.push_back(std::move(candidate));
    }
    for (const auto& [number, sale] : FRecords.Sales()) {
      if (!IsIntentState(sale.State) || sale.Reference.empty() || seen.count(sale.Reference))
        continue;
      seen.insert(sale.Reference);
      TCandidate candidate;
      candidate.Found = {TFoundSource::TillSale, *ReadSaleState(sale.State)};
      candidate.Reference = sale.Reference;
      candidate.Sale = sale.Sale;
      candidate.Where = "SarnSales sale " + std::to_string(sale.Sale);
      begun.push_back(std::move(candidate));
    }
    for (const TCandidate& candidate : begun) FHandled.insert(candidate.Reference);
    for (TCandidate& candidate : begun) FinishReverse(candidate);
  }

  void FinishReverse(TCandidate& candidate) {
    if (FRecords.Settled().count(candidate.Id())) return;
    const std::string& reference = candidate.Reference;
    if (const auto code = FCodes.find(reference); code != FCodes.end())
      candidate.Code = code->second;
    if (const TSaleRow* sale = FRecords.SaleOf(reference);
        sale && !IsIntentState(sale->State) && ReadSaleState(sale->State) != TSaleState::Reversed)
      return Add(TOutcome::TKind::InDoubt, candidate, reference, 0,
                 "needs a person: a reverse of it was begun, but sale " +
                     std::to_string(sale->Sale) + " reads " + sale->State);
    if (candidate.Code.empty())
      return Add(TOutcome::TKind::InDoubt, candidate, reference, 0,
                 "needs a person: no voucher code is known for it, so the service cannot be "
                 "asked");
    const TVoucherStatusAnswer* status = nullptr;
    const TLiveRedemption* live = nullptr;
    switch (Standing(candidate, status, live)) {
      case TStanding::Reversed:
        return Settle(candidate, reference, 0, TGiveBackOutcome::FoundReversed,
                      "recorded: the service holds it reversed");
      case TStanding::Live:
        // The till or the module asked for this reverse: finishing it needs no age.
        return GiveBack(candidate, *live, "");
      case TStanding::Unknown:
        return;
    }
  }

  // ---- Redeem attempts ----

  void Attempts() {
    std::map<std::string, std::vector<const TAttempt*>> byDigest;
    std::vector<std::string> order;
    for (const TAttempt& attempt : FJournal.Attempts) {
      if (attempt.Refused || attempt.Settled) continue;
      const bool recorded =
          attempt.Recorded || (!attempt.Reference.empty() && FRecords.RowOf(attempt.Reference));
      if (recorded) {
        if (Ours(attempt.Database)) Recorded(attempt);
        continue;
      }
      // A reverse of it was begun: finished above, or given back already.
      if (!attempt.Reference.empty() &&
          (FHandled.count(attempt.Reference) || Confirmed(attempt.Reference)))
        continue;
      if (!Ours(attempt.Database)) {
        Stranded(attempt);
        continue;
      }
      if (!attempt.HasKey || attempt.Key.RequestDigest.empty()) {
        Add(TOutcome::TKind::InDoubt, CandidateOf(attempt), attempt.Reference, 0,
            "needs a person: the log is from before request digests, so nothing proves which "
            "redemption this Redeem made");
        continue;
      }
      auto& group = byDigest[attempt.Key.RequestDigest];
      if (group.empty()) order.push_back(attempt.Key.RequestDigest);
      group.push_back(&attempt);
    }
    for (const std::string& digest : order) Unrecorded(byDigest[digest]);
  }

  bool Confirmed(const std::string& reference) const {
    return std::any_of(
               FJournal.Reverses.begin(), FJournal.Reverses.end(),
               [&](const TReverseIntent& r) { return r.Reference == reference && r.Confirmed; }) ||
           FRecords.IsGivenBack(reference);
  }

  bool HasIntent(const std::string& reference) const {
    const TSaleRow* sale = FRecords.SaleOf(reference);
    return (sale && IsIntentState(sale->State)) ||
           std::any_of(FJournal.Reverses.begin(), FJournal.Reverses.end(),
                       [&](const TReverseIntent& r) { return r.Reference == reference; });
  }

  TCandidate CandidateOf(const TAttempt& attempt) const {
    TCandidate candidate;
    candidate.Found = TFoundSource::LogPopup;
    candidate.Code = attempt.Code;
    candidate.Reference = attempt.Reference;
    candidate.Transaction = attempt.Transaction;
    candidate.Sale = attempt.Sale;
    candidate.Digest = attempt.HasKey ? attempt.Key.RequestDigest : std::string();
    candidate.Where = attempt.Where;
    return candidate;
  }

  // An attempt of another database, or of none the log names, that never recorded.
  void Stranded(const TAttempt& attempt) {
    Add(TOutcome::TKind::InDoubt, CandidateOf(attempt), attempt.Reference, 0,
        attempt.Database.empty()
            ? "needs a person: a Redeem that never recorded, and the log does not say which "
              "database its till was writing"
            : "needs a person: a Redeem that never recorded, by the till of another database (" +
                  attempt.Database + "); reconcile that till");
  }

  // The module recorded the redemption: it is given back only when the till never booked it.
  void Recorded(const TAttempt& attempt) {
    const std::string& reference = attempt.Reference;
    TCandidate candidate = CandidateOf(attempt);
    if (reference.empty())
      return Add(TOutcome::TKind::InDoubt, candidate, "", 0,
                 "needs a person: the module recorded a redemption without a reference");
    if (!FRecords.RowOf(reference))
      return Add(TOutcome::TKind::InDoubt, candidate, reference, 0,
                 "recorded by this module, not in this database: it is never given back "
                 "without its row; check whether the database was restored from a copy older "
                 "than " +
                     attempt.Where + ", or belongs to another till");
    if (HasIntent(reference) || FRecords.SaleOf(reference) || Confirmed(reference)) return;
    if (FRecords.Settled().count(candidate.Id())) return;
    const auto sale = FRecords.Sales().find(attempt.Sale);
    if (attempt.Sale < 0 || sale == FRecords.Sales().end())
      return Add(TOutcome::TKind::InDoubt, candidate, reference, 0,
                 "needs a person: paid in the module's row, no sale of the till holds it, and "
                 "the log does not say which sale it was for");
    if (ReadSaleState(sale->second.State) != TSaleState::Open)
      return Add(TOutcome::TKind::InDoubt, candidate, reference, 0,
                 "needs a person: paid in the module's row, but its sale " +
                     std::to_string(attempt.Sale) + " reads " + sale->second.State);
    // The till never booked the sale: the customer did not get it for this voucher.
    candidate.Found = TFoundSource::LogNotBooked;
    const TVoucherStatusAnswer* status = nullptr;
    const TLiveRedemption* live = nullptr;
    switch (Standing(candidate, status, live)) {
      case TStanding::Reversed:
        return Settle(candidate, reference, 0, TGiveBackOutcome::FoundReversed,
                      "recorded: the service holds it reversed; the sale closed as not booked");
      case TStanding::Live:
        if (OldEnough(candidate, *live, *status))
          GiveBack(candidate, *live, "; the sale closed as not booked");
        return;
      case TStanding::Unknown:
        return;
    }
  }

  // Attempts with one request digest (Redeem pressed again sends the same request) that never
  // recorded: the live redemptions with that digest that nothing recorded are theirs.
  void Unrecorded(const std::vector<const TAttempt*>& group) {
    const TAttempt& first = *group.front();
    TCandidate candidate = GroupCandidate(first);
    if (FRecords.Settled().count(candidate.Id())) return;
    const TVoucherStatusAnswer* status = Status(candidate);
    if (!status) return;
    std::vector<const TLiveRedemption*> mine;
    int unknown = 0;
    for (const TLiveRedemption& r : status->LiveRedemptions) {
      if (r.RequestDigest.empty() || !r.StoreReference || !r.OrderDate) ++unknown;
      if (r.RequestDigest == candidate.Digest && !FRecorded.count(r.VoucherReference) &&
          !FHandled.count(r.VoucherReference))
        mine.push_back(&r);
    }
    std::set<std::string> references;
    for (const TLiveRedemption* r : mine)
      if (!references.insert(r->VoucherReference).second)
        return Add(TOutcome::TKind::InDoubt, candidate, r->VoucherReference, 0,
                   "needs a person: the service lists it twice");
    if (mine.size() > group.size())
      return Add(TOutcome::TKind::InDoubt, candidate, "", 0,
                 "needs a person: " + std::to_string(mine.size()) +
                     " live redemptions carry this request's digest, more than its " +
                     std::to_string(group.size()) + " Redeem press(es)");
    if (mine.empty()) {
      // Given back by an earlier run: nothing of it is live any more.
      const std::string prefix = candidate.Id() + " ";
      if (std::any_of(FRecords.Settled().begin(), FRecords.Settled().end(),
                      [&](const std::string& id) { return id.rfind(prefix, 0) == 0; }))
        return;
      if (unknown)
        return Add(TOutcome::TKind::InDoubt, candidate, "", 0,
                   "needs a person: " + std::to_string(unknown) +
                       " live redemption(s) of the code carry no request digest, store or order "
                       "date, so none can be ruled out");
      const long long logged = FOptions.Now - first.LoggedAt;
      if (first.LoggedAt > 0 && logged < FOptions.OlderThan)
        return Add(
            TOutcome::TKind::InDoubt, candidate, "", 0,
            "left: logged " + Age(logged) + " ago, younger than --older-than; run again later");
      return Settle(candidate, "", 0, TGiveBackOutcome::NothingToGiveBack,
                    GiveBackOutcomeText(TGiveBackOutcome::NothingToGiveBack) +
                        std::string(": the service holds no redemption of this request"));
    }
    for (const TLiveRedemption* r : mine) {
      TCandidate one = candidate;
      one.Reference = r->VoucherReference;
      if (OldEnough(one, *r, *status)) GiveBack(one, *r, "");
    }
  }

  bool OldEnough(const TCandidate& candidate, const TLiveRedemption& live,
                 const TVoucherStatusAnswer& status) {
    const TAge age = AgeOf(live, status, FOptions.Now);
    const double amount = Money(live.DiscountAmount);
    if (!age.Readable) {
      Add(TOutcome::TKind::InDoubt, candidate, live.VoucherReference, amount,
          "left: its RedeemedOn \"" + live.RedeemedOn + "\" cannot be read");
      return false;
    }
    if (age.Seconds >= FOptions.OlderThan) return true;
    Add(TOutcome::TKind::InDoubt, candidate, live.VoucherReference, amount,
        "left: redeemed " + Age(age.Seconds) + " ago" + age.Note +
            ", younger than --older-than; run again later");
    return false;
  }

  // ---- the service and the records ----

  // Where the candidate's reference stands at the service: reversed (no live entry), live (entry
  // set), or not known (the status failed, or lists it twice: the outcome says so).
  enum class TStanding { Reversed, Live, Unknown };
  TStanding Standing(const TCandidate& candidate, const TVoucherStatusAnswer*& status,
                     const TLiveRedemption*& entry) {
    status = Status(candidate);
    if (!status) return TStanding::Unknown;
    int count = 0;
    for (const TLiveRedemption& r : status->LiveRedemptions)
      if (r.VoucherReference == candidate.Reference && count++ == 0) entry = &r;
    if (count > 1) {
      Add(TOutcome::TKind::InDoubt, candidate, candidate.Reference, 0,
          "needs a person: the service lists it " + std::to_string(count) + " times");
      return TStanding::Unknown;
    }
    return count ? TStanding::Live : TStanding::Reversed;
  }

  const TVoucherStatusAnswer* Status(const TCandidate& candidate) {
    auto known = FStatuses.find(candidate.Code);
    if (known == FStatuses.end()) {
      std::string answer;
      TVoucherStatusAnswer status;
      if (FStatus(VoucherStatusRequestText(candidate.Code), answer))
        status = ReadVoucherStatusAnswer(answer, candidate.Code);
      known = FStatuses.emplace(candidate.Code, std::move(status)).first;
    }
    const TVoucherStatusAnswer& status = known->second;
    if (!status.Readable) {
      Add(TOutcome::TKind::Failed, candidate, candidate.Reference, 0,
          "not done: the status " + (status.Problem.empty()
                                         ? std::string("call failed (see the module log)")
                                         : "answer cannot be read: " + status.Problem));
      return nullptr;
    }
    if (!status.Success) {
      Add(TOutcome::TKind::InDoubt, candidate, candidate.Reference, 0,
          "needs a person: the service does not know the code (" + status.ErrorMessage + ")");
      return nullptr;
    }
    return &status;
  }

  void GiveBack(const TCandidate& candidate, const TLiveRedemption& live, const std::string& note) {
    const std::string& reference = live.VoucherReference;
    FHandled.insert(reference);
    const double amount = Money(live.DiscountAmount);
    if (FOptions.DryRun)
      return Add(TOutcome::TKind::WouldGiveBack, candidate, reference, amount,
                 "would give back (dry run)" + note);
    std::string answer;
    const bool answered = FReverse(ReversalRequestText(reference), answer);
    if (!answered)
      return Add(TOutcome::TKind::Failed, candidate, reference, amount,
                 "not given back: the service did not answer the reversal (see the module log)");
    if (!ReversalConfirmed(answer, reference)) {
      const std::optional<bool> success = ServiceSuccess(answer);
      return Add(TOutcome::TKind::InDoubt, candidate, reference, amount,
                 success == false ? "not given back: the service refused: " +
                                        MemberText(ParseJSONDocument(answer), "ErrorMessage")
                                  : std::string("not given back: the service's answer does not "
                                                "confirm the reversal of this reference"));
    }
    Record(TOutcome::TKind::GivenBack, candidate, reference, amount,
           GiveBackOutcomeText(TGiveBackOutcome::GivenBack) + note, TGiveBackOutcome::GivenBack,
           answer);
  }

  void Settle(const TCandidate& candidate, const std::string& reference, double amount,
              TGiveBackOutcome outcome, const std::string& done) {
    if (FOptions.DryRun) return Add(TOutcome::TKind::Settled, candidate, reference, amount, done);
    Record(TOutcome::TKind::Settled, candidate, reference, amount, done, outcome, "");
  }

  void Record(TOutcome::TKind kind, const TCandidate& candidate, const std::string& reference,
              double amount, const std::string& done, TGiveBackOutcome outcome,
              const std::string& answer) {
    TGiveBack giveBack;
    giveBack.Candidate = candidate.Id();
    giveBack.VoucherCode = candidate.Code;
    giveBack.VoucherReference = reference;
    giveBack.Amount = amount;
    giveBack.Found = FoundText(candidate.Found);
    giveBack.Outcome = outcome;
    giveBack.Answer = answer;
    giveBack.Transaction = candidate.Transaction;
    // A popup the till never booked closes its sale.
    if (candidate.Found.Source == TFoundSource::LogPopup ||
        candidate.Found.Source == TFoundSource::LogNotBooked) {
      giveBack.Sale = candidate.Sale;
      giveBack.SaleState = TSaleState::NotBooked;
    }
    std::string error;
    if (!FRecord(giveBack, error))
      return Add(TOutcome::TKind::Failed, candidate, reference, amount,
                 done + ", not recorded: " + error);
    Add(kind, candidate, reference, amount, done);
  }

  void Add(TOutcome::TKind kind, const TCandidate& candidate, const std::string& reference,
           double amount, const std::string& done) {
    Outcomes.push_back({kind, candidate, reference, amount, done});
  }

  const TJournal& FJournal;
  const TLedger& FRecords;
  const TServiceCall& FStatus;
  const TServiceCall& FReverse;
  const TRecord& FRecord;
  const TLinkSale& FLink;
  const TReconcileOptions& FOptions;
  std::map<std::string, TVoucherStatusAnswer> FStatuses;
  std::map<std::string, std::string> FCodes;  // reference: code
  std::set<std::string> FRecorded;            // references the module recorded
  std::set<int32_t> FRowIDs;                  // module rows holding a reference
  std::set<std::string> FHandled;             // references a begun reverse accounts for
};

}  // namespace

std::string TCandidate::Id() const {
  if (!Digest.empty()) return "request " + Digest + (Reference.empty() ? "" : " " + Reference);
  if (!Reference.empty()) return "reference " + Reference;
  return "popup " + Code + " " + std::to_string(Transaction);
}

std::time_t ServiceTime(const std::string& text) {
  std::tm tm{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6)
    return -1;
  size_t at = static_cast<size_t>(consumed);
  if (at < text.size() && text[at] == '.')
    for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));) ++at;
  if (at + 1 != text.size() || (text[at] != 'Z' && text[at] != 'z')) return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return timegm(&tm);
}

std::time_t LoggedTime(std::string_view stamp) {
  if (stamp.size() < 17 || stamp[8] != ' ') return -1;
  for (size_t i = 0; i < 17; ++i)
    if (i != 8 && !std::isdigit(static_cast<unsigned char>(stamp[i]))) return -1;
  auto number = [&](size_t at, size_t n) {
    int value = 0;
    for (size_t i = at; i < at + n; ++i) value = value * 10 + (stamp[i] - '0');
    return value;
  };
  // The C library looks the zone up again at every local-time conversion (a file system call
  // per log line when TZ is unset); a log's lines come hour by hour, and a zone changes its
  // offset on the hour, so one conversion per hour holds for every line in it.
  thread_local std::string hourKey;
  thread_local std::time_t hourStart = -1;
  const char* zone = std::getenv("TZ");
  const std::string hour = std::string(stamp.substr(0, 11)) + (zone ? zone : "");
  if (hour != hourKey || hourStart < 0) {
    std::tm tm{};
    tm.tm_year = number(0, 4) - 1900;
    tm.tm_mon = number(4, 2) - 1;
    tm.tm_mday = number(6, 2);
    tm.tm_hour = number(9, 2);
    tm.tm_isdst = -1;  // the log is in the till's local time, summer or not
    hourStart = std::mktime(&tm);
    hourKey = hour;
    if (hourStart < 0) return -1;
  }
  return hourStart + number(11, 2) * 60 + number(13, 2);
}

void TLogScan::BeginFile(const std::string& name) {
  FName = name;
  FPending.clear();
  FTransaction = -1;
  FCurrent = -1;
  FHasPendingKey = false;
  FAfterRedeeming = false;
}

void TLogScan::Feed(std::string_view piece) {
  for (const char c : piece) {
    if (c == '\r' || c == '\n') {
      if (!FPending.empty()) Line(FPending);
      FPending.clear();
    } else {
      FPending += c;
    }
  }
}

void TLogScan::EndFile() {
  if (!FPending.empty()) Line(FPending);
  FPending.clear();
}

void TLogScan::Header(const std::string& line) {
  // A header starts a process's story afresh: what the last process was doing is not this one's.
  if (!FInHeader) {
    FDatabase.clear();
    FSale = -1;
  }
  FInHeader = true;
  FTransaction = -1;
  FCurrent = -1;
  FProcessStart = FJournal.Attempts.size();
  FHasPendingKey = false;
  FAfterRedeeming = false;
  if (line.rfind(kEnvironment, 0) != 0) return;
  FDatabase = EnvironmentValue(line, kDatabaseIdentityVariable);
  const std::string sale = EnvironmentValue(line, kSaleVariable);
  FSale = sale.empty() ? -1 : std::atoi(sale.c_str());
}

TReverseIntent& TLogScan::Intent(const std::string& reference, TFoundSource found, std::time_t at) {
  // A year of cancels is thousands of references: looked up, not searched.
  const auto [known, added] = FIntentOf.try_emplace(reference, FJournal.Reverses.size());
  if (!added) return FJournal.Reverses[known->second];
  TReverseIntent intent;
  intent.Reference = reference;
  intent.Found = found;
  intent.Database = FDatabase;
  intent.Transaction = FTransaction;
  intent.Sale = FSale;
  intent.LoggedAt = at;
  FJournal.Reverses.push_back(std::move(intent));
  return FJournal.Reverses.back();
}

void TLogScan::Line(const std::string& line) {
  const std::time_t at = LoggedTime(line);
  if (at < 0) return Header(line);
  // A process appending to a log that exists writes its header as lines of their own level.
  static const std::string kHeaderLevel = " rotat ";
  if (line.compare(17, kHeaderLevel.size(), kHeaderLevel) == 0)
    return Header(line.substr(17 + kHeaderLevel.size()));
  FInHeader = false;
  const size_t open = line.find('[', 17);
  if (open == std::string::npos) return;
  const std::optional<TJournalEntry> entry = ReadJournalLine(std::string_view(line).substr(open));
  if (!entry) return;
  const std::string value(entry->Value);
  const std::string where = FName + " at " + line.substr(0, 4) + "-" + line.substr(4, 2) + "-" +
                            line.substr(6, 2) + " " + line.substr(9, 2) + ":" + line.substr(11, 2) +
                            ":" + line.substr(13, 2) + " local";
  TAttempt* attempt = FCurrent >= 0 ? &FJournal.Attempts[FCurrent] : nullptr;
  // Only the line right after a Redeeming line can be that Redeem's key in the older order.
  const bool afterRedeeming = FAfterRedeeming;
  FAfterRedeeming = false;
  auto intent = [&]() -> TReverseIntent& {
    TReverseIntent& found = Intent(value, FoundOf(entry->Line), at);
    if (found.Where.empty()) found.Where = where;
    return found;
  };
  switch (entry->Line) {
    case TJournalLine::CurrentTransaction:
      FTransaction = std::atoi(value.c_str());
      FCurrent = -1;
      break;
    case TJournalLine::Redeeming: {
      TAttempt next;
      next.Code = value;
      next.Transaction = FTransaction;
      next.Database = FDatabase;
      next.Sale = FSale;
      next.LoggedAt = at;
      next.Where = where;
      if (FHasPendingKey && FPendingKey.VoucherCode == value) {
        next.HasKey = true;
        next.Key = FPendingKey;
      }
      FHasPendingKey = false;
      FCurrent = static_cast<int>(FJournal.Attempts.size());
      FJournal.Attempts.push_back(std::move(next));
      FAfterRedeeming = true;
      return;
    }
    case TJournalLine::RedemptionKey: {
      TRedemptionKey key;
      const bool read = ReadRedemptionKeyText(value, key);
      if (afterRedeeming && attempt && !attempt->HasKey) {
        // Written after its Redeeming line, by a module from before the key came first.
        attempt->HasKey = read;
        if (read) {
          attempt->Key = key;
          attempt->Code = key.VoucherCode;
        }
      } else {
        // Its Redeeming line follows; without one the request was never sent.
        FHasPendingKey = read;
        FPendingKey = key;
      }
      break;
    }
    case TJournalLine::RedeemResponse:
      if (!attempt) break;
      if (ServiceSuccess(value) == false)
        attempt->Refused = true;  // nothing was used
      else if (std::string reference = RedeemedReference(value); !reference.empty())
        attempt->Reference = std::move(reference);
      break;
    case TJournalLine::Recorded:
      if (!attempt) break;
      attempt->Recorded = true;
      attempt->Reference = value;
      break;
    case TJournalLine::NotRecorded:
      if (attempt) attempt->Reference = value;
      break;
    case TJournalLine::NotRedeemed:
      if (attempt) attempt->Settled = true;
      break;
    case TJournalLine::GivenBack:
      if (attempt) attempt->Settled = true;
      intent().Confirmed = true;
      break;
    case TJournalLine::GivingBack:
    case TJournalLine::PopupReversing:
    case TJournalLine::CancelReversing:
    case TJournalLine::OverrideReversing: {
      // A reverse asked for again stands open until this one is confirmed.
      TReverseIntent& begun = intent();
      begun.Confirmed = false;
      begun.Recorded = false;
      break;
    }
    case TJournalLine::PopupReversed:
    case TJournalLine::CancelReversed:
    case TJournalLine::OverrideReversed:
      intent().Confirmed = true;
      break;
    case TJournalLine::PopupNotReversed:
    case TJournalLine::CancelNotReversed:
    case TJournalLine::OverrideNotReversed:
      if (!value.empty()) intent().Confirmed = false;
      break;
    case TJournalLine::OverrideRecorded:
      intent().Recorded = true;
      break;
    case TJournalLine::InvoiceLinked:
      // The module links the row of its last popup.
      for (size_t i = FProcessStart; i < FJournal.Attempts.size(); ++i) {
        TAttempt& press = FJournal.Attempts[i];
        if (press.Transaction == FTransaction && press.Recorded) press.Linked = true;
      }
      break;
    default:
      break;
  }
}

void TLogScan::Resume(const TScanState& state, TJournal open) {
  FDatabase = state.Database;
  FSale = state.Sale;
  FInHeader = state.InHeader;
  FJournal = std::move(open);
  FCarriedAttempts = FProcessStart = FJournal.Attempts.size();
  FCarriedReverses = FJournal.Reverses.size();
  FIntentOf.clear();
  for (size_t i = 0; i < FJournal.Reverses.size(); ++i)
    FIntentOf.try_emplace(FJournal.Reverses[i].Reference, i);
}

bool SettledBefore(const std::set<std::string>& settled, const std::string& id) {
  if (settled.count(id)) return true;
  const auto next = settled.lower_bound(id + " ");
  return next != settled.end() && next->rfind(id + " ", 0) == 0;
}

bool LeftOpenForAPayment(const TJournal& journal, size_t fromAttempt, size_t fromReverse,
                         const std::string& database, const TSaleHolds& saleHolds,
                         const std::set<std::string>& settled) {
  const auto ours = [&](const std::string& of) { return !of.empty() && of == database; };
  std::set<std::string> confirmed;
  for (const TReverseIntent& r : journal.Reverses)
    if (r.Confirmed) confirmed.insert(r.Reference);
  for (size_t i = fromAttempt; i < journal.Attempts.size(); ++i) {
    const TAttempt& a = journal.Attempts[i];
    if (!ours(a.Database) || a.Refused || a.Settled) continue;
    if (!a.Reference.empty() && confirmed.count(a.Reference)) continue;
    if (a.Recorded && (a.Linked || (saleHolds && saleHolds(a.Sale, a.Reference)))) continue;
    TCandidate group;  // as the group of presses is settled, by its request
    group.Digest = a.HasKey ? a.Key.RequestDigest : std::string();
    if (!group.Digest.empty() && SettledBefore(settled, group.Id())) continue;
    return true;
  }
  for (size_t i = fromReverse; i < journal.Reverses.size(); ++i) {
    const TReverseIntent& r = journal.Reverses[i];
    TCandidate reverse;  // as a begun reverse is settled, by its reference
    reverse.Reference = r.Reference;
    if (!ours(r.Database) || settled.count(reverse.Id())) continue;
    if (!r.Confirmed || (r.Found.Source == TFoundSource::LogOverride && !r.Recorded)) return true;
  }
  return false;
}

TJournal OpenPart(const TJournal& journal, const TLedger& records,
                  const TReconcileOptions& options) {
  const TServiceCall none;
  const TRecord noRecord;
  const TLinkSale noLink;
  // Only its rules are asked: it calls no service and records nothing.
  const TReconciler rules(journal, records, none, none, noRecord, options, noLink);
  const auto ours = [&](const std::string& database) { return rules.IsOurs(database); };
  const auto confirmed = [&](const std::string& reference) { return rules.IsConfirmed(reference); };
  const auto settledGroup = [&](const TAttempt& first) { return rules.GroupSettled(first); };
  std::map<std::string, const TAttempt*> firstOfDigest;
  for (const TAttempt& a : journal.Attempts)
    if (!a.Refused && !a.Settled && a.HasKey && !a.Key.RequestDigest.empty())
      firstOfDigest.emplace(a.Key.RequestDigest, &a);

  const auto attemptOpen = [&](const TAttempt& a) {
    if (a.Refused || a.Settled) return false;
    const bool recorded = a.Recorded || (!a.Reference.empty() && records.RowOf(a.Reference));
    if (recorded) {
      if (!ours(a.Database)) return false;
      return a.Reference.empty() || !records.RowOf(a.Reference) ||
             !(records.SaleOf(a.Reference) || confirmed(a.Reference));
    }
    if (!a.Reference.empty() && confirmed(a.Reference)) return false;
    if (!ours(a.Database) || !a.HasKey || a.Key.RequestDigest.empty()) return true;  // named
    return !settledGroup(*firstOfDigest.at(a.Key.RequestDigest));
  };
  const auto intentOpen = [&](const TReverseIntent& r) {
    if (!r.Database.empty() && !ours(r.Database)) return false;
    const TSaleRow* sale = records.SaleOf(r.Reference);
    if (sale && IsIntentState(sale->State)) return true;
    const TVoucherRow* row = records.RowOf(r.Reference);
    const bool unrecordedOverride = r.Found.Source == TFoundSource::LogOverride && !r.Recorded &&
                                    row && !row->Reversed && !records.IsGivenBack(r.Reference);
    if (r.Confirmed && !unrecordedOverride) return false;
    TCandidate candidate;
    candidate.Found = r.Found;
    candidate.Reference = r.Reference;
    candidate.Transaction = r.Transaction;
    return !records.Settled().count(candidate.Id());
  };

  // What is open, and whatever shares a reference or a request's digest with it (a group of
  // presses is judged whole; a reverse needs the code its Redeem named).
  std::vector<bool> keepAttempt(journal.Attempts.size()), keepIntent(journal.Reverses.size());
  std::set<std::string> references, digests;
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < journal.Attempts.size(); ++i) {
      const TAttempt& a = journal.Attempts[i];
      if (keepAttempt[i]) continue;
      if (attemptOpen(a) || (!a.Reference.empty() && references.count(a.Reference)) ||
          (!a.Refused && !a.Settled && a.HasKey && digests.count(a.Key.RequestDigest))) {
        keepAttempt[i] = grew = true;
        if (!a.Reference.empty()) references.insert(a.Reference);
        if (a.HasKey && !a.Key.RequestDigest.empty()) digests.insert(a.Key.RequestDigest);
      }
    }
    for (size_t i = 0; i < journal.Reverses.size(); ++i) {
      const TReverseIntent& r = journal.Reverses[i];
      if (keepIntent[i] || !(intentOpen(r) || references.count(r.Reference))) continue;
      keepIntent[i] = grew = true;
      references.insert(r.Reference);
    }
  }
  TJournal open;
  for (size_t i = 0; i < journal.Attempts.size(); ++i)
    if (keepAttempt[i]) open.Attempts.push_back(journal.Attempts[i]);
  for (size_t i = 0; i < journal.Reverses.size(); ++i)
    if (keepIntent[i]) open.Reverses.push_back(journal.Reverses[i]);
  return open;
}

TJournal ScanLogText(std::string_view text, const std::string& name) {
  TLogScan scan;
  scan.BeginFile(name);
  scan.Feed(text);
  scan.EndFile();
  return scan.Journal();
}

bool ScanLogFolder(const std::string& folder, TLogScan& scan, std::string& error) {
  std::vector<std::filesystem::path> files;
  try {
    files = LogTool::OrderLogFolder(folder);
  } catch (const std::filesystem::filesystem_error& e) {
    error = "the module's log folder " + folder + " cannot be listed: " + e.what();
    return false;
  }
  for (const auto& file : files) {
    scan.BeginFile(file.filename().string());
    const bool read = LogTool::ReadLogText(
        file, [&](std::string_view piece) { scan.Feed(piece); }, error);
    scan.EndFile();
    if (!read) return false;
  }
  return true;
}

std::vector<TOutcome> Reconcile(const TJournal& journal, const TLedger& records,
                                const TServiceCall& status, const TServiceCall& reverse,
                                const TRecord& record, const TReconcileOptions& options,
                                const TLinkSale& link) {
  TReconciler reconciler(journal, records, status, reverse, record, options, link);
  reconciler.Run();
  return std::move(reconciler.Outcomes);
}

}  // namespace Reconcile
