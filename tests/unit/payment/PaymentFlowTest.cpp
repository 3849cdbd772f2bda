// The payment popup, invoice link and the two reversals against a recording DB script service, a
// scripted voucher client and a scripted dialog: which statements run, in which order, with which
// arguments, and what reaches the module log.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "intf/intfDBScript.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/modulelog/ModuleLogLines.h"
#include "lib/voucher/DovraMessages.h"
#include "module/core/modAssert.h"
#include "module/log/modLog.h"
#include "module/payment/DovraStatements.h"
#include "module/payment/implPaymentMethodDovraVouchers.h"
#include "tests/support/Contains.h"
#include "tests/support/ErrorMessage.h"
#include "tests/support/TestFolder.h"
#include "tests/support/TestRegistry.h"
#include "tests/unit/payment/PaymentTestSupport.h"

namespace {

struct TDBCall {
  std::string Operation;  // Execute, QueryValue, QueryJSON
  std::string Text;
  TDBArgs Args;
};

class TRecordingDB final : public TImplements<TInterfacedObject, IDBScript> {
 public:
  std::vector<TDBCall> Calls;
  std::string NextID = "17";                // what QueryValue hands back
  std::string Rows = "[]";                  // what QueryJSON hands back
  std::map<std::string, int32_t> ResultOf;  // Execute's result by statement; 1 when not named

  void SetConnection(const std::string&) override {}
  void GetConnection(std::string&) override {}
  int32_t Execute(const std::string& format, const TDBArgs& args) override {
    Calls.push_back({"Execute", format, args});
    const auto result = ResultOf.find(format);
    return result == ResultOf.end() ? 1 : result->second;
  }
  int32_t ExecuteFile(const std::string&) override { return -1; }
  bool QueryValue(const std::string& statement, const std::string& column,
                  std::string& value) override {
    Calls.push_back({"QueryValue", statement, {column}});
    value = NextID;
    return true;
  }
  bool TableExists(const std::string&) override { return true; }
  void LastError(std::string& error) override { error.clear(); }
  bool QueryJSON(const std::string& format, const TDBArgs& args, std::string& rows) override {
    Calls.push_back({"QueryJSON", format, args});
    rows = Rows;
    return true;
  }
};

class TScriptedAPI final : public TImplements<TInterfacedObject, IDovraVoucherAPI> {
 public:
  std::vector<std::string> Reversals;
  bool Succeeds = true;  // the call itself
  bool Confirms = true;  // the answer of a call that succeeded
  std::string Refusal = "{\"Success\":false,\"ErrorMessage\":\"already reversed\"}";
  std::function<void()> DuringReverse;

  bool Evaluate(const std::string&, std::string&) override { return false; }
  bool Redeem(const std::string&, std::string&) override { return false; }
  bool Reverse(const std::string& request, std::string& response) override {
    Reversals.push_back(request);
    if (DuringReverse) DuringReverse();
    if (!Succeeds) return false;
    response = Confirms ? "{\"Success\":true,\"Reversed\":" + std::to_string(Reversals.size()) + "}"
                        : Refusal;
    return true;
  }
  bool VoucherStatus(const std::string&, std::string&) override { return false; }
};

// The payment method with the dialog replaced by a script: shown or not, and what it answers.
class TScriptedPayment final : public TPaymentMethodDovraVoucher {
 public:
  bool Redeems = true;
  std::string Answer =
      "{\"Success\":true,\"DiscountAmount\":12.5,\"VoucherReference\":\"DVR-1\","
      "\"VoucherCode\":\"SAVE15\"}";
  int Shown = 0;
  std::function<void()> DuringDialog;  // runs while the dialog is open

  using TPaymentMethodDovraVoucher::CreateTransaction;
  using TPaymentMethodDovraVoucher::LogActivity;

 protected:
  bool RunVoucherDialog(std::string& redeemResponseText) override {
    ++Shown;
    if (DuringDialog) DuringDialog();
    if (Redeems) redeemResponseText = Answer;
    return Redeems;
  }
};

std::string Text(const TDBArg& arg) { return std::get<std::string>(arg); }

class PaymentFlow : public TTestFolder {
 protected:
  PaymentFlow() : TTestFolder("payment-flow") {}

