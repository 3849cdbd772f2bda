// Test doubles for the voucher dialog: a scripted voucher API, a registry serving it as the
// module's registry, and a scoped environment variable for the locale-dependent money text.
#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clsInterfacedObject.h"
#include "intfDI.h"
#include "intfDovraVoucherAPI.h"
#include "modRegistry.h"

// What one voucher call does: the scripted result, and whether (and what) it writes into the
// response argument.
struct TScriptedCall {
  bool Ok = true;
  std::optional<std::string> Response;
};

// Counters and scripts shared by every fake API object a test's registry hands out.
struct TFakeVoucherService {
  std::vector<std::string> EvaluateRequests;
  std::vector<std::string> RedeemRequests;
  std::vector<TScriptedCall> EvaluateScript;  // consumed front to back
  std::vector<TScriptedCall> RedeemScript;
  // Runs inside each call, while the handler blocks (to look at the busy controls).
  std::function<void()> DuringCall;
  int Created = 0;
  int Destroyed = 0;
};

class TFakeVoucherAPI : public TImplements<TInterfacedObject, IDovraVoucherAPI> {
 public:
  explicit TFakeVoucherAPI(TFakeVoucherService& service) : FService(service) { ++FService.Created; }
  bool Evaluate(const std::string& request, std::string& response) override {
    FService.EvaluateRequests.push_back(request);
    return Play(FService.EvaluateScript, FService.EvaluateRequests.size(), response);
  }
  bool Redeem(const std::string& request, std::string& response) override {
    FService.RedeemRequests.push_back(request);
    return Play(FService.RedeemScript, FService.RedeemRequests.size(), response);
  }
  bool Reverse(const std::string&, std::string&) override { return false; }
  bool VoucherStatus(const std::string&, std::string&) override { return false; }

 protected:
  ~TFakeVoucherAPI() override { ++FService.Destroyed; }

 private:
  bool Play(const std::vector<TScriptedCall>& script, size_t callNumber, std::string& response) {
    if (FService.DuringCall) FService.DuringCall();
    if (callNumber > script.size()) return false;
    const TScriptedCall& call = script[callNumber - 1];
    if (call.Response) response = *call.Response;
    return call.Ok;
  }
  TFakeVoucherService& FService;
};

// Serves IDovraVoucherAPI with a new fake per resolve, as the module's factory does; every other
// operation is inert.
class TTestRegistry : public TImplements<TInterfacedObject, IServiceRegistry> {
 public:
  explicit TTestRegistry(TFakeVoucherService& service) : FService(service) {}

  bool ResolveService(const TGUID& service, TIntfPtr<IInterface>& instance) override {
    ++Resolves;
    if (!(service == IDovraVoucherAPI::IID)) return false;
    TIntfPtr<IDovraVoucherAPI> api = MakeObject<TFakeVoucherAPI>(FService);
    instance = api.As<IInterface>();
    return true;
  }
  int Resolves = 0;

  void RegisterInstance(const TGUID&, IInterface*) override {}
  void RegisterNamedInstance(const TGUID&, const std::string&, IInterface*) override {}
  void UnregisterInstance(const TGUID&) override {}
  void UnregisterNamedInstance(const TGUID&, const std::string&) override {}
  bool IsRegistered(const TGUID&) override { return false; }
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
  int32_t Count() override { return 0; }
  bool EntryAt(int32_t, TGUID&, std::string&) override { return false; }
  void SetParent(IServiceRegistry*) override {}
  bool GetParent(TIntfPtr<IServiceRegistry>&) override { return false; }
  void Clear() override {}
  void UnregisterFactory(const TGUID&) override {}
  void UnregisterNamedFactory(const TGUID&, const std::string&) override {}
  void UnregisterAll(const TGUID&) override {}
  void SetDefaultName(const TGUID&, const std::string&) override {}
  bool GetDefaultName(const TGUID&, std::string&) override { return false; }
  void CreateScope(TIntfPtr<IServiceRegistry>&) override {}

 protected:
  ~TTestRegistry() override = default;

 private:
  TFakeVoucherService& FService;
};

// Installs a test registry as the module's registry and empties the slot again at the end.
class TScopedTestRegistry {
 public:
  explicit TScopedTestRegistry(TFakeVoucherService& service)
      : FRegistry(MakeObject<TTestRegistry>(service)) {
    ModuleRegistrySlot() = FRegistry.As<IServiceRegistry>();
  }
  ~TScopedTestRegistry() { ModuleRegistrySlot() = nullptr; }
  TScopedTestRegistry(const TScopedTestRegistry&) = delete;
  TScopedTestRegistry& operator=(const TScopedTestRegistry&) = delete;
  TTestRegistry& Registry() { return *FRegistry; }

 private:
  TIntfPtr<TTestRegistry> FRegistry;
};

// Sets an environment variable for one scope and puts the earlier value back.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) FOld = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~TScopedEnv() {
    if (FOld)
      setenv(FName.c_str(), FOld->c_str(), 1);
    else
      unsetenv(FName.c_str());
  }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  std::string FName;
  std::optional<std::string> FOld;
};
