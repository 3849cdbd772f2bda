#include "host/services/TDatabaseUpgrade.h"

#include <exception>
#include <ostream>
#include <set>
#include <sstream>

#include "host/db/SqlText.h"
#include "host/db/TDBScript.h"
#include "host/services/TActionCodes.h"
#include "host/services/TScriptCollector.h"
#include "host/services/TTillSales.h"
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
std::set<std::string> Tables(ITillDatabase* db) {
  std::vector<std::string> names;
  if (db) db->Tables(names);
  return std::set<std::string>(names.begin(), names.end());
}

// The script's first line without its padding, to tell scripts apart in the report.
std::string Title(const std::string& script) {
  std::string line = script.substr(0, script.find_first_of("\r\n"));
  line.erase(line.find_last_not_of(" \t") + 1);
  if (line.size() > 60) line = line.substr(0, 57) + "...";
  return line;
}

void Record(IDBScript* db, const TCollectedScript& entry, int32_t position,
            const std::string& outcome) {
  // One batch, so one transaction: the update counts a script run before, the insert (only when
  // no row was there) records a first run.
  const std::string group = SqlStringLiteral(entry.Group), script = SqlStringLiteral(entry.Script),
                    result = SqlStringLiteral(outcome);
  db->Execute(
      "UPDATE [SarnSchemaScripts] SET [Position] = %d, [LastRun] = GETDATE(), "
      "[Runs] = [Runs] + 1, [Outcome] = %s WHERE [Contributor] = %s AND [Script] = %s;\r\n"
      "INSERT INTO [SarnSchemaScripts] "
      "( [Contributor], [Position], [Script], [FirstRun], [LastRun], [Runs], [Outcome] ) "
      "SELECT %s, %d, %s, GETDATE(), GETDATE(), 1, %s WHERE NOT EXISTS "
      "( SELECT 1 FROM [SarnSchemaScripts] WHERE [Contributor] = %s AND [Script] = %s )",
      {position, result, group, script, group, position, script, result, group, script});
}

// Keeps the action-codes service deferring for the upgrade's collection, and only then.
class TDeferral {
 public:
  explicit TDeferral(ITillActionCodes* codes) : FCodes(codes) {
    if (FCodes) FCodes->SetDeferred(true);
  }
  ~TDeferral() {
    if (FCodes) FCodes->SetDeferred(false);
  }
  TDeferral(const TDeferral&) = delete;
  TDeferral& operator=(const TDeferral&) = delete;

 private:
  ITillActionCodes* FCodes;
};

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
bool Any(ITillDatabase* db, const std::string& statement) {
  TDBTable table;
  return db && db->QueryTable(statement, table) && !table.Rows.empty();
}

