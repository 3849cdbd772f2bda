#include "host/till/TModuleLoader.h"

#include <dlfcn.h>

TModuleLoader::~TModuleLoader() { Unload(); }

bool TModuleLoader::Load(const std::string& path, std::string& error) {
  Unload();
  // RTLD_LOCAL: the module's symbols stay its own; it exports only its two entry points anyway.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    error = "cannot load module '" + path + "': " + (why ? why : "unknown reason");
    return false;
  }
  auto init = reinterpret_cast<void (*)(IServiceRegistry*)>(dlsym(handle, "InitModule"));
  auto final = reinterpret_cast<void (*)()>(dlsym(handle, "FinalModule"));
  if (!init || !final) {
    error = "'" + path + "' is not a Sarn module: it does not export " +
            (!init ? "InitModule" : "FinalModule");
    dlclose(handle);
    return false;
  }
  FHandle = handle;
  FPath = path;
  FInit = init;
  FFinal = final;
  return true;
}

void TModuleLoader::Init(IServiceRegistry* registry) {
  if (!FInit) return;
  FInit(registry);
  FInitialised = true;
}

void TModuleLoader::Unload() {
  if (FInitialised && FFinal) FFinal();
  FInitialised = false;
  if (FHandle) dlclose(FHandle);
  FHandle = nullptr;
  FInit = nullptr;
  FFinal = nullptr;
}