  void SetUp() override {
    TTestFolder::SetUp();
    ModLog::StartModuleLog(Path("DovraVoucherPayment.smd"));
    Registry->RegisterInstance(IDBScript::IID, DB.As<IInterface>().Get());
    Registry->RegisterInstance(IDovraVoucherAPI::IID, API.As<IInterface>().Get());
    Payment = MakeObject<TScriptedPayment>();
    Payment->SetOnChanged(
        {[](void* count, IPaymentMethod*) { ++*static_cast<int*>(count); }, &Changes});
  }
  void TearDown() override {
    ModLog::FinishModuleLog();
    TTestFolder::TearDown();
  }

  // The module log's entries so far, without their time stamps.
  std::string Log() const {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      if (entry.path().extension() == ".log") all += Read(entry.path().string());
    return all;
  }
  std::vector<std::string> DetailLines() {
    TIntfPtr<IStringConfigList> details;
    Payment->GetDetails(details);
    std::vector<std::string> lines(details->Count());
    for (int32_t i = 0; i < details->Count(); ++i) details->Line(i, lines[i]);
    return lines;
  }

  TScopedModuleRegistry Registry;
  TIntfPtr<TRecordingDB> DB = MakeObject<TRecordingDB>();
  TIntfPtr<TScriptedAPI> API = MakeObject<TScriptedAPI>();
  TIntfPtr<TScriptedPayment> Payment;
  int Changes = 0;
};

}  // namespace

TEST(PaymentStatements, KeepTheirExactLengthsAndLayout) {
  EXPECT_EQ(ActivityInsertStatement().size(), 177u);
  EXPECT_EQ(TransactionInsertStatement().size(), 124u);
  EXPECT_EQ(PaymentUpdateStatement().size(), 250u);
  EXPECT_EQ(InvoiceLinkStatement().size(), 88u);
  EXPECT_EQ(InvoiceRowsStatement().size(), 72u);
  EXPECT_EQ(InvoiceLinkStatement(),
            "UPDATE [DovraTransactions]  \r\n"
            "   SET [InvoiceNum] = %d    \r\n"
            " WHERE [ID]         = %d    ");
  EXPECT_EQ(ActivityInsertStatement().substr(0, 51),
            "INSERT                                     \r\n  INTO");
}

TEST(PaymentStatements, TextsBecomeSQLLiteralsWithInnerQuotesDoubled) {
  const std::pair<std::string, std::string> cases[] = {
      {"O'Brien", "'O''Brien'"},
      {"", "''"},
      {"'''", "''''''''"},
      {"%s and %d stay", "'%s and %d stay'"},
      {"back\\slash", "'back\\slash'"},
      {"a\r\nb\t\xF0\x9F\x98\x80", "'a\r\nb\t\xF0\x9F\x98\x80'"},
      {std::string("a\0b\0", 4), "'a?b?'"},
  };
  for (const auto& [text, literal] : cases) EXPECT_EQ(QuotedSQLText(text), literal) << text;
}

