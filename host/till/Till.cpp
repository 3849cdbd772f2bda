#include "Till.h"

#include <cstdlib>

#include "RestClient.h"
#include "TActionCodes.h"
#include "TDatabases.h"
#include "TModuleLoader.h"
#include "TServiceRegistry.h"
#include "TStoreInfo.h"
#include "clsJSONDocument.h"

TDBScriptOptions DatabaseOptions(const TTillOptions& options) {
  return TDBScriptOptions{
      options.DatabasePath, options.DatabaseBusyMs, options.SqlTracePath,
      "sarn-till/" + std::to_string(options.StoreID) + "/" + std::to_string(options.TillID),
      options.CreateDatabase};
}

namespace {

// Counts a reversal, and its confirmation only when the service said "Success": true.
void CountReversal(TReversalTally& tally, const TRestExchange& exchange) {
  static const std::string reverse = "ReverseRedemption";
  const std::string& url = exchange.URL;
  if (url.size() < reverse.size() ||
      url.compare(url.size() - reverse.size(), reverse.size(), reverse) != 0)
    return;
  ++tally.Sent;
  if (!exchange.Error.empty()) return;
  try {
    const TJSONValue answer = ParseJSONDocument(exchange.Body);
    const TJSONValue* success = answer.IsDocument() ? answer.Find("Success") : nullptr;
    if (success && success->Kind() == TJSONKind::Boolean && success->AsBoolean()) ++tally.Confirmed;
  } catch (const std::exception&) {
  }
}

}  // namespace

TTill::TTill(TTillOptions options)
    : FOptions(std::move(options)), FReversals(std::make_shared<TReversalTally>()) {}

TTill::~TTill() { Stop(); }

bool TTill::Start(std::string& error) {
  if (FModule && FModule->Loaded()) return true;
  FRegistry = NewServiceRegistry();
  RegisterStoreInfo(FRegistry.Get(), FOptions.StoreID, FOptions.StoreName, FOptions.TillID);
  TRestClientOptions rest;
  rest.CaFile = FOptions.CaFile;
  rest.ConnectTimeoutMs = FOptions.ConnectTimeoutMs;
  rest.TimeoutMs = FOptions.TimeoutMs;
  rest.AllowPlainHttp = FOptions.AllowPlainHttp;
  rest.Observer = [tally = FReversals, outer = FOptions.RestObserver](const TRestExchange& e) {
    CountReversal(*tally, e);
    if (outer) outer(e);
  };
  RegisterRestClient(FRegistry.Get(), rest);
  // The database opens on first use: a till that only lists modules never creates one.
  TIntfPtr<IDBScript> db = RegisterDBScript(FRegistry.Get(), DatabaseOptions(FOptions));
  RegisterActionCodes(FRegistry.Get(), db.Get());

  FHostEntries = FRegistry->Count();
  // The module reads its override once, as it loads.
  if (!FOptions.BaseURL.empty()) setenv("DOVRA_BASE_URL", FOptions.BaseURL.c_str(), 1);
  FModule = std::make_unique<TModuleLoader>();
  if (!FModule->Load(FOptions.ModulePath, error)) {
    FModule.reset();
    return false;
  }
  FModule->Init(FRegistry.Get());
  return true;
}

void TTill::Stop() {
  if (FModule) FModule->Unload();
  FModule.reset();
  // The registry goes last: the module's FinalModule still talks to it.
  if (FRegistry) FRegistry->Clear();
  FRegistry.Clear();
}
