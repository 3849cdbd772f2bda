#include "host/contract/TRestClient.h"

#include <curl/curl.h>

#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "intf/clsInterfacedObject.h"
#include "intf/intfRestClient.h"
#include "lib/common/AsciiCase.h"

namespace {

struct TCurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct TCurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct TCurlURLDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using TCurlEasy = std::unique_ptr<CURL, TCurlEasyDeleter>;
using TCurlURL = std::unique_ptr<CURLU, TCurlURLDeleter>;
using TCurlList = std::unique_ptr<curl_slist, TCurlListDeleter>;

void EnsureCurlGlobal() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The answer body as it arrives, up to a bound.
struct TAnswerSink {
  std::string Body;
  size_t Limit = 0;
  bool Exceeded = false;
};

size_t AppendBody(char* data, size_t size, size_t count, void* target) {
  auto* sink = static_cast<TAnswerSink*>(target);
  const size_t n = size * count;
  if (n > sink->Limit - sink->Body.size()) {
    sink->Exceeded = true;
    return CURL_WRITEFUNC_ERROR;  // stops the transfer here
  }
  sink->Body.append(data, n);
  return n;
}

// Adds one header line; a failed allocation leaves the list as it was and is reported.
bool AddHeaderLine(TCurlList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return false;
  (void)list.release();
  list.reset(grown);
  return true;
}

// One "/" between base and path, whatever each side brings.
std::string JoinURL(const std::string& base, const std::string& path) {
  if (path.empty()) return base;
  const bool baseSlash = !base.empty() && base.back() == '/';
  const bool pathSlash = path.front() == '/';
  if (baseSlash && pathSlash) return base + path.substr(1);
  if (!baseSlash && !pathSlash) return base + "/" + path;
  return base + path;
}

const char* MethodName(int32_t method) {
  switch (method) {
    case 0:
      return "POST";
    case 1:
      return "GET";
    case 2:
      return "PUT";
    case 3:
      return "DELETE";
    default:
      return nullptr;
  }
}

class TRestClient : public TImplements<TInterfacedObject, IRestClient> {
 public:
  explicit TRestClient(TRestClientOptions options) : FOptions(std::move(options)) {}

  void SetBaseURL(const std::string& url) override { FBaseURL = url; }
  void SetTimeout(int32_t milliseconds) override { FTimeoutMs = milliseconds; }
  void SetContentType(const std::string& contentType) override { FContentType = contentType; }
  void SetCredentials(const std::string& userName, const std::string& apiKey) override {
    FUserName = userName;
    FAPIKey = apiKey;
  }
  void AddHeader(const std::string& name, const std::string& value) override {
    FHeaders.emplace_back(name, value);
  }
  void ClearHeaders() override { FHeaders.clear(); }

  bool SendRequest(const std::string& path, const std::string& body, std::string& response,
                   std::string& error, int32_t timeoutMs, int32_t method) override {
    // response and error may be one variable: compute the outcome in locals and assign exactly
    // one of them at the end.
    std::string received;
    std::string failure;
    TRestExchange exchange;
    const bool ok = Perform(path, body, timeoutMs, method, received, failure, exchange);
    if (FOptions.Observer) {
      exchange.Error = ok ? std::string() : failure;
      FOptions.Observer(exchange);
    }
    if (ok)
      response = std::move(received);
    else
      error = std::move(failure);
    return ok;
  }

 private:
  bool Perform(const std::string& path, const std::string& body, int32_t timeoutMs, int32_t method,
               std::string& received, std::string& failure, TRestExchange& exchange) {
    const std::string url = JoinURL(FBaseURL, path);
    exchange.URL = url;
    const char* methodName = MethodName(method);
    if (!methodName) {
      failure = "unsupported request method " + std::to_string(method) + " for " + url;
      return false;
    }
    const bool secure = StartsWithAscii(url, "https://");
    if (!secure && !(FOptions.AllowPlainHttp && StartsWithAscii(url, "http://"))) {
      // Checked before anything is sent: the credentials must never leave unencrypted.
      failure = StartsWithAscii(url, "http://")
                    ? "refused to send to " + url +
                          ": plain http:// would carry the credentials unencrypted (use https://, "
                          "or --allow-plain-http for a local test service)"
                    : "refused to send to " + url + ": the address must begin with https://";
      return false;
    }
    EnsureCurlGlobal();
    // The address as the transfer library itself reads it, so that the host checked is the one
    // it connects to.
    TCurlURL parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
      failure = "refused to send to " + url + ": it is not a valid address";
      return false;
    }
    if (!secure) {
      char* rawHost = nullptr;
      std::string host;
      if (curl_url_get(parsed.get(), CURLUPART_HOST, &rawHost, 0) == CURLUE_OK && rawHost)
        host = rawHost;
      curl_free(rawHost);
      if (!IsLoopbackHost(host)) {
        failure = "refused to send to " + url +
                  ": plain http:// is allowed to loopback addresses " +
                  "only (127.0.0.0/8, ::1), not to " + (host.empty() ? "this address" : host);
        return false;
      }
    }
    TCurlEasy curl(curl_easy_init());
    if (!curl) {
      failure = "could not create a transfer handle for " + url;
      return false;
    }
    CURL* h = curl.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_CURLU, parsed.get());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http");
    // A proxy would read plain text on its way; a loopback service needs none.
    if (!secure) curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // Blocking calls on the user-interface thread; signals would disturb the host.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    // CAINFO adds the given file; the system certificate folder stays in use beside it.
    if (!FOptions.CaFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, FOptions.CaFile.c_str());

