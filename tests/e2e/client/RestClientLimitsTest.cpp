// The till's REST client against a plain local HTTP listener: it keeps credentials off plain
// http:// unless told otherwise, and takes no answer beyond its bound, whatever the service sends;
// the module sends nothing there at all.
#include <httplib.h>

#include <atomic>
#include <thread>

#include "host/contract/ServiceRegistry.h"
#include "intf/intfRestClient.h"
#include "tests/e2e/client/VoucherE2E.h"

namespace {

constexpr size_t MiB = size_t{1} << 20;
constexpr size_t EndlessLimit = 64 * MiB;

// A plain HTTP service on loopback, on a thread of its own, answering as large as it is told.
class TPlainService {
 public:
  TPlainService() {
    FServer.Post("/API/EvaluateVoucher", [this](const httplib::Request&, httplib::Response& res) {
      ++Requests;
      res.set_content(Answer, "application/json");
    });
    FServer.Post(
        "/sized/(\\d+)/(\\d+)", [this](const httplib::Request& req, httplib::Response& res) {
          ++Requests;
          res.status = std::stoi(req.matches[1]);
          res.set_content(std::string(std::stoul(req.matches[2]), 'x'), "application/json");
        });
    // No announced length, and more than any till should take: only the reader can stop it.
    FServer.Post("/endless", [this](const httplib::Request&, httplib::Response& res) {
      ++Requests;
      res.set_chunked_content_provider("application/json", [this](size_t, httplib::DataSink& sink) {
        if (Streamed >= EndlessLimit) {
          sink.done();
          return true;
        }
        static const std::string chunk(64 * 1024, 'x');
        if (!sink.write(chunk.data(), chunk.size())) return false;
        Streamed += chunk.size();
        return true;
      });
    });
    FPort = FServer.bind_to_any_port("127.0.0.1");
    FThread = std::thread([this] { FServer.listen_after_bind(); });
  }
  ~TPlainService() {
    FServer.stop();
    FThread.join();
  }
  std::string URL(const char* scheme = "http://") const {
    return scheme + std::string("127.0.0.1:") + std::to_string(FPort) + "/";
  }

  std::atomic<int> Requests{0};
  std::atomic<size_t> Streamed{0};
  std::string Answer = "{\"Success\":true,\"DisplayName\":\"Plain\",\"DiscountAmount\":1}";

 private:
  httplib::Server FServer;
  int FPort = 0;
  std::thread FThread;
};

TIntfPtr<IRestClient> NewRestClient(const std::string& base, const TRestClientOptions& options) {
  TIntfPtr<IServiceRegistry> registry = NewServiceRegistry();
  RegisterRestClient(registry.Get(), options);
  TIntfPtr<IRestClient> rest = ResolveAs<IRestClient>(registry.Get());
  if (rest) {
    rest->SetBaseURL(base);
    rest->SetContentType("application/json");
    rest->SetCredentials("velmor", Key);
  }
  return rest;
}

TEST(RestClientLimitsTest, PlainHttpIsRefusedBeforeAnythingIsSentUnlessAllowed) {
  TPlainService service;
  const std::string hostPort = service.URL("");
  const std::string plainRefusal =
      ": plain http:// would carry the credentials unencrypted (use https://, or "
      "--allow-plain-http for a local test service)";
  const std::string noScheme = ": the address must begin with https://";
  const std::string notLoopback =
      ": plain http:// is allowed to loopback addresses only (127.0.0.0/8, ::1), not to ";
  const std::string port = hostPort.substr(hostPort.find(':'));
  struct {
    std::string Base;
    bool Allow;
    std::string ErrorAfterURL;  // empty: the call succeeds
  } cases[] = {
      {service.URL(), false, plainRefusal},
      {service.URL("HTTP://"), false, plainRefusal},
      {hostPort, false, noScheme},  // the transfer library would guess http:// for it
      {hostPort, true, noScheme},
      {service.URL(), true, ""},
      // Allowed, but only to a loopback address given as such: a name may resolve anywhere.
      {"http://localhost" + port, true, notLoopback + "localhost"},
      {"http://10.0.0.5" + port, true, notLoopback + "10.0.0.5"},
      {"http://127.0.0.1.example" + port, true, notLoopback + "127.0.0.1.example"},
      {"http://127.0.0.1@10.0.0.5" + port, true, notLoopback + "10.0.0.5"},
  };
  int expectedRequests = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Base + (c.Allow ? " allowed" : " not allowed"));
    TRestClientOptions options;
    options.AllowPlainHttp = c.Allow;
    TIntfPtr<IRestClient> rest = NewRestClient(c.Base, options);
    ASSERT_TRUE(rest);
    std::string response = "untouched", error;
    const bool ok = rest->SendRequest("API/EvaluateVoucher", "{}", response, error, -1, 0);
    EXPECT_EQ(ok, c.ErrorAfterURL.empty());
    if (ok) {
      ++expectedRequests;
      EXPECT_EQ(response, service.Answer);
    } else {
      EXPECT_EQ(error, "refused to send to " + c.Base + "API/EvaluateVoucher" + c.ErrorAfterURL);
      EXPECT_EQ(response, "untouched");
    }
    EXPECT_EQ(service.Requests, expectedRequests) << "a refused address is never contacted";
  }
}

