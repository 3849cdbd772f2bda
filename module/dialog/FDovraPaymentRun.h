// The payment popup's whole use of the voucher dialog, without the windowing toolkit's headers:
// store and order in; true and the redeem answer out when a voucher was redeemed.
#pragma once

#include <cstdint>
#include <string>

// Creates the dialog with no owner, shows it modally and frees it on every exit path. Errors of
// the preparation (an order document that is not usable) pass to the caller before anything is
// shown. Needs the host's running application object (the host owns the user-interface thread).
bool RunVoucherDialog(int32_t storeReference, const std::string& orderDocument,
                      std::string& redeemResponseText);
