#include "TDatabaseUpgrade.h"

#include <exception>
#include <ostream>
#include <set>
#include <sstream>

#include "TActionCodes.h"
#include "TScriptCollector.h"
#include "TSqlDialect.h"
#include "intfActCodes.h"
#include "intfDBScript.h"
#include "intfDatabaseChanges.h"

namespace {

const char* const SchemaScriptsTable =
    "CREATE TABLE IF NOT EXISTS SarnSchemaScripts (\n"
    "  ID          INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  Contributor TEXT    NOT NULL,\n"
    "  Position    INTEGER NOT NULL,\n"
    "  Script      TEXT    NOT NULL,\n"
    "  FirstRun    TEXT    NOT NULL,\n"
    "  LastRun     TEXT    NOT NULL,\n"
    "  Runs        INTEGER NOT NULL,\n"
    "  Outcome     TEXT    NOT NULL,\n"
    "  UNIQUE (Contributor, Script)\n"
    ")";

// The tables of the database, one name a line.
std::set<std::string> Tables(IDBScript* db) {
  std::string names;
  db->QueryValue(
      "SELECT group_concat(name, char(10)) AS Names FROM "
      "( SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name )",
      "Names", names);
  std::set<std::string> tables;
  std::istringstream lines(names);
  for (std::string line; std::getline(lines, line);) tables.insert(line);
  return tables;
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
  db->Execute(
      "INSERT INTO SarnSchemaScripts "
      "( Contributor, Position, Script, FirstRun, LastRun, Runs, Outcome ) "
      "VALUES ( %s, %d, %s, GETDATE(), GETDATE(), 1, %s ) "
      "ON CONFLICT ( Contributor, Script ) DO UPDATE SET Position = excluded.Position, "
      "LastRun = excluded.LastRun, Runs = Runs + 1, Outcome = excluded.Outcome",
      {SqlStringLiteral(entry.Group), position, SqlStringLiteral(entry.Script),
       SqlStringLiteral(outcome)});
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
    case TActionCodeCall::Add:
      return "action code " + call.Code + " \"" + call.Text + "\"";
    case TActionCodeCall::Remove:
      return "remove action code " + call.Code;
    case TActionCodeCall::Link:
      break;
  }
  return "link " + call.Code + " -> " + call.Text;
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
  if (db->Execute(SchemaScriptsTable, {}) < 0) {  // the service has said why
    err << "sarn-till upgrade: the database cannot be used; nothing was changed\n";
    return 1;
  }

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
          << contribution.Rights.size() << " right(s)\n";
    }
    if (count == 0) out << "no database changes are registered\n";
  }
  for (const std::string& comment : collector->Comments()) out << "  " << comment << '\n';

  // Scripts in the order collected; the first failure stops the upgrade.
  int ran = 0, created = 0;
  std::set<std::string> tables = Tables(db.Get());
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
    const std::set<std::string> now = Tables(db.Get());
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