// Whether every script is recorded as run, as it stands now, and every right is in place,
// found by reading alone.
bool UpToDate(IDBScript* db, const std::vector<TCollectedScript>& scripts,
              const std::vector<TContribution>& contributions) {
  TIntfPtr<ITillDatabase> till = TIntfPtr<IDBScript>::Share(db).As<ITillDatabase>();
  if (!db->TableExists("SarnSchemaScripts")) return false;
  for (const TCollectedScript& entry : scripts)
    if (!entry.Error.empty() ||
        !Any(till.Get(), "SELECT 1 AS [Found] FROM [SarnSchemaScripts] WHERE [Contributor] = " +
                             SqlStringLiteral(entry.Group) + " AND [Script] = " +
                             SqlStringLiteral(entry.Script) + " AND [Outcome] = 'ran'"))
      return false;
  for (const TContribution& contribution : contributions)
    for (const TActionCodeCall& call : contribution.Rights) {
      const std::string code = SqlStringLiteral(call.Code), text = SqlStringLiteral(call.Text);
      switch (call.Kind) {
        case TActionCodeCall::TKind::Add:
          if (!db->TableExists("SarnActionCodes") ||
              !Any(till.Get(),
                   "SELECT 1 AS [Found] FROM [SarnActionCodes] WHERE UPPER( [Code] ) "
                   "= UPPER( " +
                       code + " ) AND [Description] = " + text +
                       " AND [Level] = " + std::to_string(call.Level) +
                       " AND [GroupNo] = " + std::to_string(call.Group)))
            return false;
          break;
        case TActionCodeCall::TKind::Link:
          if (!db->TableExists("SarnActionCodeLinks") ||
              !Any(till.Get(),
                   "SELECT 1 AS [Found] FROM [SarnActionCodeLinks] WHERE UPPER( "
                   "[Code] ) = UPPER( " +
                       code +
                       " ) AND UPPER( [RightsKey] ) = "
                       "UPPER( " +
                       text + " )"))
            return false;
          break;
        case TActionCodeCall::TKind::Remove:
          if (db->TableExists("SarnActionCodes") &&
              Any(till.Get(),
                  "SELECT 1 AS [Found] FROM [SarnActionCodes] WHERE UPPER( [Code] ) "
                  "= UPPER( " +
                      code + " )"))
            return false;
          break;
      }
    }
  return true;
}

}  // namespace

