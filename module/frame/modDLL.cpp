// Load-time start-up, InitModule/FinalModule and the detach hook of DovraVoucherPayment.smd.
//
// This platform has no library-notification chain, so the module keeps one: the start-up saves
// whatever handler was in place (none, on this platform) and installs its own hook, and the
// library destructor delivers the process-detach notification to that chain.
//
// Telling unload from process exit: at exit the C++ run-time destroys this library's static
// objects (registered with __cxa_atexit at load) before the loader runs the library destructors;
// at dlclose the loader runs the library destructors first and the static objects last. A static
// sentinel therefore tells, inside the destructor, which of the two is happening.
#include "module/frame/modDLL.h"

#include <dlfcn.h>

#include <string>

#include "module/client/implDovraVoucherAPI.h"
#include "module/core/modConstants.h"
#include "module/core/modRegistry.h"
#include "module/log/modLog.h"
#include "module/payment/implPaymentMethodDovraVouchers.h"
#include "module/schema/implDatabaseChangesDovra.h"

namespace {

TDllProc gPreviousDllProc = nullptr;  // handler in place before the module's hook
TDllProc gDllProc = nullptr;          // the installed chain

bool gStaticsDestroyed = false;
struct TExitSentinel {
  ~TExitSentinel() { gStaticsDestroyed = true; }
};
TExitSentinel gExitSentinel;

void DllProcHook(int32_t reason, void* reserved) {
  if (reason == static_cast<int32_t>(TDllReason::DLL_PROCESS_DETACH) && reserved == nullptr)
    FinalModule();
  if (gPreviousDllProc) gPreviousDllProc(reason, reserved);
}

std::string ModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DllProcHook), &info) && info.dli_fname) return info.dli_fname;
  return "DovraVoucherPayment.smd";
}

__attribute__((constructor)) void ModuleLoad() {
  ModLog::StartModuleLog(ModuleFileName());
  if (const std::string note = LoadVoucherServiceAddress(); !note.empty())
    ModLog::Info(DovraVoucherServiceLine, note);
  gPreviousDllProc = gDllProc;
  gDllProc = &DllProcHook;
}

__attribute__((destructor)) void ModuleUnload() {
  const bool processEnding = gStaticsDestroyed;
  // Any non-empty pointer marks process termination.
  static int processEndMarker;
  if (gDllProc)
    gDllProc(static_cast<int32_t>(TDllReason::DLL_PROCESS_DETACH),
             processEnding ? &processEndMarker : nullptr);
  ModLog::FinishModuleLog();
}

}  // namespace

extern "C" void InitModule(IServiceRegistry* registry) {
  ModuleRegistrySlot() = TIntfPtr<IServiceRegistry>::Share(registry);
  if (!registry) return;
  // Each factory is handed over; the registry's own reference keeps it alive.
  registry->RegisterNamedFactory(IDatabaseChanges::IID, DovraDatabaseChangesName,
                                 MakeObject<TDatabaseChangesDovraFactory>().Get());
  registry->RegisterFactory(IDovraVoucherAPI::IID, MakeObject<TDovraVoucherAPIFactory>().Get());
  registry->RegisterNamedFactory(IPaymentMethod::IID, DovraVoucherPaymentName,
                                 MakeObject<TPaymentMethodDovraVoucherFactory>().Get());
}

extern "C" void FinalModule() {
  TIntfPtr<IServiceRegistry> registry = ModuleRegistrySlot();
  if (!registry) return;
  // Removal order differs from registration order on purpose: it is what hosts expect.
  registry->UnregisterNamedFactory(IDatabaseChanges::IID, DovraDatabaseChangesName);
  registry->UnregisterNamedFactory(IPaymentMethod::IID, DovraVoucherPaymentName);
  registry->UnregisterFactory(IDovraVoucherAPI::IID);
  ModuleRegistrySlot().Clear();
}
