#include "module/core/modServiceAddress.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "lib/voucher/DovraServiceAddress.h"
#include "module/log/SynLog.h"

namespace {

constexpr std::string_view kVariable = "DOVRA_BASE_URL";

}  // namespace

TVoucherServiceAddress ResolveVoucherServiceAddress(const std::string& productionURL,
                                                    const char* overrideValue) {
  TVoucherServiceAddress address{productionURL, {}, {}, {}};
  if (overrideValue && *overrideValue) {
    const std::string_view value(overrideValue);
    const std::string_view refusal = VoucherServiceAddressRefusal(value);
    if (refusal.empty()) {
      address.URL = value;
      // The REST client joins base and path with one "/", so the base must end with one.
      if (address.URL.back() != '/') address.URL += '/';
      address.Note = address.URL + " (" + std::string(kVariable) + ")";
    } else {
      const std::string why = "\"" + SynLogMaskURLUserInfo(value) + "\" " + std::string(refusal);
      address.URL.clear();
      address.Refused = refusal;
      address.Note = "none (" + std::string(kVariable) + " refused: " + why + ")";
      address.NoServiceReason =
          "no voucher service is called: " + std::string(kVariable) + " " + why;
      return address;
    }
  }
  if (address.URL.empty() || address.URL.back() != '/') address.URL += '/';
  return address;
}
