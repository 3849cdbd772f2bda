#include "host/services/TReconcile.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "lib/json/clsJSONDocument.h"
#include "lib/voucher/DovraMessages.h"
#include "tools/LogFolder.h"

namespace Reconcile {

namespace {

const std::string kRedeeming = "[TfrmDovraPayment.btnRedeemClick] Redeeming : ";
const std::string kKey = "[TfrmDovraPayment.btnRedeemClick] Redemption key : ";
const std::string kTransaction =
    "[TPaymentMethodDovraVoucher.DoPaymentPopup] Current Transaction : ";
// The dialog's own settling of a lost answer: nothing used, or its redemption found and given
// back (anything else leaves it in doubt).
const std::string kNotRedeemed = "[TfrmDovraPayment.btnRedeemClick] Not redeemed : ";
const std::string kGivingBack = "[TfrmDovraPayment.btnRedeemClick] Giving back : ";
const std::string kDialogGaveBack = "[TfrmDovraPayment.btnRedeemClick] Given back : ";
const std::string kRedeemAnswer = "[TDovraVoucherAPI.Redeem] Response : ";
const std::string kNotReversed = "] Could not reverse : ";
const std::string kReversed = "] Reversed : ";
const std::string kNotRecorded =
    "[TPaymentMethodDovraVoucher.DoPaymentPopup] Could not record redemption : ";
const std::string kNoDiscount =
    "[TPaymentMethodDovraVoucher.DoPaymentPopup] No discount, voucher not given back : ";
constexpr long long kLooseBefore = 5, kLooseAfter = 60;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

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

// Without a key a popup is matched by store and time: a redemption the service made from a little
// before its Redeeming line to a minute after it.
bool NearInTime(const TCandidate& popup, const TLiveRedemption& live, int64_t store) {
  const std::time_t at = ServiceTime(live.RedeemedOn);
  return live.StoreReference == store && at >= popup.LoggedAt - kLooseBefore &&
         at <= popup.LoggedAt + kLooseAfter;
}

double Money(TCurrency amount) { return static_cast<double>(amount) / CurrencyScale; }

class TReconciler {
 public:
  TReconciler(const TTillRecords& records, const TServiceCall& status, const TServiceCall& reverse,
              const TRecord& record, const TReconcileOptions& options)
      : FRecords(records), FStatus(status), FReverse(reverse), FRecord(record), FOptions(options) {}

  void Run(const TCandidate& candidate) {
    if (candidate.Code.empty())
      return Add(TOutcome::TKind::InDoubt, candidate, candidate.Reference, 0,
                 "needs a person: no voucher code is known for it, so the service cannot be "
                 "asked");
    const TVoucherStatusAnswer& status = StatusOf(candidate.Code);
    if (!status.Readable)
      return Add(TOutcome::TKind::Failed, candidate, candidate.Reference, 0,
                 "not done: the status " + (status.Problem.empty()
                                                ? std::string("call failed (see the module log)")
                                                : "answer cannot be read: " + status.Problem));
    if (!status.Success)
      return Add(
          TOutcome::TKind::InDoubt, candidate, candidate.Reference, 0,
          "needs a person: the service does not know the code (" + status.ErrorMessage + ")");
    if (!candidate.Reference.empty()) return ByReference(candidate, status.LiveRedemptions);
    ByPopup(candidate, status.LiveRedemptions);
  }

  std::vector<TOutcome> Outcomes;

 private:
  const TVoucherStatusAnswer& StatusOf(const std::string& code) {
    const auto known = FStatuses.find(code);
    if (known != FStatuses.end()) return known->second;
    std::string answer;
    TVoucherStatusAnswer status;
    if (FStatus(VoucherStatusRequestText(code), answer))
      status = ReadVoucherStatusAnswer(answer, code);
    return FStatuses[code] = std::move(status);
  }

  void ByReference(const TCandidate& candidate, const std::vector<TLiveRedemption>& live) {
    const auto it = std::find_if(live.begin(), live.end(), [&](const TLiveRedemption& r) {
      return r.VoucherReference == candidate.Reference;
    });
    if (it == live.end())
      return Settle(candidate, candidate.Reference, 0,
                    "nothing to give back: the service holds it as reversed");
    GiveBack(candidate, *it, "");
  }

