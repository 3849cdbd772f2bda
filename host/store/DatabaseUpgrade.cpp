#include "host/store/DatabaseUpgrade.h"

#include <exception>
#include <random>
#include <set>

#include "host/contract/TActionCodes.h"
#include "host/contract/TDBScript.h"
#include "host/contract/TScriptCollector.h"
#include "host/db/sql/SqlText.h"
#include "host/store/TGiveBack.h"
#include "host/store/TTillSales.h"
#include "intf/intfActCodes.h"
#include "intf/intfDBScript.h"
#include "intf/intfDatabaseChanges.h"

namespace {

// In the SQL Server dialect, as the modules' scripts: each engine's rewrite makes it its own.
const char* const SchemaScriptsTable =
    "IF OBJECT_ID( 'SarnSchemaScripts', 'U' ) IS NULL\r\n"
    "  CREATE TABLE [SarnSchemaScripts] (\r\n"
    "    [ID]          INT           NOT NULL IDENTITY(1,1) PRIMARY KEY,\r\n"
    "    [Contributor] NVARCHAR(MAX) NOT NULL,\r\n"
    "    [Position]    INT           NOT NULL,\r\n"
    "    [Script]      NVARCHAR(MAX) NOT NULL,\r\n"
    "    [FirstRun]    DATETIME      NOT NULL,\r\n"
    "    [LastRun]     DATETIME      NOT NULL,\r\n"
    "    [Runs]        INT           NOT NULL,\r\n"
    "    [Outcome]     NVARCHAR(MAX) NOT NULL\r\n"
    "  )";

// The tables of the database.
std::set<std::string> Tables(TDBScript& db) {
  std::vector<std::string> names;
  db.Tables(names);
  return std::set<std::string>(names.begin(), names.end());
}

// The script's first line without its padding, to tell scripts apart in the report.
std::string Title(const std::string& script) {
  std::string line = script.substr(0, script.find_first_of("\r\n"));
  line.erase(line.find_last_not_of(" \t") + 1);
  if (line.size() > 60) line = line.substr(0, 57) + "...";
  return line;
}

void Record(TDBScript& db, const TCollectedScript& entry, int32_t position,
            const std::string& outcome) {
  // One batch, so one transaction: the update counts a script run before, the insert (only when
  // no row was there) records a first run.
  const std::string group = SqlStringLiteral(entry.Group), script = SqlStringLiteral(entry.Script),
                    result = SqlStringLiteral(outcome);
  db.Execute(
      "UPDATE [SarnSchemaScripts] SET [Position] = %d, [LastRun] = GETDATE(), "
      "[Runs] = [Runs] + 1, [Outcome] = %s WHERE [Contributor] = %s AND [Script] = %s;\r\n"
      "INSERT INTO [SarnSchemaScripts] "
      "( [Contributor], [Position], [Script], [FirstRun], [LastRun], [Runs], [Outcome] ) "
      "SELECT %s, %d, %s, GETDATE(), GETDATE(), 1, %s WHERE NOT EXISTS "
      "( SELECT 1 FROM [SarnSchemaScripts] WHERE [Contributor] = %s AND [Script] = %s )",
      {position, result, group, script, group, position, script, result, group, script});
}

struct TContribution {
  std::string Name;
  std::vector<TActionCodeCall> Rights;
};

std::string Describe(const TActionCodeCall& call) {
  switch (call.Kind) {
    case TActionCodeCall::TKind::Add:
      return "action code " + call.Code + " \"" + call.Text + "\"";
    case TActionCodeCall::TKind::Remove:
      return "remove action code " + call.Code;
    case TActionCodeCall::TKind::Link:
      break;
  }
  return "link " + call.Code + " -> " + call.Text;
}

// What a contributor's rights are, since their number alone says little: the action codes it
// adds and the links that tie each code to the rights key of what it guards (who holds the key
// may use the code), e.g. " (2 action code(s): SM005, SM006; 2 link(s) of a code to a rights
// key: SM005 -> FRCH, SM006 -> FRCH)".
std::string RightsInWords(const std::vector<TActionCodeCall>& rights) {
  std::string codes, links, removed;
  int32_t added = 0, linked = 0, gone = 0;
  for (const TActionCodeCall& call : rights) {
    std::string& list = call.Kind == TActionCodeCall::TKind::Add    ? codes
                        : call.Kind == TActionCodeCall::TKind::Link ? links
                                                                    : removed;
    list += (list.empty() ? "" : ", ") + call.Code;
    if (call.Kind == TActionCodeCall::TKind::Link) list += " -> " + call.Text;
    ++(call.Kind == TActionCodeCall::TKind::Add    ? added
       : call.Kind == TActionCodeCall::TKind::Link ? linked
                                                   : gone);
  }
  std::string words;
  auto part = [&words](int32_t n, const std::string& what, const std::string& list) {
    if (n == 0) return;
    words += (words.empty() ? " (" : "; ") + std::to_string(n) + " " + what + ": " + list;
  };
  part(added, "action code(s)", codes);
  part(linked, "link(s) of a code to a rights key", links);
  part(gone, "action code(s) removed", removed);
  return words.empty() ? words : words + ")";
}

// Whether the statement's first result has a row; false also when it failed.
bool Any(TDBScript& db, const std::string& statement) {
  TDBTable table;
  return db.QueryTable(statement, table) && !table.Rows.empty();
}

// Whether every script is recorded as run, as it stands now, and every right is in place,
// found by reading alone.
bool UpToDate(TDBScript& db, const std::vector<TCollectedScript>& scripts,
              const std::vector<TContribution>& contributions) {
  if (!db.TableExists("SarnSchemaScripts")) return false;
  for (const TCollectedScript& entry : scripts)
    if (!entry.Error.empty() ||
        !Any(db, "SELECT 1 AS [Found] FROM [SarnSchemaScripts] WHERE [Contributor] = " +
                     SqlStringLiteral(entry.Group) + " AND [Script] = " +
                     SqlStringLiteral(entry.Script) + " AND [Outcome] = 'ran'"))
      return false;
  for (const TContribution& contribution : contributions)
    for (const TActionCodeCall& call : contribution.Rights) {
      const std::string code = SqlStringLiteral(call.Code), text = SqlStringLiteral(call.Text);
      switch (call.Kind) {
        case TActionCodeCall::TKind::Add:
          if (!db.TableExists("SarnActionCodes") ||
              !Any(db,
                   "SELECT 1 AS [Found] FROM [SarnActionCodes] WHERE UPPER( [Code] ) "
                   "= UPPER( " +
                       code + " ) AND [Description] = " + text +
                       " AND [Level] = " + std::to_string(call.Level) +
                       " AND [GroupNo] = " + std::to_string(call.Group)))
            return false;
          break;
        case TActionCodeCall::TKind::Link:
          if (!db.TableExists("SarnActionCodeLinks") ||
              !Any(db,
                   "SELECT 1 AS [Found] FROM [SarnActionCodeLinks] WHERE UPPER( "
                   "[Code] ) = UPPER( " +
                       code +
                       " ) AND UPPER( [RightsKey] ) = "
                       "UPPER( " +
                       text + " )"))
            return false;
          break;
        case TActionCodeCall::TKind::Remove:
          if (db.TableExists("SarnActionCodes") &&
              Any(db,
                  "SELECT 1 AS [Found] FROM [SarnActionCodes] WHERE UPPER( [Code] ) "
                  "= UPPER( " +
                      code + " )"))
            return false;
          break;
      }
    }
  return true;
}

// Writes the upgrade's account line by line, as it happens.
class TUpgradeAccount {
 public:
  explicit TUpgradeAccount(std::vector<TUpgradeLine>& lines) : FLines(lines) {}
  void Did(std::string text) { FLines.push_back({false, std::move(text)}); }
  void Failure(std::string text) { FLines.push_back({true, std::move(text)}); }

