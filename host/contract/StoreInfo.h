// sarn-till's store identity service: the store and till numbers given on its command line.
#pragma once

#include <string>

#include "intf/intfDI.h"

// Registers IStoreInfo as an instance in the registry.
void RegisterStoreInfo(IServiceRegistry* registry, int32_t storeID, const std::string& storeName,
                       int32_t tillID);
