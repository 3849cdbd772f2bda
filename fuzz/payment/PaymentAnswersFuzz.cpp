// Arbitrary bytes as the voucher service's answers to Check and Redeem, through the dialog logic
// (on the in-memory controls) and the payment method's reading of the redemption. Every input
// must end in one of the documented outcomes: a voucher shown or refused, a payment made or not,
// or an error of the module's own kinds reaching the click handler or the host. Anything else,
// and any broken invariant below, stops the fuzzer.
//
// Input: one flags byte, then the Check answer, a record separator byte (0x1E), the Redeem
// answer. Without a separator the Redeem answer is empty.
//   bit 0  the client's Evaluate succeeds
//   bit 1  the client's Redeem succeeds
//   bit 2  a failing call still writes its half-received answer into the response argument
//   bit 3  the cashier presses Redeem once more after a refused redemption
//   bit 4  the database does not write the payment's record
//   bit 5  the service confirms a reversal (otherwise every reversal fails)
//
// Above all: a voucher the service took (a redeem answer naming its reference) ends paid and
// recorded by that reference, or asked back from the service, or named in the error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "intf/intfDBScript.h"
#include "lib/json/clsJSONDocument.h"
#include "module/dialog/FDovraPaymentLogic.h"
#include "module/dialog/MoneyText.h"
#include "module/payment/DovraStatements.h"
#include "module/payment/implPaymentMethodDovraVouchers.h"
#include "tests/support/DialogTestSupport.h"
#include "tests/unit/dialog/VoucherDialogModel.h"

namespace {

constexpr char kSeparator = '\x1e';
constexpr int32_t kTransactionID = 17;
const char* const kOrder =
    R"({"AfterDisc":62.5,"LineItems":[{"Code":"CAP-01","Quantity":2,"Price":12.50},)"
    R"({"Code":"","Quantity":1,"Price":0},{"Code":"MUG-02","Quantity":1,"Price":7.5}]})";

[[noreturn]] void Fail(const std::string& what, std::string_view check = {},
                       std::string_view redeem = {}) {
  std::fprintf(stderr, "payment answers: %s\n  check answer:  %.*s\n  redeem answer: %.*s\n",
               what.c_str(), static_cast<int>(check.size()), check.data(),
               static_cast<int>(redeem.size()), redeem.data());
  std::abort();
}

struct TInput {
  bool EvaluateOk = false;
  bool RedeemOk = false;
  bool WriteOnFailure = false;
  bool RedeemAgain = false;
  bool RecordFails = false;
  bool ReversalConfirmed = false;
  std::string Check;
  std::string Redeem;
};

TInput Split(const uint8_t* data, size_t size) {
  TInput in;
  if (size == 0) return in;
  const uint8_t flags = data[0];
  in.EvaluateOk = flags & 1;
  in.RedeemOk = flags & 2;
  in.WriteOnFailure = flags & 4;
  in.RedeemAgain = flags & 8;
  in.RecordFails = flags & 16;
  in.ReversalConfirmed = flags & 32;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t cut = rest.find(kSeparator);
  in.Check = std::string(rest.substr(0, cut));
  if (cut != std::string_view::npos) in.Redeem = std::string(rest.substr(cut + 1));
  return in;
}

// The module's error kinds all derive from std::runtime_error (JSON conversions and document
// operations, assertion failures, money text); anything else escaping is a fault.
template <class Body>
bool RaisesModuleError(Body&& body, const TInput& in, const char* where,
                       std::string* message = nullptr) {
  try {
    body();
    return false;
  } catch (const std::runtime_error& e) {
    if (message) *message = e.what();
    return true;
  } catch (const std::exception& e) {
    Fail(std::string(where) + " raised " + typeid(e).name() + ": " + e.what(), in.Check, in.Redeem);
  } catch (...) {
    Fail(std::string(where) + " raised something that is no std::exception", in.Check, in.Redeem);
  }
}

// A database that records what it is asked and hands out one fixed row ID.
class TRecordingDB final : public TImplements<TInterfacedObject, IDBScript> {
 public:
  std::vector<std::pair<std::string, TDBArgs>> Executed;
  bool RecordFails = false;

  void SetConnection(const std::string&) override {}
  void GetConnection(std::string&) override {}
  int32_t Execute(const std::string& format, const TDBArgs& args) override {
    Executed.emplace_back(format, args);
    return RecordFails && format == PaymentUpdateStatement() ? 0 : 1;
  }
  int32_t ExecuteFile(const std::string&) override { return -1; }
  bool QueryValue(const std::string&, const std::string&, std::string& value) override {
    value = std::to_string(kTransactionID);
    return true;
  }
  bool TableExists(const std::string&) override { return true; }
  void LastError(std::string& error) override { error.clear(); }
  bool QueryJSON(const std::string&, const TDBArgs&, std::string&) override { return false; }