 private:
  std::vector<TUpgradeLine>& FLines;
};

}  // namespace

TDatabaseUpgradeResult RunDatabaseUpgrade(IServiceRegistry* registry, TDBScript& db,
                                          TActionCodes& rights) {
  TDatabaseUpgradeResult result;
  TUpgradeAccount account(result.Lines);
  std::string path, error;
  db.GetConnection(path);
  account.Did("database: " + path);
  TIntfPtr<TScriptCollector> collector = MakeObject<TScriptCollector>();
  std::vector<TContribution> contributions;
  bool failed = false;
  {
    TActionCodes::TDeferral deferral(rights);
    const int32_t count = registry->NameCount(IDatabaseChanges::IID);
    for (int32_t i = 0; i < count; ++i) {
      TContribution& contribution = contributions.emplace_back();
      TIntfPtr<IInterface> object;
      TIntfPtr<IDatabaseChanges> changes;
      if (registry->NameAt(IDatabaseChanges::IID, i, contribution.Name) &&
          registry->ResolveNamedService(IDatabaseChanges::IID, contribution.Name, object))
        changes = object.As<IDatabaseChanges>();
      if (!changes) {
        account.Failure("database changes \"" + contribution.Name + "\" cannot be created");
        failed = true;
        continue;
      }
      const size_t before = collector->Scripts().size();
      collector->BeginGroup(contribution.Name);
      try {
        changes->CollectChanges(static_cast<IDBScript*>(&db), collector.Get());
      } catch (const std::exception& e) {
        account.Failure(contribution.Name + ": collecting its changes failed: " + e.what());
        failed = true;
      }
      collector->EndGroup();
      rights.TakeDeferred(contribution.Rights);
      account.Did(contribution.Name + ": " + std::to_string(collector->Scripts().size() - before) +
                  " script(s), " + std::to_string(contribution.Rights.size()) + " right(s)" +
                  RightsInWords(contribution.Rights));
    }
    if (count == 0) account.Did("no database changes are registered");
  }
  for (const std::string& comment : collector->Comments()) account.Did("  " + comment);
  result.ScriptCount = static_cast<int32_t>(collector->Scripts().size());

  // A database that cannot be written but already holds everything is up to date: nothing to
  // write, so nothing failed. Only then is the history left as it is.
  if (!failed && UpToDate(db, collector->Scripts(), contributions) &&
      db.Execute("UPDATE [SarnSchemaScripts] SET [Runs] = [Runs] WHERE 1 = 0", {}) < 0) {
    for (const TContribution& contribution : contributions)
      for (const TActionCodeCall& call : contribution.Rights)
        account.Did("  " + contribution.Name + " " + Describe(call) + ": " +
                    OutcomeText(call.Kind == TActionCodeCall::TKind::Remove
                                    ? TActionCodeOutcome::Absent
                                    : TActionCodeOutcome::Unchanged));
    result.Outcome = TUpgradeOutcome::UpToDateReadOnly;
    return result;
  }
  if (db.Execute(SchemaScriptsTable, {}) < 0) {  // the service has said why
    account.Failure("the database cannot be used; nothing was changed");
    result.Outcome = TUpgradeOutcome::Unusable;
    return result;
  }
  // The till's own table of sales, made or brought up to date in place.
  if (std::string done; !UpgradeTillSales(db, done)) {
    account.Failure(
        "the till's table SarnSales could not be made or brought up to date; no module script "
        "ran");
    result.Outcome = TUpgradeOutcome::Unusable;
    return result;
  } else if (!done.empty()) {
    account.Did("  till: " + done);
  }
  // What names this database in the module log of every till that writes it.
  if (std::string identity, done; !EnsureDatabaseIdentity(db, identity, done)) {
    account.Failure("the till's table SarnDatabase could not be made; no module script ran");
    result.Outcome = TUpgradeOutcome::Unusable;
    return result;
  } else if (!done.empty()) {
    account.Did("  till: " + done);
  }
  if (!EnsureGiveBacksTable(db)) {
    account.Failure(
        "the till's table SarnGiveBacks could not be made or brought up to date; no "
        "module script ran");
    result.Outcome = TUpgradeOutcome::Unusable;
    return result;
  }

  // Scripts in the order collected; the first failure stops the upgrade.
  std::set<std::string> tables = Tables(db);
  const auto& scripts = collector->Scripts();
  for (size_t i = 0; i < scripts.size() && !failed; ++i) {
    const TCollectedScript& entry = scripts[i];
    int32_t position = 1;
    for (size_t k = 0; k < i; ++k) position += scripts[k].Group == entry.Group;
    const std::string step = "  " + entry.Group + " script " + std::to_string(position) + " \"" +
                             Title(entry.File.empty() ? entry.Script : entry.File) + "\": ";
    if (!entry.Error.empty()) {
      account.Did(step + "FAILED");
      account.Failure(entry.Group + " script " + std::to_string(position) + ": " + entry.Error);
      failed = true;
      break;
    }
    if (db.Execute("%s", {entry.Script}) < 0) {  // the service has said why
      db.LastError(error);
      account.Did(step + "FAILED");
      account.Failure(entry.Group + " script " + std::to_string(position) +
                      " failed; the scripts after it did not run and no right was registered");
      Record(db, entry, position, "failed: " + error);
      failed = true;
      break;
    }
    ++result.ScriptsRun;
    const std::set<std::string> now = Tables(db);
    std::string made;
    for (const std::string& table : now)
      if (!tables.count(table)) {
        made += (made.empty() ? "" : ", ") + table;
        ++result.TablesCreated;
      }
    tables = now;
    account.Did(step + (made.empty() ? "ran, no table created" : "created " + made));
    Record(db, entry, position, "ran");
  }

  // Rights only once every script stands.
  if (failed) {
    bool any = false;
    for (const TContribution& c : contributions) any = any || !c.Rights.empty();
    if (any) account.Did("  rights not registered: the upgrade stopped");
  } else {
    for (const TContribution& contribution : contributions)
      for (const TActionCodeCall& call : contribution.Rights) {
        const TActionCodeOutcome outcome = rights.Apply(call);
        account.Did("  " + contribution.Name + " " + Describe(call) + ": " + OutcomeText(outcome));
        if (outcome == TActionCodeOutcome::Failed) {
          failed = true;
          account.Failure(contribution.Name + ": " + Describe(call) + " could not be registered");
        } else if (outcome != TActionCodeOutcome::Unchanged &&
                   outcome != TActionCodeOutcome::Absent) {
          ++result.RightsChanged;
        }
      }
  }
  result.Outcome = failed ? TUpgradeOutcome::Failed : TUpgradeOutcome::Done;
  return result;
}

