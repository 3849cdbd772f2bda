// A small in-memory service registry for tests: unnamed factories and instances by GUID, enough
// for code that resolves host services through IServiceRegistry.
#pragma once

#include <map>
#include <string>

#include "clsInterfacedObject.h"
#include "intfDI.h"

class TFakeRegistry : public TImplements<TInterfacedObject, IServiceRegistry> {
 public:
  int ResolveCount = 0;

  void RegisterInstance(const TGUID& service, IInterface* instance) override {
    FInstances[service] = TIntfPtr<IInterface>::Share(instance);
  }
  void RegisterNamedInstance(const TGUID&, const std::string&, IInterface*) override {}
  void UnregisterInstance(const TGUID& service) override { FInstances.erase(service); }
  void UnregisterNamedInstance(const TGUID&, const std::string&) override {}
  bool IsRegistered(const TGUID& service) override {
    return FInstances.count(service) || FFactories.count(service);
  }
  bool IsNamedRegistered(const TGUID&, const std::string&) override { return false; }
  void RegisterFactory(const TGUID& service, IServiceFactory* factory) override {
    FFactories[service] = TIntfPtr<IServiceFactory>::Share(factory);
  }
  void RegisterNamedFactory(const TGUID&, const std::string&, IServiceFactory*) override {}
  void RegisterSingletonFactory(const TGUID&, IServiceFactory*) override {}
  void RegisterNamedSingletonFactory(const TGUID&, const std::string&, IServiceFactory*) override {}
  bool ResolveNamedService(const TGUID&, const std::string&, TIntfPtr<IInterface>&) override {
    return false;
  }
  bool GetFactory(const TGUID&, TIntfPtr<IServiceFactory>&) override { return false; }
  bool GetNamedFactory(const TGUID&, const std::string&, TIntfPtr<IServiceFactory>&) override {
    return false;
  }
  int32_t NameCount(const TGUID&) override { return 0; }
  bool NameAt(const TGUID&, int32_t, std::string&) override { return false; }
  int32_t Count() override { return static_cast<int32_t>(FInstances.size() + FFactories.size()); }
  bool EntryAt(int32_t, TGUID&, std::string&) override { return false; }
  void SetParent(IServiceRegistry*) override {}
  bool GetParent(TIntfPtr<IServiceRegistry>&) override { return false; }
  void Clear() override {
    FInstances.clear();
    FFactories.clear();
  }
  void UnregisterFactory(const TGUID& service) override { FFactories.erase(service); }
  void UnregisterNamedFactory(const TGUID&, const std::string&) override {}
  void UnregisterAll(const TGUID& service) override {
    FInstances.erase(service);
    FFactories.erase(service);
  }
  void SetDefaultName(const TGUID&, const std::string&) override {}
  bool GetDefaultName(const TGUID&, std::string&) override { return false; }
  void CreateScope(TIntfPtr<IServiceRegistry>&) override {}
  bool ResolveService(const TGUID& service, TIntfPtr<IInterface>& instance) override {
    ++ResolveCount;
    instance = nullptr;
    TIntfPtr<IInterface> found;
    if (auto it = FInstances.find(service); it != FInstances.end()) {
      found = it->second;
    } else if (auto f = FFactories.find(service); f != FFactories.end()) {
      f->second->CreateInstance(found);
    }
    // Like the host: hand out the interface asked for, not the object's base.
    if (found) {
      void* raw = nullptr;
      if (found->QueryInterface(service, &raw) == S_OK_RESULT && raw)
        instance = TIntfPtr<IInterface>::Adopt(static_cast<IInterface*>(raw));
    }
    return static_cast<bool>(instance);
  }

 private:
  std::map<TGUID, TIntfPtr<IInterface>> FInstances;
  std::map<TGUID, TIntfPtr<IServiceFactory>> FFactories;
};
