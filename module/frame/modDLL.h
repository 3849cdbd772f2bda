// The module frame: the two exported entry points, the load-time start-up and the detach hook.
#pragma once

#include "intf/intfDI.h"

extern "C" {
// Keeps the registry and registers the module's three factories (database changes "Dovra", voucher
// API client, payment method "DovraVouchers"). Host's user-interface thread; not concurrently with
// FinalModule.
__attribute__((visibility("default"))) void InitModule(IServiceRegistry* registry);
// Removes the three factories (database changes, payment method, voucher API client) and releases
// the registry. Does nothing when no registry is held.
__attribute__((visibility("default"))) void FinalModule();
}

// Reason codes of library notifications, as the detach hook receives them.
enum class TDllReason : int32_t {
  DLL_PROCESS_DETACH = 0,
  DLL_PROCESS_ATTACH = 1,
  DLL_THREAD_ATTACH = 2,
  DLL_THREAD_DETACH = 3,
};

// A library-notification handler: (reason code, reserved). At process detach the reserved
// pointer is empty when the library is unloaded while the process goes on, and non-empty when the
// process is ending.
using TDllProc = void (*)(int32_t reason, void* reserved);
