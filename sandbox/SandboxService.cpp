#include "sandbox/SandboxService.h"

#include <openssl/evp.h>

#include <chrono>
#include <thread>
#include <utility>

#include "lib/common/AsciiCase.h"
#include "lib/json/clsJSONDocument.h"
#include "module/core/modPartnerAccount.h"
#include "sandbox/SandboxJSON.h"
#include "sandbox/SandboxOperations.h"
#include "sandbox/SandboxReplies.h"

namespace {

std::string Base64(const std::string& in) {
  // Four characters for every three bytes begun, and the terminating NUL the call writes.
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(in.data()),
                                      static_cast<int>(in.size()));
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

// Whether header lets in the partner account the module is built with. The scheme is
// case-insensitive, the token is not.
bool PartnerAuthorized(const std::string& header) {
  static const std::string expected =
      "basic " + Base64(std::string(DOVRA_PARTNER_USER_TEXT) + ":" + DOVRA_PARTNER_API_KEY_TEXT);
  return header.size() == expected.size() && LowerAscii(header.substr(0, 6)) == "basic " &&
         header.substr(6) == expected.substr(6);
}

}  // namespace

TSandboxService::TSandboxService(TSandboxOptions options)
    : FOptions(std::move(options)),
      FBook(FOptions.DataDir, FOptions.VoucherFile),
      FFaults(FOptions) {}

bool TSandboxService::Open(std::string& error) {
  return FBook.Open(error) && FRecord.Open(FOptions.RecordFile, error);
}

bool TSandboxService::OpenForListing(std::string& error) { return FBook.OpenForListing(error); }

std::string TSandboxService::Listing(bool json) const { return FBook.Listing(json); }

TSandboxReply TSandboxService::Handle(const TSandboxRequest& request) {
  const std::string operation = OperationName(request.Path);
  TSandboxReply reply;
  bool faulty = true;
  {
    std::lock_guard<std::mutex> lock(FLock);
    faulty = FFaults.Applies(operation);
    reply = Answer(request, operation, faulty);
    std::string reference;
    if (operation == "redeem" || operation == "reverse") {
      const TJSONValue answer = ParseJSONDocument(reply.Body);
      if (const TJSONValue* r =
              answer.IsDocument() ? TextMember(answer, "VoucherReference") : nullptr)
        reference = r->AsText();
    }
    if (faulty) FFaults.Spoil(operation, reply);
    FRecord.Write(operation.empty() ? std::string("unknown") : operation, request, reply,
                  reference);
  }
  // Outside the lock: a slow operation must not hold up the others.
  if (const int ms = faulty ? FFaults.DelayMs(operation) : 0; ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return reply;
}

TSandboxReply TSandboxService::Answer(const TSandboxRequest& request, const std::string& operation,
                                      bool faulty) {
  const std::string& path = request.Path;
  const TSandboxRoute* route = path.rfind("/API/", 0) == 0 ? FindRoute(path) : nullptr;
  if (!route) return Refusal(404, "No such operation: " + path);
  if (request.Method != "POST") return Refusal(405, "Use POST for " + path);
  if (!PartnerAuthorized(request.Authorization))
    return Refusal(401, "Unknown partner or wrong API key");
  if (faulty)
    if (std::optional<TSandboxReply> instead = FFaults.Instead(operation)) return *instead;

  const TJSONValue body = ParseJSONDocument(request.Body);
  if (!body.Document() || !body.Document()->IsObject())
    return Refusal(400, "The request body is not a JSON object");
  return route->Answer(FBook, body, request.Body);
}
