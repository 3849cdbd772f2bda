// The sandbox's operations, one function each, and the routes that lead to them.
#pragma once

#include <string>

#include "lib/json/clsJSONDocument.h"
#include "sandbox/SandboxBook.h"
#include "sandbox/SandboxRequest.h"

// One operation's answer from the book to a request let in (right method, known partner) whose
// body is a JSON object; rawBody: that body's bytes as they arrived.
using TSandboxAnswer = TSandboxReply (*)(TSandboxBook& book, const TJSONValue& body,
                                         const std::string& rawBody);

struct TSandboxRoute {
  const char* Operation;  // its short name, as the switches and the record call it
  TSandboxAnswer Answer;
};

// The route a request path names by its last part, in any letter case: the service's operation
// name ("RedeemVoucher") or the short one ("redeem"). A command-line word is read the same way.
// nullptr when it names none.
const TSandboxRoute* FindRoute(const std::string& path);
