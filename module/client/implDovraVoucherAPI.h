// The module's client of the voucher service: the four operations as IDovraVoucherAPI, each one
// borrowing the host's REST client for a single request.
#pragma once

#include <string>

#include "intf/clsInterfacedObject.h"
#include "intf/intfDovraModuleInfo.h"
#include "intf/intfDovraVoucherAPI.h"

// Stateless: the REST client is resolved, configured and released within every call, so
// nothing of one call (credentials, address, headers) can leak into the next. It also tells a
// host how the module runs (IDovraModuleInfo), the client being the object every host can reach.
class TDovraVoucherAPI : public TImplements<TInterfacedObject, IDovraVoucherAPI, IDovraModuleInfo,
                                            IDovraModuleVersion> {
 public:
  bool Evaluate(const std::string& request, std::string& response) override;
  bool Redeem(const std::string& request, std::string& response) override;
  bool Reverse(const std::string& request, std::string& response) override;
  bool VoucherStatus(const std::string& request, std::string& response) override;
  void GetVoucherService(std::string& url, std::string& reason) override;
  bool GetLogFile(std::string& path, std::string& problem) override;
  void GetReversals(int32_t& sent, int32_t& confirmed) override;
  void GetModuleVersion(std::string& version) override;

 private:
  // wentOut: the request reached a REST client (a service was in force and one was there).
  static bool Send(const char* path, const char* responseFormat, const char* errorFormat,
                   const std::string& request, std::string& response, bool& wentOut);
};

// Hands out a fresh TDovraVoucherAPI per CreateInstance, through its base interface.
using TDovraVoucherAPIFactory = TObjectFactory<TDovraVoucherAPI>;

// Error line text when the host registry offers no REST client.
inline constexpr const char* NoRestClientText = "no REST client service in the host registry";