TEST(RestClientLimitsTest, OnlyLoopbackAddressesCountAsLoopback) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true},  {"127.255.255.254", true}, {"[::1]", true},
      {"127.0.0", false},   {"127.0.0.1.5", false},    {"127.0.0.256", false},
      {"128.0.0.1", false}, {"0127.0.0.1", false},     {"localhost", false},
      {"[::2]", false},     {"127.0.0.", false},       {"", false},
  };
  for (const auto& [host, loopback] : cases) EXPECT_EQ(IsLoopbackHost(host), loopback) << host;
}

TEST(RestClientLimitsTest, AnAnswerBeyondTheBoundFailsAndIsNotReadToTheEnd) {
  TPlainService service;
  TRestClientOptions options;
  options.AllowPlainHttp = true;
  TIntfPtr<IRestClient> rest = NewRestClient(service.URL(), options);
  ASSERT_TRUE(rest);
  struct {
    std::string Path;
    bool Ok;
  } cases[] = {
      {"sized/200/" + std::to_string(MiB), true},       // exactly the bound
      {"sized/200/" + std::to_string(2 * MiB), false},  // announced length beyond it
      {"sized/500/" + std::to_string(2 * MiB), false},  // error answers are bounded too
      {"endless", false},                               // no length, no end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    std::string response, error;
    const bool ok = rest->SendRequest(c.Path, "{}", response, error, -1, 0);
    EXPECT_EQ(ok, c.Ok) << error;
    if (ok) {
      EXPECT_EQ(response.size(), MiB);
    } else {
      EXPECT_EQ(error, "answer from " + service.URL() + c.Path + " exceeds 1048576 bytes");
      EXPECT_TRUE(response.empty());
    }
  }
  // Socket buffers hold a few MiB at most; a reader taking everything would have drained all.
  EXPECT_LT(service.Streamed, EndlessLimit / 4) << "the transfer stops once past the bound";
}

// The till can be told to allow plain http://, but the module itself takes no such override:
// the partner credentials never reach a plain service, whatever the till allows.
TEST(RestClientLimitsTest, APlainHttpOverrideNeverReachesTheService) {
  TPlainService service;
  const std::string request = DOVRA_SOURCE_DIR "/examples/check.json";
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, std::vector<std::string>{"--allow-plain-http"}}) {
    SCOPED_TRACE(options.empty() ? "plain http not allowed" : "plain http allowed");
    std::vector<std::string> args = options;
    for (const char* a : {"voucher", "evaluate", "--request"}) args.emplace_back(a);
    args.push_back(request);
    TChildProcess till;
    std::string error, output;
    ASSERT_TRUE(till.Start(SARN_TILL_PROGRAM, args,
                           {"DOVRA_BASE_URL=" + service.URL(), "QT_QPA_PLATFORM=offscreen"}, error))
        << error;
    EXPECT_EQ(till.ReadAllAndWait(output, 30000), 1) << output;
    // The module refused the override, as the till says: it calls no service at all.
    EXPECT_EQ(output, "voucher service: none\nresult: false\nanswer: none\n");
    EXPECT_EQ(service.Requests, 0);
  }
}

}  // namespace