int RunDatabaseUpgrade(IServiceRegistry* registry, std::ostream& out, std::ostream& err) {
  TIntfPtr<IDBScript> db = ResolveAs<IDBScript>(registry);
  if (!db) {
    err << "sarn-till upgrade: the till has no DB script service\n";
    return 2;
  }
  std::string path, error;
  db->GetConnection(path);
  out << "database: " << path << '\n';
  TIntfPtr<IInterface> found;
  registry->ResolveService(IActionCodes::IID, found);
  TIntfPtr<ITillActionCodes> rights = found.As<ITillActionCodes>();
  TIntfPtr<TScriptCollector> collector = MakeObject<TScriptCollector>();
  std::vector<TContribution> contributions;
  bool failed = false;
  {
    TDeferral deferral(rights.Get());
    const int32_t count = registry->NameCount(IDatabaseChanges::IID);
    for (int32_t i = 0; i < count; ++i) {
      TContribution& contribution = contributions.emplace_back();
      TIntfPtr<IInterface> object;
      TIntfPtr<IDatabaseChanges> changes;
      if (registry->NameAt(IDatabaseChanges::IID, i, contribution.Name) &&
          registry->ResolveNamedService(IDatabaseChanges::IID, contribution.Name, object))
        changes = object.As<IDatabaseChanges>();
      if (!changes) {
        err << "sarn-till upgrade: database changes \"" << contribution.Name
            << "\" cannot be created\n";
        failed = true;
        continue;
      }
      const size_t before = collector->Scripts().size();
      collector->BeginGroup(contribution.Name);
      try {
        changes->CollectChanges(db.Get(), collector.Get());
      } catch (const std::exception& e) {
        err << "sarn-till upgrade: " << contribution.Name
            << ": collecting its changes failed: " << e.what() << '\n';
        failed = true;
      }
      collector->EndGroup();
      if (rights) rights->TakeDeferred(contribution.Rights);
      out << contribution.Name << ": " << collector->Scripts().size() - before << " script(s), "
          << contribution.Rights.size() << " right(s)" << RightsInWords(contribution.Rights)
          << "\n";
    }
    if (count == 0) out << "no database changes are registered\n";
  }
  for (const std::string& comment : collector->Comments()) out << "  " << comment << '\n';

  // A database that cannot be written but already holds everything is up to date: nothing to
  // write, so nothing failed. Only then is the history left as it is.
  if (!failed && UpToDate(db.Get(), collector->Scripts(), contributions) &&
      db->Execute("UPDATE [SarnSchemaScripts] SET [Runs] = [Runs] WHERE 1 = 0", {}) < 0) {
    for (const TContribution& contribution : contributions)
      for (const TActionCodeCall& call : contribution.Rights)
        out << "  " << contribution.Name << " " << Describe(call) << ": "
            << OutcomeText(call.Kind == TActionCodeCall::TKind::Remove
                               ? TActionCodeOutcome::Absent
                               : TActionCodeOutcome::Unchanged)
            << '\n';
    out << "upgrade done: the database cannot be written and is up to date, nothing to write: "
        << collector->Scripts().size() << " script(s) already run, every right registered\n";
    return 0;
  }
  if (db->Execute(SchemaScriptsTable, {}) < 0) {  // the service has said why
    err << "sarn-till upgrade: the database cannot be used; nothing was changed\n";
    return 1;
  }
  // The till's own table of sales, made or brought up to date in place.
  if (std::string done; !UpgradeTillSales(db.Get(), done)) {
    err << "sarn-till upgrade: the till's table SarnSales could not be made or brought up to "
           "date; no module script ran\n";
    return 1;
  } else if (!done.empty()) {
    out << "  till: " << done << '\n';
  }

  // Scripts in the order collected; the first failure stops the upgrade.
  int ran = 0, created = 0;
  TIntfPtr<ITillDatabase> till = db.As<ITillDatabase>();
  std::set<std::string> tables = Tables(till.Get());
  const auto& scripts = collector->Scripts();
  for (size_t i = 0; i < scripts.size() && !failed; ++i) {
    const TCollectedScript& entry = scripts[i];
    int32_t position = 1;
    for (size_t k = 0; k < i; ++k) position += scripts[k].Group == entry.Group;
    out << "  " << entry.Group << " script " << position << " \""
        << Title(entry.File.empty() ? entry.Script : entry.File) << "\": ";
    if (!entry.Error.empty()) {
      out << "FAILED\n";
      err << "sarn-till upgrade: " << entry.Group << " script " << position << ": " << entry.Error
          << '\n';
      failed = true;
      break;
    }
    if (db->Execute("%s", {entry.Script}) < 0) {  // the service has said why
      db->LastError(error);
      out << "FAILED\n";
      err << "sarn-till upgrade: " << entry.Group << " script " << position
          << " failed; the scripts after it did not run and no right was registered\n";
      Record(db.Get(), entry, position, "failed: " + error);
      failed = true;
      break;
    }
    ++ran;
    const std::set<std::string> now = Tables(till.Get());
    std::string made;
    for (const std::string& table : now)
      if (!tables.count(table)) {
        made += (made.empty() ? "" : ", ") + table;
        ++created;
      }
    tables = now;
    out << (made.empty() ? "ran, no table created" : "created " + made) << '\n';
    Record(db.Get(), entry, position, "ran");
  }

  // Rights only once every script stands.
  int rightsChanged = 0;
  if (failed) {
    bool any = false;
    for (const TContribution& c : contributions) any = any || !c.Rights.empty();
    if (any) out << "  rights not registered: the upgrade stopped\n";
  } else if (rights) {
    for (const TContribution& contribution : contributions)
      for (const TActionCodeCall& call : contribution.Rights) {
        const TActionCodeOutcome outcome = rights->Apply(call);
        out << "  " << contribution.Name << " " << Describe(call) << ": " << OutcomeText(outcome)
            << '\n';
        if (outcome == TActionCodeOutcome::Failed) {
          failed = true;
          err << "sarn-till upgrade: " << contribution.Name << ": " << Describe(call)
              << " could not be registered\n";
        } else if (outcome != TActionCodeOutcome::Unchanged &&
                   outcome != TActionCodeOutcome::Absent) {
          ++rightsChanged;
        }
      }
  }
  out << (failed ? "upgrade FAILED: " : "upgrade done: ") << ran << " of " << scripts.size()
      << " script(s) run, " << created << " table(s) created, " << rightsChanged
      << " right(s) added or changed\n";
  return failed ? 1 : 0;
}
