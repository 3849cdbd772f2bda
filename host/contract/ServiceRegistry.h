// sarn-till's service registry: serves host services and the module's factories by GUID and name.
#pragma once

#include "intf/intfDI.h"

// A new, empty registry.
TIntfPtr<IServiceRegistry> NewServiceRegistry();
