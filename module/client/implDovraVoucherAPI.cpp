#include "implDovraVoucherAPI.h"

#include "intfRestClient.h"
#include "modConstants.h"
#include "modLog.h"
#include "modRegistry.h"

bool TDovraVoucherAPI::Send(const char* path, const char* responseFormat, const char* errorFormat,
                            const std::string& request, std::string& response) {
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
  if (rest->SendRequest(resource, request, shared, shared, -1, 0)) {
    response = shared;
    ModLog::Info(responseFormat, shared);
    return true;
  }
  ModLog::Info(errorFormat, shared);
  return false;
}

bool TDovraVoucherAPI::Evaluate(const std::string& request, std::string& response) {
  return Send(DovraEvaluatePath, "[TDovraVoucherAPI.Evaluate] Response : %",
              "[TDovraVoucherAPI.Evaluate] Error : %", request, response);
}

bool TDovraVoucherAPI::Redeem(const std::string& request, std::string& response) {
  return Send(DovraRedeemPath, "[TDovraVoucherAPI.Redeem] Response : %",
              "[TDovraVoucherAPI.Redeem] Error : %", request, response);
}

bool TDovraVoucherAPI::Reverse(const std::string& request, std::string& response) {
  return Send(DovraReversePath, "[TDovraVoucherAPI.Reverse] Response : %",
              "[TDovraVoucherAPI.Reverse] Error : %", request, response);
}

bool TDovraVoucherAPI::VoucherStatus(const std::string& request, std::string& response) {
  return Send(DovraStatusPath, "[TDovraVoucherAPI.VoucherStatus] Response : %",
              "[TDovraVoucherAPI.VoucherStatus] Error : %", request, response);
}
