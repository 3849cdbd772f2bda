// sarn-till's running state: its service registry with the host services, and the loaded module.
// One TTill per process; everything runs on the Qt application's (main) thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "intf/intfDI.h"

struct TRestExchange;

struct TTillOptions {
  std::string ModulePath;  // the .smd to load
  std::string CaFile;      // extra CA certificate(s) the REST client trusts (PEM); empty: system
  int32_t StoreID = 1;     // what the store identity service answers
  std::string StoreName = "Sarn demo store";
  int32_t TillID = 1;
  int32_t ConnectTimeoutMs = 5000;  // REST client connect time-out
  int32_t TimeoutMs = 20000;        // REST client total time-out per request
  std::string DatabasePath;         // database file or server connection; empty: sarn-till.db
  bool CreateDatabase = true;       // a missing database file is made (sarn-till: upgrade only)
  int32_t DatabaseBusyMs = 5000;    // how long a database locked by another program is waited for
  std::string SqlTracePath;         // SQL trace file (JSON lines); empty: none
  bool AllowPlainHttp = false;      // REST client may use http:// to loopback addresses only
  // The module's voucher service override (DOVRA_BASE_URL), set before the module loads; empty:
  // the environment's as it stands.
  std::string BaseURL;
  // Sees the outcome of every request the REST client sends (the module keeps its own texts to
  // its log); empty: none.
  std::function<void(const TRestExchange&)> RestObserver = nullptr;
};

class TActionCodes;
class TDBScript;
class TModuleLoader;
struct TDBScriptOptions;
// The voucher reversals the module sent and how many of them the service confirmed with
// "Success": true, as the module tells (IDovraModuleInfo), so that a command can say how many
// vouchers went back without reading the module's log.
struct TReversalTally {
  int32_t Sent = 0;
  int32_t Confirmed = 0;
};

// The till's database service options (the database server sees the store and till numbers).
TDBScriptOptions DatabaseOptions(const TTillOptions& options);

class TTill {
 public:
  explicit TTill(TTillOptions options);
  ~TTill();  // finalises and unloads the module if it is loaded

  // Builds the registry with the host services (the database opens on first use). Start does it
  // too; a command calls it first when it must use the database before the module loads.
  void StartServices();
  // Names, in the environment the module's log header records, what this process writes: the
  // database's identity (read from the database when it has one: call it only for a database
  // that exists) and the sale being paid (-1: none). Call before Start.
  void NameForModuleLog(int32_t sale);
  // StartServices, then sets the voucher service override, loads the module and calls its
  // InitModule. False with a message (which file, what failed) when the module cannot be loaded.
  bool Start(std::string& error);
  // FinalModule, then unload. Safe to call twice.
  void Stop();

  IServiceRegistry* Registry() const { return FRegistry.Get(); }
  // The till's own services, the same objects the registry hands the module (StartServices
  // builds them when it has not yet).
  TDBScript& Database();
  TActionCodes& ActionCodes();
  // Registry entries that are the till's own services; the module's follow them.
  int32_t HostEntryCount() const { return FHostEntries; }
  const TTillOptions& Options() const { return FOptions; }
  // Options may change until Start (command-line parsing fills them in place).
  TTillOptions& MutableOptions() { return FOptions; }
  // Set by Start: one line when another user could have replaced the module (its file or folder
  // writable by others); empty otherwise.
  const std::string& ModuleWarning() const { return FModuleWarning; }
  // The voucher reversals the module sent and saw confirmed since it loaded; none before Start.
  TReversalTally Reversals() const;

 private:
  TTillOptions FOptions;
  TIntfPtr<IServiceRegistry> FRegistry;
  TIntfPtr<TDBScript> FDatabase;
  TIntfPtr<TActionCodes> FActionCodes;
  std::unique_ptr<TModuleLoader> FModule;
  int32_t FHostEntries = 0;
  std::string FModuleWarning;
};
