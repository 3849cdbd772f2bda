#include "module/core/modConstants.h"

#include <cstdlib>

#include "module/core/modServiceAddress.h"

namespace {

std::string& ServiceAddress() {
  static std::string address = DovraVoucherProductionURL;
  return address;
}

std::string& NoServiceReason() {
  static std::string reason;
  return reason;
}

}  // namespace

std::string LoadVoucherServiceAddress() {
  TVoucherServiceAddress address =
      ResolveVoucherServiceAddress(DovraVoucherProductionURL, std::getenv("DOVRA_BASE_URL"));
  ServiceAddress() = std::move(address.URL);
  NoServiceReason() = std::move(address.NoServiceReason);
  return std::move(address.Note);
}

const std::string& VoucherServiceBaseURL() { return ServiceAddress(); }

const std::string& VoucherServiceUnusable() { return NoServiceReason(); }
