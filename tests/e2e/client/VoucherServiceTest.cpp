// The module's voucher client through the till's libcurl REST client against dovra-sandbox, over
// loopback HTTPS: every outcome a cashier can meet, as boolean, response text and log line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "intf/intfRestClient.h"
#include "tests/e2e/client/VoucherE2E.h"

namespace {

TEST_F(VoucherServiceTest, CheckRedeemReverseMakeTheUseAvailableAgain) {
  std::string response;
  ASSERT_TRUE(api->Evaluate(CheckRequest("WELCOME10", "62.5"), response));
  EXPECT_EQ(response,
            "{\"Success\":true,\"DisplayName\":\"Welcome 10.00 off\",\"DiscountAmount\":10}");
  ExpectLastLogLineEndsWith("[TDovraVoucherAPI.Evaluate] Response : " + response);

  ASSERT_TRUE(api->Redeem(CheckRequest("WELCOME10", "62.5"), response));
  EXPECT_EQ(Member(response, "Success"), "true");
  EXPECT_EQ(Member(response, "VoucherCode"), "WELCOME10");
  const std::string reference = Member(response, "VoucherReference");
  EXPECT_EQ(reference.rfind("DVR-", 0), 0u) << response;
  ExpectLastLogLineEndsWith("[TDovraVoucherAPI.Redeem] Response : " + response);

  // A single-use voucher is spent until its redemption is reversed.
  ASSERT_TRUE(api->Evaluate(CheckRequest("WELCOME10", "62.5"), response));
  EXPECT_EQ(Member(response, "Success"), "false");
  EXPECT_EQ(Member(response, "ErrorMessage"), "Voucher has already been used");

  const std::string reversal = "{\"VoucherReference\":\"" + reference + "\"}";
  ASSERT_TRUE(api->Reverse(reversal, response));
  EXPECT_EQ(Member(response, "Success"), "true");
  ExpectLastLogLineEndsWith("[TDovraVoucherAPI.Reverse] Response : " + response);
  ASSERT_TRUE(api->Reverse(reversal, response));
  EXPECT_EQ(Member(response, "Success"), "false") << "a second reversal must be refused";

  ASSERT_TRUE(api->Redeem(CheckRequest("WELCOME10", "62.5"), response));
  EXPECT_EQ(Member(response, "Success"), "true");
  EXPECT_NE(Member(response, "VoucherReference"), reference) << "references are unique";
}

TEST_F(VoucherServiceTest, RefusalsComeInsideTheDocumentOfATrueCall) {
  struct {
    std::string Code, Total, Message;
  } cases[] = {
      {"NOSUCHCODE", "62.5", "Unknown voucher code"},
      {"SUMMER24", "62.5", "Voucher expired on 2024-09-30"},
      {"BIGSPEND", "199.99", "Order total is below the voucher's minimum of 200"},
      {"welcome10", "62.5", "Unknown voucher code"},  // codes are taken as typed
  };
  for (const auto& c : cases) {
    std::string response = "before";
    ASSERT_TRUE(api->Evaluate(CheckRequest(c.Code, c.Total), response)) << c.Code;
    EXPECT_EQ(response, "{\"Success\":false,\"ErrorMessage\":\"" + c.Message + "\"}");
  }
  std::string response;
  ASSERT_TRUE(api->Evaluate(CheckRequest("SAVE15", "62.5"), response));
  EXPECT_EQ(Member(response, "DiscountAmount"), "9.38") << "15% of 62.50, to the cent";
  ASSERT_TRUE(api->VoucherStatus("{\"VoucherCode\":\"GIFT50\"}", response));
  EXPECT_EQ(Member(response, "Status"), "available");
  ExpectLastLogLineEndsWith("[TDovraVoucherAPI.VoucherStatus] Response : " + response);
}

TEST_F(VoucherServiceTest, TheServiceReceivesEveryBodyByteForByte) {
  const std::string unusual =
      "{\"VoucherCode\":\"GIFT50\",\"Note\":\"caf\xc3\xa9 \\\"q\\\" back\\\\slash\\t\\u00e9\","
      "\"VoucherOrder\":{\"TotalPrice\":75.50}}";
  const std::string notJson = "VoucherCode=GIFT50&x=1\r\n";
  std::string response = "untouched";
  EXPECT_TRUE(api->Evaluate(unusual, response));
  EXPECT_FALSE(api->VoucherStatus(notJson, response)) << "the sandbox answers 400";
  EXPECT_EQ(Member(response, "DiscountAmount"), "50");
  ExpectLastLogLineEndsWith(
      "[TDovraVoucherAPI.VoucherStatus] Error : HTTP 400: {\"Success\":false,\"ErrorMessage\":"
      "\"The request body is not a JSON object\"}");

  const std::vector<TJSONValue> records = sandbox->Records();
  ASSERT_EQ(records.size(), 2u);
  // The credentials were checked (a wrong pair is refused) and stay out of the record.
  const std::string basic = "Basic ***";
  const std::pair<std::string, std::string> expected[] = {{"/API/EvaluateVoucher", unusual},
                                                          {"/API/GetVoucherStatus", notJson}};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(records[i].Get("Path").ToText(), expected[i].first);
    EXPECT_EQ(records[i].Get("Method").ToText(), "POST");
    EXPECT_EQ(records[i].Get("Body").ToText(), expected[i].second);
    EXPECT_EQ(records[i].Get("ContentType").ToText(), "application/json");
    EXPECT_EQ(records[i].Get("Authorization").ToText(), basic);
  }
}

