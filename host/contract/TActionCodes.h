// sarn-till's action (rights) codes service, IActionCodes, kept in the till's database:
//   SarnActionCodes     (Code primary key, Description, Level, GroupNo, Added)
//   SarnActionCodeLinks (Code, RightsKey, Added; one row per pair)
// Codes and keys compare without regard to case. Declaring a code again updates its
// description, level and group; linking a pair again changes nothing. The tables are created on
// first use. Failures reach the DB script service's trace (stderr) and the outcome of Apply.
#pragma once

#include <string>
#include <vector>

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

// The till's own face of its action-codes service, for its database upgrade: while deferred,
// calls are kept rather than written, so that the rights of a contributor are registered only
// after its scripts have run.
class ITillActionCodes : public IInterface {
 public:
  static constexpr TGUID IID = TGUID::Of("{732D9A27-500C-4E75-B33C-19A07B837D38}");
  virtual void SetDeferred(bool deferred) = 0;
  // The calls kept since the last take, in order; the list is emptied.
  virtual void TakeDeferred(std::vector<TActionCodeCall>& calls) = 0;
  virtual TActionCodeOutcome Apply(const TActionCodeCall& call) = 0;

 protected:
  ~ITillActionCodes() = default;
};

// Registers the service, working through db, as the registry's unnamed IActionCodes.
void RegisterActionCodes(IServiceRegistry* registry, IDBScript* db);