  void ByPopup(const TCandidate& candidate, const std::vector<TLiveRedemption>& live) {
    // A redemption a paid or linked sale holds is that sale's, whatever popup it came from.
    std::vector<TLiveRedemption> unheld;
    for (const TLiveRedemption& r : live)
      if (FRecords.HeldBy(r.VoucherReference).empty()) unheld.push_back(r);
    std::vector<const TLiveRedemption*> mine;
    if (candidate.HasKey) {
      for (const std::string& reference : MatchLiveRedemptions(unheld, candidate.Key).References)
        for (const TLiveRedemption& r : unheld)
          if (r.VoucherReference == reference) mine.push_back(&r);
    } else {
      for (const TLiveRedemption& r : unheld)
        if (NearInTime(candidate, r, FOptions.Store)) mine.push_back(&r);
    }
    const long long logged = FOptions.Now - candidate.LoggedAt;
    if (mine.empty()) {
      // A redeem still on its way may not be at the service yet.
      if (candidate.LoggedAt > 0 && logged < FOptions.OlderThan)
        return Add(
            TOutcome::TKind::InDoubt, candidate, "", 0,
            "left: logged " + Age(logged) + " ago, younger than --older-than; run again later");
      return Settle(candidate, "", 0,
                    "nothing to give back: the service holds no live redemption of it that no "
                    "sale holds");
    }
    // Pressing Redeem again sends the same key: each redemption it made that no sale holds goes
    // back. Without a key, two near in time cannot be told apart.
    if (!candidate.HasKey && mine.size() > 1)
      return Add(TOutcome::TKind::InDoubt, candidate, "", 0,
                 "needs a person: " + std::to_string(mine.size()) +
                     " live redemptions of this store near the Redeeming line's time, and the "
                     "log has no redemption key to tell them apart");
    const std::string loose =
        candidate.HasKey ? "" : " (matched by store and time only: the log has no redemption key)";
    for (const TLiveRedemption* r : mine) GiveBack(candidate, *r, loose);
  }

  void GiveBack(const TCandidate& candidate, const TLiveRedemption& live, const std::string& note) {
    const std::string& reference = live.VoucherReference;
    const double amount = Money(live.DiscountAmount);
    if (const std::string holder = FRecords.HeldBy(reference); !holder.empty())
      return Settle(candidate, reference, amount, "nothing to give back: held by " + holder);
    const std::time_t redeemedAt = ServiceTime(live.RedeemedOn);
    if (redeemedAt < 0)
      return Add(TOutcome::TKind::InDoubt, candidate, reference, amount,
                 "left: its RedeemedOn \"" + live.RedeemedOn + "\" cannot be read");
    const long long age = FOptions.Now - redeemedAt;
    if (age < FOptions.OlderThan)
      return Add(TOutcome::TKind::InDoubt, candidate, reference, amount,
                 "left: redeemed " + Age(age) + " ago, younger than --older-than; run again later");
    if (FOptions.DryRun)
      return Add(TOutcome::TKind::WouldGiveBack, candidate, reference, amount,
                 "would give back (dry run)" + note);
    std::string answer;
    const bool answered = FReverse(ReversalRequestText(reference), answer);
    const TJSONValue document = answered ? ParseJSONDocument(answer) : TJSONValue();
    const std::optional<bool> success = ServiceSuccessOf(document);
    if (!answered || !success)
      return Add(TOutcome::TKind::Failed, candidate, reference, amount,
                 "not given back: the service did not answer the reversal (see the module log)");
    if (!*success)
      return Add(TOutcome::TKind::InDoubt, candidate, reference, amount,
                 "not given back: the service refused: " + MemberText(document, "ErrorMessage"));
    Record(TOutcome::TKind::GivenBack, candidate, reference, amount, "given back" + note,
           "given back", answer);
  }

  void Settle(const TCandidate& candidate, const std::string& reference, double amount,
              const std::string& done) {
    if (FOptions.DryRun) return Add(TOutcome::TKind::Settled, candidate, reference, amount, done);
    Record(TOutcome::TKind::Settled, candidate, reference, amount, done, "nothing to give back",
           "");
  }

  void Record(TOutcome::TKind kind, const TCandidate& candidate, const std::string& reference,
              double amount, const std::string& done, const char* outcome,
              const std::string& answer) {
    std::string error;
    if (!FRecord(
            {candidate.Id(), candidate.Code, reference, amount, candidate.Found, outcome, answer},
            error))
      return Add(TOutcome::TKind::Failed, candidate, reference, amount,
                 done + ", not recorded: " + error);
    Add(kind, candidate, reference, amount, done);
  }

  void Add(TOutcome::TKind kind, const TCandidate& candidate, const std::string& reference,
           double amount, const std::string& done) {
    Outcomes.push_back({kind, candidate, reference, amount, done});
  }

