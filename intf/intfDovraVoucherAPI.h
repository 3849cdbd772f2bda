// The voucher service client the module registers (unnamed) in the host registry, so that any
// host component may resolve it between InitModule and FinalModule. Each call takes a finished
// JSON request text and hands back the service's response text unread; the service's refusal is
// in that text. True: response overwritten with the service's answer. False (no REST client,
// transport failure, HTTP error): response left as passed in. Calls block the user-interface
// thread until the service answers.
#pragma once

#include <string>

#include "intf/intfPtr.h"

class IDovraVoucherAPI : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{F8F4F051-1BC4-4041-AEC5-B146949C1788}");
  // 1: checks a voucher against the order; uses nothing up.
  virtual bool Evaluate(const std::string& request, std::string& response) = 0;
  // 2: uses the voucher for the order.
  virtual bool Redeem(const std::string& request, std::string& response) = 0;
  // 3: gives a redeemed voucher back, named by its voucher reference.
  virtual bool Reverse(const std::string& request, std::string& response) = 0;
  // 4: the voucher's current state.
  virtual bool VoucherStatus(const std::string& request, std::string& response) = 0;

 protected:
  ~IDovraVoucherAPI() = default;
};
