// sarn-till's registry and payment runner helpers: what the module relies on when it registers and
// resolves, the slot positions of IServiceRegistry, and exact money parsing.
#include <string>

#include "gtest/gtest.h"
#include "host/contract/ServiceRegistry.h"
#include "host/till/TillPayment.h"
#include "intf/clsInterfacedObject.h"
#include "intf/intfStoreInfo.h"

namespace {

constexpr TGUID Service = TGUID::Of("{11111111-2222-3333-4444-555555555555}");

class IGreeter : public IInterface {
 public:
  static constexpr TGUID IID = Service;
  virtual int32_t Id() = 0;

 protected:
  ~IGreeter() = default;
};

class TGreeter final : public TImplements<TInterfacedObject, IGreeter> {
 public:
  explicit TGreeter(int32_t id) : FId(id) {}
  int32_t Id() override { return FId; }

 private:
  int32_t FId;
};

class TGreeterFactory final : public TImplements<TInterfacedObject, IServiceFactory> {
 public:
  explicit TGreeterFactory(int32_t id) : FId(id) {}
  int Created = 0;
  void CreateInstance(TIntfPtr<IInterface>& instance) override {
    ++Created;
    instance = MakeObject<TGreeter>(FId).As<IInterface>();
  }

 private:
  int32_t FId;
};

int32_t ResolvedId(IServiceRegistry* registry) {
  TIntfPtr<IInterface> found;
  if (!registry->ResolveService(Service, found)) return -1;
  return found.As<IGreeter>()->Id();
}

}  // namespace

TEST(HostRegistry, FactoryServesAFreshObjectPerResolve) {
  auto registry = NewServiceRegistry();
  auto factory = MakeObject<TGreeterFactory>(7);
  registry->RegisterFactory(Service, factory.Get());
  TIntfPtr<IInterface> a, b;
  ASSERT_TRUE(registry->ResolveService(Service, a));
  ASSERT_TRUE(registry->ResolveService(Service, b));
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_EQ(factory->Created, 2);
  EXPECT_EQ(a.As<IGreeter>()->Id(), 7);
  registry->UnregisterFactory(Service);
  TIntfPtr<IInterface> c;
  EXPECT_FALSE(registry->ResolveService(Service, c));
  EXPECT_FALSE(c);
}

TEST(HostRegistry, NamedEntriesDefaultNameAndRemoval) {
  auto registry = NewServiceRegistry();
  registry->RegisterNamedFactory(Service, "First", MakeObject<TGreeterFactory>(1).Get());
  registry->RegisterNamedFactory(Service, "Second", MakeObject<TGreeterFactory>(2).Get());
  EXPECT_EQ(ResolvedId(registry.Get()), 1) << "without an unnamed entry the first named serves";
  registry->SetDefaultName(Service, "second");
  EXPECT_EQ(ResolvedId(registry.Get()), 2) << "names compare without letter case";
  TIntfPtr<IInterface> named;
  ASSERT_TRUE(registry->ResolveNamedService(Service, "FIRST", named));
  EXPECT_EQ(named.As<IGreeter>()->Id(), 1);
  registry->RegisterFactory(Service, MakeObject<TGreeterFactory>(9).Get());
  EXPECT_EQ(ResolvedId(registry.Get()), 9) << "the unnamed entry comes first";
  EXPECT_EQ(registry->NameCount(Service), 2);
  std::string name;
  ASSERT_TRUE(registry->NameAt(Service, 1, name));
  EXPECT_EQ(name, "Second");
  registry->UnregisterNamedFactory(Service, "First");
  EXPECT_FALSE(registry->IsNamedRegistered(Service, "First"));
  EXPECT_TRUE(registry->IsNamedRegistered(Service, "Second"));
  registry->UnregisterAll(Service);
  EXPECT_EQ(registry->Count(), 0);
  // Removing what is not there is harmless.
  registry->UnregisterNamedFactory(Service, "Nobody");
  registry->UnregisterFactory(Service);
}

