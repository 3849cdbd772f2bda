// What passes between the HTTP server and the sandbox's service: a request as far as the service
// looks at it, and the reply it hands back with the way it is to reach the till.
#pragma once

#include <string>

// How an answer reaches the till: whole, never (the connection is closed after the service
// acted), or half (status line, headers and half the body, then a connection reset).
enum class TSandboxDelivery { Whole, Lost, Reset };

// What the server sends back.
struct TSandboxReply {
  int Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  TSandboxDelivery Delivery = TSandboxDelivery::Whole;
};

// One incoming request, as far as the service looks at it.
struct TSandboxRequest {
  std::string Method;
  std::string Path;
  std::string ContentType;
  std::string Authorization;
  std::string Body;
};
