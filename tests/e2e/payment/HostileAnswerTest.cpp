// Hostile answers of the voucher service and a failing database, through the whole till: the
// service redeems as usual and then sends crafted bytes, or the till's database refuses the
// payment's record or the invoice link. Whatever happens, a voucher used at the service ends up
// either paid and recorded, or given back, or named to the cashier.
#include <sqlite3.h>

#include <regex>

#include "lib/common/Utf8Text.h"
#include "tests/support/TillFixture.h"

namespace {

using namespace std::string_literals;

const std::string kRef = "DVR-00000001";
const std::string kPopup = "[TPaymentMethodDovraVoucher.DoPaymentPopup] ";

enum class TDBFault { None, PaymentUpdate, InvoiceLink };

struct THostileCase {
  const char* Name;
  std::string Redeem;  // the crafted redeem answer; empty: the service's own
  std::string Check;   // the crafted check answer; empty: the service's own
  TDBFault DB = TDBFault::None;
  std::vector<std::string> Extra;    // further sandbox switches
  std::vector<std::string> PayArgs;  // further pay options
  int Exit = 0;
  std::vector<std::string> Output;  // parts of the till's output, in order
  std::vector<std::string> Log;     // module log lines, in order
  std::string Reference;            // the row's VoucherReference
  std::string Amount;               // the row's Amount
  std::vector<std::string> Activity;
  std::string Voucher;                   // WELCOME10 at the service afterwards: status/redemptions
  std::vector<std::string> Absent = {};  // never in the output
};

void PrintTo(const THostileCase& c, std::ostream* out) { *out << c.Name; }

std::string Answer(const std::string& members) {
  return "{\"Success\":true,\"DisplayName\":\"Welcome 10.00 off\"," + members + "}";
}
const std::string kCode = ",\"VoucherCode\":\"WELCOME10\"";
const std::string kPaid = "popup: paid\n", kNotPaid = "popup: not paid\n";
const std::string kRedeeming = "[TfrmDovraPayment.btnRedeemClick] Redeeming : WELCOME10\r\n";
const std::string kGivenBack = kPopup + "Reversed : " + kRef + "\r\n";

const THostileCase kCases[] = {
    {"NulInsideAMember",
     Answer("\"Note\":\"\0\",\"DiscountAmount\":25,\"VoucherReference\":\""s + kRef + "\"" + kCode),
     "",
     TDBFault::None,
     {},
     {},
     0,
     {kPaid, "receipt: detail VoucherReference=" + kRef + "\n", "voucher: paid 25.0000"},
     {kRedeeming,
      "[TDovraVoucherAPI.Redeem] Response : {\"Success\":true,\"DisplayName\":"
      "\"Welcome 10.00 off\",\"Note\":\"?\",\"DiscountAmount\":25"},
     kRef,
     "25.0",
     {"INFO", "REDEEM"},
     "used/1"},
    // The reference is kept as received (its NUL read as "?"): the cancel must not reverse
    // another customer's redemption whose reference is the part before the NUL, and the till
    // says the voucher did not go back.
    {"NulInsideTheReference",
     Answer(std::string("\"DiscountAmount\":10,\"VoucherReference\":\"") + kRef + "\0-OTHER\""s +
            kCode),
     "",
     TDBFault::None,
     {},
     {"--cancel"},
     3,
     {kPaid, "receipt: detail VoucherReference=" + kRef + "?-OTHER\n"},
     {"[TPaymentMethodDovraVoucher.CancelTransaction] Could not reverse : " + kRef + "?-OTHER"},
     kRef + "?-OTHER",
     "10.0",
     {"INFO", "REDEEM"},
     "used/1"},
    {"NegativeAmount",
     Answer("\"DiscountAmount\":-50,\"VoucherReference\":\"" + kRef + "\"" + kCode),
     "",
     TDBFault::None,
     {},
     {},
     3,
     {kNotPaid, "voucher: not paid"},
     {kGivenBack, kPopup + "Response : {\"Success\":true",
      kPopup +
          "No discount, voucher given "
          "back : " +
          kRef},
     kRef,
     "-50.0",
     {"INFO"},
     "available/0",
     {"receipt: detail"}},
    {"ZeroAmountNotGivenBack",
     Answer("\"DiscountAmount\":0,\"VoucherReference\":\"" + kRef + "\"" + kCode),
     "",
     TDBFault::None,
     {"--fail", "reverse:500"},
     {"--invoice", "77"},
     1,  // the give-back met an HTTP 500: the service failed
     {kNotPaid, "voucher: not paid", "sarn-till pay: the voucher service failed: HTTP 500"},
     {kPopup + "Could not reverse : " + kRef,
      kPopup + "No discount, voucher not given back : " + kRef},
     kRef,
     "0.0",
     {"INFO"},
     "used/1",
     {"receipt: detail"}},
    // Paid, it could never be given back by its reference: the dialog settles it as a lost
    // answer, finding the redemption by the request's digest.
    {"EmptyReferenceGivenBack",
     Answer("\"DiscountAmount\":10,\"VoucherReference\":\"\"" + kCode),
     "",
     TDBFault::None,
     {},
     {},
     3,
     {"\"Answer lost; voucher given back. Press Redeem again.\"", kNotPaid},
     {kRedeeming, "[TfrmDovraPayment.btnRedeemClick] Given back : " + kRef + "\r\n"},
     "NULL",
     "NULL",
     {"INFO"},
     "available/0",
     {"receipt: detail"}},
    {"ForgedReceiptLine",
     Answer("\"DiscountAmount\":10,\"VoucherReference\":\"" + kRef +
            "\",\"VoucherCode\":\"C1\\r\\nVoucherReference=FAKE-REF\""),
     "",
     TDBFault::None,
     {},
     {},
     0,
     {kPaid, "receipt: detail VoucherReference=" + kRef + "\n",
      "receipt: detail VoucherCode=C1?"
      "?VoucherReference=FAKE-REF\n"},
     {},
     kRef,
     "10.0",
     {"INFO", "REDEEM"},
     "used/1",
     {"\nVoucherReference=FAKE-REF", "detail VoucherReference=FAKE-REF"}},
    {"MarkupInTheDisplayName",
     "",
     "{\"Success\":true,\"DisplayName\":\"<b style=\\\"color:red\\\">PAID 500.00 - press "
     "Redeem</b>\",\"DiscountAmount\":10}",
     TDBFault::None,
     {},
     {},
     0,
     {"cashier: the dialog shows \"Voucher Successful\" \"<b style=\"color:red\">PAID 500.00 - "
      "press Redeem</b>\"",
      kPaid, "voucher: paid 10.0000"},
     {},
     kRef,
     "10.0",
     {"INFO", "REDEEM"},
     "used/1"},
    {"RecordRefusedGivenBack",
     "",
     "",
     TDBFault::PaymentUpdate,
     {},
     {},
     1,
     {"sarn-till: The voucher redemption could not be recorded in the database; the voucher was "
      "given back"},
     {kPopup + "Could not record redemption : " + kRef + "\r\n", kGivenBack},
     "NULL",
     "NULL",
     {"INFO"},
     "available/0",
     {"popup: paid"}},
    {"RecordRefusedNotGivenBack",
     "",
     "",
     TDBFault::PaymentUpdate,
     {"--fail", "reverse:500"},
     {},
     1,
     {"could not be given back: voucher reference " + kRef},
     {kPopup + "Could not record redemption : " + kRef + "\r\n",
      kPopup + "Could not reverse : " + kRef + "\r\n"},
     "NULL",
     "NULL",
     {"INFO"},
     "used/1",
     {"popup: paid"}},
    // Stray bytes in the reference: recorded and printed with each one replaced, on both
    // engines (PostgreSQL would refuse the whole call, SQLite keep them raw).
    {"InvalidUtf8InTheReference",
     Answer("\"DiscountAmount\":10,\"VoucherReference\":\"DVR-\xFF\xFE-1\"" + kCode),
     "",
     TDBFault::None,
     {},
     {},
     0,
     {kPaid, "receipt: detail VoucherReference=DVR-\xEF\xBF\xBD\xEF\xBF\xBD-1\n",
      "voucher: paid 10.0000"},
     {},
     "DVR-\xEF\xBF\xBD\xEF\xBF\xBD-1",
     "10.0",
     {"INFO", "REDEEM"},
     "used/1",
     {"\xFF"}},
    // A reference longer than its column is refused by both engines, as by the store's: the
    // redemption is not recorded and the voucher, unknown to the service by that reference, is
    // named to the cashier.
    {"ReferenceLongerThanItsColumn",
     Answer("\"DiscountAmount\":10,\"VoucherReference\":\"" + std::string(100000, 'R') + "\"" +
            kCode),
     "",
     TDBFault::None,
     {},
     {},
     1,
     {"could not be given back: voucher reference RRRR"},
     {kPopup + "Could not record redemption : RRRR"},
     "NULL",
     "NULL",
     {"INFO"},
     "used/1",
     {"popup: paid"}},
    {"InvoiceLinkRefused",
     "",
     "",
     TDBFault::InvoiceLink,
     {},
     {"--invoice", "77"},
     0,
     {kPaid, "voucher: paid 10.0000"},
     {"[TPaymentMethodDovraVoucher.LinkInvoice] Could not link invoice : 77 (transaction 1)\r\n"},
     kRef,
     "10.0",
     {"INFO", "REDEEM"},
     "used/1"},
};

class HostileAnswer : public TTillFixture, public ::testing::WithParamInterface<THostileCase> {
 protected:
  // A trigger that makes the database refuse one of the payment's updates, as a full disk or a
  // constraint of the store's database would, on either engine.
  void RefuseUpdates(TDBFault fault) {
    const std::string column = fault == TDBFault::InvoiceLink ? "InvoiceNum" : "Amount";
    std::string error;
    if (OnPostgres()) {
      TPostgresSession session(Database);
      ASSERT_TRUE(
          session.Exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
                       "$$ BEGIN RAISE EXCEPTION 'refused'; END $$; "
                       "CREATE TRIGGER refuse BEFORE UPDATE OF \"" +
                           column +
                           "\" ON \"DovraTransactions\" FOR EACH ROW EXECUTE FUNCTION "
                           "refuse()",
                       error))
          << error;
      return;
    }
    const std::string sql = "CREATE TRIGGER refuse BEFORE UPDATE OF " + column +
                            " ON DovraTransactions BEGIN SELECT RAISE(ABORT, 'refused'); END";
    sqlite3* db = nullptr;
    char* message = nullptr;
    ASSERT_EQ(sqlite3_open(Database.c_str(), &db), SQLITE_OK);
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << (message ? message : "");
    sqlite3_free(message);
  }
};

