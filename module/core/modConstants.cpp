#include "modConstants.h"

#include <cstdlib>

#include "modServiceAddress.h"

namespace {

std::string& ServiceAddress() {
  static std::string address = DovraVoucherProductionURL;
  return address;
}

}  // namespace

std::string LoadVoucherServiceAddress() {
  TVoucherServiceAddress address =
      ResolveVoucherServiceAddress(DovraVoucherProductionURL, std::getenv("DOVRA_BASE_URL"));
  ServiceAddress() = std::move(address.URL);
  return std::move(address.Note);
}

const std::string& VoucherServiceBaseURL() { return ServiceAddress(); }
