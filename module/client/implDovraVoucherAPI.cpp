#include "implDovraVoucherAPI.h"

#include <cstdlib>

#include "intfDovraClient.h"
#include "intfRestClient.h"
#include "modLog.h"
#include "modRegistry.h"

namespace {

std::string& ServiceAddress() {
  static std::string address = DovraVoucherProductionURL;
  return address;
}

}  // namespace

void LoadVoucherServiceAddress() {
  const char* value = std::getenv("DOVRA_BASE_URL");
  std::string address = (value && *value) ? value : DovraVoucherProductionURL;
  // The REST client joins base and path with one "/", so the base must end with one.
  if (address.back() != '/') address += '/';
  ServiceAddress() = std::move(address);
}

const std::string& VoucherServiceBaseURL() { return ServiceAddress(); }

bool TDovraVoucherAPI::Send(const char* path, const char* responseFormat, const char* errorFormat,
                            const std::string& request, std::string& response) {
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
  return Send("/API/EvaluateVoucher", "[TDovraVoucherAPI.Evaluate] Response : %",
              "[TDovraVoucherAPI.Evaluate] Error : %", request, response);
}

bool TDovraVoucherAPI::Redeem(const std::string& request, std::string& response) {
  return Send("/API/RedeemVoucher", "[TDovraVoucherAPI.Redeem] Response : %",
              "[TDovraVoucherAPI.Redeem] Error : %", request, response);
}

bool TDovraVoucherAPI::Reverse(const std::string& request, std::string& response) {
  return Send("/API/ReverseRedemption", "[TDovraVoucherAPI.Reverse] Response : %",
              "[TDovraVoucherAPI.Reverse] Error : %", request, response);
}

bool TDovraVoucherAPI::VoucherStatus(const std::string& request, std::string& response) {
  return Send("/API/GetVoucherStatus", "[TDovraVoucherAPI.VoucherStatus] Response : %",
              "[TDovraVoucherAPI.VoucherStatus] Error : %", request, response);
}

void TDovraVoucherAPIFactory::CreateInstance(TIntfPtr<IInterface>& instance) {
  TIntfPtr<TDovraVoucherAPI> api = MakeObject<TDovraVoucherAPI>();
  instance = TIntfPtr<IInterface>::Share(api->BaseInterface());
}

TIntfPtr<IServiceFactory> NewDovraVoucherAPIFactory() {
  return MakeObject<TDovraVoucherAPIFactory>();
}
