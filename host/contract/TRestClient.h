// sarn-till's REST client service (IRestClient on libcurl), registered in the till's registry.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "intf/intfDI.h"

// What one request came to, as the till saw it.
struct TRestExchange {
  std::string URL;        // base and path joined
  bool Answered = false;  // an HTTP answer came, whatever its status
  long Status = 0;        // its status
  std::string Body;       // its body (within the bound)
  std::string Error;      // why the request failed (refused, no answer, a status outside 2xx)
};

struct TRestClientOptions {
  std::string CaFile;               // PEM file of extra trusted certificates; empty: system store
  int32_t ConnectTimeoutMs = 5000;  // connect time-out
  int32_t TimeoutMs = 20000;        // total time-out per request
  // Plain http:// sends the partner's credentials in the clear; only tests against a local
  // listener may allow it, and then only to a loopback address (127.0.0.0/8, ::1) named as such.
  // Without it only https:// addresses are used.
  bool AllowPlainHttp = false;
  // Largest answer body taken, in bytes: a larger one fails the request and its transfer stops
  // as soon as the bound is passed, so a misbehaving service cannot fill the till's memory.
  size_t MaxAnswerBytes = size_t{1} << 20;
  // Called after every request with its outcome; empty: none.
  std::function<void(const TRestExchange&)> Observer = nullptr;
};

// Whether host (as the URL gives it: "127.0.0.1", "[::1]") is a loopback address: 127.0.0.0/8 in
// dotted decimal, or ::1. Names are not, whatever they resolve to.
bool IsLoopbackHost(const std::string& host);

// Registers a factory for IRestClient (unnamed): every resolve yields a fresh client.
void RegisterRestClient(IServiceRegistry* registry, const TRestClientOptions& options);