  const TTillRecords& FRecords;
  const TServiceCall& FStatus;
  const TServiceCall& FReverse;
  const TRecord& FRecord;
  const TReconcileOptions& FOptions;
  std::map<std::string, TVoucherStatusAnswer> FStatuses;
};

}  // namespace

std::string TCandidate::Id() const {
  if (!Reference.empty()) return "reference " + Reference;
  if (HasKey)
    return "key " + Key.VoucherCode + " " + std::to_string(Key.StoreReference) + " " +
           Key.OrderDate;
  return "popup " + Code + " " + std::to_string(Transaction) + " " + std::to_string(LoggedAt);
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
  auto number = [&](size_t at, size_t n) { return std::stoi(std::string(stamp.substr(at, n))); };
  std::tm tm{};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(4, 2) - 1;
  tm.tm_mday = number(6, 2);
  tm.tm_hour = number(9, 2);
  tm.tm_min = number(11, 2);
  tm.tm_sec = number(13, 2);
  tm.tm_isdst = -1;  // the log is in the till's local time, summer or not
  return std::mktime(&tm);
}

void TLogScan::BeginFile(const std::string& name) {
  FName = name;
  FPending.clear();
  FTransaction = -1;
  FCurrent = -1;
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

void TLogScan::Line(const std::string& line) {
  const std::time_t at = LoggedTime(line);
  // Header lines start a process's story afresh.
  if (at < 0) {
    FTransaction = -1;
    FCurrent = -1;
    return;
  }
  const size_t open = line.find('[', 17);
  if (open == std::string::npos) return;
  const std::string_view text = std::string_view(line).substr(open);
  auto value = [&](const std::string& prefix) { return std::string(text.substr(prefix.size())); };
  const std::string where = FName + " at " + line.substr(0, 4) + "-" + line.substr(4, 2) + "-" +
                            line.substr(6, 2) + " " + line.substr(9, 2) + ":" + line.substr(11, 2) +
                            ":" + line.substr(13, 2) + " local";
  if (StartsWith(text, kTransaction)) {
    FTransaction = std::atoi(value(kTransaction).c_str());
    FCurrent = -1;
  } else if (StartsWith(text, kRedeeming)) {
    TPopup popup;
    popup.Candidate.Found = "log: popup";
    popup.Candidate.Code = value(kRedeeming);
    popup.Candidate.Transaction = FTransaction;
    popup.Candidate.LoggedAt = at;
    popup.Candidate.Where = where;
    FCurrent = static_cast<int>(FPopups.size());
    FPopups.push_back(std::move(popup));
  } else if (StartsWith(text, kKey) && FCurrent >= 0) {
    TCandidate& popup = FPopups[FCurrent].Candidate;
    popup.HasKey = ReadRedemptionKeyText(value(kKey), popup.Key);
    if (popup.HasKey) popup.Code = popup.Key.VoucherCode;
  } else if (StartsWith(text, kNotRedeemed) && FCurrent >= 0) {
    FPopups[FCurrent].Settled = true;
  } else if (StartsWith(text, kGivingBack) && FCurrent >= 0) {
    FPopups[FCurrent].Candidate.Reference = value(kGivingBack);
  } else if (StartsWith(text, kDialogGaveBack) && FCurrent >= 0) {
    FPopups[FCurrent].Settled = true;
  } else if (StartsWith(text, kRedeemAnswer) && FCurrent >= 0) {
    TPopup& popup = FPopups[FCurrent];
    if (ServiceSuccess(value(kRedeemAnswer)) == false)
      popup.Settled = true;  // refused: nothing was used
    else if (const std::string reference = RedeemedReference(value(kRedeemAnswer));
             !reference.empty())
      popup.Candidate.Reference = reference;
  } else if (const size_t cut = text.find(kNotReversed);
             cut != std::string::npos && text.find(' ') > cut) {
    TCandidate candidate;
    const std::string_view method = text.substr(0, cut);
    candidate.Found = method.find("CancelTransaction") != std::string_view::npos ? "log: cancel"
                      : method.find("DoOverringInvoice") != std::string_view::npos
                          ? "log: override"
                          : "log: not given back";
    candidate.Reference = std::string(text.substr(cut + kNotReversed.size()));
    candidate.Transaction = FTransaction;
    candidate.LoggedAt = at;
    candidate.Where = where;
    if (!candidate.Reference.empty()) FReferences.push_back(std::move(candidate));
  } else if (StartsWith(text, kNotRecorded) || StartsWith(text, kNoDiscount)) {
    // Names why the popup's own give-back was needed; the line that follows or came before
    // says whether it happened.
    const bool noDiscount = StartsWith(text, kNoDiscount);
    const std::string reference = value(noDiscount ? kNoDiscount : kNotRecorded);
    for (TCandidate& candidate : FReferences)
      if (candidate.Reference == reference && candidate.Found == "log: not given back")
        candidate.Found = noDiscount ? "log: no discount" : "log: not recorded";
    if (!noDiscount) FNotRecorded.push_back(reference);
  } else if (const size_t cut = text.find(kReversed);
             cut != std::string::npos && text.find(' ') > cut) {
    FGivenBack.push_back(std::string(text.substr(cut + kReversed.size())));
  }
}

std::vector<TCandidate> TLogScan::Candidates() const {
  std::vector<TCandidate> out;
  auto find = [&](const std::string& reference) {
    return std::find_if(out.begin(), out.end(),
                        [&](const TCandidate& c) { return c.Reference == reference; });
  };
  std::map<std::string, std::string> codes;  // reference: the code its popup redeemed
  for (const TPopup& popup : FPopups)
    if (!popup.Candidate.Reference.empty()) codes[popup.Candidate.Reference] = popup.Candidate.Code;
  for (TCandidate candidate : FReferences) {
    if (find(candidate.Reference) != out.end()) continue;
    if (const auto code = codes.find(candidate.Reference); code != codes.end())
      candidate.Code = code->second;
    if (std::find(FNotRecorded.begin(), FNotRecorded.end(), candidate.Reference) !=
            FNotRecorded.end() &&
        candidate.Found == "log: not given back")
      candidate.Found = "log: not recorded";
    out.push_back(std::move(candidate));
  }
  for (const TPopup& popup : FPopups) {
    const TCandidate& candidate = popup.Candidate;
    if (popup.Settled) continue;
    if (!candidate.Reference.empty() &&
        (find(candidate.Reference) != out.end() ||
         std::find(FGivenBack.begin(), FGivenBack.end(), candidate.Reference) != FGivenBack.end()))
      continue;
    // Pressing Redeem again sends the same request: one candidate per key.
    if (candidate.HasKey && std::any_of(out.begin(), out.end(), [&](const TCandidate& c) {
          return c.Reference.empty() && c.HasKey && c.Id() == candidate.Id();
        }))
      continue;
    out.push_back(candidate);
  }
  return out;
}

std::vector<TCandidate> ScanLogText(std::string_view text, const std::string& name) {
  TLogScan scan;
  scan.BeginFile(name);
  scan.Feed(text);
  scan.EndFile();
  return scan.Candidates();
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

std::vector<TOutcome> Reconcile(std::vector<TCandidate> candidates, const TTillRecords& records,
                                const TServiceCall& status, const TServiceCall& reverse,
                                const TRecord& record, const TReconcileOptions& options) {
  std::map<std::string, std::string> codes;  // reference: code, from the module's rows
  for (const TVoucherRow& row : records.Rows)
    if (!row.Code.empty()) codes[row.Reference] = row.Code;
  // The till's rows of a sale it calls "reverse failed": cancelled or overridden, the voucher
  // still held.
  for (const TVoucherRow& row : records.Rows) {
    if (row.SaleState != "reverse failed" || row.Reversed) continue;
    TCandidate candidate;
    candidate.Found = "till: reverse failed";
    candidate.Code = row.Code;
    candidate.Reference = row.Reference;
    candidate.Transaction = row.ID;
    candidate.Where = "DovraTransactions row " + std::to_string(row.ID) + ", sale " + row.Sale;
    if (std::none_of(candidates.begin(), candidates.end(),
                     [&](const TCandidate& c) { return c.Reference == row.Reference; }))
      candidates.push_back(std::move(candidate));
  }
  TReconciler reconciler(records, status, reverse, record, options);
  for (TCandidate& candidate : candidates) {
    if (records.Settled.count(candidate.Id())) continue;
    // A popup whose redemption the module recorded is told by its row from here on: paid, or
    // found again by the reference candidates and the till's sales.
    if (candidate.Found == "log: popup" &&
        (records.WithReference.count(candidate.Transaction) ||
         std::any_of(records.Rows.begin(), records.Rows.end(),
                     [&](const TVoucherRow& row) { return row.Reference == candidate.Reference; })))
      continue;
    if (candidate.Code.empty())
      if (const auto code = codes.find(candidate.Reference); code != codes.end())
        candidate.Code = code->second;
    reconciler.Run(candidate);
  }
  return std::move(reconciler.Outcomes);
}

}  // namespace Reconcile
