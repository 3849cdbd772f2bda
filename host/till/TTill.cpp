#include "host/till/TTill.h"

#include <cstdlib>

#include "host/contract/DatabaseConnection.h"
#include "host/contract/ServiceRegistry.h"
#include "host/contract/StoreInfo.h"
#include "host/contract/TActionCodes.h"
#include "host/contract/TRestClient.h"
#include "host/store/DatabaseUpgrade.h"
#include "host/till/TModuleLoader.h"
#include "intf/intfDovraModuleInfo.h"
#include "intf/intfDovraVoucherAPI.h"
#include "lib/modulelog/ModuleLogLines.h"

TDBScriptOptions DatabaseOptions(const TTillOptions& options) {
  return TDBScriptOptions{
      options.DatabasePath, options.DatabaseBusyMs, options.SqlTracePath,
      "sarn-till/" + std::to_string(options.StoreID) + "/" + std::to_string(options.TillID),
      options.CreateDatabase};
}

TTill::TTill(TTillOptions options) : FOptions(std::move(options)) {}

TTill::~TTill() { Stop(); }

void TTill::StartServices() {
  if (FRegistry) return;
  FRegistry = NewServiceRegistry();
  RegisterStoreInfo(FRegistry.Get(), FOptions.StoreID, FOptions.StoreName, FOptions.TillID);
  TRestClientOptions rest;
  rest.CaFile = FOptions.CaFile;
  rest.ConnectTimeoutMs = FOptions.ConnectTimeoutMs;
  rest.TimeoutMs = FOptions.TimeoutMs;
  rest.AllowPlainHttp = FOptions.AllowPlainHttp;
  rest.Observer = FOptions.RestObserver;
  RegisterRestClient(FRegistry.Get(), rest);
  // The database opens on first use: a till that only lists modules never creates one.
  FDatabase = RegisterDBScript(FRegistry.Get(), DatabaseOptions(FOptions));
  FActionCodes = RegisterActionCodes(FRegistry.Get(), FDatabase.Get());
  FHostEntries = FRegistry->Count();
}

TDBScript& TTill::Database() {
  StartServices();
  return *FDatabase;
}

TActionCodes& TTill::ActionCodes() {
  StartServices();
  return *FActionCodes;
}

void TTill::NameForModuleLog(int32_t sale) {
  StartServices();
  // Whatever a parent process had set names another database or sale, not this one's.
  unsetenv(kDatabaseIdentityVariable);
  unsetenv(kSaleVariable);
  if (const std::string identity = DatabaseIdentity(Database()); !identity.empty())
    setenv(kDatabaseIdentityVariable, identity.c_str(), 1);
  if (sale >= 0) setenv(kSaleVariable, std::to_string(sale).c_str(), 1);
}

bool TTill::Start(std::string& error) {
  if (FModule && FModule->Loaded()) return true;
  StartServices();
  // The module reads its override once, as it loads.
  if (!FOptions.BaseURL.empty()) setenv("DOVRA_BASE_URL", FOptions.BaseURL.c_str(), 1);
  FModule = std::make_unique<TModuleLoader>();
  const bool loaded = FModule->Load(FOptions.ModulePath, error);
  FModuleWarning = FModule->Warning();
  if (!loaded) {
    FModule.reset();
    return false;
  }
  FModule->Init(FRegistry.Get());
  return true;
}

TReversalTally TTill::Reversals() const {
  TReversalTally tally;
  TIntfPtr<IInterface> api;
  if (!FRegistry || !FRegistry->ResolveService(IDovraVoucherAPI::IID, api)) return tally;
  if (const TIntfPtr<IDovraModuleInfo> info = api.As<IDovraModuleInfo>())
    info->GetReversals(tally.Sent, tally.Confirmed);
  return tally;
}

void TTill::Stop() {
  if (FModule) FModule->Unload();
  FModule.reset();
  // The registry goes last: the module's FinalModule still talks to it.
  if (FRegistry) FRegistry->Clear();
  FRegistry.Clear();
  FActionCodes.Clear();
  FDatabase.Clear();
}