TEST_F(VoucherServiceTest, WrongCredentialsAreRefused) {
  // The module's key is fixed, so the till's REST client is driven directly here.
  TIntfPtr<IRestClient> rest = ResolveAs<IRestClient>(ModuleRegistry().Get());
  ASSERT_TRUE(rest);
  rest->SetBaseURL(sandbox->URL);
  rest->SetContentType("application/json");
  rest->SetCredentials(DovraVoucherUserName, std::string(Key).substr(1) + "0");
  std::string text;
  EXPECT_FALSE(rest->SendRequest("/API/EvaluateVoucher", "{}", text, text, -1, 0));
  EXPECT_EQ(text.rfind("HTTP 401: ", 0), 0u) << text;
}

TEST_F(VoucherServiceTest, TheTillsRestClientJoinsPathsAndKeepsResponseAndErrorApart) {
  TIntfPtr<IRestClient> rest = ResolveAs<IRestClient>(ModuleRegistry().Get());
  ASSERT_TRUE(rest);
  std::string base = sandbox->URL;
  base.pop_back();  // no trailing "/": the client must add one
  rest->SetBaseURL(base);
  rest->SetContentType("application/json");
  rest->SetCredentials(DovraVoucherUserName, Key);

  std::string response = "r", error = "e";
  ASSERT_TRUE(rest->SendRequest("API/GetVoucherStatus", "{\"VoucherCode\":\"GIFT50\"}", response,
                                error, -1, 0));
  EXPECT_EQ(Member(response, "VoucherCode"), "GIFT50");
  EXPECT_EQ(error, "e") << "success leaves the error text alone";

  response = "r";
  EXPECT_FALSE(rest->SendRequest("/API/GetVoucherStatus", "{}", response, error, -1, 1));
  EXPECT_EQ(response, "r") << "failure leaves the response alone";
  EXPECT_EQ(error.rfind("HTTP 405: ", 0), 0u) << error;

  EXPECT_FALSE(rest->SendRequest("/API/GetVoucherStatus", "{}", response, error, -1, 7));
  EXPECT_NE(error.find("unsupported request method 7"), std::string::npos) << error;

  const std::vector<TJSONValue> records = sandbox->Records();
  ASSERT_EQ(records.size(), 2u) << "the unsupported method never goes out";
  EXPECT_EQ(records[0].Get("Path").ToText(), "/API/GetVoucherStatus");
  EXPECT_EQ(records[1].Get("Method").ToText(), "GET");
}