TEST_F(PaymentFlow, ARedemptionIsRecordedAndPaysItsDiscount) {
  Payment->SetAmount(999);
  Changes = 0;
  ASSERT_TRUE(Payment->DoPaymentPopup());

  EXPECT_EQ(Payment->GetAmount(), 125000);
  EXPECT_EQ(Changes, 0);  // the module's own assignment does not notify the host
  EXPECT_TRUE(Payment->Redeemed());
  EXPECT_EQ(Payment->TransactionID(), 17);
  EXPECT_EQ(Payment->VoucherReference(), "DVR-1");
  EXPECT_EQ(DetailLines(),
            (std::vector<std::string>{"VoucherReference=DVR-1", "VoucherCode=SAVE15"}));

  ASSERT_EQ(DB->Calls.size(), 4u);
  EXPECT_EQ(DB->Calls[0].Operation, "QueryValue");
  EXPECT_EQ(DB->Calls[0].Text, TransactionInsertStatement());
  EXPECT_EQ(Text(DB->Calls[0].Args[0]), "ID");
  EXPECT_EQ(DB->Calls[1].Text, ActivityInsertStatement());
  EXPECT_EQ(Text(DB->Calls[1].Args[1]), "'INFO'");
  EXPECT_EQ(Text(DB->Calls[1].Args[2]), "'New Transaction: 17'");
  EXPECT_EQ(DB->Calls[2].Text, PaymentUpdateStatement());
  EXPECT_EQ(DB->Calls[2].Args, (TDBArgs{std::string("'DVR-1'"), QuotedSQLText(Payment->Answer),
                                        TCurrency{125000}, int32_t{17}}));
  EXPECT_EQ(Text(DB->Calls[3].Args[1]), "'REDEEM'");
  EXPECT_EQ(Text(DB->Calls[3].Args[2]), "'{\"ID\": 17, \"VoucherReference\": \"DVR-1\" }'");
  // The activity time stamp is the till's local time, yyyy/mm/dd hh:nn:ss, quoted.
  EXPECT_EQ(Text(DB->Calls[1].Args[0]).size(), 21u);
  EXPECT_EQ(Text(DB->Calls[1].Args[0])[5], '/');

  EXPECT_NE(Log().find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Current Transaction : 17"),
            std::string::npos);

  Payment->LinkInvoice(1001);
  EXPECT_EQ(Payment->InvoiceNum(), 1001);
  ASSERT_EQ(DB->Calls.size(), 5u);
  EXPECT_EQ(DB->Calls[4].Text, InvoiceLinkStatement());
  EXPECT_EQ(DB->Calls[4].Args, (TDBArgs{int32_t{1001}, int32_t{17}}));
}

TEST_F(PaymentFlow, DiscountAmountsBecomeMoneyRoundedToTenThousandths) {
  const std::pair<const char*, TCurrency> cases[] = {
      {"12.34567", 123457}, {"12.5", 125000}, {"0.00006", 1}, {"7", 70000}, {"1e2", 1000000}};
  for (const auto& [amount, money] : cases) {
    Payment->Answer = std::string("{\"DiscountAmount\":") + amount +
                      ",\"VoucherReference\":\"R\",\"VoucherCode\":\"C\"}";
    ASSERT_TRUE(Payment->DoPaymentPopup());
    EXPECT_EQ(Payment->GetAmount(), money) << amount;
  }
  // Details and the redeemed state are not cleared between popups; only Reset does that.
  EXPECT_EQ(DetailLines().size(), 10u);
}

TEST_F(PaymentFlow, AClosedDialogLeavesNoPaymentAndNothingToLink) {
  Payment->SetAmount(50000);
  Payment->Redeems = false;
  EXPECT_FALSE(Payment->DoPaymentPopup());
  EXPECT_EQ(Payment->GetAmount(), 0);
  EXPECT_FALSE(Payment->Redeemed());
  EXPECT_EQ(DB->Calls.size(), 2u);  // the row and its INFO activity, nothing else
  Payment->LinkInvoice(1001);
  EXPECT_EQ(Payment->InvoiceNum(), -1);
  EXPECT_EQ(DB->Calls.size(), 2u);
}

TEST_F(PaymentFlow, WithoutATransactionRowNoDialogIsShown) {
  for (const char* id : {"", "abc", "12x", "99999999999"}) {
    DB->NextID = id;
    Payment->SetAmount(50000);
    EXPECT_FALSE(Payment->DoPaymentPopup()) << id;
    EXPECT_EQ(Payment->TransactionID(), -1);
    EXPECT_EQ(Payment->GetAmount(), 0);
  }
  EXPECT_EQ(Payment->Shown, 0);
  for (const TDBCall& call : DB->Calls) EXPECT_EQ(call.Operation, "QueryValue");
  const std::string log = Log();
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Current Transaction : -1"),
            std::string::npos);
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.DoPaymentPopup] No transaction row, dialog not "
                     "shown : -1"),
            std::string::npos)
      << log;
}

TEST_F(PaymentFlow, AMissingDBServiceFailsWithTheAssertionOfEachOwner) {
  Registry->UnregisterInstance(IDBScript::IID);
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { Payment->DoPaymentPopup(); }),
            "Could not create DBScript (implPaymentMethodDovraVouchers, line 141)");
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { Payment->LogActivity("INFO", "x"); }),
            "Could not create DBScript (implPaymentMethodDovraVouchers, line 119)");
  EXPECT_EQ(Payment->Shown, 0);
}

