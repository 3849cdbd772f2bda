// The module-wide reference to the host's service registry: set by InitModule, emptied by
// FinalModule. Subsystems resolve host services through it at the start of each operation.
#pragma once

#include <new>

#include "intf/intfDI.h"

// The held registry reference itself (frame code and tests set it). It is never destroyed: at
// process exit the host's registry may already be gone, so the module must not release it then.
inline TIntfPtr<IServiceRegistry>& ModuleRegistrySlot() {
  alignas(
      TIntfPtr<IServiceRegistry>) static unsigned char storage[sizeof(TIntfPtr<IServiceRegistry>)];
  static TIntfPtr<IServiceRegistry>* slot = ::new (storage) TIntfPtr<IServiceRegistry>();
  return *slot;
}

// A counted reference to the registry for one operation; empty outside InitModule..FinalModule.
inline TIntfPtr<IServiceRegistry> ModuleRegistry() { return ModuleRegistrySlot(); }
