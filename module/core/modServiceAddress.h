// Which voucher service the module talks to: the production address, or the one DOVRA_BASE_URL
// names. The variable sends the partner credentials and the customers' mobile numbers wherever it
// points, so only a plain https:// address is taken, and the module log always says which address
// is in force and why.
#pragma once

#include <string>

struct TVoucherServiceAddress {
  std::string URL;   // the base URL in force, ending in "/"
  std::string Note;  // the text of the "Voucher service : %" log line; empty without an override
  // Why the override was refused ("is not an https:// address", ...); empty when it was taken or
  // not set. A host that sets the override itself refuses such a value before the module loads.
  std::string Refused;
};

// The address in force for overrideValue (the variable's value; null or empty: not set). An
// override is refused, and the production address kept, when it is not https://, carries user
// info, or is no valid address; the note then says why, with any password in it masked.
TVoucherServiceAddress ResolveVoucherServiceAddress(const std::string& productionURL,
                                                    const char* overrideValue);
