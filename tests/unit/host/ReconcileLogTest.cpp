// Which vouchers a module log leaves in doubt: each case is a piece of log, as the module writes
// it, and the candidates reconcile must take from it. Then the age below which reconcile leaves a
// redemption alone, and the count of an invoice's vouchers the till gave back earlier.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/db/TDatabases.h"
#include "host/services/TGiveBacks.h"
#include "host/services/TReconcile.h"
#include "module/schema/implDatabaseChangesDovra.h"
#include "tests/support/TestFolder.h"

namespace {

using Reconcile::TCandidate;

// One entry line at 10:15:0S on 9 December 2026.
std::string Entry(int second, const std::string& text) {
  return "20261209 1015" + std::string(second < 10 ? "0" : "") + std::to_string(second) +
         "17 info  " + text + "\r\n";
}

const std::string kHeader =
    "/opt/sarn/sarn-till 1.0.0.0 (2026-12-09 10:00:00)\rHost=till1 User=sarn\r"
    "TSynLog 1.18.743 FTS3 2026-12-09T10:15:00\r\n";
std::string Popup(int id) {
  return Entry(
      0, "[TPaymentMethodDovraVoucher.DoPaymentPopup] Current Transaction : " + std::to_string(id));
}
std::string Redeeming(const std::string& code) {
  return Entry(1, "[TfrmDovraPayment.btnRedeemClick] Redeeming : " + code);
}
std::string Key(const std::string& code, const std::string& date) {
  return Entry(1, "[TfrmDovraPayment.btnRedeemClick] Redemption key : {\"VoucherCode\":\"" + code +
                      "\",\"StoreReference\":1,\"OrderDate\":\"" + date + "\"}");
}
std::string Answer(const std::string& json) {
  return Entry(2, "[TDovraVoucherAPI.Redeem] Response : " + json);
}
const std::string kLost =
    Entry(3, "[TDovraVoucherAPI.Redeem] Error : Empty reply from server (POST https://x/)");
std::string Paid(const std::string& ref) {
  return Answer("{\"Success\":true,\"DiscountAmount\":10,\"VoucherReference\":\"" + ref +
                "\",\"VoucherCode\":\"WELCOME10\"}");
}

struct TLogCase {
  const char* Name;
  std::string Log;
  // Each candidate as "FOUND CODE REFERENCE TRANSACTION KEY(date or -)".
  std::vector<std::string> Candidates;
};

void PrintTo(const TLogCase& c, std::ostream* out) { *out << c.Name; }

std::string Describe(const TCandidate& c) {
  return c.Found + " " + (c.Code.empty() ? "?" : c.Code) + " " +
         (c.Reference.empty() ? "-" : c.Reference) + " " + std::to_string(c.Transaction) + " " +
         (c.HasKey ? c.Key.OrderDate : "-");
}

const TLogCase kCases[] = {
    {"KilledAfterRedeeming",
     kHeader + Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "2026-12-09T10:15:01"),
     {"log: popup WELCOME10 - 7 2026-12-09T10:15:01"}},
    {"AnswerLost",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") + kLost,
     {"log: popup WELCOME10 - 7 D1"}},
    {"OlderLogWithoutKey",
     Popup(7) + Redeeming("WELCOME10") + kLost,
     {"log: popup WELCOME10 - 7 -"}},
    // Redeem pressed twice with the same request: one key, one candidate.
    {"RedeemPressedAgain",
     Popup(7) + Redeeming("SAVE15") + Key("SAVE15", "D1") + kLost + Redeeming("SAVE15") +
         Key("SAVE15", "D1") + kLost,
     {"log: popup SAVE15 - 7 D1"}},
    {"RefusedUsesNothing",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") +
         Answer("{\"Success\":false,\"ErrorMessage\":\"Voucher has already been used\"}"),
     {}},
    // An answer that came is told by the DovraTransactions row it names (reconcile reads that).
    {"AnswerCameKilledBeforeRecording",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") + Paid("DVR-9"),
     {"log: popup WELCOME10 DVR-9 7 D1"}},
    // The reference as the payment method reads it from the answer (each member on its own).
    {"AnswerReadAsThePaymentMethodReadsIt",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") +
         Answer("{\"Success\":true,\"VoucherReference\":12}"),
     {"log: popup WELCOME10 12 7 D1"}},
    {"DialogGaveItBack",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") + kLost +
         Entry(4, "[TfrmDovraPayment.btnRedeemClick] Giving back : DVR-9") +
         Entry(4, "[TfrmDovraPayment.btnRedeemClick] Given back : DVR-9"),
     {}},
    {"DialogFoundNothing",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") + kLost +
         Entry(4, "[TfrmDovraPayment.btnRedeemClick] Not redeemed : WELCOME10"),
     {}},
    {"DialogCouldNotGiveBack",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") + kLost +
         Entry(4, "[TfrmDovraPayment.btnRedeemClick] Giving back : DVR-9") +
         Entry(4, "[TfrmDovraPayment.btnRedeemClick] Left used : WELCOME10 (DVR-9 not given back)"),
     {"log: popup WELCOME10 DVR-9 7 D1"}},
    {"CancelNotGivenBack",
     Popup(7) + Redeeming("WELCOME10") + Paid("DVR-9") +
         Entry(5, "[TPaymentMethodDovraVoucher.CancelTransaction] Could not reverse : DVR-9"),
     {"log: cancel WELCOME10 DVR-9 7 -"}},
    {"OverrideNotGivenBack",
     kHeader + Entry(5, "[TPaymentMethodDovraVoucher.DoOverringInvoice] Could not reverse : DVR-9"),
     {"log: override ? DVR-9 -1 -"}},
    {"NotRecordedNotGivenBack",
     Popup(7) + Redeeming("WELCOME10") + Paid("DVR-9") +
         Entry(3,
               "[TPaymentMethodDovraVoucher.DoPaymentPopup] Could not record redemption : DVR-9") +
         Entry(3, "[TPaymentMethodDovraVoucher.DoPaymentPopup] Could not reverse : DVR-9"),
     {"log: not recorded WELCOME10 DVR-9 7 -"}},
    {"NoDiscountNotGivenBack",
     Popup(7) + Redeeming("WELCOME10") + Paid("DVR-9") +
         Entry(3, "[TPaymentMethodDovraVoucher.DoPaymentPopup] Could not reverse : DVR-9") +
         Entry(3,
               "[TPaymentMethodDovraVoucher.DoPaymentPopup] No discount, voucher not given back "
               ": DVR-9"),
     {"log: no discount WELCOME10 DVR-9 7 -"}},
    {"NoDiscountGivenBack",
     Popup(7) + Redeeming("WELCOME10") + Paid("DVR-9") +
         Entry(3, "[TPaymentMethodDovraVoucher.DoPaymentPopup] Reversed : DVR-9"),
     {}},
    // A reversal's answer quoting the words of a log line is no log line.
    {"WordsInsideAnAnswer",
     Entry(3, "[TDovraVoucherAPI.Reverse] Response : {\"x\":\"] Could not reverse : DVR-9\"}"),
     {}},
    // A new process's header: the popup before it is not the one the next answer belongs to.
    {"AnswerAfterARestartIsNotThePopups",
     Popup(7) + Redeeming("WELCOME10") + Key("WELCOME10", "D1") + kHeader + Paid("DVR-9"),
     {"log: popup WELCOME10 - 7 D1"}},
};