TEST(HostRegistry, SingletonsInstancesAndScopes) {
  auto registry = NewServiceRegistry();
  auto factory = MakeObject<TGreeterFactory>(5);
  registry->RegisterSingletonFactory(Service, factory.Get());
  TIntfPtr<IInterface> a, b;
  registry->ResolveService(Service, a);
  registry->ResolveService(Service, b);
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_EQ(factory->Created, 1);

  TIntfPtr<IServiceRegistry> scope;
  registry->CreateScope(scope);
  EXPECT_EQ(ResolvedId(scope.Get()), 5) << "a scope falls back to its parent";
  auto local = MakeObject<TGreeter>(6);
  scope->RegisterInstance(Service, local.As<IInterface>().Get());
  EXPECT_EQ(ResolvedId(scope.Get()), 6);
  EXPECT_EQ(ResolvedId(registry.Get()), 5);
  scope->SetParent(nullptr);  // breaks the scope -> parent reference
  scope->UnregisterInstance(Service);
  EXPECT_EQ(ResolvedId(scope.Get()), -1);
}

TEST(HostRegistry, AnEntryThatDoesNotImplementItsGuidIsNotServed) {
  auto registry = NewServiceRegistry();
  auto factory = MakeObject<TGreeterFactory>(1);
  registry->RegisterFactory(IStoreInfo::IID, factory.Get());  // greeters are no store info
  TIntfPtr<IInterface> found;
  EXPECT_FALSE(registry->ResolveService(IStoreInfo::IID, found));
  EXPECT_FALSE(found);
}

// The module calls the registry by position: slot 3+k must run operation k (k counted from 0).
TEST(HostRegistry, ModuleSlotsRunTheirOperations) {
  auto registry = NewServiceRegistry();
  IServiceRegistry* raw = registry.Get();
  void** vtable = *reinterpret_cast<void***>(raw);
  auto factory = MakeObject<TGreeterFactory>(3);
  IServiceFactory* f = factory.Get();

  using TRegister = void (*)(IServiceRegistry*, const TGUID&, IServiceFactory*);
  using TRegisterNamed =
      void (*)(IServiceRegistry*, const TGUID&, const std::string&, IServiceFactory*);
  using TUnregister = void (*)(IServiceRegistry*, const TGUID&);
  using TUnregisterNamed = void (*)(IServiceRegistry*, const TGUID&, const std::string&);
  using TResolve = bool (*)(IServiceRegistry*, const TGUID&, TIntfPtr<IInterface>&);

  reinterpret_cast<TRegister>(vtable[3 + 6])(raw, Service, f);  // RegisterFactory (7th)
  EXPECT_TRUE(registry->IsRegistered(Service));
  TIntfPtr<IInterface> found;
  EXPECT_TRUE(reinterpret_cast<TResolve>(vtable[3 + 26])(raw, Service, found));  // ResolveService
  EXPECT_EQ(found.As<IGreeter>()->Id(), 3);
  reinterpret_cast<TUnregister>(vtable[3 + 20])(raw, Service);  // UnregisterFactory (21st)
  EXPECT_FALSE(registry->IsRegistered(Service));

  reinterpret_cast<TRegisterNamed>(vtable[3 + 7])(raw, Service, "Named", f);  // 8th
  EXPECT_TRUE(registry->IsNamedRegistered(Service, "Named"));
  reinterpret_cast<TUnregisterNamed>(vtable[3 + 21])(raw, Service, "Named");  // 22nd
  EXPECT_FALSE(registry->IsNamedRegistered(Service, "Named"));
}

TEST(TillMoney, ParsesExactTenThousandths) {
  TCurrency v = 0;
  EXPECT_TRUE(ParseMoney("12.50", v));
  EXPECT_EQ(v, 125000);
  EXPECT_TRUE(ParseMoney("-3", v));
  EXPECT_EQ(v, -30000);
  EXPECT_TRUE(ParseMoney("0.0001", v));
  EXPECT_EQ(v, 1);
  EXPECT_TRUE(ParseMoney(".5", v));
  EXPECT_EQ(v, 5000);
  for (const char* bad : {"", "-", "1.23456", "12,50", "1e3", "abc", "1.2.3", "99999999999999999"})
    EXPECT_FALSE(ParseMoney(bad, v)) << bad;
}
