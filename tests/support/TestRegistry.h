// The registry tests put in the host's place: it serves exactly like sarn-till's registry (it
// forwards to one) and records what the code under test asks of it: registrations and removals in
// order, the number of resolves, and, for a child process, every call into a file descriptor so
// that calls made during its exit survive it.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "host/contract/ServiceRegistry.h"
#include "intf/clsInterfacedObject.h"
#include "module/core/modRegistry.h"

class TTestRegistry final : public TImplements<TInterfacedObject, IServiceRegistry> {
 public:
  explicit TTestRegistry(int fd = -1) : FFd(fd), FInner(NewServiceRegistry()) {}

  std::vector<std::string> Calls;  // registrations and removals, in order
  int Resolves = 0;                // ResolveService calls
  // References taken minus references released since creation (the creator's own excluded).
  int32_t Extra() const { return FExtra; }

  int32_t AddRef() noexcept override {
    ++FExtra;
    Trace("AddRef");
    return TImplements::AddRef();
  }
  int32_t Release() noexcept override {
    --FExtra;
    Trace("Release");
    return TImplements::Release();
  }

  void RegisterInstance(const TGUID& s, IInterface* i) override {
    Note("RegisterInstance", s);
    FInner->RegisterInstance(s, i);
  }
  void RegisterNamedInstance(const TGUID& s, const std::string& n, IInterface* i) override {
    Note("RegisterNamedInstance", s, n);
    FInner->RegisterNamedInstance(s, n, i);
  }
  void UnregisterInstance(const TGUID& s) override {
    Note("UnregisterInstance", s);
    FInner->UnregisterInstance(s);
  }
  void UnregisterNamedInstance(const TGUID& s, const std::string& n) override {
    Note("UnregisterNamedInstance", s, n);
    FInner->UnregisterNamedInstance(s, n);
  }
  bool IsRegistered(const TGUID& s) override { return FInner->IsRegistered(s); }
  bool IsNamedRegistered(const TGUID& s, const std::string& n) override {
    return FInner->IsNamedRegistered(s, n);
  }
  void RegisterFactory(const TGUID& s, IServiceFactory* f) override {
    Note("RegisterFactory", s);
    FInner->RegisterFactory(s, f);
  }
  void RegisterNamedFactory(const TGUID& s, const std::string& n, IServiceFactory* f) override {
    Note("RegisterNamedFactory", s, n);
    FInner->RegisterNamedFactory(s, n, f);
  }
  void RegisterSingletonFactory(const TGUID& s, IServiceFactory* f) override {
    Note("RegisterSingletonFactory", s);
    FInner->RegisterSingletonFactory(s, f);
  }
  void RegisterNamedSingletonFactory(const TGUID& s, const std::string& n,
                                     IServiceFactory* f) override {
    Note("RegisterNamedSingletonFactory", s, n);
    FInner->RegisterNamedSingletonFactory(s, n, f);
  }
  bool ResolveNamedService(const TGUID& s, const std::string& n, TIntfPtr<IInterface>& i) override {
    return FInner->ResolveNamedService(s, n, i);
  }
  bool GetFactory(const TGUID& s, TIntfPtr<IServiceFactory>& f) override {
    return FInner->GetFactory(s, f);
  }
  bool GetNamedFactory(const TGUID& s, const std::string& n,
                       TIntfPtr<IServiceFactory>& f) override {
    return FInner->GetNamedFactory(s, n, f);
  }
  int32_t NameCount(const TGUID& s) override { return FInner->NameCount(s); }
  bool NameAt(const TGUID& s, int32_t i, std::string& n) override {
    return FInner->NameAt(s, i, n);
  }
  int32_t Count() override { return FInner->Count(); }
  bool EntryAt(int32_t i, TGUID& s, std::string& n) override { return FInner->EntryAt(i, s, n); }
  void SetParent(IServiceRegistry* p) override { FInner->SetParent(p); }
  bool GetParent(TIntfPtr<IServiceRegistry>& p) override { return FInner->GetParent(p); }
  void Clear() override { FInner->Clear(); }
  void UnregisterFactory(const TGUID& s) override {
    Note("UnregisterFactory", s);
    FInner->UnregisterFactory(s);
  }
  void UnregisterNamedFactory(const TGUID& s, const std::string& n) override {
    Note("UnregisterNamedFactory", s, n);
    FInner->UnregisterNamedFactory(s, n);
  }
  void UnregisterAll(const TGUID& s) override {
    Note("UnregisterAll", s);
    FInner->UnregisterAll(s);
  }
  void SetDefaultName(const TGUID& s, const std::string& n) override {
    FInner->SetDefaultName(s, n);
  }
  bool GetDefaultName(const TGUID& s, std::string& n) override {
    return FInner->GetDefaultName(s, n);
  }
  void CreateScope(TIntfPtr<IServiceRegistry>& scope) override { FInner->CreateScope(scope); }
  bool ResolveService(const TGUID& s, TIntfPtr<IInterface>& i) override {
    ++Resolves;
    Trace("ResolveService " + s.ToString());
    return FInner->ResolveService(s, i);
  }

 private:
  void Note(const char* op, const TGUID& s, const std::string& name = {}) {
    std::string line = std::string(op) + " " + s.ToString();
    if (!name.empty()) line += " " + name;
    Calls.push_back(line);
    Trace(line);
  }
  // Only into the descriptor: reference counting is noise for the in-process tests.
  void Trace(const std::string& line) {
    if (FFd >= 0) {
      const std::string out = line + "\n";
      [[maybe_unused]] ssize_t n = write(FFd, out.data(), out.size());
    }
  }

  int FFd;
  int32_t FExtra = 0;
  TIntfPtr<IServiceRegistry> FInner;
};

// Installs a registry as the module's registry for one test and empties the slot at the end.
class TScopedModuleRegistry {
 public:
  explicit TScopedModuleRegistry(TIntfPtr<TTestRegistry> registry = MakeObject<TTestRegistry>())
      : FRegistry(std::move(registry)) {
    ModuleRegistrySlot() = FRegistry;
  }
  ~TScopedModuleRegistry() { ModuleRegistrySlot() = nullptr; }
  TScopedModuleRegistry(const TScopedModuleRegistry&) = delete;
  TScopedModuleRegistry& operator=(const TScopedModuleRegistry&) = delete;
  TTestRegistry& Registry() { return *FRegistry; }
  TTestRegistry* operator->() { return FRegistry.Get(); }

 private:
  TIntfPtr<TTestRegistry> FRegistry;
};
