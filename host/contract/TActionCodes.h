// sarn-till's action (rights) codes service, IActionCodes, kept in the till's database:
//   SarnActionCodes     (Code primary key, Description, Level, GroupNo, Added)
//   SarnActionCodeLinks (Code, RightsKey, Added; one row per pair)
// Codes and keys compare without regard to case. Declaring a code again updates its
// description, level and group; linking a pair again changes nothing. The tables are created on
// first use. Failures reach the DB script service's trace (stderr) and the outcome of Apply.
#pragma once

#include <string>
#include <vector>

#include "intf/clsInterfacedObject.h"
#include "intf/intfActCodes.h"
#include "intf/intfDBScript.h"
#include "intf/intfDI.h"

struct TActionCodeCall {
  enum class TKind { Add, Remove, Link } Kind = TKind::Add;
  std::string Code;
  std::string Text;  // Add: the description; Link: the rights key
  int32_t Level = 0;
  int32_t Group = 0;
};

enum class TActionCodeOutcome { Added, Updated, Unchanged, Removed, Absent, Failed };
const char* OutcomeText(TActionCodeOutcome outcome);

class TActionCodes final : public TImplements<TInterfacedObject, IActionCodes> {
 public:
  explicit TActionCodes(IDBScript* db) : FDb(TIntfPtr<IDBScript>::Share(db)) {}

  void AddActionCode(const std::string& code, const std::string& description, int32_t level,
                     int32_t group) override;
  void RemoveActionCode(const std::string& code) override;
  void LinkActionCode(const std::string& code, const std::string& key) override;

  // The till's own calls, for its database upgrade: while a deferral stands, the calls are kept
  // rather than written, so that the rights of a contributor are registered only after its
  // scripts have run.
  class TDeferral {
   public:
    explicit TDeferral(TActionCodes& codes) : FCodes(codes) { FCodes.FDeferred = true; }
    ~TDeferral() { FCodes.FDeferred = false; }
    TDeferral(const TDeferral&) = delete;
    TDeferral& operator=(const TDeferral&) = delete;

   private:
    TActionCodes& FCodes;
  };
  // The calls kept since the last take, in order; the list is emptied.
  void TakeDeferred(std::vector<TActionCodeCall>& calls);
  TActionCodeOutcome Apply(const TActionCodeCall& call);

 private:
  void Take(TActionCodeCall call);

  TIntfPtr<IDBScript> FDb;
  bool FDeferred = false;
  std::vector<TActionCodeCall> FKept;
};

// Registers the service, working through db, as the registry's unnamed IActionCodes, and returns
// it for the till's own calls.
TIntfPtr<TActionCodes> RegisterActionCodes(IServiceRegistry* registry, IDBScript* db);