TEST_F(VoucherServiceTest, AnUntrustedCertificateFailsTheCall) {
  UseService(sandbox->URL, {"", 3000, 10000});
  std::string response = "untouched";
  EXPECT_FALSE(api->Evaluate(CheckRequest("GIFT50", "60"), response));
  EXPECT_EQ(response, "untouched");
  const std::string line = LastLogLine();
  EXPECT_NE(line.find("[TDovraVoucherAPI.Evaluate] Error : "), std::string::npos) << line;
  EXPECT_NE(line.find("certificate"), std::string::npos) << line;
  EXPECT_NE(line.find(sandbox->URL + "API/EvaluateVoucher"), std::string::npos) << line;
  EXPECT_TRUE(sandbox->Records().empty()) << "nothing may reach an unverified server";
}

TEST_F(VoucherServiceTest, AClosedPortFailsQuickly) {
  int port = 0;
  {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    close(s);  // bound but never listening: the port is closed
  }
  const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/";
  UseService(url, {sandbox->CertFile(), 3000, 10000});
  std::string response = "untouched";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(api->Redeem(CheckRequest("GIFT50", "60"), response));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(response, "untouched");
  const std::string line = LastLogLine();
  EXPECT_NE(line.find("[TDovraVoucherAPI.Redeem] Error : "), std::string::npos) << line;
  EXPECT_NE(line.find(url + "API/RedeemVoucher"), std::string::npos) << line;
}

// A sandbox told to fail each operation its own way.
class FailingServiceTest : public VoucherServiceTest {
 protected:
  std::vector<std::string> SandboxArgs() const override {
    return {"--fail",    "evaluate:500", "--html", "redeem",
            "--garbage", "reverse",      "--html", "status:503"};
  }
};

TEST_F(FailingServiceTest, Http500IsAFailedCallWithStatusAndBodyLogged) {
  std::string response = "untouched";
  EXPECT_FALSE(api->Evaluate(CheckRequest("GIFT50", "60"), response));
  EXPECT_EQ(response, "untouched");
  ExpectLastLogLineEndsWith(
      "[TDovraVoucherAPI.Evaluate] Error : HTTP 500: {\"Success\":false,\"ErrorMessage\":"
      "\"Simulated failure 500 for evaluate\"}");
}

TEST_F(FailingServiceTest, HtmlPagesPassAsTextWithTheirStatusDecidingTheResult) {
  std::string response;
  ASSERT_TRUE(api->Redeem(CheckRequest("GIFT50", "60"), response));
  EXPECT_EQ(response.rfind("<!DOCTYPE html>\n<html>", 0), 0u) << response;
  ExpectLastLogLineEndsWith("[TDovraVoucherAPI.Redeem] Response : " + AsLogged(response));

  const std::string page = response;
  response = "untouched";
  EXPECT_FALSE(api->VoucherStatus("{\"VoucherCode\":\"GIFT50\"}", response));
  EXPECT_EQ(response, "untouched");
  ExpectLastLogLineEndsWith("[TDovraVoucherAPI.VoucherStatus] Error : HTTP 503: " + AsLogged(page));
}

TEST_F(FailingServiceTest, GarbageComesBackUnread) {
  std::string response;
  ASSERT_TRUE(api->Reverse("{\"VoucherReference\":\"DVR-00000001\"}", response));
  static const char bytes[] = "\x7f\xfe{\"Success\":tru\0\xc3\x28 ]]";
  const std::string garbage(bytes, sizeof bytes - 1);
  EXPECT_EQ(response, garbage) << "every byte, the zero byte included";
  EXPECT_TRUE(ParseJSONDocument(response).IsEmpty());
  ExpectLastLogLineEndsWith("[TDovraVoucherAPI.Reverse] Response : " + AsLogged(response));
}

class SlowServiceTest : public VoucherServiceTest {
 protected:
  std::vector<std::string> SandboxArgs() const override { return {"--delay-ms", "4000"}; }
};

TEST_F(SlowServiceTest, ATimeOutEndsTheCallWithinItsLimit) {
  UseService(sandbox->URL, {sandbox->CertFile(), 3000, 700});
  std::string response = "untouched";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(api->Evaluate(CheckRequest("GIFT50", "60"), response));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(600));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  EXPECT_EQ(response, "untouched");
  const std::string line = LastLogLine();
  EXPECT_NE(line.find("[TDovraVoucherAPI.Evaluate] Error : "), std::string::npos) << line;
  EXPECT_NE(line.find("timed out"), std::string::npos) << line;
}