namespace {

// In the SQL Server dialect, as the till's other tables.
const std::string IdentityScript =
    "IF OBJECT_ID( 'SarnDatabase', 'U' ) IS NULL\r\n"
    "  CREATE TABLE [SarnDatabase] (\r\n"
    "    [Identity] NVARCHAR(64) NOT NULL,\r\n"
    "    [Created]  DATETIME     NOT NULL\r\n"
    "  );\r\n";

// Two tills upgrading at once may each add a row: all of them read the same one.
const std::string IdentityQuery = "SELECT MIN( [Identity] ) AS [Identity] FROM [SarnDatabase]";

std::string NewIdentity() {
  std::random_device random;
  std::string text;
  static const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) text += digits[random() & 0xF];
  return text;
}

}  // namespace

std::string DatabaseIdentity(IDBScript& db) {
  std::string identity;
  if (!db.TableExists("SarnDatabase") || !db.QueryValue(IdentityQuery, "Identity", identity))
    return {};
  return identity;
}

bool EnsureDatabaseIdentity(IDBScript& db, std::string& identity, std::string& done) {
  done.clear();
  identity = DatabaseIdentity(db);
  if (!identity.empty()) return true;
  identity = NewIdentity();
  if (db.Execute(IdentityScript, {}) < 0 ||
      db.Execute("INSERT INTO [SarnDatabase] ( [Identity], [Created] ) VALUES ( %s, GETDATE() )",
                 {"'" + identity + "'"}) != 1)
    return false;
  identity = DatabaseIdentity(db);
  done = "table SarnDatabase created (this database: " + identity + ")";
  return !identity.empty();
}