class CandidatesFromLog : public ::testing::TestWithParam<TLogCase> {};

TEST_P(CandidatesFromLog, AreTheOnesLeftInDoubt) {
  std::vector<std::string> found;
  for (const TCandidate& c : Reconcile::ScanLogText(GetParam().Log)) found.push_back(Describe(c));
  EXPECT_EQ(found, GetParam().Candidates);
}

INSTANTIATE_TEST_SUITE_P(Logs, CandidatesFromLog, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Name); });

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
  unsetenv("TZ");
  tzset();
}

// A redemption younger than --older-than may belong to a sale still on its way: reconcile leaves
// it for a later run and does not ask the service to reverse it.
TEST(ReconcileAgeGuard, LeavesARedemptionYoungerThanOlderThanAlone) {
  struct TCase {
    const char* RedeemedOn;  // the service's clock; the till's is 2026-12-09T12:00:00Z
    bool GivenBack;
  };
  const TCase cases[] = {
      {"2026-12-09T11:59:50Z", false},      // 10 s
      {"2026-12-09T11:55:01.999Z", false},  // 299 s: the fraction does not make it older
      {"2026-12-09T11:55:00Z", true},       // 300 s
      {"2026-12-08T12:00:00Z", true},
      {"2026-12-09T12:00:30Z", false},  // ahead of the till's clock
  };
  for (const TCase& c : cases) {
    // The smallest candidate: a reference the module could not give back on a cancel.
    TCandidate candidate;
    candidate.Found = "log: cancel";
    candidate.Code = "WELCOME10";
    candidate.Reference = "DVR-9";
    Reconcile::TReconcileOptions options;
    options.Store = 1;
    options.OlderThan = 300;
    options.Now = Reconcile::ServiceTime("2026-12-09T12:00:00Z");
    int reversals = 0;
    const Reconcile::TServiceCall status = [&](const std::string&, std::string& answer) {
      answer = std::string(
                   "{\"Success\":true,\"VoucherCode\":\"WELCOME10\",\"LiveRedemptions\":[{"
                   "\"VoucherReference\":\"DVR-9\",\"StoreReference\":1,\"OrderDate\":"
                   "\"2026-12-09T11:00:00\",\"DiscountAmount\":10,\"RedeemedOn\":\"") +
               c.RedeemedOn + "\"}]}";
      return true;
    };
    const Reconcile::TServiceCall reverse = [&](const std::string&, std::string& answer) {
      ++reversals;
      answer = "{\"Success\":true}";
      return true;
    };
    const Reconcile::TRecord record = [](const TGiveBack&, std::string&) { return true; };
    const std::vector<Reconcile::TOutcome> outcomes =
        Reconcile::Reconcile({candidate}, TTillRecords{}, status, reverse, record, options);
    ASSERT_EQ(outcomes.size(), 1u) << c.RedeemedOn;
    EXPECT_EQ(outcomes[0].Kind == Reconcile::TOutcome::TKind::GivenBack, c.GivenBack)
        << c.RedeemedOn << ": " << outcomes[0].Done;
    EXPECT_EQ(reversals, c.GivenBack ? 1 : 0) << c.RedeemedOn;
  }
}

class GivenBackEarlier : public TTestFolder {
 protected:
  GivenBackEarlier() : TTestFolder("given-back-earlier") {}
};

// An override counts the invoice's vouchers the till gave back earlier: each reference once,
// however often it was recorded, and only one the service took back.
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
      {"reference R-1", "A", "R-1", 10, "voucher reverse", "given back", "{}"},
      {"key A 1 D1", "A", "R-1", 10, "log: popup", "given back", "{}"},
      {"reference R-2", "B", "R-2", 10, "log: cancel", "nothing to give back", ""},
      {"reference R-4", "C", "R-4", 10, "voucher reverse", "given back", "{}"},
      {"reference R-5", "D", "R-5", 10, "log: override", "given back", "{}"},
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
