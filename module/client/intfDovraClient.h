// Module-side registration of the voucher API client: its factory, as InitModule registers it,
// and the address of the voucher service that every client call is sent to.
#pragma once

#include <string>

#include "intfDI.h"

// A new TDovraVoucherAPIFactory (counted reference, owned by the caller).
TIntfPtr<IServiceFactory> NewDovraVoucherAPIFactory();

// Reads DOVRA_BASE_URL once at module start-up: when set and not empty it replaces the built-in
// production address (a missing trailing "/" is added). Calling it again re-reads the variable.
void LoadVoucherServiceAddress();
// The voucher service's base URL, always ending in "/".
const std::string& VoucherServiceBaseURL();