  bool WroteActivity(const std::string& activityClass) const {
    for (const auto& [format, args] : Executed)
      if (format == ActivityInsertStatement() && args.size() == 3 &&
          std::get<std::string>(args[1]) == QuotedSQLText(activityClass))
        return true;
    return false;
  }
  const TDBArgs* PaymentUpdate() const {
    for (const auto& [format, args] : Executed)
      if (format == PaymentUpdateStatement()) return &args;
    return nullptr;
  }
};

// The busy indicator must be gone from a button once its handler has ended, however it ended.
void ExpectButtonRestored(const TVoucherDialogModel& model, TDialogButton button,
                          const TInput& in) {
  const bool check = button == TDialogButton::Check;
  const TButtonState& state = check ? model.State.Check : model.State.Redeem;
  const bool bar = check ? model.State.CheckBusyBar : model.State.RedeemBusyBar;
  if (state.Text != (check ? "Check" : "Redeem") || !state.Enabled || bar)
    Fail(std::string(check ? "Check" : "Redeem") + " button left busy: \"" + state.Text + "\"",
         in.Check, in.Redeem);
}

void PressCheck(TDovraPaymentLogic& logic, TVoucherDialogModel& model, const TInput& in) {
  const TVoucherDialogState before = model.State;
  const bool raised = RaisesModuleError([&] { logic.btnCheckClick(model); }, in, "Check");
  const TVoucherDialogState& after = model.State;
  ExpectButtonRestored(model, TDialogButton::Check, in);
  if (after.ModalResult != TModalResult::None) Fail("Check closed the dialog", in.Check);

  if (!in.EvaluateOk) {
    // A failed call shows nothing new, whatever the client left in its out-argument.
    if (raised || after.Memo != before.Memo || after.Response != before.Response ||
        after.VoucherPanelVisible != before.VoucherPanelVisible || after.Redeem.Enabled)
      Fail("a failed Evaluate changed the dialog", in.Check);
    return;
  }
  if (after.Memo.size() > before.Memo.size() + 1) Fail("Check added several memo lines", in.Check);
  if (raised) {
    // Stopped where the error arose: never a redeemable voucher, never a closed dialog.
    if (after.Redeem.Enabled) Fail("Redeem enabled after a Check that raised", in.Check);
    return;
  }
  if (after.Memo.size() != before.Memo.size() + 1 || after.Memo.back() != in.Check)
    Fail("the Check answer is not the memo's last line", in.Check);
  if (!after.VoucherPanelVisible) Fail("Check answered but the panel is hidden", in.Check);

  // The handler read these without an error, so reading them again cannot raise either.
  const TJSONValue answer = ParseJSONDocument(in.Check);
  if (answer.Get("Success").ToBoolean()) {
    if (after.Response != "Voucher Successful" ||
        after.Details != answer.Get("DisplayName").ToText() || !after.Redeem.Enabled ||
        after.Amount.empty())
      Fail("a valid voucher is not shown as one", in.Check);
  } else if (after.Response != "Voucher Error" ||
             after.Details != answer.Get("ErrorMessage").ToText() ||
             after.Amount != FormatMoney(0.0) || after.Redeem.Enabled) {
    Fail("a refused voucher is not shown as one", in.Check);
  }
}

void PressRedeem(TDovraPaymentLogic& logic, TVoucherDialogModel& model, const TInput& in,
                 const TFakeVoucherService& service) {
  const TVoucherDialogState before = model.State;
  const std::string keptAnswer = logic.RedeemResponseText();
  const bool raised = RaisesModuleError([&] { logic.btnRedeemClick(model); }, in, "Redeem");
  const TVoucherDialogState& after = model.State;
  ExpectButtonRestored(model, TDialogButton::Redeem, in);
  // Redeem sends the request exactly as the last Check left it.
  if (service.RedeemRequests.empty() || service.EvaluateRequests.empty() ||
      service.RedeemRequests.back() != service.EvaluateRequests.back())
    Fail("Redeem sent another request than the last Check", in.Check, in.Redeem);
  if (raised) {
    if (after.ModalResult != TModalResult::None)
      Fail("a Redeem that raised closed the dialog", in.Check, in.Redeem);
    return;
  }

  const std::string expectedText = in.RedeemOk ? in.Redeem : keptAnswer;
  if (logic.RedeemResponseText() != expectedText || after.Memo.size() != before.Memo.size() + 1 ||
      after.Memo.back() != expectedText)
    Fail("the kept Redeem answer is not the one the call gave", in.Check, in.Redeem);
  if (!in.RedeemOk) {
    if (after.Response != "Could not Redeem Voucher" || after.Details != "Please check logs" ||
        after.ModalResult != TModalResult::None)
      Fail("a failed Redeem call is not shown as one", in.Check, in.Redeem);
    return;
  }
  const TJSONValue answer = ParseJSONDocument(in.Redeem);
  if (!answer.IsDocument()) {
    if (after.Response != "Could not redeem Voucher" || after.Details != "Please check logs" ||
        after.ModalResult != TModalResult::None)
      Fail("a Redeem answer that is no document is not refused", in.Check, in.Redeem);
  } else if (answer.Get("Success").ToBoolean()) {
    if (after.ModalResult != TModalResult::OK || after.Response != before.Response ||
        after.Details != before.Details)
      Fail("a redeemed voucher did not close the dialog untouched", in.Check, in.Redeem);
  } else if (after.Response != "Could not redeem Voucher" ||
             after.Details != answer.Get("ErrorMessage").ToText() ||
             after.ModalResult != TModalResult::None) {
    Fail("a refused redemption is not shown as one", in.Check, in.Redeem);
  }
}

// The payment method with its dialog played by the cashier on the in-memory controls: the
// click handlers run inside a boundary that takes their errors as the toolkit's report would,
// and the dialog stays open after an error until the cashier closes it.
class TFuzzPayment final : public TPaymentMethodDovraVoucher {
 public:
  TFuzzPayment(const TInput& input, TFakeVoucherService& service)
      : FInput(input), FService(service) {}