TEST_F(PaymentFlow, AnUnreadableRedemptionIsStillRecordedBeforeTheErrorPasses) {
  struct TCase {
    const char* Answer;
    const char* StoredReference;
    bool Redeemed;
  };
  const TCase cases[] = {
      {"{\"VoucherReference\":\"DVR-7\",\"VoucherCode\":\"C\"}", "'DVR-7'", true},
      {"{\"DiscountAmount\":\"lots\",\"VoucherReference\":\"DVR-8\",\"VoucherCode\":\"C\"}",
       "'DVR-8'", true},
      {"{\"DiscountAmount\":5,\"VoucherCode\":\"C\"}", "''", false},
      {"{\"DiscountAmount\":5,\"VoucherReference\":\"DVR-9\"}", "'DVR-9'", true},
      {"<html>Bad gateway</html>", "''", false},
  };
  // A redemption without a usable amount is given back at once; here that fails, so it stays
  // held and named.
  API->Succeeds = false;
  for (const TCase& c : cases) {
    DB->Calls.clear();
    Payment->Reset();
    Payment->Answer = c.Answer;
    const std::string error = MessageOf<std::runtime_error>([&] { Payment->DoPaymentPopup(); });
    ASSERT_EQ(DB->Calls.size(), 3u) << c.Answer;
    EXPECT_EQ(DB->Calls[2].Text, PaymentUpdateStatement());
    EXPECT_EQ(Text(DB->Calls[2].Args[0]), c.StoredReference) << c.Answer;
    EXPECT_EQ(Text(DB->Calls[2].Args[1]), QuotedSQLText(c.Answer));
    EXPECT_EQ(Payment->GetAmount(), 0) << c.Answer;
    EXPECT_EQ(Payment->Redeemed(), c.Redeemed) << c.Answer;
    // The voucher used at the service is named to the host, so that it can be given back; one
    // without a reference is said to be so, with the row that keeps its answer.
    if (c.Redeemed) {
      EXPECT_NE(error.find(Payment->VoucherReference()), std::string::npos) << error;
    } else {
      EXPECT_TRUE(Contains(error, "names no voucher reference") &&
                  Contains(error, "see transaction 17 in the module log"))
          << error;
    }
    EXPECT_TRUE(DetailLines().empty());
  }
  EXPECT_NE(Log().find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Unreadable redemption : "),
            std::string::npos);
}

// What recovery reads back: a line before every act at the service and after every record that
// stands, each written from the one list of journal lines.
TEST_F(PaymentFlow, TheJournalNamesEveryActAndEveryRecord) {
  ASSERT_TRUE(Payment->DoPaymentPopup());
  Payment->LinkInvoice(1001);
  Payment->CancelTransaction();
  DB->Rows = "[{\"ID\":17,\"VoucherReference\":\"DVR-1\"}]";
  Payment->DoOverringInvoice(1001);
  DB->ResultOf[InvoiceLinkStatement()] = 0;
  Payment->LinkInvoice(1002);

  using L = TJournalLine;
  const std::vector<std::pair<TJournalLine, std::string>> expected = {
      {L::CurrentTransaction, "17"},
      {L::Recorded, "DVR-1"},
      {L::InvoiceLinked, "1001"},
      {L::CancelReversing, "DVR-1"},
      {L::CancelReversed, "DVR-1"},
      {L::CancelResponse, "{\"Success\":true,\"Reversed\":1}"},
      {L::OverrideRows, DB->Rows},
      {L::OverrideReversing, "DVR-1"},
      {L::OverrideRecorded, "DVR-1"},
      {L::OverrideReversed, "DVR-1"},
      {L::OverrideResponse, "{\"Success\":true,\"Reversed\":2}"},
      {L::NotLinked, "1002 (transaction 17)"},
  };
  std::vector<std::pair<TJournalLine, std::string>> read;
  const std::string log = Log();
  for (size_t at = 0; at < log.size();) {
    const size_t end = std::min(log.find("\r\n", at), log.size());
    const std::string line = log.substr(at, end - at);
    at = end + 2;
    const size_t bracket = line.find('[');
    if (bracket == std::string::npos) continue;
    if (const auto entry = ReadJournalLine(std::string_view(line).substr(bracket)))
      read.emplace_back(entry->Line, std::string(entry->Value));
  }
  EXPECT_EQ(read, expected) << log;

  // An override whose REVERSE row was not written says it was reversed, not recorded.
  DB->ResultOf[ActivityInsertStatement()] = 0;
  Payment->DoOverringInvoice(1001);
  const std::string after = Log().substr(log.size());
  EXPECT_TRUE(Contains(after, "DoOverringInvoice] Reversed : DVR-1")) << after;
  EXPECT_FALSE(Contains(after, "Reversal recorded")) << after;
}

