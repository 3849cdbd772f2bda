// Every fault of the voucher service, or of the way to it, at every step of a payment that talks
// to it, driven through the whole till: what the cashier sees, what the module log and the
// database rows hold, what the service did with the request, and whether support can give a
// voucher back that the customer lost. docs/failures.md is this table in words; each of its rows
// names the case here that shows it.
#include <cstdlib>
#include <regex>

#include "tests/e2e/payment/ConnectionRelay.h"
#include "tests/support/TillFixture.h"

namespace {

enum class TStep { Check, Redeem, Cancel, Override };
enum class TFault {
  Status500,
  Html,
  Garbage,
  LostAnswer,
  ResetHalfWay,
  Refused,
  Untrusted,
  TimeOut
};
// How support finds the reference of a voucher the customer lost, to give it back.
enum class TSupport {
  None,              // nothing was lost
  FromTill,          // the module log line and the DovraTransactions row hold it
  AlreadyGivenBack,  // the till says it failed, yet the service took the voucher back
};

struct TFailureRow {
  const char* Name;
  TStep Step;
  TFault Fault;
  int Exit;
  std::vector<std::string> Cashier;   // parts of the till's output, in order
  std::vector<std::string> Log;       // the module log's lines about the fault, in order
  std::vector<std::string> Activity;  // DovraLog classes, in order
  std::string Service;  // the faulted request as the service took it; empty: it never arrived
  std::string Voucher;  // WELCOME10 at the service afterwards: status/redemptions
  TSupport Support = TSupport::None;
};

void PrintTo(const TFailureRow& row, std::ostream* out) { *out << row.Name; }

// The module's entries of a log, without the headers each start of the till writes.
std::string Entries(const std::string& log) {
  std::string entries;
  for (size_t at = 0, end; at < log.size(); at = end + 1) {
    end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    if (Contains(line, " info  [T")) entries += line + "\n";
  }
  return entries;
}

constexpr int kTimeOutMs = 2000;
const std::string kDelay = ":4000";

const char* OperationOf(TStep step) {
  return step == TStep::Check ? "evaluate" : step == TStep::Redeem ? "redeem" : "reverse";
}

std::vector<std::string> SandboxSwitches(const TFailureRow& row) {
  const std::string op = OperationOf(row.Step);
  switch (row.Fault) {
    case TFault::Status500:
      return {"--fail", op + ":500"};
    case TFault::Html:
      return {"--html", op};
    case TFault::Garbage:
      return {"--garbage", op};
    case TFault::LostAnswer:
      return {"--lose-answer", op};
    case TFault::ResetHalfWay:
      return {"--reset-answer", op};
    case TFault::TimeOut:
      return {"--delay-ms", op + kDelay};
    case TFault::Refused:
    case TFault::Untrusted:
      return {};
  }
  return {};
}

// Where the relay stops letting connections through to the service: each voucher call is one
// connection, so the Check is the first, the Redeem the second, the Reverse the third.
int ConnectionsBeforeTheFault(TStep step) {
  return step == TStep::Check ? 0 : step == TStep::Redeem ? 1 : step == TStep::Cancel ? 2 : 0;
}

std::string Match(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

const std::string kCheckAnswered =
    "[TDovraVoucherAPI.Evaluate] Response : "
    "{\"Success\":true,\"DisplayName\":\"Welcome 10.00 off\",\"DiscountAmount\":10}\r\n";
const std::string kRedeemAnswered =
    "[TDovraVoucherAPI.Redeem] Response : "
    "{\"Success\":true,\"DisplayName\":\"Welcome 10.00 off\",\"DiscountAmount\":10,"
    "\"VoucherReference\":\"DVR-00000001\",\"VoucherCode\":\"WELCOME10\"}\r\n";
const std::string kInvoiceRows =
    "[TPaymentMethodDovraVoucher.DoOverringInvoice] Transaciton : "
    "[{\"ID\":1,\"VoucherReference\":\"DVR-00000001\"}]\r\n";
const std::string kCheckUnreadable =
    "[TfrmDovraPayment.btnCheckClick] Error : Invalid variant operation: member \"Success\" on a "
    "value of type (Empty)\r\n";
const std::string kHtml = "<!DOCTYPE html> <html><head><title>Service unavailable</title>";
// The log writes the zero byte as "?" and goes on with the rest of the answer.
const std::string kGarbageAsLogged = "\x7f\xfe{\"Success\":tru?\xc3\x28 ]]\r\n";

const std::string kNoAnswer = "cashier: the dialog shows no answer\n";
const std::string kBoxOnCheck =
    "cashier: closed message box \"Invalid variant operation: member \"Success\" on a value of "
    "type (Empty)\"\n";
const std::string kCallFailed =
    "cashier: the dialog shows \"Could not Redeem Voucher\" \"Please check logs\"";
const std::string kNotARedemption =
    "cashier: the dialog shows \"Could not redeem Voucher\" \"Please check logs\"";
// A redeem without a readable answer is settled with the voucher's status before the dialog says
// anything: given back, not used, or (no status either) left as it is.
const std::string kNotUsed =
    "cashier: the dialog shows \"Could not Redeem Voucher\" \"Answer lost; voucher not used. Press "
    "Redeem again.\"";
const std::string kGivenBack =
    "cashier: the dialog shows \"Could not Redeem Voucher\" \"Answer lost; voucher given back. "
    "Press Redeem again.\"";
const std::string kAskStatus = "[TfrmDovraPayment.btnRedeemClick] Asking status : WELCOME10\r\n";
const std::string kNotRedeemed = "[TfrmDovraPayment.btnRedeemClick] Not redeemed : WELCOME10\r\n";
const std::string kGaveBack = "[TfrmDovraPayment.btnRedeemClick] Given back : DVR-00000001\r\n";
const std::string kNoStatus =
    "[TfrmDovraPayment.btnRedeemClick] Left in doubt : WELCOME10 (no status answer)\r\n";
const std::string kNotPaid = "popup: not paid\n";
const std::string kHandedBack =
    "sale: cancelled (CancelTransaction)\n"
    "amount: 10.0000\n"
    "voucher: paid 10.0000, then not given back (see the module log)\n";
const std::string kOverridden =
    "invoice 77: 0 voucher(s) given back, 1 could not be (see the module log)\n";

const std::string kLost = "Empty reply from server (POST https://127.0.0.1:";
const std::string kReset = "Recv failure: Connection reset by peer (POST https://127.0.0.1:";
const std::string kRefused = "Failed to connect to 127.0.0.1 port ";
const std::string kUntrusted = "SSL certificate problem: self-signed certificate (POST";
const std::string kTimedOut = "Operation timed out after ";

std::string Error(const char* operation, const std::string& text) {
  return std::string("[TDovraVoucherAPI.") + operation + "] Error : " + text;
}
std::string Http500(const char* method, const char* operation) {
  return Error(method, std::string("HTTP 500: {\"Success\":false,\"ErrorMessage\":\"Simulated "
                                   "failure 500 for ") +
                           operation + "\"}\r\n");
}
const std::string kCancelFailed =
    "[TPaymentMethodDovraVoucher.CancelTransaction] Could not reverse : DVR-00000001\r\n";
const std::string kOverrideFailed =
    "[TPaymentMethodDovraVoucher.DoOverringInvoice] Could not reverse : DVR-00000001\r\n";

using S = TStep;
using F = TFault;
using H = TSupport;
const std::vector<std::string> kOpened = {"INFO"}, kPaid = {"INFO", "REDEEM"};

TFailureRow Row(const char* name, TStep step, TFault fault, int exit,
                std::vector<std::string> cashier, std::vector<std::string> log,
                std::vector<std::string> activity, std::string service, std::string voucher,
                TSupport support = TSupport::None) {
  return {name,
          step,
          fault,
          exit,
          std::move(cashier),
          std::move(log),
          std::move(activity),
          std::move(service),
          std::move(voucher),
          support};
}

const TFailureRow kRows[] = {
    // Check: nothing is redeemed, whatever happens; the cashier may check again or take cash.
    Row("CheckStatus500", S::Check, F::Status500, 1, {kNoAnswer, kNotPaid},
        {Http500("Evaluate", "evaluate")}, kOpened, "evaluate 500", "available/0"),
    Row("CheckHtml", S::Check, F::Html, 3, {kBoxOnCheck, kNoAnswer, kNotPaid},
        {"[TDovraVoucherAPI.Evaluate] Response : " + kHtml, kCheckUnreadable}, kOpened,
        "evaluate 200", "available/0"),
    Row("CheckGarbage", S::Check, F::Garbage, 3, {kBoxOnCheck, kNoAnswer, kNotPaid},
        {"[TDovraVoucherAPI.Evaluate] Response : " + kGarbageAsLogged, kCheckUnreadable}, kOpened,
        "evaluate 200", "available/0"),
    Row("CheckLostAnswer", S::Check, F::LostAnswer, 1, {kNoAnswer, kNotPaid},
        {Error("Evaluate", kLost)}, kOpened, "evaluate 200 lost", "available/0"),
    Row("CheckResetHalfWay", S::Check, F::ResetHalfWay, 1, {kNoAnswer, kNotPaid},
        {Error("Evaluate", kReset)}, kOpened, "evaluate 200 reset", "available/0"),
    Row("CheckRefused", S::Check, F::Refused, 1, {kNoAnswer, kNotPaid},
        {Error("Evaluate", kRefused)}, kOpened, "", "available/0"),
    Row("CheckUntrusted", S::Check, F::Untrusted, 1, {kNoAnswer, kNotPaid},
        {Error("Evaluate", kUntrusted)}, kOpened, "", "available/0"),
    Row("CheckTimeOut", S::Check, F::TimeOut, 1, {kNoAnswer, kNotPaid},
        {Error("Evaluate", kTimedOut)}, kOpened, "evaluate 200", "available/0"),

    // Redeem: the service may have redeemed the voucher although the till recorded nothing; the
    // dialog asks its status and gives its own redemption back.
    Row("RedeemStatus500", S::Redeem, F::Status500, 1, {kNotUsed, kNotPaid},
        {kCheckAnswered, Http500("Redeem", "redeem"), kAskStatus, kNotRedeemed}, kOpened,
        "redeem 500", "available/0"),
    Row("RedeemHtml", S::Redeem, F::Html, 3, {kNotUsed, kNotPaid},
        {kCheckAnswered, "[TDovraVoucherAPI.Redeem] Response : " + kHtml, kAskStatus, kNotRedeemed},
        kOpened, "redeem 200", "available/0"),
    Row("RedeemGarbage", S::Redeem, F::Garbage, 3, {kNotUsed, kNotPaid},
        {kCheckAnswered, "[TDovraVoucherAPI.Redeem] Response : " + kGarbageAsLogged, kAskStatus,
         kNotRedeemed},
        kOpened, "redeem 200", "available/0"),
    Row("RedeemLostAnswer", S::Redeem, F::LostAnswer, 1, {kGivenBack, kNotPaid},
        {kCheckAnswered, Error("Redeem", kLost), kAskStatus, kGaveBack}, kOpened, "redeem 200 lost",
        "available/0"),
    Row("RedeemResetHalfWay", S::Redeem, F::ResetHalfWay, 1, {kGivenBack, kNotPaid},
        {kCheckAnswered, Error("Redeem", kReset), kAskStatus, kGaveBack}, kOpened,
        "redeem 200 reset", "available/0"),
    Row("RedeemRefused", S::Redeem, F::Refused, 1, {kCallFailed, kNotPaid},
        {kCheckAnswered, Error("Redeem", kRefused), kAskStatus, Error("VoucherStatus", kRefused),
         kNoStatus},
        kOpened, "", "available/0"),
    Row("RedeemUntrusted", S::Redeem, F::Untrusted, 1, {kCallFailed, kNotPaid},
        {kCheckAnswered, Error("Redeem", kUntrusted), kAskStatus,
         Error("VoucherStatus", kUntrusted), kNoStatus},
        kOpened, "", "available/0"),
    Row("RedeemTimeOut", S::Redeem, F::TimeOut, 1, {kGivenBack, kNotPaid},
        {kCheckAnswered, Error("Redeem", kTimedOut), kAskStatus, kGaveBack}, kOpened, "redeem 200",
        "available/0"),

    // Reverse when the sale is cancelled: the till says the voucher did not go back.
    Row("CancelStatus500", S::Cancel, F::Status500, 1, {kHandedBack},
        {kRedeemAnswered, Http500("Reverse", "reverse"), kCancelFailed}, kPaid, "reverse 500",
        "used/1", H::FromTill),
    Row("CancelHtml", S::Cancel, F::Html, 3, {kHandedBack},
        {kRedeemAnswered, "[TDovraVoucherAPI.Reverse] Response : " + kHtml, kCancelFailed}, kPaid,
        "reverse 200", "used/1", H::FromTill),
    Row("CancelGarbage", S::Cancel, F::Garbage, 3, {kHandedBack},
        {kRedeemAnswered, "[TDovraVoucherAPI.Reverse] Response : " + kGarbageAsLogged,
         kCancelFailed},
        kPaid, "reverse 200", "used/1", H::FromTill),
    Row("CancelLostAnswer", S::Cancel, F::LostAnswer, 1, {kHandedBack},
        {kRedeemAnswered, Error("Reverse", kLost), kCancelFailed}, kPaid, "reverse 200 lost",
        "available/0", H::AlreadyGivenBack),
    Row("CancelResetHalfWay", S::Cancel, F::ResetHalfWay, 1, {kHandedBack},
        {kRedeemAnswered, Error("Reverse", kReset), kCancelFailed}, kPaid, "reverse 200 reset",
        "available/0", H::AlreadyGivenBack),
    Row("CancelRefused", S::Cancel, F::Refused, 1, {kHandedBack},
        {kRedeemAnswered, Error("Reverse", kRefused), kCancelFailed}, kPaid, "", "used/1",
        H::FromTill),
    Row("CancelUntrusted", S::Cancel, F::Untrusted, 1, {kHandedBack},
        {kRedeemAnswered, Error("Reverse", kUntrusted), kCancelFailed}, kPaid, "", "used/1",
        H::FromTill),
    Row("CancelTimeOut", S::Cancel, F::TimeOut, 1, {kHandedBack},
        {kRedeemAnswered, Error("Reverse", kTimedOut), kCancelFailed}, kPaid, "reverse 200",
        "available/0", H::AlreadyGivenBack),

    // Reverse when a booked invoice is overridden: the till counts what did not go back.
    Row("OverrideStatus500", S::Override, F::Status500, 1, {kOverridden},
        {kInvoiceRows, Http500("Reverse", "reverse"), kOverrideFailed}, kPaid, "reverse 500",
        "used/1", H::FromTill),
    // An answer that does not confirm the reversal is no reversal: no REVERSE row.
    Row("OverrideHtml", S::Override, F::Html, 3, {kOverridden},
        {kInvoiceRows, "[TDovraVoucherAPI.Reverse] Response : " + kHtml, kOverrideFailed}, kPaid,
        "reverse 200", "used/1", H::FromTill),
    Row("OverrideGarbage", S::Override, F::Garbage, 3, {kOverridden},
        {kInvoiceRows, "[TDovraVoucherAPI.Reverse] Response : " + kGarbageAsLogged,
         kOverrideFailed},
        kPaid, "reverse 200", "used/1", H::FromTill),
    Row("OverrideLostAnswer", S::Override, F::LostAnswer, 1, {kOverridden},
        {kInvoiceRows, Error("Reverse", kLost), kOverrideFailed}, kPaid, "reverse 200 lost",
        "available/0", H::AlreadyGivenBack),
    Row("OverrideResetHalfWay", S::Override, F::ResetHalfWay, 1, {kOverridden},
        {kInvoiceRows, Error("Reverse", kReset), kOverrideFailed}, kPaid, "reverse 200 reset",
        "available/0", H::AlreadyGivenBack),
    Row("OverrideRefused", S::Override, F::Refused, 1, {kOverridden},
        {kInvoiceRows, Error("Reverse", kRefused), kOverrideFailed}, kPaid, "", "used/1",
        H::FromTill),
    Row("OverrideUntrusted", S::Override, F::Untrusted, 1, {kOverridden},
        {kInvoiceRows, Error("Reverse", kUntrusted), kOverrideFailed}, kPaid, "", "used/1",
        H::FromTill),
    Row("OverrideTimeOut", S::Override, F::TimeOut, 1, {kOverridden},
        {kInvoiceRows, Error("Reverse", kTimedOut), kOverrideFailed}, kPaid, "reverse 200",
        "available/0", H::AlreadyGivenBack),
};

class FaultDuringPayment : public TTillFixture, public ::testing::WithParamInterface<TFailureRow> {
 protected:
  // The faulted operation's requests as the service recorded them: "operation status [answer]".
  std::string ServiceSaw(const std::string& operation) const {
    std::string saw;
    for (const std::string& line : Sandbox->RecordLines()) {
      if (!Contains(line, "\"Operation\":\"" + operation + "\"")) continue;
      const std::string answer = Match(line, "\"Answer\":\"(\\w+)\"");
      saw += (saw.empty() ? "" : "; ") + operation + " " + Match(line, "\"Status\":(\\d+)") +
             (answer.empty() ? "" : " " + answer);
    }
    return saw;
  }

  // The same service, its switches off: support reverses once it answers again.
  void RestartTheServiceHealthy() {
    const fs::path data = dir_ / "service-again";
    fs::copy(Sandbox->Dir(), data, fs::copy_options::recursive);
    ServiceCaFile = (data / "cert.pem").string();
    // Nothing listens there: should the restart fail, the till finds no service, not the old one.
    ServiceURL = "https://127.0.0.1:9/";
    Sandbox.reset();
    const char* program = std::getenv("DOVRA_SANDBOX");
    if (!program || !*program) program = DOVRA_SANDBOX_PROGRAM;
    std::string error, line;
    ASSERT_TRUE(Healthy.Start(program, {"--port", "0", "--data", data.string()}, {}, error))
        << error;
    ASSERT_TRUE(Healthy.ReadLine(line, 15000))
        << "no first line; it printed: " << Healthy.Printed();
    ASSERT_EQ(line.rfind("listening on ", 0), 0u) << line;
    ServiceURL = line.substr(13);
  }
  void TearDown() override {
    Healthy.Stop();
    TTillFixture::TearDown();
  }

  TChildProcess Healthy;
};

TEST_P(FaultDuringPayment, EndsAsTheFailureTableSays) {
  const TFailureRow& row = GetParam();
  const bool relayed = row.Fault == TFault::Refused || row.Fault == TFault::Untrusted;
  Sandbox = std::make_unique<TSandboxProcess>(SandboxSwitches(row));
  Upgrade();
  if (row.Step == TStep::Override) {
    const TRun sale = Pay("WELCOME10", {"--invoice", "77"});
    ASSERT_EQ(sale.Exit, 0) << sale.Output;
  }

  std::vector<std::string> args;
  if (row.Fault == TFault::TimeOut) args = {"--timeout-ms", std::to_string(kTimeOutMs)};
  if (row.Step == TStep::Override) {
    args.insert(args.end(), {"override", "--invoice", "77"});
  } else {
    const std::vector<std::string> pay =
        PayArgs("WELCOME10", row.Step == TStep::Cancel ? std::vector<std::string>{"--cancel"}
                                                       : std::vector<std::string>{});
    args.insert(args.end(), pay.begin(), pay.end());
  }
  std::unique_ptr<TSandboxProcess> stranger;
  std::unique_ptr<TConnectionRelay> relay;
  if (relayed) {
    if (row.Fault == TFault::Untrusted) stranger = std::make_unique<TSandboxProcess>();
    relay = std::make_unique<TConnectionRelay>(Sandbox->URL, ConnectionsBeforeTheFault(row.Step),
                                               stranger ? stranger->URL : "");
    ServiceURL = relay->URL();
  }
  const auto started = std::chrono::steady_clock::now();
  const TRun run = Till(args);
  const auto took = std::chrono::steady_clock::now() - started;
  relay.reset();
  ServiceURL.clear();

  // What the cashier sees.
  EXPECT_EQ(run.Exit, row.Exit) << run.Output;
  // A service that failed says so on the screen, with the REST client's reason; an answer the
  // service gave (HTML, garbage with 200) is no such failure.
  EXPECT_EQ(Contains(run.Output, "the voucher service failed: "), row.Exit == 1) << run.Output;
  std::vector<std::string> cashier;
  if (row.Step == TStep::Redeem)
    cashier = {"cashier: the dialog shows \"Voucher Successful\" \"Welcome 10.00 off\""};
  if (row.Step == TStep::Cancel)
    cashier = {"popup: paid\n", "receipt: detail VoucherReference=DVR-00000001\n"};
  cashier.insert(cashier.end(), row.Cashier.begin(), row.Cashier.end());
  EXPECT_EQ(MissingInOrder(run.Output, cashier), "") << run.Output;
  if (row.Fault == TFault::TimeOut) {
    EXPECT_LT(took, std::chrono::milliseconds(3 * kTimeOutMs)) << "the till stopped waiting";
  }

  // What the module log holds.
  const std::string log = ModuleLog();
  std::vector<std::string> lines{
      "[TPaymentMethodDovraVoucher.DoPaymentPopup] Current Transaction "
      ": 1\r\n"};
  lines.insert(lines.end(), row.Log.begin(), row.Log.end());
  EXPECT_EQ(MissingInOrder(log, lines), "") << Entries(log);

  // What the database rows hold.
  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 1u);
  const bool redeemed = row.Step == TStep::Cancel || row.Step == TStep::Override;
  EXPECT_EQ(rows[0].at("VoucherReference"), redeemed ? "DVR-00000001" : "NULL");
  EXPECT_EQ(rows[0].at("Amount"), redeemed ? "10.0" : "NULL");
  EXPECT_EQ(rows[0].at("InvoiceNum"), row.Step == TStep::Override ? "77" : "NULL");
  std::vector<std::string> classes;
  for (const TRow& activity : Activities()) classes.push_back(activity.at("Class"));
  EXPECT_EQ(classes, row.Activity);

  // What the service did with the request, and what it holds now.
  EXPECT_EQ(ServiceSaw(OperationOf(row.Step)), row.Service);
  EXPECT_EQ(VoucherAtTheService(), row.Voucher);

  if (row.Support == TSupport::None) return;
  // A service that still fails reversals is started again without its switches first.
  const bool restart = !relayed;
  if (row.Support == TSupport::AlreadyGivenBack) {
    ASSERT_NO_FATAL_FAILURE(RestartTheServiceHealthy());
    const TRun retried = Till({"voucher", "reverse", "--reference", "DVR-00000001"});
    EXPECT_TRUE(Contains(retried.Output,
                         "\"Success\":false,\"ErrorMessage\":\"Redemption "
                         "DVR-00000001 has already been reversed\""))
        << retried.Output;
    EXPECT_EQ(VoucherAtTheService(), "available/0");
    return;
  }
  // The till's next payment first finishes the give-back that failed, as reconcile would: once
  // the service answers again (the relay is gone), the voucher is back and this payment takes it.
  const TRun again = Pay("WELCOME10");
  if (relayed) {
    EXPECT_EQ(again.Exit, 0) << again.Output;
    EXPECT_TRUE(Contains(again.Output,
                         "before the payment, what an earlier run left open: 1 "
                         "candidate(s), 1 given back,"))
        << again.Output;
    EXPECT_TRUE(Contains(again.Output, "voucher: paid")) << again.Output;
    return;
  }
  // While it still fails reversals the customer has lost the voucher: the service refuses it a
  // second time ...
  EXPECT_EQ(again.Exit, 3) << again.Output;
  EXPECT_TRUE(
      Contains(again.Output,
               "cashier: the dialog shows \"Voucher Error\" \"Voucher has already been used\""))
      << again.Output;
  // ... until support gives it back by its reference.
  const std::string reference = rows[0].at("VoucherReference");
  ASSERT_EQ(reference, "DVR-00000001");
  EXPECT_TRUE(Contains(log, " : " + reference + "\r\n")) << Entries(log);
  if (restart) {
    ASSERT_NO_FATAL_FAILURE(RestartTheServiceHealthy());
  }
  const TRun givenBack = Till({"voucher", "reverse", "--reference", reference});
  EXPECT_EQ(givenBack.Exit, 0) << givenBack.Output;
  EXPECT_TRUE(Contains(givenBack.Output, "{\"Success\":true,\"VoucherReference\":\"" + reference))
      << givenBack.Output;
  EXPECT_TRUE(Contains(LoggedValue("[TDovraVoucherAPI.Reverse] Response"),
                       "{\"Success\":true,\"VoucherReference\":\"" + reference));
  EXPECT_EQ(VoucherAtTheService(), "available/0");
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultDuringPayment, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<TFailureRow>& info) {
                           return std::string(info.param.Name);
                         });

}  // namespace
