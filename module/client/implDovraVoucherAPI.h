// The module's client of the voucher service: the four operations as IDovraVoucherAPI, each one
// borrowing the host's REST client for a single request.
#pragma once

#include <string>

#include "clsInterfacedObject.h"
#include "intfDovraVoucherAPI.h"

// Stateless: the REST client is resolved, configured and released within every call, so
// nothing of one call (credentials, address, headers) can leak into the next.
class TDovraVoucherAPI : public TImplements<TInterfacedObject, IDovraVoucherAPI> {
 public:
  bool Evaluate(const std::string& request, std::string& response) override;
  bool Redeem(const std::string& request, std::string& response) override;
  bool Reverse(const std::string& request, std::string& response) override;
  bool VoucherStatus(const std::string& request, std::string& response) override;

 private:
  static bool Send(const char* path, const char* responseFormat, const char* errorFormat,
                   const std::string& request, std::string& response);
};

// Hands out a fresh TDovraVoucherAPI per CreateInstance, through its base interface.
using TDovraVoucherAPIFactory = TObjectFactory<TDovraVoucherAPI>;

// Error line text when the host registry offers no REST client.
inline constexpr const char* NoRestClientText = "no REST client service in the host registry";