TEST_F(PaymentFlow, ARedemptionWhoseAmountCannotBeTakenIsGivenBackAtOnce) {
  for (const char* amount : {"1e300", "\"lots\"", "null"}) {
    SCOPED_TRACE(amount);
    Payment->Reset();
    DB->Calls.clear();
    API->Reversals.clear();
    Payment->Answer = std::string("{\"Success\":true,\"DiscountAmount\":") + amount +
                      ",\"VoucherReference\":\"DVR-1\",\"VoucherCode\":\"C\"}";
    EXPECT_FALSE(Payment->DoPaymentPopup());
    EXPECT_EQ(Payment->GetAmount(), 0);
    EXPECT_FALSE(Payment->Redeemed());
    EXPECT_TRUE(DetailLines().empty());
    EXPECT_EQ(API->Reversals, (std::vector<std::string>{"{\"VoucherReference\":\"DVR-1\"}"}));
    ASSERT_EQ(DB->Calls.size(), 3u);  // row, INFO, the update keeping the answer; no REDEEM
    EXPECT_EQ(Text(DB->Calls[2].Args[0]), "'DVR-1'");
  }
  const std::string log = Log();
  const size_t unreadable = log.find(
      "[TPaymentMethodDovraVoucher.DoPaymentPopup] Unreadable redemption : Could not convert "
      "variant of type (Double) into type (Currency)");
  const size_t reversed = log.find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Reversed : DVR-1");
  const size_t given = log.find(
      "[TPaymentMethodDovraVoucher.DoPaymentPopup] Unreadable amount, voucher given back : DVR-1");
  EXPECT_TRUE(unreadable < reversed && reversed < given && given != std::string::npos) << log;
}

TEST_F(PaymentFlow, AnUnreadableAnswerLeavesAnEarlierRedemptionHeld) {
  ASSERT_TRUE(Payment->DoPaymentPopup());
  Payment->Answer = "{\"DiscountAmount\":5,\"VoucherReference\":\"DVR-2\"}";
  EXPECT_ANY_THROW(Payment->DoPaymentPopup());
  EXPECT_EQ(Payment->GetAmount(), 0);
  EXPECT_TRUE(Payment->Redeemed());
  EXPECT_EQ(Payment->VoucherReference(), "DVR-1");
  EXPECT_EQ(DetailLines(),
            (std::vector<std::string>{"VoucherReference=DVR-1", "VoucherCode=SAVE15"}));
  Payment->CancelTransaction();
  EXPECT_EQ(API->Reversals, (std::vector<std::string>{"{\"VoucherReference\":\"DVR-1\"}"}));
}

