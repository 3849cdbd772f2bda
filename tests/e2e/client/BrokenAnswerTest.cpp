// The service acted, but its answer never reached the till whole: dovra-sandbox loses the answer,
// cuts it off with a reset, or holds it back, one operation at a time; the module's voucher
// client sees it through the till's REST client.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/e2e/client/VoucherE2E.h"

namespace {

using TClock = std::chrono::steady_clock;

class BrokenAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override { LogFolder(); }
  void TearDown() override { ModuleRegistrySlot() = nullptr; }

  // The voucher's state as the service holds it, asked through the module.
  static std::string StateOf(IDovraVoucherAPI& api, const std::string& code) {
    std::string response;
    if (!api.VoucherStatus("{\"VoucherCode\":\"" + code + "\"}", response)) return "<no answer>";
    return Member(response, "Status") + "/" + Member(response, "Redemptions");
  }
};

TEST_F(BrokenAnswerTest, TheCallFailsWhileTheServiceKeepsWhatItDid) {
  struct {
    std::string Switch, Operation, StateAfter, ErrorMentions;
  } cases[] = {
      {"--lose-answer", "evaluate", "available/0", "Empty reply"},
      {"--lose-answer", "redeem", "used/1", "Empty reply"},
      {"--lose-answer", "reverse", "available/0", "Empty reply"},
      {"--reset-answer", "evaluate", "available/0", "reset"},
      {"--reset-answer", "redeem", "used/1", "reset"},
      {"--reset-answer", "reverse", "available/0", "reset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Switch + " " + c.Operation);
    TSandbox sandbox({c.Switch, c.Operation});
    UseService(sandbox.URL, {sandbox.CertFile(), 3000, 10000});
    TIntfPtr<IDovraVoucherAPI> api = NewClient();
    ASSERT_TRUE(api);

    std::string response = "untouched";
    bool ok = true;
    std::string method;
    if (c.Operation == "evaluate") {
      ok = api->Evaluate(CheckRequest("GIFT50", "60"), response);
      method = "Evaluate";
    } else if (c.Operation == "redeem") {
      ok = api->Redeem(CheckRequest("GIFT50", "60"), response);
      method = "Redeem";
    } else {
      ASSERT_TRUE(api->Redeem(CheckRequest("GIFT50", "60"), response));
      const std::string reversal =
          "{\"VoucherReference\":\"" + Member(response, "VoucherReference") + "\"}";
      response = "untouched";
      ok = api->Reverse(reversal, response);
      method = "Reverse";
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(response, "untouched") << "no part of a broken answer is handed back";
    const std::string line = LastLogLine();
    EXPECT_NE(line.find("[TDovraVoucherAPI." + method + "] Error : "), std::string::npos) << line;
    EXPECT_NE(line.find(c.ErrorMentions), std::string::npos) << line;

    EXPECT_EQ(StateOf(*api, "GIFT50"), c.StateAfter) << "the other operations answer as usual";
    const std::vector<TJSONValue> records = sandbox.Records();
    const TJSONValue& acted = records.at(records.size() - 2);
    EXPECT_EQ(acted.Get("Operation").ToText(), c.Operation);
    EXPECT_EQ(acted.Get("Status").ToText(), "200");
    EXPECT_EQ(acted.Get("Answer").ToText(), c.Switch == "--lose-answer" ? "lost" : "reset");
  }
}

TEST_F(BrokenAnswerTest, ADelayNamedForOneOperationSlowsOnlyThatOne) {
  TSandbox sandbox({"--delay-ms", "100", "--delay-ms", "redeem:1500"});
  UseService(sandbox.URL, {sandbox.CertFile(), 3000, 10000});
  TIntfPtr<IDovraVoucherAPI> api = NewClient();
  ASSERT_TRUE(api);
  std::string response;

  auto start = TClock::now();
  ASSERT_TRUE(api->Evaluate(CheckRequest("GIFT50", "60"), response));
  auto took = TClock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(100)) << "the delay for every operation applies";
  EXPECT_LT(took, std::chrono::milliseconds(1200)) << "the redemption's delay does not";

  start = TClock::now();
  ASSERT_TRUE(api->Redeem(CheckRequest("GIFT50", "60"), response));
  EXPECT_GE(TClock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(Member(response, "Success"), "true");

  // A till that stops waiting finds the redemption made all the same: the service acts first.
  UseService(sandbox.URL, {sandbox.CertFile(), 3000, 800});
  start = TClock::now();
  EXPECT_FALSE(api->Redeem(CheckRequest("WELCOME10", "60"), response));
  EXPECT_LT(TClock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_NE(LastLogLine().find("timed out"), std::string::npos) << LastLogLine();
  EXPECT_EQ(StateOf(*api, "WELCOME10"), "used/1");
}

TEST_F(BrokenAnswerTest, UnusableSwitchesStopTheSandboxAtOnce) {
  const std::vector<std::string> cases[] = {
      {"--delay-ms", "redeem:soon"},
      {"--delay-ms", "600001"},
      {"--delay-ms", "refund:10"},
      {"--lose-answer", "refund"},
      {"--lose-answer", "redeem", "--reset-answer", "RedeemVoucher"},
  };
  const TScratchFolder dir("dovra-sandbox");
  for (const auto& c : cases) {
    std::vector<std::string> args{"--port", "0", "--data", dir.Path()};
    args.insert(args.end(), c.begin(), c.end());
    SCOPED_TRACE(c.back());
    TChildProcess sandbox;
    std::string error, output;
    ASSERT_TRUE(sandbox.Start(SandboxProgram(), args, {}, error)) << error;
    EXPECT_EQ(sandbox.ReadAllAndWait(output, 15000), 2);
    EXPECT_EQ(output, "") << "it never starts listening";
  }
}

}  // namespace
