// Loads a .smd module with dlopen and drives its InitModule/FinalModule entry points.
#pragma once

#include <string>

#include "intf/intfDI.h"

// Why the file at path cannot be a module the loader may hand to dlopen; empty when it can. A
// link at path is followed (a package may install the module as a link to a versioned file), but
// what it leads to must be a regular file (a FIFO would hold dlopen for good; it is opened
// without waiting), of a plausible size, with an ELF header of this machine's kind whose loadable
// segments all lie inside the file (a cut-off file would be mapped past its end and kill the till
// with SIGBUS when touched). warning gets OthersCanReplace's line.
std::string ModuleFileRefusal(const std::string& path, std::string& warning);

class TModuleLoader {
 public:
  TModuleLoader() = default;
  ~TModuleLoader();  // Unload()
  TModuleLoader(const TModuleLoader&) = delete;
  TModuleLoader& operator=(const TModuleLoader&) = delete;

  // Checks the file (ModuleFileRefusal), then dlopen + symbol look-up; false with a message naming
  // the file and the reason. Warning() then says whether others could have replaced it.
  bool Load(const std::string& path, std::string& error);
  // InitModule(registry). Requires Load.
  void Init(IServiceRegistry* registry);
  // FinalModule() once after Init; then dlclose. Safe to call twice.
  void Unload();

  bool Loaded() const { return FHandle != nullptr; }
  const std::string& Path() const { return FPath; }
  // One line when the module file or a folder it stands in is writable by other users (or owned
  // by a user other than root and this one): what was loaded may not be what was installed.
  const std::string& Warning() const { return FWarning; }

 private:
  void* FHandle = nullptr;
  std::string FPath;
  std::string FWarning;
  void (*FInit)(IServiceRegistry*) = nullptr;
  void (*FFinal)() = nullptr;
  bool FInitialised = false;
};
