// A redeem the service acted on while its answer never reached the till (lost, cut half-way,
// timed out, or an HTML page sent after acting), worked through the whole till with a
// single-use voucher: the dialog asks the voucher's status and gives its own redemption back,
// so that nothing is paid and nothing is lost, and Redeem pressed again pays. When the status
// cannot be had either, the voucher stays used and the module log names it.
#include <regex>

#include "lib/json/clsJSONDocument.h"
#include "lib/voucher/DovraMessages.h"
#include "tests/support/TillFixture.h"

namespace {

struct TLostRow {
  const char* Name;
  std::vector<std::string> Switches;  // the sandbox's, besides --faults-once
  bool StatusAnswers;
  std::string RedeemLine;  // how the module log has the redeem's outcome
  std::string StatusLine;  // the status call's outcome, when it fails
};

void PrintTo(const TLostRow& row, std::ostream* out) { *out << row.Name; }

constexpr int kTimeOutMs = 2000;
const char* const kHtmlPage = "<html><body><h1>502 Bad Gateway</h1></body></html>";

const TLostRow kLostRows[] = {
    {"LostAnswer",
     {"--lose-answer", "redeem"},
     true,
     "[TDovraVoucherAPI.Redeem] Error : Empty reply from server",
     ""},
    {"ResetHalfWay",
     {"--reset-answer", "redeem"},
     true,
     "[TDovraVoucherAPI.Redeem] Error : Recv failure: Connection reset by peer",
     ""},
    {"TimeOut",
     {"--delay-ms", "redeem:4000"},
     true,
     "[TDovraVoucherAPI.Redeem] Error : Operation timed out after ",
     ""},
    {"HtmlAfterActing",
     {"--answer", "redeem:PAGE"},
     true,
     std::string("[TDovraVoucherAPI.Redeem] Response : ") + kHtmlPage,
     ""},
};
// The status cannot be had either: nothing tells whether the voucher was used.
const TLostRow kStatusFailsRows[] = {
    {"LostAnswerStatusFails",
     {"--lose-answer", "redeem", "--fail", "status:503"},
     false,
     "[TDovraVoucherAPI.Redeem] Error : Empty reply from server",
     "[TDovraVoucherAPI.VoucherStatus] Error : HTTP 503: "},
    {"HtmlAfterActingStatusHtml",
     {"--answer", "redeem:PAGE", "--html", "status"},
     false,
     std::string("[TDovraVoucherAPI.Redeem] Response : ") + kHtmlPage,
     "[TDovraVoucherAPI.VoucherStatus] Response : <!DOCTYPE html>"},
};

class LostRedeemAnswer : public TTillFixture, public ::testing::WithParamInterface<TLostRow> {
 protected:
  void StartService() {
    std::vector<std::string> switches{"--faults-once"};
    for (const std::string& s : GetParam().Switches)
      switches.push_back(s == "redeem:PAGE" ? "redeem:" + Path("page.html") : s);
    Sandbox = std::make_unique<TSandboxProcess>(switches);
  }
  TRun PayOnce(int presses) {
    return Till({"--timeout-ms", std::to_string(kTimeOutMs), "pay", "--amount", "62.50", "--order",
                 OrderFile, "--popup", "--voucher", "WELCOME10", "--mobile", "0612345678",
                 "--give-up", "20", "--redeem-presses", std::to_string(presses)});
  }
  // The bodies of the service's records of one operation, in order.
  std::vector<std::string> Bodies(const std::string& operation) const {
    std::vector<std::string> bodies;
    for (const std::string& line : Sandbox->RecordLines())
      if (Contains(line, "\"Operation\":\"" + operation + "\""))
        bodies.push_back(ParseJSONDocument(line).Get("Body").ToText());
    return bodies;
  }
};

TEST_P(LostRedeemAnswer, PaysNothingAndLeavesTheVoucherAsTheServiceSays) {
  const TLostRow& row = GetParam();
  Write(Path("page.html"), kHtmlPage);
  StartService();
  Upgrade();
  const TRun run = PayOnce(1);

  // A redeem the REST client saw fail (no answer, cut, too late) is the service failing: exit 1
  // with its reason; an HTML page the service sent is an answer: exit 3.
  const bool failed = row.RedeemLine.find("] Error : ") != std::string::npos;
  EXPECT_EQ(run.Exit, failed ? 1 : 3) << run.Output;
  EXPECT_EQ(Contains(run.Output, "sarn-till pay: the voucher service failed: "), failed)
      << run.Output;
  const std::string details = row.StatusAnswers
                                  ? "\"Answer lost; voucher given back. Press Redeem again.\""
                                  : "\"Please check logs\"";
  EXPECT_EQ(MissingInOrder(run.Output, {"cashier: pressed Redeem\n", details, "popup: not paid\n"}),
            "")
      << run.Output;
  ASSERT_EQ(Transactions().size(), 1u);
  EXPECT_EQ(Transactions()[0].at("VoucherReference"), "NULL");
  EXPECT_EQ(VoucherAtTheService(), row.StatusAnswers ? "available/0" : "used/1");

  // The module log tells the whole story, in order, each step on a line of its own.
  const std::string log = ModuleLog();
  const std::string dialog = "[TfrmDovraPayment.btnRedeemClick] ";
  std::vector<std::string> lines{
      dialog + "Redemption key : {\"VoucherCode\":\"WELCOME10\",\"StoreReference\":",
      dialog + "Redeeming : WELCOME10\r\n", row.RedeemLine,
      dialog + "Asking status : WELCOME10\r\n"};
  if (row.StatusAnswers) {
    lines.insert(lines.end(), {"[TDovraVoucherAPI.VoucherStatus] Response : {\"Success\":true",
                               dialog + "Giving back : DVR-00000001\r\n",
                               "[TDovraVoucherAPI.Reverse] Response : {\"Success\":true",
                               dialog + "Given back : DVR-00000001\r\n"});
  } else {
    lines.insert(lines.end(), {row.StatusLine, dialog + "Left in doubt : WELCOME10 ("});
  }
  EXPECT_EQ(MissingInOrder(log, lines), "") << log;
  // The key logged is the one the redemption is found by: the request's own values and the
  // digest of the body as the service received it.
  const std::vector<std::string> redeems = Bodies("redeem");
  ASSERT_EQ(redeems.size(), 1u);
  const TJSONValue sent = ParseJSONDocument(redeems[0]);
  const std::string key = NewObjectDocument({"VoucherCode", sent.Get("VoucherCode"),
                                             "StoreReference", sent.Get("StoreReference"),
                                             "OrderDate", sent.Get("VoucherOrder").Get("OrderDate"),
                                             "RequestDigest", RequestDigest(redeems[0])})
                              .ToJSON();
  EXPECT_TRUE(Contains(log, dialog + "Redemption key : " + key + "\r\n")) << log;
}

class LostRedeemAnswerGivenBack : public LostRedeemAnswer {};

// Redeem pressed again after the give-back sends the same request and pays with the voucher.
TEST_P(LostRedeemAnswerGivenBack, RedeemPressedAgainPays) {
  Write(Path("page.html"), kHtmlPage);
  StartService();
  Upgrade();
  const TRun run = PayOnce(2);

  EXPECT_EQ(run.Exit, 0) << run.Output;
  EXPECT_EQ(MissingInOrder(run.Output, {"\"Answer lost; voucher given back. Press Redeem again.\"",
                                        "cashier: pressed Redeem\n", "popup: paid\n"}),
            "")
      << run.Output;
  const std::vector<std::string> redeems = Bodies("redeem");
  ASSERT_EQ(redeems.size(), 2u);
  EXPECT_EQ(redeems[0], redeems[1]) << "the second press sends the first request byte for byte";
  EXPECT_EQ(Bodies("reverse"),
            (std::vector<std::string>{"{\"VoucherReference\":\"DVR-00000001\"}"}));
  ASSERT_EQ(Transactions().size(), 1u);
  EXPECT_EQ(Transactions()[0].at("VoucherReference"), "DVR-00000002");
  EXPECT_EQ(VoucherAtTheService(), "used/1");
}

std::string RowName(const ::testing::TestParamInfo<TLostRow>& info) { return info.param.Name; }

INSTANTIATE_TEST_SUITE_P(Faults, LostRedeemAnswer, ::testing::ValuesIn(kLostRows), RowName);
INSTANTIATE_TEST_SUITE_P(StatusFails, LostRedeemAnswer, ::testing::ValuesIn(kStatusFailsRows),
                         RowName);
INSTANTIATE_TEST_SUITE_P(Faults, LostRedeemAnswerGivenBack, ::testing::ValuesIn(kLostRows),
                         RowName);

}  // namespace
