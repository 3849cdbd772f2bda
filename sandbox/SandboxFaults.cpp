#include "sandbox/SandboxFaults.h"

#include "sandbox/SandboxReplies.h"

namespace {

std::string GarbageBody() {
  // Bytes no JSON reader accepts: a NUL, invalid UTF-8 and a broken structure.
  std::string body = "\x7f\xfe{\"Success\":tru";
  body += '\0';
  body += "\xc3\x28 ]]";
  return body;
}

}  // namespace

template <typename T>
T TSandboxFaults::Lookup(const std::map<std::string, T>& map, const std::string& operation,
                         T none) {
  auto it = map.find(operation);
  if (it == map.end()) it = map.find("all");
  return it == map.end() ? none : it->second;
}

bool TSandboxFaults::Applies(const std::string& operation) {
  return !FOptions.FaultsOnce || FRequestsSeen[operation]++ == 0;
}

std::optional<TSandboxReply> TSandboxFaults::Instead(const std::string& operation) const {
  if (const int status = Lookup(FOptions.HtmlStatus, operation, 0)) {
    TSandboxReply reply;
    reply.Status = status;
    reply.ContentType = "text/html; charset=utf-8";
    reply.Body =
        "<!DOCTYPE html>\n<html><head><title>Service unavailable</title></head>"
        "<body><h1>Service unavailable</h1><p>The voucher service is under maintenance."
        "</p></body></html>\n";
    return reply;
  }
  if (const int status = Lookup(FOptions.GarbageStatus, operation, 0)) {
    TSandboxReply reply;
    reply.Status = status;
    reply.ContentType = "application/octet-stream";
    reply.Body = GarbageBody();
    return reply;
  }
  if (const int status = Lookup(FOptions.FailStatus, operation, 0))
    return Refusal(status, "Simulated failure " + std::to_string(status) + " for " + operation);
  return std::nullopt;
}

void TSandboxFaults::Spoil(const std::string& operation, TSandboxReply& reply) const {
  // The act stands as answered; only the body the till reads is replaced.
  auto crafted = FOptions.Crafted.find(operation);
  if (crafted == FOptions.Crafted.end()) crafted = FOptions.Crafted.find("all");
  if (!operation.empty() && crafted != FOptions.Crafted.end()) {
    reply.Status = 200;
    reply.ContentType = "application/json";
    reply.Body = crafted->second;
  }
  reply.Delivery = Lookup(FOptions.Deliveries, operation, TSandboxDelivery::Whole);
}

int TSandboxFaults::DelayMs(const std::string& operation) const {
  return Lookup(FOptions.DelayMs, operation, 0);
}
