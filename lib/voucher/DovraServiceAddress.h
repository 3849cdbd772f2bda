// Which values the module takes as its voucher service address: a plain https:// base address
// without user info, query or fragment. The module applies it to its override as it loads; a host
// that passes an override on applies it before, so that a mistyped address is refused at once.
#pragma once

#include <string_view>

// Why value cannot be the base address, as the end of a sentence about it ("is not an https://
// address", "carries user info", "is not a valid address"); empty when it can.
std::string_view VoucherServiceAddressRefusal(std::string_view value);
