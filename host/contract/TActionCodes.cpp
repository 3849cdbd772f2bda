#include "host/contract/TActionCodes.h"

#include <cstdio>

#include "host/db/sql/SqlText.h"

namespace {

// Written in the SQL Server dialect modules use; each engine's rewrite makes it its own. Codes and
// keys compare without regard to case through UPPER, whatever the engine's collation.
const char* const TablesScript =
    "IF OBJECT_ID( 'SarnActionCodes', 'U' ) IS NULL\r\n"
    "  CREATE TABLE [SarnActionCodes] (\r\n"
    "    [Code]        NVARCHAR(MAX) NOT NULL PRIMARY KEY,\r\n"
    "    [Description] NVARCHAR(MAX) NOT NULL,\r\n"
    "    [Level]       INT           NOT NULL,\r\n"
    "    [GroupNo]     INT           NOT NULL,\r\n"
    "    [Added]       DATETIME      NOT NULL\r\n"
    "  );\r\n"
    "IF OBJECT_ID( 'SarnActionCodeLinks', 'U' ) IS NULL\r\n"
    "  CREATE TABLE [SarnActionCodeLinks] (\r\n"
    "    [Code]      NVARCHAR(MAX) NOT NULL,\r\n"
    "    [RightsKey] NVARCHAR(MAX) NOT NULL,\r\n"
    "    [Added]     DATETIME      NOT NULL,\r\n"
    "    PRIMARY KEY ( [Code], [RightsKey] )\r\n"
    "  )";

}  // namespace

void TActionCodes::AddActionCode(const std::string& code, const std::string& description,
                                 int32_t level, int32_t group) {
  Take(TActionCodeCall{TActionCodeCall::TKind::Add, code, description, level, group});
}

void TActionCodes::RemoveActionCode(const std::string& code) {
  Take(TActionCodeCall{TActionCodeCall::TKind::Remove, code, {}, 0, 0});
}

void TActionCodes::LinkActionCode(const std::string& code, const std::string& key) {
  Take(TActionCodeCall{TActionCodeCall::TKind::Link, code, key, 0, 0});
}

void TActionCodes::TakeDeferred(std::vector<TActionCodeCall>& calls) {
  calls = std::move(FKept);
  FKept.clear();
}

void TActionCodes::Take(TActionCodeCall call) {
  if (FDeferred)
    FKept.push_back(std::move(call));
  else
    Apply(call);
}

TActionCodeOutcome TActionCodes::Apply(const TActionCodeCall& call) {
  if (call.Code.empty() || (call.Kind == TActionCodeCall::TKind::Link && call.Text.empty())) {
    fprintf(stderr, "sarn-till: action codes: an empty %s is refused\n",
            call.Code.empty() ? "code" : "rights key");
    return TActionCodeOutcome::Failed;
  }
  // The tables are made sure of on every call: the DB service may have been pointed at another
  // database since the last one, and the check costs next to nothing beside the upgrade.
  if (FDb->Execute(TablesScript, {}) < 0) return TActionCodeOutcome::Failed;
  const std::string code = SqlStringLiteral(call.Code);
  const std::string text = SqlStringLiteral(call.Text);
  switch (call.Kind) {
    case TActionCodeCall::TKind::Add: {
      const int32_t added = FDb->Execute(
          "INSERT INTO [SarnActionCodes] ( [Code], [Description], [Level], [GroupNo], [Added] ) "
          "SELECT %s, %s, %d, %d, GETDATE() WHERE NOT EXISTS "
          "( SELECT 1 FROM [SarnActionCodes] WHERE UPPER( [Code] ) = UPPER( %s ) )",
          {code, text, call.Level, call.Group, code});
      if (added != 0) return added > 0 ? TActionCodeOutcome::Added : TActionCodeOutcome::Failed;
      const int32_t updated = FDb->Execute(
          "UPDATE [SarnActionCodes] SET [Description] = %s, [Level] = %d, [GroupNo] = %d "
          "WHERE UPPER( [Code] ) = UPPER( %s ) "
          "AND ( [Description] <> %s OR [Level] <> %d OR [GroupNo] <> %d )",
          {text, call.Level, call.Group, code, text, call.Level, call.Group});
      return updated < 0    ? TActionCodeOutcome::Failed
             : updated == 0 ? TActionCodeOutcome::Unchanged
                            : TActionCodeOutcome::Updated;
    }
    case TActionCodeCall::TKind::Remove: {
      const int32_t removed = FDb->Execute(
          "DELETE FROM [SarnActionCodeLinks] WHERE UPPER( [Code] ) = UPPER( %s ); "
          "DELETE FROM [SarnActionCodes] WHERE UPPER( [Code] ) = UPPER( %s )",
          {code, code});
      return removed < 0    ? TActionCodeOutcome::Failed
             : removed == 0 ? TActionCodeOutcome::Absent
                            : TActionCodeOutcome::Removed;
    }
    case TActionCodeCall::TKind::Link: {
      const int32_t linked = FDb->Execute(
          "INSERT INTO [SarnActionCodeLinks] ( [Code], [RightsKey], [Added] ) "
          "SELECT %s, %s, GETDATE() WHERE NOT EXISTS ( SELECT 1 FROM [SarnActionCodeLinks] "
          "WHERE UPPER( [Code] ) = UPPER( %s ) AND UPPER( [RightsKey] ) = UPPER( %s ) )",
          {code, text, code, text});
      return linked < 0    ? TActionCodeOutcome::Failed
             : linked == 0 ? TActionCodeOutcome::Unchanged
                           : TActionCodeOutcome::Added;
    }
  }
  return TActionCodeOutcome::Failed;
}

const char* OutcomeText(TActionCodeOutcome outcome) {
  switch (outcome) {
    case TActionCodeOutcome::Added:
      return "added";
    case TActionCodeOutcome::Updated:
      return "updated";
    case TActionCodeOutcome::Unchanged:
      return "already registered";
    case TActionCodeOutcome::Removed:
      return "removed";
    case TActionCodeOutcome::Absent:
      return "not registered";
    case TActionCodeOutcome::Failed:
      break;
  }
  return "FAILED";
}

TIntfPtr<TActionCodes> RegisterActionCodes(IServiceRegistry* registry, IDBScript* db) {
  TIntfPtr<TActionCodes> codes = MakeObject<TActionCodes>(db);
  registry->RegisterInstance(IActionCodes::IID, codes.As<IInterface>().Get());
  return codes;
}
