// The voucher service client the module registers (unnamed) in the host registry. Each call takes
// a finished JSON request text and hands back the service's response text unread.
// True: response overwritten with the service's answer. False: response left as passed in.
#pragma once

#include <string>

#include "intfPtr.h"

class IDovraVoucherAPI : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{F8F4F051-1BC4-4041-AEC5-B146949C1788}");
  virtual bool Evaluate(const std::string& request, std::string& response) = 0;       // 1
  virtual bool Redeem(const std::string& request, std::string& response) = 0;         // 2
  virtual bool Reverse(const std::string& request, std::string& response) = 0;        // 3
  virtual bool VoucherStatus(const std::string& request, std::string& response) = 0;  // 4

 protected:
  ~IDovraVoucherAPI() = default;
};
