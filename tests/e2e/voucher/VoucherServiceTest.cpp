// The module's voucher client through the till's libcurl REST client against dovra-sandbox, over
// loopback HTTPS: every outcome a cashier can meet, as boolean, response text and log line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "ChildProcess.h"
#include "RestClient.h"
#include "TServiceRegistry.h"
#include "clsJSONDocument.h"
#include "implDovraVoucherAPI.h"
#include "intfDovraVoucherAPI.h"
#include "intfRestClient.h"
#include "modConstants.h"
#include "modLog.h"
#include "modRegistry.h"

namespace fs = std::filesystem;

namespace {

const char* const Key = "7e3b9a50d2c84f16a0b5e9c31d6f7a28";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "dovra-e2e-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return pattern;
}

// One process-wide module log in a folder of its own; entries are written through at once.
fs::path LogFolder() {
  static const fs::path folder = [] {
    fs::path dir = MakeTempDir();
    ModLog::StartModuleLog((dir / "DovraVoucherPayment.smd").string());
    return dir;
  }();
  return folder;
}

// The last line the module log holds.
std::string LastLogLine() {
  std::string last;
  for (const auto& entry : fs::directory_iterator(LogFolder())) {
    if (entry.path().extension() != ".log") continue;
    std::string text = ReadFile(entry.path());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    last = text.substr(text.find_last_of('\n') + 1);
  }
  return last;
}

// The log writes control bytes as blanks and a text up to its first zero byte.
std::string AsLogged(std::string text) {
  if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  return text;
}

void ExpectLastLogLineEndsWith(const std::string& expected) {
  const std::string line = LastLogLine();
  ASSERT_GE(line.size(), expected.size()) << line;
  EXPECT_EQ(line.substr(line.size() - expected.size()), expected);
}

// A running dovra-sandbox in its own data folder.
struct TSandbox {
  TChildProcess Process;
  fs::path Dir;
  std::string URL;

  explicit TSandbox(const std::vector<std::string>& extra = {}) : Dir(MakeTempDir()) {
    std::vector<std::string> args{"--port",     "0",        "--data",
                                  Dir.string(), "--record", (Dir / "record.jsonl").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string error;
    // DOVRA_SANDBOX may name another build of the sandbox (a sanitizer build, for instance).
    const char* program = std::getenv("DOVRA_SANDBOX");
    if (!program || !*program) program = DOVRA_SANDBOX_PROGRAM;
    if (!Process.Start(program, args, {}, error)) throw std::runtime_error(error);
    std::string line;
    if (!Process.ReadLine(line, 15000))
      throw std::runtime_error("dovra-sandbox printed no first line within 15 s");
    const std::string lead = "listening on ";
    if (line.rfind(lead, 0) != 0) throw std::runtime_error("unexpected first line: " + line);
    URL = line.substr(lead.size());
  }
  ~TSandbox() {
    Process.Stop();
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string CertFile() const { return (Dir / "cert.pem").string(); }
  std::vector<TJSONValue> Records() const {
    std::vector<TJSONValue> lines;
    std::ifstream in(Dir / "record.jsonl", std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(ParseJSONDocument(line));
    return lines;
  }
};

// Points the module at url and gives it a registry with the till's REST client.
void UseService(const std::string& url, const TRestClientOptions& options) {
  ::setenv("DOVRA_BASE_URL", url.c_str(), 1);
  LoadVoucherServiceAddress();
  TIntfPtr<IServiceRegistry> registry = NewServiceRegistry();
  RegisterRestClient(registry.Get(), options);
  ModuleRegistrySlot() = registry;
}

TIntfPtr<IDovraVoucherAPI> NewClient() {
  TIntfPtr<IInterface> base;
  MakeObject<TDovraVoucherAPIFactory>()->CreateInstance(base);
  return base.As<IDovraVoucherAPI>();
}

std::string CheckRequest(const std::string& code, const std::string& total) {
  return "{\"VoucherCode\":\"" + code +
         "\",\"StoreReference\":7,\"User\":{\"Reference\":\"0612345678\",\"CreatedOn\":"
         "\"2026-12-09T10:15:00\"},\"VoucherOrder\":{\"OrderDate\":\"2026-12-09T10:15:00\","
         "\"TotalPrice\":" +
         total + ",\"Items\":[{\"Code\":\"CAP-01\",\"Quantity\":2,\"UnitPrice\":12.5}]}}";
}

std::string Member(const std::string& json, const char* name) {
  const TJSONValue doc = ParseJSONDocument(json);
  const TJSONValue* v = doc.Document() ? doc.Find(name) : nullptr;
  if (!v) return "<absent>";
  return v->Kind() == TJSONKind::Text ? v->AsText() : v->ToJSON();
}

// Each test gets a sandbox of its own, so no test sees another's redemptions or records.
class VoucherServiceTest : public ::testing::Test {
 protected:
  virtual std::vector<std::string> SandboxArgs() const { return {}; }
  void SetUp() override {
    LogFolder();
    sandbox.emplace(SandboxArgs());
    UseService(sandbox->URL, {sandbox->CertFile(), 3000, 10000});
    api = NewClient();
    ASSERT_TRUE(api);
  }
  void TearDown() override {
    api = nullptr;
    ModuleRegistrySlot() = nullptr;
    sandbox.reset();
  }
  std::optional<TSandbox> sandbox;
  TIntfPtr<IDovraVoucherAPI> api;
};

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
  const std::string basic = "Basic dmVsbW9yOjdlM2I5YTUwZDJjODRmMTZhMGI1ZTljMzFkNmY3YTI4";
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
  rest->SetCredentials("velmor", std::string(Key).substr(1) + "0");
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
  rest->SetCredentials("velmor", Key);

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

TEST_F(VoucherServiceTest, TheTillsVoucherCommandReachesTheSandbox) {
  TChildProcess till;
  std::string error;
  ASSERT_TRUE(till.Start(SARN_TILL_PROGRAM,
                         {"--ca-file", sandbox->CertFile(), "voucher", "evaluate", "--request",
                          DOVRA_SOURCE_DIR "/examples/check.json"},
                         {"DOVRA_BASE_URL=" + sandbox->URL, "QT_QPA_PLATFORM=offscreen"}, error))
      << error;
  std::string output;
  EXPECT_EQ(till.ReadAllAndWait(output, 30000), 0) << output;
  EXPECT_EQ(output,
            "result: true\n{\"Success\":true,\"DisplayName\":\"Welcome 10.00 off\","
            "\"DiscountAmount\":10}\n");
  ASSERT_EQ(sandbox->Records().size(), 1u);
  std::string sent = ReadFile(DOVRA_SOURCE_DIR "/examples/check.json");
  EXPECT_EQ(sandbox->Records()[0].Get("Body").ToText(), sent);

  // A refused call: the command fails with exit code 1.
  TChildProcess failing;
  ASSERT_TRUE(
      failing.Start(SARN_TILL_PROGRAM,
                    {"voucher", "evaluate", "--request", DOVRA_SOURCE_DIR "/examples/check.json"},
                    {"DOVRA_BASE_URL=" + sandbox->URL, "QT_QPA_PLATFORM=offscreen"}, error))
      << error;
  EXPECT_EQ(failing.ReadAllAndWait(output, 30000), 1) << "untrusted certificate: " << output;
  EXPECT_EQ(output, "result: false\n\n");
}

}  // namespace
