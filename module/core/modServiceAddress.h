// Which voucher service the module talks to: the production address, or the one DOVRA_BASE_URL
// names. The variable sends the partner credentials and the customers' mobile numbers wherever it
// points, so only a plain https:// address is taken (any other value leaves the module with no
// service at all), and the module log always says which address is in force and why.
#pragma once

#include <string>

struct TVoucherServiceAddress {
  // The base URL in force, ending in "/"; empty when the override was refused: a mistyped test
  // address must not send the partner credentials and real customers' vouchers to production.
  std::string URL;
  std::string Note;  // the text of the "Voucher service : %" log line; empty without an override
  // Why the override was refused ("is not an https:// address", ...); empty when it was taken or
  // not set. A host that sets the override itself refuses such a value before the module loads.
  std::string Refused;
  // What every voucher call fails with while the override is refused, naming the value (any
  // password masked) and why; empty when a service is in force.
  std::string NoServiceReason;
};

// The address in force for overrideValue (the variable's value; null or empty: not set). An
// override that is not https://, carries user info, or is no valid address is refused: no
// address is in force then, and the note says why, with any password in it masked.
TVoucherServiceAddress ResolveVoucherServiceAddress(const std::string& productionURL,
                                                    const char* overrideValue);
