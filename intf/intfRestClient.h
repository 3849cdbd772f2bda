// REST client service of the host (host unit intfRestClient). One object per resolve; configure
// it completely, then send. Calls block the calling (user-interface) thread.
#pragma once

#include <string>

#include "intf/intfPtr.h"

class IRestClient : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{D1A1C1C4-DFE5-4C6B-8EFA-3A9766677CBA}");
  // 1: base address that request paths are joined to (a trailing "/" and a leading "/" of the
  // path are merged into one).
  virtual void SetBaseURL(const std::string& url) = 0;
  // 2: total time-out of one request in milliseconds; 0 or less: the client's default.
  virtual void SetTimeout(int32_t milliseconds) = 0;
  // 3: content type of request bodies.
  virtual void SetContentType(const std::string& contentType) = 0;
  // 4: user name and key sent as HTTP basic authentication.
  virtual void SetCredentials(const std::string& userName, const std::string& apiKey) = 0;
  // 5: an extra request header for every later request.
  virtual void AddHeader(const std::string& name, const std::string& value) = 0;
  // 6: forget the extra headers.
  virtual void ClearHeaders() = 0;
  // 7: sends body to path. True: response holds the response body (HTTP 2xx). False: error holds
  // a description (HTTP status and body, or the transport's error text). response and error may
  // be one and the same variable. timeoutMs: -1 keeps the time-out of 2; method: 0 POST, 1 GET,
  // 2 PUT, 3 DELETE.
  virtual bool SendRequest(const std::string& path, const std::string& body, std::string& response,
                           std::string& error, int32_t timeoutMs, int32_t method) = 0;

 protected:
  ~IRestClient() = default;
};
