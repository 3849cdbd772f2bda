#include "modConstants.h"

#include <cstdlib>

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