// A redemption the row does not record is given back at once: paid without a record, it could
// never be found again to give back.
TEST_F(PaymentFlow, ARedemptionThatCannotBeRecordedIsGivenBack) {
  struct TCase {
    const char* Name;
    bool Unresolved;  // no DB script service at the moment of the update
    int32_t Result;   // otherwise, what the update answers
    bool Confirms;    // the reversal
  };
  const TCase cases[] = {
      {"row not written, given back", false, 0, true},
      {"statement failed, given back", false, -1, true},
      {"no service, given back", true, 1, true},
      {"statement failed, not given back", false, -1, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Payment->Reset();
    DB->Calls.clear();
    API->Reversals.clear();
    API->Confirms = c.Confirms;
    DB->ResultOf[PaymentUpdateStatement()] = c.Result;
    if (c.Unresolved) Payment->DuringDialog = [&] { Registry->UnregisterInstance(IDBScript::IID); };
    const std::string error = MessageOf<std::runtime_error>([&] { Payment->DoPaymentPopup(); });
    Payment->DuringDialog = nullptr;
    if (c.Unresolved) Registry->RegisterInstance(IDBScript::IID, DB.As<IInterface>().Get());

    EXPECT_EQ(API->Reversals, (std::vector<std::string>{"{\"VoucherReference\":\"DVR-1\"}"}));
    EXPECT_EQ(Payment->GetAmount(), 0);
    EXPECT_TRUE(DetailLines().empty());
    for (const TDBCall& call : DB->Calls)
      if (call.Text == ActivityInsertStatement()) {
        EXPECT_NE(Text(call.Args[1]), "'REDEEM'");
      }
    // Held only while it is still used at the service, so that a cancel can try again.
    EXPECT_EQ(Payment->Redeemed(), !c.Confirms);
    EXPECT_EQ(error.find("DVR-1") != std::string::npos, !c.Confirms) << error;
    EXPECT_NE(error.find(c.Confirms ? "was given back" : "could not be given back"),
              std::string::npos)
        << error;
  }
  const std::string log = Log();
  const size_t failed =
      log.find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Could not record redemption : DVR-1");
  const size_t reversed = log.find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Reversed : DVR-1");
  const size_t response = log.find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Response : ");
  ASSERT_NE(failed, std::string::npos) << log;
  EXPECT_TRUE(failed < reversed && reversed < response && response != std::string::npos) << log;
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Could not reverse : DVR-1"),
            std::string::npos);
}

TEST_F(PaymentFlow, ARedemptionThatPaysNothingIsRecordedAndGivenBack) {
  struct TCase {
    const char* Amount;
    bool Confirms;
    const char* Line;
  };
  const TCase cases[] = {
      {"0", true, "No discount, voucher given back : DVR-1"},
      {"-50", true, "No discount, voucher given back : DVR-1"},
      {"-50", false, "No discount, voucher not given back : DVR-1"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Amount) + (c.Confirms ? " confirmed" : " refused"));
    Payment->Reset();
    DB->Calls.clear();
    API->Reversals.clear();
    API->Confirms = c.Confirms;
    Payment->Answer = std::string("{\"Success\":true,\"DiscountAmount\":") + c.Amount +
                      ",\"VoucherReference\":\"DVR-1\",\"VoucherCode\":\"C\"}";
    Payment->SetAmount(625000);
    EXPECT_FALSE(Payment->DoPaymentPopup());
    EXPECT_EQ(Payment->GetAmount(), 0);
    EXPECT_TRUE(DetailLines().empty());
    EXPECT_EQ(API->Reversals.size(), 1u);
    ASSERT_EQ(DB->Calls.size(), 3u);  // row, INFO, the update as the answer came; no REDEEM
    EXPECT_EQ(DB->Calls[2].Args[2], TDBArg(FloatToMoney(std::stod(c.Amount))));
    EXPECT_NE(Log().find(std::string("[TPaymentMethodDovraVoucher.DoPaymentPopup] ") + c.Line),
              std::string::npos);
    EXPECT_EQ(Payment->Redeemed(), !c.Confirms);
    // A redemption still held is linked, so that an override can find it.
    Payment->LinkInvoice(1001);
    EXPECT_EQ(DB->Calls.size(), c.Confirms ? 3u : 4u);
  }
}

