#include "module/client/implDovraVoucherAPI.h"

#include "intf/intfRestClient.h"
#include "lib/modulelog/ModuleLogLines.h"
#include "lib/version/DovraVersion.h"
#include "lib/voucher/DovraMessages.h"
#include "module/core/modConstants.h"
#include "module/core/modRegistry.h"
#include "module/log/modLog.h"

namespace {

// The reversals sent since the module loaded, and those confirmed; every call arrives on the
// host's user-interface thread.
struct TReversalCount {
  int32_t Sent = 0;
  int32_t Confirmed = 0;
};
TReversalCount gReversals;

}  // namespace

bool TDovraVoucherAPI::Send(const char* path, const char* responseFormat, const char* errorFormat,
                            const std::string& request, std::string& response, bool& wentOut) {
  wentOut = false;
  // A refused override leaves no address: nothing may go out, not even to production.
  if (const std::string& unusable = VoucherServiceUnusable(); !unusable.empty()) {
    ModLog::Info(errorFormat, unusable);
    return false;
  }
  TIntfPtr<IRestClient> rest;
  {
    TIntfPtr<IServiceRegistry> registry = ModuleRegistry();
    rest = ResolveAs<IRestClient>(registry.Get());
  }
  // Response and error share one variable: whichever of the two the REST client fills, the
  // text is what gets logged or handed back.
  std::string shared;
  if (!rest) {
    // Without a transport the call cannot go out; say so in the error line instead of an
    // empty text that would look like a silent service.
    ModLog::Info(errorFormat, std::string(NoRestClientText));
    return false;
  }
  rest->SetBaseURL(VoucherServiceBaseURL());
  rest->SetContentType(DovraVoucherContentType);
  rest->SetCredentials(DovraVoucherUserName, DovraVoucherAPIKey);
  const std::string resource = path;
  wentOut = true;
  if (rest->SendRequest(resource, request, shared, shared, -1, 0)) {
    response = shared;
    ModLog::Info(responseFormat, shared);
    return true;
  }
  ModLog::Info(errorFormat, shared);
  return false;
}

bool TDovraVoucherAPI::Evaluate(const std::string& request, std::string& response) {
  bool wentOut = false;
  return Send(DovraEvaluatePath, "[TDovraVoucherAPI.Evaluate] Response : %",
              "[TDovraVoucherAPI.Evaluate] Error : %", request, response, wentOut);
}

bool TDovraVoucherAPI::Redeem(const std::string& request, std::string& response) {
  bool wentOut = false;
  return Send(DovraRedeemPath, JournalFormat(TJournalLine::RedeemResponse),
              "[TDovraVoucherAPI.Redeem] Error : %", request, response, wentOut);
}

bool TDovraVoucherAPI::Reverse(const std::string& request, std::string& response) {
  bool wentOut = false;
  const bool answered = Send(DovraReversePath, "[TDovraVoucherAPI.Reverse] Response : %",
                             "[TDovraVoucherAPI.Reverse] Error : %", request, response, wentOut);
  gReversals.Sent += wentOut;
  gReversals.Confirmed +=
      answered && ReversalConfirmed(response, ReversalRequestReference(request));
  return answered;
}

bool TDovraVoucherAPI::VoucherStatus(const std::string& request, std::string& response) {
  bool wentOut = false;
  return Send(DovraStatusPath, "[TDovraVoucherAPI.VoucherStatus] Response : %",
              "[TDovraVoucherAPI.VoucherStatus] Error : %", request, response, wentOut);
}

void TDovraVoucherAPI::GetVoucherService(std::string& url, std::string& reason) {
  url = VoucherServiceBaseURL();
  reason = VoucherServiceUnusable();
}

bool TDovraVoucherAPI::GetLogFile(std::string& path, std::string& problem) {
  return ModLog::LogFile(path, problem);
}

void TDovraVoucherAPI::GetReversals(int32_t& sent, int32_t& confirmed) {
  sent = gReversals.Sent;
  confirmed = gReversals.Confirmed;
}

void TDovraVoucherAPI::GetModuleVersion(std::string& version) { version = kDovraVersion; }
