// Test helpers for the payment method: calls by vtable position as the host makes them, and a
// small registry that serves a store identity service.
#pragma once

#include <string>
#include <utility>

#include "clsInterfacedObject.h"
#include "intfDI.h"
#include "intfStoreInfo.h"

// Calls operation `position` (1 = the first after QueryInterface, AddRef, Release) of an
// interface by reading its vtable, the way the host does: the interface pointer goes first.
template <class Sig>
struct TSlot;
template <class R, class... A>
struct TSlot<R(A...)> {
  template <class I>
  static R Call(I* intf, int position, A... args) {
    void* const* vtable = *reinterpret_cast<void* const* const*>(intf);
    using TFn = R (*)(I*, A...);
    const auto fn = reinterpret_cast<TFn>(vtable[2 + position]);
    return fn(intf, std::forward<A>(args)...);
  }
};

// A store service whose destruction the test can see (a kept reference would keep it alive).
class TTestStore final : public TImplements<TInterfacedObject, IStoreInfo> {
 public:
  TTestStore(int32_t id, bool* destroyed) : FId(id), FDestroyed(destroyed) {}
  ~TTestStore() override {
    if (FDestroyed) *FDestroyed = true;
  }
  int32_t GetStoreID() override {
    ++Calls;
    return FId;
  }
  void GetStoreName(std::string& name) override { name = "Test store"; }
  int32_t GetTillID() override { return 1; }
  int Calls = 0;

 private:
  int32_t FId;
  bool* FDestroyed;
};

// Serves one instance per GUID through ResolveService; every other operation is inert.
class TTestRegistry final : public TImplements<TInterfacedObject, IServiceRegistry> {
 public:
  TIntfPtr<IStoreInfo> Store;
  int Resolves = 0;

  void RegisterInstance(const TGUID&, IInterface*) override {}
  void RegisterNamedInstance(const TGUID&, const std::string&, IInterface*) override {}
  void UnregisterInstance(const TGUID&) override {}
  void UnregisterNamedInstance(const TGUID&, const std::string&) override {}
  bool IsRegistered(const TGUID& service) override { return service == IStoreInfo::IID && Store; }
  bool IsNamedRegistered(const TGUID&, const std::string&) override { return false; }
  void RegisterFactory(const TGUID&, IServiceFactory*) override {}
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
  int32_t Count() override { return Store ? 1 : 0; }
  bool EntryAt(int32_t, TGUID&, std::string&) override { return false; }
  void SetParent(IServiceRegistry*) override {}
  bool GetParent(TIntfPtr<IServiceRegistry>&) override { return false; }
  void Clear() override { Store = nullptr; }
  void UnregisterFactory(const TGUID&) override {}
  void UnregisterNamedFactory(const TGUID&, const std::string&) override {}
  void UnregisterAll(const TGUID&) override {}
  void SetDefaultName(const TGUID&, const std::string&) override {}
  bool GetDefaultName(const TGUID&, std::string&) override { return false; }
  void CreateScope(TIntfPtr<IServiceRegistry>&) override {}
  bool ResolveService(const TGUID& service, TIntfPtr<IInterface>& instance) override {
    ++Resolves;
    instance = nullptr;
    if (!(service == IStoreInfo::IID) || !Store) return false;
    instance = TIntfPtr<IInterface>(Store);
    return true;
  }
};