TEST_F(PaymentFlow, AnswerTextsReachTheRecordsPlain) {
  // An empty reference is paid: the voucher is used at the service, and nothing could give it
  // back either way.
  Payment->Answer =
      "{\"Success\":true,\"DiscountAmount\":5,\"VoucherReference\":\"\","
      "\"VoucherCode\":\"C1\\r\\nVoucherReference=FAKE-REF\\u0000\"}";
  ASSERT_TRUE(Payment->DoPaymentPopup());
  EXPECT_EQ(Payment->GetAmount(), 50000);
  EXPECT_EQ(DetailLines(), (std::vector<std::string>{"VoucherReference=",
                                                     "VoucherCode=C1?"
                                                     "?VoucherReference=FAKE-REF?"}));
  EXPECT_NE(
      Log().find("[TPaymentMethodDovraVoucher.DoPaymentPopup] Redemption without reference : 17"),
      std::string::npos);

  // The reference is recorded and reversed as received, a raw NUL aside; only the receipt's copy
  // is made plain.
  Payment->Reset();
  const char answer[] =
      "{\"Success\":true,\"DiscountAmount\":5,\"VoucherReference\":\"DVR-1\r\0-OTHER\","
      "\"VoucherCode\":\"C\",\"Note\":\"\0\"}";
  Payment->Answer = std::string(answer, sizeof answer - 1);
  DB->Calls.clear();
  ASSERT_TRUE(Payment->DoPaymentPopup());
  EXPECT_EQ(Payment->VoucherReference(), "DVR-1\r?-OTHER");
  EXPECT_EQ(Text(DB->Calls[2].Args[0]), "'DVR-1\r?-OTHER'");
  EXPECT_EQ(Text(DB->Calls[2].Args[1]).find('\0'), std::string::npos);
  EXPECT_EQ(DetailLines()[0],
            "VoucherReference=DVR-1?"
            "?-OTHER");
  Payment->CancelTransaction();
  EXPECT_EQ(API->Reversals.back(), "{\"VoucherReference\":\"DVR-1\\r?-OTHER\"}");
}

TEST_F(PaymentFlow, AnInvoiceLinkThatFailsIsLogged) {
  ASSERT_TRUE(Payment->DoPaymentPopup());
  DB->ResultOf[InvoiceLinkStatement()] = 0;
  Payment->LinkInvoice(1001);
  EXPECT_EQ(Payment->InvoiceNum(), 1001);
  EXPECT_NE(Log().find("[TPaymentMethodDovraVoucher.LinkInvoice] Could not link invoice : 1001 "
                       "(transaction 17)"),
            std::string::npos);
}

TEST_F(PaymentFlow, CancelReversesTheRedemptionEachTimeAndChangesNothing) {
  Payment->CancelTransaction();  // nothing redeemed yet
  EXPECT_TRUE(API->Reversals.empty());
  ASSERT_TRUE(Payment->DoPaymentPopup());
  const size_t statements = DB->Calls.size();

  API->Succeeds = false;
  Payment->CancelTransaction();
  API->Succeeds = true;
  Payment->CancelTransaction();
  EXPECT_EQ(API->Reversals, (std::vector<std::string>(2, "{\"VoucherReference\":\"DVR-1\"}")));
  EXPECT_EQ(DB->Calls.size(), statements);
  EXPECT_TRUE(Payment->Redeemed());
  EXPECT_EQ(Payment->GetAmount(), 125000);

  const std::string log = Log();
  const size_t failed =
      log.find("[TPaymentMethodDovraVoucher.CancelTransaction] Could not reverse : DVR-1");
  const size_t reversed =
      log.find("[TPaymentMethodDovraVoucher.CancelTransaction] Reversed : DVR-1");
  const size_t response = log.find(
      "[TPaymentMethodDovraVoucher.CancelTransaction] Response : "
      "{\"Success\":true,\"Reversed\":2}");
  ASSERT_NE(failed, std::string::npos) << log;
  EXPECT_TRUE(failed < reversed && reversed < response && response != std::string::npos) << log;

  // Without a voucher client the reversal did not happen, and the log says so.
  Registry->UnregisterInstance(IDovraVoucherAPI::IID);
  Payment->CancelTransaction();
  EXPECT_EQ(API->Reversals.size(), 2u);
}