// sarn-till's voucher command: the service's answer printed whatever its status, and an exit
// code saying what the service answered (0 "Success": true, 3 false, 1 no voucher answer at all).
TEST(TillVoucherCommand, PrintsTheAnswerAndExitsByWhatTheServiceSaid) {
  const std::string check = DOVRA_SOURCE_DIR "/examples/check.json";
  const fs::path unknown = LogFolder() / "unknown-code.json";
  {
    std::string request = ReadFile(check);
    const size_t at = request.find("WELCOME10");
    ASSERT_NE(at, std::string::npos) << request;
    std::ofstream(unknown, std::ios::binary) << request.replace(at, 9, "NO-SUCH-CODE");
  }
  TSandbox sandbox;
  TSandbox failing({"--fail", "redeem:500", "--html", "reverse:503"});
  const struct {
    const char* Name;
    const TSandbox* Service;
    bool Trusted;
    std::vector<std::string> Command;
    int Exit;
    std::string Output;  // after the "voucher service:" line; empty: not compared
    std::string Sent;    // the body the service received; empty: the request file's
  } cases[] = {
      {"evaluated",
       &sandbox,
       true,
       {"evaluate", "--request", check},
       0,
       "result: true\nanswer: HTTP 200\n{\"Success\":true,\"DisplayName\":\"Welcome 10.00 "
       "off\",\"DiscountAmount\":10}\n",
       ""},
      {"unknown code",
       &sandbox,
       true,
       {"evaluate", "--request", unknown.string()},
       3,
       "result: true\nanswer: HTTP 200\n{\"Success\":false,\"ErrorMessage\":\"Unknown voucher "
       "code\"}\n",
       ""},
      {"status by code",
       &sandbox,
       true,
       {"status", "--code", "GIFT50"},
       0,
       "",
       "{\"VoucherCode\":\"GIFT50\"}"},
      {"untrusted certificate",
       &sandbox,
       false,
       {"evaluate", "--request", check},
       1,
       "result: false\nanswer: none\n",
       "-"},
      {"HTTP 500",
       &failing,
       true,
       {"redeem", "--request", check},
       3,
       "result: false\nanswer: HTTP 500\n{\"Success\":false,\"ErrorMessage\":\"Simulated "
       "failure 500 for redeem\"}\n",
       ""},
      {"HTML page with 503",
       &failing,
       true,
       {"reverse", "--reference", "DVR-00000001", "--force"},
       1,
       "",
       "{\"VoucherReference\":\"DVR-00000001\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::string> args;
    if (c.Trusted) args = {"--ca-file", c.Service->CertFile()};
    args.emplace_back("voucher");
    args.insert(args.end(), c.Command.begin(), c.Command.end());
    const size_t before = c.Service->Records().size();
    TChildProcess till;
    std::string error, output;
    ASSERT_TRUE(till.Start(SARN_TILL_PROGRAM, args,
                           {"DOVRA_BASE_URL=" + c.Service->URL, "QT_QPA_PLATFORM=offscreen"},
                           error))
        << error;
    EXPECT_EQ(till.ReadAllAndWait(output, 30000), c.Exit) << output;
    const std::string first = "voucher service: " + c.Service->URL + "\n";
    ASSERT_EQ(output.rfind(first, 0), 0u) << output;
    if (!c.Output.empty()) {
      EXPECT_EQ(output.substr(first.size()), c.Output);
    }
    const std::vector<TJSONValue> records = c.Service->Records();
    if (c.Sent == "-") {
      EXPECT_EQ(records.size(), before) << "nothing reaches an untrusted service";
      continue;
    }
    ASSERT_EQ(records.size(), before + 1);
    EXPECT_EQ(records.back().Get("Body").ToText(),
              c.Sent.empty() ? ReadFile(c.Command.back()) : c.Sent);
    if (c.Exit == 1 && c.Trusted) {
      EXPECT_NE(output.find("answer: HTTP 503\n<!DOCTYPE html>"), std::string::npos) << output;
    }
  }
}

}  // namespace
