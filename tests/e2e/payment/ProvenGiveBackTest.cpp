// A voucher goes back only when it is proven the till's own: through the whole till, a lost
// redeem answer next to another till's redemption of the same multiple-use voucher in the same
// second, reversal answers that only look like a confirmation, and redeem answers that say
// Success but cannot be read whole.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "lib/json/clsJSONDocument.h"
#include "lib/voucher/DovraMessages.h"
#include "tests/support/TillFixture.h"

namespace {

using namespace std::string_literals;

const std::string kDialog = "[TfrmDovraPayment.btnRedeemClick] ";
const std::string kCancel = "[TPaymentMethodDovraVoucher.CancelTransaction] ";

// The bodies of the service's records of one operation, in order.
std::vector<std::string> Bodies(const TSandboxProcess& sandbox, const std::string& operation) {
  std::vector<std::string> bodies;
  for (const std::string& line : sandbox.RecordLines())
    if (Contains(line, "\"Operation\":\"" + operation + "\""))
      bodies.push_back(ParseJSONDocument(line).Get("Body").ToText());
  return bodies;
}

// Two tills of one store, their clocks frozen at the same instant, redeem the same multiple-use
// voucher: till 1's redeem is refused before the service acts, and its answer is held back
// while till 2 pays and links its sale. Till 1 then asks the status: the one live redemption has
// till 1's store and order date to the second, but it is till 2's, and stays so.
class TwoTillsSameSecond : public TTillFixture {
 protected:
  std::string TillFolder(int till) const { return Path("till" + std::to_string(till)); }
  std::vector<std::string> Args(int till, const std::string& mobile,
                                const std::vector<std::string>& extra) const {
    std::vector<std::string> args{"--module",     TillFolder(till) + "/DovraVoucherPayment.smd",
                                  "--db",         Database,
                                  "--ca-file",    Sandbox->CertFile(),
                                  "--till-id",    std::to_string(till),
                                  "--timeout-ms", "30000",
                                  "pay",          "--amount",
                                  "62.50",        "--order",
                                  OrderFile,      "--popup",
                                  "--voucher",    "SAVE15",
                                  "--mobile",     mobile,
                                  "--give-up",    "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // The till's environment with its clock stopped at frozen (UTC).
  std::vector<std::string> FrozenEnvironment(const std::string& frozen) const {
    std::vector<std::string> env = Environment();
    const std::vector<std::string> clock = PinnedClock(frozen);
    env.insert(env.end(), clock.begin(), clock.end());
    return env;
  }
  std::string TillLog(int till) const {
    std::string log;
    for (const auto& entry : fs::directory_iterator(TillFolder(till)))
      if (entry.path().extension() == ".log") log += Read(entry.path().string());
    return log;
  }
};

TEST_F(TwoTillsSameSecond, TheLostRedeemDoesNotGiveBackTheOtherTillsRedemption) {
  if (PinnedClock("+0").empty()) GTEST_SKIP() << "needs Debian's faketime package (libfaketime)";
  // The first redeem is refused without acting, and its answer held back long enough for the
  // other till's whole sale.
  Sandbox = std::make_unique<TSandboxProcess>(std::vector<std::string>{
      "--faults-once", "--fail", "redeem:503", "--delay-ms", "redeem:8000"});
  Upgrade();
  for (int till = 1; till <= 2; ++till) {
    fs::create_directories(TillFolder(till));
    fs::copy_file(DOVRA_MODULE_PATH, TillFolder(till) + "/DovraVoucherPayment.smd");
  }
  const std::string frozen = FrozenIn(3);

  TChildProcess till1;
  till1.MergeErrors = true;
  std::string error;
  ASSERT_TRUE(
      till1.Start(SARN_TILL_PROGRAM, Args(1, "0612345678", {}), FrozenEnvironment(frozen), error))
      << error;
  // Till 1's redeem has reached the service (and been refused there) before till 2 starts.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Bodies(*Sandbox, "redeem").empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(Bodies(*Sandbox, "redeem").size(), 1u) << "till 1 sent no redeem";

  TChildProcess till2;
  till2.MergeErrors = true;
  ASSERT_TRUE(till2.Start(SARN_TILL_PROGRAM, Args(2, "0698765432", {"--invoice", "2001"}),
                          FrozenEnvironment(frozen), error))
      << error;
  std::string output2, output1;
  const int exit2 = till2.ReadAllAndWait(output2, kChildWaitMs);
  const int exit1 = till1.ReadAllAndWait(output1, kChildWaitMs);

  ASSERT_EQ(exit2, 0) << output2;
  EXPECT_TRUE(Contains(output2, "receipt: detail VoucherReference=DVR-00000001\n")) << output2;
  // Its redeem met an HTTP 503: the service failed, so the till says so and exits 1.
  EXPECT_EQ(exit1, 1) << output1;
  EXPECT_TRUE(Contains(output1, "sarn-till pay: the voucher service failed: HTTP 503")) << output1;
  EXPECT_EQ(MissingInOrder(output1, {"cashier: pressed Redeem\n",
                                     "\"Answer lost; voucher not used. Press Redeem again.\"",
                                     "popup: not paid\n"}),
            "")
      << output1;

  // The premise: both requests name the same store and the same second; only their bodies differ.
  const std::vector<std::string> redeems = Bodies(*Sandbox, "redeem");
  ASSERT_EQ(redeems.size(), 2u);
  const TJSONValue first = ParseJSONDocument(redeems[0]), second = ParseJSONDocument(redeems[1]);
  EXPECT_EQ(first.Get("StoreReference").ToJSON(), second.Get("StoreReference").ToJSON());
  EXPECT_EQ(first.Get("VoucherOrder").Get("OrderDate").ToText(),
            second.Get("VoucherOrder").Get("OrderDate").ToText());
  EXPECT_NE(redeems[0], redeems[1]);

  // Nothing was given back: till 2's sale keeps its voucher.
  EXPECT_TRUE(Bodies(*Sandbox, "reverse").empty());
  const std::vector<TRow> rows = Transactions();
  bool linked = false;
  for (const TRow& row : rows)
    linked |= row.at("VoucherReference") == "DVR-00000001" && row.at("InvoiceNum") == "2001";
  EXPECT_TRUE(linked);

  // Till 1's log: its key carries the digest of the very body the service received.
  const std::string log = TillLog(1);
  EXPECT_EQ(MissingInOrder(log, {kDialog + "Redemption key : ",
                                 "\"RequestDigest\":\"" + RequestDigest(redeems[0]) + "\"}\r\n",
                                 kDialog + "Asking status : SAVE15\r\n",
                                 kDialog + "Not redeemed : SAVE15\r\n"}),
            "")
      << log;
  EXPECT_FALSE(Contains(log, "Giving back")) << log;
}

// A cancel whose reversal answer only looks like a confirmation: the till says the voucher did
// not go back, as for a failed reversal, and the module log names it.
struct THostileReversal {
  const char* Name;
  std::string Answer;
};

void PrintTo(const THostileReversal& c, std::ostream* out) { *out << c.Name; }

const THostileReversal kReversals[] = {
    {"TrailingText", R"({"Success":true} trailing)"},
    {"SecondDocument", R"({"Success":true}{"Success":false})"},
    {"SingleQuotes", R"({'Success':true})"},
    {"LowerCaseName", R"({"success":true})"},
    {"NaN", R"({"Success":true,"a":NaN})"},
    {"AnotherReference", R"({"Success":true,"VoucherReference":"DVR-99999999"})"},
};

class HostileReversal : public TTillFixture,
                        public ::testing::WithParamInterface<THostileReversal> {};

TEST_P(HostileReversal, IsNoConfirmation) {
  Write(Path("reverse.json"), GetParam().Answer);
  Sandbox = std::make_unique<TSandboxProcess>(
      std::vector<std::string>{"--answer", "reverse:" + Path("reverse.json")});
  Upgrade();
  const TRun run = Pay("WELCOME10", {"--cancel"});
  EXPECT_EQ(run.Exit, 3) << run.Output;
  EXPECT_TRUE(Contains(run.Output, "then not given back (see the module log)")) << run.Output;
  const std::string log = ModuleLog();
  EXPECT_EQ(MissingInOrder(log, {kCancel + "Reversing : DVR-00000001\r\n",
                                 "[TDovraVoucherAPI.Reverse] Response : " + GetParam().Answer,
                                 kCancel + "Could not reverse : DVR-00000001\r\n"}),
            "")
      << log;
  EXPECT_FALSE(Contains(log, kCancel + "Reversed : ")) << log;
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileReversal, ::testing::ValuesIn(kReversals),
                         [](const ::testing::TestParamInfo<THostileReversal>& info) {
                           return std::string(info.param.Name);
                         });

// A redeem answer saying Success without a reference to give the voucher back by: the dialog
// settles it as a lost answer, by the request's digest, and the till never fails on a
// conversion of the missing member.
struct TPartialRedeem {
  const char* Name;
  std::string Answer;
  std::vector<std::string> Extra;  // further sandbox switches
  std::string Details;             // what the dialog says
  std::vector<std::string> Log;    // module log lines, in order
  std::string Voucher;             // WELCOME10 at the service afterwards
};

void PrintTo(const TPartialRedeem& c, std::ostream* out) { *out << c.Name; }

const std::string kGivenBack = "\"Answer lost; voucher given back. Press Redeem again.\"";
const std::string kPartialCode = ",\"VoucherCode\":\"WELCOME10\"}";

const TPartialRedeem kPartials[] = {
    {"NoReference",
     "{\"Success\":true,\"DiscountAmount\":10" + kPartialCode,
     {},
     kGivenBack,
     {kDialog + "Giving back : DVR-00000001\r\n", kDialog + "Given back : DVR-00000001\r\n"},
     "available/0"},
    {"NullReference",
     "{\"Success\":true,\"DiscountAmount\":10,\"VoucherReference\":null" + kPartialCode,
     {},
     kGivenBack,
     {kDialog + "Giving back : DVR-00000001\r\n", kDialog + "Given back : DVR-00000001\r\n"},
     "available/0"},
    {"NotANumberAmount",
     "{\"Success\":true,\"DiscountAmount\":\"lots\",\"VoucherReference\":\"DVR-00000001\"" +
         kPartialCode,
     {},
     kGivenBack,
     {kDialog + "Given back : DVR-00000001\r\n"},
     "available/0"},
    {"NoReferenceReversalFails",
     "{\"Success\":true,\"DiscountAmount\":10" + kPartialCode,
     {"--fail", "reverse:500"},
     "\"Please check logs\"",
     {kDialog + "Giving back : DVR-00000001\r\n",
      kDialog + "Left used : WELCOME10 (DVR-00000001 not given back)\r\n"},
     "used/1"},
};

class PartialRedeemAnswer : public TTillFixture,
                            public ::testing::WithParamInterface<TPartialRedeem> {};

TEST_P(PartialRedeemAnswer, IsSettledAsALostAnswer) {
  const TPartialRedeem& c = GetParam();
  Write(Path("redeem.json"), c.Answer);
  std::vector<std::string> switches{"--answer", "redeem:" + Path("redeem.json")};
  switches.insert(switches.end(), c.Extra.begin(), c.Extra.end());
  Sandbox = std::make_unique<TSandboxProcess>(switches);
  Upgrade();
  const TRun run = Pay("WELCOME10");
  // A give-back the service failed (HTTP 500) makes the payment the till's failure.
  EXPECT_EQ(run.Exit, c.Extra.empty() ? 3 : 1) << run.Output;
  EXPECT_FALSE(Contains(run.Output, "Could not convert variant")) << run.Output;
  EXPECT_EQ(
      MissingInOrder(run.Output, {"cashier: pressed Redeem\n", c.Details, "popup: not paid\n"}), "")
      << run.Output;
  std::vector<std::string> lines{kDialog + "Asking status : WELCOME10\r\n"};
  lines.insert(lines.end(), c.Log.begin(), c.Log.end());
  EXPECT_EQ(MissingInOrder(ModuleLog(), lines), "") << ModuleLog();
  // No payment was recorded against the row.
  const std::vector<TRow> rows = Transactions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("Timestamp_Payment"), "NULL");
  EXPECT_EQ(VoucherAtTheService(), c.Voucher);
}

INSTANTIATE_TEST_SUITE_P(Answers, PartialRedeemAnswer, ::testing::ValuesIn(kPartials),
                         [](const ::testing::TestParamInfo<TPartialRedeem>& info) {
                           return std::string(info.param.Name);
                         });

}  // namespace