TEST_F(PaymentFlow, OverrideGivesBackEveryVoucherOfTheInvoiceInOrder) {
  DB->Rows =
      "[{\"ID\":3,\"VoucherReference\":\"DVR-3\"},{\"ID\":4,\"VoucherReference\":null},"
      "{\"ID\":5,\"VoucherReference\":\"\"},{\"ID\":6,\"VoucherReference\":\"DVR-6\"}]";
  API->DuringReverse = [&] { API->Succeeds = API->Reversals.size() != 1; };
  Payment->DoOverringInvoice(1001);

  EXPECT_EQ(API->Reversals, (std::vector<std::string>{"{\"VoucherReference\":\"DVR-3\"}",
                                                      "{\"VoucherReference\":\"DVR-6\"}"}));
  ASSERT_EQ(DB->Calls.size(), 3u);  // the rows, then REVERSE and INFO of the one that went back
  EXPECT_EQ(DB->Calls[0].Text, InvoiceRowsStatement());
  EXPECT_EQ(DB->Calls[0].Args, (TDBArgs{int32_t{1001}}));
  EXPECT_EQ(Text(DB->Calls[1].Args[1]), "'REVERSE'");
  EXPECT_EQ(Text(DB->Calls[1].Args[2]), "'{\"ID\":6,\"VoucherReference\":\"DVR-6\"}'");
  EXPECT_EQ(Text(DB->Calls[2].Args[1]), "'INFO'");
  EXPECT_EQ(Text(DB->Calls[2].Args[2]), "'{\"Success\":true,\"Reversed\":2}'");

  const std::string log = Log();
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.DoOverringInvoice] Transaciton : [{\"ID\":3"),
            std::string::npos);
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.DoOverringInvoice] Could not reverse : DVR-3"),
            std::string::npos);
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.DoOverringInvoice] Reversed : DVR-6"),
            std::string::npos);
}

TEST_F(PaymentFlow, OverrideOfRowsThatAreNoArrayOnlyLogsThem) {
  for (const char* rows :
       {"", "{\"ID\":1,\"VoucherReference\":\"DVR-1\"}", "not json", "[1,\"x\"]"}) {
    DB->Rows = rows;
    Payment->DoOverringInvoice(7);
  }
  EXPECT_TRUE(API->Reversals.empty());
  for (const TDBCall& call : DB->Calls) EXPECT_EQ(call.Operation, "QueryJSON");
}

TEST_F(PaymentFlow, AServiceLostDuringAnOverrideStopsItWithTheActivityAssertion) {
  DB->Rows = "[{\"ID\":1,\"VoucherReference\":\"DVR-1\"}]";
  API->DuringReverse = [&] { Registry->UnregisterInstance(IDBScript::IID); };
  EXPECT_EQ(MessageOf<EAssertionFailed>([&] { Payment->DoOverringInvoice(1); }),
            "Could not create DBScript (implPaymentMethodDovraVouchers, line 119)");
  EXPECT_EQ(API->Reversals.size(), 1u);
  EXPECT_EQ(Log().find("[TPaymentMethodDovraVoucher.DoOverringInvoice] Reversed"),
            std::string::npos);
}

TEST_F(PaymentFlow, OnlyAConfirmedReversalCountsAsOne) {
  ASSERT_TRUE(Payment->DoPaymentPopup());
  DB->Rows = "[{\"ID\":17,\"VoucherReference\":\"DVR-1\"}]";
  const size_t statements = DB->Calls.size();
  API->Confirms = false;
  for (const char* answer :
       {"{\"Success\":false,\"ErrorMessage\":\"already reversed\"}",
        "<html>Service unavailable</html>", "{\"Reversed\":true}", "{\"Success\":\"true\"}", "",
        // Hostile forms a lenient reading would take for a confirmation.
        "{\"Success\":true} trailing", "{\"Success\":true}{\"Success\":false}", "{'Success':true}",
        "{\"success\":true}", "{\"Success\":true,\"a\":NaN}",
        "{\"Success\":true,\"VoucherReference\":\"DVR-99999999\"}"}) {
    API->Refusal = answer;
    Payment->CancelTransaction();
    Payment->DoOverringInvoice(1001);
  }
  EXPECT_EQ(API->Reversals.size(), 22u);
  EXPECT_EQ(DB->Calls.size(), statements + 11);  // the invoice queries, no activity row
  const std::string log = Log();
  EXPECT_EQ(log.find("] Reversed : "), std::string::npos) << log;
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.CancelTransaction] Could not reverse : DVR-1"),
            std::string::npos);
  EXPECT_NE(log.find("[TPaymentMethodDovraVoucher.DoOverringInvoice] Could not reverse : DVR-1"),
            std::string::npos);
}