 protected:
  bool RunVoucherDialog(std::string& redeemResponseText) override {
    TDovraPaymentLogic logic;
    logic.SetStoreReference(StoreID());
    logic.SetOrderDocument(OrderDocument());
    logic.SetClock([] { return 46365.5; });
    logic.PrepareRequest();
    TVoucherDialogModel model;
    model.State.VoucherCode = "SAVE15";
    model.State.UserReference = "0612345678";

    PressCheck(logic, model, FInput);
    // The cashier can reach Redeem only once a Check showed a valid voucher.
    if (!model.State.VoucherPanelVisible || !model.State.Redeem.Enabled) return false;
    PressRedeem(logic, model, FInput, FService);
    if (FInput.RedeemAgain && model.State.ModalResult == TModalResult::None)
      PressRedeem(logic, model, FInput, FService);
    if (model.State.ModalResult != TModalResult::OK) return false;
    redeemResponseText = logic.RedeemResponseText();
    DialogAnswer = redeemResponseText;
    return true;
  }

 public:
  std::optional<std::string> DialogAnswer;  // the redeem answer the dialog closed with

 private:
  const TInput& FInput;
  TFakeVoucherService& FService;
};

std::vector<std::string> DetailLines(TPaymentMethodDovraVoucher& payment) {
  TIntfPtr<IStringConfigList> details;
  payment.GetDetails(details);
  std::vector<std::string> lines(static_cast<size_t>(details->Count()));
  for (int32_t i = 0; i < details->Count(); ++i) details->Line(i, lines[static_cast<size_t>(i)]);
  return lines;
}

// The reference a redeem answer names, when it reads as a text that is not empty.
std::optional<std::string> NamedReference(const std::string& answer) {
  try {
    std::string reference = ParseJSONDocument(answer).Get("VoucherReference").ToText();
    if (!reference.empty()) return reference;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// What the host would read back from a payment that did not take place: nothing at all.
void ExpectNothingPaid(TPaymentMethodDovraVoucher& payment, const TRecordingDB& db,
                       const TInput& in, const char* how) {
  bool reported = false;
  payment.ReportPaymentEntry(0, 0,
                             {[](void* flag, int32_t, int32_t, const std::string&, int32_t, int32_t,
                                 double, int32_t, int32_t) { *static_cast<bool*>(flag) = true; },
                              &reported});
  if (payment.GetAmount() != 0 || !DetailLines(payment).empty() || reported ||
      db.WroteActivity("REDEEM"))
    Fail(std::string("a payment that ") + how + " still says paid", in.Check, in.Redeem);
  // Marked for reversal only with a reference to reverse.
  if (payment.Redeemed() && payment.VoucherReference().empty())
    Fail(std::string("a payment that ") + how + " is marked redeemed without a reference", in.Check,
         in.Redeem);
}

void ExpectPaid(TPaymentMethodDovraVoucher& payment, const TRecordingDB& db, const TInput& in) {
  const TJSONValue answer = ParseJSONDocument(in.Redeem);
  TCurrency expected = 0;
  if (RaisesModuleError([&] { expected = answer.Get("DiscountAmount").ToMoney(); }, in,
                        "DiscountAmount as money"))
    Fail("paid with a DiscountAmount that is no money", in.Check, in.Redeem);
  if (expected <= 0) Fail("paid an amount that is not above 0", in.Check, in.Redeem);
  if (payment.GetAmount() != expected)
    Fail("paid " + std::to_string(payment.GetAmount()) + " ten-thousandths, the answer says " +
             std::to_string(expected),
         in.Check, in.Redeem);
  const std::string reference = answer.Get("VoucherReference").ToText();
  const std::string code = answer.Get("VoucherCode").ToText();
  // The receipt's copies are plain: no control character may start a line of its own there.
  auto plain = [](std::string text) {
    for (char& c : text)
      if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return text;
  };
  const std::vector<std::string> lines = DetailLines(payment);
  if (lines.size() != 2 || lines[0] != "VoucherReference=" + plain(reference) ||
      lines[1] != "VoucherCode=" + plain(code))
    Fail("the details list does not hold the reference and the code", in.Check, in.Redeem);
  if (!payment.Redeemed() || payment.VoucherReference() != reference)
    Fail("a payment made is not marked redeemed with its reference", in.Check, in.Redeem);
  const TDBArgs* update = db.PaymentUpdate();
  if (!update || update->size() != 4 ||
      std::get<std::string>((*update)[0]) != QuotedSQLText(reference) ||
      std::get<std::string>((*update)[1]) != QuotedSQLText(in.Redeem) ||
      std::get<TCurrency>((*update)[2]) != expected ||
      std::get<int32_t>((*update)[3]) != kTransactionID || !db.WroteActivity("REDEEM"))
    Fail("the redemption is not recorded in the row and the activity log", in.Check, in.Redeem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TInput in = Split(data, size);
  TFakeVoucherService service;
  // A failing call may leave a half-received answer in the out-argument; the module must not
  // take it for the answer.
  service.EvaluateScript.push_back(
      {in.EvaluateOk, in.EvaluateOk || in.WriteOnFailure ? std::optional(in.Check) : std::nullopt});
  for (int press = 0; press < 2; ++press)
    service.RedeemScript.push_back(
        {in.RedeemOk, in.RedeemOk || in.WriteOnFailure ? std::optional(in.Redeem) : std::nullopt});
  TScopedTestRegistry registry(service);
  const TIntfPtr<TRecordingDB> db = MakeObject<TRecordingDB>();
  registry->RegisterInstance(IDBScript::IID, db.As<IInterface>().Get());

  db->RecordFails = in.RecordFails;
  service.ReverseConfirms = in.ReversalConfirmed;

  const TIntfPtr<TFuzzPayment> payment = MakeObject<TFuzzPayment>(in, service);
  payment->SetOrderDocument(kOrder);
  bool paid = false;
  std::string error;
  const bool raised =
      RaisesModuleError([&] { paid = payment->DoPaymentPopup(); }, in, "DoPaymentPopup", &error);
  const std::optional<std::string> reference =
      payment->DialogAnswer ? NamedReference(*payment->DialogAnswer) : std::nullopt;
  const bool askedBack =
      reference && std::find(service.ReverseRequests.begin(), service.ReverseRequests.end(),
                             ReversalRequestText(*reference)) != service.ReverseRequests.end();
  if (reference && !paid && !askedBack && error.find(*reference) == std::string::npos)
    Fail("voucher " + *reference + " was taken but is neither paid, given back nor named", in.Check,
         in.Redeem);
  // Asked back and confirmed, a redemption is no longer held; asked back in vain, it still is.
  if (askedBack && payment->Redeemed() == in.ReversalConfirmed)
    Fail("the redemption's held state does not follow the reversal", in.Check, in.Redeem);
  if (raised)
    ExpectNothingPaid(*payment, *db, in, "raised");
  else if (!paid) {
    ExpectNothingPaid(*payment, *db, in, "was refused");
    // Refused after a redemption only when it paid nothing, and then recorded and asked back.
    if (payment->DialogAnswer ? !db->PaymentUpdate() || (reference && !askedBack)
                              : payment->Redeemed() || db->PaymentUpdate() != nullptr)
      Fail("a refused payment's redemption is not recorded and given back", in.Check, in.Redeem);
  } else {
    if (in.RecordFails) Fail("paid without a record", in.Check, in.Redeem);
    ExpectPaid(*payment, *db, in);
  }
  return 0;
}