TEST_P(HostileAnswer, EndsPaidAndRecordedOrGivenBack) {
  const THostileCase& c = GetParam();
  std::vector<std::string> switches = c.Extra;
  if (!c.Redeem.empty()) {
    Write(Path("redeem.json"), c.Redeem);
    switches.insert(switches.end(), {"--answer", "redeem:" + Path("redeem.json")});
  }
  if (!c.Check.empty()) {
    Write(Path("check.json"), c.Check);
    switches.insert(switches.end(), {"--answer", "evaluate:" + Path("check.json")});
  }
  Sandbox = std::make_unique<TSandboxProcess>(switches);
  Upgrade();
  if (c.DB != TDBFault::None) {
    ASSERT_NO_FATAL_FAILURE(RefuseUpdates(c.DB));
  }

  const TRun run = Pay("WELCOME10", c.PayArgs);
  EXPECT_EQ(run.Exit, c.Exit) << run.Output;
  EXPECT_EQ(MissingInOrder(run.Output, c.Output), "") << run.Output;
  for (const std::string& absent : c.Absent)
    EXPECT_FALSE(Contains(run.Output, absent)) << absent << "\n" << run.Output;

  const std::string log = ModuleLog();
  EXPECT_EQ(log.find('\0'), std::string::npos);
  EXPECT_EQ(MissingInOrder(log, c.Log), "") << log;

  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("VoucherReference"), c.Reference);
  EXPECT_EQ(rows[0].at("Amount"), c.Amount);
  std::vector<std::string> classes;
  for (const TRow& activity : Activities()) classes.push_back(activity.at("Class"));
  EXPECT_EQ(classes, c.Activity);
  EXPECT_EQ(VoucherAtTheService(), c.Voucher);
  // Whatever the service sent, what the till lists for scripts is valid UTF-8.
  const TRun json = Till({"transactions", "--json"});
  EXPECT_EQ(json.Exit, 0) << json.Output;
  EXPECT_TRUE(IsValidUTF8(json.Output)) << json.Output;
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileAnswer, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<THostileCase>& info) {
                           return std::string(info.param.Name);
                         });

}  // namespace
