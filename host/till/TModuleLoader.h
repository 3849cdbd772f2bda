// Loads a .smd module with dlopen and drives its InitModule/FinalModule entry points.
#pragma once

#include <string>

#include "intf/intfDI.h"

class TModuleLoader {
 public:
  TModuleLoader() = default;
  ~TModuleLoader();  // Unload()
  TModuleLoader(const TModuleLoader&) = delete;
  TModuleLoader& operator=(const TModuleLoader&) = delete;

  // dlopen + symbol look-up; false with a message naming the file and the loader's reason.
  bool Load(const std::string& path, std::string& error);
  // InitModule(registry). Requires Load.
  void Init(IServiceRegistry* registry);
  // FinalModule() once after Init; then dlclose. Safe to call twice.
  void Unload();

  bool Loaded() const { return FHandle != nullptr; }
  const std::string& Path() const { return FPath; }

 private:
  void* FHandle = nullptr;
  std::string FPath;
  void (*FInit)(IServiceRegistry*) = nullptr;
  void (*FFinal)() = nullptr;
  bool FInitialised = false;
};
