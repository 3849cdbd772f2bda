// Reconcile on proof: what the module log says as a journal, and what reconcile does with it
// against the till's tables and the service's status answer. Each case is a piece of log as the
// module writes it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/contract/DatabaseConnection.h"
#include "host/store/TGiveBack.h"
#include "host/till/Reconcile.h"
#include "lib/voucher/DovraMessages.h"
#include "module/schema/implDatabaseChangesDovra.h"
#include "tests/support/TestFolder.h"

namespace {

using Reconcile::TOutcome;

// One entry line at 10:15:0S on 9 December 2026.
std::string Entry(int second, const std::string& text) {
  return "20261209 1015" + std::string(second < 10 ? "0" : "") + std::to_string(second) +
         "17 info  " + text + "\r\n";
}

const std::string kD1(64, 'a'), kD2(64, 'b');

// A process's header: the database and the sale its till was writing.
std::string Header(const std::string& database, int sale = 4) {
  return "/opt/sarn/sarn-till 1.0.0.0 (2026-12-09 10:00:00)\rHost=till1 User=sarn\r"
         "Environment variables=HOME=/root\tSARN_DATABASE_ID=" +
         database + "\tSARN_SALE=" + std::to_string(sale) +
         "\r"
         "TSynLog 1.18.743 FTS3 2026-12-09T10:15:00\r\n";
}
const std::string kOldHeader =
    "/opt/sarn/sarn-till 1.0.0.0 (2026-12-09 10:00:00)\rHost=till1 User=sarn\r"
    "Environment variables=HOME=/root\rTSynLog 1.18.743 FTS3 2026-12-09T10:15:00\r\n";
std::string Popup(int id) {
  return Entry(
      0, "[TPaymentMethodDovraVoucher.DoPaymentPopup] Current Transaction : " + std::to_string(id));
}
std::string Key(const std::string& digest, const std::string& code = "SAVE15") {
  return Entry(1, "[TfrmDovraPayment.btnRedeemClick] Redemption key : {\"VoucherCode\":\"" + code +
                      "\",\"StoreReference\":1,\"OrderDate\":\"2026-12-09T10:15:01\"" +
                      (digest.empty() ? "" : ",\"RequestDigest\":\"" + digest + "\"") + "}");
}
std::string Redeeming(const std::string& code = "SAVE15") {
  return Entry(1, "[TfrmDovraPayment.btnRedeemClick] Redeeming : " + code);
}
// A Redeem as the module writes it: its key, then the line right before the request leaves.
std::string Redeem(const std::string& digest, const std::string& code = "SAVE15") {
  return Key(digest, code) + Redeeming(code);
}
std::string Paid(const std::string& ref) {
  return Entry(2,
               "[TDovraVoucherAPI.Redeem] Response : {\"Success\":true,\"DiscountAmount\":10,"
               "\"VoucherReference\":\"" +
                   ref + "\",\"VoucherCode\":\"SAVE15\"}");
}
std::string Recorded(const std::string& ref) {
  return Entry(2, "[TPaymentMethodDovraVoucher.DoPaymentPopup] Recorded : " + ref);
}
const std::string kRefused =
    Entry(2, "[TDovraVoucherAPI.Redeem] Response : {\"Success\":false,\"ErrorMessage\":\"Used\"}");
std::string Line(const char* method, const char* text, const std::string& ref) {
  return Entry(5, std::string("[TPaymentMethodDovraVoucher.") + method + "] " + text + " : " + ref);
}

// ---- the journal as read ----

struct TJournalCase {
  const char* Name;
  std::string Log;
  // Each attempt as "CODE REFERENCE TRANSACTION DATABASE SALE DIGEST? FLAGS" (R recorded, L
  // linked, S settled by the dialog, X refused); each reverse as "FOUND REFERENCE c(onfirmed)
  // r(ecorded)".
  std::vector<std::string> Attempts, Reverses;
};

void PrintTo(const TJournalCase& c, std::ostream* out) { *out << c.Name; }

std::string Describe(const Reconcile::TAttempt& a) {
  return a.Code + " " + (a.Reference.empty() ? "-" : a.Reference) + " " +
         std::to_string(a.Transaction) + " " + (a.Database.empty() ? "-" : a.Database) + " " +
         std::to_string(a.Sale) + " " + (a.Key.RequestDigest.empty() ? "-" : "D") + " " +
         (a.Recorded ? "R" : "") + (a.Linked ? "L" : "") + (a.Settled ? "S" : "") +
         (a.Refused ? "X" : "");
}
std::string Describe(const Reconcile::TReverseIntent& r) {
  return FoundText(r.Found) + " " + r.Reference + " " + (r.Confirmed ? "c" : "") +
         (r.Recorded ? "r" : "");
}

const TJournalCase kJournalCases[] = {
    {"KilledAfterRedeeming", Header("db1") + Popup(7) + Redeem(kD1), {"SAVE15 - 7 db1 4 D "}, {}},
    {"RecordedPayment",
     Header("db1") + Popup(7) + Redeem(kD1) + Paid("DVR-9") + Recorded("DVR-9"),
     {"SAVE15 DVR-9 7 db1 4 D R"},
     {}},
    // The module links its last popup's row; an earlier popup's press of the process is not it.
    {"RecordedAndLinked",
     Header("db1") + Popup(6) + Redeem(kD2) + kRefused + Popup(7) + Redeem(kD1) + Paid("DVR-9") +
         Recorded("DVR-9") + Line("LinkInvoice", "Invoice linked", "2002"),
     {"SAVE15 - 6 db1 4 D X", "SAVE15 DVR-9 7 db1 4 D RL"},
     {}},
    {"Refused", Header("db1") + Popup(7) + Redeem(kD1) + kRefused, {"SAVE15 - 7 db1 4 D X"}, {}},
    {"OldLogNamesNoDatabaseNorDigest",
     kOldHeader + Popup(7) + Redeem(""),
     {"SAVE15 - 7 - -1 - "},
     {}},
    // A module from before the key came first wrote it right after its Redeeming line.
    {"KeyAfterRedeemingInAnOlderLog",
     Header("db1") + Popup(7) + Redeeming() + Key(kD1),
     {"SAVE15 - 7 db1 4 D "},
     {}},
    // Killed between the key and the Redeeming line: the request never left.
    {"KeyWithoutRedeemingSentNothing", Header("db1") + Popup(7) + Key(kD1), {}, {}},
    // A key's Redeeming line names its code; another's key is not taken for it.
    {"PressedAgainEachKeyItsOwnPress",
     Header("db1") + Popup(7) + Redeem(kD1) +
         Entry(2, "[TDovraVoucherAPI.Redeem] Error : Empty reply from server") + Redeem(kD2),
     {"SAVE15 - 7 db1 4 D ", "SAVE15 - 7 db1 4 D "},
     {}},
    {"DialogGaveItBack",
     Header("db1") + Popup(7) + Redeem(kD1) +
         Entry(4, "[TfrmDovraPayment.btnRedeemClick] Giving back : DVR-9") +
         Entry(4, "[TfrmDovraPayment.btnRedeemClick] Given back : DVR-9"),
     {"SAVE15 - 7 db1 4 D S"},
     {"log: dialog DVR-9 c"}},
    {"CancelBegunNotConfirmed",
     Header("db1") + Line("CancelTransaction", "Reversing", "DVR-9"),
     {},
     {"log: cancel DVR-9 "}},
    {"CancelConfirmed",
     Header("db1") + Line("CancelTransaction", "Reversing", "DVR-9") +
         Line("CancelTransaction", "Reversed", "DVR-9"),
     {},
     {"log: cancel DVR-9 c"}},
    {"OverrideConfirmedAndRecorded",
     Header("db1") + Line("DoOverringInvoice", "Reversing", "DVR-9") +
         Line("DoOverringInvoice", "Reversed", "DVR-9") +
         Line("DoOverringInvoice", "Reversal recorded", "DVR-9"),
     {},
     {"log: override DVR-9 cr"}},
    // Asked again after a confirmation: open until this one is confirmed.
    {"ReverseAskedAgain",
     Header("db1") + Line("CancelTransaction", "Reversing", "DVR-9") +
         Line("CancelTransaction", "Reversed", "DVR-9") +
         Line("CancelTransaction", "Reversing", "DVR-9"),
     {},
     {"log: cancel DVR-9 "}},
    // A new process's header: the popup before it is not the one the next answer belongs to,
    // and the new process names its own database.
    {"AnswerAfterARestartIsNotThePopups",
     Header("db1") + Popup(7) + Redeem(kD1) + Header("db2", 5) + Paid("DVR-9"),
     {"SAVE15 - 7 db1 4 D "},
     {}},
    // A process appending to the log writes its header as timestamped lines.
    {"AppendedHeaderStartsAProcess",
     Header("db1") + Popup(7) + Redeem(kD1) + "20261209 10150317 rotat ====\r\n" +
         "20261209 10150317 rotat Environment variables=SARN_DATABASE_ID=db2\tSARN_SALE=9\r\n" +
         Popup(8) + Redeem(kD2),
     {"SAVE15 - 7 db1 4 D ", "SAVE15 - 8 db2 9 D "},
     {}},
    // A reversal's answer quoting the words of a log line is no log line.
    {"WordsInsideAnAnswer",
     Header("db1") +
         Entry(3, "[TDovraVoucherAPI.Reverse] Response : {\"x\":\"] Could not reverse : DVR-9\"}"),
     {},
     {}},
};

class JournalFromLog : public ::testing::TestWithParam<TJournalCase> {};

TEST_P(JournalFromLog, TellsEachAttemptAndReverse) {
  const Reconcile::TJournal journal = Reconcile::ScanLogText(GetParam().Log);
  std::vector<std::string> attempts, reverses;
  for (const auto& a : journal.Attempts) attempts.push_back(Describe(a));
  for (const auto& r : journal.Reverses) reverses.push_back(Describe(r));
  EXPECT_EQ(attempts, GetParam().Attempts);
  EXPECT_EQ(reverses, GetParam().Reverses);
}

INSTANTIATE_TEST_SUITE_P(Logs, JournalFromLog, ::testing::ValuesIn(kJournalCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- what reconcile does ----

// One live redemption of SAVE15 in a status answer.
std::string Live(const std::string& ref, const std::string& digest,
                 const char* redeemedOn = "2026-12-09T09:00:00Z") {
  return "{\"VoucherReference\":\"" + ref +
         "\",\"StoreReference\":1,\"OrderDate\":\"2026-12-09T10:15:01\",\"DiscountAmount\":10,"
         "\"RedeemedOn\":\"" +
         redeemedOn + "\",\"RequestDigest\":" + (digest.empty() ? "null" : "\"" + digest + "\"") +
         "}";
}
std::string Status(const std::vector<std::string>& live,
                   const char* answeredOn = "2026-12-09T10:00:00Z") {
  std::string entries;
  for (const std::string& e : live) entries += (entries.empty() ? "" : ",") + e;
  return std::string("{\"Success\":true,\"VoucherCode\":\"SAVE15\",\"Redemptions\":") +
         std::to_string(live.size()) + ",\"LiveRedemptions\":[" + entries + "]" +
         (answeredOn ? std::string(",\"AnsweredOn\":\"") + answeredOn + "\"" : "") + "}";
}

struct TRow {
  int32_t ID;
  const char* Reference;
  const char* SaleState;  // "" : no sale holds it
};

struct TReconcileCase {
  const char* Name;
  std::string Log;
  std::vector<TRow> Rows;
  std::vector<TSaleRow> Sales;  // sales holding no module row (open ones)
  std::string StatusAnswer;
  long long OlderThan;
  // Each outcome as "KIND REFERENCE", and the references sent to be reversed.
  std::vector<std::string> Outcomes, Reversed;
  const char* Note = "";  // a word the outcome's text holds
};

void PrintTo(const TReconcileCase& c, std::ostream* out) { *out << c.Name; }

const char* KindName(TOutcome::TKind kind) {
  switch (kind) {
    case TOutcome::TKind::GivenBack:
      return "given";
    case TOutcome::TKind::WouldGiveBack:
      return "would";
    case TOutcome::TKind::InDoubt:
      return "doubt";
    case TOutcome::TKind::Failed:
      return "failed";
    default:
      return "settled";
  }
}

const TReconcileCase kReconcileCases[] = {
    // Killed with the Redeem in flight: its own redemption goes back, another till's (same
    // key, same second, another digest) stays.
    {"KilledPopupGivesBackOnlyItsOwnDigest",
     Header("db1") + Popup(7) + Redeem(kD1),
     {},
     {{4, "open", ""}},
     Status({Live("DVR-OTHER", kD2), Live("DVR-MINE", kD1)}),
     300,
     {"given DVR-MINE"},
     {"DVR-MINE"}},
    {"KilledPopupWhoseRequestNeverArrived",
     Header("db1") + Popup(7) + Redeem(kD1),
     {},
     {{4, "open", ""}},
     Status({Live("DVR-OTHER", kD2)}),
     300,
     {"settled "},
     {}},
    {"AnEntryWithoutDigestRulesNothingOut",
     Header("db1") + Popup(7) + Redeem(kD1),
     {},
     {},
     Status({Live("DVR-OTHER", "")}),
     300,
     {"doubt "},
     {},
     "no request digest"},
    // An entry whose origin the service does not know may be this request's too.
    {"AnEntryWithoutStoreRulesNothingOut",
     Header("db1") + Popup(7) + Redeem(kD1),
     {},
     {},
     Status({"{\"VoucherReference\":\"DVR-X\",\"StoreReference\":null,\"OrderDate\":null,"
             "\"DiscountAmount\":10,\"RedeemedOn\":\"2026-12-09T09:00:00Z\",\"RequestDigest\":\"" +
             kD2 + "\"}"}),
     300,
     {"doubt "},
     {},
     "no request digest, store or order date"},
    {"TwoLiveWithTheDigestOfOnePress",
     Header("db1") + Popup(7) + Redeem(kD1),
     {},
     {},
     Status({Live("DVR-A", kD1), Live("DVR-B", kD1)}),
     300,
     {"doubt "},
     {}},
    // Pressed again after a lost answer: the second press paid; the first's redemption goes.
    {"PressedAgainAfterALostAnswer",
     Header("db1") + Popup(7) + Redeem(kD1) + Redeem(kD1) + Paid("DVR-2") + Recorded("DVR-2"),
     {{7, "DVR-2", "paid"}},
     {},
     Status({Live("DVR-1", kD1), Live("DVR-2", kD1)}),
     300,
     {"given DVR-1"},
     {"DVR-1"}},
    // Age on the service's clock: answered ten seconds after it redeemed, whatever the till's
    // clock says.
    {"YoungOnTheServicesClock",
     Header("db1") + Popup(7) + Redeem(kD1),
     {},
     {},
     Status({Live("DVR-1", kD1, "2026-12-09T09:59:50Z")}),
     300,
     {"doubt DVR-1"},
     {},
     "redeemed 10 s ago"},
    {"AnotherDatabasesAttemptIsNeverGivenBack",
     Header("db2") + Popup(7) + Redeem(kD1),
     {},
     {},
     Status({Live("DVR-1", kD1)}),
     300,
     {"doubt "},
     {},
     "another database"},
    {"OldLogWithoutDigest",
     Header("db1") + Popup(7) + Redeem(""),
     {},
     {},
     Status({Live("DVR-1", "")}),
     300,
     {"doubt "},
     {},
     "before request digests"},
    // Recorded by the journal, no row of this database holds it: a restore.
    {"RecordedNotInThisDatabase",
     Header("db1") + Popup(7) + Redeem(kD1) + Paid("DVR-9") + Recorded("DVR-9"),
     {},
     {},
     Status({Live("DVR-9", kD1)}),
     0,
     {"doubt DVR-9"},
     {},
     "not in this database"},
    {"RecordedAndBookedIsLeftAlone",
     Header("db1") + Popup(7) + Redeem(kD1) + Paid("DVR-9") + Recorded("DVR-9"),
     {{7, "DVR-9", "linked"}},
     {},
     Status({Live("DVR-9", kD1)}),
     0,
     {},
     {}},
    // The row says paid, the sale was never booked.
    {"RecordedNeverBooked",
     Header("db1") + Popup(7) + Redeem(kD1) + Paid("DVR-9") + Recorded("DVR-9"),
     {{7, "DVR-9", ""}},
     {{4, "open", ""}},
     Status({Live("DVR-9", kD1)}),
     0,
     {"given DVR-9"},
     {"DVR-9"},
     "not booked"},
    // Killed after the module recorded, before its line: the row is the proof.
    {"RowWithoutItsRecordedLine",
     Header("db1") + Popup(7) + Redeem(kD1) + Paid("DVR-9"),
     {{7, "DVR-9", "paid"}},
     {},
     Status({Live("DVR-9", kD1)}),
     0,
     {},
     {}},
    {"CancelKilledBeforeTheReverseLeft",
     Header("db1"),
     {{7, "DVR-9", "cancelling"}},
     {},
     Status({Live("DVR-9", kD1)}),
     300,
     {"given DVR-9"},
     {"DVR-9"}},
    {"CancelKilledAfterTheServiceReversed",
     Header("db1") + Line("CancelTransaction", "Reversing", "DVR-9"),
     {{7, "DVR-9", "cancelling"}},
     {},
     Status({}),
     300,
     {"settled DVR-9"},
     {},
     "holds it reversed"},
    {"OverrideConfirmedNotRecorded",
     Header("db1") + Line("DoOverringInvoice", "Reversing", "DVR-9") +
         Line("DoOverringInvoice", "Reversed", "DVR-9"),
     {{7, "DVR-9", "overriding"}},
     {},
     Status({}),
     300,
     {"settled DVR-9"},
     {}},
    // A reverse begun while the sale still reads linked: the two disagree, a person decides.
    {"ReverseBegunWhileTheSaleReadsLinked",
     Header("db1") + Line("DoOverringInvoice", "Reversing", "DVR-9"),
     {{7, "DVR-9", "linked"}},
     {},
     Status({Live("DVR-9", kD1)}),
     300,
     {"doubt DVR-9"},
     {},
     "reads linked"},
    {"OverrideFinishedIsLeftAlone",
     Header("db1") + Line("DoOverringInvoice", "Reversing", "DVR-9") +
         Line("DoOverringInvoice", "Reversed", "DVR-9") +
         Line("DoOverringInvoice", "Reversal recorded", "DVR-9"),
     {{7, "DVR-9", "reversed"}},
     {},
     Status({}),
     300,
     {},
     {}},
    {"ReferenceListedTwice",
     Header("db1"),
     {{7, "DVR-9", "overriding"}},
     {},
     Status({Live("DVR-9", kD1), Live("DVR-9", kD1)}),
     300,
     {"doubt DVR-9"},
     {},
     "lists it 2 times"},
};

class ReconcileOnProof : public ::testing::TestWithParam<TReconcileCase> {};

struct TRun {
  std::vector<TOutcome> Outcomes;
  std::vector<std::string> Found, Reversed;
  std::vector<TGiveBack> Recorded;
};

TLedger RecordsOf(const TReconcileCase& c) {
  TLedger records;
  int32_t sale = 10;
  for (const TRow& row : c.Rows) {
    TVoucherRow voucher;
    voucher.ID = row.ID;
    voucher.Reference = row.Reference;
    voucher.Code = "SAVE15";
    voucher.Amount = 10;
    voucher.SaleState = row.SaleState;
    if (*row.SaleState) {
      voucher.Sale = std::to_string(sale);
      records.AddSale({sale, row.SaleState, row.Reference});
      ++sale;
    }
    records.AddRow(voucher);
  }
  for (const TSaleRow& open : c.Sales) records.AddSale(open);
  return records;
}

Reconcile::TReconcileOptions OptionsOf(const TReconcileCase& c) {
  Reconcile::TReconcileOptions options;
  options.Database = "db1";
  options.OlderThan = c.OlderThan;
  // Two hours after the log's lines, on the till's clock; the service's clock says 10:00.
  options.Now = Reconcile::LoggedTime("20261209 12150000");
  return options;
}

TRun RunCase(const TReconcileCase& c, const Reconcile::TJournal& journal) {
  TRun run;
  const Reconcile::TServiceCall status = [&](const std::string&, std::string& answer) {
    answer = c.StatusAnswer;
    return true;
  };
  const Reconcile::TServiceCall reverse = [&](const std::string& request, std::string& answer) {
    const std::string ref = ReversalRequestReference(request);
    run.Reversed.push_back(ref);
    answer = "{\"Success\":true,\"VoucherReference\":\"" + ref + "\"}";
    return true;
  };
  const Reconcile::TRecord record = [&](const TGiveBack& giveBack, std::string&) {
    run.Recorded.push_back(giveBack);
    return true;
  };
  run.Outcomes = Reconcile::Reconcile(journal, RecordsOf(c), status, reverse, record, OptionsOf(c));
  for (const TOutcome& o : run.Outcomes)
    run.Found.push_back(KindName(o.Kind) + (" " + o.Reference));
  return run;
}

TEST_P(ReconcileOnProof, ActsOnlyOnWhatIsProven) {
  const TReconcileCase& c = GetParam();
  const TRun run = RunCase(c, Reconcile::ScanLogText(c.Log));
  EXPECT_EQ(run.Found, c.Outcomes);
  EXPECT_EQ(run.Reversed, c.Reversed);
  if (*c.Note) {
    ASSERT_FALSE(run.Outcomes.empty());
    EXPECT_NE(run.Outcomes.front().Done.find(c.Note), std::string::npos)
        << run.Outcomes.front().Done;
  }
  // A popup the till never booked closes its sale; nothing else touches one.
  for (const TGiveBack& g : run.Recorded)
    EXPECT_EQ(!g.SaleState, g.Found.rfind("log: popup", 0) != 0 && g.Found != "log: not booked")
        << g.Found;
}

// A later run sees only what the earlier one left open: whatever it would do with the whole
// journal it does with that part alone, word for word.
TEST_P(ReconcileOnProof, WhatIsLeftOpenIsEnoughForTheNextRun) {
  const TReconcileCase& c = GetParam();
  const Reconcile::TJournal whole = Reconcile::ScanLogText(c.Log);
  const Reconcile::TJournal open = Reconcile::OpenPart(whole, RecordsOf(c), OptionsOf(c));
  const TRun all = RunCase(c, whole), part = RunCase(c, open);
  EXPECT_EQ(part.Found, all.Found);
  EXPECT_EQ(part.Reversed, all.Reversed);
  ASSERT_EQ(part.Outcomes.size(), all.Outcomes.size());
  for (size_t i = 0; i < all.Outcomes.size(); ++i)
    EXPECT_EQ(part.Outcomes[i].Done, all.Outcomes[i].Done);
}

// What is finished is not carried: the point stays small however long the till trades.
TEST(ReconcileOpenPart, CarriesOnlyWhatIsNotFinished) {
  TLedger records;
  records.AddRow({7, "DVR-9", "SAVE15", 10, "", "10", "paid", false});
  records.AddSale({10, "paid", "DVR-9"});
  Reconcile::TReconcileOptions options;
  options.Database = "db1";
  const struct {
    const char* Name;
    std::string Log;
    size_t Attempts, Reverses;
  } cases[] = {
      {"refused", Header("db1") + Popup(7) + Redeem(kD1) + kRefused, 0, 0},
      {"paid and held by its sale",
       Header("db1") + Popup(7) + Redeem(kD1) + Paid("DVR-9") + Recorded("DVR-9"), 0, 0},
      {"cancel confirmed",
       Header("db1") + Line("CancelTransaction", "Reversing", "DVR-8") +
           Line("CancelTransaction", "Reversed", "DVR-8"),
       0, 0},
      {"killed after Redeeming", Header("db1") + Popup(8) + Redeem(kD2), 1, 0},
      {"another database's press", Header("db2") + Popup(8) + Redeem(kD2), 1, 0},
      {"cancel not confirmed", Header("db1") + Line("CancelTransaction", "Reversing", "DVR-8"), 0,
       1},
      // A press pressed again: one group, carried whole while one of it is open.
      {"pressed again", Header("db1") + Popup(8) + Redeem(kD2) + kRefused + Redeem(kD2), 1, 0},
  };
  for (const auto& c : cases) {
    const Reconcile::TJournal open =
        Reconcile::OpenPart(Reconcile::ScanLogText(c.Log), records, options);
    EXPECT_EQ(open.Attempts.size(), c.Attempts) << c.Name;
    EXPECT_EQ(open.Reverses.size(), c.Reverses) << c.Name;
  }
}

// A payment's start settles first only what this till's own log shows left open: the rest, and
// what an earlier point carried, is reconcile's to judge.
TEST(PaymentStart, SettlesFirstOnlyWhatThisTillLeftOpen) {
  const std::string paid =
      Header("db1", 10) + Popup(7) + Redeem(kD1) + Paid("DVR-9") + Recorded("DVR-9");
  const struct {
    const char* Name;
    std::string Log;
    bool SaleHolds;  // sale 10 reads paid with DVR-9
    bool Open;
  } cases[] = {
      {"refused", Header("db1") + Popup(7) + Redeem(kD1) + kRefused, false, false},
      {"recorded and linked", paid + Line("LinkInvoice", "Invoice linked", "2002"), false, false},
      {"recorded, its sale paid without an invoice", paid, true, false},
      {"recorded, its sale never booked", paid, false, true},
      {"killed after Redeeming", Header("db1") + Popup(8) + Redeem(kD2), false, true},
      {"the dialog gave it back",
       Header("db1") + Popup(7) + Redeem(kD1) +
           Entry(4, "[TfrmDovraPayment.btnRedeemClick] Giving back : DVR-9") +
           Entry(4, "[TfrmDovraPayment.btnRedeemClick] Given back : DVR-9"),
       false, false},
      {"recorded, then the cancel confirmed",
       paid + Line("CancelTransaction", "Reversing", "DVR-9") +
           Line("CancelTransaction", "Reversed", "DVR-9"),
       false, false},
      {"cancel not confirmed", paid + Line("CancelTransaction", "Reversing", "DVR-9"), true, true},
      {"override confirmed, its record not written",
       Header("db1") + Line("DoOverringInvoice", "Reversing", "DVR-9") +
           Line("DoOverringInvoice", "Reversed", "DVR-9"),
       false, true},
      {"another database's killed press", Header("db2") + Popup(8) + Redeem(kD2), false, false},
      {"a log naming no database", kOldHeader + Popup(8) + Redeem(""), false, false},
  };
  for (const auto& c : cases) {
    const Reconcile::TJournal journal = Reconcile::ScanLogText(c.Log);
    const Reconcile::TSaleHolds holds = [&](int32_t sale, const std::string& reference) {
      return c.SaleHolds && sale == 10 && reference == "DVR-9";
    };
    EXPECT_EQ(Reconcile::LeftOpenForAPayment(journal, 0, 0, "db1", holds, {}), c.Open) << c.Name;
  }
  // Settled by an earlier run: SarnGiveBacks names the press's request, or the reverse's reference.
  const struct {
    std::string Log, Settled;
  } settledCases[] = {
      {Header("db1") + Popup(8) + Redeem(kD2), "request " + kD2},
      {Header("db1") + Popup(8) + Redeem(kD2), "request " + kD2 + " DVR-9"},
      {Header("db1") + Line("CancelTransaction", "Reversing", "DVR-9"), "reference DVR-9"},
  };
  for (const auto& c : settledCases) {
    const Reconcile::TJournal journal = Reconcile::ScanLogText(c.Log);
    EXPECT_TRUE(Reconcile::LeftOpenForAPayment(journal, 0, 0, "db1", nullptr, {"request x"}))
        << c.Settled;
    EXPECT_FALSE(Reconcile::LeftOpenForAPayment(journal, 0, 0, "db1", nullptr, {c.Settled}))
        << c.Settled;
  }

  // What a point carried from earlier files is not looked at again; what was read since is.
  Reconcile::TLogScan scan;
  scan.Resume({}, Reconcile::ScanLogText(Header("db1") + Popup(8) + Redeem(kD2)));
  scan.BeginFile("live");
  scan.Feed(paid + Line("LinkInvoice", "Invoice linked", "2002"));
  scan.EndFile();
  ASSERT_EQ(scan.CarriedAttempts(), 1u);
  EXPECT_FALSE(Reconcile::LeftOpenForAPayment(scan.Journal(), scan.CarriedAttempts(),
                                              scan.CarriedReverses(), "db1", nullptr, {}));
  EXPECT_TRUE(Reconcile::LeftOpenForAPayment(scan.Journal(), 0, 0, "db1", nullptr, {}));
}

INSTANTIATE_TEST_SUITE_P(Cases, ReconcileOnProof, ::testing::ValuesIn(kReconcileCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// A reversal answer that does not confirm this very reference leaves it in doubt.
TEST(ReconcileOnProof, TakesOnlyItsOwnReferenceAsConfirmed) {
  for (const char* answer : {"{\"Success\":true,\"VoucherReference\":\"DVR-99999999\"}",
                             "{\"Success\":true} trailing", "{\"success\":true}"}) {
    TLedger records;
    records.AddRow({7, "DVR-9", "SAVE15", 10, "", "10", "cancelling", false});
    records.AddSale({10, "cancelling", "DVR-9"});
    const Reconcile::TServiceCall status = [](const std::string&, std::string& a) {
      a = Status({Live("DVR-9", kD1)});
      return true;
    };
    const Reconcile::TServiceCall reverse = [&](const std::string&, std::string& a) {
      a = answer;
      return true;
    };
    int recorded = 0;
    const Reconcile::TRecord record = [&](const TGiveBack&, std::string&) { return ++recorded; };
    Reconcile::TReconcileOptions options;
    options.Database = "db1";
    const auto outcomes = Reconcile::Reconcile(Reconcile::ScanLogText(Header("db1")), records,
                                               status, reverse, record, options);
    ASSERT_EQ(outcomes.size(), 1u) << answer;
    EXPECT_EQ(outcomes[0].Kind, TOutcome::TKind::InDoubt) << answer;
    EXPECT_EQ(recorded, 0) << answer;
  }
}

// SarnGiveBacks and the journal point hold these words from earlier runs: they never change.
TEST(ReconcileFound, KeepsTheWordsEarlierRunsWrote) {
  using Reconcile::TFoundSource;
  const std::pair<Reconcile::TFound, const char*> cases[] = {
      {TFoundSource::LogPopup, "log: popup"},
      {TFoundSource::LogNotBooked, "log: not booked"},
      {TFoundSource::LogCancel, "log: cancel"},
      {TFoundSource::LogOverride, "log: override"},
      {TFoundSource::LogDialog, "log: dialog"},
      {{TFoundSource::TillSale, TSaleState::Cancelling}, "till: cancelling"},
      {{TFoundSource::TillSale, TSaleState::ReverseFailed}, "till: reverse failed"},
      {TFoundSource::TillLinked, "till: paid, row linked"},
  };
  for (const auto& [found, text] : cases) {
    EXPECT_EQ(FoundText(found), text);
    EXPECT_TRUE(Reconcile::ReadFound(text) == found) << text;
  }
  for (const char* none : {"", "till: ", "till: unknown", "log: popup ", "voucher reverse"})
    EXPECT_FALSE(Reconcile::ReadFound(none)) << none;
}

// The log's time is the till's local time; the service's is UTC.
TEST(ReconcileTimes, AreReadInTheirOwnZones) {
  setenv("TZ", "Europe/Amsterdam", 1);
  tzset();
  EXPECT_EQ(Reconcile::LoggedTime("20261209 10150217"),
            Reconcile::ServiceTime("2026-12-09T09:15:02.417Z"));
  EXPECT_EQ(Reconcile::LoggedTime("20260709 10150217"),
            Reconcile::ServiceTime("2026-07-09T08:15:02Z"));
  for (const char* bad : {"2026-12-09 09:15:02", "2026-12-09T09:15:02+01:00", ""})
    EXPECT_EQ(Reconcile::ServiceTime(bad), -1) << bad;
  EXPECT_EQ(Reconcile::LoggedTime("Host=till1 User=sarn"), -1);
  // Lines of one hour each keep their minutes and seconds; the hour a zone goes to summer time
  // on is read as that zone says (02:30 does not exist on 29 March 2026 in Amsterdam).
  EXPECT_EQ(Reconcile::LoggedTime("20261209 10595917"),
            Reconcile::ServiceTime("2026-12-09T09:59:59Z"));
  EXPECT_EQ(Reconcile::LoggedTime("20260329 03000000") - Reconcile::LoggedTime("20260329 01590000"),
            60);
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(Reconcile::LoggedTime("20261209 10150217"),
            Reconcile::ServiceTime("2026-12-09T10:15:02Z"));
  unsetenv("TZ");
  tzset();
}

// A redemption younger than --older-than may belong to a sale still on its way: reconcile leaves
// it for a later run and does not ask the service to reverse it. The age is the service's own:
// its answer's clock minus the redemption's.
TEST(ReconcileAgeGuard, LeavesARedemptionYoungerThanOlderThanAlone) {
  struct TCase {
    const char* RedeemedOn;  // the service answered at 2026-12-09T12:00:00Z
    bool GivenBack;
  };
  const TCase cases[] = {
      {"2026-12-09T11:59:50Z", false},      // 10 s
      {"2026-12-09T11:55:01.999Z", false},  // 299 s: the fraction does not make it older
      {"2026-12-09T11:55:00Z", true},       // 300 s
      {"2026-12-08T12:00:00Z", true},
      {"2026-12-09T12:00:30Z", false},  // after the answer's own clock
  };
  for (const TCase& c : cases) {
    Reconcile::TReconcileOptions options;
    options.Database = "db1";
    options.OlderThan = 300;
    // The till's clock is a day off: it plays no part when the answer has its own.
    options.Now = Reconcile::ServiceTime("2026-12-10T12:00:00Z");
    int reversals = 0;
    const Reconcile::TServiceCall status = [&](const std::string&, std::string& answer) {
      answer = Status({Live("DVR-9", kD1, c.RedeemedOn)}, "2026-12-09T12:00:00Z");
      return true;
    };
    const Reconcile::TServiceCall reverse = [&](const std::string&, std::string& answer) {
      ++reversals;
      answer = "{\"Success\":true,\"VoucherReference\":\"DVR-9\"}";
      return true;
    };
    const Reconcile::TRecord record = [](const TGiveBack&, std::string&) { return true; };
    const std::vector<TOutcome> outcomes =
        Reconcile::Reconcile(Reconcile::ScanLogText(Header("db1") + Popup(7) + Redeem(kD1)),
                             TLedger{}, status, reverse, record, options);
    ASSERT_EQ(outcomes.size(), 1u) << c.RedeemedOn;
    EXPECT_EQ(outcomes[0].Kind == TOutcome::TKind::GivenBack, c.GivenBack)
        << c.RedeemedOn << ": " << outcomes[0].Done;
    EXPECT_EQ(reversals, c.GivenBack ? 1 : 0) << c.RedeemedOn;
  }
}

class GivenBackEarlier : public TTestFolder {
 protected:
  GivenBackEarlier() : TTestFolder("given-back-earlier") {}
};

TGiveBack Back(const char* candidate, const char* reference, TGiveBackOutcome outcome) {
  TGiveBack back;
  back.Candidate = candidate;
  back.VoucherCode = "A";
  back.VoucherReference = reference;
  back.Amount = 10;
  back.Found = "voucher reverse";
  back.Outcome = outcome;
  return back;
}

// An override counts the invoice's vouchers the till gave back earlier: each reference once,
// however often it was recorded, and only one the service no longer holds.
TEST_F(GivenBackEarlier, CountsTheInvoicesReferencesGivenBackOnce) {
  TIntfPtr<TDBScript> db = NewDBScript({Path("till.db"), 1000, ""});
  ASSERT_EQ(db->Execute("%s", {DovraTransactionTableScript()}), 0);
  std::string error;
  int32_t count = -1;
  EXPECT_TRUE(CountGivenBackEarlier(*db, 1001, count, error)) << error;
  EXPECT_EQ(count, 0) << "nothing given back before the till's table exists";

  ASSERT_EQ(db->Execute("INSERT INTO [DovraTransactions] ( [Timestamp_Created], [InvoiceNum], "
                        "[VoucherReference] ) VALUES ( GETDATE(), 1001, 'R-1' ), ( GETDATE(), "
                        "1001, 'R-2' ), ( GETDATE(), 1001, 'R-3' ), ( GETDATE(), 1001, 'R-5' ), "
                        "( GETDATE(), 1001, NULL ), ( GETDATE(), 1002, 'R-4' )",
                        {}),
            6);
  const TGiveBack backs[] = {
      Back("reference R-1", "R-1", TGiveBackOutcome::GivenBack),
      Back("request D R-1", "R-1", TGiveBackOutcome::GivenBack),
      Back("reference R-2", "R-2", TGiveBackOutcome::NothingToGiveBack),
      Back("reference R-4", "R-4", TGiveBackOutcome::GivenBack),
      Back("reference R-5", "R-5", TGiveBackOutcome::FoundReversed),
  };
  for (const TGiveBack& back : backs) ASSERT_TRUE(RecordGiveBack(*db, back, error)) << error;
  struct TCase {
    int32_t Invoice;
    int32_t Count;
  };
  for (const TCase c : {TCase{1001, 2}, TCase{1002, 1}, TCase{1003, 0}}) {
    count = -1;
    EXPECT_TRUE(CountGivenBackEarlier(*db, c.Invoice, count, error)) << error;
    EXPECT_EQ(count, c.Count) << "invoice " << c.Invoice;
  }
}

}  // namespace
