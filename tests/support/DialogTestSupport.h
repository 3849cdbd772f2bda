// Test doubles for the voucher dialog: a scripted voucher API, served through a test registry as
// the module's registry, and a scoped environment variable for the locale-dependent money text.
#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "intf/clsInterfacedObject.h"
#include "intf/intfDI.h"
#include "intf/intfDovraVoucherAPI.h"
#include "module/core/modRegistry.h"
#include "tests/support/TestRegistry.h"

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
  std::vector<std::string> StatusRequests;
  std::vector<TScriptedCall> StatusScript;
  std::vector<std::string> ReverseRequests;
  bool ReverseConfirms = false;  // every reversal answered {"Success":true}, or every one failing
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
  bool Reverse(const std::string& request, std::string& response) override {
    FService.ReverseRequests.push_back(request);
    if (FService.ReverseConfirms) response = "{\"Success\":true}";
    return FService.ReverseConfirms;
  }
  bool VoucherStatus(const std::string& request, std::string& response) override {
    FService.StatusRequests.push_back(request);
    return Play(FService.StatusScript, FService.StatusRequests.size(), response);
  }

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

// Serves the scripted voucher API as the module's own factory would, a new object per resolve.
class TFakeVoucherAPIFactory final : public TImplements<TInterfacedObject, IServiceFactory> {
 public:
  explicit TFakeVoucherAPIFactory(TFakeVoucherService& service) : FService(service) {}
  void CreateInstance(TIntfPtr<IInterface>& instance) override {
    instance = MakeObject<TFakeVoucherAPI>(FService).As<IInterface>();
  }

 private:
  TFakeVoucherService& FService;
};

// Installs a test registry serving the scripted voucher API as the module's registry, and empties
// the slot again at the end.
class TScopedTestRegistry : public TScopedModuleRegistry {
 public:
  explicit TScopedTestRegistry(TFakeVoucherService& service) {
    Registry().RegisterFactory(IDovraVoucherAPI::IID,
                               MakeObject<TFakeVoucherAPIFactory>(service).Get());
  }
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
