// The module-wide reference to the host's service registry: set by InitModule, emptied by
// FinalModule. Subsystems resolve host services through it at the start of each operation.
#pragma once

#include "intfDI.h"

// The held registry reference itself (frame code and tests set it).
inline TIntfPtr<IServiceRegistry>& ModuleRegistrySlot() {
  static TIntfPtr<IServiceRegistry> registry;
  return registry;
}

// A counted reference to the registry for one operation; empty outside InitModule..FinalModule.
inline TIntfPtr<IServiceRegistry> ModuleRegistry() { return ModuleRegistrySlot(); }