    curl_easy_setopt(
        h, CURLOPT_CONNECTTIMEOUT_MS,
        static_cast<long>(FOptions.ConnectTimeoutMs > 0 ? FOptions.ConnectTimeoutMs : 5000));
    int32_t total = FTimeoutMs > 0 ? FTimeoutMs : FOptions.TimeoutMs;
    if (timeoutMs > 0) total = timeoutMs;
    if (total <= 0) total = 20000;
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(total));

    if (!FUserName.empty() || !FAPIKey.empty()) {
      curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(h, CURLOPT_USERNAME, FUserName.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, FAPIKey.c_str());
    }

    TCurlList headers;
    bool headersOk = true;
    if (method != 1 && !FContentType.empty())
      headersOk = AddHeaderLine(headers, "Content-Type: " + FContentType);
    // No "Expect: 100-continue" round trip: bodies are small and some services never answer it.
    headersOk = headersOk && AddHeaderLine(headers, "Expect:");
    for (const auto& [name, value] : FHeaders)
      headersOk = headersOk && AddHeaderLine(headers, name + ": " + value);
    if (!headersOk) {
      failure = "could not build the request headers for " + url;
      return false;
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    if (method == 1) {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
      // The size is given explicitly so the body goes out byte for byte, NULs included.
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
      if (method != 0) curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, methodName);
    }

    TAnswerSink answer;
    answer.Limit = FOptions.MaxAnswerBytes;
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
    // An announced length beyond the bound is refused before any of the body is read (0 would
    // mean no bound to the library; the sink still holds an empty answer to it).
    if (answer.Limit > 0 &&
        answer.Limit <= static_cast<size_t>(std::numeric_limits<curl_off_t>::max()))
      curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(answer.Limit));

    const CURLcode code = curl_easy_perform(h);
    if (answer.Exceeded || code == CURLE_FILESIZE_EXCEEDED) {
      failure = "answer from " + url + " exceeds " + std::to_string(answer.Limit) + " bytes";
      return false;
    }
    if (code != CURLE_OK) {
      failure = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(code));
      failure += " (" + std::string(methodName) + " " + url + ")";
      return false;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    exchange.Answered = true;
    exchange.Status = status;
    exchange.Body = answer.Body;
    if (status < 200 || status > 299) {
      failure = "HTTP " + std::to_string(status) + ": " + answer.Body;
      return false;
    }
    received = std::move(answer.Body);
    return true;
  }

  TRestClientOptions FOptions;
  std::string FBaseURL;
  int32_t FTimeoutMs = 0;
  std::string FContentType;
  std::string FUserName;
  std::string FAPIKey;
  std::vector<std::pair<std::string, std::string>> FHeaders;
};

class TRestClientFactory : public TImplements<TInterfacedObject, IServiceFactory> {
 public:
  explicit TRestClientFactory(TRestClientOptions options) : FOptions(std::move(options)) {}
  void CreateInstance(TIntfPtr<IInterface>& instance) override {
    TIntfPtr<TRestClient> client = MakeObject<TRestClient>(FOptions);
    instance = TIntfPtr<IInterface>::Share(client->BaseInterface());
  }

 private:
  TRestClientOptions FOptions;
};

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  if (host == "[::1]" || host == "::1") return true;
  // 127.x.y.z, four decimal parts of at most three digits each, none above 255.
  int parts = 0, first = -1;
  size_t i = 0;
  while (i < host.size()) {
    size_t digits = 0;
    int value = 0;
    for (; i < host.size() && host[i] >= '0' && host[i] <= '9' && digits < 4; ++i, ++digits)
      value = value * 10 + (host[i] - '0');
    if (digits == 0 || digits > 3 || value > 255) return false;
    if (parts++ == 0) first = value;
    if (i == host.size()) break;
    if (host[i] != '.' || parts == 4) return false;
    ++i;
    if (i == host.size()) return false;
  }
  return parts == 4 && first == 127;
}

void RegisterRestClient(IServiceRegistry* registry, const TRestClientOptions& options) {
  if (!registry) return;
  TIntfPtr<TRestClientFactory> factory = MakeObject<TRestClientFactory>(options);
  registry->RegisterFactory(IRestClient::IID, factory.Get());
}
